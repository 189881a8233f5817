#define TIDE_LOG_TAG "refstore"
#define TIDE_LOG_COMPONENT "refsyncd_debug"
#include "core/logger.h"

#include "ref_store.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sqlite3.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "proto/checksum.h"

namespace tide {

namespace {

// Long enough for the admin command line and the server to take turns on
// the write lock without either giving up.
constexpr int BUSY_TIMEOUT_MS = 30000;

// Ids are handed out from here on, so that the small view ids people pick by
// hand for tests and demos (the admin's view-add) never meet a node id.
#define REF_FIRST_ID_BASE "100000"

// Closes a descriptor when it goes out of scope (-1: nothing to close).
class ClosedAtEnd {
 public:
  explicit ClosedAtEnd(int fd) : m_fd(fd) {}
  ~ClosedAtEnd() {
    if (m_fd >= 0) close(m_fd);
  }
  ClosedAtEnd(const ClosedAtEnd&) = delete;
  ClosedAtEnd& operator=(const ClosedAtEnd&) = delete;
  int Get() const { return m_fd; }

 private:
  int m_fd;
};

const char* SCHEMA =
    "CREATE TABLE IF NOT EXISTS counters (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
    "INSERT OR IGNORE INTO counters (name, value) VALUES ('sync_id', 0), ('next_id', " REF_FIRST_ID_BASE ");"
    "CREATE TABLE IF NOT EXISTS views (view_id INTEGER PRIMARY KEY, watch_path TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS nodes ("
    "  node_id INTEGER PRIMARY KEY, view_id INTEGER NOT NULL, parent_id INTEGER NOT NULL,"
    "  path TEXT NOT NULL, name TEXT NOT NULL, is_dir INTEGER NOT NULL,"
    "  uid INTEGER NOT NULL DEFAULT 0, gid INTEGER NOT NULL DEFAULT 0, mtime INTEGER NOT NULL DEFAULT 0,"
    "  size INTEGER NOT NULL DEFAULT 0, hash TEXT NOT NULL DEFAULT '',"
    "  mac_size INTEGER NOT NULL DEFAULT 0, mac_hash TEXT NOT NULL DEFAULT '',"
    "  deleted INTEGER NOT NULL DEFAULT 0, sync_id INTEGER NOT NULL DEFAULT 0,"
    "  UNIQUE (view_id, path));"
    // The origin column (remote) is added by AddOriginColumn, so that a
    // history from before it gets the column too.
    "CREATE TABLE IF NOT EXISTS changes ("
    "  sync_id INTEGER PRIMARY KEY, view_id INTEGER NOT NULL, node_id INTEGER NOT NULL,"
    "  parent_id INTEGER NOT NULL, path TEXT NOT NULL, flags INTEGER NOT NULL,"
    "  size INTEGER NOT NULL, hash TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS changes_view_index ON changes (view_id, sync_id);";

const char* NODE_COLUMNS =
    "node_id, view_id, parent_id, path, name, is_dir, uid, gid, mtime, size, hash, mac_size, mac_hash, deleted, "
    "sync_id, remote";

// Prepared statements are kept per connection and reused: an upload runs a
// dozen small statements, and compiling each anew was a large share of the
// server's time per request. The cache is shared by every RefStore of the
// process (tests run several), hence the mutex; a statement is in one
// user's hands at a time.
class StatementCache {
 public:
  static StatementCache& Instance() {
    static StatementCache cache;
    return cache;
  }
  sqlite3_stmt* Take(sqlite3* db, const char* sql) {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = m_free.find(KeyView{db, sql});
      if (it != m_free.end() && !it->second.empty()) {
        sqlite3_stmt* stmt = it->second.back();
        it->second.pop_back();
        return stmt;
      }
    }
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
      TLOG_ERROR("prepare '%s': %s", sql, sqlite3_errmsg(db));
      sqlite3_finalize(stmt);
      return nullptr;
    }
    return stmt;
  }
  void Give(sqlite3* db, sqlite3_stmt* stmt) {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    std::lock_guard<std::mutex> lock(m_mutex);
    // Looked up by view: the text is copied only the first time.
    KeyView key{db, sqlite3_sql(stmt)};
    auto it = m_free.find(key);
    if (it == m_free.end()) it = m_free.emplace(Key{db, std::string(key.m_sql)}, std::vector<sqlite3_stmt*>()).first;
    it->second.push_back(stmt);
  }
  // Before the connection closes.
  void Drop(sqlite3* db) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_free.begin(); it != m_free.end();) {
      if (it->first.m_db != db) {
        ++it;
        continue;
      }
      for (sqlite3_stmt* stmt : it->second) sqlite3_finalize(stmt);
      it = m_free.erase(it);
    }
  }

 private:
  struct Key {
    sqlite3* m_db;
    std::string m_sql;
  };
  struct KeyView {
    sqlite3* m_db;
    std::string_view m_sql;
  };
  // Ordered by connection, then text; finds work with a view of the text,
  // so a look-up allocates nothing.
  struct Less {
    using is_transparent = void;
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
      if (a.m_db != b.m_db) return std::less<sqlite3*>()(a.m_db, b.m_db);
      return std::string_view(a.m_sql) < std::string_view(b.m_sql);
    }
  };
  std::mutex m_mutex;
  std::map<Key, std::vector<sqlite3_stmt*>, Less> m_free;  // guarded by m_mutex
};

