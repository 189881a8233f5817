#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/local_list.h"

#include <dirent.h>
#include <errno.h>
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

struct DirEntryName {
  std::string m_name;
  unsigned char m_type;  // d_type; DT_UNKNOWN when the file system does not say
};

// Names of a directory, read in one go so that a deep walk holds at most
// one directory stream open. -1 when it cannot be opened or read.
int ReadNames(const std::string& path, std::vector<DirEntryName>* names) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    TLOG_ERROR("opendir(%s): %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  errno = 0;
  while (struct dirent64* entry = readdir64(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    names->push_back({entry->d_name, entry->d_type});
  }
  int read_errno = errno;
  closedir(dir);
  if (read_errno != 0) {
    TLOG_ERROR("readdir(%s): %s (%d)", path.c_str(), strerror(read_errno), read_errno);
    return -1;
  }
  return 0;
}

// The walk starts at a real directory: a link at the top is not followed
// either.
bool IsRealDirectory(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct ListWalk {
  FileList* m_list;
  const std::atomic<int>* m_abort;
  int m_task_id;
  bool m_recursive;
  size_t m_root_length;                    // cut off for the paths in m_unreadable
  std::vector<std::string>* m_unreadable;  // may be null
};

int ListDirectory(const ListWalk& walk, const std::string& path, int dir_number) {
  FileList* list = walk.m_list;
  int task_id = walk.m_task_id;
  std::vector<DirEntryName> names;
  if (ReadNames(path, &names) < 0) {
    if (walk.m_unreadable) walk.m_unreadable->push_back(path.substr(walk.m_root_length));
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
    std::string child = path + "/" + entry.m_name;
    struct stat st;
    if (lstat(child.c_str(), &st) < 0) continue;  // gone meanwhile
    if (S_ISDIR(st.st_mode)) {
      if (IsEaDirName(entry.m_name.c_str())) continue;
      int number = -1;
      if (list->AddDirectoryAt(dir_number, entry.m_name, static_cast<uint32_t>(st.st_mtime), &number) < 0) continue;
      TLOG_DEBUG("Worker (%d): local list: add directory '%s'", task_id, child.c_str());
      if (walk.m_recursive) subdirs.emplace_back(std::move(child), number);
    } else if (S_ISREG(st.st_mode)) {
      if (list->AddFileAt(dir_number, entry.m_name, static_cast<uint32_t>(st.st_mtime),
                          static_cast<uint64_t>(st.st_size)) < 0) {
        continue;
      }
      TLOG_DEBUG("Worker (%d): local list: add file '%s'", task_id, child.c_str());
    }
  }
  for (const auto& [child, number] : subdirs) {
    if (ListDirectory(walk, child, number) < 0) return -1;
  }
  return 0;
}

void PushUpload(const std::string& path, size_t root_length, uint64_t view_id, uint32_t flags) {
  Event event;
  event.m_type = UPLOAD_LOCAL;
  event.m_path = path.substr(root_length);
  event.m_view_id = view_id;
  event.m_flags = flags;
  if (flags & EVENT_FLAG_DIR) TLOG_DEBUG("expander push event: %s", event.ToString().c_str());
  EventManager::GetInstance().PushEvent(event);
}

}  // namespace

bool IsEaDirName(const char* name) { return strcasecmp(name, "@eaDir") == 0; }

int BuildLocalFileList(const std::string& root, FileList* list, const std::atomic<int>* abort_flag, int task_id,
                       std::vector<std::string>* unreadable) {
  if (!IsRealDirectory(root)) {
    TLOG_ERROR("opendir(%s): %s (%d)", root.c_str(), strerror(ENOTDIR), ENOTDIR);
    return -1;
  }
  return ListDirectory({list, abort_flag, task_id, true, root.size(), unreadable}, root, 0);
}

int BuildLocalFileListOneLevel(const std::string& dir, FileList* list) {
  if (!IsRealDirectory(dir)) return -1;
  return ListDirectory({list, nullptr, -1, false, dir.size(), nullptr}, dir, 0);
}

int ExpandTree(const std::string& dir, size_t root_length, uint64_t view_id, const std::atomic<int>* abort_flag) {
  if (root_length > dir.size()) return -1;
  std::vector<DirEntryName> names;
  if (ReadNames(dir, &names) < 0) return 0;
  for (const DirEntryName& entry : names) {
    if (IsAborted(abort_flag)) {
      TLOG_NOTE("Traversing '%s' ... abort", dir.c_str());
      return -1;
    }
    std::string child = dir + "/" + entry.m_name;
    unsigned char type = entry.m_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (lstat(child.c_str(), &st) < 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_DIR) {
      if (IsEaDirName(entry.m_name.c_str())) continue;
      PushUpload(child, root_length, view_id, EVENT_FLAG_DIR);
      if (ExpandTree(child, root_length, view_id, abort_flag) < 0) return -1;
    } else if (type == DT_REG) {
      PushUpload(child, root_length, view_id, 0);
    }
  }
  return 0;
}

}  // namespace tide
