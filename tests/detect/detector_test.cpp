#include "detect/detector.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "proto/ipc.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "proto/pstream.h"
#include "detect/detector_fixtures.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t ALICE = 1;
constexpr uint64_t BOB = 2;

class CapturingDetector : public Capturing<Detector> {
 public:
  CapturingDetector() : Capturing<Detector>(0, 0) {}
};

class DetectorTest : public testing::Test {
 protected:
  void SetUp() override {
    Registry::Instance().Clear();
    ASSERT_EQ(0, NativeClientDb::Instance().Initialize(m_dir / "db/db.sqlite"));
    m_detector.SetVolumePrefix(m_dir / "volume");
    // Start-up hands the detector registration's forgetting of a view; here
    // the registry entry and records go, as they would there.
    m_detector.SetViewWithdrawnCallback([](uint64_t view_id) {
      Registry::Instance().Remove(view_id);
      NativeClientDb::Instance().DeleteViewNodes(view_id);
    });
    m_alice = Mkdir("volume1/homes/alice");
    m_bob = Mkdir("volume1/homes/bob");
    ASSERT_GE(m_detector.AddWatch(m_alice, ALICE), 0);
    ASSERT_GE(m_detector.AddWatch(m_bob, BOB), 0);
  }
  void TearDown() override {
    NativeClientDb::Instance().Close();
    Registry::Instance().Clear();
  }
  std::string Mkdir(const std::string& relative) {
    fs::create_directories(m_dir / relative);
    return m_dir / relative;
  }
  // Handles events until the queue has been quiet for one wait (pending
  // moves are flushed then); returns what was delivered.
  std::vector<Seen> Settle() {
    for (int passes = 0; passes < 100000 && m_detector.RunOnce().m_outcome == DETECTOR_PASS_HANDLED; ++passes) {
    }
    return Brief(m_detector.Take());
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
  CapturingDetector m_detector;
  std::string m_alice;
  std::string m_bob;
  uint64_t m_next_node = 100;
};

TEST_F(DetectorTest, NewFileUploadsOnceAtCloseAndHardLinkAtCreation) {
  m_dir.WriteFile("volume1/homes/alice/a.txt", "hello");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/a.txt", ALICE, 0}}), Settle());
  ASSERT_EQ(0, link((m_alice + "/a.txt").c_str(), (m_alice + "/b.txt").c_str()));
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/b.txt", ALICE, 0}}), Settle());
  // A symbolic link is not a second name of a regular file: nothing.
  ASSERT_EQ(0, symlink("a.txt", (m_alice + "/s").c_str()));
  EXPECT_EQ(std::vector<Seen>{}, Settle());
}

TEST_F(DetectorTest, RenamesAndMoves) {
  m_dir.WriteFile("volume1/homes/alice/a", "1");
  m_dir.WriteFile("volume1/homes/alice/x", "2");
  m_dir.WriteFile("volume1/homes/alice/out", "3");
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
      // The upload comes at once, the removal once the queue is quiet.
      {"to another view", m_alice + "/x", m_bob + "/x", {{UPLOAD_LOCAL, "/x", BOB, 0}, {REMOVE_REMOTE, "/x", ALICE, 0}}},
      {"out of every view", m_alice + "/out", m_dir / "elsewhere", {{REMOVE_REMOTE, "/out", ALICE, 0}}},
      {"in from outside", m_dir / "elsewhere", m_bob + "/in", {{UPLOAD_LOCAL, "/in", BOB, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::rename(c.from, c.to);
    EXPECT_EQ(c.expected, Settle());
    EXPECT_EQ(0u, m_detector.PendingMoveCount());
  }
}

TEST_F(DetectorTest, WorkingDirectoryIsWatchedAndItsMovesAreSilent) {
  std::string work = m_dir / "volume1/@tmp/tide-clientd.tmp.dir";
  EXPECT_TRUE(fs::is_directory(work + "/@eaDir"));
  ASSERT_EQ(1u, m_detector.WorkingDirectoryRoots().size());
  // The daemon writes a temporary file there and moves it into a view.
  m_dir.WriteFile("volume1/@tmp/tide-clientd.tmp.dir/t123", "downloaded");
  fs::rename(work + "/t123", m_alice + "/doc.txt");
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  EXPECT_EQ(0u, m_detector.PendingMoveCount());
  // A folder outside any /volumeN has no working directory; it is still watched.
  EXPECT_GE(m_detector.AddWatch(Mkdir("plain"), 3), 0);
  EXPECT_EQ(1u, m_detector.WorkingDirectoryRoots().size());
}

TEST_F(DetectorTest, DirectoriesAreUploadedAndExpanded) {
  Mkdir("volume1/homes/alice/d/e");
  auto seen = Settle();
  // The inner directory may have been created before the outer one was
  // watched; the walk of "/d" finds it either way.
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ((Seen{UPLOAD_LOCAL, "/d", ALICE, EVENT_FLAG_DIR}), seen[0]);
  EXPECT_EQ((Seen{EXPAND, "/d", ALICE, EVENT_FLAG_DIR}), seen[1]);
  EXPECT_EQ((std::vector<std::string>{"/", "/d", "/d/e"}), m_detector.WatchedPaths()[m_detector.RootOfView(ALICE)]);

  fs::rename(m_alice + "/d", m_alice + "/r");
  EXPECT_EQ((std::vector<Seen>{{REMOVE_REMOTE, "/d", ALICE, EVENT_FLAG_DIR},
                               {UPLOAD_LOCAL, "/r", ALICE, EVENT_FLAG_DIR},
                               {EXPAND, "/r", ALICE, EVENT_FLAG_DIR}}),
            Settle());
  m_dir.WriteFile("volume1/homes/alice/r/e/f", "x");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/r/e/f", ALICE, 0}}), Settle());
}

TEST_F(DetectorTest, ReadingTheTreeQueuesNothing) {
  // Walks (rescans, resyncs, readers) must not fill the queue: a walk of a
  // large view would otherwise overflow it and start the next rescan.
  for (int i = 0; i < 50; ++i) m_dir.WriteFile("volume1/homes/alice/d" + std::to_string(i % 5) + "/f" + std::to_string(i), "x");
  Settle();
  for (const auto& entry : fs::recursive_directory_iterator(m_alice)) {
    if (entry.is_regular_file()) test::TempDir::ReadFile(entry.path());
  }
  EXPECT_EQ(std::vector<Seen>{}, Settle());
}

TEST_F(DetectorTest, CompanionChangesBecomeUploadsOfTheirMasterFile) {
  m_dir.WriteFile("volume1/homes/alice/d/f", "master");
  Mkdir("volume1/homes/alice/d/@eaDir");  // made while watched: still followed
  Settle();
  m_dir.WriteFile("volume1/homes/alice/d/@eaDir/f@VarnEAStream", "ea");
  m_dir.WriteFile("volume1/homes/alice/d/@eaDir/f@VarnResource", "rsrc");
  m_dir.WriteFile("volume1/homes/alice/d/@eaDir/gone@VarnEAStream", "ea");  // no master
  m_dir.WriteFile("volume1/homes/alice/d/@eaDir/f@Other", "?");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/d/f", ALICE, 0},
                               {UPLOAD_LOCAL, "/d/f", ALICE, 0},
                               {UPLOAD_LOCAL, "/d/@eaDir/gone@VarnEAStream", ALICE, 0},
                               {UPLOAD_LOCAL, "/d/@eaDir/f@Other", ALICE, 0}}),
            Settle());
  // Below the companion folder nothing is watched.
  Mkdir("volume1/homes/alice/d/@eaDir/f/deeper");
  Settle();
  m_dir.WriteFile("volume1/homes/alice/d/@eaDir/f/deeper/x", "1");
  EXPECT_EQ(std::vector<Seen>{}, Settle());
}

