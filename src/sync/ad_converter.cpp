#define TIDE_LOG_TAG "ad-converter"
#define TIDE_LOG_COMPONENT "ad_converter_debug"
#include "core/logger.h"

#include "sync/ad_converter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "filter/filter.h"
#include "platform/ea_store.h"
#include "platform/vendor_system.h"
#include "platform/apple_double.h"
#include "fs/critical_section.h"
#include "fs/file_ops.h"
#include "fs/temp_file.h"

namespace tide {
namespace {

constexpr size_t CHUNK = 1024;
constexpr uint64_t OFFSET_LIMIT = 0xffffffffULL;

// Serialises the writers of resource companions and their readers.
std::mutex g_resource_mutex;

std::string CompanionPath(const std::string& path, const char* stream_name) {
  char buffer[VARN_EA_PATH_MAX];
  if (VARNEAPath(VARN_EA_KIND, path.c_str(), stream_name, buffer, sizeof buffer) < 0) return "";
  return buffer;
}

// Removes the working companions whatever way the conversion ends.
class WorkingFiles {
 public:
  ~WorkingFiles() {
    int saved = errno;
    for (const std::string& path : m_paths) {
      if (!path.empty()) FSRemove(path);
    }
    errno = saved;
  }
  void Add(const std::string& path) { m_paths.push_back(path); }

 private:
  std::vector<std::string> m_paths;
};

// An attribute stream over a companion, closed with its descriptor.
class Stream {
 public:
  ~Stream() { Close(); }
  int Open(const std::string& path) {
    Close();
    m_fd = VARNEAOpen(VARN_EA_KIND, path.c_str());
    if (m_fd < 0) return -1;
    m_stream = VARNEASOpen(m_fd, VARN_EAS_CREATE);
    if (!m_stream) {
      Close();
      return -1;
    }
    return 0;
  }
  void Close() {
    int saved = errno;
    if (m_stream) VARNEASClose(m_stream);
    if (m_fd >= 0) close(m_fd);
    m_stream = nullptr;
    m_fd = -1;
    errno = saved;
  }
  VarnEAStream* Get() const { return m_stream; }

