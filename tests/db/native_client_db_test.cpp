#include "db/native_client_db.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include "support/private_mount.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class NativeClientDbTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, Db().Initialize(DbPath())); }
  void TearDown() override { Db().Close(); }
  static NativeClientDb& Db() { return NativeClientDb::Instance(); }
  std::string DbPath() const { return m_dir / "vol/@tidewell/@clientd/db.sqlite"; }

  // Reads the file through a separate connection, as another process would.
  std::map<std::string, std::string> ConfigRows() {
    std::map<std::string, std::string> rows;
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "SELECT key, value FROM config_table;", -1, &st, nullptr));
    while (sqlite3_step(st) == SQLITE_ROW) {
      rows[reinterpret_cast<const char*>(sqlite3_column_text(st, 0))] =
          reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
  }

  // Whether another connection, as another process would, finds a row with
  // this path; and the global sync id it reads in the same transaction.
  bool RowOnDisk(const std::string& path, std::string* sync_id = nullptr) {
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(DbPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_prepare_v2(db,
                                            "SELECT (SELECT COUNT(*) FROM node_table WHERE path = ?1),"
                                            " (SELECT value FROM config_table WHERE key = 'sync_id');",
                                            -1, &st, nullptr));
    sqlite3_bind_text(st, 1, path.c_str(), -1, SQLITE_TRANSIENT);
    bool found = false;
    if (sqlite3_step(st) == SQLITE_ROW) {
      found = sqlite3_column_int(st, 0) > 0;
      if (sync_id) *sync_id = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return found;
  }
  // Node rows another connection finds in the file at `db_path`.
  static int RowCount(const std::string& db_path) {
    sqlite3* db = nullptr;
    int count = -1;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM node_table WHERE path LIKE '/full/%';", -1, &st, nullptr) ==
              SQLITE_OK &&
          sqlite3_step(st) == SQLITE_ROW) {
        count = sqlite3_column_int(st, 0);
      }
      sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return count;
  }
  bool EventuallyOnDisk(const std::string& path) {
    for (int i = 0; i < 1000; ++i) {
      if (RowOnDisk(path)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  static NodeRecord Node(uint64_t node_id, uint64_t parent_id, const std::string& path, uint32_t attribute = 0) {
    NodeRecord record;
    record.m_node_id = node_id;
    record.m_parent_id = parent_id;
    record.m_view_id = 3;
    record.m_attribute = attribute;
    record.m_sync_id = node_id * 10;
    record.m_mtime = 0xFFFFFFF0u;  // above the signed 32-bit range
    record.m_size = 1ull << 40;
    record.m_hash = "h'" + std::to_string(node_id);  // quote must survive the formatting
    record.m_mode = 0644;
    record.m_mac_hash = "m" + std::to_string(node_id);
    record.m_path = path;
    record.m_name = path.substr(path.rfind('/') + 1);
    return record;
  }

  test::TempDir m_dir;
};

TEST_F(NativeClientDbTest, FreshDatabaseSchemaAndPragmas) {
  EXPECT_EQ((std::map<std::string, std::string>{{"node_id", "0"}, {"row1", "0"}, {"sync_id", "0"}, {"version", "7"}}),
            ConfigRows());
  EXPECT_TRUE(Db().IsOpen());
  EXPECT_EQ(DbPath(), Db().Path());
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &db));
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "PRAGMA journal_mode;", -1, &st, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(st));
  EXPECT_STREQ("wal", reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_close(db);
}

TEST_F(NativeClientDbTest, SecondInitializeKeepsFirstConnection) {
  ASSERT_EQ(0, Db().SetGlobalSyncId(5));
  EXPECT_EQ(0, Db().Initialize(m_dir / "other.sqlite"));
  EXPECT_EQ(DbPath(), Db().Path());
  EXPECT_EQ("5", ConfigRows()["sync_id"]);
}

