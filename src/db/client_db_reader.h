// The local state database as another process (the control program) reads
// it: opened read-only, never created, and queried beside the schema that
// NativeClientDb keeps, so that readers need not know the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/read_only_db.h"
#include "db/node_record.h"

namespace tide {

class ClientDbReader {
 public:
  // 0, or -1 when the file is missing or not readable (Error() says why).
  int Open(const std::string& path) { return m_db.Open(path); }
  // 1 found, 0 when the row is missing, -1 on error.
  int GetGlobalSyncId(uint64_t* sync_id);
  // (view id, sync id) of every view still catching up; the count or -1.
  int GetAllViewProgress(std::vector<std::pair<uint64_t, uint64_t>>* progress);
  // The `limit` rows a transfer wrote last, newest first: every completed
  // upload and download leaves its row with the sync id of its change, so
  // the highest sync ids below the view roots are the latest. Filled:
  // node id, parent id, view id, attribute, sync id, size, path. The count
  // or -1.
  int GetLastTransfers(size_t limit, std::vector<NodeRecord>* rows);
  // 1 with the row of exactly `path` (not one differing only by case),
  // 0 when there is none, -1 on error.
  int GetNodeByPath(uint64_t view_id, const std::string& path, NodeRecord* row);
  // (view id, name) of every row whose name may be a conflict copy's (the
  // caller tells which are); the count or -1.
  int GetConflictNameCandidates(std::vector<std::pair<uint64_t, std::string>>* names);
  const std::string& Error() const { return m_db.Error(); }

 private:
  ReadOnlyDb m_db;
};

}  // namespace tide
