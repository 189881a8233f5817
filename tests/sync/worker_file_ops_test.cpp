#include "sync/worker_file_ops.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/client_config.h"
#include "support/temp_dir.h"
#include "sync/file_ops.h"
#include "sync/index_notify.h"
#include "sync/private_mount.h"

namespace tide {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

size_t CountEntries(const std::string& path) {
  FSDir dir;
  if (FSOpenDir(path, 0, &dir) < 0) return 0;
  size_t count = 0;
  std::string name;
  while (dir.Next(&name) == 1) ++count;
  return count;
}

// A stand-in for the indexing service: collects one message per connection.
class IndexListener {
 public:
  explicit IndexListener(const std::string& path) : m_path(path) {
    // Non-blocking: NotifyIndex has connected before it returns, so every
    // message is queued by the time the test drains them.
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_fd, 64);
    SetIndexSocketPathForTest(path);
  }
  ~IndexListener() {
    SetIndexSocketPathForTest("");
    close(m_fd);
  }
  // Messages already queued (the sender closes each connection after
  // writing, so reading to the end never waits long).
  std::vector<std::string> Drain() {
    std::vector<std::string> messages;
    for (;;) {
      int client = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK);
      if (client < 0) break;
      std::string message;
      char buffer[512];
      for (;;) {
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got > 0) {
          message.append(buffer, static_cast<size_t>(got));
          continue;
        }
        if (got < 0 && errno == EAGAIN) {
          usleep(1000);
          continue;
        }
        break;
      }
      close(client);
      messages.push_back(message);
    }
    return messages;
  }

 private:
  std::string m_path;
  int m_fd;
};

class WorkerFileOpsTest : public testing::Test {
 protected:
  test::TempDir m_dir;
};

TEST_F(WorkerFileOpsTest, RemoveFileTakesItsCompanions) {
  std::string file = m_dir.WriteFile("d/f.txt", "x");
  m_dir.WriteFile("d/@eaDir/f.txt@VarnEAStream", "ea");
  m_dir.WriteFile("d/@eaDir/f.txt@VarnResource", "rs");
  m_dir.WriteFile("d/@eaDir/g.txt@VarnEAStream", "other");
  EXPECT_EQ(RemoveFile(file), 0);
  EXPECT_FALSE(Exists(file));
  EXPECT_FALSE(Exists(m_dir / "d/@eaDir/f.txt@VarnEAStream"));
  EXPECT_FALSE(Exists(m_dir / "d/@eaDir/f.txt@VarnResource"));
  EXPECT_TRUE(Exists(m_dir / "d/@eaDir/g.txt@VarnEAStream"));
  EXPECT_EQ(RemoveFile(file), 0);  // already gone
  ASSERT_EQ(FSMkdir(m_dir / "d/sub", false), 0);
  EXPECT_EQ(RemoveFile(m_dir / "d/sub"), -1);
}

TEST_F(WorkerFileOpsTest, CopyFileHonoursTheAbortFlag) {
  std::string data(5 * 1024 * 1024 + 3, 'c');
  std::string source = m_dir.WriteFile("src", data);
  std::atomic<int> abort_flag{0};
  ASSERT_EQ(CopyFile(source, m_dir / "dst", &abort_flag), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "dst"), data);
  ASSERT_EQ(CopyFile(source, m_dir / "dst2", nullptr), 0);

  abort_flag = 1;
  errno = 0;
  EXPECT_EQ(CopyFile(source, m_dir / "aborted", &abort_flag), -1);
  EXPECT_EQ(errno, ECANCELED);
  EXPECT_FALSE(Exists(m_dir / "aborted"));  // nothing was even opened

  errno = 0;
  EXPECT_EQ(CopyFile(m_dir / "missing", m_dir / "x", nullptr), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(Exists(source + "-never"));
}

TEST_F(WorkerFileOpsTest, CopyFileOnAFullDiskLeavesENOSPC) {
  std::string source = m_dir.WriteFile("big", std::string(3 * 1024 * 1024, 'b'));
  ASSERT_EQ(FSMkdir(m_dir / "small", false), 0);
  std::string target = m_dir / "small/copy";
  int status = test::RunWithSmallTmpfs(m_dir / "small", "1m", [&] {
    errno = 0;
    if (CopyFile(source, target, nullptr) != -1) return 1;
    if (errno != ENOSPC) return 2;
    return 0;
  });
  if (status == test::MOUNT_NOT_PERMITTED) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(status, 0);
}

