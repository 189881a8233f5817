#define TIDE_LOG_TAG "user-mgr"
#define TIDE_LOG_COMPONENT "user_mgr_debug"
#include "core/user_manager.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/logger.h"

namespace tide {

sqlite3* UserManager::db = nullptr;
int UserManager::lock = -1;
bool UserManager::g_is_cached = false;
std::string UserManager::seed;
std::mutex UserManager::s_mutex;
std::string UserManager::s_lock_path = USER_MGR_LOCK_FILE;

namespace {

constexpr int BUSY_TIMEOUT_MS = 300000;
constexpr size_t SQL_BUFFER_SIZE = 1024;
// Every program of the package opens the lock file for writing.
constexpr mode_t LOCK_FILE_MODE = 0666;

const char SCHEMA_SQL[] =
    "BEGIN TRANSACTION;"
    "CREATE TABLE IF NOT EXISTS user_table ( "
    "\tid        INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\tattribute INTEGER, "
    "\tview_id   INTEGER, "
    "\tname      VARCHAR COLLATE NOCASE, "
    "\tuid       INTEGER, "
    "\tgid       INTEGER, "
    "\tuser_type INTEGER NOT NULL, "
    "\twatch_path VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS session_table ( "
    "\tuid       INTEGER REFERENCES user_table (id), "
    "\tattribute INTEGER DEFAULT 0, "
    "\tgroup_id  INTEGER, "
    "\tclient    VARCHAR, "
    "\tip        VARCHAR, "
    "\tctime     DATETIME DEFAULT (strftime('%s','now')), "
    "\tsess_id   VARCHAR UNIQUE ON CONFLICT ABORT);"
    "CREATE TABLE IF NOT EXISTS config_table ("
    "        key       VARCHAR UNIQUE ON CONFLICT ABORT,"
    "        value     VARCHAR);"
    "INSERT OR IGNORE INTO config_table VALUES ('version', 7); "
    "END TRANSACTION;";

const char DROP_CACHE_SQL[] =
    "BEGIN TRANSACTION; "
    "DROP VIEW IF EXISTS cuser_table; "
    "DROP VIEW IF EXISTS csession_table; "
    "END TRANSACTION;";

// Holds the cross-process lock for one statement.
class FileLock {
 public:
  explicit FileLock(int fd) : m_fd(fd) {
    while (m_fd >= 0 && flock(m_fd, LOCK_EX) < 0 && errno == EINTR) {
    }
  }
  ~FileLock() {
    if (m_fd >= 0) flock(m_fd, LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int m_fd;
};

std::string ColumnText(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

// A stored shared-folder name is "@" + the share's name.
bool HasShareMark(sqlite3_stmt* stmt, int column) {
  const unsigned char* text = sqlite3_column_text(stmt, column);
  return text != nullptr && text[0] == '@';
}

// Prepares `sql`, steps through every row calling on_row(stmt) (which returns
// false to stop early), finalises. s_mutex and the file lock are held by the
// caller. 0, or -1 after a message naming `op`.
template <typename OnRow>
int RunQuery(sqlite3* db, const char* op, const char* sql, OnRow on_row) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("%s: sqlite3_prepare_v2(%d): %s", op, rc, sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    return -1;
  }
  int result = 0;
  for (;;) {
    rc = sqlite3_step(stmt);
    if (rc == SQLITE_ROW) {
      if (!on_row(stmt)) break;
      continue;
    }
    if (rc != SQLITE_DONE) {
      TLOG_ERROR("%s: sqlite3_step(%d): %s", op, rc, sqlite3_errmsg(db));
      result = -1;
    }
    break;
  }
  sqlite3_finalize(stmt);
  return result;
}

}  // namespace

int UserManager::Initialize(const std::string& path) {
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db != nullptr) return 0;

