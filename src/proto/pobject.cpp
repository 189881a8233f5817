#include "proto/pobject.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>

namespace tide {

namespace {

const PMap& EmptyMap() {
  static const PMap empty;
  return empty;
}
const PArray& EmptyArray() {
  static const PArray empty;
  return empty;
}
const PBinary& EmptyBinary() {
  static const PBinary empty;
  return empty;
}

}  // namespace

const PObject& PObject::Null() {
  static const PObject null;
  return null;
}

PObject::PObject(unsigned long value) : m_kind(KIND_INTEGER), m_uint(value) {}
PObject::PObject(const char* text)
    : m_kind(KIND_STRING), m_string(std::make_unique<std::string>(text == nullptr ? "" : text)) {}
PObject::PObject(const std::string& text) : m_kind(KIND_STRING), m_string(std::make_unique<std::string>(text)) {}
PObject::PObject(std::string&& text)
    : m_kind(KIND_STRING), m_string(std::make_unique<std::string>(std::move(text))) {}
PObject::PObject(const PArray& array) : m_kind(KIND_ARRAY), m_array(std::make_unique<PArray>(array)) {}
PObject::PObject(const PMap& map) : m_kind(KIND_MAP), m_map(std::make_unique<PMap>(map)) {}
PObject::PObject(const PBinary& binary) : m_kind(KIND_BINARY), m_binary(std::make_unique<PBinary>(binary)) {}

PObject::PObject(const PObject& other) : m_kind(other.m_kind), m_uint(other.m_uint) {
  if (other.m_string) m_string = std::make_unique<std::string>(*other.m_string);
  if (other.m_array) m_array = std::make_unique<PArray>(*other.m_array);
  if (other.m_map) m_map = std::make_unique<PMap>(*other.m_map);
  if (other.m_binary) m_binary = std::make_unique<PBinary>(*other.m_binary);
}

PObject::PObject(PObject&& other) noexcept
    : m_kind(other.m_kind),
      m_uint(other.m_uint),
      m_string(std::move(other.m_string)),
      m_array(std::move(other.m_array)),
      m_map(std::move(other.m_map)),
      m_binary(std::move(other.m_binary)) {
  other.m_kind = KIND_NULL;
  other.m_uint = 0;
}

PObject& PObject::operator=(const PObject& other) {
  // Copy first: `other` may live inside this object's payload.
  if (this != &other) *this = PObject(other);
  return *this;
}

PObject& PObject::operator=(PObject&& other) noexcept {
  if (this == &other) return *this;
  // Detach our old payload before taking the new one, and free it last, so
  // that moving a child into its own parent stays valid.
  PObject old;
  old.m_string = std::move(m_string);
  old.m_array = std::move(m_array);
  old.m_map = std::move(m_map);
  old.m_binary = std::move(m_binary);
  m_kind = other.m_kind;
  m_uint = other.m_uint;
  m_string = std::move(other.m_string);
  m_array = std::move(other.m_array);
  m_map = std::move(other.m_map);
  m_binary = std::move(other.m_binary);
  other.m_kind = KIND_NULL;
  other.m_uint = 0;
  return *this;
}

PObject::~PObject() = default;

void PObject::Clear() {
  PObject old(std::move(*this));
}

bool PObject::IsNull() const {
  switch (m_kind) {
    case KIND_INTEGER:
      return false;
    case KIND_STRING:
      return m_string == nullptr;
    case KIND_ARRAY:
      return m_array == nullptr;
    case KIND_MAP:
      return m_map == nullptr;
    case KIND_BINARY:
      return m_binary == nullptr;
    default:
      return true;
  }
}

std::string PObject::AsString() const {
  if (IsString()) return *m_string;
  if (IsInteger()) {
    char text[64];
    snprintf(text, sizeof(text), "%u", static_cast<unsigned>(m_uint));
    return text;
  }
  return std::string();
}

bool PObject::IsEmpty() const {
  switch (GetKind()) {
    case KIND_INTEGER:
      return false;
    case KIND_STRING:
      return m_string->empty();
    case KIND_ARRAY:
      return m_array->empty();
    case KIND_MAP:
      return m_map->empty();
    case KIND_BINARY:
      return m_binary->m_path.empty();
    default:
      return true;
  }
}

bool PObject::AsBool() const { return IsInteger() ? m_uint != 0 : !IsEmpty(); }

PMap& PObject::AsMap() {
  if (!IsMap()) *this = PObject(EmptyMap());
  return *m_map;
}

PArray& PObject::AsArray() {
  if (!IsArray()) *this = PObject(EmptyArray());
  return *m_array;
}

PBinary& PObject::AsBinary() {
  if (!IsBinary()) *this = PObject(EmptyBinary());
  return *m_binary;
}

const PMap& PObject::AsMap() const { return IsMap() ? *m_map : EmptyMap(); }
const PArray& PObject::AsArray() const { return IsArray() ? *m_array : EmptyArray(); }
const PBinary& PObject::AsBinary() const { return IsBinary() ? *m_binary : EmptyBinary(); }

std::string& PObject::AsStringRef() {
  if (!IsString()) *this = PObject(std::string());
  return *m_string;
}

PObject& PObject::operator[](const std::string& key) { return AsMap()[key]; }

PObject& PObject::operator[](size_t index) {
  if (!IsMap() || index >= m_map->size()) throw std::out_of_range("out_of_range: PObject::operator[]");
  return std::next(m_map->begin(), static_cast<std::ptrdiff_t>(index))->second;
}

PObject& PObject::operator[](int index) {
  if (index < 0) throw std::out_of_range("out_of_range: PObject::operator[]");
  return (*this)[static_cast<size_t>(index)];
}

const PObject& PObject::Find(const std::string& key) const {
  if (!IsMap()) return Null();
  auto it = m_map->find(key);
  return it == m_map->end() ? Null() : it->second;
}

bool PObject::HasKey(const std::string& key) const { return IsMap() && m_map->count(key) != 0; }

const PObject& PObject::At(size_t index) const {
  if (IsArray()) return index < m_array->size() ? (*m_array)[index] : Null();
  if (IsMap()) {
    if (index >= m_map->size()) return Null();
    return std::next(m_map->begin(), static_cast<std::ptrdiff_t>(index))->second;
  }
  return Null();
}

size_t PObject::Size() const {
  if (IsArray()) return m_array->size();
  if (IsMap()) return m_map->size();
  return 0;
}

void PObject::AppendTo(std::string* out) const {
  switch (GetKind()) {
    case KIND_INTEGER:
      *out += std::to_string(m_uint);
      break;
    case KIND_STRING:
      *out += '"';
      *out += *m_string;
      *out += '"';
      break;
    case KIND_BINARY:
      *out += "{offset: " + std::to_string(m_binary->m_offset) + ", length: " + std::to_string(m_binary->m_length) +
              ", path: \"" + m_binary->m_path + "\"}";
      break;
    case KIND_MAP: {
      *out += '{';
      bool first = true;
      for (const auto& [key, value] : *m_map) {
        if (!first) *out += ", ";
        first = false;
        *out += '"';
        *out += key;
        *out += "\": ";
        value.AppendTo(out);
      }
      *out += '}';
      break;
    }
    case KIND_ARRAY: {
      *out += '[';
      bool first = true;
      for (const PObject& value : *m_array) {
        if (!first) *out += ", ";
        first = false;
        value.AppendTo(out);
      }
      *out += ']';
      break;
    }
    default:
      *out += "null";
  }
}

std::string PObject::ToString() const {
  std::string out;
  AppendTo(&out);
  return out;
}

bool PObject::operator==(const PObject& other) const {
  Kind kind = GetKind();
  if (kind != other.GetKind()) return false;
  switch (kind) {
    case KIND_INTEGER:
      return m_uint == other.m_uint;
    case KIND_STRING:
      return *m_string == *other.m_string;
    case KIND_ARRAY:
      return *m_array == *other.m_array;
    case KIND_MAP:
      return *m_map == *other.m_map;
    case KIND_BINARY:
      return *m_binary == *other.m_binary;
    default:
      return true;
  }
}

}  // namespace tide
