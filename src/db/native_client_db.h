// The local state database: one SQLite file recording every node known to be
// in sync (node_table), the global sync id (config_table) and the catch-up
// position of views still being brought up to date (progress_table).
//
// One process-wide connection shared by every thread; m_mutex serialises
// every statement, and row-by-row readers hold it until their statement is
// reset. Each statement is compiled once per connection, on first use, and
// reused with fresh bindings: compiling costs more than running these small
// statements. Operations return 0 on success and -1 on failure (after
// logging); the look-ups return 1 when a row was found and 0 when none
// matched.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/mutex.h"
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
  // The daemon's database, for start-up; the parts that use it are handed it.
  static NativeClientDb& Instance();

  // A database of its own (tests, tools); closed when it goes.
  NativeClientDb() = default;
  ~NativeClientDb();
  NativeClientDb(const NativeClientDb&) = delete;
  NativeClientDb& operator=(const NativeClientDb&) = delete;

  // Opens (creating it and its missing parent folders) and runs the schema
  // script. A second call while open keeps the first connection.
  int Initialize(const std::string& path);
  // Closes the connection (committing what UpsertNode left open); a later
  // Initialize may open another file.
  void Close();
  // Lets UpsertNode leave its transaction open for up to `delay`, so that
  // the rows of a stream share one commit. Each commit writes the pages of
  // the table and its six indexes once, and a first synchronisation writes
  // thousands of rows a second; alone, every row would write them again.
  // A row is then seen at once by every reader of this connection, and is
  // on the disk within `delay`. Until then it is also kept in memory and
  // written again when the commit fails; a write of any other kind commits
  // those rows first, so the file always holds the writes in their order.
  // Zero (the default) commits each row before UpsertNode returns.
  void SetCommitDelay(std::chrono::milliseconds delay);
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
  // GetNodeByPath that also tells whether a row of another case exists, in
  // one look at the case-blind index. 1 / 0 / -1.
  int GetNodeByPathNotingCase(uint64_t view_id, const std::string& path, NodeRecord* record, bool* other_case);
  // Inserts the row, or rewrites every column of the row with its node_id.
  // Committed at once, or within the commit delay (SetCommitDelay).
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
  // The statements kept compiled on the open connection.
  enum StatementId {
    ST_BEGIN,
    ST_COMMIT,
    ST_INSERT_VIEW_ROOT,
    ST_DELETE_VIEW_NODES,
    ST_DELETE_VIEW_PROGRESS,
    ST_ADD_VIEW_PROGRESS,
    ST_SET_VIEW_PROGRESS,
    ST_GET_VIEW_PROGRESS,
    ST_UPDATE_VIEW_PROGRESS,
    ST_GET_ALL_VIEW_PROGRESS,
    ST_GET_GLOBAL_SYNC_ID,
    ST_SET_GLOBAL_SYNC_ID,
    ST_GET_NODE_BY_ID,
    ST_GET_NODE_BY_PATH,
    ST_GET_NODE_BY_OTHER_CASE,
    ST_GET_NODES_BY_ANY_CASE,
    ST_INSERT_NODE,
    ST_UPDATE_NODE,
    ST_DELETE_NODE_BY_ID,
    ST_DELETE_NODE_BY_PATH,
    ST_ROWS_BELOW_ROOT,
    ST_ROWS_BELOW,
    ST_CHILDREN_OF_ROOT,
    ST_CHILDREN,
    ST_CHILDREN_OF_ROOT_UP_TO,
    ST_CHILDREN_UP_TO,
    ST_MAX_SYNC_ID_OF_VIEW,
    ST_MAX_SYNC_ID_BELOW,
    ST_COUNT
  };

  // The compiled statement, reset and with its bindings cleared; null
  // after logging when the database is closed or the text does not
  // compile. m_mutex held.
  sqlite3_stmt* StatementLocked(StatementId id, bool several_rows = false) REQUIRES(m_mutex);
  void FinalizeStatementsLocked() REQUIRES(m_mutex);
  // Steps a statement that returns no row, then resets it. 0 or -1.
  int StepDoneLocked(sqlite3_stmt* stmt) REQUIRES(m_mutex);
  // Runs `body` (statements stepped to the end) inside one transaction;
  // rolls back when it fails. 0 or -1.
  template <typename Body>
  int InTransactionLocked(Body body) REQUIRES(m_mutex);
  // A statement that writes: the rows UpsertNode left uncommitted are
  // committed first, so that the writes reach the file in their order.
  // Null (nothing may be written) while they cannot be.
  sqlite3_stmt* WriteStatementLocked(StatementId id) REQUIRES(m_mutex);
  int LookupNodeLocked(sqlite3_stmt* stmt, NodeRecord* record) REQUIRES(m_mutex);
  // Inserts the row, or updates the row with its node id; inside whatever
  // transaction is open. 0 or -1.
  int WriteNodeLocked(const NodeRecord& record) REQUIRES(m_mutex);
  // Opens the transaction UpsertNode rows wait in, writing again the rows
  // of one whose commit failed. 0 or -1.
  int OpenRowBatchLocked() REQUIRES(m_mutex);
  // Commits the rows UpsertNode left uncommitted; they are kept for another
  // try when that fails. 0 (also when there are none) or -1.
  int CommitRowBatchLocked() REQUIRES(m_mutex);
  // The thread that commits each batch of rows once its delay is over.
  void CommitRowsWhenDue();
  void StopCommitThread() EXCLUDES(m_mutex);
  // Runs a bound below-directory query and hands its rows to `visitor`;
  // m_mutex held.
  void VisitRowsLocked(sqlite3_stmt* stmt, const std::string& dir_path, bool one_level, const NodeRowVisitor& visitor)
      REQUIRES(m_mutex);

  Mutex m_mutex;
  sqlite3* m_db GUARDED_BY(m_mutex) = nullptr;
  std::chrono::milliseconds m_commit_delay GUARDED_BY(m_mutex){0};
  // The transaction UpsertNode rows wait in, open or not, and its rows.
  bool m_batch_open GUARDED_BY(m_mutex) = false;
  std::chrono::steady_clock::time_point m_batch_due GUARDED_BY(m_mutex);
  std::vector<NodeRecord> m_batch_rows GUARDED_BY(m_mutex);
  bool m_stop_committing GUARDED_BY(m_mutex) = false;
  int m_failed_commits GUARDED_BY(m_mutex) = 0;  // in a row, since the last that went through
  std::condition_variable_any m_batch_changed;
  // Started by SetCommitDelay, joined by Close; never under m_mutex, which
  // the thread takes.
  Mutex m_thread_mutex ACQUIRED_BEFORE(m_mutex);
  std::thread m_commit_thread GUARDED_BY(m_thread_mutex);
  std::string m_path GUARDED_BY(m_mutex);
  sqlite3_stmt* m_statements[ST_COUNT] GUARDED_BY(m_mutex) = {};
};

}  // namespace tide
