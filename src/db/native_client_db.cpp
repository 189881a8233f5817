#define TIDE_LOG_TAG "native-client-db"
#define TIDE_LOG_COMPONENT "ncdb_debug"
#include "core/logger.h"

#include "db/native_client_db.h"

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

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  if (!text) return std::string();
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

uint64_t ColumnU64(sqlite3_stmt* stmt, int column) { return static_cast<uint64_t>(sqlite3_column_int64(stmt, column)); }

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
  // Process exit: no logging, the logger may already be gone.
  if (m_db) sqlite3_close(m_db);
}

int NativeClientDb::Initialize(const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
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
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_db) sqlite3_close(m_db);
  m_db = nullptr;
  m_path.clear();
}

bool NativeClientDb::IsOpen() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_db != nullptr;
}

std::string NativeClientDb::Path() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_path;
}

int NativeClientDb::ExecLocked(char* sql) {
  if (!sql) {
    TLOG_ERROR("sqlite3_mprintf: out of memory");
    return -1;
  }
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    sqlite3_free(sql);
    return -1;
  }
  char* error = nullptr;
  int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &error);
  sqlite3_free(sql);
  if (rc == SQLITE_OK) return 0;
  TLOG_ERROR("sqlite3_exec: %s (%d)", error ? error : sqlite3_errmsg(m_db), rc);
  sqlite3_free(error);
  // A script that failed between BEGIN and END leaves its transaction open,
  // and every later BEGIN on this shared connection would fail with it.
  if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK;", nullptr, nullptr, nullptr);
  return -1;
}

int NativeClientDb::InsertViewRoot(uint64_t node_id, uint64_t view_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION;INSERT OR IGNORE INTO node_table(node_id, parent_id, view_id, name, path, attribute, "
      "sync_id, mtime) VALUES (%llu, 0, %llu, '/', '/', 2, 0, 0); END TRANSACTION;",
      static_cast<ull>(node_id), static_cast<ull>(view_id)));
}

int NativeClientDb::DeleteViewNodes(uint64_t view_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION; DELETE FROM node_table WHERE view_id = %llu;END TRANSACTION;", static_cast<ull>(view_id)));
}

int NativeClientDb::DeleteViewProgress(uint64_t view_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION;DELETE FROM progress_table WHERE view_id = %llu;END TRANSACTION;", static_cast<ull>(view_id)));
}

int NativeClientDb::AddViewProgress(uint64_t view_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION;INSERT OR IGNORE INTO progress_table(view_id, sync_id) VALUES (%llu, (SELECT value FROM "
      "config_table WHERE key = 'sync_id'));END TRANSACTION;",
      static_cast<ull>(view_id)));
}

int NativeClientDb::SetViewProgress(uint64_t view_id, uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION;INSERT OR REPLACE INTO progress_table(view_id, sync_id) VALUES (%llu, %llu);END "
      "TRANSACTION;",
      static_cast<ull>(view_id), static_cast<ull>(sync_id)));
}

int NativeClientDb::UpdateViewProgress(uint64_t view_id, uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION;UPDATE progress_table SET sync_id = %llu WHERE view_id = %llu;END TRANSACTION;",
      static_cast<ull>(sync_id), static_cast<ull>(view_id)));
}

int NativeClientDb::SetGlobalSyncId(uint64_t sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      "BEGIN TRANSACTION; UPDATE config_table SET value = %llu WHERE key = 'sync_id';END TRANSACTION;",
      static_cast<ull>(sync_id)));
}

int NativeClientDb::UpsertNode(const NodeRecord& r) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return ExecLocked(sqlite3_mprintf(
      UPSERT_NODE_SQL, static_cast<ull>(r.m_node_id), static_cast<ull>(r.m_parent_id), static_cast<ull>(r.m_view_id),
      r.m_name.c_str(), r.m_path.c_str(), r.m_attribute, static_cast<ull>(r.m_sync_id), r.m_mtime,
      static_cast<ull>(r.m_size), r.m_hash.c_str(), r.m_mode, r.m_mac_hash.c_str(), static_cast<ull>(r.m_node_id),
      static_cast<ull>(r.m_parent_id), static_cast<ull>(r.m_view_id), r.m_name.c_str(), r.m_path.c_str(),
      r.m_attribute, static_cast<ull>(r.m_sync_id), r.m_mtime, static_cast<ull>(r.m_size), r.m_hash.c_str(),
      r.m_mode, r.m_mac_hash.c_str(), static_cast<ull>(r.m_node_id)));
}

int NativeClientDb::DeleteNodeByPath(uint64_t view_id, const std::string& path) {
  std::lock_guard<std::mutex> lock(m_mutex);
  // The first comparison uses the (case-blind) index, the second keeps the
  // exact name.
  return ExecLocked(sqlite3_mprintf(
      "DELETE FROM node_table WHERE view_id = %llu AND path = %Q AND path = %Q COLLATE BINARY;",
      static_cast<ull>(view_id), path.c_str(), path.c_str()));
}

// Single statements: prepared, stepped once, finalised under the mutex.
namespace {

struct Statement {
  sqlite3_stmt* m_stmt = nullptr;
  ~Statement() { sqlite3_finalize(m_stmt); }
};

}  // namespace

