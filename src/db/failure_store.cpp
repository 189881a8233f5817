#define TIDE_LOG_TAG "failure-store"
#define TIDE_LOG_COMPONENT "failure_store_debug"
#include "db/failure_store.h"

#include "core/logger.h"

namespace tide {

namespace {

constexpr const char* FAILURE_DB_NAME = "failed-items.sqlite";
constexpr int BUSY_TIMEOUT_MS = 2000;

// Paths compare byte for byte here: a record belongs to one name, never to
// another that differs only by case.
constexpr const char* SCHEMA_SQL =
    "PRAGMA journal_mode = WAL;"
    "PRAGMA synchronous = NORMAL;"
    "CREATE TABLE IF NOT EXISTS failed_item ("
    " view_id INTEGER NOT NULL,"
    " path TEXT NOT NULL,"
    " event_type INTEGER NOT NULL,"
    " reason TEXT NOT NULL,"
    " attempts INTEGER NOT NULL,"
    " first_time INTEGER NOT NULL,"
    " last_time INTEGER NOT NULL,"
    " PRIMARY KEY (view_id, path));";

constexpr const char* SELECT_COLUMNS =
    "SELECT view_id, path, event_type, reason, attempts, first_time, last_time FROM failed_item";

FailedItem ItemOf(sqlite3_stmt* row) {
  FailedItem item;
  item.m_view_id = static_cast<uint64_t>(sqlite3_column_int64(row, 0));
  item.m_path = ReadOnlyDb::Text(row, 1);
  item.m_event_type = sqlite3_column_int(row, 2);
  item.m_reason = ReadOnlyDb::Text(row, 3);
  item.m_attempts = static_cast<uint64_t>(sqlite3_column_int64(row, 4));
  item.m_first_time = sqlite3_column_int64(row, 5);
  item.m_last_time = sqlite3_column_int64(row, 6);
  return item;
}

// Every statement here is keyed by (?1 view id, ?2 path).
void BindKey(sqlite3_stmt* statement, uint64_t view_id, const std::string& path) {
  sqlite3_bind_int64(statement, 1, static_cast<sqlite3_int64>(view_id));
  sqlite3_bind_text(statement, 2, path.data(), static_cast<int>(path.size()), SQLITE_TRANSIENT);
}

bool AtOrBelow(const std::string& path, const std::string& directory) {
  if (directory == "/") return true;
  return path.compare(0, directory.size(), directory) == 0 &&
         (path.size() == directory.size() || path[directory.size()] == '/');
}

}  // namespace

std::string FailureDbPath(const std::string& db_path) {
  size_t slash = db_path.rfind('/');
  return slash == std::string::npos ? FAILURE_DB_NAME : db_path.substr(0, slash + 1) + FAILURE_DB_NAME;
}

FailureStore::~FailureStore() { Close(); }

int FailureStore::Open(const std::string& path) {
  MutexLock lock(&m_mutex);
  if (m_db != nullptr) return 0;
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  char* error = nullptr;
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    rc = sqlite3_exec(db, SCHEMA_SQL, nullptr, nullptr, &error);
  }
  if (rc != SQLITE_OK) {
    TLOG_ERROR("cannot open the failed-items store '%s': %s", path.c_str(),
               error ? error : (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
    sqlite3_free(error);
    sqlite3_close(db);
    return -1;
  }
  m_db = db;
  m_present.clear();
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(m_db, "SELECT view_id, path FROM failed_item", -1, &statement, nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      m_present.emplace(static_cast<uint64_t>(sqlite3_column_int64(statement, 0)), ReadOnlyDb::Text(statement, 1));
    }
  }
  sqlite3_finalize(statement);
  return 0;
}

void FailureStore::Close() {
  MutexLock lock(&m_mutex);
  if (m_db != nullptr) sqlite3_close(m_db);
  m_db = nullptr;
  m_present.clear();
}

int FailureStore::RecordFailure(uint64_t view_id, const std::string& path, int32_t event_type,
                                const std::string& reason, int64_t now) {
  MutexLock lock(&m_mutex);
  if (m_db == nullptr) return -1;
  sqlite3_stmt* statement = nullptr;
  const char* sql =
      "INSERT INTO failed_item (view_id, path, event_type, reason, attempts, first_time, last_time)"
      " VALUES (?1, ?2, ?3, ?4, 1, ?5, ?5)"
      " ON CONFLICT (view_id, path) DO UPDATE SET event_type = ?3, reason = ?4, attempts = attempts + 1,"
      " last_time = ?5";
  int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    BindKey(statement, view_id, path);
    sqlite3_bind_int(statement, 3, event_type);
    sqlite3_bind_text(statement, 4, reason.data(), static_cast<int>(reason.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 5, now);
    rc = sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) {
    TLOG_WARNING("cannot record the failure of '%s': %s", path.c_str(), sqlite3_errmsg(m_db));
    return -1;
  }
  m_present.emplace(view_id, path);
  return 0;
}

int FailureStore::ExecLocked(const char* sql, uint64_t view_id, const std::string& text) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    BindKey(statement, view_id, text);
    rc = sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) {
    TLOG_WARNING("cannot forget the failure of '%s': %s", text.c_str(), sqlite3_errmsg(m_db));
    return -1;
  }
  return 0;
}

