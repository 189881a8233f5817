#define TIDE_LOG_TAG "file-op"
#define TIDE_LOG_COMPONENT "file_op_debug"
#include "fs/view_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <random>
#include <utility>
#include <vector>

#include "core/logger.h"
#include "fs/beneath.h"
#include "platform/vendor_system.h"

namespace tide {

const char* const COMPANION_STREAMS[2] = {VARN_EA_STREAM_NAME, VARN_RESOURCE_STREAM_NAME};

namespace {

constexpr const char* EA_DIR_NAME = "@eaDir";

std::atomic<mode_t> g_creation_mask{022};

// "a/b/c" -> "a/b" and "c"; false for the folder itself or a "." / ".."
// last name.
bool SplitRelative(const std::string& relative, std::string* dir, std::string* leaf) {
  size_t end = relative.find_last_not_of('/');
  if (end == std::string::npos) return false;
  size_t slash = relative.rfind('/', end);
  *leaf = relative.substr(slash == std::string::npos ? 0 : slash + 1,
                          slash == std::string::npos ? end + 1 : end - slash);
  *dir = slash == std::string::npos ? "" : relative.substr(0, slash);
  return *leaf != "." && *leaf != "..";
}

int RefusedOr(int error, int otherwise) {
  errno = error;
  return IsLinkRefusal(error) ? FS_LINK_REFUSED : otherwise;
}

// The "@eaDir" folder of the folder at `parent_fd`, opened without
// following a link; with `owner` set it is made when missing.
int OpenEaDir(int parent_fd, const NewOwner* owner) {
  int fd = OpenChildDirectory(parent_fd, EA_DIR_NAME);
  if (fd >= 0 || errno != ENOENT || owner == nullptr) return fd;
  if (mkdirat(parent_fd, EA_DIR_NAME, 0777) < 0 && errno != EEXIST) return -1;
  fd = OpenChildDirectory(parent_fd, EA_DIR_NAME);
  if (fd >= 0 && (owner->m_uid != static_cast<uid_t>(-1) || owner->m_gid != static_cast<gid_t>(-1))) {
    if (fchown(fd, owner->m_uid, owner->m_gid) < 0) TLOG_WARNING("fchown(@eaDir): %s", strerror(errno));
  }
  return fd;
}

std::string CompanionName(const std::string& leaf, const char* stream) { return leaf + "@" + stream; }

// Copies the bytes of `in_fd` into a new file `name` in `dir_fd`.
int CopyInto(int in_fd, int dir_fd, const std::string& name) {
  UniqueFd out(openat(dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.Valid()) return -1;
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out.Get(), buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) return -1;
      done += w;
    }
  }
}

// POSIX ACLs as the kernel stores them in the "system.posix_acl_*"
// attributes: a version word, then (tag, permissions, id) entries.
struct AclHeader {
  uint32_t m_version;
};
struct AclEntry {
  uint16_t m_tag;
  uint16_t m_perm;
  uint32_t m_id;
};
constexpr uint16_t ACL_TAG_USER_OBJ = 0x01;
constexpr uint16_t ACL_TAG_GROUP_OBJ = 0x04;
constexpr uint16_t ACL_TAG_MASK = 0x10;
constexpr uint16_t ACL_TAG_OTHER = 0x20;

// What the kernel does to a folder's default ACL when it makes a new object
// in it with `mode`: the owner, group class and other entries keep only
// the permissions the mode grants.
void MaskInheritedAcl(std::vector<char>* acl, mode_t mode) {
  size_t count = (acl->size() - sizeof(AclHeader)) / sizeof(AclEntry);
  auto* entries = reinterpret_cast<AclEntry*>(acl->data() + sizeof(AclHeader));
  bool has_mask = false;
  for (size_t i = 0; i < count; ++i) has_mask |= entries[i].m_tag == ACL_TAG_MASK;
  for (size_t i = 0; i < count; ++i) {
    AclEntry& entry = entries[i];
    if (entry.m_tag == ACL_TAG_USER_OBJ) entry.m_perm &= (mode >> 6) & 7;
    if (entry.m_tag == ACL_TAG_OTHER) entry.m_perm &= mode & 7;
    if (entry.m_tag == (has_mask ? ACL_TAG_MASK : ACL_TAG_GROUP_OBJ)) entry.m_perm &= (mode >> 3) & 7;
  }
}

