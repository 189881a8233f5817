#include "detect/varn_detector.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>

#include "core/client_config.h"
#include "core/log_capture.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "detect/detector_fixtures.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t ALICE = 1;
constexpr uint64_t BOB = 2;

class CapturingVarnDetector : public Capturing<VARNDetector> {
 public:
  explicit CapturingVarnDetector(const VarnotifyCalls& calls = SystemVarnotifyCalls())
      : Capturing<VARNDetector>(0, 0, calls) {}
};

// Scratch volume with the homes of alice and bob, and the local database.
class VarnFixture : public testing::Test {
 protected:
  void SetUp() override {
    Registry::Instance().Clear();
    ASSERT_EQ(0, NativeClientDb::Instance().Initialize(m_dir / "db/db.sqlite"));
    // The kernel reports resolved paths.
    m_root = fs::canonical(m_dir.Path());
    m_alice = Mkdir("volume1/homes/alice");
    m_bob = Mkdir("volume1/homes/bob");
  }
  void TearDown() override {
    NativeClientDb::Instance().Close();
    Registry::Instance().Clear();
  }
  std::string Mkdir(const std::string& relative) {
    fs::create_directories(m_root + "/" + relative);
    return m_root + "/" + relative;
  }
  std::string Write(const std::string& relative, const std::string& contents) {
    return m_dir.WriteFile(relative, contents);
  }
  // Handles records until the volume has been quiet for one wait (pending
  // moves are flushed then); returns what was delivered.
  std::vector<Seen> Settle(CapturingVarnDetector& detector) {
    for (int passes = 0; passes < 100000 && detector.RunOnce().m_outcome == DETECTOR_PASS_HANDLED; ++passes) {
    }
    return Brief(detector.Take());
  }
  void Record(uint64_t view_id, const std::string& path) {
    NodeRecord record;
    record.m_node_id = ++m_next_node;
    record.m_parent_id = view_id;
    record.m_view_id = view_id;
    record.m_path = path;
    record.m_name = fs::path(path).filename();
    ASSERT_EQ(0, NativeClientDb::Instance().UpsertNode(record));
  }

  test::TempDir m_dir;
  std::string m_root;
  std::string m_alice;
  std::string m_bob;
  uint64_t m_next_node = 100;
};

// Against the running kernel's notification calls.
class VarnDetectorTest : public VarnFixture {
 protected:
  void SetUp() override {
    VarnFixture::SetUp();
    if (!m_detector.IsOpen()) {
      GTEST_SKIP() << "no volume notification here";
    }
    m_detector.SetVolumePrefix(m_root + "/volume");
    // What start-up hands the detector: registration's forgetting of a view.
    m_detector.SetViewWithdrawnCallback([](uint64_t view_id) {
      Registry::Instance().Remove(view_id);
      NativeClientDb::Instance().DeleteViewNodes(view_id);
    });
    ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
    ASSERT_EQ(0, m_detector.AddWatch(m_bob + "/", BOB));  // a trailing "/" is dropped
  }
  std::vector<Seen> Settle() { return VarnFixture::Settle(m_detector); }

  CapturingVarnDetector m_detector;
};

TEST_F(VarnDetectorTest, NewFilesAndDirectories) {
  Write("volume1/homes/alice/a.txt", "hello");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/a.txt", ALICE, 0}}), Settle());
  ASSERT_EQ(0, link((m_alice + "/a.txt").c_str(), (m_alice + "/b.txt").c_str()));
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/b.txt", ALICE, 0}}), Settle());
  ASSERT_EQ(0, symlink("a.txt", (m_alice + "/s").c_str()));
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  // The volume watch sees inside a new directory at once: no walk needed.
  Mkdir("volume1/homes/alice/d/e");
  Write("volume1/homes/alice/d/e/f", "x");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/d", ALICE, EVENT_FLAG_DIR},
                               {UPLOAD_LOCAL, "/d/e", ALICE, EVENT_FLAG_DIR},
                               {UPLOAD_LOCAL, "/d/e/f", ALICE, 0}}),
            Settle());
  // A neighbour whose name starts like a view's is no part of it.
  Write("volume1/homes/alice2/x", "1");
  Write("volume1/homes/x", "1");
  EXPECT_EQ(std::vector<Seen>{}, Settle());
}