TEST_F(DetectorTest, DeletionsAndUnchangedFilesAgainstTheLocalDatabase) {
  m_dir.WriteFile("volume1/homes/alice/known", "12345");
  m_dir.WriteFile("volume1/homes/alice/unknown", "1");
  Settle();
  Record(ALICE, "/known");
  fs::remove(m_alice + "/known");
  fs::remove(m_alice + "/unknown");  // never synchronised: nothing to remove
  EXPECT_EQ((std::vector<Seen>{{REMOVE_REMOTE, "/known", ALICE, 0}}), Settle());

  // A file rewritten with the size and mtime the database records is
  // dropped once the view is registered; any difference is uploaded.
  ASSERT_EQ(0, Registry::Instance().Add("alice", 0, "/volume1/homes/alice", ALICE, 0));
  std::string same = m_dir.WriteFile("volume1/homes/alice/same", "abc");
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
  // Re-saving without any change: dropped.
  int fd = open(same.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(std::vector<Seen>{}, Settle());
  // Grown: uploaded.
  m_dir.WriteFile("volume1/homes/alice/same", "abcd");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/same", ALICE, 0}}), Settle());
}

TEST_F(DetectorTest, OverflowRescansEveryViewAndRecoversWatches) {
  // Far more events than the kernel queue holds, while nobody reads.
  Mkdir("volume1/homes/alice/burst");
  Settle();
  long limit = 16384;
  if (FILE* f = fopen("/proc/sys/fs/inotify/max_queued_events", "r")) {
    if (fscanf(f, "%ld", &limit) != 1) limit = 16384;
    fclose(f);
  }
  // Directories made during the overflow must be watched afterwards.
  Mkdir("volume1/homes/alice/burst/new/inner");
  for (long i = 0; i < limit / 2 + 1000; ++i) m_dir.WriteFile("volume1/homes/alice/burst/f" + std::to_string(i), "x");
  auto seen = Settle();
  std::vector<Seen> rescans;
  for (const Seen& s : seen) {
    if (s.m_type == RESCAN_SYNC) rescans.push_back(s);
  }
  EXPECT_EQ((std::vector<Seen>{{RESCAN_SYNC, "/", ALICE, EVENT_FLAG_DIR}, {RESCAN_SYNC, "/", BOB, EVENT_FLAG_DIR}}),
            rescans);
  auto watched = m_detector.WatchedPaths()[m_detector.RootOfView(ALICE)];
  EXPECT_EQ((std::vector<std::string>{"/", "/burst", "/burst/new", "/burst/new/inner"}), watched);
  m_dir.WriteFile("volume1/homes/alice/burst/new/inner/after", "1");
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/burst/new/inner/after", ALICE, 0}}), Settle());
}

TEST_F(DetectorTest, VanishedViewFolderWithdrawsTheView) {
  m_detector.SetUserDbHandlerSocket(m_dir / "handler.sock");
  ASSERT_EQ(0, Registry::Instance().Add("bob", 0, "/volume1/homes/bob", BOB, 0));
  ASSERT_EQ(0, Registry::Instance().Add("share", VIEW_ATTR_SHARE, "/volume1/share", 7, 0));
  Record(BOB, "/f");
  // Without anyone listening the view stays registered.
  EXPECT_EQ(-1, m_detector.NotifyWatchRemoved(BOB));
  EXPECT_EQ(-1, m_detector.NotifyWatchRemoved(99));  // unknown view
  {
    HandlerStub handler(m_dir / "handler.sock");
    EXPECT_EQ(0, m_detector.NotifyWatchRemoved(7));
    PObject request = handler.Request();
    EXPECT_EQ(3u, request.Find("action").AsUInt32());
    EXPECT_EQ("share", request.Find("user_name").AsString());
    EXPECT_EQ(0u, request.Find("user_type").AsUInt32());
  }
  RegistryEntry entry;
  EXPECT_FALSE(Registry::Instance().GetByViewId(7, &entry));

  HandlerStub handler(m_dir / "handler.sock");
  fs::remove_all(m_bob);
  Settle();
  EXPECT_EQ(-1, m_detector.RootOfView(BOB));
  EXPECT_GE(m_detector.RootOfView(ALICE), 0);
  PObject request = handler.Request();
  EXPECT_EQ(2u, request.Find("action").AsUInt32());
  EXPECT_EQ("bob", request.Find("user_name").AsString());
  EXPECT_FALSE(Registry::Instance().GetByViewId(BOB, &entry));
  NodeRecord record;
  EXPECT_EQ(0, NativeClientDb::Instance().GetNodeByPath(BOB, "/f", &record));
  EXPECT_EQ(-1, m_detector.RemoveWatch(BOB));
}

TEST_F(DetectorTest, WatchErrors) {
  EXPECT_EQ(-1, m_detector.AddWatch(m_dir / "missing", 5));
  EXPECT_EQ(-1, m_detector.AddWatch(m_dir.WriteFile("file", "x"), 5));
  EXPECT_EQ(-1, m_detector.RemoveWatch(42));
  EXPECT_EQ(0, m_detector.RemoveWatch(ALICE));
  m_dir.WriteFile("volume1/homes/alice/late", "x");
  EXPECT_EQ(std::vector<Seen>{}, Settle());
}

TEST_F(DetectorTest, RunsAsATaskAndStops) {
  ASSERT_EQ(0, m_detector.Start());
  m_dir.WriteFile("volume1/homes/alice/t", "1");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (m_detector.Count() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Registration meets the running loop under the detector's mutex.
  EXPECT_GE(m_detector.AddWatch(Mkdir("volume1/homes/carol"), 3), 0);
  EXPECT_EQ(0, m_detector.RemoveWatch(3));
  m_detector.Pause();
  m_detector.Resume();
  m_detector.Stop();
  EXPECT_EQ(0, m_detector.Join());
  EXPECT_EQ((std::vector<Seen>{{UPLOAD_LOCAL, "/t", ALICE, 0}}), Brief(m_detector.Take()));
}

}  // namespace
}  // namespace tide