// The default ACL of the folder at `dir_fd`; empty when it has none.
std::vector<char> DefaultAcl(int dir_fd) {
  std::vector<char> acl;
  ssize_t size = fgetxattr(dir_fd, "system.posix_acl_default", nullptr, 0);
  if (size <= static_cast<ssize_t>(sizeof(AclHeader))) return acl;
  acl.resize(static_cast<size_t>(size));
  size = fgetxattr(dir_fd, "system.posix_acl_default", acl.data(), acl.size());
  if (size <= static_cast<ssize_t>(sizeof(AclHeader)) ||
      (static_cast<size_t>(size) - sizeof(AclHeader)) % sizeof(AclEntry) != 0) {
    acl.clear();
    return acl;
  }
  acl.resize(static_cast<size_t>(size));
  return acl;
}

}  // namespace

void SetCreationMask(mode_t mask) {
  g_creation_mask.store(mask & 0777, std::memory_order_relaxed);
  umask(mask & 0777);
}

mode_t CreationMask() { return g_creation_mask.load(std::memory_order_relaxed); }

int ApplyNewObjectPermissions(int fd, int parent_fd, bool is_dir, NewOwner owner, const std::string& path_for_log) {
  mode_t mode = is_dir ? 0777 : 0666;
  int result = 0;
  std::vector<char> acl = DefaultAcl(parent_fd);
  if (!acl.empty()) {
    std::vector<char> access = acl;
    MaskInheritedAcl(&access, mode);
    // Setting the access ACL sets the mode bits from it as well.
    if (fsetxattr(fd, "system.posix_acl_access", access.data(), access.size(), 0) < 0 ||
        (is_dir && fsetxattr(fd, "system.posix_acl_default", acl.data(), acl.size(), 0) < 0)) {
      TLOG_WARNING("setting the inherited ACL of '%s': %s", path_for_log.c_str(), strerror(errno));
      result = -1;
    }
  } else if (fchmod(fd, mode & ~CreationMask()) < 0) {
    TLOG_WARNING("fchmod(%s): %s", path_for_log.c_str(), strerror(errno));
    result = -1;
  }
  if ((owner.m_uid != static_cast<uid_t>(-1) || owner.m_gid != static_cast<gid_t>(-1)) &&
      fchown(fd, owner.m_uid, owner.m_gid) < 0) {
    TLOG_WARNING("fchown(%s, %d, %d): %s", path_for_log.c_str(), static_cast<int>(owner.m_uid),
                 static_cast<int>(owner.m_gid), strerror(errno));
    result = -1;
  }
  return result;
}

