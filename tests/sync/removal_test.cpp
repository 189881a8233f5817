#include "sync/removal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fs/conflict_rename.h"
#include "sync/removal_decision.h"
#include "view_fixture.h"

namespace tide {
namespace {

using test::Describe;
using test::VIEW;

class RemovalTest : public test::ViewFixture {
 protected:
  void SetUp() override {
    ViewFixture::SetUp();
    SetConflictClockForTest(1765039260);  // names made from a fixed time
    m_suffix = "_ADMIN_" + ConflictTime(1765039260) + "_Conflict";
  }
  void TearDown() override {
    SetConflictClockForTest(0);
    ViewFixture::TearDown();
  }
  std::string m_suffix;

  // An upload another worker records while a handler runs (see
  // SetSubtreeCompareHookForTest).
  static inline RemovalTest* s_racing = nullptr;
  static void RecordRacingUpload() { s_racing->AddRow("/d/copy", false, 1000, 18, 7); }
};

TEST(RemovalDecision, Table) {
  NodeRecord none;
  NodeRecord file;
  file.m_node_id = 5;
  file.m_mtime = 100;
  file.m_size = 10;
  NodeRecord dir;
  dir.m_node_id = 6;
  dir.m_attribute = NODE_ATTRIBUTE_DIR;
  auto local = [](int32_t type, int32_t mtime = 100, uint64_t size = 10) {
    FileInfo info;
    info.m_exists = true;
    info.m_type = type;
    info.m_mtime = mtime;
    info.m_size = size;
    return info;
  };
  struct Case {
    const char* m_name;
    NodeRecord m_record;
    FileInfo m_local;
    RemovalDecision m_expected;
  } cases[] = {
      {"no record, directory", none, local(FILE_TYPE_DIRECTORY), REMOVAL_DELETE},
      {"no record, file", none, local(FILE_TYPE_REGULAR), REMOVAL_KEEP},
      {"no record, link", none, local(FILE_TYPE_SYMLINK), REMOVAL_KEEP},
      {"file unchanged", file, local(FILE_TYPE_REGULAR), REMOVAL_DELETE},
      {"file with another mtime", file, local(FILE_TYPE_REGULAR, 101), REMOVAL_KEEP},
      {"file with another size", file, local(FILE_TYPE_REGULAR, 100, 11), REMOVAL_KEEP},
      {"file became a directory", file, local(FILE_TYPE_DIRECTORY), REMOVAL_KEEP},
      {"file became a link", file, local(FILE_TYPE_SYMLINK), REMOVAL_KEEP},
      {"directory", dir, local(FILE_TYPE_DIRECTORY), REMOVAL_DELETE},
      {"directory became a file", dir, local(FILE_TYPE_REGULAR), REMOVAL_KEEP},
  };
  for (const Case& c : cases) EXPECT_EQ(c.m_expected, DecideRemoval(c.m_record, c.m_local, "/x")) << c.m_name;
}

TEST_F(RemovalTest, RemoveLocalDeletesOnlyWhatIsUnchanged) {
  AddSyncedFile("/same.txt", "abc");
  AddSyncedFile("/edited.txt", "abc");
  WriteLocal("/edited.txt", "abcdef");

  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/same.txt"), Engine()));
  EXPECT_FALSE(ExistsLocal("/same.txt"));
  EXPECT_FALSE(HasRow("/same.txt"));

  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/edited.txt"), Engine()));
  EXPECT_FALSE(ExistsLocal("/edited.txt"));
  EXPECT_EQ("abcdef", test::TempDir::ReadFile(Local("/edited" + m_suffix + ".txt")));
  EXPECT_FALSE(HasRow("/edited.txt"));
}

TEST_F(RemovalTest, RemoveLocalOfAVanishedPathStillDropsTheRow) {
  AddRow("/gone.txt", false);
  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/gone.txt"), Engine()));
  EXPECT_FALSE(HasRow("/gone.txt"));
}

TEST_F(RemovalTest, RemoveLocalOfADirectory) {
  AddSyncedDir("/tree");
  AddSyncedDir("/tree/sub");
  AddSyncedFile("/tree/sub/a", "1");
  AddSyncedFile("/tree/b", "22");
  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/tree", EVENT_FLAG_DIR), Engine()));
  EXPECT_FALSE(ExistsLocal("/tree"));
  EXPECT_FALSE(HasRow("/tree"));
  EXPECT_FALSE(HasRow("/tree/sub/a"));  // the subtree's rows go with it
}

// A directory goes whole, so a file edited (or created) inside it since
// the last synchronisation keeps the directory, under a conflict name.
TEST_F(RemovalTest, RemoveLocalKeepsADirectoryWithLocalWorkInside) {
  struct Case {
    const char* m_name;
    const char* m_written;  // the local work
  } cases[] = {
      {"edited file", "/tree/sub/a"},
      {"new file", "/tree/new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    AddSyncedDir("/tree");
    AddSyncedDir("/tree/sub");
    AddSyncedFile("/tree/sub/a", "1");
    WriteLocal(c.m_written, "local work");
    EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/tree", EVENT_FLAG_DIR), Engine()));
    EXPECT_FALSE(ExistsLocal("/tree"));
    EXPECT_TRUE(ExistsLocal("/tree" + m_suffix + "/sub/a"));
    EXPECT_FALSE(HasRow("/tree"));
    ASSERT_EQ(0, system(("rm -rf '" + Local("/tree" + m_suffix) + "'").c_str()));
  }
}

// A server removal that arrives after the server made the path anew (a
// retried or replayed batch) must not delete the newer version: a file
// newer than the removal stays; a directory stays with what is newer below
// it, and only its rows no newer than the removal become removals of their
// own.
TEST_F(RemovalTest, RemoveLocalLeavesWhatTheServerMadeAfterTheRemoval) {
  WriteLocal("/again.txt", "made anew", 1000);
  AddRow("/again.txt", false, 1000, 9, 7);
  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/again.txt", 0, 5), Engine()));
  EXPECT_TRUE(ExistsLocal("/again.txt"));
  EXPECT_TRUE(HasRow("/again.txt"));

  ASSERT_EQ(0, mkdir(Local("/d").c_str(), 0777));
  AddRow("/d", true, 1000, 0, 3);
  WriteLocal("/d/old", "o", 1000);
  AddRow("/d/old", false, 1000, 1, 2);
  WriteLocal("/d/newer", "n", 1000);
  AddRow("/d/newer", false, 1000, 1, 7);
  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR, 5), Engine()));
  EXPECT_TRUE(ExistsLocal("/d/newer"));
  EXPECT_TRUE(HasRow("/d"));
  EXPECT_EQ((std::vector<std::string>{"REMOVE_LOCAL /d/old 0"}), Describe(Drain()));
}