// A statement taken from the cache, given back (reset) when it goes.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : m_db(db), m_stmt(StatementCache::Instance().Take(db, sql)) {}
  ~Stmt() {
    if (m_stmt) StatementCache::Instance().Give(m_db, m_stmt);
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  bool Ok() const { return m_stmt != nullptr; }
  Stmt& Bind(int i, uint64_t v) {
    sqlite3_bind_int64(m_stmt, i, static_cast<sqlite3_int64>(v));
    return *this;
  }
  Stmt& Bind(int i, const std::string& v) {
    sqlite3_bind_text(m_stmt, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE, or an error (logged).
  int Step() {
    if (!m_stmt) return SQLITE_ERROR;
    int rc = sqlite3_step(m_stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) TLOG_ERROR("step '%s': %s", sqlite3_sql(m_stmt), sqlite3_errmsg(m_db));
    return rc;
  }
  uint64_t U64(int col) const { return static_cast<uint64_t>(sqlite3_column_int64(m_stmt, col)); }
  std::string Text(int col) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, col);
    return text ? std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(m_stmt, col)) : std::string();
  }

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_stmt;
};

void ReadNodeRow(const Stmt& s, RefNode* n) {
  n->m_node_id = s.U64(0);
  n->m_view_id = s.U64(1);
  n->m_parent_id = s.U64(2);
  n->m_path = s.Text(3);
  n->m_name = s.Text(4);
  n->m_is_dir = s.U64(5) != 0;
  n->m_uid = static_cast<uint32_t>(s.U64(6));
  n->m_gid = static_cast<uint32_t>(s.U64(7));
  n->m_mtime = static_cast<uint32_t>(s.U64(8));
  n->m_size = s.U64(9);
  n->m_hash = s.Text(10);
  n->m_mac_size = s.U64(11);
  n->m_mac_hash = s.Text(12);
  n->m_deleted = s.U64(13) != 0;
  n->m_sync_id = s.U64(14);
  n->m_remote = s.U64(15) != 0;
}

std::string NameOf(const std::string& path) { return path == "/" ? "/" : path.substr(path.rfind('/') + 1); }

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool IsHexDigest(const std::string& hash) {
  if (hash.size() != 32) return false;
  for (char c : hash)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// Copies a whole file; -1 with errno set on failure.
int CopyWhole(int in, int out) {
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 20, 0);
    if (n == 0) return 0;
    if (n > 0) continue;
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return -1;
    break;
  }
  char buffer[65536];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      done += w;
    }
  }
}

}  // namespace

const char* RefCodeText(uint32_t code) {
  switch (code) {
    case REF_OK: return "ok";
    case REF_SERVER_ERROR: return "server error";
    case REF_CONFLICT: return "conflict";
    case REF_NO_ENTRY: return "no such entry";
    case REF_NOT_MODIFIED: return "not modified";
    case REF_MODIFIED: return "modified after base";
    case REF_INVALID_VIEW: return "invalid view";
    case REF_REFUSED_PATH: return "refused path";
    default: return "unknown";
  }
}

