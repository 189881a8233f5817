// What the daemon knows of one object on the disk.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace tide {

enum FileType {
  FILE_TYPE_REGULAR = 1,
  FILE_TYPE_DIRECTORY = 2,
  FILE_TYPE_SYMLINK = 3,
  FILE_TYPE_DEVICE = 5,  // character or block
  FILE_TYPE_FIFO = 6,
  FILE_TYPE_SOCKET = 7,
};

struct FileInfo {
  std::string m_path;   // as passed in
  std::string m_name;   // last component
  int32_t m_type = FILE_TYPE_REGULAR;
  int32_t m_mtime = 0;  // seconds since 1970
  uint64_t m_size = 0;
  bool m_exists = false;
  int32_t m_uid = -1;
  int32_t m_gid = -1;
};

// The FileType of a stat mode, or -1 for a kind the daemon does not know.
int FileTypeOf(mode_t mode);

// Fills `info` from `st` (m_path and m_name are left alone). -1 for an
// unknown kind.
int FillFileInfo(const struct stat& st, FileInfo* info);

// The state of a missing object: m_exists false, type regular, size 0,
// mtime now, no owner.
void SetMissing(FileInfo* info);

}  // namespace tide
