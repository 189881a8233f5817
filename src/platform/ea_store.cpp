#include "platform/ea_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tide {

struct VarnEAStream {
  int m_fd = -1;                        // the caller's descriptor
  FinderInfo m_finder_info{};
  std::vector<AdAttribute> m_attributes;  // in stored order
  std::string m_rsrc;                   // the companion's own resource fork, kept as it was
  bool m_dirty = false;
};

namespace {

constexpr uint64_t OFFSET_LIMIT = 0xffffffffULL;

AdAttribute* FindAttribute(VarnEAStream* stream, const char* name) {
  for (AdAttribute& attribute : stream->m_attributes) {
    if (attribute.m_name == name) return &attribute;
  }
  return nullptr;
}

bool ReadAll(int fd, std::string* out, size_t size) {
  out->resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = pread(fd, out->data() + done, size - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  out->resize(done);
  return true;
}

bool WriteAll(int fd, const std::string& data, uint64_t offset) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Size of the companion if `name` held `length` bytes (any earlier value
// of it replaced).
uint64_t SizeWith(const VarnEAStream* stream, const char* name, size_t length) {
  uint64_t size = 120 + uint64_t{length} + ((AD_ATTR_ENTRY_LEN + strlen(name) + 1 + 3) & ~size_t{3});
  for (const AdAttribute& attribute : stream->m_attributes) {
    if (attribute.m_name == name) continue;
    size += attribute.m_value.size() + ((AD_ATTR_ENTRY_LEN + attribute.m_name.size() + 1 + 3) & ~size_t{3});
  }
  return size + stream->m_rsrc.size();
}

}  // namespace

VarnSzList* VLIBCSzListAlloc(int capacity) {
  auto* list = new VarnSzList;
  if (capacity > 0) list->m_items.reserve(static_cast<size_t>(capacity));
  return list;
}

void VLIBCSzListFree(VarnSzList* list) { delete list; }

size_t VLIBCSzListCount(const VarnSzList* list) { return list ? list->m_items.size() : 0; }

const char* VLIBCSzListGet(const VarnSzList* list, size_t index) {
  if (!list || index >= list->m_items.size()) return nullptr;
  return list->m_items[index].c_str();
}

int VARNEAOpen(int /*kind*/, const char* path) {
  if (!path || !*path) {
    errno = EINVAL;
    return -1;
  }
  return open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
}

VarnEAStream* VARNEASOpen(int fd, int flags) {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) < 0) {
    if (fd < 0) errno = EBADF;
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return nullptr;
  }
  auto* stream = new VarnEAStream;
  stream->m_fd = fd;
  if (st.st_size == 0) {
    if (flags & VARN_EAS_CREATE) {
      stream->m_dirty = true;  // the first flush gives the file its header
      return stream;
    }
    delete stream;
    errno = ENODATA;
    return nullptr;
  }
  std::string bytes;
  AdContents contents;
  if (static_cast<uint64_t>(st.st_size) > OFFSET_LIMIT) {
    delete stream;
    errno = EINVAL;
    return nullptr;
  }
  if (!ReadAll(fd, &bytes, static_cast<size_t>(st.st_size))) {
    delete stream;
    return nullptr;
  }
  if (ParseAppleDouble(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &contents) < 0) {
    delete stream;
    errno = EINVAL;
    return nullptr;
  }
  stream->m_finder_info = contents.m_finder_info;
  stream->m_attributes = std::move(contents.m_attributes);
  // The header check keeps the fork inside the bytes read.
  stream->m_rsrc = bytes.substr(contents.m_rsrc_offset, contents.m_rsrc_length);
  return stream;
}

int VARNEASEnum(VarnEAStream* stream, VarnSzList* list) {
  if (!stream || !list) {
    errno = EINVAL;
    return -1;
  }
  for (const AdAttribute& attribute : stream->m_attributes) list->m_items.push_back(attribute.m_name);
  return static_cast<int>(stream->m_attributes.size());
}

ssize_t VARNEASRead(VarnEAStream* stream, const char* name, void* data, size_t length, uint32_t position,
                    int /*options*/) {
  if (!stream || !name || position != 0) {
    errno = EINVAL;
    return -1;
  }
  const AdAttribute* attribute = FindAttribute(stream, name);
  if (!attribute) {
    errno = ENODATA;
    return -1;
  }
  size_t size = attribute->m_value.size();
  if (!data || length == 0) return static_cast<ssize_t>(size);
  if (length < size) {
    errno = ERANGE;
    return -1;
  }
  memcpy(data, attribute->m_value.data(), size);
  return static_cast<ssize_t>(size);
}

ssize_t VARNEASWrite(VarnEAStream* stream, const char* name, const void* data, size_t length, uint32_t position,
                     int /*options*/) {
  if (!stream || !name || !*name || position != 0 || (!data && length > 0)) {
    errno = EINVAL;
    return -1;
  }
  if (strlen(name) > AD_ATTR_NAME_MAX) {
    errno = ENAMETOOLONG;
    return -1;
  }
  if (length > OFFSET_LIMIT || SizeWith(stream, name, length) > OFFSET_LIMIT ||
      (!FindAttribute(stream, name) && stream->m_attributes.size() >= 0xffff)) {
    errno = E2BIG;
    return -1;
  }
  AdAttribute* attribute = FindAttribute(stream, name);
  if (!attribute) {
    stream->m_attributes.push_back(AdAttribute{name, ""});
    attribute = &stream->m_attributes.back();
  }
  if (length > 0) {
    attribute->m_value.assign(static_cast<const char*>(data), length);
  } else {
    attribute->m_value.clear();
  }
  stream->m_dirty = true;
  return static_cast<ssize_t>(length);
}

int VARNEASRemove(VarnEAStream* stream, const char* name) {
  if (!stream || !name) {
    errno = EINVAL;
    return -1;
  }
  auto it = std::find_if(stream->m_attributes.begin(), stream->m_attributes.end(),
                         [name](const AdAttribute& attribute) { return attribute.m_name == name; });
  if (it == stream->m_attributes.end()) {
    errno = ENODATA;
    return -1;
  }
  stream->m_attributes.erase(it);
  stream->m_dirty = true;
  return 0;
}

int VARNEASFlush(VarnEAStream* stream) {
  if (!stream) {
    errno = EINVAL;
    return -1;
  }
  if (!stream->m_dirty) return 0;
  std::string prefix;
  if (BuildAdPrefix(stream->m_finder_info, stream->m_attributes, stream->m_rsrc.size(), &prefix) < 0) {
    errno = E2BIG;
    return -1;
  }
  if (!WriteAll(stream->m_fd, prefix, 0) || !WriteAll(stream->m_fd, stream->m_rsrc, prefix.size()) ||
      ftruncate(stream->m_fd, static_cast<off_t>(prefix.size() + stream->m_rsrc.size())) < 0) {
    return -1;
  }
  stream->m_dirty = false;
  return 0;
}

int VARNEASClose(VarnEAStream* stream) {
  delete stream;
  return 0;
}

int VARNEASGetFinderInfo(VarnEAStream* stream, FinderInfo* info) {
  if (!stream || !info) {
    errno = EINVAL;
    return -1;
  }
  *info = stream->m_finder_info;
  return 0;
}

int VARNEASSetFinderInfo(VarnEAStream* stream, const FinderInfo& info) {
  if (!stream) {
    errno = EINVAL;
    return -1;
  }
  if (stream->m_finder_info != info) stream->m_dirty = true;
  stream->m_finder_info = info;
  return 0;
}

}  // namespace tide
