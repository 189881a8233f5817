#include "ref_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "ref_client.h"
#include "support/temp_dir.h"

namespace tide::test {
namespace {

std::string U16(uint16_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v)}; }
std::string U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)) + U16(static_cast<uint16_t>(v)); }
std::string U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)) + U32(static_cast<uint32_t>(v)); }
std::string Str16(const std::string& s) { return U16(static_cast<uint16_t>(s.size())) + s; }

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

template <typename Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

class RefServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_server = std::make_unique<ServerThread>(m_dir.Path(), 2);
    ASSERT_TRUE(m_server->Ok());
    ASSERT_EQ(0, m_client.Open(m_server->SocketPath()));
  }

  NUploadResponse UploadText(uint64_t view, const std::string& path, uint64_t base, const std::string& text) {
    NUploadResponse response;
    std::string data = m_dir.WriteFile("client/" + std::to_string(++m_files), text);
    EXPECT_EQ(0, m_client.Upload(view, path, base, data, &response));
    return response;
  }

  // Raw connection for forged bytes; returns once the server closed it
  // (true) or after a generous bound (false).
  bool ServerClosesAfter(const std::string& bytes, bool half_close) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, m_server->SocketPath().c_str());
    // The server serves one connection at a time: this one waits until the
    // fixture's client is done.
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
    EXPECT_EQ(static_cast<ssize_t>(bytes.size()), send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL));
    if (half_close) shutdown(fd, SHUT_WR);
    bool closed = false;
    for (int i = 0; i < 200 && !closed; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) == 1) {
        char buffer[256];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        closed = n <= 0;
      }
    }
    close(fd);
    return closed;
  }

  TempDir m_dir;
  std::unique_ptr<ServerThread> m_server;
  RefClient m_client;
  int m_files = 0;
};

TEST_F(RefServerTest, ConnectAndKeepAlive) {
  NConnectResponse first, second;
  ASSERT_EQ(0, m_client.Connect(&first));
  EXPECT_EQ(0u, first.m_error_code);
  // A keep alive is answered with nothing: the next bytes on the wire are
  // the following connect's answer.
  ASSERT_EQ(0, m_client.KeepAlive());
  ASSERT_EQ(0, m_client.Connect(&second));
  EXPECT_EQ(0u, second.m_error_code);
  EXPECT_NE(first.m_conn_num, second.m_conn_num);
  EXPECT_NE(0u, first.m_conn_num);
}

TEST_F(RefServerTest, UploadThenDownloadHandsOutAPlacedCopy) {
  std::string mac = m_dir.WriteFile("client/mac", "AppleDouble bytes");
  NUploadResponse up;
  ASSERT_EQ(0, m_client.Upload(42, "/docs/report.txt", 0, m_dir.WriteFile("client/data", "report body"), &up, mac));
  ASSERT_EQ(0u, up.m_error_code);
  EXPECT_EQ(2u, up.m_sync_id);  // "/docs" came first
  EXPECT_EQ("report.txt", up.m_name);
  EXPECT_EQ(1700000000u, up.m_mtime);
  EXPECT_NE(42u, up.m_parent_id);

  NDownloadResponse down;
  ASSERT_EQ(0, m_client.Download(42, "/docs/report.txt", 0, &down, 4));
  ASSERT_EQ(0u, down.m_error_code);
  EXPECT_EQ(up.m_sync_id, down.m_sync_id);
  EXPECT_EQ(up.m_node_id, down.m_node_id);
  EXPECT_EQ(up.m_parent_id, down.m_parent_id);
  EXPECT_EQ("report.txt", down.m_name);
  EXPECT_EQ("/docs/report.txt", down.m_path);
  EXPECT_TRUE(down.IsFile());
  EXPECT_EQ(1000u, down.m_uid);
  EXPECT_EQ(100u, down.m_gid);
  EXPECT_EQ(1700000000u, down.m_mtime);
  EXPECT_EQ(11u, down.m_size);
  EXPECT_EQ(FileMD4(m_dir / "client/data"), down.m_data_hash);
  EXPECT_EQ("report body", TempDir::ReadFile(down.m_data_path));
  EXPECT_EQ(FileMD4(mac), down.m_mac_hash);
  EXPECT_EQ("AppleDouble bytes", TempDir::ReadFile(down.m_mac_data_path));

  // Every worker of the client shares its connection: another worker's
  // request, or a keep-alive, leaves the copies where they are...
  ASSERT_EQ(0, m_client.KeepAlive());
  NDownloadResponse other;
  ASSERT_EQ(0, m_client.Download(42, "/docs/report.txt", 0, &other, 5));
  EXPECT_TRUE(Exists(down.m_data_path));
  EXPECT_TRUE(Exists(down.m_mac_data_path));

  // ...they go when the worker that asked comes back...
  NDownloadResponse dir;
  ASSERT_EQ(0, m_client.Download(42, "/docs", 0, &dir, 4));
  EXPECT_TRUE(WaitFor([&] { return !Exists(down.m_data_path) && !Exists(down.m_mac_data_path); }));
  EXPECT_TRUE(Exists(other.m_data_path));
  ASSERT_EQ(0u, dir.m_error_code);
  EXPECT_TRUE(dir.IsDir());
  EXPECT_EQ(up.m_parent_id, dir.m_node_id);
  EXPECT_EQ(42u, dir.m_parent_id);
  EXPECT_TRUE(dir.m_data_path.empty());

  // ...or when the connection closes.
  NDownloadResponse again;
  ASSERT_EQ(0, m_client.Download(42, "/docs/report.txt", 1, &again));
  ASSERT_EQ(0u, again.m_error_code);
  ASSERT_TRUE(Exists(again.m_data_path));
  m_client.Close();
  EXPECT_TRUE(WaitFor([&] { return !Exists(again.m_data_path); }));
}