TEST_F(NativeClientDbTest, StateSurvivesReopening) {
  ASSERT_EQ(0, Db().SetGlobalSyncId(123456789012ull));
  ASSERT_EQ(0, Db().InsertViewRoot(1, 3));
  ASSERT_EQ(0, Db().UpsertNode(Node(2, 1, "/a.txt")));
  ASSERT_EQ(0, Db().SetViewProgress(9, 77));
  Db().Close();
  EXPECT_FALSE(Db().IsOpen());
  EXPECT_EQ(-1, Db().SetGlobalSyncId(1));  // closed: fails, no crash
  ASSERT_EQ(0, Db().Initialize(DbPath()));
  uint64_t sync_id = 0;
  ASSERT_EQ(0, Db().GetGlobalSyncId(&sync_id));
  EXPECT_EQ(123456789012ull, sync_id);
  NodeRecord record;
  ASSERT_EQ(1, Db().GetNodeByPath(3, "/a.txt", &record));
  EXPECT_EQ(Node(2, 1, "/a.txt"), record);
  ASSERT_EQ(1, Db().GetViewProgress(9, &sync_id));
  EXPECT_EQ(77u, sync_id);
  // Schema rows are left alone by a second start.
  EXPECT_EQ("7", ConfigRows()["version"]);
  EXPECT_EQ("123456789012", ConfigRows()["sync_id"]);
}

TEST_F(NativeClientDbTest, InitializeFailures) {
  Db().Close();
  test::TempDir other;
  other.WriteFile("file", "x");
  EXPECT_EQ(-1, Db().Initialize(other / "file/db.sqlite"));  // parent is a file
  EXPECT_FALSE(Db().IsOpen());
  other.WriteFile("garbage.sqlite", std::string(8192, 'g'));
  EXPECT_EQ(-1, Db().Initialize(other / "garbage.sqlite"));  // not a database
  EXPECT_FALSE(Db().IsOpen());
  ASSERT_EQ(0, Db().Initialize(DbPath()));
}

TEST_F(NativeClientDbTest, NodeLookupsAndUpsert) {
  NodeRecord record;
  EXPECT_EQ(0, Db().GetNodeById(42, &record));
  EXPECT_EQ(0, Db().GetNodeByPath(3, "/nothing", &record));
  ASSERT_EQ(0, Db().InsertViewRoot(1, 3));
  ASSERT_EQ(0, Db().InsertViewRoot(1, 3));  // ignored the second time
  ASSERT_EQ(1, Db().GetNodeById(1, &record));
  EXPECT_EQ("/", record.m_path);
  EXPECT_EQ(NODE_ATTRIBUTE_DIR, record.m_attribute);
  EXPECT_EQ(0u, record.m_parent_id);
  EXPECT_TRUE(record.m_hash.empty() && record.m_mac_hash.empty());  // column defaults

  NodeRecord first = Node(2, 1, "/a.txt");
  ASSERT_EQ(0, Db().UpsertNode(first));
  NodeRecord second = Node(2, 1, "/b.txt");
  second.m_size = 9;
  second.m_hash = "";
  ASSERT_EQ(0, Db().UpsertNode(second));
  EXPECT_EQ(0, Db().GetNodeByPath(3, "/a.txt", &record));
  ASSERT_EQ(1, Db().GetNodeById(2, &record));
  EXPECT_EQ(second, record);
  EXPECT_EQ(0, Db().GetNodeByPath(4, "/b.txt", &record));  // other view
}

// Paths are stored without regard to case (old databases rely on it), but
// the disk holds "B.txt" and "b.txt" side by side: an operation on one name
// never reads or deletes the other's row.
TEST_F(NativeClientDbTest, PathLookupsKeepNamesThatDifferOnlyByCaseApart) {
  ASSERT_EQ(0, Db().UpsertNode(Node(2, 1, "/B.txt")));
  NodeRecord record;
  EXPECT_EQ(0, Db().GetNodeByPath(3, "/b.txt", &record));
  ASSERT_EQ(1, Db().GetNodeByOtherCase(3, "/b.txt", &record));
  EXPECT_EQ("/B.txt", record.m_path);
  EXPECT_EQ(0, Db().GetNodeByOtherCase(3, "/B.txt", &record));  // only itself
  EXPECT_EQ(0, Db().GetNodeByOtherCase(4, "/b.txt", &record));  // other view
  bool other_case = false;
  EXPECT_EQ(0, Db().GetNodeByPathNotingCase(3, "/b.txt", &record, &other_case));
  EXPECT_TRUE(other_case);
  ASSERT_EQ(1, Db().GetNodeByPathNotingCase(3, "/B.txt", &record, &other_case));
  EXPECT_EQ(2u, record.m_node_id);
  EXPECT_FALSE(other_case);

  ASSERT_EQ(0, Db().UpsertNode(Node(5, 1, "/b.txt")));
  ASSERT_EQ(1, Db().GetNodeByPath(3, "/b.txt", &record));
  EXPECT_EQ(5u, record.m_node_id);
  ASSERT_EQ(1, Db().GetNodeByPathNotingCase(3, "/b.txt", &record, &other_case));
  EXPECT_EQ(5u, record.m_node_id);
  EXPECT_TRUE(other_case);
  ASSERT_EQ(1, Db().GetNodeByPath(3, "/B.txt", &record));
  EXPECT_EQ(2u, record.m_node_id);
  ASSERT_EQ(0, Db().DeleteNodeByPath(3, "/b.txt"));
  EXPECT_EQ(0, Db().GetNodeById(5, nullptr));
  EXPECT_EQ(1, Db().GetNodeById(2, nullptr));
}

