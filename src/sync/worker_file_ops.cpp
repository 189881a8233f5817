#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/worker_file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/logger.h"
#include "platform/vendor_system.h"
#include "sync/copy_data.h"
#include "sync/index_notify.h"

namespace tide {

namespace {

bool Aborted(const std::atomic<int>* abort_flag) {
  return abort_flag && abort_flag->load(std::memory_order_relaxed) != 0;
}

std::string CompanionPath(const std::string& path, const char* stream) {
  char buffer[VARN_EA_PATH_MAX];
  if (VARNEAPath(VARN_EA_KIND, path.c_str(), stream, buffer, sizeof buffer) < 0) return "";
  return buffer;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

int RenameLogged(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) < 0) {
    TLOG_ERROR("MoveFile: fail to rename '%s' -> '%s'. %s.", from.c_str(), to.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

}  // namespace

int RemoveFile(const std::string& path) {
  for (const char* stream : {EA_STREAM_NAME, EA_RESOURCE_NAME}) {
    std::string companion = CompanionPath(path, stream);
    if (!companion.empty()) unlink(companion.c_str());
  }
  if (unlink(path.c_str()) < 0 && errno != ENOENT) {
    TLOG_ERROR("RemoveFile: unlink(%s): %s", path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int CopyFile(const std::string& source, const std::string& destination, const std::atomic<int>* abort_flag) {
  if (Aborted(abort_flag)) {
    TLOG_ERROR("CopyFile: interrupted by abort flag");
    errno = ECANCELED;
    return -1;
  }
  int in_fd = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in_fd < 0) {
    int error = errno;
    TLOG_ERROR("CopyFile: open(%s): %s (%d)", source.c_str(), strerror(error), error);
    errno = error;
    return -1;
  }
  int out_fd = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out_fd < 0) {
    int error = errno;
    TLOG_ERROR("CopyFile: open(%s): %s (%d)", source.c_str(), strerror(error), error);
    close(in_fd);
    errno = error;
    return -1;
  }
  int copied = CopyData(in_fd, out_fd, abort_flag);
  int error = errno;
  switch (copied) {
    case COPY_DATA_OK:
      break;
    case COPY_DATA_ABORTED:
      TLOG_ERROR("CopyFile: interrupted by abort flag");
      break;
    case COPY_DATA_NO_MEMORY:
      TLOG_ERROR("CopyFile: malloc(%d): %s (%d)", static_cast<int>(COPY_DATA_CHUNK), strerror(error), error);
      break;
    case COPY_DATA_WRITE_ERROR:
      TLOG_ERROR("CopyFile: write: %s (%d)", strerror(error), error);
      break;
    default:
      TLOG_ERROR("CopyFile: read: %s (%d)", strerror(error), error);
      break;
  }
  // Data the file system could not place shows up as ENOSPC here at the
  // latest; the caller must see it to freeze the view.
  if (fsync(out_fd) < 0 && copied == COPY_DATA_OK && (errno == ENOSPC || errno == EDQUOT)) {
    error = errno;
    TLOG_ERROR("CopyFile: write: %s (%d)", strerror(error), error);
    copied = COPY_DATA_WRITE_ERROR;
  }
  if (close(out_fd) < 0 && copied == COPY_DATA_OK && (errno == ENOSPC || errno == EDQUOT)) {
    error = errno;
    TLOG_ERROR("CopyFile: write: %s (%d)", strerror(error), error);
    copied = COPY_DATA_WRITE_ERROR;
  }
  close(in_fd);
  errno = error;
  return copied == COPY_DATA_OK ? 0 : -1;
}

int CreateDirectory(const std::string& path, uid_t uid, gid_t gid, bool notify) {
  if (path.empty()) return -1;
  if (Exists(path)) return 0;
  size_t pos = 1;
  for (;;) {
    size_t slash = path.find('/', pos);
    bool whole = slash == std::string::npos;
    std::string prefix = whole ? path : path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0777) == 0) {
      if (chown(prefix.c_str(), uid, gid) < 0) {
        TLOG_WARNING("CreateDirectory: chown(%s): %s", prefix.c_str(), strerror(errno));
      }
      if (notify) NotifyIndex(INDEX_ADDED, prefix);
    } else if (errno != EEXIST) {
      TLOG_ERROR("CreateDirecotry: fail to create '%s'. %s", prefix.c_str(), strerror(errno));
      return -1;
    }
    if (whole) return 0;
    pos = slash + 1;
  }
}

int MoveFile(const std::string& source, const std::string& destination) {
  char ea_dir[VARN_EA_PATH_MAX];
  if (VARNEADirPath(VARN_EA_KIND, destination.c_str(), ea_dir, sizeof ea_dir) < 0) {
    TLOG_ERROR("MoveFile: no attribute directory for '%s'", destination.c_str());
    return -1;
  }
  if (CreateDirectory(ea_dir, geteuid(), getegid(), false) < 0) return -1;
  for (const char* stream : {EA_STREAM_NAME, EA_RESOURCE_NAME}) {
    std::string from = CompanionPath(source, stream);
    std::string to = CompanionPath(destination, stream);
    if (from.empty() || to.empty() || !Exists(from)) continue;
    if (RenameLogged(from, to) < 0) return -1;
  }
  return RenameLogged(source, destination);
}

int RemoveTreeContents(const std::string& path, const std::atomic<int>* abort_flag) {
  // Entry names are read first and the stream closed, so deep trees never
  // hold more than one directory open.
  std::vector<std::pair<std::string, bool>> entries;
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    TLOG_ERROR("opendir(%s): %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  while (struct dirent64* entry = readdir64(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = path + "/" + entry->d_name;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    entries.emplace_back(std::move(child), is_dir);
  }
  closedir(dir);

  int result = 0;
  for (const auto& [child, is_dir] : entries) {
    if (Aborted(abort_flag)) {
      TLOG_NOTE("Traversing '%s' ... abort", path.c_str());
      return -1;
    }
    if (is_dir) {
      if (RemoveTreeContents(child, abort_flag) < 0) {
        if (Aborted(abort_flag)) return -1;
        result = -1;
      }
      if (rmdir(child.c_str()) < 0) {
        TLOG_ERROR("rmdir(%s): %s (%d):", child.c_str(), strerror(errno), errno);
        result = -1;
      }
    } else if (unlink(child.c_str()) < 0) {
      TLOG_ERROR("unlink(%s): %s (%d):", child.c_str(), strerror(errno), errno);
      result = -1;
    }
  }
  return result;
}

int RemoveDirectory(const std::string& path, const std::string& parking_dir, const std::atomic<int>* abort_flag) {
  char parking[4096];
  int length = snprintf(parking, sizeof parking, "%s/XXXXXX", parking_dir.c_str());
  if (length < 0 || static_cast<size_t>(length) >= sizeof parking) {
    TLOG_ERROR("RemoveDirectory: mkdtemp(%s/XXXXXX): %s", parking_dir.c_str(), strerror(ENAMETOOLONG));
    return -1;
  }
  if (!mkdtemp(parking)) {
    TLOG_ERROR("RemoveDirectory: mkdtemp(%s): %s", parking, strerror(errno));
    return -1;
  }
  // The directory goes inside the fresh parking folder rather than onto
  // it: that rename can never replace anything.
  std::string parked = std::string(parking) + "/d";
  if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, parked.c_str(), RENAME_NOREPLACE) < 0 &&
      (errno != EINVAL || rename(path.c_str(), parked.c_str()) < 0)) {
    TLOG_ERROR("RemoveDirectory: rename: %s", strerror(errno));
    rmdir(parking);
    return -1;
  }
  if (RemoveTreeContents(parking, abort_flag) < 0) {
    TLOG_ERROR("RemoveDirectory: failed to remove %s", parking);
  } else if (rmdir(parking) < 0) {
    TLOG_ERROR("RemoveDirectory: failed to remove last directory '%s'", parking);
  }
  return 0;
}

}  // namespace tide
