#include "detect/inotify_watch_tree.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "support/temp_dir.h"

namespace tide {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

class WatchTreeTest : public testing::Test {
 protected:
  std::string Mkdir(const std::string& relative) {
    fs::create_directories(m_dir / relative);
    return m_dir / relative;
  }
  // Reads events until `done` holds for the tree (at most ~30 s of
  // time-outs); returns every event read.
  std::vector<InotifyEvent> DrainUntil(const std::function<bool()>& done) {
    std::vector<InotifyEvent> events;
    for (int idle = 0; idle < 30 && !done();) {
      InotifyEvent event;
      if (m_tree.GetEvent(&event) == 1) {
        events.push_back(event);
      } else {
        ++idle;
      }
    }
    return events;
  }
  // Reads whatever is pending now (stops after one quiet second).
  std::vector<InotifyEvent> DrainAll() {
    std::vector<InotifyEvent> events;
    for (int quiet = 0; quiet < 2;) {
      InotifyEvent event;
      if (m_tree.GetEvent(&event) == 1) {
        events.push_back(event);
        quiet = 0;
      } else {
        ++quiet;
      }
    }
    return events;
  }
  Paths Watched(int root) { return m_tree.WatchedPaths()[root]; }

  test::TempDir m_dir;
  InotifyWatchTree m_tree;
};

TEST_F(WatchTreeTest, RootsAndRecursiveWatches) {
  std::string root_path = Mkdir("view");
  Mkdir("view/a/b");
  Mkdir("view/c");
  Mkdir("view/c/@EADir/deep");  // companions: not descended into
  m_dir.WriteFile("view/a/file", "x");
  int root = m_tree.AddRoot(root_path);
  ASSERT_GE(root, 0);
  EXPECT_EQ((Paths{"/", "/a", "/a/b", "/c", "/c/@EADir"}), Watched(root));
  EXPECT_EQ(5u, m_tree.WatchCount());
  EXPECT_EQ(root, m_tree.AddRoot(root_path));  // same path: same root
  EXPECT_EQ(-1, m_tree.AddRoot(root_path + "/a"));  // inside a root
  EXPECT_EQ(-1, m_tree.AddRoot(m_dir / "missing"));
  m_tree.RemoveRoot(root);
  EXPECT_EQ(0u, m_tree.WatchCount());
  EXPECT_EQ(0u, m_tree.RootCount());
  m_tree.RemoveRoot(root);  // unknown now: only logged
}

TEST_F(WatchTreeTest, WatchLimitStopsRecursiveAdd) {
  std::string root_path = Mkdir("view");
  for (const char* d : {"view/a", "view/b", "view/c", "view/d"}) Mkdir(d);
  InotifyWatchTree limited(INOTIFY_ALL_EVENTS, 3);
  int root = limited.AddRoot(root_path);
  ASSERT_GE(root, 0);
  EXPECT_EQ(3u, limited.WatchCount());
}

TEST_F(WatchTreeTest, FollowsCreatedDeletedAndRenamedDirectories) {
  std::string root_path = Mkdir("view");
  Mkdir("view/old/sub");
  int root = m_tree.AddRoot(root_path);
  ASSERT_GE(root, 0);

  // Created with contents: the contents made before the watch exists are
  // found by the recursive add.
  Mkdir("view/new/x/y");
  DrainUntil([&] { return Watched(root).size() == 6; });
  EXPECT_EQ((Paths{"/", "/new", "/new/x", "/new/x/y", "/old", "/old/sub"}), Watched(root));

  // Renamed inside the area: the watches stay and report the new path.
  fs::rename(m_dir / "view/old", m_dir / "view/renamed");
  DrainUntil([&] { return Watched(root) == Paths{"/", "/new", "/new/x", "/new/x/y", "/renamed", "/renamed/sub"}; });
  EXPECT_EQ((Paths{"/", "/new", "/new/x", "/new/x/y", "/renamed", "/renamed/sub"}), Watched(root));
  m_dir.WriteFile("view/renamed/sub/f", "1");
  auto events = DrainAll();
  bool seen = false;
  for (const auto& e : events) seen |= e.FullPath() == "/renamed/sub/f" && e.m_root_id == root;
  EXPECT_TRUE(seen);

  // Moved out of the area: its watches go.
  fs::rename(m_dir / "view/renamed", m_dir / "outside");
  DrainUntil([&] { return Watched(root).size() == 4; });
  EXPECT_EQ((Paths{"/", "/new", "/new/x", "/new/x/y"}), Watched(root));

  // Deleted: its watches go.
  fs::remove_all(m_dir / "view/new");
  DrainUntil([&] { return Watched(root).size() == 1; });
  EXPECT_EQ(Paths{"/"}, Watched(root));
  EXPECT_EQ(1u, m_tree.WatchCount());
}

TEST_F(WatchTreeTest, RenamesReadLateStillLandInPlace) {
  std::string one = Mkdir("one");
  std::string two = Mkdir("two");
  Mkdir("one/a/sub");
  Mkdir("one/m/sub");
  int root_one = m_tree.AddRoot(one);
  int root_two = m_tree.AddRoot(two);
  // Everything happens before a single event is read: each IN_MOVED_TO
  // names a place the directory has already left.
  fs::rename(m_dir / "one/a", m_dir / "one/b");
  fs::rename(m_dir / "one/b", m_dir / "one/c");
  fs::rename(m_dir / "one/m", m_dir / "two/m");  // to another root
  Mkdir("one/b");                                // a new directory where one was
  DrainAll();
  EXPECT_EQ((Paths{"/", "/b", "/c", "/c/sub"}), Watched(root_one));
  EXPECT_EQ((Paths{"/", "/m", "/m/sub"}), Watched(root_two));
  EXPECT_EQ(7u, m_tree.WatchCount());
  m_dir.WriteFile("two/m/sub/f", "1");
  m_dir.WriteFile("one/c/sub/g", "1");
  std::vector<std::string> closed;
  for (const auto& e : DrainAll()) {
    if (e.m_mask & IN_CLOSE_WRITE) closed.push_back(std::to_string(e.m_root_id) + ":" + e.FullPath());
  }
  EXPECT_EQ((std::vector<std::string>{std::to_string(root_two) + ":/m/sub/f", std::to_string(root_one) + ":/c/sub/g"}),
            closed);
}

TEST_F(WatchTreeTest, ResyncFollowsTheDisk) {
  std::string root_path = Mkdir("view");
  Mkdir("view/keep/x");
  Mkdir("view/gone");
  int root = m_tree.AddRoot(root_path);
  // Changes the tree never hears of (as after lost events).
  fs::rename(m_dir / "view/keep/x", m_dir / "view/x");
  Mkdir("view/new/deep");
  Mkdir("view/new/@eaDir/no");
  fs::rename(m_dir / "view/gone", m_dir / "outside");
  EXPECT_EQ(6u, m_tree.Resync());
  EXPECT_EQ((Paths{"/", "/keep", "/new", "/new/@eaDir", "/new/deep", "/x"}), Watched(root));
}

TEST_F(WatchTreeTest, EventsCarryRootAndRelativePath) {
  std::string one = Mkdir("one");
  std::string two = Mkdir("two/d");
  int root_one = m_tree.AddRoot(one);
  int root_two = m_tree.AddRoot(m_dir / "two");
  m_dir.WriteFile("one/a.txt", "a");
  m_dir.WriteFile("two/d/b.txt", "b");
  std::vector<std::string> closed;
  for (const auto& e : DrainAll()) {
    if (e.m_mask & IN_CLOSE_WRITE) closed.push_back(std::to_string(e.m_root_id) + ":" + e.FullPath());
  }
  EXPECT_EQ((std::vector<std::string>{std::to_string(root_one) + ":/a.txt", std::to_string(root_two) + ":/d/b.txt"}),
            closed);
}

TEST_F(WatchTreeTest, DeletedRootIsWithdrawn) {
  int root = m_tree.AddRoot(Mkdir("view/a"));
  ASSERT_GE(root, 0);
  fs::remove_all(m_dir / "view/a");
  DrainUntil([&] { return m_tree.RootCount() == 0; });
  EXPECT_EQ(0u, m_tree.RootCount());
  EXPECT_EQ(0u, m_tree.WatchCount());
}

TEST(InotifyEvent, PathsAndText) {
  InotifyEvent event;
  event.m_wd = 3;
  event.m_mask = IN_CREATE | IN_ISDIR;
  event.m_cookie = 0;
  event.m_name = "photos";
  event.m_root_id = 1;
  event.m_watch_path = "/";
  EXPECT_EQ("/photos", event.FullPath());
  EXPECT_EQ("wd: 3, type: IN_CREATE (40000100), cookie: 0, name: photos, root: 1, wd_path: /, path: /photos (dir)",
            event.ToString());
  event.m_watch_path = "/a/b";
  EXPECT_EQ("/a/b/photos", event.FullPath());
  event.m_name.clear();
  event.m_mask = IN_MODIFY | IN_CLOSE_WRITE;  // highest bit names the type
  EXPECT_EQ("/a/b", event.FullPath());
  EXPECT_EQ("wd: 3, type: IN_CLOSE_WRITE (a), cookie: 0, name: , root: 1, wd_path: /a/b, path: /a/b", event.ToString());
}

}  // namespace
}  // namespace tide
