// The events that failed, kept so that a person can ask why a file is not
// synchronised: per path, what was tried, why it failed, how often, and
// since when. A small SQLite file of the daemon's own beside the local
// database; the specified tables never hold any of it.
//
// A record appears when an attempt at an event fails (the handler asked
// for a retry, or finished after logging an error) and goes when an event
// of the same path finishes cleanly, including one that proved needless or
// was overtaken by a newer change. Records survive restarts.
//
// Thread use: every worker records and clears; m_mutex guards the
// connection and the set of paths with a record, which lets the clearing
// that follows every finished event cost no SQL when nothing failed.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/mutex.h"
#include "core/read_only_db.h"

namespace tide {

// The file beside the local database at `db_path`.
std::string FailureDbPath(const std::string& db_path);

struct FailedItem {
  uint64_t m_view_id = 0;
  std::string m_path;  // below the view, starting with "/"
  int32_t m_event_type = 0;
  std::string m_reason;  // the message the failed attempt logged
  uint64_t m_attempts = 0;
  int64_t m_first_time = 0;  // seconds since the epoch
  int64_t m_last_time = 0;

  bool operator==(const FailedItem&) const = default;
};

class FailureStore {
 public:
  FailureStore() = default;
  ~FailureStore();
  FailureStore(const FailureStore&) = delete;
  FailureStore& operator=(const FailureStore&) = delete;

  // Opens (creating when needed) the store at `path`. 0 or -1, logged.
  int Open(const std::string& path);
  void Close();

  // One more failed attempt at the path's event, at `now`: the first one
  // starts the record; later ones count up and replace type and reason.
  int RecordFailure(uint64_t view_id, const std::string& path, int32_t event_type, const std::string& reason,
                    int64_t now);
  // Forgets the path's record; 1 when there was one, 0 when not, -1.
  int Clear(uint64_t view_id, const std::string& path);
  // Forgets the records at `directory` and below it ("/" for the view).
  int ClearBelow(uint64_t view_id, const std::string& directory);
  // 1 with the record, 0 when the path has none, -1.
  int Get(uint64_t view_id, const std::string& path, FailedItem* item);
  // Every record, newest failure first. The count or -1.
  int List(std::vector<FailedItem>* items);

 private:
  int ExecLocked(const char* sql, uint64_t view_id, const std::string& text) REQUIRES(m_mutex);

  Mutex m_mutex;
  sqlite3* m_db GUARDED_BY(m_mutex) = nullptr;
  std::set<std::pair<uint64_t, std::string>> m_present GUARDED_BY(m_mutex);
};

// The records as another process (the control program) reads them, newest
// failure first; `view_id` 0 for every view. The count or -1 (db.Error()).
int ReadFailedItems(ReadOnlyDb& db, uint64_t view_id, std::vector<FailedItem>* items);

}  // namespace tide
