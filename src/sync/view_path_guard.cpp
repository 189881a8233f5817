#include "sync/view_path_guard.h"

#include <errno.h>
#include <sys/stat.h>

#include <string_view>

namespace tide {

bool IsSafeViewPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path.find('\0') != std::string::npos) return false;
  if (path == "/") return true;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string_view component(path.data() + start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

bool IsContainedViewPath(const std::string& watch_path, const std::string& path) {
  if (!IsSafeViewPath(path)) return false;
  size_t last = path.rfind('/');
  // Every proper prefix ending before a "/" (past the leading one) is an
  // intermediate directory.
  for (size_t slash = path.find('/', 1); slash != std::string::npos && slash <= last; slash = path.find('/', slash + 1)) {
    std::string prefix = watch_path + path.substr(0, slash);
    struct stat st;
    if (lstat(prefix.c_str(), &st) < 0) {
      if (errno == ENOENT || errno == ENOTDIR) return true;
      return false;
    }
    // A link could lead anywhere; any other non-directory leads nowhere.
    if (S_ISLNK(st.st_mode)) return false;
    if (!S_ISDIR(st.st_mode)) return true;
  }
  return true;
}

}  // namespace tide