bool IsValidViewPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  size_t start = 1;
  for (;;) {
    size_t end = path.find('/', start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (part.empty() || part == "." || part == "..") return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

// IMMEDIATE transaction, rolled back unless committed.
class RefStore::Txn {
 public:
  explicit Txn(RefStore* store) : m_store(store) { m_ok = store->ExecKept("BEGIN IMMEDIATE") == 0; }
  ~Txn() {
    if (m_ok && !m_done) m_store->ExecKept("ROLLBACK");
  }
  bool Ok() const { return m_ok; }
  int Commit() {
    m_done = true;
    return m_store->ExecKept("COMMIT");
  }

 private:
  RefStore* m_store;
  bool m_ok = false;
  bool m_done = false;
};

RefStore::~RefStore() { Close(); }

int RefStore::Open(const std::string& db_path, const std::string& store_dir) {
  Close();
  std::error_code ec;
  m_store_dir = store_dir;
  for (const char* sub : {"", "/objects", "/tmp"}) {
    std::filesystem::create_directories(store_dir + sub, ec);
    if (ec) {
      TLOG_ERROR("create store directory %s%s: %s", store_dir.c_str(), sub, ec.message().c_str());
      return -1;
    }
  }
  std::filesystem::path parent = std::filesystem::path(db_path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  if (sqlite3_open_v2(db_path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    TLOG_ERROR("open database %s: %s", db_path.c_str(), m_db ? sqlite3_errmsg(m_db) : "out of memory");
    Close();
    return -1;
  }
  sqlite3_busy_timeout(m_db, BUSY_TIMEOUT_MS);
  // A history of a large share outgrows SQLite's default 2 MB page cache
  // early; every upload then reads its index pages back from the file.
  if (Exec("PRAGMA journal_mode = WAL") != 0 || Exec("PRAGMA synchronous = NORMAL") != 0 ||
      Exec("PRAGMA cache_size = -32768") != 0) {
    Close();
    return -1;
  }
  Txn txn(this);
  if (!txn.Ok() || Exec(SCHEMA) != 0 || AddOriginColumn() != 0 || txn.Commit() != 0) {
    TLOG_ERROR("create schema in %s failed", db_path.c_str());
    Close();
    return -1;
  }
  return 0;
}

int RefStore::AddOriginColumn() {
  Stmt q(m_db, "SELECT COUNT(*) FROM pragma_table_info('nodes') WHERE name = 'remote'");
  if (!q.Ok() || q.Step() != SQLITE_ROW) return -1;
  if (q.U64(0) != 0) return 0;
  // Whoever made the changes of an older history is unknown: counting them
  // as remote keeps removals as cautious as they were then.
  return Exec("ALTER TABLE nodes ADD COLUMN remote INTEGER NOT NULL DEFAULT 1");
}

void RefStore::Close() {
  StopChecks();
  if (m_db) {
    StatementCache::Instance().Drop(m_db);
    sqlite3_close_v2(m_db);
  }
  m_db = nullptr;
}

int RefStore::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    TLOG_ERROR("exec '%.60s': %s", sql, error ? error : "?");
    sqlite3_free(error);
    return -1;
  }
  return 0;
}

int RefStore::ExecKept(const char* sql) {
  Stmt q(m_db, sql);
  return q.Ok() && q.Step() == SQLITE_DONE ? 0 : -1;
}

std::string RefStore::ObjectPath(const std::string& hash) const {
  return m_store_dir + "/objects/" + hash.substr(0, 2) + "/" + hash;
}

int RefStore::PlaceContent(int in, const struct stat& st, const std::string& source, bool may_link,
                           std::string* temp, bool* linked) {
  *linked = false;
  // A throw-away copy that nobody else names is simply taken over: no data
  // moves at all. The inode check makes sure the name still leads to the
  // file that was opened (and link() does not follow a symbolic link).
  if (may_link && st.st_nlink == 1) {
    // The process id keeps the names of the server and of the admin
    // command line apart; it never changes, so it is asked for once.
    static const std::string pid = std::to_string(getpid());
    *temp = m_store_dir + "/tmp/in-" + pid + "-" + std::to_string(++m_next_temp);
    if (link(source.c_str(), temp->c_str()) == 0) {
      struct stat linked_st {};
      if (lstat(temp->c_str(), &linked_st) == 0 && linked_st.st_ino == st.st_ino && linked_st.st_dev == st.st_dev) {
        ++m_imports.m_linked;
        *linked = true;
        return 0;
      }
      unlink(temp->c_str());
    } else if (errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EEXIST) {
      TLOG_DEBUG("link %s into the store: %s", source.c_str(), strerror(errno));
    }
  }
  *temp = m_store_dir + "/tmp/in-XXXXXX";
  int out = mkstemp(temp->data());
  if (out < 0) {
    TLOG_ERROR("mkstemp in %s/tmp: %s", m_store_dir.c_str(), strerror(errno));
    return -1;
  }
  // Where the file system shares extents, a clone costs no data copy and
  // stays independent of later writes to the source.
  int rc = 0;
  if (ioctl(out, FICLONE, in) == 0) {
    ++m_imports.m_cloned;
  } else if ((rc = CopyWhole(in, out)) == 0) {
    ++m_imports.m_copied;
  }
  int saved = errno;
  if (close(out) != 0 && rc == 0) {
    rc = -1;
    saved = errno;
  }
  if (rc != 0) {
    TLOG_ERROR("copy %s into the store: %s", source.c_str(), strerror(saved));
    unlink(temp->c_str());
    return -1;
  }
  return 0;
}

uint32_t RefStore::ImportContent(const std::string& source, const std::string& expected_hash, int64_t expected_size,
                                 bool adopt, std::string* out_hash, uint64_t* out_size, bool check_later) {
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    TLOG_ERROR("open %s: %s", source.c_str(), strerror(errno));
    return REF_SERVER_ERROR;
  }
  struct stat st {};
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    TLOG_ERROR("%s is not a regular file", source.c_str());
    close(in);
    return REF_SERVER_ERROR;
  }
  std::string temp;
  bool linked = false;
  int placed = PlaceContent(in, st, source, adopt, &temp, &linked);
  // What the store took over by a link is the open file itself: it is
  // looked at and hashed through `in`, which no name change can redirect.
  ClosedAtEnd kept(linked ? in : -1);
  if (!linked) close(in);
  if (placed != 0) return REF_SERVER_ERROR;
  struct stat copy_st {};
  // Whether the check may wait is decided on the size first seen: most
  // uploads are small, and are then looked at once more only after hashing.
  if (check_later && IsHexDigest(Lower(expected_hash)) &&
      static_cast<uint64_t>(st.st_size) >= m_later_check_minimum.load() &&
      (linked ? fstat(kept.Get(), &copy_st) : stat(temp.c_str(), &copy_st)) == 0 &&
      static_cast<uint64_t>(copy_st.st_size) >= m_later_check_minimum.load()) {
    if (expected_size >= 0 && static_cast<uint64_t>(expected_size) != static_cast<uint64_t>(copy_st.st_size)) {
      TLOG_ERROR("content of %s has %llu bytes, expected %lld", source.c_str(),
                 static_cast<unsigned long long>(copy_st.st_size), static_cast<long long>(expected_size));
      unlink(temp.c_str());
      return REF_SERVER_ERROR;
    }
    std::string hash = Lower(expected_hash);
    std::string target = ObjectPath(hash);
    // Under its name at once, so that readers of the store outside this
    // process (the admin command line) find it; downloads of this process
    // wait for the check. The temporary name stays for the checker: it
    // tells this content from another that took the name meanwhile.
    std::error_code ec;
    struct stat existing {};
    if (stat(target.c_str(), &existing) != 0) {
      int linked = link(temp.c_str(), target.c_str());
      if (linked != 0 && errno == ENOENT) {
        std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
        if (!ec) linked = link(temp.c_str(), target.c_str());
      }
      if (linked != 0 && errno != EEXIST) {
        TLOG_ERROR("store %s as %s: %s", temp.c_str(), target.c_str(), ec ? ec.message().c_str() : strerror(errno));
        unlink(temp.c_str());
        return REF_SERVER_ERROR;
      }
    }
    CheckLater(LaterCheck{temp, hash, source});
    *out_hash = hash;
    *out_size = static_cast<uint64_t>(copy_st.st_size);
    return REF_OK;
  }
  // The checksum is taken of what the store now holds: that is what later
  // downloads hand out.
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  int hashed = linked ? RSCalcMD4Fd(kept.Get(), digest, nullptr) : RSCalcMD4(temp, digest, nullptr);
  if (hashed != 0 || (linked ? fstat(kept.Get(), &copy_st) : stat(temp.c_str(), &copy_st)) != 0) {
    TLOG_ERROR("checksum of %s failed", temp.c_str());
    unlink(temp.c_str());
    return REF_SERVER_ERROR;
  }
  std::string hash = MD4ToHex(digest);
  uint64_t size = static_cast<uint64_t>(copy_st.st_size);
  if (!expected_hash.empty() && Lower(expected_hash) != hash) {
    TLOG_ERROR("content of %s has MD4 %s, expected %s", source.c_str(), hash.c_str(), expected_hash.c_str());
    unlink(temp.c_str());
    return REF_SERVER_ERROR;
  }
  if (expected_size >= 0 && static_cast<uint64_t>(expected_size) != size) {
    TLOG_ERROR("content of %s has %llu bytes, expected %lld", source.c_str(), static_cast<unsigned long long>(size),
               static_cast<long long>(expected_size));
    unlink(temp.c_str());
    return REF_SERVER_ERROR;
  }
  std::string target = ObjectPath(hash);
  struct stat existing {};
  bool target_existed = stat(target.c_str(), &existing) == 0;
  if (target_existed && static_cast<uint64_t>(existing.st_size) == size) {
    // Same content already kept. Renaming over it would make the file
    // system flush the replaced data first, for nothing.
    unlink(temp.c_str());
    *out_hash = hash;
    *out_size = size;
    return REF_OK;
  }
  std::error_code ec;
  // The object's folder exists for all but the first content of its
  // prefix: try the rename first and make the folder only when it is
  // missing.
  int renamed = rename(temp.c_str(), target.c_str());
  if (renamed != 0 && errno == ENOENT) {
    std::filesystem::create_directories(std::filesystem::path(target).parent_path(), ec);
    if (!ec) renamed = rename(temp.c_str(), target.c_str());
  }
  if (ec || renamed != 0) {
    TLOG_ERROR("store %s as %s: %s", temp.c_str(), target.c_str(), ec ? ec.message().c_str() : strerror(errno));
    unlink(temp.c_str());
    return REF_SERVER_ERROR;
  }
  // A rename between two names of one file leaves both in place: when the
  // object was there already (this very file, stored meanwhile by a racing
  // writer), the spare name goes.
  if (target_existed) unlink(temp.c_str());
  *out_hash = hash;
  *out_size = size;
  return REF_OK;
}