TEST_F(NativeClientDbTest, NullTextReadsAsEmpty) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "INSERT INTO node_table (node_id, view_id, hash, mac_hash, name, path) "
                                      "VALUES (8, 3, NULL, NULL, NULL, '/n');",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  NodeRecord record;
  record.m_hash = record.m_name = "stale";
  ASSERT_EQ(1, Db().GetNodeById(8, &record));
  EXPECT_EQ("", record.m_hash);
  EXPECT_EQ("", record.m_mac_hash);
  EXPECT_EQ("", record.m_name);
  EXPECT_EQ(0u, record.m_parent_id);
}

TEST_F(NativeClientDbTest, DeletingADirectoryDeletesItsSubtree) {
  ASSERT_EQ(0, Db().InsertViewRoot(1, 3));
  ASSERT_EQ(0, Db().UpsertNode(Node(2, 1, "/d", NODE_ATTRIBUTE_DIR)));
  ASSERT_EQ(0, Db().UpsertNode(Node(3, 2, "/d/e", NODE_ATTRIBUTE_DIR)));
  ASSERT_EQ(0, Db().UpsertNode(Node(4, 3, "/d/e/f")));
  ASSERT_EQ(0, Db().UpsertNode(Node(5, 1, "/g")));
  ASSERT_EQ(0, Db().DeleteNodeById(2));
  for (uint64_t gone : {2, 3, 4}) EXPECT_EQ(0, Db().GetNodeById(gone, nullptr)) << gone;
  EXPECT_EQ(1, Db().GetNodeById(5, nullptr));
  ASSERT_EQ(0, Db().DeleteNodeByPath(3, "/g"));
  EXPECT_EQ(0, Db().GetNodeById(5, nullptr));
  EXPECT_EQ(1, Db().GetNodeById(1, nullptr));
  ASSERT_EQ(0, Db().DeleteViewNodes(3));
  EXPECT_EQ(0, Db().GetNodeById(1, nullptr));
  EXPECT_EQ(0, Db().DeleteNodeById(99));  // nothing to delete is no error
}

TEST_F(NativeClientDbTest, ViewProgress) {
  uint64_t sync_id = 0;
  EXPECT_EQ(0, Db().GetViewProgress(5, &sync_id));
  ASSERT_EQ(0, Db().SetGlobalSyncId(40));
  ASSERT_EQ(0, Db().AddViewProgress(5));
  ASSERT_EQ(1, Db().GetViewProgress(5, &sync_id));
  EXPECT_EQ(40u, sync_id);  // a new view starts at the global position
  ASSERT_EQ(0, Db().SetGlobalSyncId(50));
  ASSERT_EQ(0, Db().AddViewProgress(5));  // kept
  ASSERT_EQ(1, Db().GetViewProgress(5, &sync_id));
  EXPECT_EQ(40u, sync_id);
  ASSERT_EQ(0, Db().UpdateViewProgress(5, 45));
  ASSERT_EQ(0, Db().UpdateViewProgress(6, 45));  // no row: nothing happens
  EXPECT_EQ(0, Db().GetViewProgress(6, &sync_id));
  ASSERT_EQ(0, Db().SetViewProgress(6, 46));
  std::vector<std::pair<uint64_t, uint64_t>> all;
  ASSERT_EQ(2, Db().GetAllViewProgress(&all));
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint64_t>>{{5, 45}, {6, 46}}), all);
  ASSERT_EQ(0, Db().DeleteViewProgress(5));
  EXPECT_EQ(0, Db().GetViewProgress(5, &sync_id));
}

TEST_F(NativeClientDbTest, MissingGlobalSyncIdFails) {
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db, "DELETE FROM config_table WHERE key = 'sync_id';", nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  uint64_t sync_id = 0;
  EXPECT_EQ(-1, Db().GetGlobalSyncId(&sync_id));
}

