#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>

#include "platform/ea_store.h"
#include "sync/transfer_fixture.h"

namespace tide::test {
namespace {

class UploadLocalTest : public TransferTest {};

TEST_F(UploadLocalTest, NewFileIsRecordedAndAnUnchangedOneIsNotSentAgain) {
  StartReferenceServer();
  fs::create_directories(Local("/docs"));
  Write(Local("/docs/a.txt"), "first version");

  ASSERT_EQ(0, Run(Upload("/docs/a.txt")));
  RefNode node;
  ASSERT_EQ(1, m_store->GetNode(VIEW, "/docs/a.txt", &node));
  EXPECT_EQ("first version", Read(m_store->ObjectPath(node.m_hash)));
  NodeRecord record = Record("/docs/a.txt");
  EXPECT_EQ(node.m_node_id, record.m_node_id);
  EXPECT_EQ(node.m_parent_id, record.m_parent_id);
  EXPECT_EQ(node.m_sync_id, record.m_sync_id);
  EXPECT_EQ(FileMD4(Local("/docs/a.txt")), record.m_hash);
  EXPECT_EQ(13u, record.m_size);
  EXPECT_EQ(0u, record.m_attribute);
  EXPECT_EQ("a.txt", record.m_name);
  EXPECT_EQ(node.m_mtime, record.m_mtime);
  EXPECT_TRUE(Logged("uploading '" + Local("/docs/a.txt") + "' done"));
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());

  // The same content again (a touch, an echo of our own download) is not
  // offered a second time.
  uint64_t before = ServerSyncId();
  ASSERT_EQ(0, Run(Upload("/docs/a.txt")));
  EXPECT_TRUE(Logged("File not modified, this could be a fake event."));
  EXPECT_EQ(before, ServerSyncId());

