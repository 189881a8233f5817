#define TIDE_LOG_TAG "native-client-db"
#define TIDE_LOG_COMPONENT "ncdb_debug"
#include "sync/file_list_builders.h"

#include "core/logger.h"
#include "db/native_client_db.h"
#include "event/file_list.h"

namespace tide {

namespace {

// Returns the visitor that adds each row to `list`: attribute 0 is a file,
// anything else a directory.
NodeRowVisitor AddRowsTo(FileList* list) {
  return [list](const NodeListRow& row) {
    std::string entry(row.m_relative_path);
    if (row.m_attribute == 0) {
      TLOG_DEBUG("indexed list: add file '%s'", entry.c_str());
      list->AddFile(entry, row.m_mtime, row.m_size);
    } else {
      TLOG_DEBUG("indexed list: add directory '%s'", entry.c_str());
      list->AddDirectory(entry, row.m_mtime);
    }
  };
}

}  // namespace

void BuildFileList(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, FileList* list) {
  db.VisitNodesBelow(view_id, dir_path, AddRowsTo(list));
}

void BuildFileListOneLevel(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, FileList* list) {
  db.VisitChildNodes(view_id, dir_path, AddRowsTo(list));
}

void BuildFileListOneLevelUpTo(NativeClientDb& db, uint64_t view_id, const std::string& dir_path, uint64_t max_sync_id,
                               FileList* list) {
  db.VisitChildNodesUpTo(view_id, dir_path, max_sync_id, AddRowsTo(list));
}

}  // namespace tide
