#include "db/client_db_reader.h"

namespace tide {

int ClientDbReader::GetGlobalSyncId(uint64_t* sync_id) {
  int rows = m_db.Query("SELECT value FROM config_table WHERE key = 'sync_id';",
                        [&](sqlite3_stmt* row) { *sync_id = ReadOnlyDb::Number(row, 0); });
  return rows < 0 ? -1 : (rows > 0 ? 1 : 0);
}

int ClientDbReader::GetAllViewProgress(std::vector<std::pair<uint64_t, uint64_t>>* progress) {
  return m_db.Query("SELECT view_id, sync_id FROM progress_table;", [&](sqlite3_stmt* row) {
    progress->emplace_back(ReadOnlyDb::Number(row, 0), ReadOnlyDb::Number(row, 1));
  });
}

int ClientDbReader::GetLastTransfers(size_t limit, std::vector<NodeRecord>* rows) {
  std::string sql =
      "SELECT node_id, parent_id, view_id, attribute, sync_id, size, path FROM node_table "
      "WHERE parent_id <> 0 AND sync_id > 0 ORDER BY sync_id DESC LIMIT " + std::to_string(limit) + ";";
  return m_db.Query(sql.c_str(), [&](sqlite3_stmt* row) {
    NodeRecord record;
    record.m_node_id = ReadOnlyDb::Number(row, 0);
    record.m_parent_id = ReadOnlyDb::Number(row, 1);
    record.m_view_id = ReadOnlyDb::Number(row, 2);
    record.m_attribute = static_cast<uint32_t>(ReadOnlyDb::Number(row, 3));
    record.m_sync_id = ReadOnlyDb::Number(row, 4);
    record.m_size = ReadOnlyDb::Number(row, 5);
    record.m_path = ReadOnlyDb::Text(row, 6);
    rows->push_back(std::move(record));
  });
}

int ClientDbReader::GetNodeByPath(uint64_t view_id, const std::string& path, NodeRecord* record) {
  // The path column compares without case; the row asked for is the one
  // of exactly this name.
  int found = 0;
  int rows = m_db.Query(
      "SELECT node_id, parent_id, view_id, attribute, sync_id, mtime, size, mode, hash, name, path FROM node_table "
      "WHERE view_id = ?1 AND path = ?2 AND path = ?2 COLLATE BINARY;",
      {static_cast<int64_t>(view_id), std::string_view(path)}, [&](sqlite3_stmt* row) {
        record->m_node_id = ReadOnlyDb::Number(row, 0);
        record->m_parent_id = ReadOnlyDb::Number(row, 1);
        record->m_view_id = ReadOnlyDb::Number(row, 2);
        record->m_attribute = static_cast<uint32_t>(ReadOnlyDb::Number(row, 3));
        record->m_sync_id = ReadOnlyDb::Number(row, 4);
        record->m_mtime = static_cast<uint32_t>(ReadOnlyDb::Number(row, 5));
        record->m_size = ReadOnlyDb::Number(row, 6);
        record->m_mode = static_cast<uint32_t>(ReadOnlyDb::Number(row, 7));
        record->m_hash = ReadOnlyDb::Text(row, 8);
        record->m_name = ReadOnlyDb::Text(row, 9);
        record->m_path = ReadOnlyDb::Text(row, 10);
        found = 1;
      });
  return rows < 0 ? -1 : found;
}

int ClientDbReader::GetConflictNameCandidates(std::vector<std::pair<uint64_t, std::string>>* names) {
  return m_db.Query("SELECT view_id, name FROM node_table WHERE parent_id <> 0 AND name LIKE '%Conflict%';",
                    [&](sqlite3_stmt* row) { names->emplace_back(ReadOnlyDb::Number(row, 0), ReadOnlyDb::Text(row, 1)); });
}

}  // namespace tide
