#include "sync/server_path.h"

namespace tide {

bool IsSafeServerPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path.find('\0') != std::string::npos) return false;
  if (path.size() == 1) return true;  // the view's root

  // Walk the components between slashes; the leading slash opens the first.
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    size_t len = end - start;
    if (len == 0) return false;
    if (len == 1 && path[start] == '.') return false;
    if (len == 2 && path[start] == '.' && path[start + 1] == '.') return false;
    start = end + 1;
  }
  return true;
}

}  // namespace tide
