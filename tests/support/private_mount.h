// Runs a piece of a test in a forked child with its own mount namespace and
// a size-limited tmpfs, for full-disk and cross-device cases. The child's
// checks report through its exit status; the mount disappears with it.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace tide::test {

// Exit status of a child that could not set up its mount.
constexpr int MOUNT_NOT_PERMITTED = 77;

// Mounts a tmpfs of `size` (e.g. "1m") on `mount_point` (an existing
// directory) and runs `body` there. Returns body's result (0..76), or
// MOUNT_NOT_PERMITTED.
inline int RunWithSmallTmpfs(const std::string& mount_point, const std::string& size,
                             const std::function<int()>& body) {
  pid_t child = fork();
  if (child < 0) return MOUNT_NOT_PERMITTED;
  if (child == 0) {
    if (unshare(CLONE_NEWNS) < 0) _exit(MOUNT_NOT_PERMITTED);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) _exit(MOUNT_NOT_PERMITTED);
    std::string options = "size=" + size;
    if (mount("tide-test", mount_point.c_str(), "tmpfs", 0, options.c_str()) < 0) _exit(MOUNT_NOT_PERMITTED);
    _exit(body());
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

}  // namespace tide::test
