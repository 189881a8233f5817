#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/local_list.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <vector>

#include "core/logger.h"
#include "event/event.h"
#include "event/event_manager.h"
#include "event/file_list.h"
#include "sync/work_item.h"

namespace tide {

namespace {

// Names of the directory open at `fd`, read in one go. -1 when it cannot be
// read.
int ReadNames(int fd, const std::string& path, std::vector<DirEntryName>* names) {
  if (ReadDirectoryNames(fd, names) < 0) {
    TLOG_ERROR("opendir(%s): %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  return 0;
}

// "/a" + "b" -> "/a/b"; "/" + "b" -> "/b".
std::string Child(const std::string& relative, const std::string& name) {
  return (relative.empty() || relative == "/" ? "" : relative) + "/" + name;
}

struct ListWalk {
  const ViewDir* m_view;
  FileList* m_list;
  const std::atomic<int>* m_abort;
  int m_task_id;
  bool m_recursive;
  size_t m_root_length;                    // of the walk's own relative path, cut off in m_unreadable
  std::vector<std::string>* m_unreadable;  // may be null
};

int ListDirectory(const ListWalk& walk, int fd, const std::string& relative, int dir_number) {
  FileList* list = walk.m_list;
  int task_id = walk.m_task_id;
  std::string path = walk.m_view->PathOf(relative);
  std::vector<DirEntryName> names;
  if (ReadNames(fd, path, &names) < 0) {
    if (walk.m_unreadable) walk.m_unreadable->push_back(relative.substr(walk.m_root_length));
    return dir_number == 0 ? -1 : 0;
  }
  std::vector<std::pair<std::string, int>> subdirs;
  for (const DirEntryName& entry : names) {
    if (IsAborted(walk.m_abort)) {
      TLOG_NOTE("Traversing '%s' ... abort", path.c_str());
      return -1;
    }
    if (entry.m_type == DT_DIR && IsEaDirName(entry.m_name.c_str())) continue;
    if (entry.m_type != DT_DIR && entry.m_type != DT_REG && entry.m_type != DT_UNKNOWN) continue;
    struct stat st;
    if (fstatat(fd, entry.m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) continue;  // gone meanwhile
    if (S_ISDIR(st.st_mode)) {
      if (IsEaDirName(entry.m_name.c_str())) continue;
      int number = -1;
      if (list->AddDirectoryAt(dir_number, entry.m_name, static_cast<uint32_t>(st.st_mtime), &number) < 0) continue;
      TLOG_DEBUG("Worker (%d): local list: add directory '%s/%s'", task_id, path.c_str(), entry.m_name.c_str());
      if (walk.m_recursive) subdirs.emplace_back(entry.m_name, number);
    } else if (S_ISREG(st.st_mode)) {
      if (list->AddFileAt(dir_number, entry.m_name, static_cast<uint32_t>(st.st_mtime),
                          static_cast<uint64_t>(st.st_size)) < 0) {
        continue;
      }
      TLOG_DEBUG("Worker (%d): local list: add file '%s/%s'", task_id, path.c_str(), entry.m_name.c_str());
    }
  }
  for (const auto& [name, number] : subdirs) {
    std::string child = Child(relative, name);
    // Opened from this directory's descriptor without following a link: a
    // directory replaced by a link since it was read is not entered.
    UniqueFd sub(OpenChildDirectory(fd, name));
    if (!sub.Valid()) {
      if (errno == ENOENT) continue;  // gone meanwhile
      TLOG_ERROR("opendir(%s): %s (%d)", walk.m_view->PathOf(child).c_str(), strerror(errno), errno);
      if (walk.m_unreadable) walk.m_unreadable->push_back(child.substr(walk.m_root_length));
      continue;
    }
    if (ListDirectory(walk, sub.Get(), child, number) < 0) return -1;
  }
  return 0;
}

int OpenWalkRoot(const ViewDir& view, const std::string& relative, UniqueFd* fd) {
  int opened = view.OpenExisting(relative, O_RDONLY | O_DIRECTORY, fd);
  if (opened < 0 && opened != FS_LINK_REFUSED) {
    TLOG_ERROR("opendir(%s): %s (%d)", view.PathOf(relative).c_str(), strerror(errno), errno);
  }
  return opened;
}

// `size` is what an lstat of the walk saw, 0 when it did not look (the
// progress display's byte count; the upload measures the file itself).
void PushUpload(EventManager& events, const std::string& path, uint64_t view_id, uint32_t flags, uint64_t size = 0) {
  Event event;
  event.m_type = UPLOAD_LOCAL;
  event.m_path = path;
  event.m_view_id = view_id;
  event.m_flags = flags;
  event.m_size = size;
  if (flags & EVENT_FLAG_DIR) TLOG_DEBUG("expander push event: %s", event.ToString().c_str());
  events.PushEvent(event);
}

int ExpandOpenDirectory(EventManager& events, const ViewDir& view, int fd, const std::string& relative,
                        uint64_t view_id, const std::atomic<int>* abort_flag) {
  std::vector<DirEntryName> names;
  if (ReadNames(fd, view.PathOf(relative), &names) < 0) return 0;
  for (const DirEntryName& entry : names) {
    if (IsAborted(abort_flag)) {
      TLOG_NOTE("Traversing '%s' ... abort", view.PathOf(relative).c_str());
      return -1;
    }
    std::string child = Child(relative, entry.m_name);
    unsigned char type = entry.m_type;
    uint64_t size = 0;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(fd, entry.m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) < 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
      if (S_ISREG(st.st_mode)) size = static_cast<uint64_t>(st.st_size);
    }
    if (type == DT_DIR) {
      if (IsEaDirName(entry.m_name.c_str())) continue;
      UniqueFd sub(OpenChildDirectory(fd, entry.m_name));
      if (!sub.Valid()) continue;  // gone, or a link by now
      PushUpload(events, child, view_id, EVENT_FLAG_DIR);
      if (ExpandOpenDirectory(events, view, sub.Get(), child, view_id, abort_flag) < 0) return -1;
    } else if (type == DT_REG) {
      PushUpload(events, child, view_id, 0, size);
    }
  }
  return 0;
}

}  // namespace

bool IsEaDirName(const char* name) { return strcasecmp(name, "@eaDir") == 0; }

int BuildLocalFileList(const ViewDir& view, const std::string& relative, FileList* list,
                       const std::atomic<int>* abort_flag, int task_id, std::vector<std::string>* unreadable) {
  UniqueFd fd;
  int opened = OpenWalkRoot(view, relative, &fd);
  if (opened < 0) return opened;
  size_t root_length = relative == "/" ? 0 : relative.size();
  return ListDirectory({&view, list, abort_flag, task_id, true, root_length, unreadable}, fd.Get(), relative, 0);
}

int BuildLocalFileListOneLevel(const ViewDir& view, const std::string& relative, FileList* list) {
  UniqueFd fd;
  int opened = view.OpenExisting(relative, O_RDONLY | O_DIRECTORY, &fd);
  if (opened < 0) return opened;
  size_t root_length = relative == "/" ? 0 : relative.size();
  return ListDirectory({&view, list, nullptr, -1, false, root_length, nullptr}, fd.Get(), relative, 0);
}

int ExpandTree(EventManager& events, const ViewDir& view, const std::string& relative, uint64_t view_id,
               const std::atomic<int>* abort_flag) {
  UniqueFd fd;
  if (OpenWalkRoot(view, relative, &fd) < 0) return 0;
  return ExpandOpenDirectory(events, view, fd.Get(), relative, view_id, abort_flag);
}

}  // namespace tide
