#include "fs/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "fs/unique_fd.h"

namespace tide {

// O_DIRECTORY | O_NOFOLLOW on a link reports ENOTDIR: a link must read as a
// refusal, not as "something else is there".
bool IsLinkAt(int dir_fd, const std::string& name) {
  struct stat st;
  return fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

namespace {

std::atomic<bool> g_force_walk{false};

// -1: not probed yet; 0: no openat2; 1: openat2 with the flags we need.
std::atomic<int> g_kernel_support{-1};

int CallOpenat2(int dir_fd, const char* path, int flags, mode_t mode) {
  struct open_how how = {};
  how.flags = static_cast<unsigned long long>(flags);
  // O_TMPFILE shares its bit with O_DIRECTORY: only the whole of it counts.
  how.mode = ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return static_cast<int>(syscall(SYS_openat2, dir_fd, path, &how, sizeof how));
}

bool Probe() {
  int known = g_kernel_support.load(std::memory_order_relaxed);
  if (known >= 0) return known == 1;
  int fd = CallOpenat2(AT_FDCWD, ".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  // ENOSYS: older kernel; EPERM/EACCES: a seccomp filter that does not know it.
  bool supported = fd >= 0;
  if (fd >= 0) close(fd);
  g_kernel_support.store(supported ? 1 : 0, std::memory_order_relaxed);
  return supported;
}

// Strips leading and doubled slashes; false for "." or ".." components.
bool Normalise(const std::string& relative, std::string* clean) {
  clean->clear();
  size_t pos = 0;
  while (pos < relative.size()) {
    size_t slash = relative.find('/', pos);
    if (slash == std::string::npos) slash = relative.size();
    if (slash > pos) {
      std::string part = relative.substr(pos, slash - pos);
      if (part == "." || part == "..") return false;
      *clean += clean->empty() ? part : "/" + part;
    }
    pos = slash + 1;
  }
  return true;
}

// The walk of kernels without openat2: every directory on the way is opened
// with O_NOFOLLOW, so a link met there is refused, and the last step is an
// openat on the parent's descriptor.
int WalkAndOpen(int dir_fd, const std::string& clean, int flags, mode_t mode) {
  UniqueFd current;
  int at = dir_fd;
  size_t pos = 0;
  for (;;) {
    size_t slash = clean.find('/', pos);
    if (slash == std::string::npos) {
      std::string leaf = clean.substr(pos);
      int fd = openat(at, leaf.c_str(), flags, mode);
      if (fd < 0 && errno == ENOTDIR && IsLinkAt(at, leaf)) errno = ELOOP;
      return fd;
    }
    std::string part = clean.substr(pos, slash - pos);
    int next = openat(at, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int error = errno;
      // O_PATH | O_NOFOLLOW opens a link itself, which O_DIRECTORY then
      // rejects as ENOTDIR: tell that case apart so callers see a refusal.
      struct stat st;
      if (error == ENOTDIR && fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        error = ELOOP;
      }
      errno = error;
      return -1;
    }
    current.Reset(next);
    at = next;
    pos = slash + 1;
  }
}

}  // namespace

bool KernelResolvesBeneath() { return Probe(); }

void ForceComponentWalk(bool force) { g_force_walk.store(force, std::memory_order_relaxed); }

bool IsLinkRefusal(int error) { return error == ELOOP || error == EXDEV; }

int OpenBeneath(int dir_fd, const std::string& relative, int flags, mode_t mode) {
  std::string clean;
  if (!Normalise(relative, &clean)) {
    errno = EXDEV;
    return -1;
  }
  flags |= O_CLOEXEC | O_NOFOLLOW;
  if (clean.empty()) clean.push_back('.');
  if (!g_force_walk.load(std::memory_order_relaxed) && Probe()) {
    for (;;) {
      int fd = CallOpenat2(dir_fd, clean.c_str(), flags, mode);
      // EAGAIN: a rename elsewhere raced the lookup; the kernel asks to retry.
      if (fd < 0 && errno == EAGAIN) continue;
      if (fd < 0 && errno == ENOTDIR) {
        // A link as the last name (the way to it is clean, or the kernel
        // would have said ELOOP): look at it itself.
        int link = CallOpenat2(dir_fd, clean.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0);
        struct stat st;
        bool is_link = link >= 0 && fstat(link, &st) == 0 && S_ISLNK(st.st_mode);
        if (link >= 0) close(link);
        errno = is_link ? ELOOP : ENOTDIR;
      }
      return fd;
    }
  }
  if (clean == ".") return openat(dir_fd, ".", flags, mode);
  return WalkAndOpen(dir_fd, clean, flags, mode);
}

}  // namespace tide