TEST_F(NativeClientDbTest, FailedScriptDoesNotWedgeTheConnection) {
  // A failure between BEGIN and END must not leave a transaction open for
  // every later statement to trip over.
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &db));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                      "CREATE TRIGGER refuse BEFORE UPDATE ON config_table BEGIN "
                                      "SELECT RAISE(ABORT, 'refused'); END;",
                                      nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  EXPECT_EQ(-1, Db().SetGlobalSyncId(7));
  EXPECT_EQ(0, Db().InsertViewRoot(1, 3));
  EXPECT_EQ(1, Db().GetNodeById(1, nullptr));
}

TEST_F(NativeClientDbTest, ConcurrentWritersAndReaders) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) {
        uint64_t id = 1000 * (t + 1) + i;
        EXPECT_EQ(0, Db().UpsertNode(Node(id, 0, "/t" + std::to_string(t) + "/" + std::to_string(i))));
        EXPECT_EQ(1, Db().GetNodeById(id, nullptr));
        uint64_t sync_id = 0;
        EXPECT_EQ(0, Db().GetGlobalSyncId(&sync_id));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(1, Db().GetNodeById(1000 * (t + 1) + 99, nullptr));
}

TEST_F(NativeClientDbTest, DelayedCommitsKeepEveryWriteAndTheirOrder) {
  Db().SetCommitDelay(std::chrono::milliseconds(20));
  // Seen at once by this connection, and on the disk soon after.
  ASSERT_EQ(0, Db().UpsertNode(Node(11, 0, "/a")));
  EXPECT_EQ(1, Db().GetNodeByPath(3, "/a", nullptr));
  EXPECT_TRUE(EventuallyOnDisk("/a"));

  // A removal after the row: the file never ends up holding it.
  ASSERT_EQ(0, Db().UpsertNode(Node(12, 0, "/b")));
  ASSERT_EQ(0, Db().DeleteNodeByPath(3, "/b"));
  // A sync id written after a row is never on the disk without it.
  ASSERT_EQ(0, Db().UpsertNode(Node(13, 0, "/c")));
  ASSERT_EQ(0, Db().SetGlobalSyncId(77));
  std::string sync_id;
  EXPECT_TRUE(RowOnDisk("/c", &sync_id));
  EXPECT_EQ("77", sync_id);
  EXPECT_FALSE(RowOnDisk("/b"));

  // Rows of several threads, each read back at once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) {
        uint64_t id = 1000 * (t + 1) + i;
        EXPECT_EQ(0, Db().UpsertNode(Node(id, 0, "/t" + std::to_string(t) + "/" + std::to_string(i))));
        EXPECT_EQ(1, Db().GetNodeById(id, nullptr));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(EventuallyOnDisk("/t" + std::to_string(t) + "/49"));

  // Closing commits what still waits, however long it could have waited.
  Db().SetCommitDelay(std::chrono::hours(1));
  ASSERT_EQ(0, Db().UpsertNode(Node(14, 0, "/d")));
  Db().Close();
  EXPECT_TRUE(RowOnDisk("/d"));
}

TEST_F(NativeClientDbTest, RowsWhoseCommitFailedAreWrittenOnceThereIsRoom) {
  std::string mount_point = m_dir / "small";
  ASSERT_EQ(0, mkdir(mount_point.c_str(), 0755));
  int status = test::RunWithSmallTmpfs(mount_point, "2m", [&] {
    NativeClientDb db;
    std::string path = mount_point + "/db.sqlite";
    if (db.Initialize(path) != 0) return 1;
    db.SetCommitDelay(std::chrono::milliseconds(5));
    // Nothing left for the log to grow into.
    std::string filler = mount_point + "/filler";
    int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
    std::string block(4096, 'f');
    while (write(fd, block.data(), block.size()) > 0) {
    }
    close(fd);
    for (uint64_t id = 1; id <= 20; ++id) {
      if (db.UpsertNode(Node(id, 0, "/full/" + std::to_string(id))) != 0) return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (RowCount(path) != 0) return 3;  // the commit cannot have gone through
    unlink(filler.c_str());
    for (int i = 0; i < 1000 && RowCount(path) != 20; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (RowCount(path) != 20) return 4;
    db.Close();
    return 0;
  });
  if (status == test::MOUNT_NOT_PERMITTED) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(0, status);
}

}  // namespace
}  // namespace tide
