// Paths the transfer handlers must not follow: unsafe paths in events and
// server answers, and symbolic links that lead out of the view.
#include <unistd.h>

#include "sync/transfer_fixture.h"

namespace tide::test {
namespace {

class TransferPathsTest : public TransferTest {
 protected:
  // Everything on the view's volume and in the scratch folder outside it.
  std::vector<std::string> Everything() {
    std::vector<std::string> all = FilesBelow(m_volume);
    for (const std::string& f : FilesBelow(m_dir / "outside")) all.push_back("outside/" + f);
    return all;
  }
};

TEST_F(TransferPathsTest, UnsafeEventPathsNeverReachTheDiskOrTheServer) {
  StartScriptedServer();
  Write(m_dir / "outside/victim.txt", "keep");
  Write(Local("/a/b.txt"), "in the view");
  std::vector<std::string> before = Everything();
  const std::string paths[] = {
      "relative.txt", "", "/a/../../../outside/victim.txt", "/..", "/a//b.txt", "/./a/b.txt", "/a/",
      std::string("/a/b.txt\0.hidden", 16),
  };
  for (const std::string& path : paths) {
    for (int32_t type : {UPLOAD_LOCAL, DOWNLOAD_REMOTE}) {
      SCOPED_TRACE(testing::Message() << EventTypeName(type) << " '" << path << "'");
      if (m_worker) m_worker->Clear();
      m_engine.m_events.Reset();
      Event event = type == UPLOAD_LOCAL ? Upload(path) : Download(path, 5);
      size_t mark = LogText().size();
      // Pushed past the event manager: the handler is the last line of
      // defence whatever produced the event.
      m_engine.m_events.PushEvent(event);
      if (!m_worker) m_worker = std::make_unique<WorkerNative>(0, 0, m_engine.Context());
      if (m_worker->FetchEvent() != 0) continue;  // the event manager refused it already
      if (m_worker->PrepareEvent() != 0) continue;
      EXPECT_EQ(HandlerOutcome::DONE, m_worker->Dispatch());
      EXPECT_NE(std::string::npos, LogText().find("refusing unsafe path", mark)) << LogText().substr(mark);
    }
  }
  EXPECT_EQ(0, m_scripted->Requests());
  EXPECT_EQ(before, Everything());
  EXPECT_EQ("keep", Read(m_dir / "outside/victim.txt"));
}

TEST_F(TransferPathsTest, UnsafePathsInADownloadAnswerAreRefused) {
  StartScriptedServer();
  std::string data = m_volume + "/@tmp/placed";
  Write(data, "server data");
  Write(m_dir / "outside/secret", "not for the view");
  NDownloadResponse good;
  good.m_sync_id = 9;
  good.m_node_id = 900;
  good.m_parent_id = VIEW;
  good.m_name = "f.txt";
  good.m_path = "/f.txt";
  good.m_uid = getuid();
  good.m_gid = getgid();
  good.m_mtime = 1600000000;
  good.m_size = 11;
  good.m_data_hash = FileMD4(data);
  good.m_data_path = data;

  struct Case {
    const char* m_name;
    std::function<void(NDownloadResponse*)> m_spoil;
  };
  const Case cases[] = {
      {"path with ..", [](NDownloadResponse* r) { r->m_path = "/../f.txt"; }},
      {"relative path", [](NDownloadResponse* r) { r->m_path = "f.txt"; }},
      {"data path with ..", [&](NDownloadResponse* r) { r->m_data_path = m_volume + "/@tmp/../../" + m_dir.Path() + "/outside/secret"; }},
      {"relative data path", [](NDownloadResponse* r) { r->m_data_path = "placed"; }},
      {"empty data path", [](NDownloadResponse* r) { r->m_data_path = ""; }},
      {"mac data path with ..", [](NDownloadResponse* r) {
         r->m_mac_size = 10;
         r->m_mac_hash = "x";
         r->m_mac_data_path = "/volume1/@tmp/../../etc/m";
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    NDownloadResponse answer = good;
    c.m_spoil(&answer);
    m_scripted->m_on_download = [answer](const NDownloadRequest&) { return answer; };
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    size_t mark = LogText().size();
    EXPECT_EQ(0, Run(Download("/f.txt", 9)));
    EXPECT_NE(std::string::npos, LogText().find("download response: refusing unsafe", mark)) << LogText().substr(mark);
    EXPECT_FALSE(Exists(Local("/f.txt")));
    EXPECT_EQ(0u, Record("/f.txt").m_node_id);
  }
  // The same answer unspoilt goes through.
  m_scripted->m_on_download = [good](const NDownloadRequest&) { return good; };
  if (m_worker) m_worker->Clear();
  m_engine.m_events.Reset();
  EXPECT_EQ(0, Run(Download("/f.txt", 9)));
  EXPECT_EQ("server data", Read(Local("/f.txt")));
  EXPECT_EQ(900u, Record("/f.txt").m_node_id);
}

// A link inside the view, whether it leads out of it or not: nothing is
// read, written, created, moved or removed through it, in either direction,
// and the event ends with one line saying why.
TEST_F(TransferPathsTest, LinksLeadingOutOfTheViewAreNotFollowed) {
  StartScriptedServer();
  m_scripted->m_on_download = [&](const NDownloadRequest& request) {
    std::string data = m_volume + "/@tmp/placed";
    Write(data, "server data");
    NDownloadResponse response;
    response.m_sync_id = 9;
    response.m_node_id = 901;
    response.m_name = "x";
    response.m_path = request.m_path;
    response.m_uid = getuid();
    response.m_gid = getgid();
    response.m_size = 11;
    response.m_data_hash = FileMD4(data);
    response.m_data_path = data;
    return response;
  };
  fs::create_directories(m_dir / "outside/deeper");
  Write(m_dir / "outside/x", "outside file");
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), Local("/out").c_str()));
  ASSERT_EQ(0, symlink("/nowhere/at/all", Local("/dangling").c_str()));
  fs::create_directories(Local("/real/sub"));
  ASSERT_EQ(0, symlink(Local("/real").c_str(), Local("/in").c_str()));

