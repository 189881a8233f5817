// Paths that come from the server daemon are untrusted input: a response or
// an event could name "../etc" or a path with an embedded NUL, and joining
// that onto a view's root would reach outside the view. Every path taken from
// the server passes this check before it is used on the disk.
#pragma once

#include <string>

namespace tide {

// True when `path` is absolute ("/" alone is the view's root) and none of its
// components is empty, "." or "..", and it holds no NUL byte. A trailing
// slash counts as an empty last component and is refused.
bool IsSafeServerPath(const std::string& path);

}  // namespace tide
