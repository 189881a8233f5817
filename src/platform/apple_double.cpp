#define TIDE_LOG_TAG "ad-converter"
#define TIDE_LOG_COMPONENT "ad_converter_debug"
#include "core/logger.h"

#include "platform/apple_double.h"

#include <byteswap.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tide {
namespace {

constexpr char AD_FILLER[] = "Mac OS X        ";  // 16 bytes, no NUL written
constexpr uint64_t AD_OFFSET_LIMIT = 0xffffffffULL;

uint64_t Align4(uint64_t value) { return (value + 3) & ~uint64_t{3}; }

size_t AttributeEntryLength(size_t name_length) { return Align4(AD_ATTR_ENTRY_LEN + name_length + 1); }

void Append32(std::string* out, uint32_t value) {
  uint8_t bytes[4];
  AdPut32(bytes, value);
  out->append(reinterpret_cast<const char*>(bytes), 4);
}

void Append16(std::string* out, uint16_t value) {
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value & 0xff));
}

// pread that keeps going over short reads; the count read (short only at the
// end of the file), or -1.
ssize_t ReadFully(int fd, void* buffer, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, static_cast<uint8_t*>(buffer) + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

}  // namespace

int AdHeader::Slot(uint32_t id) const {
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i].m_id == id) return static_cast<int>(i);
  }
  return -1;
}

const AdEntry* AdHeader::Find(uint32_t id) const {
  int slot = Slot(id);
  return slot < 0 ? nullptr : &m_entries[slot];
}

int ParseAdHeader(const uint8_t* data, size_t size, uint64_t file_size, AdHeader* header) {
  if (size < AD_HEADER_LEN || file_size < AD_HEADER_LEN) {
    TLOG_ERROR("ad_header_read: can't read entry info.");
    return -1;
  }
  uint32_t magic = AdGet32(data);
  uint32_t version = AdGet32(data + 4);
  // Two broken forms of version 1 are still found on old volumes: one left
  // magic and version zero, the other wrote them in little-endian order.
  if (magic == 0 && version == 0) {
    TLOG_NOTE("notice: fixing up null v1 magic/version.");
    magic = AD_MAGIC;
    version = AD_VERSION1;
  } else if (magic == bswap_32(AD_MAGIC) && version == bswap_32(AD_VERSION1)) {
    TLOG_NOTE("notice: fixing up byte-swapped v1 magic/version.");
    magic = AD_MAGIC;
    version = AD_VERSION1;
  }
  if (magic != AD_MAGIC || (version != AD_VERSION1 && version != AD_VERSION2)) {
    TLOG_ERROR("ad_open: can't parse AppleDouble header.");
    return -1;
  }
  size_t count = AdGet16(data + 24);
  uint64_t table_end = AD_HEADER_LEN + AD_ENTRY_LEN * count;
  if (count > AD_MAX_ENTRIES || table_end > file_size || table_end > size) {
    TLOG_ERROR("ad_header_read: can't read in entries.");
    return -1;
  }
  header->m_version = version;
  header->m_entries.clear();
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = data + AD_HEADER_LEN + AD_ENTRY_LEN * i;
    AdEntry entry{AdGet32(p), AdGet32(p + 4), AdGet32(p + 8)};
    uint64_t end = uint64_t{entry.m_offset} + entry.m_length;
    if (entry.m_id == AD_EID_RFORK && (end > file_size || (entry.m_length > 0 && entry.m_offset < table_end))) {
      TLOG_ERROR("ad_header_read: problem with rfork entry offset.");
      return -1;
    }
    // An entry must hold bytes that are there and must not overlap the
    // header it is described in; id 0 is not a valid entry.
    if (entry.m_id == 0 || end > file_size || (entry.m_length > 0 && entry.m_offset < table_end) ||
        header->Find(entry.m_id)) {
      TLOG_ERROR("ad_header_read: bad entry %u (offset %u, length %u) in a file of %llu bytes.", entry.m_id,
                 entry.m_offset, entry.m_length, static_cast<unsigned long long>(file_size));
      return -1;
    }
    header->m_entries.push_back(entry);
  }
  return 0;
}

