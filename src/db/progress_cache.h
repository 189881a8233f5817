// The views still catching up with the server on their own sync ids, kept in
// memory beside progress_table. One process-wide instance; every operation
// takes m_mutex.
#pragma once

#include <cstdint>
#include <map>
#include "core/mutex.h"

namespace tide {

class ProgressCache {
 public:
  // The daemon's cache, for start-up; the parts that use it are handed it.
  static ProgressCache& Instance();

  ProgressCache() = default;
  ProgressCache(const ProgressCache&) = delete;
  ProgressCache& operator=(const ProgressCache&) = delete;

  // Inserts or overwrites the view's entry, next sync id 0.
  void Add(uint64_t view_id, uint64_t sync_id);
  void Remove(uint64_t view_id);
  bool Contains(uint64_t view_id);
  // 0 when the view has no entry.
  uint64_t GetSyncId(uint64_t view_id);
  // These two change an existing entry only.
  void SetSyncId(uint64_t view_id, uint64_t sync_id);
  void SetNextSyncId(uint64_t view_id, uint64_t next_sync_id);
  // The entry after `view_id` in ascending view id order, wrapping to the
  // first when `view_id` is the last or has no entry; false when empty.
  bool Next(uint64_t view_id, uint64_t* next_view_id, uint64_t* sync_id, uint64_t* next_sync_id);
  size_t Size();
  void Clear();

 private:
  struct Progress {
    uint64_t m_sync_id = 0;
    uint64_t m_next_sync_id = 0;
  };

  Mutex m_mutex;
  std::map<uint64_t, Progress> m_views GUARDED_BY(m_mutex);
};

}  // namespace tide