// The same when the newer row lands only while the directory is being
// compared with the database: another worker's upload of a file below it
// (a conflict copy, say) finishing after the removal was looked at. The
// file matches its row by then, so only its sync id tells it must stay.
TEST_F(RemovalTest, RemoveLocalLeavesAnUploadRecordedWhileItCompares) {
  ASSERT_EQ(0, mkdir(Local("/d").c_str(), 0777));
  AddRow("/d", true, 1000, 0, 3);
  WriteLocal("/d/old", "o", 1000);
  AddRow("/d/old", false, 1000, 1, 2);
  WriteLocal("/d/copy", "uploaded meanwhile", 1000);
  s_racing = this;
  SetSubtreeCompareHookForTest(&RemovalTest::RecordRacingUpload);
  int removed = RemoveLocalItem(Item(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR, 5), Engine());
  SetSubtreeCompareHookForTest(nullptr);
  EXPECT_EQ(0, removed);
  EXPECT_TRUE(ExistsLocal("/d/copy"));
  EXPECT_TRUE(HasRow("/d/copy"));
  EXPECT_TRUE(HasRow("/d"));
  EXPECT_EQ((std::vector<std::string>{"REMOVE_LOCAL /d/old 0"}), Describe(Drain()));
}

TEST_F(RemovalTest, RemoveLocalNeverLeavesTheView) {
  std::string outside = m_dir.WriteFile("outside/victim", "keep me");
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), Local("/link").c_str()));
  AddRow("/link", true);
  AddRow("/link/victim", false, 0, 7);
  // Through a link planted in the view, and by climbing out of it.
  for (const char* path : {"/link/victim", "/../outside/victim", "/link/../../outside/victim"}) {
    EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, path), Engine())) << path;
    EXPECT_EQ("keep me", test::TempDir::ReadFile(outside)) << path;
  }
  // The link itself is replaced by nothing it points to: it is kept as a
  // conflict (a link is not the directory the database knew).
  EXPECT_EQ(0, RemoveLocalItem(Item(REMOVE_LOCAL, "/link", EVENT_FLAG_DIR), Engine()));
  EXPECT_EQ("keep me", test::TempDir::ReadFile(outside));
}

TEST_F(RemovalTest, RemoveRemoteFakeEventsNeverReachTheServer) {
  AddSyncedFile("/back.txt", "x");  // deleted, then made again
  WriteLocal("/unknown.txt", "x");
  int exchanges = 0;
  auto server = [&](NRemoveRequest*, NRemoveResponse*) { return ++exchanges, 0; };
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/back.txt"), Engine(), server));
  ASSERT_EQ(0, unlink(Local("/unknown.txt").c_str()));
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/unknown.txt"), Engine(), server));  // no record
  EXPECT_EQ(0, exchanges);
  EXPECT_TRUE(HasRow("/back.txt"));
}