void RefStore::CheckLater(LaterCheck check) {
  MutexLock lock(&m_check_mutex);
  ++m_checks_by_hash[check.m_hash];
  m_checks.push_back(std::move(check));
  if (!m_checker.joinable()) {
    m_stop_checks = false;
    m_checker = std::thread([this] { RunChecks(); });
  }
  m_check_cv.notify_all();
}

void RefStore::RunChecks() {
  for (;;) {
    LaterCheck check;
    {
      MutexLock lock(&m_check_mutex);
      // Whatever was taken in before the stop is still checked: nothing
      // leaves the store's hands unchecked.
      while (m_checks.empty() && !m_stop_checks) m_check_cv.wait(m_check_mutex);
      if (m_checks.empty()) return;
      check = m_checks.front();
    }
    RunCheck(check);
    MutexLock lock(&m_check_mutex);
    m_checks.pop_front();
    if (--m_checks_by_hash[check.m_hash] == 0) m_checks_by_hash.erase(check.m_hash);
    m_check_cv.notify_all();
  }
}

void RefStore::RunCheck(const LaterCheck& check) {
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  std::string target = ObjectPath(check.m_hash);
  bool read = RSCalcMD4(check.m_temp, digest, nullptr) == 0;
  std::string got = read ? MD4ToHex(digest) : std::string("unreadable");
  struct stat temp_st {}, target_st {};
  bool have_target = lstat(target.c_str(), &target_st) == 0;
  bool is_target = have_target && lstat(check.m_temp.c_str(), &temp_st) == 0 && target_st.st_ino == temp_st.st_ino &&
                   target_st.st_dev == temp_st.st_dev;
  if (got == check.m_hash) {
    // A wrong content under the name was taken out meanwhile: this good
    // one takes its place.
    if (!have_target && rename(check.m_temp.c_str(), target.c_str()) == 0) return;
    unlink(check.m_temp.c_str());
    return;
  }
  {
    MutexLock lock(&m_check_mutex);
    ++m_failed_checks;
  }
  TLOG_ERROR("content of %s has MD4 %s, expected %s (found after the answer): taken out of the store, versions "
             "with that MD4 cannot be downloaded until it comes again",
             check.m_source.c_str(), got.c_str(), check.m_hash.c_str());
  if (is_target) unlink(target.c_str());
  unlink(check.m_temp.c_str());
}

