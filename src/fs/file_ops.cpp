#define TIDE_LOG_TAG "file-op"
#define TIDE_LOG_COMPONENT "file_op_debug"
#include "fs/file_ops.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/logger.h"
#include "fs/copy_data.h"
#include "fs/unique_fd.h"

namespace tide {

namespace {

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkdir with the requested mode: 0777 under the umask, or an explicit mode
// applied exactly. The umask is process-wide and other threads create files
// meanwhile, so an explicit mode is set afterwards instead of clearing it.
int MakeOne(const std::string& path, int mode) {
  if (mkdir(path.c_str(), mode < 0 ? 0777 : static_cast<mode_t>(mode)) < 0) return -1;
  if (mode >= 0 && chmod(path.c_str(), static_cast<mode_t>(mode)) < 0) {
    TLOG_WARNING("chmod(%s): %s", path.c_str(), strerror(errno));
  }
  return 0;
}

int MkdirRecursive(const std::string& path, bool replace, int mode) {
  size_t pos = path[0] == '/' ? 1 : 0;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    bool last = slash == std::string::npos;
    size_t end = last ? path.size() : slash;
    if (end == pos) {  // empty component ("//" or a trailing "/")
      if (last) break;
      pos = slash + 1;
      continue;
    }
    std::string prefix = path.substr(0, end);
    struct stat st;
    if (stat(prefix.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) {
        if (!replace) {
          errno = last ? EEXIST : ENOTDIR;
          TLOG_ERROR("FSMkdir: '%s' is in the way: %s", prefix.c_str(), strerror(errno));
          return -1;
        }
        if (unlink(prefix.c_str()) < 0) {
          TLOG_ERROR("FSMkdir: unlink(%s): %s", prefix.c_str(), strerror(errno));
          return -2;
        }
        if (MakeOne(prefix, mode) < 0 && errno != EEXIST) {
          TLOG_ERROR("FSMkdir: mkdir(%s): %s", prefix.c_str(), strerror(errno));
          return -2;
        }
      }
    } else if (MakeOne(prefix, mode) < 0 && errno != EEXIST) {
      // EEXIST: someone else made it meanwhile, which is as good.
      TLOG_ERROR("FSMkdir: mkdir(%s): %s", prefix.c_str(), strerror(errno));
      return -2;
    }
    if (last) break;
    pos = slash + 1;
  }
  return 0;
}

// Names of the entries of `path` except "." and "..", read before anything
// is changed so that no directory stream stays open during recursion.
int ListEntries(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return -1;
  errno = 0;
  while (struct dirent64* entry = readdir64(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names->emplace_back(entry->d_name);
  }
  int error = errno;
  closedir(dir);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}

int CopyFileSimple(const std::string& source, const std::string& destination) {
  UniqueFd in(open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.Valid()) {
    TLOG_ERROR("CopyFile: open(%s): %s (%d)", source.c_str(), strerror(errno), errno);
    return -1;
  }
  UniqueFd out(open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (!out.Valid()) {
    TLOG_ERROR("CopyFile: open(%s): %s (%d)", destination.c_str(), strerror(errno), errno);
    return -1;
  }
  if (CopyFileContents(in.Get(), out.Get(), source + " -> " + destination, nullptr) < 0) {
    return errno == ENOSPC || errno == EDQUOT ? -2 : -1;
  }
  if (close(out.Release()) < 0 && (errno == ENOSPC || errno == EDQUOT)) {
    TLOG_ERROR("CopyFile: write: %s (%d)", strerror(errno), errno);
    return -2;
  }
  return 0;
}

// The copy-and-remove path of a move between file systems.
int MoveAcross(const std::string& source, const std::string& destination, const FileInfo& info) {
  if (info.m_type != FILE_TYPE_DIRECTORY) {
    return FSCopy(source, destination, true) == 0 ? 0 : -3;
  }
  if (MakeOne(destination, -1) < 0 && errno != EEXIST) {
    TLOG_ERROR("FSMove: mkdir(%s): %s", destination.c_str(), strerror(errno));
    return -3;
  }
  std::vector<std::string> names;
  if (ListEntries(source, &names) < 0) {
    TLOG_ERROR("FSMove: cannot read '%s': %s", source.c_str(), strerror(errno));
    return -3;
  }
  for (const std::string& name : names) {
    if (FSMove(source + "/" + name, destination + "/" + name) != 0) return -3;
  }
  if (rmdir(source.c_str()) < 0) {
    TLOG_ERROR("FSMove: rmdir(%s): %s", source.c_str(), strerror(errno));
    return -3;
  }
  return 0;
}

int MoveImpl(const std::string& source, const std::string& destination, bool no_replace) {
  if (source.empty() || destination.empty()) return -1;
  FileInfo info;
  if (FSGetInfo(source, &info) < 0 || !info.m_exists) return -2;
  int renamed = no_replace ? renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE)
                           : rename(source.c_str(), destination.c_str());
  if (renamed < 0 && no_replace && errno == EINVAL) {
    // The file system cannot refuse to replace by itself: look first.
    struct stat st;
    if (lstat(destination.c_str(), &st) == 0) {
      errno = EEXIST;
    } else {
      renamed = rename(source.c_str(), destination.c_str());
    }
  }
  if (renamed == 0) return 0;
  if (no_replace && errno == EEXIST) return FS_MOVE_TARGET_EXISTS;
  if (errno != EXDEV) {
    TLOG_ERROR("FSMove: rename(%s, %s): %s", source.c_str(), destination.c_str(), strerror(errno));
    return -3;
  }
  if (no_replace) {
    struct stat st;
    if (lstat(destination.c_str(), &st) == 0) {
      errno = EEXIST;
      return FS_MOVE_TARGET_EXISTS;
    }
  }
  return MoveAcross(source, destination, info);
}

}  // namespace

int FSGetInfo(const std::string& path, FileInfo* info) {
  if (path.empty()) return -1;
  info->m_path = path;
  info->m_name = BaseName(path);
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) {
    if (errno != ENOENT) return -2;
    SetMissing(info);
    return 0;
  }
  return FillFileInfo(st, info);
}

