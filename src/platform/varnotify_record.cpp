#include "platform/varnotify_record.h"

#include <cstring>

namespace tide {
namespace {

void PutLe32(uint32_t value, std::string* out) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<char>((value >> shift) & 0xFF));
}

uint32_t GetLe32(const char* data) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

}  // namespace

size_t AppendVarnotifyRecord(uint32_t mask, uint32_t cookie, const std::string& path, std::string* out) {
  size_t length = (path.size() + 1 + 3) & ~size_t{3};
  PutLe32(mask, out);
  PutLe32(cookie, out);
  PutLe32(static_cast<uint32_t>(length), out);
  out->append(path);
  out->append(length - path.size(), '\0');
  return VARN_RECORD_HEADER_SIZE + length;
}

long ReadVarnotifyRecord(const char* data, size_t size, VarnotifyRecord* record) {
  if (size == 0) return 0;
  if (size < VARN_RECORD_HEADER_SIZE) return -1;
  uint32_t length = GetLe32(data + 8);
  if (length > VARN_RECORD_PATH_MAX || length > size - VARN_RECORD_HEADER_SIZE) return -1;
  const char* path = data + VARN_RECORD_HEADER_SIZE;
  size_t path_size = 0;
  if (length > 0) {
    // The path must end inside its own record, never in the next one.
    const void* end = memchr(path, '\0', length);
    if (end == nullptr) return -1;
    path_size = static_cast<const char*>(end) - path;
  }
  record->m_mask = GetLe32(data);
  record->m_cookie = GetLe32(data + 4);
  record->m_path.assign(path, path_size);
  return static_cast<long>(VARN_RECORD_HEADER_SIZE + length);
}

}  // namespace tide
