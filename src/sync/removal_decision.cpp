#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/removal_decision.h"

#include <vector>

#include "core/logger.h"
#include "event/file_list.h"
#include "sync/file_list_builders.h"
#include "sync/local_list.h"
#include "sync/rescan_compare.h"

namespace tide {

RemovalDecision DecideRemoval(const NodeRecord& record, const FileInfo& local, const std::string& path) {
  bool local_is_dir = local.m_type == FILE_TYPE_DIRECTORY;
  if (record.m_node_id == 0) {
    if (local_is_dir) return REMOVAL_DELETE;
    TLOG_INFO("removing '%s' without record", path.c_str());
    return REMOVAL_KEEP;
  }
  if ((record.m_attribute & NODE_ATTRIBUTE_DIR) == 0) {
    if (local.m_type != FILE_TYPE_REGULAR) {
      TLOG_INFO("removing '%s' but locally type changed (expect file)", path.c_str());
      return REMOVAL_KEEP;
    }
    if (static_cast<uint32_t>(local.m_mtime) != record.m_mtime || local.m_size != record.m_size) {
      TLOG_INFO("removing '%s' but locally modified", path.c_str());
      return REMOVAL_KEEP;
    }
    return REMOVAL_DELETE;
  }
  if (!local_is_dir) {
    TLOG_INFO("removing '%s' but locally type changed (expect dir)", path.c_str());
    return REMOVAL_KEEP;
  }
  return REMOVAL_DELETE;
}

bool LocalSubtreeChanged(NativeClientDb& db, const ViewDir& view, const std::string& dir_path, uint64_t view_id,
                         const std::atomic<int>* abort_flag, int task_id) {
  FileList on_disk;
  std::vector<std::string> unreadable;
  if (BuildLocalFileList(view, dir_path, &on_disk, abort_flag, task_id, &unreadable) < 0) return true;
  if (!unreadable.empty()) {
    // What it holds is unknown: it may hold local work.
    TLOG_INFO("removing '%s' but '%s' inside cannot be read", dir_path.c_str(), unreadable.front().c_str());
    return true;
  }
  FileList indexed;
  BuildFileList(db, view_id, dir_path, &indexed);
  bool changed = false;
  std::string first;
  int result = CompareFileLists(on_disk, indexed, ListPrefix(dir_path), false, view_id, abort_flag,
                                [&](const Event& event) {
                                  if (event.m_type == REMOVE_REMOTE || changed) return;
                                  changed = true;
                                  first = event.m_path;
                                });
  if (result < 0) return true;
  if (changed) TLOG_INFO("removing '%s' but '%s' inside changed locally", dir_path.c_str(), first.c_str());
  return changed;
}

}  // namespace tide
