#include <sys/stat.h>

#include <cstdio>

#include "sync/transfer_fixture.h"

namespace tide::test {
namespace {

constexpr uint64_t FORCED = 0x7FFFFFFFFFFFFFFFULL;

class DownloadRemoteTest : public TransferTest {
 protected:
  struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, stat(path.c_str(), &st)) << path;
    return st;
  }
};

TEST_F(DownloadRemoteTest, FilesAndFoldersArrivePlacedTimedAndRecorded) {
  StartReferenceServer();
  RefNode dir = ServerPut("/docs", nullptr);
  RefNode file = ServerPut("/docs/a.txt", "from the server");

  // The file first: its folder is made on the way.
  ASSERT_EQ(0, Run(Download("/docs/a.txt", file.m_sync_id)));
  EXPECT_EQ("from the server", Read(Local("/docs/a.txt")));
  EXPECT_EQ(1600000000, Stat(Local("/docs/a.txt")).st_mtime);
  NodeRecord record = Record("/docs/a.txt");
  EXPECT_EQ(file.m_node_id, record.m_node_id);
  EXPECT_EQ(dir.m_node_id, record.m_parent_id);
  EXPECT_EQ(file.m_sync_id, record.m_sync_id);
  EXPECT_EQ(file.m_hash, record.m_hash);
  EXPECT_EQ(15u, record.m_size);
  EXPECT_EQ(1600000000u, record.m_mtime);
  EXPECT_EQ(0u, record.m_attribute);
  EXPECT_EQ("a.txt", record.m_name);
  EXPECT_TRUE(Logged("downloading '" + Local("/docs/a.txt") + "' done"));

  ASSERT_EQ(0, Run(Download("/docs", dir.m_sync_id, EVENT_FLAG_DIR)));
  EXPECT_EQ(NODE_ATTRIBUTE_DIR, Record("/docs").m_attribute);
  EXPECT_EQ(dir.m_node_id, Record("/docs").m_node_id);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(DownloadRemoteTest, FakeAndForcedEvents) {
  StartReferenceServer();
  RefNode file = ServerPut("/a.txt", "content");
  ASSERT_EQ(0, Run(Download("/a.txt", file.m_sync_id)));

  // Not newer than the record: nothing to ask.
  size_t mark = LogText().size();
  ASSERT_EQ(0, Run(Download("/a.txt", file.m_sync_id)));
  EXPECT_NE(std::string::npos, LogText().find("DownloadRemote: ignore fake event of", mark));
  EXPECT_EQ(std::string::npos, LogText().find("download response", mark));

  // Flag 0x8 asks anyway; the server says the record is current.
  mark = LogText().size();
  ASSERT_EQ(0, Run(Download("/a.txt", file.m_sync_id, EVENT_FLAG_RESERVED8)));
  EXPECT_NE(std::string::npos, LogText().find("download fake event: '" + Local("/a.txt") + "'", mark));

  // Forced, and the file on the disk is the recorded one.
  mark = LogText().size();
  ASSERT_EQ(0, Run(Download("/a.txt", FORCED)));
  EXPECT_NE(std::string::npos, LogText().find("Force download but file already exist", mark));

  // Forced over a file that is gone: fetched again with base 0.
  unlink(Local("/a.txt").c_str());
  ASSERT_EQ(0, Run(Download("/a.txt", FORCED)));
  EXPECT_EQ("content", Read(Local("/a.txt")));
}

// A local write that lands while the server's version is being put in
// place meets the download in progress and is merged into it; when the
// merged event comes back the version is already recorded, and the write
// must still reach the server instead of ending as a fake download.
TEST_F(DownloadRemoteTest, ALocalChangeMergedIntoARunningDownloadIsUploaded) {
  StartReferenceServer();
  RefNode v1 = ServerPut("/a.txt", "from the server");
  m_engine.m_events.PushEvent(Download("/a.txt", v1.m_sync_id));
  WorkerNative worker(0, 0, m_engine.Context());
  ASSERT_EQ(0, worker.FetchEvent());
  ASSERT_EQ(0, worker.PrepareEvent());
  ASSERT_EQ(HandlerOutcome::DONE, worker.Dispatch());
  Write(Local("/a.txt"), "written as it arrived");
  m_engine.m_events.PushEvent(Upload("/a.txt"));
  ASSERT_NE(0, worker.FinishEvent());  // the merged change comes back
  ASSERT_EQ(0, worker.FetchEvent());
  ASSERT_EQ(0, worker.PrepareEvent());
  ASSERT_EQ(HandlerOutcome::DONE, worker.Dispatch());
  EXPECT_EQ(0, worker.FinishEvent());

  NodeRecord record = Record("/a.txt");
  EXPECT_GT(record.m_sync_id, v1.m_sync_id);
  EXPECT_EQ(FileMD4(Local("/a.txt")), record.m_hash);
  EXPECT_EQ("written as it arrived", Read(Local("/a.txt")));

  // Merged with no change left on the disk, it stays a fake download.
  size_t mark = LogText().size();
  ASSERT_EQ(0, Run(Download("/a.txt", record.m_sync_id, EVENT_FLAG_CONFLICT)));
  EXPECT_NE(std::string::npos, LogText().find("DownloadRemote: ignore fake event of", mark));
  EXPECT_EQ(record.m_sync_id, Record("/a.txt").m_sync_id);
}

// Conflicts on the way down: a local edit is kept under a conflict name; a
// local edit that already equals the incoming version is simply replaced; a
// file where a folder arrives steps aside.
TEST_F(DownloadRemoteTest, LocalChangesAreKeptAsConflictCopies) {
  StartReferenceServer();
  RefNode v1 = ServerPut("/notes.txt", "version one");
  ASSERT_EQ(0, Run(Download("/notes.txt", v1.m_sync_id)));

  Write(Local("/notes.txt"), "my local edit");
  RefNode v2 = ServerPut("/notes.txt", "version two");
  ASSERT_EQ(0, Run(Download("/notes.txt", v2.m_sync_id)));
  EXPECT_EQ("version two", Read(Local("/notes.txt")));
  EXPECT_EQ("my local edit", Read(Local("/notes_ADMIN_Dec-06-1641-2026_Conflict.txt")));
  EXPECT_EQ(v2.m_sync_id, Record("/notes.txt").m_sync_id);

  Write(Local("/notes.txt"), "version three");  // same edit made on both sides
  RefNode v3 = ServerPut("/notes.txt", "version three");
  ASSERT_EQ(0, Run(Download("/notes.txt", v3.m_sync_id)));
  EXPECT_EQ("version three", Read(Local("/notes.txt")));
  EXPECT_FALSE(Exists(Local("/notes_ADMIN_Dec-06-1641-2026_Conflict_1.txt")));

  Write(Local("/thing"), "a file");
  RefNode folder = ServerPut("/thing", nullptr);
  ASSERT_EQ(0, Run(Download("/thing", folder.m_sync_id, EVENT_FLAG_DIR)));
  EXPECT_TRUE(fs::is_directory(Local("/thing")));
  EXPECT_EQ("a file", Read(Local("/thing_ADMIN_Dec-06-1641-2026_Conflict")));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// A program that saves a file under the name while the server's version is
// being prepared (after the download looked at the path) made local work
// the server never saw: the new version takes the path, the saved file is
// kept under a conflict name instead of being replaced unseen.
TEST_F(DownloadRemoteTest, AFileMadeAtThePathWhileItIsPreparedIsKept) {
  StartReferenceServer();
  RefNode file = ServerPut("/new/a.txt", "from the server");
  // The download makes the folder "/new" and tells the indexing service,
  // whose socket takes no more connections until the program below has
  // saved: the worker waits there, between its look at the path and the
  // move of the new version into place.
  std::string socket_path = m_dir / "index.sock";
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(listener, 0));
  int filler = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(0, connect(filler, reinterpret_cast<struct sockaddr*>(&address), sizeof address));
  m_engine.Context().m_index.m_enabled = true;
  m_engine.Context().m_index.m_socket_path = socket_path;
  std::atomic<bool> done{false};
  std::thread program([&] {
    for (int i = 0; i < 6000 && !Exists(Local("/new")); ++i) usleep(10000);
    Write(Local("/new/a.txt"), "saved meanwhile");
    while (!done) {
      struct pollfd ready = {listener, POLLIN, 0};
      if (poll(&ready, 1, 50) == 1) close(accept(listener, nullptr, nullptr));
    }
  });
  int result = Run(Download("/new/a.txt", file.m_sync_id));
  done = true;
  program.join();
  close(filler);
  close(listener);
  m_engine.Context().m_index.m_enabled = false;

  ASSERT_EQ(0, result);
  EXPECT_EQ("from the server", Read(Local("/new/a.txt")));
  EXPECT_EQ("saved meanwhile", Read(Local("/new/a_ADMIN_Dec-06-1641-2026_Conflict.txt")));
  EXPECT_EQ(file.m_sync_id, Record("/new/a.txt").m_sync_id);
  EXPECT_TRUE(Logged("'" + Local("/new/a.txt") + "' was made while its download was prepared"));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// A file judged unchanged is replaced by the server's version. A write that
// reaches it after that judgement, before the new version is in place, is
// local work the server never saw: the file swapped out is kept under a
// conflict name. Without such a write it goes with the temporary copy.
std::string g_written_meanwhile;  // the file the place hook writes to

TEST_F(DownloadRemoteTest, AWriteJustBeforeTheNewVersionIsPlacedIsKept) {
  StartReferenceServer();
  RefNode v1 = ServerPut("/notes.txt", "version one");
  ASSERT_EQ(0, Run(Download("/notes.txt", v1.m_sync_id)));

  RefNode v2 = ServerPut("/notes.txt", "version two");
  g_written_meanwhile = Local("/notes.txt");
  SetDownloadPlaceHookForTest([] {
    FILE* file = fopen(g_written_meanwhile.c_str(), "r+");
    ASSERT_NE(nullptr, file);
    fputs("written meanwhile", file);
    fclose(file);
  });
  int result = Run(Download("/notes.txt", v2.m_sync_id));
  SetDownloadPlaceHookForTest(nullptr);
  ASSERT_EQ(0, result);
  EXPECT_EQ("version two", Read(Local("/notes.txt")));
  EXPECT_EQ("written meanwhile", Read(Local("/notes_ADMIN_Dec-06-1641-2026_Conflict.txt")));
  EXPECT_EQ(v2.m_sync_id, Record("/notes.txt").m_sync_id);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());

  RefNode v3 = ServerPut("/notes.txt", "version three");
  ASSERT_EQ(0, Run(Download("/notes.txt", v3.m_sync_id)));
  EXPECT_EQ("version three", Read(Local("/notes.txt")));
  EXPECT_FALSE(Exists(Local("/notes_ADMIN_Dec-06-1641-2026_Conflict_1.txt")));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(DownloadRemoteTest, ResponseCodes) {
  StartScriptedServer();
  uint32_t code = 0;
  m_scripted->m_on_download = [&](const NDownloadRequest&) {
    NDownloadResponse response;
    response.m_error_code = code;
    return response;
  };
  Write(Local("/old.txt"), "old");
  NodeRecord stale;
  stale.m_node_id = 500;
  stale.m_parent_id = VIEW;
  stale.m_view_id = VIEW;
  stale.m_sync_id = 1;
  stale.m_mtime = static_cast<uint32_t>(Stat(Local("/old.txt")).st_mtime);
  stale.m_size = 3;
  stale.m_path = "/old.txt";
  stale.m_name = "old.txt";
  ASSERT_EQ(0, Db().UpsertNode(stale));

  struct Case {
    uint32_t m_code;
    int m_result;
    std::string m_logged;
    bool m_file_kept;
  };
  const Case cases[] = {
      {1, -1, "error occurs while downloading '" + Local("/old.txt") + "'", true},
      {7, 0, "download fake event: '" + Local("/old.txt") + "'", true},
      {12, -1, "DownloadRemote: fail to process response", true},
      {6, 0, "'" + Local("/old.txt") + "' does not exists on the remote side, remove it anyway", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_code);
    code = c.m_code;
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    size_t mark = LogText().size();
    EXPECT_EQ(c.m_result, Run(Download("/old.txt", 9)));
    EXPECT_NE(std::string::npos, LogText().find(c.m_logged, mark)) << LogText().substr(mark);
    EXPECT_EQ(c.m_file_kept, Exists(Local("/old.txt")));
    EXPECT_EQ(c.m_file_kept ? 500u : 0u, Record("/old.txt").m_node_id);
  }

  // Gone on the server, but edited here since it was recorded: the edit is
  // kept under a conflict name instead of being destroyed.
  Write(Local("/old.txt"), "old, then edited");
  stale.m_size = 3;
  ASSERT_EQ(0, Db().UpsertNode(stale));
  if (m_worker) m_worker->Clear();
  m_engine.m_events.Reset();
  EXPECT_EQ(0, Run(Download("/old.txt", 9)));
  EXPECT_FALSE(Exists(Local("/old.txt")));
  EXPECT_EQ("old, then edited", Read(Local("/old_ADMIN_Dec-06-1641-2026_Conflict.txt")));
  EXPECT_EQ(0u, Record("/old.txt").m_node_id);

  // A directory the server no longer has goes only when nothing in it is
  // new here: one holding a file the server never saw is kept whole under a
  // conflict name.
  for (bool holds_new_work : {true, false}) {
    SCOPED_TRACE(holds_new_work);
    fs::create_directories(Local("/dir"));
    if (holds_new_work) Write(Local("/dir/new.txt"), "never uploaded");
    NodeRecord dir = stale;
    dir.m_node_id = 600;
    dir.m_attribute = NODE_ATTRIBUTE_DIR;
    dir.m_mtime = 0;
    dir.m_size = 0;
    dir.m_path = "/dir";
    dir.m_name = "dir";
    ASSERT_EQ(0, Db().UpsertNode(dir));
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    EXPECT_EQ(0, Run(Download("/dir", 9)));
    EXPECT_FALSE(Exists(Local("/dir")));
    EXPECT_EQ(holds_new_work, Exists(Local("/dir_ADMIN_Dec-06-1641-2026_Conflict/new.txt")));
    EXPECT_EQ(0u, Record("/dir").m_node_id);
    fs::remove_all(Local("/dir_ADMIN_Dec-06-1641-2026_Conflict"));
  }
}

TEST_F(DownloadRemoteTest, FullDiskFreezesTheViewAndHandsTheEventBack) {
  if (!EnterPrivateMounts()) GTEST_SKIP() << "a real full disk needs a mount of our own";
  StartReferenceServer();
  ASSERT_EQ(0, Db().SetGlobalSyncId(5));
  RefNode big = ServerPut("/big.bin", std::string(3 * 1024 * 1024, 'b').c_str());
  // The server's copy lands in the volume's temporary folder; the worker's
  // own folder below it is what fills up.
  std::string work = m_engine.Context().m_layout.WorkDirPath(1);
  fs::create_directories(work);
  ASSERT_EQ(0, mount("tide-test-full", work.c_str(), "tmpfs", 0, "size=1m"));
  int result = Run(Download("/big.bin", big.m_sync_id));
  umount2(work.c_str(), MNT_DETACH);

  EXPECT_EQ(-2, result);  // handed back
  EXPECT_EQ(" " + std::to_string(VIEW) + "\n", Read(m_dir / "freeze"));
  EXPECT_EQ(5u, m_engine.m_progress.GetSyncId(VIEW));
  uint64_t progress = 0;
  EXPECT_EQ(1, Db().GetViewProgress(VIEW, &progress));
  EXPECT_EQ(5u, progress);
  RegistryEntry entry;
  ASSERT_TRUE(m_engine.m_registry.GetByViewId(VIEW, &entry));
  EXPECT_NE(0u, entry.m_attribute & VIEW_ATTR_CATCHING_UP);
  // The event went back to the event manager, and the worker holds nothing.
  EXPECT_EQ(EMPTY, m_worker->CurrentEvent().m_type);
  EXPECT_EQ(1, m_engine.m_events.GetViewPendingCount(VIEW));
  EXPECT_FALSE(Exists(Local("/big.bin")));
  EXPECT_EQ(0u, Record("/big.bin").m_node_id);
  EXPECT_EQ(1, g_running.load());  // only the view stops

  // While frozen, the view's events are handed back untouched.
  EXPECT_EQ(101, RunPending());
  EXPECT_TRUE(Logged("is in freeze mode"));
}

}  // namespace
}  // namespace tide::test
