// A view's folder (or the daemon's work folder) held open, and every file
// operation below it.
//
// Each operation takes a path relative to the held folder ("/a/b" or
// "a/b") and resolves it beneath the folder's descriptor without following
// any symbolic link (see beneath.h); the last step is an *at call on the
// parent's descriptor with the last name, which never follows a link
// either. A link anywhere on the way makes the operation fail with
// FS_LINK_REFUSED, whether it was there from the start or swapped in a
// moment ago; nothing is ever reached outside the folder.
//
// Links refused are not logged here: the caller says once why its event
// ends. Other failures are logged (ERROR) with the full path.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/file_info.h"
#include "fs/unique_fd.h"

namespace tide {

// A symbolic link (or a name leading out) stood in the path.
constexpr int FS_LINK_REFUSED = -5;
// A rename that must not replace found its target taken.
constexpr int FS_TARGET_EXISTS = -4;

// Owner given to what the daemon creates; -1 leaves an id as the kernel set it.
struct NewOwner {
  uid_t m_uid = static_cast<uid_t>(-1);
  gid_t m_gid = static_cast<gid_t>(-1);
};

struct DirEntryName {
  std::string m_name;
  unsigned char m_type;  // d_type; DT_UNKNOWN when the file system does not say
};

class ViewDir {
 public:
  ViewDir() = default;
  ViewDir(ViewDir&&) = default;
  ViewDir& operator=(ViewDir&&) = default;

  // Holds the directory at the absolute `path`. Everything above its last
  // component is the administrator's; the last component must be a real
  // directory, not a link. 0, or -1 after an ERROR line (FS_LINK_REFUSED
  // for a link, logged too: a view whose root is a link is misconfigured).
  int Open(const std::string& path);
  // Holds `relative` below `base`. 0, FS_LINK_REFUSED, or -1 with errno.
  int OpenBelow(const ViewDir& base, const std::string& relative);
  // Holds `fd`, a directory the caller opened and checked, as `path`.
  void Adopt(UniqueFd fd, const std::string& path);

  bool IsOpen() const { return m_fd.Valid(); }
  int Fd() const { return m_fd.Get(); }
  const std::string& Path() const { return m_path; }
  // The absolute path of `relative`, for log lines only.
  std::string PathOf(const std::string& relative) const;

  // lstat of `relative` ("/" is the folder itself). A missing object (or a
  // missing folder on the way) gives 0 with m_exists false. 0,
  // FS_LINK_REFUSED, or -2 after an ERROR line.
  int Stat(const std::string& relative, FileInfo* info) const;

  // The folder holding `relative`, opened for *at calls, and the last name.
  // 0, FS_LINK_REFUSED, or -1 with errno (ENOENT when a folder on the way
  // is missing); not logged.
  int OpenParent(const std::string& relative, UniqueFd* parent, std::string* leaf) const;

  // Opens an existing object: `flags` as for open (O_NOFOLLOW is added).
  // 0, FS_LINK_REFUSED, or -1 with errno; not logged.
  int OpenExisting(const std::string& relative, int flags, UniqueFd* fd) const;

  // Makes `relative` and every missing folder above it (mode 0777 under the
  // creation mask or the parent's default ACL), each given to `owner`; the
  // relative paths made go to `made` when asked. An existing folder is
  // success. 0, FS_LINK_REFUSED, or -1 after an ERROR line (errno EEXIST
  // or ENOTDIR when something else stands in the way).
  int MakeDirectories(const std::string& relative, NewOwner owner, std::vector<std::string>* made = nullptr) const;

  // Removes a file (or link, or other non-directory) and its attribute
  // companions. Missing is success. 0, FS_LINK_REFUSED, or -1 after an
  // ERROR line.
  int RemoveFile(const std::string& relative) const;

  // Renames `from` to `to` below `target` (which may be this folder). With
  // `no_replace`, FS_TARGET_EXISTS when something is at `to`. 0,
  // FS_LINK_REFUSED, FS_TARGET_EXISTS, -2 when `from` is missing, or -1
  // after an ERROR line.
  int Rename(const std::string& from, const ViewDir& target, const std::string& to, bool no_replace) const;

  // Rename that carries the attribute companions along; their "@eaDir" at
  // the target is made for `owner` when missing. Replaces what is at `to`,
  // unless `no_replace`: then FS_TARGET_EXISTS when something is there, and
  // nothing is moved.
  // With `exchanged` given (and not `no_replace`), what stood at `to` is
  // not dropped but swapped to `from` (*exchanged true), so the caller can
  // look at it once more; where nothing stood or the file system cannot
  // swap, it is a plain rename (*exchanged false).
  int MoveWithCompanions(const std::string& from, const ViewDir& target, const std::string& to, NewOwner owner,
                         bool no_replace = false, bool* exchanged = nullptr) const;

  // Sets access and modification time of `relative` itself. 0,
  // FS_LINK_REFUSED, or -1 after an ERROR line.
  int SetTimes(const std::string& relative, int64_t mtime) const;

  // Takes the directory `relative` out of its place at once by moving it
  // into a fresh folder inside `parking` (same file system), then deletes
  // the parked tree, giving up when *abort_flag is set. 0 once the
  // directory has left its place; FS_LINK_REFUSED; -1 after an ERROR line.
  int RemoveDirectory(const std::string& relative, const ViewDir& parking, const std::atomic<int>* abort_flag) const;

  // Whether a companion of `relative` exists. FS_LINK_REFUSED, 1 or 0.
  int CompanionExists(const std::string& relative, const char* stream) const;
  // Whether `relative` has any companion (the checks of CompanionExists for
  // every stream, with one look at the folders). FS_LINK_REFUSED, 1 or 0.
  int HasCompanions(const std::string& relative) const;

  // Copies each companion of `relative` that exists onto the companion of
  // `to` below `target` (made for the daemon). 0, FS_LINK_REFUSED, or -1
  // after an ERROR line.
  int CopyCompanions(const std::string& relative, const ViewDir& target, const std::string& to) const;

 private:
  int AnyCompanionExists(const std::string& relative, const char* const* streams, size_t count) const;

  UniqueFd m_fd;
  std::string m_path;
};

// The names in the directory open at `dir_fd` ("." and ".." left out), read
// in one go. 0, or -1 with errno.
int ReadDirectoryNames(int dir_fd, std::vector<DirEntryName>* names);

// Opens the child directory `name` of `dir_fd` without following a link.
// A descriptor, or -1 with errno (ELOOP for a link).
int OpenChildDirectory(int dir_fd, const std::string& name);

// Deletes everything inside the directory open at `dir_fd`, depth first,
// never following a link. 0, or -1 after a failure or an abort.
int RemoveTreeContents(int dir_fd, const std::string& path_for_log, const std::atomic<int>* abort_flag);

// Gives the new file or folder open at `fd` the permissions its owner's
// programs would have given it in the folder `parent_fd`: the folder's
// default ACL where it has one, else 0666 (0777 for a folder) under the
// creation mask; and `owner`. 0, or -1 after a WARNING line.
int ApplyNewObjectPermissions(int fd, int parent_fd, bool is_dir, NewOwner owner, const std::string& path_for_log);

// The process's file-creation mask, set at start-up from the configuration
// (umask(2) too). Read by ApplyNewObjectPermissions.
void SetCreationMask(mode_t mask);
mode_t CreationMask();

// The two companion streams every file may have.
extern const char* const COMPANION_STREAMS[2];

}  // namespace tide
