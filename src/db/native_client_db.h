// The local state database: one SQLite file recording every node known to be
// in sync (node_table), the global sync id (config_table) and the catch-up
// position of views still being brought up to date (progress_table).
//
// One process-wide connection shared by every thread; m_mutex serialises
// every statement, and row-by-row readers hold it until their statement is
// finalised. Operations return 0 on success and -1 on failure (after
// logging); the look-ups return 1 when a row was found and 0 when none
// matched.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/node_record.h"

namespace tide {

// One row met by a visit below a directory. The path is relative to the
// directory ("/x/y" for a whole-subtree visit, the bare name for a visit
// of the direct children) and points into the statement's row: copy it to
// keep it.
struct NodeListRow {
  std::string_view m_relative_path;
  uint32_t m_attribute;
  uint32_t m_mtime;
  uint64_t m_size;
};
using NodeRowVisitor = std::function<void(const NodeListRow& row)>;

// Statement text of UpsertNode (sqlite3_mprintf format): the record's values
// twice, then node_id once more.
extern const char UPSERT_NODE_SQL[];

class NativeClientDb {
 public:
  static NativeClientDb& Instance();

  // Opens (creating it and its missing parent folders) and runs the schema
  // script. A second call while open keeps the first connection.
  int Initialize(const std::string& path);
  // Closes the connection; a later Initialize may open another file.
  void Close();
  bool IsOpen();
  std::string Path();

  int InsertViewRoot(uint64_t node_id, uint64_t view_id);
  int DeleteViewNodes(uint64_t view_id);

  int DeleteViewProgress(uint64_t view_id);
  // New progress row at the current global sync id (kept when one exists).
  int AddViewProgress(uint64_t view_id);
  int SetViewProgress(uint64_t view_id, uint64_t sync_id);
  int GetViewProgress(uint64_t view_id, uint64_t* sync_id);  // 1 / 0 / -1
  int UpdateViewProgress(uint64_t view_id, uint64_t sync_id);
  // (view id, sync id) of every progress row; the count or -1.
  int GetAllViewProgress(std::vector<std::pair<uint64_t, uint64_t>>* progress);

  int GetGlobalSyncId(uint64_t* sync_id);
  int SetGlobalSyncId(uint64_t sync_id);

  int GetNodeById(uint64_t node_id, NodeRecord* record);                              // 1 / 0 / -1
  // Paths are stored and indexed without regard to case, but the disk tells
  // "A.txt" from "a.txt": lookups and deletions by path match the exact
  // name, so an operation on one never reads or deletes the other's row.
  int GetNodeByPath(uint64_t view_id, const std::string& path, NodeRecord* record);  // 1 / 0 / -1
  // A row whose path equals `path` only without regard to case (the first
  // one found), for names the server cannot keep apart. 1 / 0 / -1.
  int GetNodeByOtherCase(uint64_t view_id, const std::string& path, NodeRecord* record);
  // Inserts the row, or rewrites every column of the row with its node_id.
  int UpsertNode(const NodeRecord& record);
  // Deleting a row deletes its whole subtree (trigger).
  int DeleteNodeById(uint64_t node_id);
  int DeleteNodeByPath(uint64_t view_id, const std::string& path);

  // Visits of what the database holds below `dir_path` of a view. The
  // visitor runs with m_mutex held: it must not call back into the
  // database. Rows met before an error have been visited; errors are
  // logged only.
  // Every row below the directory, paths relative to it ("/x/y").
  void VisitNodesBelow(uint64_t view_id, const std::string& dir_path, const NodeRowVisitor& visitor);
  // The highest sync id recorded for the directory `dir_path` of a view or
  // anything below it (0 when none): how far the local side has seen that
  // subtree. 0 or -1.
  int GetMaxSyncIdBelow(uint64_t view_id, const std::string& dir_path, uint64_t* sync_id);
  // The directory's direct children, as bare names.
  void VisitChildNodes(uint64_t view_id, const std::string& dir_path, const NodeRowVisitor& visitor);
  // The same, limited to rows with sync_id <= max_sync_id.
  void VisitChildNodesUpTo(uint64_t view_id, const std::string& dir_path, uint64_t max_sync_id,
                           const NodeRowVisitor& visitor);

 private:
  NativeClientDb() = default;
  ~NativeClientDb();
  NativeClientDb(const NativeClientDb&) = delete;
  NativeClientDb& operator=(const NativeClientDb&) = delete;

  // Runs a script built by sqlite3_mprintf (freed here); m_mutex held.
  int ExecLocked(char* sql);
  int LookupNodeLocked(char* sql, NodeRecord* record);
  // Runs a below-directory query and hands its rows to `visitor`; m_mutex
  // held.
  void VisitRowsLocked(char* sql, const std::string& dir_path, bool one_level, const NodeRowVisitor& visitor);

  std::mutex m_mutex;
  sqlite3* m_db = nullptr;  // guarded by m_mutex
  std::string m_path;       // guarded by m_mutex
};

}  // namespace tide