  // An edit is based on the recorded version and accepted.
  Write(Local("/docs/a.txt"), "second version, longer");
  ASSERT_EQ(0, Run(Upload("/docs/a.txt")));
  ASSERT_EQ(1, m_store->GetNode(VIEW, "/docs/a.txt", &node));
  EXPECT_EQ("second version, longer", Read(m_store->ObjectPath(node.m_hash)));
  EXPECT_EQ(node.m_sync_id, Record("/docs/a.txt").m_sync_id);
  EXPECT_GT(node.m_sync_id, record.m_sync_id);
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

TEST_F(UploadLocalTest, DirectoryIsSentOnceThenRecognised) {
  StartReferenceServer();
  fs::create_directories(Local("/folder"));
  ASSERT_EQ(0, Run(Upload("/folder", EVENT_FLAG_DIR)));
  NodeRecord record = Record("/folder");
  EXPECT_NE(0u, record.m_node_id);
  EXPECT_EQ(NODE_ATTRIBUTE_DIR, record.m_attribute);
  EXPECT_EQ("", record.m_hash);

  uint64_t before = ServerSyncId();
  ASSERT_EQ(0, Run(Upload("/folder", EVENT_FLAG_DIR)));
  EXPECT_TRUE(Logged("upload fake event on '" + Local("/folder") + "' (existing directory)"));
  EXPECT_EQ(before, ServerSyncId());
}

// Events that end at once, without asking the server anything.
TEST_F(UploadLocalTest, EventsThatEndWithoutTheServer) {
  StartScriptedServer();
  FilterConfig rules;
  rules.m_file_black_ext.push_back("tmp");
  rules.m_common_black_name.push_back("private");
  SetFilterConfig(rules);

  struct Case {
    const char* m_name;
    std::function<void()> m_setup;
    std::string m_path;
    std::string m_logged;
    std::function<void()> m_check;
  };
  std::vector<Case> cases = {
      {"vanished", [] {}, "/gone.txt", "upload fake event on '" + Local("/gone.txt") + "' (vanish)", [] {}},
      {"fifo", [&] { ASSERT_EQ(0, mkfifo(Local("/pipe").c_str(), 0644)); }, "/pipe",
       "upload fake event on '" + Local("/pipe") + "' (bad type)", [] {}},
      {"filtered file", [&] { Write(Local("/scratch.TMP"), "x"); }, "/scratch.TMP",
       "UploadLocal: '" + Local("/scratch.TMP") + "' cannot be uploaded (blocked: -5)", [] {}},
      {"filtered directory", [&] { fs::create_directories(Local("/private")); }, "/private",
       "UploadLocal: Directory '" + Local("/private") + "' cannot be uploaded (blocked: -4)", [] {}},
      {"file in a filtered directory", [&] { Write(Local("/private/f"), "x"); }, "/private/f",
       "UploadLocal: '" + Local("/private/f") + "' cannot be uploaded (blocked: -4)", [] {}},
      {"trailing blank", [&] { Write(Local("/name.txt "), "blank"); }, "/name.txt ",
       "WhiteSpaceConflictRename from [" + Local("/name.txt ") + "] to [" + Local("/name.txt") + "]",
       [&] {
         EXPECT_FALSE(Exists(Local("/name.txt ")));
         EXPECT_EQ("blank", Read(Local("/name.txt")));
       }},
      {"leading blank, trimmed name taken", [&] { Write(Local("/ name.txt"), "second"); }, "/ name.txt",
       "to [" + Local("/name_ADMIN_Dec-06-1641-2026_WhiteSpaceConflict.txt") + "]",
       [&] {
         EXPECT_EQ("blank", Read(Local("/name.txt")));
         EXPECT_EQ("second", Read(Local("/name_ADMIN_Dec-06-1641-2026_WhiteSpaceConflict.txt")));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    c.m_setup();
    size_t mark = LogText().size();
    EXPECT_EQ(0, Run(Upload(c.m_path)));
    EXPECT_NE(std::string::npos, LogText().find(c.m_logged, mark)) << LogText().substr(mark);
    c.m_check();
    EXPECT_EQ(0, Record(c.m_path).m_node_id);
  }
  EXPECT_EQ(0, m_scripted->Requests());
}

TEST_F(UploadLocalTest, ResponseCodes) {
  StartScriptedServer();
  uint32_t code = 0;
  m_scripted->m_on_upload = [&](const NUploadRequest& request) {
    NUploadResponse response;
    response.m_error_code = code;
    response.m_sync_id = 40;
    response.m_node_id = 400;
    response.m_parent_id = VIEW;
    response.m_name = "Report.txt";  // as the server spells it
    response.m_mtime = request.m_mtime + 60;
    return response;
  };
  struct Case {
    uint32_t m_code;
    int m_result;
    std::string m_logged;
    bool m_recorded;
  };
  const Case cases[] = {
      {1, -1, "ProcessUploadResponse", false},
      {5, 0, "mac attribute conflict on '/report.txt'", false},
      {9, -1, "upload error (9) is not handled", false},
      {0, 0, "uploading '" + Local("/report.txt") + "' done", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_code);
    Write(Local("/report.txt"), "content");
    struct stat before;
    ASSERT_EQ(0, stat(Local("/report.txt").c_str(), &before));
    code = c.m_code;
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    size_t mark = LogText().size();
    EXPECT_EQ(c.m_result, Run(Upload("/report.txt")));
    EXPECT_NE(std::string::npos, LogText().find(c.m_logged, mark)) << LogText().substr(mark);
    NodeRecord record = Record("/report.txt");
    EXPECT_EQ(c.m_recorded ? 400u : 0u, record.m_node_id);
    if (c.m_recorded) {
      EXPECT_EQ(40u, record.m_sync_id);
      EXPECT_EQ("Report.txt", record.m_name);
      EXPECT_EQ(static_cast<uint32_t>(before.st_mtime + 60), record.m_mtime);
      // The local file takes the server's time stamp, so the next scan
      // finds it matching its record.
      struct stat after;
      ASSERT_EQ(0, stat(Local("/report.txt").c_str(), &after));
      EXPECT_EQ(before.st_mtime + 60, after.st_mtime);
    }
    EXPECT_TRUE(Exists(Local("/report.txt")));
  }
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
}

// The server holds another version: the local file steps aside under a
// conflict name (and is offered later under that name), and nobody asks the
// server to remove the path it came from.
TEST_F(UploadLocalTest, ConflictRenamesTheLocalFile) {
  StartReferenceServer();
  ServerPut("/report.txt", "theirs");
  Write(Local("/report.txt"), "ours");
  ASSERT_EQ(0, Run(Upload("/report.txt")));
  EXPECT_TRUE(Logged("upload conflict: 2"));
  EXPECT_FALSE(Exists(Local("/report.txt")));
  EXPECT_EQ("ours", Read(Local("/report_ADMIN_Dec-06-1641-2026_Conflict.txt")));
  EXPECT_EQ(0u, Record("/report.txt").m_node_id);
  EXPECT_EQ(0, m_engine.m_events.GetViewPendingCount(VIEW));
}

TEST_F(UploadLocalTest, FileRemovedWhileUploadingIsRemovedOnTheServerToo) {
  StartScriptedServer();
  m_scripted->m_on_upload = [&](const NUploadRequest& request) {
    unlink(Local("/brief.txt").c_str());
    NUploadResponse response;
    response.m_sync_id = 3;
    response.m_node_id = 300;
    response.m_parent_id = VIEW;
    response.m_name = "brief.txt";
    response.m_mtime = request.m_mtime;
    return response;
  };
  Write(Local("/brief.txt"), "short-lived");
  ASSERT_EQ(0, Run(Upload("/brief.txt")));
  EXPECT_EQ(300u, Record("/brief.txt").m_node_id);  // recorded first
  // The removal arrived while the worker still held the path: it is the
  // worker's next event.
  const Event& pushed = m_worker->CurrentEvent();
  EXPECT_EQ(REMOVE_REMOTE, pushed.m_type);
  EXPECT_EQ("/brief.txt", pushed.m_path);
  EXPECT_EQ(VIEW, pushed.m_view_id);
  EXPECT_FALSE(pushed.IsDir());
}

TEST_F(UploadLocalTest, FullDiskFreezesEverythingAndStopsTheDaemon) {
  if (!EnterPrivateMounts()) GTEST_SKIP() << "a real full disk needs a mount of our own";
  StartScriptedServer();
  Write(Local("/big.bin"), std::string(3 * 1024 * 1024, 'b'));
  std::string tmp = m_volume + "/@tmp";
  fs::create_directories(tmp);
  ASSERT_EQ(0, mount("tide-test-full", tmp.c_str(), "tmpfs", 0, "size=1m"));
  int result = Run(Upload("/big.bin"));
  umount2(tmp.c_str(), MNT_DETACH);

  EXPECT_EQ(-1, result);
  EXPECT_TRUE(Logged("PrepareUploadData: disk full and terminate native client"));
  EXPECT_EQ(" 0\n", Read(m_dir / "freeze"));
  EXPECT_EQ(0, g_running.load());
  EXPECT_EQ(0, m_scripted->Requests());
}

// A pause or stop during the copy ends the pass; the event is processed
// again later, and nothing else happens: no freeze, no shutdown, no request.
TEST_F(UploadLocalTest, PauseDuringTheCopyOnlyPostponesTheUpload) {
  StartScriptedServer();
  Write(Local("/doc.txt"), "content");
  m_engine.m_events.PushEvent(Upload("/doc.txt"));
  m_worker = std::make_unique<WorkerNative>(0, 0, m_engine.Context());
  ASSERT_EQ(0, m_worker->FetchEvent());
  ASSERT_EQ(0, m_worker->PrepareEvent());
  m_worker->SetAbort(true);
  EXPECT_EQ(HandlerOutcome::RETRY, m_worker->Dispatch());
  EXPECT_TRUE(Logged("interrupted by abort flag"));
  // A pause, or the file's removal, is no fault for a person to look at.
  EXPECT_FALSE(Logged("failed to prepare upload data"));
  EXPECT_FALSE(Logged("PrepareUploadRequest"));
  EXPECT_FALSE(Exists(m_dir / "freeze"));
  EXPECT_EQ(1, g_running.load());
  EXPECT_EQ(0, m_scripted->Requests());
  EXPECT_EQ(std::vector<std::string>{}, Leftovers());
  EXPECT_EQ("content", Read(Local("/doc.txt")));
}

}  // namespace
}  // namespace tide::test