 private:
  int m_fd = -1;
  VarnEAStream* m_stream = nullptr;
};

int EnumNames(VarnEAStream* stream, std::vector<std::string>* names) {
  VarnSzList* list = VLIBCSzListAlloc(512);
  if (!list) return -2;
  int count = VARNEASEnum(stream, list);
  if (count >= 0) names->assign(list->m_items.begin(), list->m_items.end());
  VLIBCSzListFree(list);
  return count < 0 ? -1 : 0;
}

bool WriteAt(int fd, const void* data, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = pwrite(fd, static_cast<const uint8_t*>(data) + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

enum CopyResult { COPY_OK = 0, COPY_READ_FAILED = -1, COPY_WRITE_FAILED = -2 };

// Copies `length` bytes from `in` at `in_offset` to `out` at `out_offset`
// in 1024-byte pieces. A source that ends early is a read failure.
CopyResult CopyRange(int in, uint64_t in_offset, int out, uint64_t out_offset, uint64_t length) {
  char buffer[CHUNK];
  uint64_t done = 0;
  while (done < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(CHUNK, length - done));
    ssize_t n = pread(in, buffer, want, static_cast<off_t>(in_offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return COPY_READ_FAILED;
    }
    if (!WriteAt(out, buffer, static_cast<size_t>(n), out_offset + done)) return COPY_WRITE_FAILED;
    done += static_cast<uint64_t>(n);
  }
  return COPY_OK;
}

bool Put32At(int fd, uint64_t offset, uint32_t value) {
  uint8_t bytes[4];
  AdPut32(bytes, value);
  return WriteAt(fd, bytes, sizeof bytes, offset);
}

// Copies the companion `from` onto `to` when it exists.
int CopyCompanion(const std::string& from, const std::string& to, const char* who) {
  if (!FSExists(from)) return 0;
  if (FSCopy(from, to, false) != 0) {
    TLOG_ERROR("%s: fail to copy %s to %s", who, from.c_str(), to.c_str());
    return -1;
  }
  return 0;
}

// The scratch folder's "@eaDir", created when missing.
int PrepareScratch(const std::string& scratch_dir) {
  std::string ea_dir = scratch_dir + "/@eaDir";
  if (FSMkdir(ea_dir, true, false, 0700) < 0) {
    TLOG_ERROR("Failed to FSMKDir at '%s'.", ea_dir.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int CreatEmptyEAS(const std::string& path) {
  std::string bytes;
  BuildAdPrefix(FinderInfo{}, {}, 0, &bytes);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    TLOG_ERROR("CreatEmptyEAS: fail to open easpath  %s %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  bool written = WriteAt(fd, bytes.data(), bytes.size(), 0);
  int saved = errno;
  close(fd);
  if (!written) {
    TLOG_ERROR("CreatEmptyEAS: fail to write easpath  %s %s (%d)", path.c_str(), strerror(saved), saved);
    return -1;
  }
  return 0;
}

bool VarnEACheck(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) > AD_EMPTY_LEN;
}

int rmBlackEA(const std::string& ea_path) {
  const char* path = ea_path.c_str();
  std::vector<std::string> names;
  Stream stream;
  if (stream.Open(ea_path) < 0) {
    TLOG_ERROR("rmBlackEA fail to open ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  int listed = EnumNames(stream.Get(), &names);
  if (listed == -2) {
    TLOG_ERROR("rmBlackEA fail to VLIBCSzListAlloc ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  if (listed < 0 ||
      VARNEASWrite(stream.Get(), PLACEHOLDER_EA_NAME, PLACEHOLDER_EA_VALUE, strlen(PLACEHOLDER_EA_VALUE), 0, 1) < 0 ||
      VARNEASFlush(stream.Get()) < 0) {
    TLOG_ERROR("rmBlackEA: fail to access ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }

  if (stream.Open(ea_path) < 0) {
    TLOG_ERROR("rmBlackEA fail to open ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  for (const std::string& name : names) {
    if (name == PLACEHOLDER_EA_NAME || IsFilteredEAName(name) == 0) continue;
    if (VARNEASRemove(stream.Get(), name.c_str()) < 0) {
      TLOG_ERROR("rmBlackEA fail to VARNEASRemove ea %s %s (%d)", path, strerror(errno), errno);
      return -1;
    }
    TLOG_DEBUG("rmBlackEA: removed black-listed attribute '%s' of %s", name.c_str(), path);
  }
  if (VARNEASFlush(stream.Get()) < 0) {
    TLOG_ERROR("rmBlackEA: fail to access ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }

  // Only the placeholder left: without it the stream is written in its
  // empty form, which keeps the Finder information (all zero, it is exactly
  // the 82-byte empty stream file).
  if (stream.Open(ea_path) < 0) {
    TLOG_ERROR("rmBlackEA fail to open ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  if (VARNEASRemove(stream.Get(), PLACEHOLDER_EA_NAME) < 0) {
    TLOG_ERROR("rmBlackEA fail to VARNEASRemove ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  if (VARNEASFlush(stream.Get()) < 0) {
    TLOG_ERROR("rmBlackEA: fail to access ea %s %s (%d)", path, strerror(errno), errno);
    return -1;
  }
  return 0;
}

int VarnResource2MacConvert(const std::string& path, const std::string& ad_path, const std::string& tmp_dir) {
  CriticalSection section(&g_resource_mutex);
  std::string rs_path = CompanionPath(path, VARN_RESOURCE_STREAM_NAME);
  AppleDoubleFile resource;
  if (rs_path.empty() || resource.Open(rs_path, O_RDONLY) < 0) {
    if (!rs_path.empty() && errno == ENOENT) {
      TLOG_DEBUG("VarnResource2MacConvert: source VarnResource is not exist %s, %s %s (%d)", rs_path.c_str(),
                 ad_path.c_str(), strerror(errno), errno);
      return 0;
    }
    TLOG_ERROR("VarnResource2MacConvert: cannot open VarnResource of %s %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  AppleDoubleFile dest;
  if (dest.Open(ad_path, O_RDONLY) < 0) {
    TLOG_ERROR("VarnResource2MacConvert: cannot read header of %s %s (%d)", ad_path.c_str(), strerror(errno), errno);
    return -1;
  }
  // The fork goes where the destination's fork entry points; everything
  // else the destination holds must lie before it.
  int rs_slot = dest.Header().Slot(AD_EID_RFORK);
  const AdEntry* finder = dest.Header().Find(AD_EID_FINDERINFO);
  uint64_t rsrc_offset = rs_slot < 0 ? 0 : dest.Header().m_entries[rs_slot].m_offset;
  bool layout_ok = rs_slot >= 0 && finder && finder->m_length >= AD_FINDERINFO_LEN;
  for (const AdEntry& entry : dest.Header().m_entries) {
    if (entry.m_id != AD_EID_RFORK && uint64_t{entry.m_offset} + entry.m_length > rsrc_offset) layout_ok = false;
  }
  if (!layout_ok) {
    TLOG_ERROR("VarnResource2MacConvert: unexpected entry layout in %s", ad_path.c_str());
    return -1;
  }
  uint64_t fork_length = resource.EntryLength(AD_EID_RFORK);
  if (rsrc_offset + fork_length > OFFSET_LIMIT) {
    TLOG_ERROR("VarnResource2MacConvert: resource fork of %s too large (%llu bytes)", rs_path.c_str(),
               static_cast<unsigned long long>(fork_length));
    return -1;
  }

  TempFile scratch(tmp_dir);
  if (scratch.Create() < 0) {
    TLOG_ERROR("VarnResource2MacConvert: fail to create TempFile in %s", tmp_dir.c_str());
    return -1;
  }
  int out = open(scratch.Path().c_str(), O_WRONLY | O_CLOEXEC);
  if (out < 0) {
    TLOG_ERROR("VarnResource2MacConvert: fail to open %s, %s (%d)", scratch.Path().c_str(), strerror(errno), errno);
    return -1;
  }
  int result = -1;
  FinderInfo info;
  do {
    CopyResult copied = CopyRange(dest.Fd(), 0, out, 0, rsrc_offset);
    if (copied != COPY_OK) {
      TLOG_ERROR("VarnResource2MacConvert: fail to copy header of %s, %s (%d)", ad_path.c_str(), strerror(errno), errno);
      break;
    }
    if (resource.HasEntry(AD_EID_FINDERINFO)) {
      if (resource.ReadFinderInfo(&info) < 0 || !WriteAt(out, info.data(), info.size(), finder->m_offset)) {
        TLOG_ERROR("VarnResource2MacConvert: fail to set finder info, %s (%d)", strerror(errno), errno);
        break;
      }
    }
    char buffer[CHUNK];
    uint64_t done = 0;
    bool fork_ok = true;
    while (done < fork_length) {
      ssize_t n = resource.ReadEntry(AD_EID_RFORK, done, buffer, sizeof buffer);
      if (n <= 0) {
        if (n == 0) errno = EIO;
        TLOG_ERROR("VarnResource2MacConvert: fail to read rsfork, %s (%d)", strerror(errno), errno);
        fork_ok = false;
        break;
      }
      if (!WriteAt(out, buffer, static_cast<size_t>(n), rsrc_offset + done)) {
        TLOG_ERROR("VarnResource2MacConvert: fail to write rsfork, %s (%d)", strerror(errno), errno);
        fork_ok = false;
        break;
      }
      done += static_cast<uint64_t>(n);
    }
    if (!fork_ok) break;
    if (!Put32At(out, AdHeader::LengthFieldOffset(rs_slot), static_cast<uint32_t>(fork_length))) {
      TLOG_ERROR("VarnResource2MacConvert: fail to set rsfork length, %s (%d)", strerror(errno), errno);
      break;
    }
    result = 0;
  } while (false);
  if (close(out) < 0 && result == 0) {
    TLOG_ERROR("VarnResource2MacConvert: fail to close %s, %s (%d)", scratch.Path().c_str(), strerror(errno), errno);
    result = -1;
  }
  if (result == 0 && FSCopy(scratch.Path(), ad_path, false) != 0) {
    TLOG_ERROR("VarnResource2MacConvert: fail to copy %s to %s", scratch.Path().c_str(), ad_path.c_str());
    result = -1;
  }
  return result;
}

int Varn2MacEAConvert(const std::string& path, const std::string& copy_path, const std::string& scratch_dir,
                      bool filter) {
  TLOG_DEBUG("Varn2MacEAConvert: path = [%s] copyfilepath = [%s]", path.c_str(), copy_path.c_str());
  const std::string& volume_tmp = scratch_dir;
  if (PrepareScratch(volume_tmp) < 0) return -1;
  TLOG_DEBUG("Varn2MacEAConvert: volumeTmpPath = [%s], volumeEADirPath = [%s]", volume_tmp.c_str(),
             (volume_tmp + "/@eaDir").c_str());
  TempFile tmp_file(volume_tmp);
  if (tmp_file.Create() < 0) {
    TLOG_ERROR("Varn2MacEAConvert:  Failed to create TempFile");
    return -1;
  }
  TLOG_DEBUG("tmp_file = [%s] ", tmp_file.Path().c_str());
  if (!FSExists(path)) {
    TLOG_ERROR("Varn2MacEAConvert: dst data file is not exist %s", path.c_str());
    return -1;
  }
  std::string rs_path = CompanionPath(path, VARN_RESOURCE_STREAM_NAME);
  std::string rs_tmp = CompanionPath(tmp_file.Path(), VARN_RESOURCE_STREAM_NAME);
  std::string ea_path = CompanionPath(path, VARN_EA_STREAM_NAME);
  std::string ea_tmp = CompanionPath(tmp_file.Path(), VARN_EA_STREAM_NAME);
  WorkingFiles working;
  working.Add(rs_tmp);
  working.Add(ea_tmp);
  if (rs_path.empty() || rs_tmp.empty() || ea_path.empty() || ea_tmp.empty()) {
    TLOG_ERROR("Varn2MacEAConvert: no companion paths for %s", path.c_str());
    return -1;
  }
  TLOG_DEBUG("Varn2MacEAConvert: szRSPath = [%s], szRSTmpPath = [%s], szEAPath = [%s], szEATmpPath = [%s]",
             rs_path.c_str(), rs_tmp.c_str(), ea_path.c_str(), ea_tmp.c_str());
  if (CopyCompanion(rs_path, rs_tmp, "Varn2MacEAConvert") < 0) return -1;
  if (CopyCompanion(ea_path, ea_tmp, "Varn2MacEAConvert") < 0) return -1;

  if (!VarnEACheck(ea_tmp)) {
    if (CreatEmptyEAS(ea_tmp) < 0) return -1;
  } else if (filter) {
    // A stream that cannot be read or cleaned is not sent: it could carry
    // black-listed attributes or garbage to the server.
    if (rmBlackEA(ea_tmp) < 0) return -1;
  } else {
    Stream check;
    if (check.Open(ea_tmp) < 0) {
      TLOG_ERROR("Varn2MacEAConvert: unreadable VarnEAStream of %s %s (%d)", path.c_str(), strerror(errno), errno);
      return -1;
    }
  }
  if (FSCopy(ea_tmp, copy_path, false) != 0) {
    TLOG_ERROR("Varn2MacEAConvert: fail to copy %s to %s", ea_tmp.c_str(), copy_path.c_str());
    return -1;
  }
  return VarnResource2MacConvert(tmp_file.Path(), copy_path, volume_tmp) < 0 ? -1 : 0;
}

int Mac2VarnResourceConvert(const std::string& ad_path, const std::string& path) {
  AppleDoubleFile source;
  if (source.Open(ad_path, O_RDONLY) < 0) {
    TLOG_ERROR("Mac2VarnResourceConvert: cannot open AppleDouble file of %s %s (%d)", ad_path.c_str(),
               strerror(errno), errno);
    return -1;
  }
  std::string rs_path = CompanionPath(path, VARN_RESOURCE_STREAM_NAME);
  int fd = rs_path.empty() ? -1 : VARNEAOpen(VARN_EA_KIND, rs_path.c_str());
  if (fd < 0) {
    TLOG_ERROR("Mac2VarnResourceConvert: cannot open VarnResource of %s", path.c_str());
    return -1;
  }
  // The Finder information goes along with the fork: the companion is where
  // the way back takes it from.
  FinderInfo info;
  std::string prefix;
  uint64_t fork_length = source.EntryLength(AD_EID_RFORK);
  int result = -1;
  do {
    if (source.ReadFinderInfo(&info) < 0) {
      TLOG_ERROR("Mac2VarnResourceConvert: cp rsfork read fail , %s (%d)", strerror(errno), errno);
      break;
    }
    if (BuildAdPrefix(info, {}, fork_length, &prefix) < 0 || ftruncate(fd, 0) < 0 ||
        !WriteAt(fd, prefix.data(), prefix.size(), 0)) {
      TLOG_ERROR("Mac2VarnResourceConvert: cp rsfork write fail , %s (%d)", strerror(errno), errno);
      break;
    }
    char buffer[CHUNK];
    uint64_t done = 0;
    bool copied = true;
    while (done < fork_length) {
      ssize_t n = source.ReadEntry(AD_EID_RFORK, done, buffer, sizeof buffer);
      if (n <= 0) {
        if (n == 0) errno = EIO;
        TLOG_ERROR("Mac2VarnResourceConvert: cp rsfork read fail , %s (%d)", strerror(errno), errno);
        copied = false;
        break;
      }
      if (!WriteAt(fd, buffer, static_cast<size_t>(n), prefix.size() + done)) {
        TLOG_ERROR("Mac2VarnResourceConvert: cp rsfork write fail , %s (%d)", strerror(errno), errno);
        copied = false;
        break;
      }
      done += static_cast<uint64_t>(n);
    }
    if (copied) result = 0;
  } while (false);
  if (close(fd) < 0 && result == 0) {
    TLOG_ERROR("Mac2VarnResourceConvert: cp rsfork write fail , %s (%d)", strerror(errno), errno);
    result = -1;
  }
  return result;
}

int Mac2TmpVarnEA(const std::string& ad_path, const std::string& path) {
  AppleDoubleFile source;
  if (source.Open(ad_path, O_RDONLY) < 0) {
    TLOG_ERROR("Mac2TmpVarnEA: source adouble file connot open %s %s (%d)", ad_path.c_str(), strerror(errno), errno);
    return -1;
  }
  const AdHeader& header = source.Header();
  int rs_slot = header.Slot(AD_EID_RFORK);
  uint64_t rsrc_offset = rs_slot < 0 ? source.FileSize() : header.m_entries[rs_slot].m_offset;
  // Everything but the fork is kept, so nothing else may lie past it.
  for (const AdEntry& entry : header.m_entries) {
    if (entry.m_id != AD_EID_RFORK && uint64_t{entry.m_offset} + entry.m_length > rsrc_offset) {
      TLOG_ERROR("Mac2TmpVarnEA: entry %u of %s lies past its resource fork", entry.m_id, ad_path.c_str());
      return -1;
    }
  }
  std::string ea_path = CompanionPath(path, VARN_EA_STREAM_NAME);
  int out = ea_path.empty() ? -1 : open(ea_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    TLOG_ERROR("Mac2TmpVarnEA: tmppath connot open %s %s (%d)", ea_path.c_str(), strerror(errno), errno);
    return -1;
  }
  int result = -1;
  CopyResult copied = CopyRange(source.Fd(), 0, out, 0, rsrc_offset);
  if (copied == COPY_READ_FAILED) {
    TLOG_ERROR("Mac2TmpVarnEA: connot read %s (%d)", strerror(errno), errno);
  } else if (copied == COPY_WRITE_FAILED || (rs_slot >= 0 && !Put32At(out, AdHeader::LengthFieldOffset(rs_slot), 0))) {
    TLOG_ERROR("Mac2TmpVarnEA: connot write %s (%d)", strerror(errno), errno);
  } else {
    result = 0;
  }
  if (close(out) < 0 && result == 0) {
    TLOG_ERROR("Mac2TmpVarnEA: connot write %s (%d)", strerror(errno), errno);
    result = -1;
  }
  return result;
}

int VarnEACopy(const std::string& src_ea, const std::string& dst_ea) {
  const char* src_path = src_ea.c_str();
  const char* dst_path = dst_ea.c_str();
  // The source is read as a stream even when it is copied whole: that
  // checks it before it becomes a file's companion.
  Stream src;
  if (!FSExists(src_ea) || src.Open(src_ea) < 0) {
    if (!FSExists(src_ea)) errno = ENOENT;
    TLOG_ERROR("VarnEACopy fail to open src %s %s (%d)", src_path, strerror(errno), errno);
    return -1;
  }
  std::vector<std::string> src_names;
  if (int listed = EnumNames(src.Get(), &src_names); listed < 0) {
    if (listed == -2) {
      TLOG_ERROR("VarnEACopy fail to VLIBCSzListAlloc ea %s %s (%d)", src_path, strerror(errno), errno);
    } else {
      TLOG_ERROR("VarnEACopy: fail to access src %s %s (%d)", src_path, strerror(errno), errno);
    }
    return -1;
  }
  if (!VarnEACheck(dst_ea)) {
    if (FSCopy(src_ea, dst_ea, false) != 0) {
      TLOG_ERROR("VarnEACopy: fail to access src %s %s (%d)", src_path, strerror(errno), errno);
      return -1;
    }
    return 0;
  }

  Stream dst;
  std::vector<std::string> dst_names;
  if (dst.Open(dst_ea) < 0) {
    TLOG_ERROR("VarnEACopy fail to open dst %s %s (%d)", dst_path, strerror(errno), errno);
    return -1;
  }
  if (int listed = EnumNames(dst.Get(), &dst_names); listed < 0) {
    if (listed == -2) {
      TLOG_ERROR("VarnEACopy fail to VLIBCSzListAlloc ea %s %s (%d)", dst_path, strerror(errno), errno);
    } else {
      TLOG_ERROR("VarnEACopy fail to open dst %s %s (%d)", dst_path, strerror(errno), errno);
    }
    return -1;
  }
  if (VARNEASWrite(dst.Get(), PLACEHOLDER_EA_NAME, PLACEHOLDER_EA_VALUE, strlen(PLACEHOLDER_EA_VALUE), 0, 1) < 0) {
    TLOG_ERROR("VarnEACopy fail to VARNEASWrite %s %s (%d)", dst_path, strerror(errno), errno);
    return -1;
  }
  for (const std::string& name : dst_names) {
    if (name == PLACEHOLDER_EA_NAME) continue;
    if (VARNEASRemove(dst.Get(), name.c_str()) < 0) {
      TLOG_ERROR("VarnEACopy fail to VARNEASRemove dst %s %s (%d)", dst_path, strerror(errno), errno);
      return -1;
    }
  }
  bool placeholder_copied = false;
  std::string value;
  for (const std::string& name : src_names) {
    ssize_t size = VARNEASRead(src.Get(), name.c_str(), nullptr, 0, 0, 1);
    if (size >= 0) {
      value.resize(static_cast<size_t>(size));
      if (size > 0) size = VARNEASRead(src.Get(), name.c_str(), value.data(), value.size(), 0, 1);
    }
    if (size < 0) {
      TLOG_ERROR("VarnEACopy fail to VARNEASRead %s %s (%d)", src_path, strerror(errno), errno);
      return -1;
    }
    if (VARNEASWrite(dst.Get(), name.c_str(), value.data(), value.size(), 0, 1) < 0) {
      TLOG_ERROR("VarnEACopy fail to VARNEASWrite %s %s (%d)", dst_path, strerror(errno), errno);
      return -1;
    }
    if (name == PLACEHOLDER_EA_NAME) placeholder_copied = true;
  }
  // The incoming Finder information replaces the old one with the
  // attributes, or the stream would keep a stale copy of it.
  FinderInfo info;
  if (VARNEASGetFinderInfo(src.Get(), &info) < 0 || VARNEASSetFinderInfo(dst.Get(), info) < 0) {
    TLOG_ERROR("VarnEACopy fail to VARNEASWrite %s %s (%d)", dst_path, strerror(errno), errno);
    return -1;
  }
  if (!placeholder_copied && VARNEASRemove(dst.Get(), PLACEHOLDER_EA_NAME) < 0) {
    TLOG_ERROR("VarnEACopy fail to VARNEASRemove dst %s %s (%d)", dst_path, strerror(errno), errno);
    return -1;
  }
  if (VARNEASFlush(dst.Get()) < 0) {
    TLOG_ERROR("VarnEACopy fail to VARNEASWrite %s %s (%d)", dst_path, strerror(errno), errno);
    return -1;
  }
  return 0;
}

int Mac2VarnEAConvert(const std::string& ad_path, const std::string& path, const std::string& scratch_dir,
                      bool lock) {
  TLOG_DEBUG("Mac2VarnEAConvert: path = [%s] copyfilepath = [%s]", ad_path.c_str(), path.c_str());
  if (!FSExists(path)) {
    TLOG_ERROR("Mac2VarnEAConvert: dst data file is not exist %s", path.c_str());
    return -1;
  }
  const std::string& volume_tmp = scratch_dir;
  if (PrepareScratch(volume_tmp) < 0) return -1;
  TempFile tmp_src_file(volume_tmp);
  TempFile tmp_file(volume_tmp);
  if (tmp_src_file.Create() < 0 || tmp_file.Create() < 0) {
    TLOG_ERROR("Mac2VarnEAConvert:  Failed to create TempFile");
    return -1;
  }
  TLOG_DEBUG("Mac2VarnEAConvert: tmp_src_file = [%s], tmp_file = [%s] ", tmp_src_file.Path().c_str(),
             tmp_file.Path().c_str());
  std::string rs_path = CompanionPath(path, VARN_RESOURCE_STREAM_NAME);
  std::string ea_path = CompanionPath(path, VARN_EA_STREAM_NAME);
  std::string rs_tmp = CompanionPath(tmp_file.Path(), VARN_RESOURCE_STREAM_NAME);
  std::string ea_tmp = CompanionPath(tmp_file.Path(), VARN_EA_STREAM_NAME);
  std::string ea_src_tmp = CompanionPath(tmp_src_file.Path(), VARN_EA_STREAM_NAME);
  WorkingFiles working;
  working.Add(rs_tmp);
  working.Add(ea_tmp);
  working.Add(ea_src_tmp);
  if (rs_path.empty() || ea_path.empty() || rs_tmp.empty() || ea_tmp.empty() || ea_src_tmp.empty()) {
    TLOG_ERROR("Mac2VarnEAConvert: no companion paths for %s", path.c_str());
    return -1;
  }
  if (CopyCompanion(rs_path, rs_tmp, "Mac2VarnEAConvert") < 0) return -1;
  if (CopyCompanion(ea_path, ea_tmp, "Mac2VarnEAConvert") < 0) return -1;

  {
    CriticalSection section(&g_resource_mutex, lock);
    if (Mac2VarnResourceConvert(ad_path, tmp_file.Path()) < 0) return -1;
  }
  if (Mac2TmpVarnEA(ad_path, tmp_src_file.Path()) < 0) return -1;
  if (VarnEACopy(ea_src_tmp, ea_tmp) < 0) return -1;

  char ea_dir[VARN_EA_PATH_MAX];
  if (VARNEADirPath(VARN_EA_KIND, path.c_str(), ea_dir, sizeof ea_dir) < 0 || FSMkdir(ea_dir, true) < 0) {
    TLOG_ERROR("Mac2VarnEAConvert: fail to create the attribute folder of %s", path.c_str());
    return -1;
  }
  for (const auto& [from, to] : {std::pair{rs_tmp, rs_path}, std::pair{ea_tmp, ea_path}}) {
    int moved = FSMove(from, to);
    if (moved != 0) {
      TLOG_ERROR("Mac2VarnEAConvert: fail to move %s to %s (%d)", from.c_str(), to.c_str(), moved);
      return -1;
    }
  }
  return 0;
}

}  // namespace tide