// What stands at the path now decides: a folder made again is compared with
// its records (the removals below it were folded into this one), a link or
// special file in the old file's place is never synchronised, so the server
// copy still goes.
TEST_F(RemovalTest, RemoveRemoteOfAPathTakenAgain) {
  int exchanges = 0;
  auto server = [&](NRemoveRequest*, NRemoveResponse* response) {
    response->m_error_code = 0;
    return ++exchanges, 0;
  };
  AddRow("/d", true);
  AddRow("/d/gone.txt", false);
  ASSERT_EQ(0, mkdir(Local("/d").c_str(), 0777));
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/d", EVENT_FLAG_DIR), Engine(), server));
  EXPECT_EQ(0, exchanges);
  EXPECT_EQ(std::vector<std::string>{"RESCAN_SYNC /d 1"}, Describe(Drain()));

  AddSyncedFile("/f", "x");
  ASSERT_EQ(0, unlink(Local("/f").c_str()));
  ASSERT_EQ(0, symlink("../elsewhere", Local("/f").c_str()));
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/f"), Engine(), server));
  EXPECT_EQ(1, exchanges);
  EXPECT_FALSE(HasRow("/f"));
}

TEST_F(RemovalTest, RemoveRemoteResponseCodes) {
  struct Case {
    const char* m_name;
    bool m_dir;
    int m_exchange;  // result of the exchange
    uint32_t m_code;
    int m_result;
    bool m_row_kept;
    std::vector<std::string> m_pushed;
  } cases[] = {
      {"done", false, 0, 0, 0, false, {}},
      {"already gone on the server", true, 0, 6, 0, false, {}},
      {"modified file: the server's version will come down", false, 0, 8, 0, false, {}},
      {"modified directory: rescanned instead", true, 0, 8, 0, true, {"RESCAN_SYNC /d 1"}},
      {"server failure", false, 0, 1, -1, true, {}},
      {"unknown code", false, 0, 3, -1, true, {}},
      {"exchange failed", false, -1, 0, -1, true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    NodeRecord record = AddRow("/d", c.m_dir, 1000, 0, 42);
    NRemoveRequest sent;
    auto server = [&](NRemoveRequest* request, NRemoveResponse* response) {
      sent = *request;
      response->m_error_code = c.m_code;
      return c.m_exchange;
    };
    EXPECT_EQ(c.m_result, RemoveRemoteItem(Item(REMOVE_REMOTE, "/d", c.m_dir ? EVENT_FLAG_DIR : 0), Engine(), server));
    EXPECT_EQ(42u, sent.m_sync_id);
    EXPECT_EQ("/d", sent.m_path);
    EXPECT_EQ(VIEW, sent.m_view_id);
    EXPECT_EQ(3, sent.m_worker_num);
    EXPECT_EQ(c.m_row_kept, HasRow("/d"));
    EXPECT_EQ(c.m_pushed, Describe(Drain()));
    Db().DeleteNodeById(record.m_node_id);
  }
}

// The server refuses a directory's removal when something below it changed
// after the offered version; the local side has seen everything its rows
// record, so that is what it offers.
TEST_F(RemovalTest, DirectoryRemovalOffersTheNewestVersionBelowIt) {
  AddRow("/top", true, 1000, 0, 3);
  AddRow("/top/sub", true, 1000, 0, 5);
  AddRow("/top/sub/x", false, 1000, 1, 9);
  AddRow("/topper", false, 1000, 1, 20);  // a sibling whose name starts alike
  AddRow("/plain", false, 1000, 1, 4);
  std::vector<uint64_t> offered;
  auto server = [&](NRemoveRequest* request, NRemoveResponse*) { return offered.push_back(request->m_sync_id), 0; };
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/top", EVENT_FLAG_DIR), Engine(), server));
  EXPECT_EQ(0, RemoveRemoteItem(Item(REMOVE_REMOTE, "/plain"), Engine(), server));
  EXPECT_EQ((std::vector<uint64_t>{9, 4}), offered);
}

TEST_F(RemovalTest, ExpandLocalDeleteRemovesWhatTheDiskNoLongerHolds) {
  AddSyncedDir("/d");
  AddSyncedFile("/d/kept", "k");
  AddRow("/d/gone", false);
  AddRow("/d/gonedir", true);
  AddRow("/d/gonedir/deep", false);  // goes with its directory
  // Removed with the rest, then made again by a download beneath it: what
  // it lost is deeper than this one level.
  AddSyncedDir("/d/again");
  AddRow("/d/again/lost", false);
  EXPECT_EQ(
      0, ExpandLocalDeleteItem(Item(REMOVE_REMOTE, "/d", EVENT_FLAG_DIR | EVENT_FLAG_LOCAL_SUBDIR_RESCAN), Engine()));
  EXPECT_EQ((std::vector<std::string>{"RESCAN_SYNC /d/again 1", "REMOVE_REMOTE /d/gone 0", "REMOVE_REMOTE /d/gonedir 1"}),
            Describe(Drain()));

  // A vanished directory: every child it had.
  ASSERT_EQ(0, system(("rm -rf '" + Local("/d") + "'").c_str()));
  EXPECT_EQ(0, ExpandLocalDeleteItem(Item(REMOVE_REMOTE, "/d", EVENT_FLAG_DIR), Engine()));
  EXPECT_EQ(4u, Drain().size());

  // At the view root the pushed paths are not doubled up ("//x").
  AddRow("/top", false);
  EXPECT_EQ(0, ExpandLocalDeleteItem(Item(REMOVE_REMOTE, "/", EVENT_FLAG_DIR), Engine()));
  std::vector<std::string> pushed = Describe(Drain());
  EXPECT_NE(std::find(pushed.begin(), pushed.end(), "REMOVE_REMOTE /top 0"), pushed.end());
}

TEST_F(RemovalTest, ExpandServerDeleteTakesChildrenUpToItsSyncId) {
  AddRow("/d", true, 1000, 0, 5);
  AddRow("/d/old", false, 1000, 1, 4);
  AddRow("/d/olddir", true, 1000, 0, 5);
  AddRow("/d/newer", false, 1000, 1, 6);  // changed after the deletion
  EXPECT_EQ(0, ExpandServerDeleteItem(Item(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR, 5), Engine()));
  std::vector<Event> pushed = Drain();
  EXPECT_EQ((std::vector<std::string>{"REMOVE_LOCAL /d/old 0", "REMOVE_LOCAL /d/olddir 1"}), Describe(pushed));
  for (const Event& event : pushed) EXPECT_EQ(5u, event.m_sync_id);
}

TEST_F(RemovalTest, DirSelfEvent) {
  ASSERT_EQ(0, mkdir(Local("/here").c_str(), 0777));
  struct Case {
    const char* m_name;
    int32_t m_type;
    const char* m_path;
    uint32_t m_flags;
    std::string m_expected;
    uint64_t m_sync_id;
  } cases[] = {
      {"plain expansion: the event again", REMOVE_LOCAL, "/gone", EVENT_FLAG_DIR | EVENT_FLAG_SERVER_SUBDIR_RESCAN,
       "REMOVE_LOCAL /gone 1", 9},
      // The server's removal of the directory itself, after its children:
      // an upload would be a fake event of a directory still recorded. It
      // waits for whatever is still pending below it.
      {"server removal with changes below, directory present: its removal again", REMOVE_LOCAL, "/here",
       EVENT_FLAG_DIR | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT,
       "REMOVE_LOCAL /here " + std::to_string(EVENT_FLAG_DIR | EVENT_FLAG_AFTER_SUBTREE), 9},
      {"local removal with changes below, directory present: upload", REMOVE_REMOTE, "/here",
       EVENT_FLAG_DIR | EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT, "UPLOAD_LOCAL /here 1", 0},
      {"pending changes, directory gone: forced download", REMOVE_REMOTE, "/gone",
       EVENT_FLAG_DIR | EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT, "DOWNLOAD_REMOTE /gone 1", 0x7FFFFFFFFFFFFFFFULL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    Event self;
    EXPECT_EQ(1, CreateDirSelfEventItem(Item(c.m_type, c.m_path, c.m_flags, 9), &self));
    EXPECT_EQ(c.m_expected, Describe(self));
    EXPECT_EQ(c.m_sync_id, self.m_sync_id);
  }

  // Left empty by the removals of its children, the directory the server
  // removed goes from the disk and the database too.
  AddRow("/here", true, 1000, 0, 5);
  Event self;
  ASSERT_EQ(1, CreateDirSelfEventItem(
                   Item(REMOVE_LOCAL, "/here", EVENT_FLAG_DIR | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT, 9), &self));
  WorkItem item = Item(self.m_type, self.m_path, self.m_flags, self.m_sync_id);
  ASSERT_EQ(0, RemoveLocalItem(item, Engine()));
  EXPECT_FALSE(ExistsLocal("/here"));
  EXPECT_FALSE(HasRow("/here"));
}

}  // namespace
}  // namespace tide
