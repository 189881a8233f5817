#include "fs/file_info.h"

#include <ctime>

namespace tide {

int FileTypeOf(mode_t mode) {
  if (S_ISREG(mode)) return FILE_TYPE_REGULAR;
  if (S_ISDIR(mode)) return FILE_TYPE_DIRECTORY;
  if (S_ISLNK(mode)) return FILE_TYPE_SYMLINK;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FILE_TYPE_DEVICE;
  if (S_ISFIFO(mode)) return FILE_TYPE_FIFO;
  if (S_ISSOCK(mode)) return FILE_TYPE_SOCKET;
  return -1;
}

int FillFileInfo(const struct stat& st, FileInfo* info) {
  int type = FileTypeOf(st.st_mode);
  if (type < 0) return -1;
  info->m_exists = true;
  info->m_type = type;
  info->m_size = static_cast<uint64_t>(st.st_size);
  info->m_mtime = static_cast<int32_t>(st.st_mtime);
  info->m_uid = static_cast<int32_t>(st.st_uid);
  info->m_gid = static_cast<int32_t>(st.st_gid);
  return 0;
}

void SetMissing(FileInfo* info) {
  info->m_exists = false;
  info->m_type = FILE_TYPE_REGULAR;
  info->m_size = 0;
  info->m_mtime = static_cast<int32_t>(time(nullptr));
  info->m_uid = -1;
  info->m_gid = -1;
}

}  // namespace tide