int FailureStore::Clear(uint64_t view_id, const std::string& path) {
  MutexLock lock(&m_mutex);
  if (m_db == nullptr) return -1;
  // Called after every finished event: with nothing failed, no key is built.
  if (m_present.empty()) return 0;
  auto found = m_present.find({view_id, path});
  if (found == m_present.end()) return 0;
  if (ExecLocked("DELETE FROM failed_item WHERE view_id = ?1 AND path = ?2", view_id, path) < 0) return -1;
  m_present.erase(found);
  return 1;
}

int FailureStore::ClearBelow(uint64_t view_id, const std::string& directory) {
  MutexLock lock(&m_mutex);
  if (m_db == nullptr) return -1;
  int cleared = 0;
  for (auto it = m_present.lower_bound({view_id, std::string()}); it != m_present.end() && it->first == view_id;) {
    if (!AtOrBelow(it->second, directory)) {
      ++it;
      continue;
    }
    if (ExecLocked("DELETE FROM failed_item WHERE view_id = ?1 AND path = ?2", view_id, it->second) < 0) return -1;
    it = m_present.erase(it);
    ++cleared;
  }
  return cleared;
}

int FailureStore::Get(uint64_t view_id, const std::string& path, FailedItem* item) {
  MutexLock lock(&m_mutex);
  if (m_db == nullptr) return -1;
  if (m_present.count({view_id, path}) == 0) return 0;
  std::string sql = std::string(SELECT_COLUMNS) + " WHERE view_id = ?1 AND path = ?2";
  sqlite3_stmt* statement = nullptr;
  int found = -1;
  if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
    BindKey(statement, view_id, path);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
      *item = ItemOf(statement);
      found = 1;
    } else if (rc == SQLITE_DONE) {
      found = 0;
    }
  }
  sqlite3_finalize(statement);
  return found;
}

int FailureStore::List(std::vector<FailedItem>* items) {
  MutexLock lock(&m_mutex);
  if (m_db == nullptr) return -1;
  items->clear();
  std::string sql = std::string(SELECT_COLUMNS) + " ORDER BY last_time DESC, view_id, path";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return -1;
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) items->push_back(ItemOf(statement));
  sqlite3_finalize(statement);
  return rc == SQLITE_DONE ? static_cast<int>(items->size()) : -1;
}

int ReadFailedItems(ReadOnlyDb& db, uint64_t view_id, std::vector<FailedItem>* items) {
  items->clear();
  std::string sql = SELECT_COLUMNS;
  std::vector<ReadOnlyDb::Param> params;
  if (view_id != 0) {
    sql += " WHERE view_id = ?";
    params.emplace_back(static_cast<int64_t>(view_id));
  }
  sql += " ORDER BY last_time DESC, view_id, path";
  int rows = db.Query(sql.c_str(), params, [&](sqlite3_stmt* row) { items->push_back(ItemOf(row)); });
  return rows < 0 ? -1 : static_cast<int>(items->size());
}

}  // namespace tide
