#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/local_path_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/logger.h"

namespace tide {

namespace {

// realpath without the fixed-size buffer; empty when it cannot resolve.
std::string Resolve(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return "";
  std::string result = resolved;
  free(resolved);
  return result;
}

bool IsBelow(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

}  // namespace

int CheckLocalPathInView(const std::string& watch_path, const std::string& local_path) {
  if (watch_path.empty() || !IsBelow(local_path, watch_path)) {
    TLOG_ERROR("refusing '%s': not inside the view at '%s'", local_path.c_str(), watch_path.c_str());
    return -1;
  }
  std::string root;  // resolved watch path, looked up only when a link is met
  size_t pos = watch_path.size();
  for (;;) {
    size_t next = local_path.find('/', pos + 1);
    // The last component is not checked: see the header.
    if (next == std::string::npos) return 0;
    std::string prefix = local_path.substr(0, next);
    pos = next;
    struct stat st;
    if (lstat(prefix.c_str(), &st) < 0) {
      // Nothing further down exists yet; whatever gets created there is
      // created by us, as a real directory.
      if (errno == ENOENT || errno == ENOTDIR) return 0;
      TLOG_ERROR("refusing '%s': lstat(%s): %s", local_path.c_str(), prefix.c_str(), strerror(errno));
      return -1;
    }
    if (!S_ISLNK(st.st_mode)) continue;
    if (root.empty()) root = Resolve(watch_path);
    std::string target = Resolve(prefix);
    if (root.empty() || target.empty() || !IsBelow(target, root)) {
      TLOG_ERROR("refusing '%s': '%s' is a symbolic link that leads out of the view", local_path.c_str(),
                 prefix.c_str());
      return -1;
    }
  }
}

namespace {

// fsync of what `path` names, opened with `flags`. 0 or -1 after an ERROR
// line, errno kept.
int SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) {
    TLOG_ERROR("open(%s) for fsync: %s", path.c_str(), strerror(errno));
    return -1;
  }
  int result = fsync(fd);
  int error = errno;
  close(fd);
  if (result < 0) {
    TLOG_ERROR("fsync(%s): %s", path.c_str(), strerror(error));
    errno = error;
    return -1;
  }
  return 0;
}

}  // namespace

int SyncFile(const std::string& path) { return SyncPath(path, 0); }

int SyncParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  return SyncPath(dir, O_DIRECTORY);
}

}  // namespace tide
