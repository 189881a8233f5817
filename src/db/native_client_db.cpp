#define TIDE_LOG_TAG "native-client-db"
#define TIDE_LOG_COMPONENT "ncdb_debug"
#include "core/logger.h"

#include "db/native_client_db.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tide {

namespace {

// The whole schema runs as one script at every start; everything in it is
// idempotent, so an existing file keeps its rows and configuration values.
const char SCHEMA_SQL[] =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "PRAGMA recursive_triggers = true;"
    "BEGIN TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS node_table (        node_id   INTEGER UNIQUE,        parent_id INTEGER, \tview_id\t  INTEGER,        attribute INTEGER,        sync_id   INTEGER DEFAULT 0,        mtime     DATETIME DEFAULT 0,        size      INTEGER DEFAULT 0,        mode      INTEGER DEFAULT 0,        hash      VARCHAR DEFAULT '',        mac_hash  VARCHAR DEFAULT '',        name      VARCHAR COLLATE NOCASE, \tpath      VARCHAR COLLATE NOCASE );"
    "CREATE TABLE IF NOT EXISTS config_table ( \tkey       VARCHAR PRIMARY KEY ON CONFLICT REPLACE, \tvalue     VARCHAR DEFAULT '' );"
    "CREATE TABLE IF NOT EXISTS progress_table ( \tview_id   INTEGER UNIQUE, \tsync_id   INTEGER NOT NULL );"
    "INSERT OR IGNORE INTO config_table (key, value) VALUES ('row1', '0');"
    "INSERT OR IGNORE INTO config_table (key, value) VALUES ('sync_id', '0');"
    "INSERT OR IGNORE INTO config_table (key, value) VALUES ('node_id', '0');"
    "INSERT OR IGNORE INTO config_table (key, value) VALUES ('version', '7');"
    "CREATE INDEX IF NOT EXISTS node_node_id_index ON node_table (node_id);"
    "CREATE INDEX IF NOT EXISTS node_parent_id_index ON node_table (parent_id);"
    "CREATE INDEX IF NOT EXISTS node_sync_id_index ON node_table (sync_id);"
    "CREATE INDEX IF NOT EXISTS node_view_id_index ON node_table (view_id);"
    "CREATE INDEX IF NOT EXISTS node_name_index ON node_table (name);"
    "CREATE INDEX IF NOT EXISTS node_path_index ON node_table (path);"
    "CREATE INDEX IF NOT EXISTS config_key_index ON config_table (key);"
    "CREATE INDEX IF NOT EXISTS progress_view_id_index ON progress_table (view_id);"
    "CREATE TRIGGER IF NOT EXISTS node_delete_trigger AFTER DELETE ON node_table BEGIN \tDELETE FROM node_table WHERE parent_id = OLD.node_id;"
    "END;"
    "END TRANSACTION;";

// How long a statement waits for a lock held by another connection to the
// same file (a maintenance shell, say) before it fails.
constexpr int BUSY_TIMEOUT_MS = 5000;
// How long rows whose commit failed (a full disk) wait for the next try.
constexpr std::chrono::seconds COMMIT_RETRY_DELAY{1};

// Folders created for a database on a fresh volume; the package's other
// programs keep their own files beside ours and must be able to enter.
constexpr mode_t DB_DIR_MODE = 0755;

using ull = unsigned long long;

// Creates the missing folders above `path`. Failures are left to the open
// that follows, which reports them.
void CreateParentFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    std::string dir = path.substr(0, slash);
    if (mkdir(dir.c_str(), DB_DIR_MODE) < 0 && errno != EEXIST) {
      TLOG_DEBUG("mkdir %s: %s", dir.c_str(), strerror(errno));
      return;
    }
  }
}

// A NULL column reads as an empty string.
void AssignColumnText(sqlite3_stmt* stmt, int column, std::string* out) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (!text) {
    out->clear();
    return;
  }
  out->assign(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

uint64_t ColumnU64(sqlite3_stmt* stmt, int column) { return static_cast<uint64_t>(sqlite3_column_int64(stmt, column)); }

// Binds a 64-bit id; ids above the signed range keep their bits, as the
// text statements stored them.
void BindU64(sqlite3_stmt* stmt, int index, uint64_t value) {
  sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value));
}