int ViewDir::Open(const std::string& path) {
  m_path = path;
  m_fd.Reset(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (m_fd.Valid()) return 0;
  int error = errno;
  TLOG_ERROR("open(%s): %s", path.c_str(), strerror(error));
  errno = error;
  return error == ELOOP ? FS_LINK_REFUSED : -1;
}

int ViewDir::OpenBelow(const ViewDir& base, const std::string& relative) {
  m_path = base.PathOf(relative);
  m_fd.Reset(OpenBeneath(base.Fd(), relative, O_RDONLY | O_DIRECTORY));
  if (m_fd.Valid()) return 0;
  return RefusedOr(errno, -1);
}

void ViewDir::Adopt(UniqueFd fd, const std::string& path) {
  m_fd = std::move(fd);
  m_path = path;
}

std::string ViewDir::PathOf(const std::string& relative) const {
  if (relative.empty() || relative == "/") return m_path;
  return m_path + (relative[0] == '/' ? "" : "/") + relative;
}

int ViewDir::OpenParent(const std::string& relative, UniqueFd* parent, std::string* leaf) const {
  std::string dir;
  if (!SplitRelative(relative, &dir, leaf)) {
    errno = EINVAL;
    return -1;
  }
  parent->Reset(OpenBeneath(m_fd.Get(), dir, O_RDONLY | O_DIRECTORY));
  if (parent->Valid()) return 0;
  return RefusedOr(errno, -1);
}

int ViewDir::OpenExisting(const std::string& relative, int flags, UniqueFd* fd) const {
  fd->Reset(OpenBeneath(m_fd.Get(), relative, flags & ~O_CREAT));
  if (fd->Valid()) return 0;
  return RefusedOr(errno, -1);
}

int ViewDir::Stat(const std::string& relative, FileInfo* info) const {
  info->m_path = PathOf(relative);
  std::string dir, leaf;
  struct stat st;
  if (!SplitRelative(relative, &dir, &leaf)) {
    info->m_name.clear();
    if (fstat(m_fd.Get(), &st) < 0) {
      TLOG_ERROR("fstat(%s): %s", m_path.c_str(), strerror(errno));
      return -2;
    }
    FillFileInfo(st, info);
    return 0;
  }
  info->m_name = leaf;
  UniqueFd parent;
  int opened = OpenParent(relative, &parent, &leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      SetMissing(info);
      return 0;
    }
    TLOG_ERROR("stat '%s' failed: %s", info->m_path.c_str(), strerror(errno));
    return -2;
  }
  if (fstatat(parent.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) {
    if (errno == ENOENT) {
      SetMissing(info);
      return 0;
    }
    TLOG_ERROR("stat '%s' failed: %s", info->m_path.c_str(), strerror(errno));
    return -2;
  }
  if (FillFileInfo(st, info) < 0) {
    TLOG_ERROR("stat '%s': unknown kind of file", info->m_path.c_str());
    return -2;
  }
  return 0;
}

int ViewDir::MakeDirectories(const std::string& relative, NewOwner owner, std::vector<std::string>* made) const {
  UniqueFd current(dup(m_fd.Get()));
  if (!current.Valid()) {
    TLOG_ERROR("dup: %s", strerror(errno));
    return -1;
  }
  std::string so_far;
  size_t pos = 0;
  while (pos < relative.size()) {
    size_t slash = relative.find('/', pos);
    if (slash == std::string::npos) slash = relative.size();
    std::string part = relative.substr(pos, slash - pos);
    pos = slash + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return RefusedOr(EXDEV, -1);
    so_far += "/" + part;
    int next = OpenChildDirectory(current.Get(), part);
    if (next < 0 && errno == ENOENT) {
      if (mkdirat(current.Get(), part.c_str(), 0777) < 0 && errno != EEXIST) {
        TLOG_ERROR("CreateDirecotry: fail to create '%s'. %s", PathOf(so_far).c_str(), strerror(errno));
        return -1;
      }
      next = OpenChildDirectory(current.Get(), part);
      if (next >= 0) {
        // mkdirat applied the mask or the default ACL already; only the
        // owner is left to set.
        if ((owner.m_uid != static_cast<uid_t>(-1) || owner.m_gid != static_cast<gid_t>(-1)) &&
            fchown(next, owner.m_uid, owner.m_gid) < 0) {
          TLOG_WARNING("CreateDirectory: chown(%s): %s", PathOf(so_far).c_str(), strerror(errno));
        }
        if (made) made->push_back(so_far);
      }
    }
    if (next < 0) {
      int error = errno;
      if (IsLinkRefusal(error)) return FS_LINK_REFUSED;
      TLOG_ERROR("CreateDirecotry: fail to create '%s'. %s", PathOf(so_far).c_str(), strerror(error));
      errno = error == ENOTDIR && pos >= relative.size() ? EEXIST : error;
      return -1;
    }
    current.Reset(next);
  }
  return 0;
}

int ViewDir::RemoveFile(const std::string& relative) const {
  UniqueFd parent;
  std::string leaf;
  int opened = OpenParent(relative, &parent, &leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    TLOG_ERROR("RemoveFile: unlink(%s): %s", PathOf(relative).c_str(), strerror(errno));
    return -1;
  }
  UniqueFd ea(OpenEaDir(parent.Get(), nullptr));
  if (ea.Valid()) {
    for (const char* stream : COMPANION_STREAMS) unlinkat(ea.Get(), CompanionName(leaf, stream).c_str(), 0);
  }
  if (unlinkat(parent.Get(), leaf.c_str(), 0) < 0 && errno != ENOENT) {
    TLOG_ERROR("RemoveFile: unlink(%s): %s", PathOf(relative).c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ViewDir::Rename(const std::string& from, const ViewDir& target, const std::string& to, bool no_replace) const {
  UniqueFd from_parent, to_parent;
  std::string from_leaf, to_leaf;
  int opened = OpenParent(from, &from_parent, &from_leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) return errno == ENOENT || errno == ENOTDIR ? -2 : -1;
  opened = target.OpenParent(to, &to_parent, &to_leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) {
    TLOG_ERROR("FSMove: rename(%s, %s): %s", PathOf(from).c_str(), target.PathOf(to).c_str(), strerror(errno));
    return -1;
  }
  int renamed = renameat2(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str(),
                          no_replace ? RENAME_NOREPLACE : 0);
  if (renamed < 0 && no_replace && errno == EINVAL) {
    // The file system cannot refuse to replace by itself: look first.
    struct stat st;
    if (fstatat(to_parent.Get(), to_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
    } else {
      renamed = renameat(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str());
    }
  }
  if (renamed == 0) return 0;
  if (no_replace && errno == EEXIST) return FS_TARGET_EXISTS;
  if (errno == ENOENT) return -2;
  TLOG_ERROR("FSMove: rename(%s, %s): %s", PathOf(from).c_str(), target.PathOf(to).c_str(), strerror(errno));
  return -1;
}

int ViewDir::MoveWithCompanions(const std::string& from, const ViewDir& target, const std::string& to,
                                NewOwner owner, bool no_replace, bool* exchanged) const {
  if (exchanged) *exchanged = false;
  UniqueFd from_parent, to_parent;
  std::string from_leaf, to_leaf;
  int opened = OpenParent(from, &from_parent, &from_leaf);
  if (opened == 0) opened = target.OpenParent(to, &to_parent, &to_leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) {
    TLOG_ERROR("MoveFile: fail to rename '%s' -> '%s'. %s.", PathOf(from).c_str(), target.PathOf(to).c_str(),
               strerror(errno));
    return -1;
  }
  struct stat taken;
  if (no_replace && fstatat(to_parent.Get(), to_leaf.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
    return FS_TARGET_EXISTS;
  }
  UniqueFd from_ea(OpenEaDir(from_parent.Get(), nullptr));
  UniqueFd to_ea;
  std::vector<std::pair<std::string, std::string>> moved;  // companions, to be put back on a refusal
  for (const char* stream : COMPANION_STREAMS) {
    std::string from_name = CompanionName(from_leaf, stream);
    struct stat st;
    if (!from_ea.Valid() || fstatat(from_ea.Get(), from_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) continue;
    if (!to_ea.Valid()) to_ea.Reset(OpenEaDir(to_parent.Get(), &owner));
    std::string to_name = CompanionName(to_leaf, stream);
    if (to_ea.Valid()) {
      // A companion is part of its file: the same owner and permissions.
      UniqueFd companion(openat(from_ea.Get(), from_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
      if (companion.Valid()) {
        ApplyNewObjectPermissions(companion.Get(), to_ea.Get(), false, owner, target.PathOf(to) + "@" + stream);
      }
    }
    if (!to_ea.Valid() || renameat(from_ea.Get(), from_name.c_str(), to_ea.Get(), to_name.c_str()) < 0) {
      int error = errno;
      if (IsLinkRefusal(error) || error == ENOTDIR) return FS_LINK_REFUSED;
      TLOG_ERROR("MoveFile: fail to rename '%s' -> '%s'. %s.", from_name.c_str(), to_name.c_str(), strerror(error));
      return -1;
    }
    moved.emplace_back(from_name, to_name);
  }
  if (no_replace) {
    int renamed = renameat2(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str(), RENAME_NOREPLACE);
    if (renamed < 0 && errno == EINVAL) {
      // The file system cannot refuse to replace by itself: look first.
      if (fstatat(to_parent.Get(), to_leaf.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
      } else {
        renamed = renameat(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str());
      }
    }
    if (renamed == 0) return 0;
    if (errno == EEXIST) {
      // Taken since the look above: the companions go back with their file.
      for (const auto& [from_name, to_name] : moved) {
        renameat(to_ea.Get(), to_name.c_str(), from_ea.Get(), from_name.c_str());
      }
      return FS_TARGET_EXISTS;
    }
    TLOG_ERROR("MoveFile: fail to rename '%s' -> '%s'. %s.", PathOf(from).c_str(), target.PathOf(to).c_str(),
               strerror(errno));
    return -1;
  }
  if (exchanged) {
    if (renameat2(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str(), RENAME_EXCHANGE) == 0) {
      *exchanged = true;
      return 0;
    }
    // Nothing left to swap with, or a file system that cannot swap: the
    // plain rename below.
    if (errno != ENOENT && errno != EINVAL) {
      TLOG_ERROR("MoveFile: fail to swap '%s' and '%s'. %s.", PathOf(from).c_str(), target.PathOf(to).c_str(),
                 strerror(errno));
      return -1;
    }
  }
  if (renameat(from_parent.Get(), from_leaf.c_str(), to_parent.Get(), to_leaf.c_str()) < 0) {
    TLOG_ERROR("MoveFile: fail to rename '%s' -> '%s'. %s.", PathOf(from).c_str(), target.PathOf(to).c_str(),
               strerror(errno));
    return -1;
  }
  return 0;
}

int ViewDir::SetTimes(const std::string& relative, int64_t mtime) const {
  UniqueFd parent;
  std::string leaf;
  int opened = OpenParent(relative, &parent, &leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  if (opened < 0 || utimensat(parent.Get(), leaf.c_str(), times, AT_SYMLINK_NOFOLLOW) < 0) {
    TLOG_ERROR("FSSetTime: utime(%s): %s", PathOf(relative).c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

int ViewDir::RemoveDirectory(const std::string& relative, const ViewDir& parking,
                             const std::atomic<int>* abort_flag) const {
  UniqueFd parent;
  std::string leaf;
  int opened = OpenParent(relative, &parent, &leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) {
    TLOG_ERROR("RemoveDirectory: %s: %s", PathOf(relative).c_str(), strerror(errno));
    return -1;
  }
  // A fresh folder of our own in the parking place; the directory goes
  // inside it rather than onto it, so that rename can never replace
  // anything.
  std::random_device random;
  std::string slot;
  for (int attempt = 0;; ++attempt) {
    char name[32];
    snprintf(name, sizeof name, "rm.%08x", static_cast<unsigned>(random()));
    if (mkdirat(parking.Fd(), name, 0700) == 0) {
      slot = name;
      break;
    }
    if (errno != EEXIST || attempt > 100) {
      TLOG_ERROR("RemoveDirectory: mkdir in %s: %s", parking.Path().c_str(), strerror(errno));
      return -1;
    }
  }
  UniqueFd slot_fd(OpenChildDirectory(parking.Fd(), slot));
  if (!slot_fd.Valid() || renameat2(parent.Get(), leaf.c_str(), slot_fd.Get(), "d", RENAME_NOREPLACE) < 0) {
    int error = errno;
    TLOG_ERROR("RemoveDirectory: rename(%s): %s", PathOf(relative).c_str(), strerror(error));
    unlinkat(parking.Fd(), slot.c_str(), AT_REMOVEDIR);
    return -1;
  }
  std::string parked = parking.PathOf(slot);
  if (RemoveTreeContents(slot_fd.Get(), parked, abort_flag) < 0) {
    TLOG_ERROR("RemoveDirectory: failed to remove %s", parked.c_str());
  } else if (unlinkat(parking.Fd(), slot.c_str(), AT_REMOVEDIR) < 0) {
    TLOG_ERROR("RemoveDirectory: failed to remove last directory '%s'", parked.c_str());
  }
  return 0;
}

int ViewDir::AnyCompanionExists(const std::string& relative, const char* const* streams, size_t count) const {
  std::string dir, leaf;
  if (!SplitRelative(relative, &dir, &leaf)) return 0;
  // The companions' folder in one call, the way to it checked on the way
  // as for any open beneath the view: most folders have none.
  UniqueFd ea(OpenBeneath(m_fd.Get(), dir + "/" + EA_DIR_NAME, O_RDONLY | O_DIRECTORY));
  if (!ea.Valid()) return IsLinkRefusal(errno) ? FS_LINK_REFUSED : 0;
  for (size_t i = 0; i < count; ++i) {
    struct stat st;
    if (fstatat(ea.Get(), CompanionName(leaf, streams[i]).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      return 1;
    }
  }
  return 0;
}

int ViewDir::CompanionExists(const std::string& relative, const char* stream) const {
  return AnyCompanionExists(relative, &stream, 1);
}

int ViewDir::HasCompanions(const std::string& relative) const {
  return AnyCompanionExists(relative, COMPANION_STREAMS, std::size(COMPANION_STREAMS));
}

int ViewDir::CopyCompanions(const std::string& relative, const ViewDir& target, const std::string& to) const {
  UniqueFd parent, to_parent;
  std::string leaf, to_leaf;
  int opened = OpenParent(relative, &parent, &leaf);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0) return 0;
  UniqueFd ea(OpenEaDir(parent.Get(), nullptr));
  if (!ea.Valid()) return IsLinkRefusal(errno) ? FS_LINK_REFUSED : 0;
  UniqueFd to_ea;
  for (const char* stream : COMPANION_STREAMS) {
    UniqueFd in(openat(ea.Get(), CompanionName(leaf, stream).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.Valid()) {
      if (errno == ELOOP) return FS_LINK_REFUSED;
      continue;
    }
    if (!to_ea.Valid()) {
      NewOwner daemon;
      int opened = target.OpenParent(to, &to_parent, &to_leaf);
      if (opened == FS_LINK_REFUSED) return opened;
      if (opened < 0) {
        TLOG_ERROR("copying the companions of '%s': %s", PathOf(relative).c_str(), strerror(errno));
        return -1;
      }
      to_ea.Reset(OpenEaDir(to_parent.Get(), &daemon));
      if (!to_ea.Valid() && IsLinkRefusal(errno)) return FS_LINK_REFUSED;
    }
    if (!to_ea.Valid() || CopyInto(in.Get(), to_ea.Get(), CompanionName(to_leaf, stream)) < 0) {
      TLOG_ERROR("copying the %s companion of '%s': %s", stream, PathOf(relative).c_str(), strerror(errno));
      return -1;
    }
  }
  return 0;
}

int ReadDirectoryNames(int dir_fd, std::vector<DirEntryName>* names) {
  // fdopendir takes the descriptor over: give it a copy that starts at the
  // beginning.
  int copy = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return -1;
  DIR* dir = fdopendir(copy);
  if (!dir) {
    int error = errno;
    close(copy);
    errno = error;
    return -1;
  }
  errno = 0;
  while (struct dirent64* entry = readdir64(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names->push_back({entry->d_name, entry->d_type});
  }
  int error = errno;
  closedir(dir);
  errno = error;
  return error == 0 ? 0 : -1;
}

int OpenChildDirectory(int dir_fd, const std::string& name) {
  int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == ENOTDIR && IsLinkAt(dir_fd, name)) errno = ELOOP;
  return fd;
}

int RemoveTreeContents(int dir_fd, const std::string& path_for_log, const std::atomic<int>* abort_flag) {
  std::vector<DirEntryName> names;
  if (ReadDirectoryNames(dir_fd, &names) < 0) {
    TLOG_ERROR("opendir(%s): %s (%d)", path_for_log.c_str(), strerror(errno), errno);
    return -1;
  }
  int result = 0;
  for (const DirEntryName& entry : names) {
    if (abort_flag && abort_flag->load(std::memory_order_relaxed) != 0) {
      TLOG_NOTE("Traversing '%s' ... abort", path_for_log.c_str());
      return -1;
    }
    std::string child = path_for_log + "/" + entry.m_name;
    bool is_dir = entry.m_type == DT_DIR;
    if (entry.m_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = fstatat(dir_fd, entry.m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir) {
      UniqueFd sub(OpenChildDirectory(dir_fd, entry.m_name));
      if (!sub.Valid() || RemoveTreeContents(sub.Get(), child, abort_flag) < 0) {
        if (abort_flag && abort_flag->load(std::memory_order_relaxed) != 0) return -1;
        result = -1;
      }
      if (unlinkat(dir_fd, entry.m_name.c_str(), AT_REMOVEDIR) < 0) {
        TLOG_ERROR("rmdir(%s): %s (%d):", child.c_str(), strerror(errno), errno);
        result = -1;
      }
    } else if (unlinkat(dir_fd, entry.m_name.c_str(), 0) < 0 && errno != ENOENT) {
      TLOG_ERROR("unlink(%s): %s (%d):", child.c_str(), strerror(errno), errno);
      result = -1;
    }
  }
  return result;
}

}  // namespace tide