int ParseAdAttributes(const uint8_t* entry, size_t entry_length, uint64_t entry_offset,
                      std::vector<AdAttribute>* attributes) {
  attributes->clear();
  // The section starts at the first 4-byte boundary after the Finder
  // information (84 in the usual layout); without room for it, or without
  // its magic, the entry is plain Finder information.
  uint64_t header_at = Align4(entry_offset + AD_FINDERINFO_LEN);
  uint64_t rel = header_at - entry_offset;
  if (entry_length < AD_FINDERINFO_LEN || rel + AD_ATTR_HEADER_LEN > entry_length) return 0;
  const uint8_t* h = entry + rel;
  if (AdGet32(h) != AD_ATTR_MAGIC) return 0;

  uint64_t entry_end = entry_offset + entry_length;
  uint64_t total_size = AdGet32(h + 8);
  uint64_t data_start = AdGet32(h + 12);
  uint64_t data_length = AdGet32(h + 16);
  size_t count = AdGet16(h + 34);
  uint64_t entries_at = header_at + AD_ATTR_HEADER_LEN;
  if (total_size > entry_end || data_start + data_length > total_size ||
      (data_length > 0 && data_start < entries_at)) {
    TLOG_ERROR("ATTR: data area %llu+%llu (total %llu) lies outside the entry ending at %llu.",
               static_cast<unsigned long long>(data_start), static_cast<unsigned long long>(data_length),
               static_cast<unsigned long long>(total_size), static_cast<unsigned long long>(entry_end));
    return -1;
  }

  uint64_t pos = entries_at - entry_offset;  // relative to `entry`
  for (size_t i = 0; i < count; ++i) {
    if (pos + AD_ATTR_ENTRY_LEN > entry_length) {
      TLOG_ERROR("ATTR: attribute %zu of %zu lies outside the entry.", i, count);
      return -1;
    }
    const uint8_t* a = entry + pos;
    uint64_t value_offset = AdGet32(a);
    uint64_t value_length = AdGet32(a + 4);
    size_t name_length = a[10];  // with its NUL
    const uint8_t* name = a + AD_ATTR_ENTRY_LEN;
    if (name_length < 2 || pos + AD_ATTR_ENTRY_LEN + name_length > entry_length || name[name_length - 1] != 0 ||
        memchr(name, 0, name_length - 1) != nullptr) {
      TLOG_ERROR("ATTR: attribute %zu has a malformed name.", i);
      return -1;
    }
    if (value_length > 0 &&
        (value_offset < data_start || value_offset + value_length > data_start + data_length)) {
      TLOG_ERROR("ATTR: value of attribute %zu (%llu+%llu) lies outside the data area.", i,
                 static_cast<unsigned long long>(value_offset), static_cast<unsigned long long>(value_length));
      return -1;
    }
    AdAttribute attribute;
    attribute.m_name.assign(reinterpret_cast<const char*>(name), name_length - 1);
    for (const AdAttribute& seen : *attributes) {
      if (seen.m_name == attribute.m_name) {
        TLOG_ERROR("ATTR: attribute '%s' appears twice.", attribute.m_name.c_str());
        return -1;
      }
    }
    if (value_length > 0) {
      attribute.m_value.assign(reinterpret_cast<const char*>(entry + (value_offset - entry_offset)), value_length);
    }
    attributes->push_back(std::move(attribute));
    pos += AttributeEntryLength(name_length - 1);
  }
  return 0;
}

int ParseAppleDouble(const uint8_t* data, size_t size, AdContents* contents) {
  if (ParseAdHeader(data, size, size, &contents->m_header) < 0) return -1;
  contents->m_finder_info.fill(0);
  contents->m_attributes.clear();
  if (const AdEntry* fi = contents->m_header.Find(AD_EID_FINDERINFO)) {
    memcpy(contents->m_finder_info.data(), data + fi->m_offset, std::min<size_t>(fi->m_length, AD_FINDERINFO_LEN));
    if (ParseAdAttributes(data + fi->m_offset, fi->m_length, fi->m_offset, &contents->m_attributes) < 0) return -1;
  }
  if (const AdEntry* rsrc = contents->m_header.Find(AD_EID_RFORK)) {
    contents->m_rsrc_offset = rsrc->m_offset;
    contents->m_rsrc_length = rsrc->m_length;
  } else {
    contents->m_rsrc_offset = size;
    contents->m_rsrc_length = 0;
  }
  return 0;
}

