// Shared set-up of the upload and download tests: a view on a volume of its
// own, a worker that carries single events through FetchEvent, PrepareEvent
// and Dispatch, and a server daemon (the in-process reference server, or a
// scripted stand-in for answers the reference server never gives).
//
// Workers and the daemon's helpers insist on appliance paths ("/volumeN/..."),
// so each test process enters a private mount namespace once and mounts a
// tmpfs on "/volume<pid>": nothing written there reaches the host, and the
// empty mount point is removed when the process ends.
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

#include "core/client_config.h"
#include "core/daemon_state.h"
#include "core/freeze_file.h"
#include "core/logger.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "filter/filter.h"
#include "platform/vendor_system.h"
#include "proto/channel.h"
#include "proto/checksum.h"
#include "proto/messages.h"
#include "tests/ref_client.h"
#include "ref_store.h"
#include "support/temp_dir.h"
#include "fs/conflict_rename.h"
#include "sync/index_notify.h"
#include "sync/server_connection.h"
#include "sync/worker_native.h"

namespace tide::test {

namespace fs = std::filesystem;

// The process's private volume, or "" when mounts are not permitted here.
inline const std::string& PrivateVolume() {
  static const std::string volume = [] {
    std::string path = "/volume" + std::to_string(getpid());
    if (unshare(CLONE_NEWNS) != 0) return std::string();
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return std::string();
    bool made = mkdir(path.c_str(), 0755) == 0;
    if (mount("tide-test-volume", path.c_str(), "tmpfs", 0, "size=64m,mode=755") != 0) {
      if (made) rmdir(path.c_str());
      return std::string();
    }
    if (made) {
      static std::string remove_at_exit;
      remove_at_exit = path;
      atexit([] {
        umount2(remove_at_exit.c_str(), MNT_DETACH);
        rmdir(remove_at_exit.c_str());
      });
    }
    return path;
  }();
  return volume;
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
    m_volume = PrivateVolume();
    if (m_volume.empty()) GTEST_SKIP() << "no private mounts here";
    for (const auto& entry : fs::directory_iterator(m_volume)) fs::remove_all(entry.path());
    m_watch = m_volume + "/share";
    fs::create_directories(m_watch);

    std::string levels = m_dir.WriteFile("levels", "worker_debug=7\nconflict_rename_debug=6\nfile_op_debug=6\n");
    ASSERT_EQ(0, Logger::Initialize(LOG_TYPE_FILE, m_dir / "client.log", levels, 10));

    ClientConfig& config = ClientConfig::Instance();
    config.ResetForTest();
    config.m_volume_path = m_volume;
    config.m_do_index = false;
    SetFreezeFilePathForTest(m_dir / "freeze");
    SetConflictClockForTest(1796575260);  // Dec-06-1641-2026 in UTC
    setenv("TZ", "UTC", 1);
    tzset();
    g_running = 1;
    InitFilter();

    ASSERT_EQ(0, NativeClientDb::Instance().Initialize(m_dir / "db.sqlite"));
    ASSERT_EQ(0, NativeClientDb::Instance().InsertViewRoot(VIEW, VIEW));
    Registry::Instance().Clear();
    ASSERT_EQ(0, Registry::Instance().Add("share", VIEW_ATTR_SHARE, m_watch, VIEW, 0));
    EventManager::GetInstance().Reset();
    ProgressCache::Instance().Clear();
    ConnectionPool::Instance().Initialize(1);
  }

  void TearDown() override {
    m_worker.reset();
    // The client's connection goes first, so the servers stop at once.
    ConnectionPool::Instance().Destroy();
    m_server.reset();
    m_scripted.reset();
    m_store.reset();
    EventManager::GetInstance().Reset();
    ProgressCache::Instance().Clear();
    Registry::Instance().Clear();
    NativeClientDb::Instance().Close();
    SetFreezeFilePathForTest("");
    SetConflictClockForTest(0);
    InitFilter();
    ClientConfig::Instance().ResetForTest();
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
    ConnectionPool::Instance().SetSocketPathForTest(m_server->SocketPath());
  }
  void StartScriptedServer() {
    m_scripted = std::make_unique<ScriptedServer>(m_dir / "scripted.sock");
    ASSERT_TRUE(m_scripted->Ok());
    ConnectionPool::Instance().SetSocketPathForTest(m_dir / "scripted.sock");
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

  // Carries one event through a worker as its run loop would: the result of
  // Dispatch, after reporting the event done when it finished.
  int Run(const Event& event) {
    EventManager::GetInstance().PushEvent(event);
    return RunPending();
  }
  int RunPending() {
    if (!m_worker) m_worker = std::make_unique<WorkerNative>(0, 0);
    if (m_worker->FetchEvent() != 0) return 100;
    if (m_worker->PrepareEvent() != 0) return 101;
    int result = m_worker->Dispatch();
    if (result == 0) m_worker->FinishEvent();
    return result;
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
    EXPECT_LE(0, NativeClientDb::Instance().GetNodeByPath(VIEW, path, &record));
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

  TempDir m_dir;
  std::optional<std::string> m_saved_tz;
  std::string m_volume;
  std::string m_watch;
  std::unique_ptr<ServerThread> m_server;
  std::unique_ptr<RefStore> m_store;
  std::unique_ptr<ScriptedServer> m_scripted;
  std::unique_ptr<WorkerNative> m_worker;
};

}  // namespace tide::test
