// AppleDouble files: the header with its entry table, the extended
// attributes that Mac OS X keeps inside the Finder-information entry (the
// "ATTR" section), and a reader that takes entries out of a file by id.
//
// Layout written by Mac OS X and by this daemon (big-endian throughout):
//
//    0  magic 0x00051607, version 0x00020000, filler "Mac OS X        "
//   24  number of entries (2)
//   26  entry 9 (Finder information): offset 50, length L
//   38  entry 2 (resource fork): offset 50 + L, length R
//   50  32 bytes of Finder information
//   82  2 bytes of padding, then the "ATTR" header (36 bytes) at 84
//  120  attribute entries: offset, length, flags, name length, name + NUL,
//       each rounded up to 4 bytes; then the attribute values
//       (offsets are from the start of the file)
// 50+L  the resource fork, R bytes
//
// With no attributes the Finder-information entry is just the 32 bytes and
// the file is 82 bytes plus the resource fork.
//
// Every offset and length read from a file is checked against the bytes that
// are really there before it is used: a file that claims more is rejected.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tide {

constexpr uint32_t AD_MAGIC = 0x00051607;
constexpr uint32_t AD_VERSION1 = 0x00010000;
constexpr uint32_t AD_VERSION2 = 0x00020000;
constexpr size_t AD_HEADER_LEN = 26;  // magic, version, filler, entry count
constexpr size_t AD_ENTRY_LEN = 12;   // id, offset, length
constexpr size_t AD_MAX_ENTRIES = 256;
constexpr uint32_t AD_EID_RFORK = 2;
constexpr uint32_t AD_EID_FINDERINFO = 9;
constexpr size_t AD_FINDERINFO_LEN = 32;
// Header with the two entries plus the Finder information: the whole of a
// file without attributes and without resource fork.
constexpr size_t AD_EMPTY_LEN = 82;
constexpr uint32_t AD_ATTR_MAGIC = 0x41545452;  // "ATTR"
constexpr size_t AD_ATTR_HEADER_LEN = 36;
constexpr size_t AD_ATTR_ENTRY_LEN = 11;  // without the name
constexpr size_t AD_ATTR_NAME_MAX = 254;  // name bytes, the NUL not counted

using FinderInfo = std::array<uint8_t, AD_FINDERINFO_LEN>;

struct AdEntry {
  uint32_t m_id = 0;
  uint32_t m_offset = 0;
  uint32_t m_length = 0;
};

struct AdHeader {
  uint32_t m_version = AD_VERSION2;
  std::vector<AdEntry> m_entries;  // in table order

  // Position of entry `id` in the table, or -1.
  int Slot(uint32_t id) const;
  const AdEntry* Find(uint32_t id) const;
  // File offset of the length field of the entry in `slot`.
  static uint64_t LengthFieldOffset(int slot) { return AD_HEADER_LEN + AD_ENTRY_LEN * slot + 8; }
};

struct AdAttribute {
  std::string m_name;
  std::string m_value;  // raw bytes
};

// Everything a file holds that the daemon cares about.
struct AdContents {
  AdHeader m_header;
  FinderInfo m_finder_info{};  // zero when the file has no Finder information
  std::vector<AdAttribute> m_attributes;
  uint64_t m_rsrc_offset = 0;  // where the resource fork starts (the file's end when it has none)
  uint64_t m_rsrc_length = 0;
};

// Reads the header from the `size` bytes at `data` (which may be just the
// start of a file of `file_size` bytes). Repairs the two known broken
// version-1 forms. 0 or -1 (logged).
int ParseAdHeader(const uint8_t* data, size_t size, uint64_t file_size, AdHeader* header);

// Reads the "ATTR" section of a Finder-information entry. `entry` holds the
// entry's bytes and `entry_offset` is where they start in the file (the
// attribute offsets are file offsets). An entry without the section has no
// attributes. 0 or -1.
int ParseAdAttributes(const uint8_t* entry, size_t entry_length, uint64_t entry_offset,
                      std::vector<AdAttribute>* attributes);

// Header, Finder information and attributes of a whole file held in memory.
int ParseAppleDouble(const uint8_t* data, size_t size, AdContents* contents);

// Builds everything of a version-2 file that comes before its resource fork
// (whose `rsrc_length` bytes the caller appends). Without attributes this is
// the 82-byte form. 0, or -1 when the result would not fit 32-bit offsets.
int BuildAdPrefix(const FinderInfo& finder_info, const std::vector<AdAttribute>& attributes,
                  uint64_t rsrc_length, std::string* out);

// An AppleDouble file open for reading entries.
class AppleDoubleFile {
 public:
  AppleDoubleFile() = default;
  ~AppleDoubleFile();
  AppleDoubleFile(const AppleDoubleFile&) = delete;
  AppleDoubleFile& operator=(const AppleDoubleFile&) = delete;

  // Opens `path` with `flags` (O_RDONLY or O_RDWR) and reads its header.
  // 0 or -1 (errno set: EINVAL for a file that is not a sound AppleDouble).
  int Open(const std::string& path, int flags);
  // Reads the header of an open descriptor, which stays the caller's.
  int Attach(int fd);
  void Close();

  const AdHeader& Header() const { return m_header; }
  int Fd() const { return m_fd; }
  uint64_t FileSize() const { return m_file_size; }
  bool HasEntry(uint32_t id) const { return m_header.Find(id) != nullptr; }
  uint32_t EntryLength(uint32_t id) const;

  // Copies up to `length` bytes of entry `id`, starting `offset` bytes into
  // it. The count copied (0 at or past the entry's end), or -1 when the
  // entry is missing or the read fails.
  ssize_t ReadEntry(uint32_t id, uint64_t offset, void* buffer, size_t length) const;
  // The entry's first 32 bytes, zero-filled when it is shorter or absent.
  int ReadFinderInfo(FinderInfo* info) const;

 private:
  int ReadHeader();

  int m_fd = -1;
  bool m_owns_fd = false;
  uint64_t m_file_size = 0;
  AdHeader m_header;
};

// Big-endian helpers shared with the attribute store.
inline uint32_t AdGet32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t AdGet16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void AdPut32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

}  // namespace tide