int BuildAdPrefix(const FinderInfo& finder_info, const std::vector<AdAttribute>& attributes, uint64_t rsrc_length,
                  std::string* out) {
  constexpr uint64_t finder_info_at = AD_HEADER_LEN + 2 * AD_ENTRY_LEN;  // 50
  uint64_t entries_at = Align4(finder_info_at + AD_FINDERINFO_LEN) + AD_ATTR_HEADER_LEN;  // 120
  uint64_t entries_length = 0;
  uint64_t data_length = 0;
  if (attributes.size() > 0xffff) return -1;
  for (const AdAttribute& attribute : attributes) {
    if (attribute.m_name.empty() || attribute.m_name.size() > AD_ATTR_NAME_MAX ||
        attribute.m_name.find('\0') != std::string::npos) {
      return -1;
    }
    entries_length += AttributeEntryLength(attribute.m_name.size());
    data_length += attribute.m_value.size();
  }
  uint64_t data_start = entries_at + entries_length;
  uint64_t total = attributes.empty() ? AD_EMPTY_LEN : data_start + data_length;
  if (total + rsrc_length > AD_OFFSET_LIMIT) return -1;

  out->clear();
  out->reserve(total);
  Append32(out, AD_MAGIC);
  Append32(out, AD_VERSION2);
  out->append(AD_FILLER, 16);
  Append16(out, 2);
  Append32(out, AD_EID_FINDERINFO);
  Append32(out, static_cast<uint32_t>(finder_info_at));
  Append32(out, static_cast<uint32_t>(total - finder_info_at));
  Append32(out, AD_EID_RFORK);
  Append32(out, static_cast<uint32_t>(total));
  Append32(out, static_cast<uint32_t>(rsrc_length));
  out->append(reinterpret_cast<const char*>(finder_info.data()), finder_info.size());
  if (attributes.empty()) return 0;

  out->append(2, '\0');
  Append32(out, AD_ATTR_MAGIC);
  Append32(out, 0);  // debug tag
  Append32(out, static_cast<uint32_t>(total));
  Append32(out, static_cast<uint32_t>(data_start));
  Append32(out, static_cast<uint32_t>(data_length));
  out->append(12, '\0');  // reserved
  Append16(out, 0);       // flags
  Append16(out, static_cast<uint16_t>(attributes.size()));
  uint64_t value_at = data_start;
  for (const AdAttribute& attribute : attributes) {
    size_t start = out->size();
    // An empty value is recorded with offset 0, as Mac OS X does.
    Append32(out, attribute.m_value.empty() ? 0 : static_cast<uint32_t>(value_at));
    Append32(out, static_cast<uint32_t>(attribute.m_value.size()));
    Append16(out, 0);
    out->push_back(static_cast<char>(attribute.m_name.size() + 1));
    out->append(attribute.m_name);
    out->push_back('\0');
    out->resize(start + AttributeEntryLength(attribute.m_name.size()), '\0');
    value_at += attribute.m_value.size();
  }
  for (const AdAttribute& attribute : attributes) out->append(attribute.m_value);
  return 0;
}

AppleDoubleFile::~AppleDoubleFile() { Close(); }

int AppleDoubleFile::Open(const std::string& path, int flags) {
  Close();
  int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return -1;
  m_fd = fd;
  m_owns_fd = true;
  if (ReadHeader() < 0) {
    int saved = errno;
    Close();
    errno = saved;
    return -1;
  }
  return 0;
}

int AppleDoubleFile::Attach(int fd) {
  Close();
  m_fd = fd;
  m_owns_fd = false;
  if (ReadHeader() < 0) {
    m_fd = -1;
    return -1;
  }
  return 0;
}

void AppleDoubleFile::Close() {
  if (m_fd >= 0 && m_owns_fd) close(m_fd);
  m_fd = -1;
  m_owns_fd = false;
  m_file_size = 0;
  m_header = AdHeader();
}

int AppleDoubleFile::ReadHeader() {
  struct stat st;
  if (fstat(m_fd, &st) < 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  m_file_size = static_cast<uint64_t>(st.st_size);
  uint8_t fixed[AD_HEADER_LEN];
  ssize_t n = ReadFully(m_fd, fixed, sizeof fixed, 0);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) < sizeof fixed) {
    TLOG_ERROR("ad_header_read: can't read entry info.");
    errno = EINVAL;
    return -1;
  }
  // The entry count is checked against the file size before the table is
  // read, so a lying count cannot make us read (or allocate) much.
  size_t count = AdGet16(fixed + 24);
  size_t table_length = AD_HEADER_LEN + AD_ENTRY_LEN * std::min(count, AD_MAX_ENTRIES + 1);
  std::vector<uint8_t> table(std::min<uint64_t>(table_length, m_file_size));
  n = ReadFully(m_fd, table.data(), table.size(), 0);
  if (n < 0) return -1;
  if (ParseAdHeader(table.data(), static_cast<size_t>(n), m_file_size, &m_header) < 0) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

uint32_t AppleDoubleFile::EntryLength(uint32_t id) const {
  const AdEntry* entry = m_header.Find(id);
  return entry ? entry->m_length : 0;
}

ssize_t AppleDoubleFile::ReadEntry(uint32_t id, uint64_t offset, void* buffer, size_t length) const {
  const AdEntry* entry = m_header.Find(id);
  if (!entry || m_fd < 0) {
    errno = ENOENT;
    return -1;
  }
  if (offset >= entry->m_length) return 0;
  size_t wanted = static_cast<size_t>(std::min<uint64_t>(length, entry->m_length - offset));
  return ReadFully(m_fd, buffer, wanted, entry->m_offset + offset);
}

int AppleDoubleFile::ReadFinderInfo(FinderInfo* info) const {
  info->fill(0);
  if (!HasEntry(AD_EID_FINDERINFO)) return 0;
  return ReadEntry(AD_EID_FINDERINFO, 0, info->data(), info->size()) < 0 ? -1 : 0;
}

}  // namespace tide
