// Shared set-up of the upload and download tests: a view on a volume of its
// own, a worker that carries single events through FetchEvent, PrepareEvent
// and Dispatch, and a server daemon (the in-process reference server, or a
// scripted stand-in for answers the reference server never gives).
//
// The worker runs on an engine of the test's own, whose volumes lie in the
// test's scratch folder: no mount, no root, nothing shared between tests
// (only the two full-disk tests mount a small tmpfs).
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#undef BLOCK_SIZE  // <sys/mount.h> defines it; Channel has a member of that name
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/daemon_state.h"
#include "core/freeze_file.h"
#include "core/logger.h"
#include "filter/filter.h"
#include "fs/conflict_rename.h"
#include "platform/vendor_system.h"
#include "proto/channel.h"
#include "proto/checksum.h"
#include "proto/messages.h"
#include "ref_store.h"
#include "support/temp_dir.h"
#include "sync/server_connection.h"
#include "sync/worker_native.h"
#include "test_engine.h"
#include "tests/ref_client.h"

namespace tide::test {

namespace fs = std::filesystem;

// The two full-disk tests mount a small tmpfs where the daemon writes; the
// test process first takes a mount namespace of its own (while no thread
// of it runs), so the mounts never reach the host. False where mounts are
// not permitted (not root).
inline bool EnterPrivateMounts() {
  static const bool entered =
      unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return entered;
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string Read(const std::string& path) { return TempDir::ReadFile(path); }

inline void Write(const std::string& path, const std::string& contents) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

// Regular files below `dir` (recursively), as paths relative to it.
inline std::vector<std::string> FilesBelow(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file()) files.push_back(fs::relative(it->path(), dir).string());
  }
  return files;
}

// A stand-in server daemon: answers the connect exchange itself and hands
// upload and download requests to the test's script.
class ScriptedServer {
 public:
  std::function<NUploadResponse(const NUploadRequest&)> m_on_upload;
  std::function<NDownloadResponse(const NDownloadRequest&)> m_on_download;

  explicit ScriptedServer(const std::string& socket_path) : m_path(socket_path) {
    m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, m_path.c_str(), sizeof addr.sun_path - 1);
    unlink(m_path.c_str());
    m_ok = bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(m_listen, 4) == 0;
    if (m_ok) m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    m_stop = 1;
    if (m_thread.joinable()) m_thread.join();
    close(m_listen);
    unlink(m_path.c_str());
  }
  bool Ok() const { return m_ok; }
  int Requests() const { return m_requests.load(); }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      Channel channel;
      if (channel.Open(fd, true) != 0) {
        close(fd);
        continue;
      }
      channel.SetAbortFlag(&m_stop);
      while (!m_stop && Answer(&channel)) {
      }
      channel.Close();
    }
  }
  // One exchange; false when the connection is over.
  bool Answer(Channel* channel) {
    pollfd p{channel->GetFd(), POLLIN, 0};
    while (!m_stop && poll(&p, 1, 50) == 0) {
    }
    uint32_t command = 0;
    if (m_stop || channel->ReadU32(&command) != 0) return false;
    if (command == SERVER_CMD_CONNECT) {
      NConnectRequest request;
      NConnectResponse response;
      response.m_conn_num = 7;
      return request.Recv(channel) == 0 && response.Send(channel) == 0;
    }
    ++m_requests;
    if (command == SERVER_CMD_UPLOAD) {
      NUploadRequest request;
      if (request.Recv(channel) != 0) return false;
      NUploadResponse response = m_on_upload ? m_on_upload(request) : NUploadResponse{};
      return response.Send(channel) == 0;
    }
    if (command == SERVER_CMD_DOWNLOAD) {
      NDownloadRequest request;
      if (request.Recv(channel) != 0) return false;
      NDownloadResponse response = m_on_download ? m_on_download(request) : NDownloadResponse{};
      return response.Send(channel) == 0;
    }
    return false;
  }

  std::string m_path;
  int m_listen = -1;
  bool m_ok = false;
  std::atomic<int> m_stop{0};
  std::atomic<int> m_requests{0};
  std::thread m_thread;
};

class TransferTest : public testing::Test {
 protected:
  static constexpr uint64_t VIEW = 77;

  void SetUp() override {
    const char* tz = getenv("TZ");
    m_saved_tz = tz ? std::optional<std::string>(tz) : std::nullopt;
    m_volume = m_engine.Volume(1);
    m_watch = m_volume + "/share";
    fs::create_directories(m_watch);

    std::string levels = m_dir.WriteFile("levels", "worker_debug=7\nconflict_rename_debug=6\nfile_op_debug=6\n");
    ASSERT_EQ(0, Logger::Initialize(LOG_TYPE_FILE, m_dir / "client.log", levels, 10));

    SetFreezeFilePathForTest(m_dir / "freeze");
    SetConflictClockForTest(1796575260);  // Dec-06-1641-2026 in UTC
    setenv("TZ", "UTC", 1);
    tzset();
    g_running = 1;
    InitFilter();

    ASSERT_EQ(0, Db().Initialize(m_dir / "db.sqlite"));
    ASSERT_EQ(0, Db().InsertViewRoot(VIEW, VIEW));
    ASSERT_EQ(0, m_engine.m_registry.Add("share", VIEW_ATTR_SHARE, m_watch, VIEW, 0));
  }