TEST_F(RefServerTest, ErrorCodesOfEachExchange) {
  NUploadResponse file = UploadText(7, "/f", 0, "one");
  ASSERT_EQ(0u, file.m_error_code);
  EXPECT_EQ(2u, UploadText(7, "/f", 0, "two").m_error_code);  // conflict

  NUploadRequest bad_size;
  bad_size.m_view_id = 7;
  bad_size.m_path = "/g";
  bad_size.m_data_path = m_dir.WriteFile("client/g", "gg");
  bad_size.m_size = 3;
  bad_size.m_hash = FileMD4(bad_size.m_data_path);
  NUploadResponse mismatch;
  ASSERT_EQ(0, m_client.Upload(bad_size, &mismatch));
  EXPECT_EQ(1u, mismatch.m_error_code);
  // A small content is checked before the answer.
  NUploadRequest bad_hash = bad_size;
  bad_hash.m_size = 2;
  bad_hash.m_hash = std::string(32, 'a');
  ASSERT_EQ(0, m_client.Upload(bad_hash, &mismatch));
  EXPECT_EQ(1u, mismatch.m_error_code);

  NDownloadResponse down;
  ASSERT_EQ(0, m_client.Download(7, "/missing", 0, &down));
  EXPECT_EQ(6u, down.m_error_code);
  ASSERT_EQ(0, m_client.Download(7, "/f", file.m_sync_id, &down));
  EXPECT_EQ(7u, down.m_error_code);

  NRemoveResponse rm;
  ASSERT_EQ(0, m_client.Remove(7, "/f", file.m_sync_id - 1, &rm));
  EXPECT_EQ(8u, rm.m_error_code);
  ASSERT_EQ(0, m_client.Remove(7, "/f", file.m_sync_id, &rm));
  EXPECT_EQ(0u, rm.m_error_code);
  ASSERT_EQ(0, m_client.Remove(7, "/f", file.m_sync_id, &rm));
  EXPECT_EQ(6u, rm.m_error_code);
  ASSERT_EQ(0, m_client.Download(7, "/f", 0, &down));
  EXPECT_EQ(6u, down.m_error_code);

  // The connection is still good after every refusal.
  NConnectResponse connect;
  ASSERT_EQ(0, m_client.Connect(&connect));
  EXPECT_EQ(0u, connect.m_error_code);
}

