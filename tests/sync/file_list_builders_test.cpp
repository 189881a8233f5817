#include <gtest/gtest.h>

#include <vector>

#include "db/native_client_db.h"
#include "event/file_list.h"
#include "sync/file_list_builders.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class FileListQueriesTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Db().Initialize(m_dir / "db.sqlite"));
    ASSERT_EQ(0, Db().InsertViewRoot(1, 3));
    uint64_t id = 2;
    struct Row {
      const char* m_path;
      bool m_dir;
      uint64_t m_sync_id;
    } rows[] = {
        {"/a", true, 1},        {"/a/x", false, 2},       {"/a/sub", true, 3},    {"/a/sub/y", false, 4},
        {"/b.txt", false, 5},   {"/a_b", true, 6},        {"/aXb", true, 7},      {"/aXb/z", false, 8},
        {"/a_b/w", false, 9},   {"/k[1]", true, 10},      {"/k[1]/in", false, 11}, {"/k1", true, 12},
        {"/k1/out", false, 13}, {"/A/upper", false, 14},
    };
    for (const Row& row : rows) {
      NodeRecord record;
      record.m_node_id = id++;
      record.m_view_id = 3;
      record.m_path = row.m_path;
      record.m_name = record.m_path.substr(record.m_path.rfind('/') + 1);
      record.m_attribute = row.m_dir ? NODE_ATTRIBUTE_DIR : 0;
      record.m_sync_id = row.m_sync_id;
      record.m_mtime = 100 + static_cast<uint32_t>(row.m_sync_id);
      record.m_size = row.m_dir ? 0 : 1000 + row.m_sync_id;
      ASSERT_EQ(0, Db().UpsertNode(record));
    }
    NodeRecord other;
    other.m_node_id = 99;
    other.m_view_id = 4;
    other.m_path = "/a/other-view";
    ASSERT_EQ(0, Db().UpsertNode(other));
  }
  void TearDown() override { Db().Close(); }
  NativeClientDb& Db() { return m_db; }
  static std::vector<std::string> Walk(const FileList& list) {
    std::vector<std::string> out;
    for (const FileListEntry& entry : list) {
      out.push_back((entry.m_kind == FILE_LIST_DIR ? "D" : "F") + entry.m_path + ":" + std::to_string(entry.m_mtime));
    }
    return out;
  }
  test::TempDir m_dir;
  NativeClientDb m_db;
};

TEST_F(FileListQueriesTest, WholeSubtree) {
  FileList below_a;
  BuildFileList(m_db, 3, "/a", &below_a);
  EXPECT_EQ((std::vector<std::string>{"F/x:102", "F/sub/y:104", "D/sub:103", "D:0"}), Walk(below_a));
  FileList root;
  BuildFileList(m_db, 3, "/", &root);
  // 14 rows, the root, and "A" made for /A/upper: the list itself is byte-wise.
  EXPECT_EQ(16u, std::vector<FileListEntry>(root.begin(), root.end()).size());
  // Glob characters in a folder name match only themselves.
  FileList bracket;
  BuildFileList(m_db, 3, "/k[1]", &bracket);
  EXPECT_EQ((std::vector<std::string>{"F/in:111", "D:0"}), Walk(bracket));
}

TEST_F(FileListQueriesTest, OneLevel) {
  FileList root;
  BuildFileListOneLevel(m_db, 3, "/", &root);
  EXPECT_EQ((std::vector<std::string>{"D/k[1]:110", "D/k1:112", "F/b.txt:105", "D/a_b:106", "D/aXb:107", "D/a:101",
                                      "D:0"}),
            Walk(root));
  // LIKE wildcards in a folder name must not pull in its look-alikes.
  FileList underscore;
  BuildFileListOneLevel(m_db, 3, "/a_b", &underscore);
  EXPECT_EQ((std::vector<std::string>{"F/w:109", "D:0"}), Walk(underscore));
  // Paths compare without case: /A/upper lies in /a.
  FileList a;
  BuildFileListOneLevel(m_db, 3, "/a", &a);
  EXPECT_EQ((std::vector<std::string>{"F/x:102", "F/upper:114", "D/sub:103", "D:0"}), Walk(a));
}

TEST_F(FileListQueriesTest, OneLevelUpToSyncId) {
  FileList root;
  BuildFileListOneLevelUpTo(m_db, 3, "/", 5, &root);
  EXPECT_EQ((std::vector<std::string>{"F/b.txt:105", "D/a:101", "D:0"}), Walk(root));
  FileList a;
  BuildFileListOneLevelUpTo(m_db, 3, "/a/", 2, &a);
  EXPECT_EQ((std::vector<std::string>{"F/x:102", "D:0"}), Walk(a));
}

TEST_F(FileListQueriesTest, ClosedDatabaseLeavesListEmpty) {
  Db().Close();
  FileList list;
  BuildFileList(m_db, 3, "/", &list);
  EXPECT_EQ((std::vector<std::string>{"D:0"}), Walk(list));
}

}  // namespace
}  // namespace tide
