#include "db/client_db_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "db/native_client_db.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

NodeRecord Row(uint64_t node_id, uint64_t parent_id, uint64_t sync_id, const std::string& path, uint32_t attribute) {
  NodeRecord record;
  record.m_node_id = node_id;
  record.m_parent_id = parent_id;
  record.m_view_id = 7;
  record.m_attribute = attribute;
  record.m_sync_id = sync_id;
  record.m_size = node_id * 100;
  record.m_path = path;
  record.m_name = path.substr(path.rfind('/') + 1);
  return record;
}

// What the daemon writes, another process reads back through the reader.
TEST(ClientDbReader, ReadsWhatTheDaemonWrote) {
  test::TempDir dir;
  std::string path = dir / "db.sqlite";
  NativeClientDb& db = NativeClientDb::Instance();
  ASSERT_EQ(0, db.Initialize(path));
  ASSERT_EQ(0, db.InsertViewRoot(1, 7));
  ASSERT_EQ(0, db.UpsertNode(Row(2, 1, 40, "/docs", NODE_ATTRIBUTE_DIR)));
  ASSERT_EQ(0, db.UpsertNode(Row(3, 2, 50, "/docs/a.txt", 0)));
  ASSERT_EQ(0, db.UpsertNode(Row(4, 2, 0, "/docs/never-synced.txt", 0)));
  ASSERT_EQ(0, db.UpsertNode(Row(5, 1, 30, "/b.txt", 0)));
  ASSERT_EQ(0, db.SetGlobalSyncId(55));
  ASSERT_EQ(0, db.SetViewProgress(9, 12));

  ClientDbReader reader;
  ASSERT_EQ(0, reader.Open(path)) << reader.Error();
  uint64_t sync_id = 0;
  EXPECT_EQ(1, reader.GetGlobalSyncId(&sync_id));
  EXPECT_EQ(55u, sync_id);
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  EXPECT_EQ(1, reader.GetAllViewProgress(&progress));
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{9, 12}}), progress);

  // Newest first; the view root and rows without a sync id are no transfers.
  std::vector<NodeRecord> rows;
  EXPECT_EQ(2, reader.GetLastTransfers(2, &rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ("/docs/a.txt", rows[0].m_path);
  EXPECT_EQ(300u, rows[0].m_size);
  EXPECT_EQ(0u, rows[0].m_attribute & NODE_ATTRIBUTE_DIR);
  EXPECT_EQ("/docs", rows[1].m_path);
  EXPECT_NE(0u, rows[1].m_attribute & NODE_ATTRIBUTE_DIR);
  rows.clear();
  EXPECT_EQ(3, reader.GetLastTransfers(10, &rows));
  db.Close();
}

TEST(ClientDbReader, AMissingDatabaseIsReportedAndNotCreated) {
  test::TempDir dir;
  std::string path = dir / "absent.sqlite";
  ClientDbReader reader;
  EXPECT_EQ(-1, reader.Open(path));
  EXPECT_NE(std::string::npos, reader.Error().find("No such file")) << reader.Error();
  EXPECT_NE(0, access(path.c_str(), F_OK));

  // A file that is no database opens (SQLite reads lazily) but every query
  // fails with a reason instead of a result.
  std::string junk = dir.WriteFile("junk.sqlite", std::string(4096, 'x'));
  ASSERT_EQ(0, reader.Open(junk));
  uint64_t sync_id = 0;
  EXPECT_EQ(-1, reader.GetGlobalSyncId(&sync_id));
  EXPECT_FALSE(reader.Error().empty());
}

}  // namespace
}  // namespace tide
