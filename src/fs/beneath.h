// Resolving a relative path beneath a directory descriptor.
//
// The daemon runs as root inside folders that other people own. A user can
// replace any folder of her tree with a symbolic link at any moment, so a
// path checked once may lead elsewhere when it is used. Every lookup below
// a view therefore starts from a descriptor of the view and refuses to pass
// through a symbolic link or to climb above its start, in the kernel where
// it can (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS, Linux 5.6 and
// later), else one component at a time with O_NOFOLLOW. What is opened is
// then the object that was looked at: a link swapped in between makes the
// operation fail instead of landing elsewhere.
#pragma once

#include <sys/types.h>

#include <string>

namespace tide {

// Opens `relative` ("a/b/c"; leading slashes are ignored, "" or "/" is
// `dir_fd` itself) beneath `dir_fd` with `flags` (O_CLOEXEC and O_NOFOLLOW
// are added) and `mode` for O_CREAT. Components may not be "." or "..".
// A descriptor, or -1 with errno set; ELOOP when a symbolic link stood in
// the way (also as the last component), EXDEV when the path tried to leave.
int OpenBeneath(int dir_fd, const std::string& relative, int flags, mode_t mode = 0);

// True for the errno values of OpenBeneath that mean "a symbolic link or a
// path leading out was refused".
bool IsLinkRefusal(int error);

// True when `name` in the folder `dir_fd` is a symbolic link itself.
bool IsLinkAt(int dir_fd, const std::string& name);

// Whether the kernel resolves beneath by itself (probed once).
bool KernelResolvesBeneath();

// Benchmarks and tests measure the component walk on kernels that have
// openat2: true forces the walk. Set before any worker runs.
void ForceComponentWalk(bool force);

}  // namespace tide
