#define TIDE_LOG_TAG "file-op"
#define TIDE_LOG_COMPONENT "file_op_debug"
#include "fs/work_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/logger.h"
#include "fs/unique_fd.h"

namespace tide {

namespace {

std::mutex g_layout_mutex;
VolumeLayout g_layout;  // guarded by g_layout_mutex

// Makes `name` in `dir_fd` with `mode` when missing and opens it without
// following a link.
int MakeAndOpen(int dir_fd, const std::string& name, mode_t mode, const std::string& path_for_log) {
  if (mkdirat(dir_fd, name.c_str(), mode) == 0) {
    // The creation mask may have taken bits the mode asks for.
    if (fchmodat(dir_fd, name.c_str(), mode, 0) < 0) TLOG_WARNING("chmod(%s): %s", path_for_log.c_str(), strerror(errno));
  } else if (errno != EEXIST) {
    TLOG_ERROR("mkdir(%s): %s (%d).", path_for_log.c_str(), strerror(errno), errno);
    return -1;
  }
  int fd = OpenChildDirectory(dir_fd, name);
  if (fd < 0) TLOG_ERROR("open(%s): %s (%d).", path_for_log.c_str(), strerror(errno), errno);
  return fd;
}

}  // namespace

std::string VolumeLayout::VolumeRoot(int volume_id) const { return m_volume_prefix + std::to_string(volume_id); }
std::string VolumeLayout::TmpPath(int volume_id) const { return VolumeTmpPath(VolumeRoot(volume_id)); }
std::string VolumeLayout::WorkDirPath(int volume_id) const {
  return tide::WorkDirPath(VolumeRoot(volume_id), m_work_dir_name);
}

std::string VolumeTmpPath(const std::string& volume_root) { return volume_root + "/@tmp"; }

std::string WorkDirPath(const std::string& volume_root, const std::string& work_dir_name) {
  return VolumeTmpPath(volume_root) + "/" + work_dir_name;
}

int OpenWorkDir(const std::string& work_dir_path, ViewDir* dir) {
  size_t name_slash = work_dir_path.rfind('/');
  size_t tmp_slash = name_slash == std::string::npos || name_slash == 0 ? std::string::npos
                                                                          : work_dir_path.rfind('/', name_slash - 1);
  if (tmp_slash == std::string::npos || work_dir_path.compare(tmp_slash, name_slash - tmp_slash, "/@tmp") != 0 ||
      name_slash + 1 >= work_dir_path.size()) {
    TLOG_ERROR("'%s' is not a work folder of a volume", work_dir_path.c_str());
    return -1;
  }
  std::string volume_root = tmp_slash == 0 ? "/" : work_dir_path.substr(0, tmp_slash);
  std::string work_dir_name = work_dir_path.substr(name_slash + 1);
  ViewDir volume;
  if (volume.Open(volume_root) < 0) return -1;
  std::string tmp_path = VolumeTmpPath(volume_root);
  UniqueFd tmp(MakeAndOpen(volume.Fd(), "@tmp", 01777, tmp_path));
  if (!tmp.Valid()) return -1;
  struct stat st;
  // In a folder everyone may write to, only the sticky bit keeps others
  // from renaming our work folder away and putting their own in its place.
  if (fstat(tmp.Get(), &st) == 0 && (st.st_mode & S_IWOTH) != 0 && (st.st_mode & S_ISVTX) == 0) {
    TLOG_NOTE("'%s' is writable by everyone: setting its sticky bit", tmp_path.c_str());
    if (fchmod(tmp.Get(), (st.st_mode & 07777) | S_ISVTX) < 0) {
      TLOG_ERROR("fchmod(%s): %s", tmp_path.c_str(), strerror(errno));
      return -1;
    }
  }
  const std::string& work_path = work_dir_path;
  UniqueFd work(MakeAndOpen(tmp.Get(), work_dir_name, 0700, work_path));
  if (!work.Valid()) return -1;
  if (fstat(work.Get(), &st) < 0) {
    TLOG_ERROR("fstat(%s): %s", work_path.c_str(), strerror(errno));
    return -1;
  }
  // Only what this process made can be trusted: take back a folder someone
  // else made or opened up, through the descriptor we hold.
  if ((st.st_uid != geteuid() || st.st_gid != getegid()) && fchown(work.Get(), geteuid(), getegid()) < 0) {
    TLOG_ERROR("fchown(%s): %s", work_path.c_str(), strerror(errno));
    return -1;
  }
  if ((st.st_mode & 07777) != 0700 && fchmod(work.Get(), 0700) < 0) {
    TLOG_ERROR("fchmod(%s): %s", work_path.c_str(), strerror(errno));
    return -1;
  }
  return dir->OpenBelow(volume, "@tmp/" + work_dir_name) == 0 ? 0 : -1;
}

int ClearWorkDir(const ViewDir& work) {
  std::vector<DirEntryName> names;
  if (ReadDirectoryNames(work.Fd(), &names) < 0) {
    TLOG_ERROR("opendir(%s): %s (%d)", work.Path().c_str(), strerror(errno), errno);
    return -1;
  }
  if (names.empty()) return 0;
  if (RemoveTreeContents(work.Fd(), work.Path(), nullptr) < 0) return -1;
  TLOG_INFO("removed %zu entries an earlier run left in '%s'", names.size(), work.Path().c_str());
  return static_cast<int>(names.size());
}

int WorkDirCache::Open(const std::string& work_dir_path, ViewDir* dir) {
  {
    MutexLock lock(&m_mutex);
    auto checked = m_checked.find(work_dir_path);
    if (checked != m_checked.end()) {
      UniqueFd fd(open(work_dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat st;
      if (fd.Valid() && fstat(fd.Get(), &st) == 0 && st.st_dev == checked->second.m_dev &&
          st.st_ino == checked->second.m_ino) {
        dir->Adopt(std::move(fd), work_dir_path);
        return 0;
      }
      TLOG_INFO("work folder '%s' is not the one checked before: checking it again", work_dir_path.c_str());
      m_checked.erase(checked);
    }
  }
  if (OpenWorkDir(work_dir_path, dir) < 0) return -1;
  struct stat st;
  if (fstat(dir->Fd(), &st) == 0) {
    MutexLock lock(&m_mutex);
    m_checked[work_dir_path] = Identity{st.st_dev, st.st_ino};
  }
  return 0;
}

void SetVolumeLayout(const VolumeLayout& layout) {
  std::lock_guard<std::mutex> lock(g_layout_mutex);
  g_layout = layout;
}

VolumeLayout CurrentVolumeLayout() {
  std::lock_guard<std::mutex> lock(g_layout_mutex);
  return g_layout;
}

}  // namespace tide
