// The real binary: foreground and detached runs, the admin command line next
// to a running server, SIGTERM, and a restart that keeps the history.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "ref_client.h"
#include "support/temp_dir.h"

namespace tide::test {
namespace {

template <typename Pred>
bool WaitFor(Pred pred) {
  for (int i = 0; i < 1500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

class RefProcessTest : public ::testing::Test {
 protected:
  std::string Base() const {
    return std::string(REFSYNCD_BINARY) + " --db " + Quote(m_dir / "db/history.sqlite") + " --store " +
           Quote(m_dir / "store");
  }
  // Runs an admin command; returns its exit status, stdout in *out.
  int Admin(const std::string& args, std::string* out = nullptr) {
    std::string command = Base() + " " + args + " 2>>" + Quote(m_dir / "admin.err");
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    int status = pclose(pipe);
    if (out) *out = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string AdminOut(const std::string& args) {
    std::string out;
    EXPECT_EQ(0, Admin(args, &out)) << args << "\n" << TempDir::ReadFile(m_dir / "admin.err");
    return out;
  }

  pid_t StartForeground() {
    pid_t pid = fork();
    if (pid == 0) {
      std::string db = m_dir / "db/history.sqlite", store = m_dir / "store", sock = Socket(),
                  log = m_dir / "server.log";
      execl(REFSYNCD_BINARY, REFSYNCD_BINARY, "--db", db.c_str(), "--store", store.c_str(), "--socket", sock.c_str(),
            "--batch", "3", "--foreground", "--log", log.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  bool Reachable() {
    RefClient probe;
    if (probe.Open(Socket()) != 0) return false;
    NConnectResponse response;
    return probe.Connect(&response) == 0 && response.m_error_code == 0;
  }
  // Exit status after SIGTERM, -1 when it did not end in time.
  int Terminate(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Socket() const { return m_dir / "sfsock"; }

  TempDir m_dir;
};

int CountLines(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

TEST_F(RefProcessTest, AdminCommandsBesideARunningServerAndARestart) {
  pid_t pid = StartForeground();
  ASSERT_TRUE(WaitFor([&] { return Reachable(); })) << TempDir::ReadFile(m_dir / "server.log");

  EXPECT_EQ("7\n", AdminOut("view-add 7 /volume9/share"));
  EXPECT_EQ("7\t/volume9/share\n", AdminOut("views"));
  m_dir.WriteFile("src/docs/a.txt", "alpha");
  m_dir.WriteFile("src/docs/sub/b.txt", "beta");
  AdminOut("put 7 " + Quote(m_dir / "src/docs") + " /docs");
  AdminOut("mkdir 7 /empty");
  EXPECT_EQ("5\n", AdminOut("sync-id"));  // /docs, /docs/a.txt, /docs/sub, /docs/sub/b.txt, /empty

  // A client of the running server sees the admin's changes, in batches.
  RefClient client;
  ASSERT_EQ(0, client.Open(Socket()));
  NPullEventResponse pull;
  ASSERT_EQ(0, client.Pull(7, 0, &pull));
  ASSERT_EQ(3u, pull.m_events.size());
  EXPECT_EQ("/docs/a.txt", pull.m_events[1].m_path);
  EXPECT_EQ(FileMD4(m_dir / "src/docs/a.txt"), pull.m_events[1].m_hash);
  NUploadResponse up;
  ASSERT_EQ(0, client.Upload(7, "/docs/c.txt", 0, m_dir.WriteFile("client/c", "gamma"), &up));
  ASSERT_EQ(0u, up.m_error_code);
  EXPECT_EQ(6u, up.m_sync_id);

  // The admin reads what the client wrote while the client stays connected.
  std::string tree = AdminOut("tree 7");
  EXPECT_EQ(6, CountLines(tree)) << tree;
  std::istringstream lines(tree);
  std::string type, sync, node, size, hash, path;
  bool seen = false;
  while (lines >> type >> sync >> node >> size >> hash >> path) {
    if (path != "/docs/c.txt") continue;
    seen = true;
    EXPECT_EQ("f", type);
    EXPECT_EQ("6", sync);
    EXPECT_EQ(std::to_string(up.m_node_id), node);
    EXPECT_EQ("5", size);
    EXPECT_EQ(FileMD4(m_dir / "client/c"), hash);
  }
  EXPECT_TRUE(seen) << tree;
  EXPECT_EQ(3, CountLines(AdminOut("ls 7 /docs")));
  AdminOut("get 7 /docs/c.txt " + Quote(m_dir / "got"));
  EXPECT_EQ("gamma", TempDir::ReadFile(m_dir / "got"));
  EXPECT_EQ("removed 2\n", AdminOut("rm 7 /docs/sub"));  // the folder and its one file
  client.Close();

  EXPECT_EQ(0, Terminate(pid));
  EXPECT_NE(std::string::npos, TempDir::ReadFile(m_dir / "server.log").find("stopped"));
  EXPECT_NE(0, access(Socket().c_str(), F_OK));

  // Restarted on the same files, the server carries on the history.
  pid = StartForeground();
  ASSERT_TRUE(WaitFor([&] { return Reachable(); }));
  RefClient after;
  ASSERT_EQ(0, after.Open(Socket()));
  NPullEventResponse tail;
  ASSERT_EQ(0, after.Pull(0, 6, &tail));
  ASSERT_EQ(2u, tail.m_events.size());
  EXPECT_TRUE(tail.m_events[0].IsDeleted());
  EXPECT_EQ("/docs/sub", tail.m_events[0].m_path);
  EXPECT_EQ(8u, tail.m_sync_id);
  after.Close();
  EXPECT_EQ(0, Terminate(pid));
}

TEST_F(RefProcessTest, DetachedServerIsReadyWhenTheCommandReturns) {
  std::string pid_file = m_dir / "refsyncd.pid";
  std::string command = Base() + " --socket " + Quote(Socket()) + " --pid-file " + Quote(pid_file);
  ASSERT_EQ(0, system(command.c_str()));
  EXPECT_TRUE(Reachable());  // no waiting: the parent left after the socket was up
  pid_t pid = 0;
  ASSERT_EQ(1, sscanf(TempDir::ReadFile(pid_file).c_str(), "%d", &pid));
  // A second server on the same socket refuses to start.
  EXPECT_NE(0, system((command + " --foreground 2>/dev/null").c_str()));
  EXPECT_TRUE(Reachable());
  kill(pid, SIGTERM);
  EXPECT_TRUE(WaitFor([&] { return access(pid_file.c_str(), F_OK) != 0; }));
  EXPECT_TRUE(WaitFor([&] { return access(Socket().c_str(), F_OK) != 0; }));
  EXPECT_NE(std::string::npos, TempDir::ReadFile(m_dir / "store/refsyncd.log").find("stopped"));
}

TEST_F(RefProcessTest, BadUsageAndRefusedAdminCommands) {
  struct Case {
    std::string args;
    int status;
  } cases[] = {
      {"frobnicate", 2},       {"put 7", 2},          {"put x a /b", 2},           {"rm 7 /missing", 1},
      {"put 7 /nonexistent /f", 1}, {"put 7 /etc/hostname ../f", 1}, {"ls 7 /", 1},  {"sync-id", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.status, Admin(c.args)) << c.args;
  std::string plain = std::string(REFSYNCD_BINARY) + " --foreground >/dev/null 2>&1";
  EXPECT_EQ(2, WEXITSTATUS(system(plain.c_str())));  // --db and --store are required
}

}  // namespace
}  // namespace tide::test
