#include "sync/view_path_guard.h"

#include <errno.h>
#include <sys/stat.h>

#include "sync/server_path.h"

namespace tide {

bool IsContainedViewPath(const std::string& watch_path, const std::string& path) {
  if (!IsSafeServerPath(path)) return false;
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