int RefStore::WaitForChecks(const std::string& hash) {
  {
    MutexLock lock(&m_check_mutex);
    while (m_checks_by_hash.count(hash) != 0) m_check_cv.wait(m_check_mutex);
  }
  struct stat st {};
  return stat(ObjectPath(hash).c_str(), &st) == 0 ? 1 : 0;
}

uint64_t RefStore::FailedChecks() {
  MutexLock lock(&m_check_mutex);
  return m_failed_checks;
}

void RefStore::StopChecks() {
  {
    MutexLock lock(&m_check_mutex);
    m_stop_checks = true;
    m_check_cv.notify_all();
  }
  if (m_checker.joinable()) m_checker.join();
}

int RefStore::NextCounter(const char* name, uint64_t* out) {
  // One past the highest id in use, within the transaction that uses it:
  // the row that takes the id is its record, and nothing else is written.
  // Rows are never deleted, so no id comes back. The counters table stays
  // a floor (a history written when it was counted there, the view ids
  // AddView hands out).
  const bool sync = strcmp(name, "sync_id") == 0;
  Stmt next(m_db, sync ? "SELECT MAX((SELECT value FROM counters WHERE name = 'sync_id'),"
                         " IFNULL((SELECT MAX(sync_id) FROM changes), 0)) + 1"
                       : "SELECT MAX((SELECT value FROM counters WHERE name = 'next_id'),"
                         " IFNULL((SELECT MAX(node_id) FROM nodes), 0), IFNULL((SELECT MAX(view_id) FROM views), 0)) + 1");
  if (!next.Ok() || next.Step() != SQLITE_ROW) return -1;
  *out = next.U64(0);
  return 0;
}

int RefStore::IdInUse(uint64_t id, bool* in_use) {
  Stmt q(m_db,
         "SELECT EXISTS (SELECT 1 FROM views WHERE view_id = ?1) OR EXISTS (SELECT 1 FROM nodes WHERE node_id = ?1)");
  if (!q.Ok()) return -1;
  q.Bind(1, id);
  if (q.Step() != SQLITE_ROW) return -1;
  *in_use = q.U64(0) != 0;
  return 0;
}

int RefStore::EnsureView(uint64_t view_id, const std::string& watch_path, bool* created) {
  *created = false;
  Stmt q(m_db, "SELECT 1 FROM views WHERE view_id = ?1");
  if (!q.Ok()) return -1;
  q.Bind(1, view_id);
  int rc = q.Step();
  if (rc == SQLITE_ROW) {
    if (!watch_path.empty()) {
      Stmt u(m_db, "UPDATE views SET watch_path = ?2 WHERE view_id = ?1");
      u.Bind(1, view_id).Bind(2, watch_path);
      if (u.Step() != SQLITE_DONE) return -1;
    }
    return 0;
  }
  if (rc != SQLITE_DONE) return -1;
  bool in_use = false;
  if (IdInUse(view_id, &in_use) != 0) return -1;
  if (in_use) {
    TLOG_ERROR("view id %llu is already the id of a node", static_cast<unsigned long long>(view_id));
    return -2;
  }
  Stmt ins(m_db, "INSERT INTO views (view_id, watch_path) VALUES (?1, ?2)");
  ins.Bind(1, view_id).Bind(2, watch_path);
  if (ins.Step() != SQLITE_DONE) return -1;
  // The root: node id = view id, parent 0, sync id 0 (it exists from the
  // start, so it is no change of its own).
  RefNode root;
  root.m_node_id = view_id;
  root.m_view_id = view_id;
  root.m_path = "/";
  root.m_name = "/";
  root.m_is_dir = true;
  if (WriteNode(root) != 0) return -1;
  // Ids handed out from now on stay above every view id.
  Stmt bump(m_db, "UPDATE counters SET value = MAX(value, ?1) WHERE name = 'next_id'");
  bump.Bind(1, view_id);
  if (bump.Step() != SQLITE_DONE) return -1;
  *created = true;
  TLOG_NOTE("view %llu created (watch path '%s')", static_cast<unsigned long long>(view_id), watch_path.c_str());
  return 0;
}

int RefStore::ReadNode(uint64_t view_id, const std::string& path, RefNode* out) {
  // Built once: every upload reads a few nodes.
  static const std::string sql = std::string("SELECT ") + NODE_COLUMNS + " FROM nodes WHERE view_id = ?1 AND path = ?2";
  Stmt q(m_db, sql.c_str());
  if (!q.Ok()) return -1;
  q.Bind(1, view_id).Bind(2, path);
  int rc = q.Step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  ReadNodeRow(q, out);
  return 1;
}

int RefStore::GetNode(uint64_t view_id, const std::string& path, RefNode* out) {
  if (!IsValidViewPath(path)) return 0;
  return ReadNode(view_id, path, out);
}