// The daemon's MD4 is checked after the answer: content that does not have
// it is taken out and never handed out under that MD4, and a good content
// already kept under it stays.
TEST_F(RefServerTest, AWrongMD4FoundAfterTheAnswerIsNeverHandedOut) {
  m_server->Store()->SetLaterCheckMinimum(0);  // big contents only, else
  NUploadResponse good = UploadText(7, "/good", 0, "good content");
  ASSERT_EQ(0u, good.m_error_code);
  struct Case {
    const char* path;
    std::string claimed;
  } cases[] = {
      {"/new-hash", std::string(32, 'a')},
      {"/kept-hash", FileMD4(m_dir / "client/1")},  // the MD4 of "/good"
  };
  uint64_t recorded_sync_id = 0;
  for (const Case& c : cases) {
    NUploadRequest request;
    request.m_view_id = 7;
    request.m_path = c.path;
    request.m_data_path = m_dir.WriteFile(std::string("client") + c.path, "other content");
    request.m_size = 13;
    request.m_hash = c.claimed;
    NUploadResponse answer;
    ASSERT_EQ(0, m_client.Upload(request, &answer)) << c.path;
    ASSERT_EQ(0u, answer.m_error_code) << c.path;
    if (std::string(c.path) == "/new-hash") recorded_sync_id = answer.m_sync_id;
    NDownloadResponse down;
    ASSERT_EQ(0, m_client.Download(7, c.path, 0, &down)) << c.path;
    bool kept = c.claimed == FileMD4(m_dir / "client/1");
    // Under an MD4 the store already held, the download gets that good
    // content (which is what the MD4 says); else nothing.
    EXPECT_EQ(kept ? 0u : 1u, down.m_error_code) << c.path;
    if (kept) {
      EXPECT_EQ("good content", TempDir::ReadFile(down.m_data_path));
    }
  }
  EXPECT_EQ(2u, m_server->Store()->FailedChecks());
  NDownloadResponse down;
  ASSERT_EQ(0, m_client.Download(7, "/good", 0, &down));
  ASSERT_EQ(0u, down.m_error_code);
  EXPECT_EQ("good content", TempDir::ReadFile(down.m_data_path));
  // The path is not stuck: the next upload of it, on the recorded version
  // and with the right MD4, goes in.
  NUploadRequest fixed;
  fixed.m_view_id = 7;
  fixed.m_path = "/new-hash";
  fixed.m_data_path = m_dir.WriteFile("client/fixed", "other content");
  fixed.m_size = 13;
  fixed.m_hash = FileMD4(fixed.m_data_path);
  fixed.m_base_sync_id = recorded_sync_id;
  NUploadResponse answer;
  ASSERT_EQ(0, m_client.Upload(fixed, &answer));
  ASSERT_EQ(0u, answer.m_error_code);
  ASSERT_EQ(0, m_client.Download(7, "/new-hash", 0, &down));
  ASSERT_EQ(0u, down.m_error_code);
  EXPECT_EQ("other content", TempDir::ReadFile(down.m_data_path));
  EXPECT_EQ(2u, m_server->Store()->FailedChecks());
}

// A download copy is a second name of the stored object where the volume
// allows: a client that writes to it or keeps it must not change history.
TEST_F(RefServerTest, LinkedDownloadCopiesNeverLetTheClientChangeTheStore) {
  NUploadResponse up = UploadText(7, "/f", 0, "stored content");
  ASSERT_EQ(0u, up.m_error_code);
  std::string object = m_server->Store()->ObjectPath(FileMD4(m_dir / "client/1"));
  struct Case {
    const char* name;
    bool write;  // the client writes to its copy, else keeps a name of it
  } cases[] = {{"kept", false}, {"written", true}};
  for (const Case& c : cases) {
    NDownloadResponse down;
    ASSERT_EQ(0, m_client.Download(7, "/f", 0, &down, 4)) << c.name;
    ASSERT_EQ(0u, down.m_error_code) << c.name;
    struct stat placed {}, stored {};
    ASSERT_EQ(0, stat(down.m_data_path.c_str(), &placed));
    ASSERT_EQ(0, stat(object.c_str(), &stored));
    EXPECT_EQ(stored.st_ino, placed.st_ino) << c.name << ": no data copied";
    std::string kept = m_dir / (std::string("client/kept-") + c.name);
    if (c.write) {
      FILE* f = fopen(down.m_data_path.c_str(), "a");
      ASSERT_NE(nullptr, f);
      fputs(" and more", f);
      fclose(f);
    } else {
      ASSERT_EQ(0, link(down.m_data_path.c_str(), kept.c_str()));
    }
    // The same worker comes back: its copy goes, and the store looks.
    NDownloadResponse next;
    ASSERT_EQ(0, m_client.Download(7, "/missing", 0, &next, 4));
    if (c.write) {
      EXPECT_FALSE(Exists(object)) << "changed content is not kept under its MD4";
      ASSERT_EQ(0, m_client.Download(7, "/f", 0, &down, 4));
      EXPECT_EQ(1u, down.m_error_code);
    } else {
      ASSERT_EQ(0, stat(object.c_str(), &stored));
      ASSERT_EQ(0, stat(kept.c_str(), &placed));
      EXPECT_NE(stored.st_ino, placed.st_ino) << "the store took a copy of its own";
      FILE* f = fopen(kept.c_str(), "a");
      fputs(" edited", f);
      fclose(f);
      EXPECT_EQ("stored content", TempDir::ReadFile(object));
    }
  }
}