// Binds text the statement only reads while it runs.
void BindText(sqlite3_stmt* stmt, int index, const std::string& text) {
  sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

// The columns of NODE_COLUMNS in the current row into `record` (when given).
void ReadNodeColumns(sqlite3_stmt* stmt, NodeRecord* record) {
  if (!record) return;
  record->m_node_id = ColumnU64(stmt, 0);
  record->m_parent_id = ColumnU64(stmt, 1);
  record->m_view_id = ColumnU64(stmt, 2);
  record->m_attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 3));
  record->m_sync_id = ColumnU64(stmt, 4);
  record->m_mtime = static_cast<uint32_t>(sqlite3_column_int64(stmt, 5));
  record->m_size = ColumnU64(stmt, 6);
  record->m_mode = static_cast<uint32_t>(sqlite3_column_int64(stmt, 7));
  // assign() reuses the record's buffers across look-ups.
  AssignColumnText(stmt, 8, &record->m_hash);
  AssignColumnText(stmt, 9, &record->m_mac_hash);
  AssignColumnText(stmt, 10, &record->m_name);
  AssignColumnText(stmt, 11, &record->m_path);
}

#define NODE_COLUMNS "node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, hash, mac_hash, name, path"
#define ROW_COLUMNS "SELECT attribute, mtime, size, path FROM node_table WHERE view_id = ?1 "

// Statement texts, indexed by NativeClientDb::StatementId. Parameters take
// the place of the values the formatted statements used to carry.
const char* const STATEMENT_SQL[] = {
    "BEGIN TRANSACTION;",
    "END TRANSACTION;",
    "INSERT OR IGNORE INTO node_table(node_id, parent_id, view_id, name, path, attribute, sync_id, mtime) "
    "VALUES (?1, 0, ?2, '/', '/', 2, 0, 0);",
    "DELETE FROM node_table WHERE view_id = ?1;",
    "DELETE FROM progress_table WHERE view_id = ?1;",
    "INSERT OR IGNORE INTO progress_table(view_id, sync_id) VALUES (?1, (SELECT value FROM config_table WHERE key = "
    "'sync_id'));",
    "INSERT OR REPLACE INTO progress_table(view_id, sync_id) VALUES (?1, ?2);",
    "SELECT sync_id FROM progress_table WHERE view_id = ?1;",
    "UPDATE progress_table SET sync_id = ?1 WHERE view_id = ?2;",
    "SELECT view_id,sync_id FROM progress_table;",
    "SELECT value FROM config_table WHERE key = 'sync_id';",
    "UPDATE config_table SET value = ?1 WHERE key = 'sync_id';",
    "SELECT " NODE_COLUMNS " FROM node_table WHERE node_id = ?1;",
    // The first comparison uses the (case-blind) index, the second keeps
    // the exact name: a name that differs only in case is another object.
    "SELECT " NODE_COLUMNS " FROM node_table WHERE view_id = ?1 AND path = ?2 AND path = ?2 COLLATE BINARY;",
    "SELECT " NODE_COLUMNS " FROM node_table WHERE view_id = ?1 AND path = ?2 AND path <> ?2 COLLATE BINARY LIMIT 1;",
    "SELECT " NODE_COLUMNS " FROM node_table WHERE view_id = ?1 AND path = ?2;",
    "INSERT OR IGNORE INTO node_table (node_id, parent_id, view_id, name, path, attribute, sync_id, mtime, size, "
    "hash, mode, mac_hash) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12);",
    "UPDATE node_table SET node_id = ?1, parent_id = ?2, view_id = ?3, name = ?4, path = ?5, attribute = ?6, "
    "sync_id = ?7, mtime = ?8, size = ?9, hash = ?10, mode = ?11, mac_hash = ?12 WHERE node_id = ?1;",
    "DELETE FROM node_table WHERE node_id = ?1;",
    "DELETE FROM node_table WHERE view_id = ?1 AND path = ?2 AND path = ?2 COLLATE BINARY;",
    ROW_COLUMNS ";",
    ROW_COLUMNS "AND path GLOB ?2;",
    ROW_COLUMNS "AND path LIKE '/%' AND path NOT LIKE '/%/%';",
    ROW_COLUMNS "AND path LIKE ?2 AND path NOT LIKE ?3;",
    ROW_COLUMNS "AND sync_id <= ?2 AND path LIKE '/%' AND path NOT LIKE '/%/%';",
    ROW_COLUMNS "AND sync_id <= ?2 AND path LIKE ?3 AND path NOT LIKE ?4;",
    "SELECT MAX(sync_id) FROM node_table WHERE view_id = ?1;",
    "SELECT MAX(sync_id) FROM node_table WHERE view_id = ?1 AND (path = ?2 OR path GLOB ?3);",
};