TEST_F(VarnDetectorTest, RenamesAndMoves) {
  Write("volume1/homes/alice/a", "1");
  Write("volume1/homes/alice/x", "2");
  Write("volume1/homes/alice/out", "3");
  Mkdir("outside/dir/inner");
  Settle();
  struct Case {
    const char* what;
    std::string from;
    std::string to;
    std::vector<Seen> expected;
  };
  const Case cases[] = {
      {"inside a view", m_alice + "/a", m_alice + "/b",
       {{REMOVE_REMOTE, "/a", ALICE, 0}, {UPLOAD_LOCAL, "/b", ALICE, 0}}},
      {"to another view", m_alice + "/x", m_bob + "/x", {{REMOVE_REMOTE, "/x", ALICE, 0}, {UPLOAD_LOCAL, "/x", BOB, 0}}},
      {"out of every view", m_alice + "/out", m_root + "/elsewhere", {{REMOVE_REMOTE, "/out", ALICE, 0}}},
      {"in from outside", m_root + "/elsewhere", m_bob + "/in", {{UPLOAD_LOCAL, "/in", BOB, 0}}},
      // Its contents were never reported: the walk of the new folder finds them.
      {"a folder in from outside", m_root + "/outside/dir", m_bob + "/dir",
       {{UPLOAD_LOCAL, "/dir", BOB, EVENT_FLAG_DIR}, {EXPAND, "/dir", BOB, EVENT_FLAG_DIR}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::rename(c.from, c.to);
    EXPECT_EQ(c.expected, Settle());
    EXPECT_EQ(0u, m_detector.PendingMoveCount());
  }
}

TEST_F(VarnDetectorTest, MovesOutOfTheWorkingDirectoryAreSilent) {
  std::string work = m_root + "/volume1/@tmp/" + ClientConfig::Instance().m_work_dir_name;
  EXPECT_TRUE(fs::is_directory(work + "/@eaDir"));
  Write("volume1/@tmp/" + ClientConfig::Instance().m_work_dir_name + "/t123", "downloaded");
  fs::rename(work + "/t123", m_alice + "/doc.txt");
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  EXPECT_EQ(0u, m_detector.PendingMoveCount());
}

TEST_F(VarnDetectorTest, CompanionsDeletionsAndUnchangedFiles) {
  Write("volume1/homes/alice/d/f", "master");
  Mkdir("volume1/homes/alice/d/@eaDir");
  Write("volume1/homes/alice/known", "12345");
  Write("volume1/homes/alice/unknown", "1");
  Settle();
  Write("volume1/homes/alice/d/@eaDir/f@VarnEAStream", "ea");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/d/f", ALICE, 0}}), Settle());

  Record(ALICE, "/known");
  fs::remove(m_alice + "/known");
  fs::remove(m_alice + "/unknown");
  EXPECT_EQ((std::vector<Seen>{{REMOVE_REMOTE, "/known", ALICE, 0}}), Settle());

  ASSERT_EQ(0, Registry::Instance().Add("alice", 0, "/volume1/homes/alice", ALICE, 0));
  std::string same = Write("volume1/homes/alice/same", "abc");
  Settle();
  struct stat st;
  ASSERT_EQ(0, stat(same.c_str(), &st));
  NodeRecord record;
  record.m_node_id = 500;
  record.m_view_id = ALICE;
  record.m_path = "/same";
  record.m_name = "same";
  record.m_mtime = static_cast<uint32_t>(st.st_mtime);
  record.m_size = 3;
  ASSERT_EQ(0, NativeClientDb::Instance().UpsertNode(record));
  int fd = open(same.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  Write("volume1/homes/alice/same", "abcd");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/same", ALICE, 0}}), Settle());
}

TEST_F(VarnDetectorTest, DeletedViewFolderWithdrawsTheView) {
  m_detector.SetUserDbHandlerSocket(m_dir / "handler.sock");
  ASSERT_EQ(0, Registry::Instance().Add("bob", 0, "/volume1/homes/bob", BOB, 0));
  Record(BOB, "/f");
  Write("volume1/homes/bob/f", "x");
  Settle();
  HandlerStub handler(m_dir / "handler.sock");
  fs::remove_all(m_bob);
  Settle();
  PObject request = handler.Request();
  EXPECT_EQ(2u, request.Find("action").AsUInt32());
  EXPECT_EQ("bob", request.Find("user_name").AsString());
  RegistryEntry entry;
  EXPECT_FALSE(Registry::Instance().GetByViewId(BOB, &entry));
  NodeRecord record;
  EXPECT_EQ(0, NativeClientDb::Instance().GetNodeByPath(BOB, "/f", &record));
  EXPECT_EQ((std::map<uint64_t, std::string>{{ALICE, m_alice}}), m_detector.Views());
  // The volume's watch stays for alice.
  Write("volume1/homes/alice/after", "1");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/after", ALICE, 0}}), Settle());
}

TEST_F(VarnDetectorTest, RunsAsATaskAndStops) {
  ASSERT_EQ(0, m_detector.Start());
  Write("volume1/homes/alice/t", "1");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (m_detector.Count() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Registration meets the running loop under the detector's mutex.
  EXPECT_EQ(0, m_detector.AddWatch(Mkdir("volume1/homes/carol"), 3));
  EXPECT_EQ(0, m_detector.RemoveWatch(3));
  m_detector.Pause();
  m_detector.Resume();
  m_detector.Stop();
  EXPECT_EQ(0, m_detector.Join());
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/t", ALICE, 0}}), Brief(m_detector.Take()));
}

// A stand-in for the kernel: records the watch calls, hands out the bytes a
// test queues, and can lack the 32-bit calls.
struct FakeKernel {
  std::vector<std::string> m_calls;
  std::string m_queued;
  bool m_lacks32 = false;
  int m_fail_errno = 0;  // every watch call fails with it when set
  int m_pipe[2] = {-1, -1};
};
FakeKernel g_fake;

int FakeWatch(const char* name, const char* path, uint64_t mask) {
  if (g_fake.m_fail_errno) {
    errno = g_fake.m_fail_errno;
    return -1;
  }
  g_fake.m_calls.push_back(std::string(name) + " " + path + " " + std::to_string(mask));
  return 0;
}
int FakeLacking() {
  errno = ENOSYS;
  return -1;
}

const VarnotifyCalls FAKE_CALLS = {
    [](int) {
      if (pipe(g_fake.m_pipe) < 0) return -1;
      return g_fake.m_pipe[0];
    },
    [](int, const char* path, uint64_t mask) { return FakeWatch("add64", path, mask); },
    [](int, const char* path, uint64_t mask) { return FakeWatch("remove64", path, mask); },
    [](int, const char* path, uint32_t mask) { return g_fake.m_lacks32 ? FakeLacking() : FakeWatch("add32", path, mask); },
    [](int, const char* path, uint32_t mask) {
      return g_fake.m_lacks32 ? FakeLacking() : FakeWatch("remove32", path, mask);
    },
    [](int, char* buffer, size_t size) -> long {
      if (g_fake.m_queued.empty()) {
        errno = EAGAIN;
        return -1;
      }
      size_t n = std::min(size, g_fake.m_queued.size());
      memcpy(buffer, g_fake.m_queued.data(), n);
      g_fake.m_queued.erase(0, n);
      return static_cast<long>(n);
    },
    [](int fd) {
      close(g_fake.m_pipe[1]);
      return close(fd);
    },
};

class VarnDetectorFakeKernelTest : public VarnFixture {
 protected:
  void SetUp() override {
    g_fake = FakeKernel();
    VarnFixture::SetUp();
    m_detector.SetVolumePrefix(m_root + "/volume");
  }
  void Queue(uint32_t mask, uint32_t cookie, const std::string& path) {
    AppendVarnotifyRecord(mask, cookie, path, &g_fake.m_queued);
  }
  std::vector<Seen> Settle() { return VarnFixture::Settle(m_detector); }
  CapturingVarnDetector m_detector{FAKE_CALLS};
};

TEST_F(VarnDetectorFakeKernelTest, OneKernelWatchPerVolume) {
  test::LogCapture log;
  const std::string mask = std::to_string(VARN_WATCH_MASK);
  std::string carol = Mkdir("volume2/homes/carol");
  ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
  ASSERT_EQ(0, m_detector.AddWatch(m_bob, BOB));
  ASSERT_EQ(0, m_detector.AddWatch(carol, 3));
  EXPECT_EQ(-1, m_detector.AddWatch(m_alice, 4));  // the same folder twice
  EXPECT_EQ((std::vector<std::string>{"add32 " + m_alice + " " + mask, "add32 " + carol + " " + mask}), g_fake.m_calls);
  // The kernel knows the volume's watch by alice's folder, also once alice
  // is gone.
  g_fake.m_calls.clear();
  EXPECT_EQ(0, m_detector.RemoveWatch(ALICE));
  EXPECT_EQ(std::vector<std::string>{}, g_fake.m_calls);
  EXPECT_EQ(0, m_detector.RemoveWatch(BOB));
  EXPECT_EQ(std::vector<std::string>{"remove32 " + m_alice + " " + mask}, g_fake.m_calls);
  EXPECT_EQ(-1, m_detector.RemoveWatch(BOB));
  EXPECT_TRUE(log.Contains("no such watch (view_id " + std::to_string(BOB) + ")"));
  EXPECT_EQ(-1, m_detector.RemoveWatch(0xFFFFFFFFull));
}

TEST_F(VarnDetectorFakeKernelTest, AWatchTheKernelRefusedToRemoveStaysTracked) {
  const std::string mask = std::to_string(VARN_WATCH_MASK);
  ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
  g_fake.m_calls.clear();
  g_fake.m_fail_errno = EIO;
  EXPECT_EQ(-1, m_detector.RemoveWatch(ALICE));
  // The kernel still watches the volume: a view added there again shares
  // that watch, and its removal is the one that reaches the kernel.
  g_fake.m_fail_errno = 0;
  ASSERT_EQ(0, m_detector.AddWatch(m_bob, BOB));
  EXPECT_EQ(std::vector<std::string>{}, g_fake.m_calls);
  EXPECT_EQ(0, m_detector.RemoveWatch(BOB));
  EXPECT_EQ(std::vector<std::string>{"remove32 " + m_alice + " " + mask}, g_fake.m_calls);
}

TEST_F(VarnDetectorFakeKernelTest, WatchCallsFallBackTo64BitsAndFailures) {
  const std::string mask = std::to_string(VARN_WATCH_MASK);
  g_fake.m_lacks32 = true;
  ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
  ASSERT_EQ(0, m_detector.RemoveWatch(ALICE));
  EXPECT_EQ((std::vector<std::string>{"add64 " + m_alice + " " + mask, "remove64 " + m_alice + " " + mask}),
            g_fake.m_calls);
  // Any other refusal is final; the view is not taken.
  g_fake = FakeKernel{{}, {}, false, EACCES, {g_fake.m_pipe[0], g_fake.m_pipe[1]}};
  EXPECT_EQ(-1, m_detector.AddWatch(m_alice, ALICE));
  EXPECT_EQ(std::vector<std::string>{}, g_fake.m_calls);
  EXPECT_TRUE(m_detector.Views().empty());
}

TEST_F(VarnDetectorFakeKernelTest, OverflowRescansEveryViewAndForgetsPendingMoves) {
  ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
  ASSERT_EQ(0, m_detector.AddWatch(m_bob, BOB));
  Queue(IN_MOVED_FROM, 9, m_alice + "/a");
  Queue(IN_Q_OVERFLOW, 0, "");
  Queue(IN_MOVED_TO, 9, m_alice + "/b");  // its other half was lost
  Write("volume1/homes/alice/b", "1");
  EXPECT_EQ((std::vector<Seen>{{RESCAN_SYNC, "/", ALICE, EVENT_FLAG_DIR},
                               {RESCAN_SYNC, "/", BOB, EVENT_FLAG_DIR},
                               {UPLOAD_LOCAL, "/b", ALICE, 0}}),
            Settle());
}

TEST_F(VarnDetectorFakeKernelTest, BrokenRecordsAndForeignPathsAreDropped) {
  ASSERT_EQ(0, m_detector.AddWatch(m_alice, ALICE));
  Write("volume1/homes/alice/good", "1");
  Queue(IN_CLOSE_WRITE, 0, m_root + "/volume1/homes/x");       // in no view
  Queue(IN_CLOSE_WRITE, 0, m_root + "/volume1/@tmp/whatever");  // working directory, not a move
  Queue(IN_CLOSE_WRITE, 0, "relative/path");
  // A record claiming a path longer than the rest of the read.
  g_fake.m_queued += std::string("\x08\0\0\0\0\0\0\0\xff\x0f\0\0/trunc", 18);
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  // The next read starts clean.
  Queue(IN_CLOSE_WRITE, 0, m_alice + "/good");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/good", ALICE, 0}}), Settle());
}

}  // namespace
}  // namespace tide
