#include "core/read_only_db.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace tide {

namespace {

// The daemon holds its database lock only for single statements.
constexpr int BUSY_TIMEOUT_MS = 2000;

}  // namespace

ReadOnlyDb::~ReadOnlyDb() { Close(); }

int ReadOnlyDb::Open(const std::string& path) {
  Close();
  // SQLite would report a missing file only as "unable to open"; errno
  // says why.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    m_error = path + ": " + strerror(errno);
    return -1;
  }
  if (sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    m_error = path + ": " + (m_db ? sqlite3_errmsg(m_db) : "cannot open");
    Close();
    return -1;
  }
  sqlite3_busy_timeout(m_db, BUSY_TIMEOUT_MS);
  return 0;
}

void ReadOnlyDb::Close() {
  if (m_db != nullptr) sqlite3_close(m_db);
  m_db = nullptr;
}

int ReadOnlyDb::Query(const char* sql, const std::vector<Param>& params, const RowVisitor& visitor) {
  if (m_db == nullptr) {
    m_error = "not open";
    return -1;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    m_error = sqlite3_errmsg(m_db);
    return -1;
  }
  for (size_t i = 0; i < params.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    if (const int64_t* number = std::get_if<int64_t>(&params[i])) {
      sqlite3_bind_int64(statement, index, *number);
    } else {
      std::string_view text = std::get<std::string_view>(params[i]);
      sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
  }
  int rows = 0;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    visitor(statement);
    ++rows;
  }
  if (result != SQLITE_DONE) {
    m_error = sqlite3_errmsg(m_db);
    rows = -1;
  }
  sqlite3_finalize(statement);
  return rows;
}

std::string ReadOnlyDb::Text(sqlite3_stmt* row, int column) {
  const unsigned char* text = sqlite3_column_text(row, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

uint64_t ReadOnlyDb::Number(sqlite3_stmt* row, int column) {
  return static_cast<uint64_t>(sqlite3_column_int64(row, column));
}

}  // namespace tide