#undef NODE_COLUMNS
#undef ROW_COLUMNS

}  // namespace

const char UPSERT_NODE_SQL[] =
    "BEGIN TRANSACTION;INSERT OR IGNORE INTO node_table (node_id, parent_id, view_id, name, path, attribute, "
    "sync_id, mtime, size, hash, mode, mac_hash) VALUES (%llu, %llu, %llu, %Q, %Q, %u, %llu, %u, %llu, %Q, %u, "
    "%Q); UPDATE node_table SET     node_id = %llu, parent_id = %llu, view_id = %llu, name = %Q, path = %Q, "
    "attribute = %u,     sync_id = %llu, mtime = %u, size = %llu, hash = %Q, mode = %u, mac_hash = %Q WHERE "
    "changes() = 0 AND node_id = %llu; END TRANSACTION;";

NativeClientDb& NativeClientDb::Instance() {
  static NativeClientDb instance;
  return instance;
}

NativeClientDb::~NativeClientDb() {
  StopCommitThread();
  // Process exit: no logging, the logger may already be gone.
  if (m_batch_open && m_db) sqlite3_exec(m_db, "COMMIT;", nullptr, nullptr, nullptr);
  FinalizeStatementsLocked();
  if (m_db) sqlite3_close(m_db);
}

int NativeClientDb::Initialize(const std::string& path) {
  MutexLock lock(&m_mutex);
  if (m_db) {
    TLOG_INFO("database has already been initialized");
    return 0;
  }
  CreateParentFolders(path);
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("sqlite3_open: %s (%d)", db ? sqlite3_errmsg(db) : sqlite3_errstr(rc), rc);
    sqlite3_close(db);
    return -1;
  }
  sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
  // Every node row touches the table and six indexes; once a share has some
  // ten thousand files they no longer fit SQLite's default 2 MB page cache,
  // and each upload would read its index pages back from the file. 32 MB
  // holds a share of about a hundred thousand files; the cache grows only
  // as far as the database does.
  if (sqlite3_exec(db, "PRAGMA cache_size = -32768;", nullptr, nullptr, nullptr) != SQLITE_OK) {
    TLOG_WARNING("cache_size: %s", sqlite3_errmsg(db));
  }
  char* error = nullptr;
  rc = sqlite3_exec(db, SCHEMA_SQL, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("sqlite3_exec: %s (%d)", error ? error : sqlite3_errstr(rc), rc);
    sqlite3_free(error);
    sqlite3_close(db);
    return -1;
  }
  m_db = db;
  m_path = path;
  return 0;
}

void NativeClientDb::Close() {
  StopCommitThread();
  MutexLock lock(&m_mutex);
  CommitRowBatchLocked();
  m_batch_rows.clear();
  m_commit_delay = std::chrono::milliseconds(0);
  FinalizeStatementsLocked();
  if (m_db) sqlite3_close(m_db);
  m_db = nullptr;
  m_path.clear();
}

bool NativeClientDb::IsOpen() {
  MutexLock lock(&m_mutex);
  return m_db != nullptr;
}

std::string NativeClientDb::Path() {
  MutexLock lock(&m_mutex);
  return m_path;
}

void NativeClientDb::FinalizeStatementsLocked() {
  static_assert(sizeof(STATEMENT_SQL) / sizeof(STATEMENT_SQL[0]) == ST_COUNT, "one text per statement");
  // A connection with statements left open cannot be closed.
  for (sqlite3_stmt*& stmt : m_statements) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
}