  sqlite3* handle = nullptr;
  int rc = sqlite3_open(path.c_str(), &handle);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("sqlite3_open(%s): %s (%d)", path.c_str(), handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc), rc);
    sqlite3_close(handle);
    return -1;
  }
  sqlite3_busy_timeout(handle, BUSY_TIMEOUT_MS);
  char* error = nullptr;
  rc = sqlite3_exec(handle, SCHEMA_SQL, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    TLOG_ERROR("sqlite3_exec: %s (%d)", error ? error : sqlite3_errstr(rc), rc);
    sqlite3_free(error);
    sqlite3_close(handle);
    return -1;
  }
  // The lock file sits in a world-writable directory: never follow a link
  // planted there, or root would create or lock a file of someone's choice.
  int fd = open(s_lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, LOCK_FILE_MODE);
  if (fd < 0) {
    TLOG_ERROR("UserManager::Initialize: open: %s", strerror(errno));
    sqlite3_close(handle);
    return -1;
  }
  db = handle;
  lock = fd;
  g_is_cached = false;
  srand(static_cast<unsigned>(time(nullptr)));
  seed = std::to_string(rand());
  return 0;
}

void UserManager::Destroy() {
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) return;
  {
    FileLock file_lock(lock);
    char* error = nullptr;
    int rc = sqlite3_exec(db, DROP_CACHE_SQL, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) TLOG_ERROR("UserManager::DropCache: sqlite3_exec(%d): %s", rc, error ? error : "");
    sqlite3_free(error);
    sqlite3_close(db);
    db = nullptr;
    g_is_cached = false;
  }
  close(lock);
  lock = -1;
}

bool UserManager::IsOpen() {
  std::lock_guard<std::mutex> guard(s_mutex);
  return db != nullptr;
}

int UserManager::GetUserByDefaultView(uint64_t view_id, UserInfo* info) {
  static const char* OP = "UserManager::GetUserByDefaultView";
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) {
    TLOG_ERROR("%s: database is not open", OP);
    return -1;
  }
  char sql[SQL_BUFFER_SIZE];
  sqlite3_snprintf(sizeof(sql), sql,
                   "SELECT attribute, name, uid, gid, user_type, watch_path FROM user_table WHERE view_id = %llu;",
                   static_cast<unsigned long long>(view_id));
  int found = 0;
  FileLock file_lock(lock);
  int rc = RunQuery(db, OP, sql, [&](sqlite3_stmt* stmt) {
    info->m_attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));
    info->m_user_type = sqlite3_column_int(stmt, 4);
    std::string name = ColumnText(stmt, 1);
    if (info->m_user_type == USER_TYPE_SHARE && !name.empty()) name.erase(0, 1);
    info->m_name = name;
    info->m_uid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
    info->m_gid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 3));
    info->m_watch_path = ColumnText(stmt, 5);
    info->m_view_id = view_id;
    found = 1;
    return false;
  });
  return rc < 0 ? -1 : found;
}

int UserManager::GetShareUser(const std::string& name, UserInfo* info) {
  static const char* OP = "UserManager::GetShareUser";
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) {
    TLOG_ERROR("%s: database is not open", OP);
    return -1;
  }
  std::string stored = "@" + name;
  char sql[SQL_BUFFER_SIZE];
  sqlite3_snprintf(sizeof(sql), sql,
                   "SELECT name, view_id, attribute, user_type, watch_path FROM user_table "
                   "where (user_type = %d) AND name = %Q;",
                   USER_TYPE_SHARE, stored.c_str());
  bool invalid = false;
  FileLock file_lock(lock);
  int rc = RunQuery(db, OP, sql, [&](sqlite3_stmt* stmt) {
    if (!HasShareMark(stmt, 0)) {
      invalid = true;
      return false;
    }
    info->m_name = ColumnText(stmt, 0).substr(1);
    info->m_view_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    info->m_attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
    info->m_user_type = sqlite3_column_int(stmt, 3);
    info->m_watch_path = ColumnText(stmt, 4);
    return false;
  });
  if (invalid) {
    TLOG_WARNING("UserManager::GetShareUser: invalid share user '%s'. database probably corrupted.", name.c_str());
    return -1;
  }
  return rc;
}

namespace {

// Reads the columns name, view_id, attribute, uid, gid, user_type,
// watch_path (in that order) into `info`.
void ReadUserColumns(sqlite3_stmt* stmt, UserInfo* info) {
  info->m_name = ColumnText(stmt, 0);
  info->m_view_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
  info->m_attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 2));
  info->m_uid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 3));
  info->m_gid = static_cast<uint32_t>(sqlite3_column_int64(stmt, 4));
  info->m_user_type = sqlite3_column_int(stmt, 5);
  info->m_watch_path = ColumnText(stmt, 6);
}

}  // namespace

