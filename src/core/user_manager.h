// Read access to the package's user database: which user homes and shared
// folders take part in synchronisation, with their view ids, folders and
// states. Other programs of the package write it; this daemon only reads.
//
// One connection per process (static state). Across processes every
// statement runs under an exclusive flock on a shared lock file, plus a
// five-minute SQLite busy time-out. Inside the process s_mutex serialises
// the statements (a flock does not exclude threads sharing one descriptor).
//
// Results: 0 (or 1 = found) on success, -1 on failure after logging. Missing
// rows are not errors.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tide {

constexpr const char* USER_DB_REL_PATH = "/@tidewell/@sync/user-db.sqlite";
constexpr const char* USER_MGR_LOCK_FILE = "/tmp/user-mgr-lock-file";

// user_table.attribute: the view is switched off.
constexpr uint32_t USER_ATTR_DISABLED = 0x2;
// user_table.user_type of a shared folder; every other value is a user.
constexpr int32_t USER_TYPE_SHARE = 1;

// One user_table row as handed to callers. Shared folders carry their plain
// name (without the stored "@"). Columns a query does not select keep the
// caller's values.
struct UserInfo {
  std::string m_name;
  uint64_t m_view_id = 0;
  uint32_t m_attribute = 0;
  uint32_t m_uid = 0;
  uint32_t m_gid = 0;
  int32_t m_user_type = 0;
  std::string m_watch_path;
};

struct ShareInfo {
  std::string m_name;  // without the "@"
  uint64_t m_view_id = 0;
  uint32_t m_attribute = 0;
  std::string m_watch_path;
};

class UserManager {
 public:
  // Opens the database at `path`, creating the tables when missing, and
  // the lock file. A second call while open does nothing and returns 0.
  static int Initialize(const std::string& path);
  // Drops the cache views and closes; nothing when not open.
  static void Destroy();
  static bool IsOpen();

  // 1 found (view id set to the argument), 0 no row, -1 error.
  static int GetUserByDefaultView(uint64_t view_id, UserInfo* info);
  // Shared folder `name`: 0 whether or not found (untouched when not),
  // -1 on error or on a stored name without its "@".
  static int GetShareUser(const std::string& name, UserInfo* info);
  // User (not shared folder) `name`: 0 whether or not found, -1 on error.
  static int EnumUser(const std::string& name, UserInfo* info);
  // One page of at most `limit` rows from *offset on, appended to `list`;
  // *offset advances past the rows read. With `exclude_shares` only users.
  static int EnumUser(std::vector<UserInfo>* list, uint32_t limit, uint32_t* offset, bool exclude_shares);
  // Every shared folder; rows with a malformed name are skipped.
  static int EnumShareUser(std::vector<ShareInfo>* list);

  // Tests point the lock file elsewhere; empty restores the default.
  static void SetLockFilePathForTest(const std::string& path);

  // Guarded by s_mutex (and, across processes, the lock file).
  static sqlite3* db;
  static int lock;
  static bool g_is_cached;
  static std::string seed;

 private:
  static std::mutex s_mutex;
  static std::string s_lock_path;  // guarded by s_mutex
};

}  // namespace tide