#define TIDE_PREPARE_OR_FAIL(db, sql, statement)                                    \
  do {                                                                              \
    if (!(sql)) {                                                                   \
      TLOG_ERROR("sqlite3_mprintf: out of memory");                                 \
      return -1;                                                                    \
    }                                                                               \
    int prepare_rc_ = sqlite3_prepare_v2((db), (sql), -1, &(statement).m_stmt, nullptr); \
    sqlite3_free(sql);                                                              \
    if (prepare_rc_ != SQLITE_OK) {                                                 \
      TLOG_ERROR("sqlite3_prepare_v2: %s (%d)", sqlite3_errmsg(db), prepare_rc_);    \
      return -1;                                                                    \
    }                                                                               \
  } while (0)

int NativeClientDb::LookupNodeLocked(char* sql, NodeRecord* record) {
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    sqlite3_free(sql);
    return -1;
  }
  Statement st;
  TIDE_PREPARE_OR_FAIL(m_db, sql, st);
  int rc = sqlite3_step(st.m_stmt);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  NodeRecord found;
  found.m_node_id = ColumnU64(st.m_stmt, 0);
  found.m_parent_id = ColumnU64(st.m_stmt, 1);
  found.m_view_id = ColumnU64(st.m_stmt, 2);
  found.m_attribute = static_cast<uint32_t>(sqlite3_column_int64(st.m_stmt, 3));
  found.m_sync_id = ColumnU64(st.m_stmt, 4);
  found.m_mtime = static_cast<uint32_t>(sqlite3_column_int64(st.m_stmt, 5));
  found.m_size = ColumnU64(st.m_stmt, 6);
  found.m_mode = static_cast<uint32_t>(sqlite3_column_int64(st.m_stmt, 7));
  found.m_hash = ColumnText(st.m_stmt, 8);
  found.m_mac_hash = ColumnText(st.m_stmt, 9);
  found.m_name = ColumnText(st.m_stmt, 10);
  found.m_path = ColumnText(st.m_stmt, 11);
  if (record) *record = std::move(found);
  return 1;
}

int NativeClientDb::GetNodeById(uint64_t node_id, NodeRecord* record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return LookupNodeLocked(sqlite3_mprintf("SELECT node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, "
                                          "hash, mac_hash, name, path FROM node_table WHERE node_id = %llu;",
                                          static_cast<ull>(node_id)),
                          record);
}

int NativeClientDb::GetNodeByPath(uint64_t view_id, const std::string& path, NodeRecord* record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return LookupNodeLocked(sqlite3_mprintf("SELECT node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, "
                                          "hash, mac_hash, name, path FROM node_table WHERE view_id = %llu AND path = "
                                          "%Q AND path = %Q COLLATE BINARY;",
                                          static_cast<ull>(view_id), path.c_str(), path.c_str()),
                          record);
}

int NativeClientDb::GetNodeByOtherCase(uint64_t view_id, const std::string& path, NodeRecord* record) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return LookupNodeLocked(sqlite3_mprintf("SELECT node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, "
                                          "hash, mac_hash, name, path FROM node_table WHERE view_id = %llu AND path = "
                                          "%Q AND path <> %Q COLLATE BINARY LIMIT 1;",
                                          static_cast<ull>(view_id), path.c_str(), path.c_str()),
                          record);
}

int NativeClientDb::DeleteNodeById(uint64_t node_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    return -1;
  }
  char* sql = sqlite3_mprintf("DELETE FROM node_table WHERE node_id = %llu;", static_cast<ull>(node_id));
  Statement st;
  TIDE_PREPARE_OR_FAIL(m_db, sql, st);
  int rc = sqlite3_step(st.m_stmt);
  if (rc != SQLITE_DONE) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  return 0;
}

int NativeClientDb::GetViewProgress(uint64_t view_id, uint64_t* sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    return -1;
  }
  char* sql = sqlite3_mprintf("SELECT sync_id FROM progress_table WHERE view_id = %llu;", static_cast<ull>(view_id));
  Statement st;
  TIDE_PREPARE_OR_FAIL(m_db, sql, st);
  int rc = sqlite3_step(st.m_stmt);
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  if (sync_id) *sync_id = ColumnU64(st.m_stmt, 0);
  return 1;
}

int NativeClientDb::GetGlobalSyncId(uint64_t* sync_id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    return -1;
  }
  char* sql = sqlite3_mprintf("SELECT value FROM config_table WHERE key = 'sync_id';");
  Statement st;
  TIDE_PREPARE_OR_FAIL(m_db, sql, st);
  int rc = sqlite3_step(st.m_stmt);
  if (rc == SQLITE_DONE) {
    TLOG_ERROR("missing global sync id");
    return -1;
  }
  if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    return -1;
  }
  // Stored as text; read it as such so ids above the signed range survive.
  std::string value = ColumnText(st.m_stmt, 0);
  if (sync_id) *sync_id = strtoull(value.c_str(), nullptr, 10);
  return 0;
}

int NativeClientDb::GetAllViewProgress(std::vector<std::pair<uint64_t, uint64_t>>* progress) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_db) {
    TLOG_ERROR("database is not initialized");
    return -1;
  }
  Statement st;
  int rc = sqlite3_prepare_v2(m_db, "SELECT view_id,sync_id FROM progress_table;", -1, &st.m_stmt, nullptr);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("sqlite3_prepare_v2: [%d] %s", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  int count = 0;
  while ((rc = sqlite3_step(st.m_stmt)) == SQLITE_ROW) {
    if (progress) progress->emplace_back(ColumnU64(st.m_stmt, 0), ColumnU64(st.m_stmt, 1));
    ++count;
  }
  if (rc != SQLITE_DONE) {
    TLOG_ERROR("sqlite3_step: [%d] %s", rc, sqlite3_errmsg(m_db));
    return -1;
  }
  return count;
}

}  // namespace tide