sqlite3_stmt* NativeClientDb::StatementLocked(StatementId id, bool several_rows) {
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    return nullptr;
  }
  sqlite3_stmt*& stmt = m_statements[id];
  if (stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return stmt;
  }
  int rc = sqlite3_prepare_v3(m_db, STATEMENT_SQL[id], -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    if (several_rows) {
      TLOG_ERROR("sqlite3_prepare_v2: [%d] %s", rc, sqlite3_errmsg(m_db));
    } else {
      TLOG_ERROR("sqlite3_prepare_v2: %s (%d)", sqlite3_errmsg(m_db), rc);
    }
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  return stmt;
}

int NativeClientDb::StepDoneLocked(sqlite3_stmt* stmt) {
  if (!stmt) return -1;
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (rc == SQLITE_DONE) return 0;
  TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
  return -1;
}

sqlite3_stmt* NativeClientDb::WriteStatementLocked(StatementId id) {
  if (CommitRowBatchLocked() < 0) return nullptr;
  return StatementLocked(id);
}

template <typename Body>
int NativeClientDb::InTransactionLocked(Body body) {
  if (CommitRowBatchLocked() < 0) return -1;
  if (StepDoneLocked(StatementLocked(ST_BEGIN)) < 0) return -1;
  if (body() == 0 && StepDoneLocked(StatementLocked(ST_COMMIT)) == 0) return 0;
  // A transaction left open would make every later BEGIN on this shared
  // connection fail with it.
  if (m_db && !sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return -1;
}

int NativeClientDb::InsertViewRoot(uint64_t node_id, uint64_t view_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_INSERT_VIEW_ROOT);
  if (!stmt) return -1;
  BindU64(stmt, 1, node_id);
  BindU64(stmt, 2, view_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::DeleteViewNodes(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_DELETE_VIEW_NODES);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  // One transaction: the trigger deletes row by row.
  return InTransactionLocked([&]() NO_THREAD_SAFETY_ANALYSIS { return StepDoneLocked(stmt); });
}

int NativeClientDb::DeleteViewProgress(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_DELETE_VIEW_PROGRESS);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::AddViewProgress(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_ADD_VIEW_PROGRESS);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::SetViewProgress(uint64_t view_id, uint64_t sync_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_SET_VIEW_PROGRESS);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  BindU64(stmt, 2, sync_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::UpdateViewProgress(uint64_t view_id, uint64_t sync_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_UPDATE_VIEW_PROGRESS);
  if (!stmt) return -1;
  BindU64(stmt, 1, sync_id);
  BindU64(stmt, 2, view_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::SetGlobalSyncId(uint64_t sync_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_SET_GLOBAL_SYNC_ID);
  if (!stmt) return -1;
  // As text, as an unsigned number: GetGlobalSyncId reads it back with
  // strtoull, so values above the signed range survive.
  char text[24];
  int length = snprintf(text, sizeof(text), "%llu", static_cast<ull>(sync_id));
  sqlite3_bind_text(stmt, 1, text, length, SQLITE_TRANSIENT);
  return StepDoneLocked(stmt);
}

int NativeClientDb::UpsertNode(const NodeRecord& record) {
  MutexLock lock(&m_mutex);
  if (m_commit_delay.count() == 0) {
    // The body runs inside InTransactionLocked, under the lock; the
    // analysis does not follow a lambda there.
    return InTransactionLocked([&]() NO_THREAD_SAFETY_ANALYSIS { return WriteNodeLocked(record); });
  }
  if (!m_batch_open && OpenRowBatchLocked() < 0) return -1;
  if (WriteNodeLocked(record) < 0) {
    // A failed statement undoes only itself, unless the error (a full
    // disk, an I/O error) ended the whole transaction; the rows it held
    // are still kept, and written again in the next one.
    if (!m_db || sqlite3_get_autocommit(m_db)) m_batch_open = false;
    return -1;
  }
  m_batch_rows.push_back(record);
  return 0;
}

void NativeClientDb::SetCommitDelay(std::chrono::milliseconds delay) {
  {
    MutexLock lock(&m_mutex);
    m_commit_delay = delay;
    m_stop_committing = false;
  }
  MutexLock lock(&m_thread_mutex);
  if (delay.count() > 0 && !m_commit_thread.joinable()) m_commit_thread = std::thread([this] { CommitRowsWhenDue(); });
}

void NativeClientDb::StopCommitThread() {
  MutexLock thread_lock(&m_thread_mutex);
  if (!m_commit_thread.joinable()) return;
  {
    MutexLock lock(&m_mutex);
    m_stop_committing = true;
  }
  m_batch_changed.notify_all();
  m_commit_thread.join();
}

void NativeClientDb::CommitRowsWhenDue() {
  // Named so that `top -H` and `ps -L` tell it from the tasks.
  pthread_setname_np(pthread_self(), "db-commit");
  MutexLock lock(&m_mutex);
  while (!m_stop_committing) {
    if (!m_batch_open && m_batch_rows.empty()) {
      m_batch_changed.wait(m_mutex);
      continue;
    }
    if (std::chrono::steady_clock::now() < m_batch_due) {
      // A copy: the wait reads its deadline while the mutex is free.
      const std::chrono::steady_clock::time_point due = m_batch_due;
      m_batch_changed.wait_until(m_mutex, due);
      continue;
    }
    // After a failure (a full disk) the rows wait for the next try.
    if (CommitRowBatchLocked() < 0) m_batch_due = std::chrono::steady_clock::now() + COMMIT_RETRY_DELAY;
  }
}

int NativeClientDb::OpenRowBatchLocked() {
  if (StepDoneLocked(StatementLocked(ST_BEGIN)) < 0) return -1;
  for (const NodeRecord& row : m_batch_rows) {
    if (WriteNodeLocked(row) < 0) {
      if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
      return -1;
    }
  }
  m_batch_open = true;
  m_batch_due = std::chrono::steady_clock::now() + m_commit_delay;
  m_batch_changed.notify_all();
  return 0;
}

int NativeClientDb::CommitRowBatchLocked() {
  if (!m_batch_open && m_batch_rows.empty()) return 0;
  if (!m_batch_open && OpenRowBatchLocked() < 0) return -1;
  m_batch_open = false;
  sqlite3_stmt* commit = StatementLocked(ST_COMMIT);
  int rc = commit ? sqlite3_step(commit) : SQLITE_MISUSE;
  if (rc != SQLITE_DONE) {
    // Tried again every second while it fails (a full disk): said once.
    if (m_failed_commits++ == 0) {
      TLOG_ERROR("commit of %zu rows failed: %s (%d); they are kept and tried again", m_batch_rows.size(),
                 m_db ? sqlite3_errmsg(m_db) : "no database", rc);
    }
    if (commit) sqlite3_reset(commit);
    // A transaction left open would make every later BEGIN on this shared
    // connection fail with it.
    if (m_db && !sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
    return -1;
  }
  sqlite3_reset(commit);
  if (m_failed_commits > 0) {
    TLOG_NOTE("%zu rows committed after %d failed tries", m_batch_rows.size(), m_failed_commits);
    m_failed_commits = 0;
  }
  m_batch_rows.clear();
  return 0;
}

int NativeClientDb::WriteNodeLocked(const NodeRecord& r) {
  sqlite3_stmt* insert = StatementLocked(ST_INSERT_NODE);
  sqlite3_stmt* update = insert ? StatementLocked(ST_UPDATE_NODE) : nullptr;
  if (!update) return -1;
  for (sqlite3_stmt* stmt : {insert, update}) {
    BindU64(stmt, 1, r.m_node_id);
    BindU64(stmt, 2, r.m_parent_id);
    BindU64(stmt, 3, r.m_view_id);
    BindText(stmt, 4, r.m_name);
    BindText(stmt, 5, r.m_path);
    sqlite3_bind_int64(stmt, 6, r.m_attribute);
    BindU64(stmt, 7, r.m_sync_id);
    sqlite3_bind_int64(stmt, 8, r.m_mtime);
    BindU64(stmt, 9, r.m_size);
    BindText(stmt, 10, r.m_hash);
    sqlite3_bind_int64(stmt, 11, r.m_mode);
    BindText(stmt, 12, r.m_mac_hash);
  }
  // The insert is ignored when a row with that node_id exists; only then
  // does the update rewrite it.
  if (StepDoneLocked(insert) < 0) return -1;
  if (sqlite3_changes(m_db) != 0) return 0;
  return StepDoneLocked(update);
}

int NativeClientDb::DeleteNodeByPath(uint64_t view_id, const std::string& path) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_DELETE_NODE_BY_PATH);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  BindText(stmt, 2, path);
  return StepDoneLocked(stmt);
}

int NativeClientDb::DeleteNodeById(uint64_t node_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = WriteStatementLocked(ST_DELETE_NODE_BY_ID);
  if (!stmt) return -1;
  BindU64(stmt, 1, node_id);
  return StepDoneLocked(stmt);
}

int NativeClientDb::LookupNodeLocked(sqlite3_stmt* stmt, NodeRecord* record) {
  if (!stmt) return -1;
  int rc = sqlite3_step(stmt);
  if (rc == SQLITE_DONE) {
    sqlite3_reset(stmt);
    return 0;
  }
  if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    sqlite3_reset(stmt);
    return -1;
  }
  ReadNodeColumns(stmt, record);
  sqlite3_reset(stmt);
  return 1;
}