bool FSExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int FSMkdir(const std::string& path, bool recursive, bool replace, int mode) {
  if (path.empty()) return -1;
  if (recursive) return MkdirRecursive(path, replace, mode);
  if (MakeOne(path, mode) < 0) {
    TLOG_ERROR("FSMkdir: mkdir(%s): %s", path.c_str(), strerror(errno));
    return -2;
  }
  return 0;
}

int FSCreateTempFile(const std::string& directory, std::string* out_path) {
  if (directory.empty()) return -1;
  char name[4096];
  int length = snprintf(name, sizeof name, "%s/XXXXXX", directory.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof name) {
    TLOG_ERROR("mkstemp(%s/XXXXXX): %s", directory.c_str(), strerror(ENAMETOOLONG));
    return -1;
  }
  char template_copy[4096];
  memcpy(template_copy, name, static_cast<size_t>(length) + 1);
  // O_EXCL (mkostemp's own) and O_NOFOLLOW: the name is ours alone, never
  // something planted there. The file stays 0600: only the daemon and the
  // server (root) read it.
  int fd = mkostemp(name, O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    TLOG_ERROR("mkstemp(%s): %s", template_copy, strerror(errno));
    return -1;
  }
  *out_path = name;
  return fd;
}

int FSSetTime(const std::string& path, int64_t atime, int64_t mtime) {
  if (path.empty()) return -1;
  struct utimbuf times = {static_cast<time_t>(atime), static_cast<time_t>(mtime)};
  if (utime(path.c_str(), &times) < 0) {
    TLOG_ERROR("FSSetTime: utime(%s): %s", path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int FSCopy(const std::string& source, const std::string& destination, bool remove_source) {
  if (source.empty() || destination.empty()) return -1;
  int result = CopyFileSimple(source, destination);
  if (result != 0) return result;
  if (remove_source && remove(source.c_str()) < 0) {
    TLOG_ERROR("FSCopy: remove(%s): %s", source.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int FSMove(const std::string& source, const std::string& destination) {
  return MoveImpl(source, destination, false);
}

int FSMoveNoReplace(const std::string& source, const std::string& destination) {
  return MoveImpl(source, destination, true);
}

int FSRemove(const std::string& path) {
  if (path.empty()) return -1;
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) return 0;
  if (!S_ISDIR(st.st_mode)) {
    if (remove(path.c_str()) < 0 && errno != ENOENT) {
      TLOG_ERROR("FSRemove: remove(%s): %s", path.c_str(), strerror(errno));
      return -3;
    }
    return 0;
  }
  std::vector<std::string> names;
  if (ListEntries(path, &names) < 0) {
    TLOG_ERROR("FSRemove: cannot read '%s': %s", path.c_str(), strerror(errno));
    return -3;
  }
  for (const std::string& name : names) {
    if (FSRemove(path + "/" + name) != 0) return -3;
  }
  if (rmdir(path.c_str()) < 0 && errno != ENOENT) {
    TLOG_ERROR("FSRemove: rmdir(%s): %s", path.c_str(), strerror(errno));
    return -3;
  }
  return 0;
}

int FSOpenDir(const std::string& path, int flag, FSDir* handle) {
  if (path.empty()) return -1;
  handle->Close();
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    TLOG_ERROR("FSOpenDir: Failed to open directory '%s'. %s", path.c_str(), strerror(errno));
    return -1;
  }
  handle->m_path = path;
  handle->m_flag = flag;
  handle->m_dir = dir;
  return 0;
}

FSDir::~FSDir() { Close(); }

void FSDir::Close() {
  if (m_dir) closedir(m_dir);
  m_dir = nullptr;
}

int FSDir::Next(std::string* name, FileInfo* info) {
  if (!m_dir) return -1;
  for (;;) {
    // readdir64 is safe for one stream per thread, which is how handles
    // are used; readdir64_r is deprecated for that reason.
    errno = 0;
    struct dirent64* entry = readdir64(m_dir);
    if (!entry) {
      if (errno != 0) {
        TLOG_ERROR("FSOpenDir: Failed to read directory '%s'. %s", m_path.c_str(), strerror(errno));
        return -1;
      }
      return 0;
    }
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    *name = entry->d_name;
    if ((m_flag & FS_DIR_WITH_INFO) && info) {
      std::string full = m_path + "/" + *name;
      if (FSGetInfo(full, info) < 0) {
        TLOG_ERROR("FSOpenDir: Failed to get info for '%s'", full.c_str());
        return -1;
      }
    }
    return 1;
  }
}

}  // namespace tide