  struct Case {
    int32_t m_type;
    std::string m_path;
  };
  const Case refused[] = {
      {DOWNLOAD_REMOTE, "/out/deeper/new"}, {DOWNLOAD_REMOTE, "/out/made/new"}, {DOWNLOAD_REMOTE, "/in/sub/x"},
      {UPLOAD_LOCAL, "/out/deeper/x"},      {UPLOAD_LOCAL, "/in/sub/x"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.m_path);
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    size_t mark = LogText().size();
    EXPECT_EQ(0, Run(c.m_type == UPLOAD_LOCAL ? Upload(c.m_path) : Download(c.m_path, 9)));
    EXPECT_NE(std::string::npos, LogText().find("a symbolic link stands in its path", mark)) << LogText().substr(mark);
  }
  EXPECT_EQ(0, m_scripted->Requests());
  EXPECT_EQ("outside file", Read(m_dir / "outside/x"));
  EXPECT_EQ(std::vector<std::string>{"x"}, FilesBelow(m_dir / "outside"));
  EXPECT_FALSE(Exists("/nowhere"));

  EXPECT_FALSE(Exists(Local("/real/sub/x")));
}

// The same with the link as the last folder on the way, the place a user
// swaps in: the event must end with the same line, and nothing be asked of
// the server.
TEST_F(TransferPathsTest, ALinkAsTheLastFolderEndsTheEvent) {
  StartScriptedServer();
  fs::create_directories(m_dir / "outside");
  Write(m_dir / "outside/x", "outside file");
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), Local("/out").c_str()));
  ASSERT_EQ(0, symlink("/nowhere/at/all", Local("/dangling").c_str()));
  fs::create_directories(Local("/real/sub"));
  ASSERT_EQ(0, symlink(Local("/real").c_str(), Local("/in").c_str()));
  struct Case {
    int32_t m_type;
    std::string m_path;
  };
  const Case refused[] = {
      {DOWNLOAD_REMOTE, "/out/x"}, {DOWNLOAD_REMOTE, "/dangling/x"}, {UPLOAD_LOCAL, "/out/x"}, {UPLOAD_LOCAL, "/in/sub"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.m_path);
    if (m_worker) m_worker->Clear();
    m_engine.m_events.Reset();
    size_t mark = LogText().size();
    EXPECT_EQ(0, Run(c.m_type == UPLOAD_LOCAL ? Upload(c.m_path) : Download(c.m_path, 9)));
    EXPECT_NE(std::string::npos, LogText().find("a symbolic link stands in its path", mark)) << LogText().substr(mark);
  }
  EXPECT_EQ(0, m_scripted->Requests());
  EXPECT_EQ("outside file", Read(m_dir / "outside/x"));
}

}  // namespace
}  // namespace tide::test
