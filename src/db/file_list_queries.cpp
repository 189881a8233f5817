// Row visits of node_table below a directory: the database side of a
// rescan's comparison with the disk.
#define TIDE_LOG_TAG "native-client-db"
#define TIDE_LOG_COMPONENT "ncdb_debug"
#include "core/logger.h"

#include <strings.h>

#include "db/native_client_db.h"

namespace tide {

namespace {

using ull = unsigned long long;

// A directory path without trailing slashes; "/" stays "/".
std::string TrimDir(const std::string& dir) {
  size_t end = dir.find_last_not_of('/');
  if (end == std::string::npos) return std::string(1, '/');
  return dir.substr(0, end + 1);
}

// GLOB treats '*', '?' and '[' as wildcards; a folder named "a[1]" must
// match only itself, so each is wrapped in a one-character class.
std::string EscapeGlob(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[') {
      escaped += '[';
      escaped += c;
      escaped += ']';
    } else {
      escaped += c;
    }
  }
  return escaped;
}

}  // namespace

void NativeClientDb::VisitRowsLocked(sqlite3_stmt* stmt, const std::string& dir_path, bool one_level,
                                     const NodeRowVisitor& visitor) {
  if (!stmt) return;
  // The part of each row's path that names the directory itself. LIKE
  // matches '%' and '_' in folder names as wildcards and ignores ASCII case,
  // so rows are checked against the prefix before it is cut off.
  std::string prefix;
  prefix.reserve(dir_path.size() + 1);
  if (dir_path != "/") prefix.append(dir_path.data(), dir_path.size());
  if (one_level) prefix.push_back('/');
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 3));
    if (!text) continue;
    std::string_view path(text, static_cast<size_t>(sqlite3_column_bytes(stmt, 3)));
    if (path.size() < prefix.size() || strncasecmp(path.data(), prefix.data(), prefix.size()) != 0) continue;
    std::string_view rest = path.substr(prefix.size());
    if (one_level && (rest.empty() || rest.find('/') != std::string_view::npos)) continue;
    if (!one_level && rest.empty()) continue;
    uint32_t attribute = static_cast<uint32_t>(sqlite3_column_int64(stmt, 0));
    uint32_t mtime = static_cast<uint32_t>(sqlite3_column_int64(stmt, 1));
    uint64_t size = static_cast<uint64_t>(sqlite3_column_int64(stmt, 2));
    visitor(NodeListRow{rest, attribute, mtime, size});
  }
  if (rc != SQLITE_DONE) TLOG_ERROR("sqlite3_step: [%d] %s", rc, sqlite3_errmsg(m_db));
  sqlite3_reset(stmt);
}

void NativeClientDb::VisitNodesBelow(uint64_t view_id, const std::string& dir_path, const NodeRowVisitor& visitor) {
  std::string dir = TrimDir(dir_path);
  std::string pattern = dir == "/" ? std::string() : EscapeGlob(dir) + "/*";
  MutexLock lock(&m_mutex);
  TLOG_DEBUG("listing rows under %s at %llu", dir.c_str(), static_cast<ull>(view_id));
  sqlite3_stmt* stmt = StatementLocked(dir == "/" ? ST_ROWS_BELOW_ROOT : ST_ROWS_BELOW, true);
  if (!stmt) return;
  sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
  if (dir != "/") sqlite3_bind_text(stmt, 2, pattern.data(), static_cast<int>(pattern.size()), SQLITE_STATIC);
  VisitRowsLocked(stmt, dir, false, visitor);
}

void NativeClientDb::VisitChildNodes(uint64_t view_id, const std::string& dir_path, const NodeRowVisitor& visitor) {
  std::string dir = TrimDir(dir_path);
  std::string children = dir + "/%";
  std::string grandchildren = dir + "/%/%";
  MutexLock lock(&m_mutex);
  TLOG_DEBUG("listing rows under %s at %llu", dir.c_str(), static_cast<ull>(view_id));
  sqlite3_stmt* stmt = StatementLocked(dir == "/" ? ST_CHILDREN_OF_ROOT : ST_CHILDREN, true);
  if (!stmt) return;
  sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
  if (dir != "/") {
    sqlite3_bind_text(stmt, 2, children.data(), static_cast<int>(children.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 3, grandchildren.data(), static_cast<int>(grandchildren.size()), SQLITE_STATIC);
  }
  VisitRowsLocked(stmt, dir, true, visitor);
}

void NativeClientDb::VisitChildNodesUpTo(uint64_t view_id, const std::string& dir_path, uint64_t max_sync_id,
                                         const NodeRowVisitor& visitor) {
  std::string dir = TrimDir(dir_path);
  std::string children = dir + "/%";
  std::string grandchildren = dir + "/%/%";
  MutexLock lock(&m_mutex);
  TLOG_DEBUG("listing rows under %s at %llu", dir.c_str(), static_cast<ull>(view_id));
  sqlite3_stmt* stmt = StatementLocked(dir == "/" ? ST_CHILDREN_OF_ROOT_UP_TO : ST_CHILDREN_UP_TO, true);
  if (!stmt) return;
  sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
  sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(max_sync_id));
  if (dir != "/") {
    sqlite3_bind_text(stmt, 3, children.data(), static_cast<int>(children.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 4, grandchildren.data(), static_cast<int>(grandchildren.size()), SQLITE_STATIC);
  }
  VisitRowsLocked(stmt, dir, true, visitor);
}

int NativeClientDb::GetMaxSyncIdBelow(uint64_t view_id, const std::string& dir_path, uint64_t* sync_id) {
  std::string dir = TrimDir(dir_path);
  std::string pattern = dir == "/" ? std::string() : EscapeGlob(dir) + "/*";
  MutexLock lock(&m_mutex);
  sqlite3_stmt* stmt = StatementLocked(dir == "/" ? ST_MAX_SYNC_ID_OF_VIEW : ST_MAX_SYNC_ID_BELOW);
  if (!stmt) return -1;
  sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(view_id));
  if (dir != "/") {
    sqlite3_bind_text(stmt, 2, dir.data(), static_cast<int>(dir.size()), SQLITE_STATIC);
    sqlite3_bind_text(stmt, 3, pattern.data(), static_cast<int>(pattern.size()), SQLITE_STATIC);
  }
  int rc = sqlite3_step(stmt);
  if (rc != SQLITE_ROW) {
    TLOG_ERROR("sqlite3_step: %s (%d)", sqlite3_errmsg(m_db), rc);
    sqlite3_reset(stmt);
    return -1;
  }
  *sync_id = static_cast<uint64_t>(sqlite3_column_int64(stmt, 0));  // NULL (no rows) reads as 0
  sqlite3_reset(stmt);
  return 0;
}

}  // namespace tide