int UserManager::EnumUser(const std::string& name, UserInfo* info) {
  static const char* OP = "UserManager::EnumUser";
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) {
    TLOG_ERROR("%s: database is not open", OP);
    return -1;
  }
  char sql[SQL_BUFFER_SIZE];
  sqlite3_snprintf(sizeof(sql), sql,
                   "SELECT name, view_id, attribute, uid, gid, user_type, watch_path FROM user_table "
                   "WHERE NOT (user_type = %d) AND name = %Q;",
                   USER_TYPE_SHARE, name.c_str());
  FileLock file_lock(lock);
  return RunQuery(db, OP, sql, [&](sqlite3_stmt* stmt) {
    ReadUserColumns(stmt, info);
    return false;
  });
}

int UserManager::EnumUser(std::vector<UserInfo>* list, uint32_t limit, uint32_t* offset, bool exclude_shares) {
  static const char* OP = "UserManager::EnumUser";
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) {
    TLOG_ERROR("%s: database is not open", OP);
    return -1;
  }
  char sql[SQL_BUFFER_SIZE];
  if (exclude_shares) {
    sqlite3_snprintf(sizeof(sql), sql,
                     "SELECT name, view_id, attribute, uid, gid, user_type, watch_path FROM user_table "
                     "WHERE NOT (user_type = %d) LIMIT %u OFFSET %u;",
                     USER_TYPE_SHARE, limit, *offset);
  } else {
    sqlite3_snprintf(sizeof(sql), sql,
                     "SELECT name, view_id, attribute, uid, gid, user_type, watch_path FROM user_table "
                     "LIMIT %u OFFSET %u;",
                     limit, *offset);
  }
  // The offset advances by the rows read, skipped ones included, so that
  // the next page starts right after this one.
  uint32_t rows = 0;
  FileLock file_lock(lock);
  int rc = RunQuery(db, OP, sql, [&](sqlite3_stmt* stmt) {
    ++rows;
    UserInfo info;
    ReadUserColumns(stmt, &info);
    if (info.m_user_type == USER_TYPE_SHARE) {
      if (!HasShareMark(stmt, 0)) {
        const unsigned char* raw = sqlite3_column_text(stmt, 0);
        TLOG_WARNING("UserManager::EnumShareUser: skipping share user '%s'",
                     raw ? reinterpret_cast<const char*>(raw) : "(unknown)");
        return true;
      }
      info.m_name.erase(0, 1);
    }
    list->push_back(std::move(info));
    return true;
  });
  *offset += rows;
  return rc;
}

int UserManager::EnumShareUser(std::vector<ShareInfo>* list) {
  static const char* OP = "UserManager::EnumShareUser";
  std::lock_guard<std::mutex> guard(s_mutex);
  if (db == nullptr) {
    TLOG_ERROR("%s: database is not open", OP);
    return -1;
  }
  char sql[SQL_BUFFER_SIZE];
  sqlite3_snprintf(sizeof(sql), sql, "SELECT attribute, view_id, name, watch_path FROM user_table WHERE (user_type = %d);",
                   USER_TYPE_SHARE);
  FileLock file_lock(lock);
  return RunQuery(db, OP, sql, [&](sqlite3_stmt* stmt) {
    if (!HasShareMark(stmt, 2)) {
      const unsigned char* raw = sqlite3_column_text(stmt, 2);
      TLOG_WARNING("UserManager::EnumShareUser: skipping share user '%s'",
                   raw ? reinterpret_cast<const char*>(raw) : "(unknown)");
      return true;
    }
    ShareInfo share;
    share.m_attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));
    share.m_view_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 1));
    share.m_name = ColumnText(stmt, 2).substr(1);
    share.m_watch_path = ColumnText(stmt, 3);
    list->push_back(std::move(share));
    return true;
  });
}

void UserManager::SetLockFilePathForTest(const std::string& path) {
  std::lock_guard<std::mutex> guard(s_mutex);
  s_lock_path = path.empty() ? USER_MGR_LOCK_FILE : path;
}

}  // namespace tide