TEST_F(RefServerTest, RefusedPathsChangeNothing) {
  ASSERT_EQ(0u, UploadText(7, "/keep", 0, "k").m_error_code);
  NPullEventResponse before;
  ASSERT_EQ(0, m_client.Pull(0, 0, &before));
  for (const char* path : {"relative", "", "/a/../keep", "/..", "/a/./b", "/a//b"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(19u, UploadText(7, path, 0, "x").m_error_code);
    NUploadResponse dir;
    ASSERT_EQ(0, m_client.Upload(7, path, 0, "", &dir));
    EXPECT_EQ(19u, dir.m_error_code);
    NDownloadResponse down;
    ASSERT_EQ(0, m_client.Download(7, path, 0, &down));
    EXPECT_EQ(19u, down.m_error_code);
    NRemoveResponse rm;
    ASSERT_EQ(0, m_client.Remove(7, path, 100, &rm));
    EXPECT_EQ(19u, rm.m_error_code);
  }
  // The data path is a file on this machine: it too must be absolute and
  // must not climb.
  NUploadRequest sneaky;
  sneaky.m_view_id = 7;
  sneaky.m_path = "/x";
  sneaky.m_data_path = "client/1";
  NUploadResponse refused;
  ASSERT_EQ(0, m_client.Upload(sneaky, &refused));
  EXPECT_EQ(19u, refused.m_error_code);
  sneaky.m_data_path = m_dir.Path() + "/client/../client/1";
  ASSERT_EQ(0, m_client.Upload(sneaky, &refused));
  EXPECT_EQ(19u, refused.m_error_code);

  NPullEventResponse after;
  ASSERT_EQ(0, m_client.Pull(0, 0, &after));
  EXPECT_EQ(before.m_sync_id, after.m_sync_id);
  EXPECT_EQ(before.m_events.size(), after.m_events.size());
}

TEST_F(RefServerTest, PullAnswersInBatchesAndRepeats) {
  NUploadResponse a = UploadText(7, "/d/a", 0, "a");  // "/d" is sync id 1, "/d/a" 2
  ASSERT_EQ(0u, UploadText(8, "/b", 0, "b").m_error_code);  // 3
  NRemoveResponse rm;
  ASSERT_EQ(0, m_client.Remove(7, "/d", a.m_sync_id, &rm));  // "/d" 4, "/d/a" 5
  ASSERT_EQ(0u, rm.m_error_code);

  NPullEventResponse first;
  ASSERT_EQ(0, m_client.Pull(0, 0, &first));
  ASSERT_EQ(0u, first.m_error_code);
  ASSERT_EQ(2u, first.m_events.size());  // batch of 2
  EXPECT_EQ(2u, first.m_sync_id);
  EXPECT_EQ("/d", first.m_events[0].m_path);
  EXPECT_TRUE(first.m_events[0].IsDir());
  EXPECT_FALSE(first.m_events[0].IsDeleted());
  EXPECT_EQ(7u, first.m_events[0].m_reserved);  // parent: the view root
  EXPECT_EQ(a.m_node_id, first.m_events[1].m_node_id);
  EXPECT_EQ(1u, first.m_events[1].m_size);
  EXPECT_EQ(FileMD4(m_dir / "client/1"), first.m_events[1].m_hash);

  NPullEventResponse repeat;
  ASSERT_EQ(0, m_client.Pull(0, 0, &repeat));
  ASSERT_EQ(2u, repeat.m_events.size());
  EXPECT_EQ(first.m_sync_id, repeat.m_sync_id);
  EXPECT_EQ(first.m_events[1].m_path, repeat.m_events[1].m_path);

  NPullEventResponse rest;
  ASSERT_EQ(0, m_client.Pull(0, 3, &rest));
  ASSERT_EQ(2u, rest.m_events.size());
  EXPECT_EQ(5u, rest.m_sync_id);
  EXPECT_EQ(NServerEvent::FLAG_DIR | NServerEvent::FLAG_DELETED, rest.m_events[0].m_flags);
  EXPECT_EQ(NServerEvent::FLAG_DELETED, rest.m_events[1].m_flags);

  NPullEventResponse view8;
  ASSERT_EQ(0, m_client.Pull(8, 0, &view8));
  ASSERT_EQ(1u, view8.m_events.size());
  EXPECT_EQ(3u, view8.m_sync_id);
  EXPECT_EQ(8u, view8.m_events[0].m_view_id);

  NPullEventResponse nothing;
  ASSERT_EQ(0, m_client.Pull(0, 5, &nothing));
  EXPECT_EQ(0u, nothing.m_error_code);
  EXPECT_EQ(5u, nothing.m_sync_id);  // the requested position
  EXPECT_TRUE(nothing.m_events.empty());
}

TEST_F(RefServerTest, MalformedInputClosesOnlyThatConnection) {
  m_client.Close();
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"unknown command", U32(99)},
      {"command 0", U32(0)},
      {"truncated command code", std::string("\0\0", 2)},
      {"truncated download", U32(3) + U64(0) + U64(7)},
      {"truncated upload", U32(2) + U64(0) + U64(7) + Str16("/f") + U32(0)},
      {"over-long path", U32(3) + U64(0) + U64(7) + U16(8193) + std::string(8193, 'a') + U32(0)},
      {"over-long greeting", U32(1) + U32(0xffffffffu) + "Hello"},
      {"connect then garbage", U32(1) + U32(2) + "hi" + U32(12345)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(ServerClosesAfter(c.bytes, true));
  }
  // An over-long string is refused before its bytes arrive: the server must
  // not wait for them.
  EXPECT_TRUE(ServerClosesAfter(U32(3) + U64(0) + U64(7) + U16(9000), false));

  RefClient fresh;
  ASSERT_EQ(0, fresh.Open(m_server->SocketPath()));
  NConnectResponse connect;
  ASSERT_EQ(0, fresh.Connect(&connect));
  EXPECT_EQ(0u, connect.m_error_code);
  NPullEventResponse pull;
  ASSERT_EQ(0, fresh.Pull(0, 0, &pull));
  EXPECT_TRUE(pull.m_events.empty());
}

TEST_F(RefServerTest, StopEndsAnIdleConnectionAndRemovesTheSocket) {
  NDownloadResponse down;
  ASSERT_EQ(0u, UploadText(7, "/f", 0, "data").m_error_code);
  ASSERT_EQ(0, m_client.Download(7, "/f", 0, &down));
  ASSERT_TRUE(Exists(down.m_data_path));
  m_server->Stop();  // joins the serving thread while the client stays connected
  EXPECT_FALSE(Exists(m_server->SocketPath()));
  EXPECT_FALSE(Exists(down.m_data_path));

  // A restarted server keeps the history.
  m_server->Start();
  ASSERT_TRUE(m_server->Ok());
  RefClient again;
  ASSERT_EQ(0, again.Open(m_server->SocketPath()));
  NPullEventResponse pull;
  ASSERT_EQ(0, again.Pull(7, 0, &pull));
  ASSERT_EQ(1u, pull.m_events.size());
  EXPECT_EQ("/f", pull.m_events[0].m_path);
  NUploadResponse next;
  ASSERT_EQ(0, again.Upload(7, "/g", 0, m_dir.WriteFile("client/g", "g"), &next));
  EXPECT_EQ(2u, next.m_sync_id);
}

}  // namespace
}  // namespace tide::test
