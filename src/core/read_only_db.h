// A SQLite file opened read-only by a process that does not own it (the
// control program reading the daemon's databases): never creates the file,
// never writes, and waits briefly for the owner's statements. Failures are
// returned with their reason in Error(), for the caller to show.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tide {

class ReadOnlyDb {
 public:
  using RowVisitor = std::function<void(sqlite3_stmt* row)>;
  // A value bound to the statement's next "?": a number or a text (bound
  // as it is, so paths with any bytes are looked up exactly).
  using Param = std::variant<int64_t, std::string_view>;

  ReadOnlyDb() = default;
  ~ReadOnlyDb();
  ReadOnlyDb(const ReadOnlyDb&) = delete;
  ReadOnlyDb& operator=(const ReadOnlyDb&) = delete;

  // 0, or -1 when the file is missing or cannot be opened.
  int Open(const std::string& path);
  void Close();
  // Runs `sql`, handing every result row to `visitor`; the count of rows,
  // or -1 (rows met before the failure have been visited).
  int Query(const char* sql, const RowVisitor& visitor) { return Query(sql, {}, visitor); }
  int Query(const char* sql, const std::vector<Param>& params, const RowVisitor& visitor);
  const std::string& Error() const { return m_error; }

  static std::string Text(sqlite3_stmt* row, int column);
  static uint64_t Number(sqlite3_stmt* row, int column);

 private:
  sqlite3* m_db = nullptr;  // owned by the one thread that uses the object
  std::string m_error;
};

}  // namespace tide