int RefStore::WriteNode(const RefNode& n) {
  Stmt q(m_db,
         "INSERT OR REPLACE INTO nodes (node_id, view_id, parent_id, path, name, is_dir, uid, gid, mtime, size, hash,"
         " mac_size, mac_hash, deleted, sync_id, remote) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12,"
         " ?13, ?14, ?15, ?16)");
  if (!q.Ok()) return -1;
  q.Bind(1, n.m_node_id).Bind(2, n.m_view_id).Bind(3, n.m_parent_id).Bind(4, n.m_path).Bind(5, n.m_name);
  q.Bind(6, uint64_t{n.m_is_dir}).Bind(7, uint64_t{n.m_uid}).Bind(8, uint64_t{n.m_gid}).Bind(9, uint64_t{n.m_mtime});
  q.Bind(10, n.m_size).Bind(11, n.m_hash).Bind(12, n.m_mac_size).Bind(13, n.m_mac_hash);
  q.Bind(14, uint64_t{n.m_deleted}).Bind(15, n.m_sync_id).Bind(16, uint64_t{n.m_remote});
  return q.Step() == SQLITE_DONE ? 0 : -1;
}

int RefStore::AppendChange(const RefNode& n) {
  Stmt q(m_db,
         "INSERT INTO changes (sync_id, view_id, node_id, parent_id, path, flags, size, hash)"
         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  if (!q.Ok()) return -1;
  uint64_t flags = (n.m_is_dir ? REF_FLAG_DIR : 0) | (n.m_deleted ? REF_FLAG_DELETED : 0);
  q.Bind(1, n.m_sync_id).Bind(2, n.m_view_id).Bind(3, n.m_node_id).Bind(4, n.m_parent_id).Bind(5, n.m_path);
  q.Bind(6, flags).Bind(7, n.m_size).Bind(8, n.m_hash);
  return q.Step() == SQLITE_DONE ? 0 : -1;
}

int RefStore::HasRemoteNewerBelow(uint64_t view_id, const std::string& path, uint64_t base, bool* newer) {
  // Byte order: every "<path>/..." lies between "<path>/" and "<path>0".
  std::string low = path == "/" ? "/" : path + "/";
  std::string high = path == "/" ? "0" : path + "0";
  Stmt q(m_db,
         "SELECT EXISTS (SELECT 1 FROM nodes WHERE view_id = ?1 AND path > ?2 AND path < ?3 AND deleted = 0"
         " AND sync_id > ?4 AND remote <> 0)");
  if (!q.Ok()) return -1;
  q.Bind(1, view_id).Bind(2, low).Bind(3, high).Bind(4, base);
  if (q.Step() != SQLITE_ROW) return -1;
  *newer = q.U64(0) != 0;
  return 0;
}

int RefStore::ListBelow(uint64_t view_id, const std::string& path, bool recursive, bool live_only,
                        std::vector<RefNode>* out) {
  std::string low = path == "/" ? "/" : path + "/";
  std::string high = path == "/" ? "0" : path + "0";
  std::string sql = std::string("SELECT ") + NODE_COLUMNS +
                    " FROM nodes WHERE view_id = ?1 AND path > ?2 AND path < ?3" + (live_only ? " AND deleted = 0" : "") +
                    " ORDER BY path";
  Stmt q(m_db, sql.c_str());
  if (!q.Ok()) return -1;
  q.Bind(1, view_id).Bind(2, low).Bind(3, high);
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    RefNode n;
    ReadNodeRow(q, &n);
    if (!recursive && n.m_path.find('/', low.size()) != std::string::npos) continue;
    out->push_back(std::move(n));
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

uint32_t RefStore::Upload(const RefUpload& upload, RefNode* out) {
  if (!IsValidViewPath(upload.m_path)) return REF_REFUSED_PATH;
  if (upload.m_view_id == 0) return REF_INVALID_VIEW;
  if (!upload.m_is_dir && upload.m_path == "/") return REF_REFUSED_PATH;
  // One transaction from the first look to the last write: no other writer
  // comes in between, and the database is locked once per upload.
  Txn txn(this);
  if (!txn.Ok()) return REF_SERVER_ERROR;
  RefUpload accepted = upload;
  if (!upload.m_is_dir) {
    // A conflict known before the copy saves the copy.
    if (!upload.m_force) {
      RefNode current;
      int found = ReadNode(upload.m_view_id, upload.m_path, &current);
      if (found < 0) return REF_SERVER_ERROR;
      uint64_t expected = (found == 1 && !current.m_deleted) ? current.m_sync_id : 0;
      if (upload.m_base_sync_id != expected) return REF_CONFLICT;
    }
    if (!IsHexDigest(Lower(upload.m_hash))) {
      TLOG_ERROR("upload of '%s': hash '%s' is no MD4", upload.m_path.c_str(), upload.m_hash.c_str());
      return REF_SERVER_ERROR;
    }
    uint32_t code = ImportContent(upload.m_data_path, upload.m_hash, static_cast<int64_t>(upload.m_size),
                                  upload.m_adopt_data, &accepted.m_hash, &accepted.m_size,
                                  upload.m_check_after_answer);
    if (code != REF_OK) return code;
  } else {
    accepted.m_size = 0;
    accepted.m_hash.clear();
  }
  if (!upload.m_mac_data_path.empty()) {
    uint32_t code = ImportContent(upload.m_mac_data_path, upload.m_mac_hash, static_cast<int64_t>(upload.m_mac_size),
                                  upload.m_adopt_data, &accepted.m_mac_hash, &accepted.m_mac_size,
                                  upload.m_check_after_answer);
    if (code != REF_OK) return code;
  } else {
    accepted.m_mac_size = 0;
    accepted.m_mac_hash.clear();
  }
  uint32_t code = UploadLocked(accepted, out);
  if (code != REF_OK) return code;
  return txn.Commit() == 0 ? REF_OK : REF_SERVER_ERROR;
}

uint32_t RefStore::UploadLocked(const RefUpload& up, RefNode* out) {
  bool created = false;
  int ensured = EnsureView(up.m_view_id, "", &created);
  if (ensured == -2) return REF_INVALID_VIEW;
  if (ensured != 0) return REF_SERVER_ERROR;

  RefNode current;
  int found = ReadNode(up.m_view_id, up.m_path, &current);
  if (found < 0) return REF_SERVER_ERROR;
  bool live = found == 1 && !current.m_deleted;
  if (live && up.m_is_dir && current.m_is_dir) {
    *out = current;  // the folder is there already: nothing changes
    return REF_OK;
  }
  if (!up.m_force && up.m_base_sync_id != (live ? current.m_sync_id : 0)) return REF_CONFLICT;
  if (live && current.m_is_dir && !up.m_is_dir) {
    // A file may take the place of an empty folder only.
    std::vector<RefNode> children;
    if (ListBelow(up.m_view_id, up.m_path, false, true, &children) != 0) return REF_SERVER_ERROR;
    if (!children.empty()) return REF_CONFLICT;
  }

  // Parents, top down; a file on the way is a conflict, missing or deleted
  // folders are (re)created as changes of their own.
  uint64_t parent_id = up.m_view_id;
  std::vector<std::string> prefixes;
  for (size_t pos = up.m_path.find('/', 1); pos != std::string::npos; pos = up.m_path.find('/', pos + 1))
    prefixes.push_back(up.m_path.substr(0, pos));
  for (const std::string& prefix : prefixes) {
    RefNode dir;
    int got = ReadNode(up.m_view_id, prefix, &dir);
    if (got < 0) return REF_SERVER_ERROR;
    if (got == 1 && !dir.m_deleted) {
      if (!dir.m_is_dir) return REF_CONFLICT;
      parent_id = dir.m_node_id;
      continue;
    }
    if (got == 0 && NextCounter("next_id", &dir.m_node_id) != 0) return REF_SERVER_ERROR;
    dir.m_view_id = up.m_view_id;
    dir.m_parent_id = parent_id;
    dir.m_path = prefix;
    dir.m_name = NameOf(prefix);
    dir.m_is_dir = true;
    dir.m_uid = up.m_uid;
    dir.m_gid = up.m_gid;
    dir.m_mtime = up.m_mtime;
    dir.m_size = 0;
    dir.m_hash.clear();
    dir.m_mac_size = 0;
    dir.m_mac_hash.clear();
    dir.m_deleted = false;
    dir.m_remote = up.m_remote;
    if (NextCounter("sync_id", &dir.m_sync_id) != 0 || WriteNode(dir) != 0 || AppendChange(dir) != 0)
      return REF_SERVER_ERROR;
    parent_id = dir.m_node_id;
  }

  RefNode node = current;
  if (found == 0 && NextCounter("next_id", &node.m_node_id) != 0) return REF_SERVER_ERROR;
  node.m_view_id = up.m_view_id;
  node.m_parent_id = parent_id;
  node.m_path = up.m_path;
  node.m_name = NameOf(up.m_path);
  node.m_is_dir = up.m_is_dir;
  node.m_uid = up.m_uid;
  node.m_gid = up.m_gid;
  node.m_mtime = up.m_mtime;
  node.m_size = up.m_size;
  node.m_hash = up.m_hash;
  node.m_mac_size = up.m_mac_size;
  node.m_mac_hash = up.m_mac_hash;
  node.m_deleted = false;
  node.m_remote = up.m_remote;
  if (NextCounter("sync_id", &node.m_sync_id) != 0 || WriteNode(node) != 0 || AppendChange(node) != 0)
    return REF_SERVER_ERROR;
  *out = node;
  return REF_OK;
}

uint32_t RefStore::Download(uint64_t view_id, const std::string& path, uint64_t base_sync_id, RefNode* out) {
  if (!IsValidViewPath(path)) return REF_REFUSED_PATH;
  RefNode node;
  int found = ReadNode(view_id, path, &node);
  if (found < 0) return REF_SERVER_ERROR;
  if (found == 0 || node.m_deleted) return REF_NO_ENTRY;
  if (base_sync_id == node.m_sync_id) return REF_NOT_MODIFIED;
  *out = node;
  return REF_OK;
}

uint32_t RefStore::Remove(uint64_t view_id, const std::string& path, uint64_t base_sync_id, bool force,
                          size_t* removed, bool remote) {
  if (!IsValidViewPath(path) || path == "/") return REF_REFUSED_PATH;
  Txn txn(this);
  if (!txn.Ok()) return REF_SERVER_ERROR;
  uint32_t code = RemoveLocked(view_id, path, base_sync_id, force, remote, removed);
  if (code != REF_OK) return code;
  return txn.Commit() == 0 ? REF_OK : REF_SERVER_ERROR;
}

uint32_t RefStore::RemoveLocked(uint64_t view_id, const std::string& path, uint64_t base, bool force, bool remote,
                                size_t* removed) {
  RefNode node;
  int found = ReadNode(view_id, path, &node);
  if (found < 0) return REF_SERVER_ERROR;
  if (found == 0 || node.m_deleted) return REF_NO_ENTRY;
  if (!force) {
    if (node.m_sync_id > base) return REF_MODIFIED;
    // Below the node only what a remote client made after the base counts:
    // the daemon's own later uploads are known to it (it uploads a folder
    // before its contents, so those are always newer than the folder's
    // record), and something deleted meanwhile agrees with the removal.
    bool newer = false;
    if (node.m_is_dir && HasRemoteNewerBelow(view_id, path, base, &newer) != 0) return REF_SERVER_ERROR;
    if (newer) return REF_MODIFIED;
  }
  std::vector<RefNode> doomed{node};
  if (node.m_is_dir && ListBelow(view_id, path, true, true, &doomed) != 0) return REF_SERVER_ERROR;
  for (RefNode& n : doomed) {
    n.m_deleted = true;
    n.m_remote = remote;
    if (NextCounter("sync_id", &n.m_sync_id) != 0 || WriteNode(n) != 0 || AppendChange(n) != 0)
      return REF_SERVER_ERROR;
  }
  if (removed) *removed = doomed.size();
  return REF_OK;
}

int RefStore::PullChanges(uint64_t view_id, uint64_t since, uint32_t limit, std::vector<RefChange>* out) {
  const char* sql = view_id == 0
                        ? "SELECT sync_id, view_id, node_id, parent_id, path, flags, size, hash FROM changes"
                          " WHERE sync_id > ?1 ORDER BY sync_id LIMIT ?2"
                        : "SELECT sync_id, view_id, node_id, parent_id, path, flags, size, hash FROM changes"
                          " WHERE sync_id > ?1 AND view_id = ?3 ORDER BY sync_id LIMIT ?2";
  Stmt q(m_db, sql);
  if (!q.Ok()) return -1;
  // Sync ids are stored as SQLite integers (signed): clamp so that a huge
  // position from a client reads as "nothing newer" rather than wrapping.
  q.Bind(1, since > static_cast<uint64_t>(INT64_MAX) ? static_cast<uint64_t>(INT64_MAX) : since);
  q.Bind(2, uint64_t{limit});
  if (view_id != 0) q.Bind(3, view_id);
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) {
    RefChange c;
    c.m_sync_id = q.U64(0);
    c.m_view_id = q.U64(1);
    c.m_node_id = q.U64(2);
    c.m_parent_id = q.U64(3);
    c.m_path = q.Text(4);
    c.m_flags = static_cast<uint32_t>(q.U64(5));
    c.m_size = q.U64(6);
    c.m_hash = q.Text(7);
    out->push_back(std::move(c));
  }
  return rc == SQLITE_DONE ? 0 : -1;
}

int RefStore::AddView(uint64_t view_id, const std::string& watch_path, uint64_t* out_id) {
  Txn txn(this);
  if (!txn.Ok()) return -1;
  if (view_id == 0) {
    bool in_use = true;
    while (in_use) {
      if (NextCounter("next_id", &view_id) != 0 || IdInUse(view_id, &in_use) != 0) return -1;
    }
  }
  bool created = false;
  if (EnsureView(view_id, watch_path, &created) != 0) return -1;
  if (txn.Commit() != 0) return -1;
  *out_id = view_id;
  return 0;
}

int RefStore::GetView(uint64_t view_id, RefView* out) {
  Stmt q(m_db, "SELECT view_id, watch_path FROM views WHERE view_id = ?1");
  if (!q.Ok()) return -1;
  q.Bind(1, view_id);
  int rc = q.Step();
  if (rc == SQLITE_DONE) return 0;
  if (rc != SQLITE_ROW) return -1;
  out->m_view_id = q.U64(0);
  out->m_watch_path = q.Text(1);
  return 1;
}

int RefStore::ListViews(std::vector<RefView>* out) {
  Stmt q(m_db, "SELECT view_id, watch_path FROM views ORDER BY view_id");
  if (!q.Ok()) return -1;
  int rc;
  while ((rc = q.Step()) == SQLITE_ROW) out->push_back(RefView{q.U64(0), q.Text(1)});
  return rc == SQLITE_DONE ? 0 : -1;
}

int RefStore::ListNodes(uint64_t view_id, const std::string& dir_path, bool recursive, std::vector<RefNode>* out) {
  if (!IsValidViewPath(dir_path)) return -1;
  return ListBelow(view_id, dir_path, recursive, true, out);
}

int RefStore::CurrentSyncId(uint64_t* out) {
  Stmt q(m_db,
         "SELECT MAX((SELECT value FROM counters WHERE name = 'sync_id'), IFNULL((SELECT MAX(sync_id) FROM changes), 0))");
  if (!q.Ok() || q.Step() != SQLITE_ROW) return -1;
  *out = q.U64(0);
  return 0;
}

}  // namespace tide
