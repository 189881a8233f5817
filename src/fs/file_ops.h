// File-system operations by path, for the daemon's own folders (its work
// folder under "@tmp", the server's placed copies): nothing below a view is
// ever reached through these; that is what ViewDir is for. Result codes
// tell the usual failures apart (a full disk, a missing source) so callers
// can react. An empty path always gives -1.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "fs/file_info.h"

namespace tide {

// lstat of `path` (a final symbolic link is not followed). A missing path
// succeeds with m_exists false, type regular, size 0 and mtime = now.
// 0; -2 when lstat fails otherwise; -1 for an empty path or unknown type.
int FSGetInfo(const std::string& path, FileInfo* info);

// True when something (a link counts) is at `path`.
bool FSExists(const std::string& path);

// Not recursive: one mkdir, mode 0777. Recursive: every missing component;
// a non-directory in the way is replaced only when `replace` is set,
// otherwise -1 with errno EEXIST (last component) or ENOTDIR (inner one).
// `mode` < 0 means 0777 under the process umask; a given mode is applied
// exactly. 0; -2 when a mkdir fails; -1 otherwise.
int FSMkdir(const std::string& path, bool recursive, bool replace = false, int mode = -1);

// Makes a unique empty file (mode 0600, with O_EXCL and O_NOFOLLOW) in
// `directory`; its path goes to *out_path. The open descriptor (read and
// write, close-on-exec; the caller closes it), or -1.
int FSCreateTempFile(const std::string& directory, std::string* out_path);

int FSSetTime(const std::string& path, int64_t atime, int64_t mtime);

// Copies the contents of `source` onto `destination` (created or
// truncated, mode 0666), then removes the source when asked.
// 0; -2 when the disk is full; -1 otherwise.
int FSCopy(const std::string& source, const std::string& destination, bool remove_source);

// Renames, or across file systems copies (files) or recreates and moves
// entry by entry (directories) and removes the source.
// 0; -2 when the source is missing or unreadable; -3 when the move fails.
int FSMove(const std::string& source, const std::string& destination);

// Like FSMove, but never replaces anything at `destination`: -4 (errno
// EEXIST) when something is already there.
int FSMoveNoReplace(const std::string& source, const std::string& destination);
constexpr int FS_MOVE_TARGET_EXISTS = -4;

// Removes a file, or a directory with everything in it. A missing path is
// success. 0; -3 when something cannot be removed.
int FSRemove(const std::string& path);

// Directory reading. With FS_DIR_WITH_INFO set in the flag every entry
// comes with its FileInfo.
constexpr int FS_DIR_WITH_INFO = 1;

class FSDir {
 public:
  FSDir() = default;
  ~FSDir();
  FSDir(const FSDir&) = delete;
  FSDir& operator=(const FSDir&) = delete;

  // 1 with the next entry ("." and ".." skipped), 0 at the end, -1 on error.
  int Next(std::string* name, FileInfo* info = nullptr);
  void Close();
  const std::string& Path() const { return m_path; }

 private:
  friend int FSOpenDir(const std::string& path, int flag, FSDir* handle);
  std::string m_path;
  int m_flag = 0;
  DIR* m_dir = nullptr;
};

// 0 or -1.
int FSOpenDir(const std::string& path, int flag, FSDir* handle);

}  // namespace tide