int NativeClientDb::GetNodeById(uint64_t node_id, NodeRecord* record) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_NODE_BY_ID);
  if (stmt) BindU64(stmt, 1, node_id);
  return LookupNodeLocked(stmt, record);
}

int NativeClientDb::GetNodeByPath(uint64_t view_id, const std::string& path, NodeRecord* record) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_NODE_BY_PATH);
  if (stmt) {
    BindU64(stmt, 1, view_id);
    BindText(stmt, 2, path);
  }
  return LookupNodeLocked(stmt, record);
}

int NativeClientDb::GetNodeByOtherCase(uint64_t view_id, const std::string& path, NodeRecord* record) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_NODE_BY_OTHER_CASE);
  if (stmt) {
    BindU64(stmt, 1, view_id);
    BindText(stmt, 2, path);
  }
  return LookupNodeLocked(stmt, record);
}

int NativeClientDb::GetNodeByPathNotingCase(uint64_t view_id, const std::string& path, NodeRecord* record,
                                            bool* other_case) {
  MutexLock lock(&m_mutex);
  *other_case = false;
  sqlite3_stmt* stmt = StatementLocked(ST_GET_NODES_BY_ANY_CASE);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  BindText(stmt, 2, path);
  int found = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 11);
    int length = sqlite3_column_bytes(stmt, 11);
    if (text == nullptr || std::string_view(reinterpret_cast<const char*>(text), length) != path) {
      *other_case = true;
      continue;
    }
    if (found == 0) ReadNodeColumns(stmt, record);
    found = 1;
  }
  if (rc != SQLITE_DONE) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    sqlite3_reset(stmt);
    return -1;
  }
  sqlite3_reset(stmt);
  return found;
}

