// The server path check against a second, obviously-correct reading of the
// same rule (split on '/', look at each piece), so that any path the check
// lets through is one that cannot leave a view.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sync/server_path.h"

namespace {

bool Reference(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  std::string piece;
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (piece.empty() || piece == "." || piece == "..") return false;
      piece.clear();
    } else if (path[i] == '\0') {
      return false;
    } else {
      piece += path[i];
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  if (tide::IsSafeServerPath(path) != Reference(path)) abort();
  return 0;
}