TEST_F(WorkerFileOpsTest, CreateDirectoryOwnsAndAnnouncesEachNewLevel) {
  IndexListener listener(m_dir / "index.sock");
  ASSERT_EQ(FSMkdir(m_dir / "root", false), 0);
  std::string path = m_dir / "root/a/b";
  ASSERT_EQ(CreateDirectory(path, 4321, 8765, true), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 8765u);
  ASSERT_EQ(stat((m_dir / "root").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(listener.Drain(), (std::vector<std::string>{"a" + m_dir / "root/a", "a" + path}));

  EXPECT_EQ(CreateDirectory(path, 1, 1, true), 0);  // exists: nothing happens
  EXPECT_TRUE(listener.Drain().empty());
  ASSERT_EQ(CreateDirectory(m_dir / "root/quiet", 0, 0, false), 0);
  EXPECT_TRUE(listener.Drain().empty());

  m_dir.WriteFile("root/file", "x");
  EXPECT_EQ(CreateDirectory(m_dir / "root/file/sub", 0, 0, false), -1);
}

TEST_F(WorkerFileOpsTest, NotifyIndexSendsOneMessageOrNothing) {
  {
    IndexListener listener(m_dir / "index.sock");
    EXPECT_EQ(NotifyIndex(INDEX_DIRECTORY_REMOVED, "/volume1/share/dir"), 0);
    EXPECT_EQ(NotifyIndex(INDEX_FILE_REMOVED, "/volume1/share/f"), 0);
    EXPECT_EQ(listener.Drain(), (std::vector<std::string>{"D/volume1/share/dir", "d/volume1/share/f"}));

    ClientConfig::Instance().m_do_index = false;
    EXPECT_EQ(NotifyIndex(INDEX_ADDED, "/x"), 0);
    ClientConfig::Instance().m_do_index = true;
    EXPECT_TRUE(listener.Drain().empty());
  }
  SetIndexSocketPathForTest(m_dir / "nobody-listens");
  EXPECT_LT(NotifyIndex(INDEX_ADDED, "/x"), 0);
  SetIndexSocketPathForTest("");
}

TEST_F(WorkerFileOpsTest, MoveFileCarriesTheCompanions) {
  std::string source = m_dir.WriteFile("tmp/XYZ", "new contents");
  m_dir.WriteFile("tmp/@eaDir/XYZ@VarnEAStream", "ea");
  m_dir.WriteFile("tmp/@eaDir/XYZ@VarnResource", "rs");
  m_dir.WriteFile("share/doc.txt", "old contents");
  ASSERT_EQ(MoveFile(source, m_dir / "share/doc.txt"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "share/doc.txt"), "new contents");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "share/@eaDir/doc.txt@VarnEAStream"), "ea");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "share/@eaDir/doc.txt@VarnResource"), "rs");
  EXPECT_FALSE(Exists(m_dir / "tmp/@eaDir/XYZ@VarnEAStream"));

  // Without companions only the file moves.
  std::string plain = m_dir.WriteFile("tmp/plain", "p");
  ASSERT_EQ(MoveFile(plain, m_dir / "share/plain"), 0);
  EXPECT_FALSE(Exists(m_dir / "share/@eaDir/plain@VarnEAStream"));
  EXPECT_EQ(MoveFile(m_dir / "tmp/missing", m_dir / "share/x"), -1);
}

TEST_F(WorkerFileOpsTest, RemoveDirectoryParksThenDeletes) {
  m_dir.WriteFile("view/dir/a", "a");
  m_dir.WriteFile("view/dir/sub/b", "b");
  std::string outside = m_dir.WriteFile("outside/kept", "k");
  ASSERT_EQ(symlink((m_dir / "outside").c_str(), (m_dir / "view/dir/sub/link").c_str()), 0);
  ASSERT_EQ(FSMkdir(m_dir / "park", false), 0);
  ASSERT_EQ(RemoveDirectory(m_dir / "view/dir", m_dir / "park", nullptr), 0);
  EXPECT_FALSE(Exists(m_dir / "view/dir"));
  EXPECT_EQ(CountEntries(m_dir / "park"), 0u);
  EXPECT_TRUE(Exists(outside));

  // Aborted: the directory has still left the view; the rest waits in the
  // parking folder.
  m_dir.WriteFile("view/dir2/a", "a");
  std::atomic<int> abort_flag{1};
  ASSERT_EQ(RemoveDirectory(m_dir / "view/dir2", m_dir / "park", &abort_flag), 0);
  EXPECT_FALSE(Exists(m_dir / "view/dir2"));
  EXPECT_EQ(CountEntries(m_dir / "park"), 1u);

  EXPECT_EQ(RemoveDirectory(m_dir / "view/missing", m_dir / "park", nullptr), -1);
  EXPECT_EQ(CountEntries(m_dir / "park"), 1u);  // the unused parking folder is gone again
  EXPECT_EQ(RemoveDirectory(m_dir / "view", m_dir / "no-park", nullptr), -1);
  EXPECT_TRUE(Exists(m_dir / "view"));
}

}  // namespace
}  // namespace tide
