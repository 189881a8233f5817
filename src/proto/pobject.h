// Self-describing value of the local sockets: null, unsigned integer, string,
// binary (a region of a file), map with string keys, or array. A PObject owns
// its payload and copies deeply; a binary only names its file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tide {

class PObject;

using PArray = std::vector<PObject>;
// Keys ordered byte-wise (std::string's comparison), unique.
using PMap = std::map<std::string, PObject>;

// Region of a file carried by a binary value. After a receive, m_length is
// the position up to which the file has been filled.
struct PBinary {
  uint64_t m_offset = 0;
  uint64_t m_length = 0;
  std::string m_path;

  bool operator==(const PBinary&) const = default;
};

class PObject {
 public:
  // Internal kind numbers (never on the wire).
  enum Kind : uint32_t {
    KIND_NULL = 0,
    KIND_ARRAY = 1,
    KIND_MAP = 2,
    KIND_INTEGER = 3,
    KIND_STRING = 4,
    KIND_BINARY = 5,
  };

  PObject() = default;
  PObject(uint8_t value) : PObject(uint64_t{value}) {}
  PObject(uint32_t value) : PObject(uint64_t{value}) {}
  PObject(unsigned long value);
  PObject(unsigned long long value) : PObject(static_cast<unsigned long>(value)) {}
  // Sign-extended to 64 bits.
  PObject(int32_t value) : PObject(static_cast<unsigned long>(static_cast<int64_t>(value))) {}
  PObject(long value) : PObject(static_cast<unsigned long>(value)) {}
  PObject(long long value) : PObject(static_cast<unsigned long>(value)) {}
  PObject(const char* text);
  PObject(const std::string& text);
  PObject(std::string&& text);
  PObject(const PArray& array);
  PObject(const PMap& map);
  PObject(const PBinary& binary);
  PObject(const PObject& other);
  PObject(PObject&& other) noexcept;
  PObject& operator=(const PObject& other);
  PObject& operator=(PObject&& other) noexcept;
  ~PObject();

  // Releases the payload; the object becomes null.
  void Clear();

  Kind GetKind() const { return IsNull() ? KIND_NULL : m_kind; }
  bool IsNull() const;
  bool IsArray() const { return m_kind == KIND_ARRAY && m_array != nullptr; }
  bool IsMap() const { return m_kind == KIND_MAP && m_map != nullptr; }
  bool IsInteger() const { return m_kind == KIND_INTEGER; }
  bool IsString() const { return m_kind == KIND_STRING && m_string != nullptr; }
  bool IsBinary() const { return m_kind == KIND_BINARY && m_binary != nullptr; }
  bool IsContainer() const { return IsArray() || IsMap(); }
  bool IsScalar() const { return IsString() || IsInteger() || IsBinary(); }

  // The integer (0 when not an integer), cut to the width asked for.
  uint64_t AsUInt64() const { return IsInteger() ? m_uint : 0; }
  uint32_t AsUInt32() const { return static_cast<uint32_t>(AsUInt64()); }
  int32_t AsInt32() const { return static_cast<int32_t>(AsUInt64()); }
  uint16_t AsUInt16() const { return static_cast<uint16_t>(AsUInt64()); }
  int16_t AsInt16() const { return static_cast<int16_t>(AsUInt64()); }
  uint8_t AsUInt8() const { return static_cast<uint8_t>(AsUInt64()); }
  int8_t AsInt8() const { return static_cast<int8_t>(AsUInt64()); }
  // A string as is; an integer as the decimal text of its low 32 bits;
  // anything else empty.
  std::string AsString() const;
  bool IsEmpty() const;
  bool AsBool() const;

  // Turn the object into that kind (empty) unless it already is, then give
  // the payload.
  PMap& AsMap();
  PArray& AsArray();
  PBinary& AsBinary();
  // Read-only views: the payload, or a shared empty default.
  const PMap& AsMap() const;
  const PArray& AsArray() const;
  const PBinary& AsBinary() const;
  // Makes the object a string, keeping existing string storage, and returns
  // it.
  std::string& AsStringRef();

  // Map entry, inserted as null when missing; a non-map becomes an empty map.
  PObject& operator[](const std::string& key);
  PObject& operator[](const char* key) { return (*this)[std::string(key)]; }
  // The index-th map entry in key order; throws std::out_of_range
  // ("out_of_range: PObject::operator[]") when not a map or out of range.
  PObject& operator[](size_t index);
  PObject& operator[](int index);
  // Entry of a map, or the shared null object; never inserts.
  const PObject& Find(const std::string& key) const;
  bool HasKey(const std::string& key) const;
  // Array element or index-th map entry, or the shared null object.
  const PObject& At(size_t index) const;
  // Number of elements or entries; 0 for scalars.
  size_t Size() const;

  // One-line text form, e.g. {"action": "pause", "type": 3}.
  std::string ToString() const;
  void AppendTo(std::string* out) const;

  bool operator==(const PObject& other) const;

  static const PObject& Null();

 private:
  Kind m_kind = KIND_NULL;
  uint64_t m_uint = 0;
  std::unique_ptr<std::string> m_string;
  std::unique_ptr<PArray> m_array;
  std::unique_ptr<PMap> m_map;
  std::unique_ptr<PBinary> m_binary;
};

}  // namespace tide