int NativeClientDb::GetViewProgress(uint64_t view_id, uint64_t* sync_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_VIEW_PROGRESS);
  if (!stmt) return -1;
  BindU64(stmt, 1, view_id);
  int rc = sqlite3_step(stmt);
  int result = -1;
  if (rc == SQLITE_DONE) {
    result = 0;
  } else if (rc == SQLITE_ROW) {
    if (sync_id) *sync_id = ColumnU64(stmt, 0);
    result = 1;
  } else {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
  }
  sqlite3_reset(stmt);
  return result;
}

int NativeClientDb::GetGlobalSyncId(uint64_t* sync_id) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_GLOBAL_SYNC_ID);
  if (!stmt) return -1;
  int rc = sqlite3_step(stmt);
  int result = -1;
  if (rc == SQLITE_DONE) {
    TLOG_ERROR("missing global sync id");
  } else if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
  } else {
    // Stored as text; read it as such so ids above the signed range survive.
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    if (sync_id) *sync_id = text ? strtoull(reinterpret_cast<const char*>(text), nullptr, 10) : 0;
    result = 0;
  }
  sqlite3_reset(stmt);
  return result;
}

int NativeClientDb::GetAllViewProgress(std::vector<std::pair<uint64_t, uint64_t>>* progress) {
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(ST_GET_ALL_VIEW_PROGRESS, true);
  if (!stmt) return -1;
  int count = 0;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    if (progress) progress->emplace_back(ColumnU64(stmt, 0), ColumnU64(stmt, 1));
    ++count;
  }
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE) {
    TLOG_ERROR("sqlite3_step: [%d] %s", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  return count;
}

}  // namespace tide
