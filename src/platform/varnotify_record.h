// The records read from a volume notification descriptor: a little-endian,
// packed header {mask, cookie, length} followed by `length` bytes holding
// the absolute path, zero-terminated within them (the rest is padding). The
// mask uses the inotify bit values; the two halves of a move carry the same
// non-zero cookie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tide {

constexpr size_t VARN_RECORD_HEADER_SIZE = 12;
// No path is longer than this; a record claiming more is corrupt.
constexpr size_t VARN_RECORD_PATH_MAX = 4096;

struct VarnotifyRecord {
  uint32_t m_mask = 0;
  uint32_t m_cookie = 0;
  std::string m_path;
};

// Appends one record; the path is padded with zeros to a multiple of 4
// bytes (at least one zero). Returns the bytes appended.
size_t AppendVarnotifyRecord(uint32_t mask, uint32_t cookie, const std::string& path, std::string* out);

// Reads the record at the start of `data` (`size` bytes available): the
// bytes it takes (12 + length), 0 when `size` is 0, or -1 when the bytes
// do not hold a whole, well-formed record (short header, length past the
// end or above VARN_RECORD_PATH_MAX, no terminating zero). A record of
// length 0 has an empty path (an overflow record, for one).
long ReadVarnotifyRecord(const char* data, size_t size, VarnotifyRecord* record);

}  // namespace tide