  void TearDown() override {
    m_worker.reset();
    // The client's connection goes first, so the servers stop at once.
    m_engine.m_pool.Destroy();
    m_server.reset();
    m_scripted.reset();
    m_store.reset();
    Db().Close();
    SetFreezeFilePathForTest("");
    SetConflictClockForTest(0);
    InitFilter();
    g_running = 1;
    Logger::ResetForTest();
    if (m_saved_tz) {
      setenv("TZ", m_saved_tz->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  // The reference server, with the view recorded at its watch path so that
  // download copies are placed on the view's volume.
  void StartReferenceServer() {
    m_server = std::make_unique<ServerThread>(m_dir.Path());
    ASSERT_TRUE(m_server->Ok());
    m_store = std::make_unique<RefStore>();
    ASSERT_EQ(0, m_store->Open(m_server->DbPath(), m_server->StoreDir()));
    uint64_t id = 0;
    ASSERT_EQ(0, m_store->AddView(VIEW, m_watch, &id));
    m_engine.m_pool.SetSocketPath(m_server->SocketPath());
  }
  void StartScriptedServer() {
    m_scripted = std::make_unique<ScriptedServer>(m_dir / "scripted.sock");
    ASSERT_TRUE(m_scripted->Ok());
    m_engine.m_pool.SetSocketPath(m_dir / "scripted.sock");
  }

  // A change made by another client of the server: the version of `path`
  // with `contents` (a folder when `contents` is null). Its node.
  RefNode ServerPut(const std::string& path, const char* contents, const std::string& mac_path = "") {
    RefUpload upload;
    upload.m_view_id = VIEW;
    upload.m_path = path;
    upload.m_force = true;
    upload.m_uid = getuid();
    upload.m_gid = getgid();
    upload.m_mtime = 1600000000;
    if (contents) {
      std::string data = m_dir.WriteFile("remote-data", contents);
      upload.m_size = strlen(contents);
      upload.m_hash = FileMD4(data);
      upload.m_data_path = data;
    } else {
      upload.m_is_dir = true;
    }
    if (!mac_path.empty()) {
      upload.m_mac_size = fs::file_size(mac_path);
      upload.m_mac_hash = FileMD4(mac_path);
      upload.m_mac_data_path = mac_path;
    }
    RefNode node;
    EXPECT_EQ(REF_OK, m_store->Upload(upload, &node));
    return node;
  }
  uint64_t ServerSyncId() {
    uint64_t id = 0;
    EXPECT_EQ(0, m_store->CurrentSyncId(&id));
    return id;
  }

  // Carries one event through a worker as its run loop would: 0 when it
  // was done (and reported so), -1 when the worker would try it again, -2
  // when it was handed back.
  int Run(const Event& event) {
    m_engine.m_events.PushEvent(event);
    return RunPending();
  }
  int RunPending() {
    if (!m_worker) m_worker = std::make_unique<WorkerNative>(0, 0, m_engine.Context());
    if (m_worker->FetchEvent() != 0) return 100;
    if (m_worker->PrepareEvent() != 0) return 101;
    switch (m_worker->Dispatch()) {
      case HandlerOutcome::DONE:
        m_worker->FinishEvent();
        return 0;
      case HandlerOutcome::GIVE_BACK:
        m_worker->GiveBackEvent();
        return -2;
      case HandlerOutcome::RETRY:
        break;
    }
    return -1;
  }
  static Event Upload(const std::string& path, uint32_t flags = 0) {
    Event event;
    event.m_type = UPLOAD_LOCAL;
    event.m_path = path;
    event.m_view_id = VIEW;
    event.m_flags = flags;
    return event;
  }
  static Event Download(const std::string& path, uint64_t sync_id, uint32_t flags = 0) {
    Event event;
    event.m_type = DOWNLOAD_REMOTE;
    event.m_path = path;
    event.m_view_id = VIEW;
    event.m_sync_id = sync_id;
    event.m_flags = flags;
    return event;
  }

  NodeRecord Record(const std::string& path) {
    NodeRecord record;
    EXPECT_LE(0, Db().GetNodeByPath(VIEW, path, &record));
    return record;
  }
  std::string Local(const std::string& relative) const { return m_watch + relative; }
  std::string LogText() const { return Read(m_dir / "client.log"); }
  bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }
  // The view's temporary folders hold nothing once a handler returned.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> left;
    for (const std::string& f : FilesBelow(m_volume + "/@tmp")) {
      if (f.rfind("refsyncd-", 0) != 0) left.push_back(f);  // the server's own copies
    }
    return left;
  }

  NativeClientDb& Db() { return m_engine.m_db; }

  TempDir m_dir;
  TestEngine m_engine{m_dir.Path()};
  std::optional<std::string> m_saved_tz;
  std::string m_volume;
  std::string m_watch;
  std::unique_ptr<ServerThread> m_server;
  std::unique_ptr<RefStore> m_store;
  std::unique_ptr<ScriptedServer> m_scripted;
  std::unique_ptr<WorkerNative> m_worker;
};

}  // namespace tide::test
