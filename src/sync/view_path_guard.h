// Event paths that come from the server are untrusted: a path such as
// "/../../etc/passwd", or one that passes through a symbolic link planted
// in the view, must never lead a local removal or rename outside the view.
#pragma once

#include <string>

namespace tide {

// True when `path` passes IsSafeServerPath and every directory between
// `watch_path` and the last component of `path` is a real directory, not a
// symbolic link: an operation on watch_path + path then stays inside the
// view. The last component itself is not looked at (callers use lstat,
// rename and unlink on it, which do not follow a final link). A missing
// intermediate directory is fine: nothing can be reached through it.
bool IsContainedViewPath(const std::string& watch_path, const std::string& path);

}  // namespace tide
