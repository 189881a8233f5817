// Every file operation below a view, run while a folder on its way has just
// been swapped for a symbolic link to a folder outside the view: the
// operation is refused and the outside folder stays exactly as it was. Run
// once with the kernel's own resolution and once with the component walk
// of older kernels.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/task.h"
#include "event/event_manager.h"
#include "event/file_list.h"
#include "fs/beneath.h"
#include "fs/conflict_rename.h"
#include "fs/view_dir.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"
#include "sync/local_list.h"

namespace tide {
namespace {

constexpr uint64_t VIEW_ID = 7;

// A view with a folder "sub" that a user has just exchanged with a link to
// "outside", and a folder "ea" whose "@eaDir" is such a link; "plain" is an
// ordinary file of the view with both companions; "park" is the daemon's
// parking place. The operations reach the link either as the last folder
// on their way ("/sub/file") or further up ("/sub/dir/file"): `where` is
// "/sub" or "/sub/dir".
struct Scene {
  test::TempDir m_dir;
  ViewDir m_view;
  ViewDir m_park;

  std::string Outside() const { return m_dir / "outside"; }

  void Build() {
    for (const std::string& base : {std::string("outside"), std::string("view/sub")}) {
      for (const std::string& folder : {base, base + "/dir"}) {
        m_dir.WriteFile(folder + "/file", "secret of " + folder);
        m_dir.WriteFile(folder + "/ file", "spaced secret of " + folder);
        m_dir.WriteFile(folder + "/dir/inner", "inner of " + folder);
        m_dir.WriteFile(folder + "/@eaDir/file@VarnEAStream", "ea of " + folder);
        m_dir.WriteFile(folder + "/@eaDir/file@VarnResource", "rs of " + folder);
      }
    }
    m_dir.WriteFile("view/ea/file", "mine");
    m_dir.WriteFile("view/plain", "plain");
    m_dir.WriteFile("view/@eaDir/plain@VarnEAStream", "plain ea");
    m_dir.WriteFile("view/@eaDir/plain@VarnResource", "plain rs");
    ASSERT_EQ(0, mkdir((m_dir / "park").c_str(), 0700));
    ASSERT_EQ(0, m_view.Open(m_dir / "view"));
    ASSERT_EQ(0, m_park.Open(m_dir / "park"));
    // The swap, as the user's process does it: one atomic exchange after the
    // view was opened.
    ASSERT_EQ(0, symlink(Outside().c_str(), (m_dir / "view/.swap").c_str()));
    ASSERT_EQ(0, renameat2(AT_FDCWD, (m_dir / "view/.swap").c_str(), AT_FDCWD, (m_dir / "view/sub").c_str(),
                           RENAME_EXCHANGE));
    ASSERT_EQ(0, symlink((Outside() + "/@eaDir").c_str(), (m_dir / "view/ea/@eaDir").c_str()));
  }
};

using Where = const std::string&;

struct Operation {
  const char* m_name;
  std::function<int(Scene&, Where)> m_run;
  int m_expected;
};

std::vector<std::string> ListedPaths(const FileList& list) {
  std::vector<std::string> paths;
  for (const FileListEntry& entry : list) paths.push_back(entry.m_path);
  std::sort(paths.begin(), paths.end());
  return paths;
}

// ExpandTree says nothing when it cannot enter the folder: what it offered
// for upload is what counts.
int ExpandAndCount(const ViewDir& view, const std::string& relative) {
  EventManager events;
  int result = ExpandTree(events, view, relative, VIEW_ID, nullptr);
  int offered = events.GetViewPendingCount(VIEW_ID);
  return result < 0 ? result : offered;
}

// The paths ExpandTree offered for upload, taken out of the event manager.
std::vector<std::string> Offered(EventManager& events) {
  class Puller : public Task {
   public:
    Puller() : Task(0, 0) {}
  } puller;
  std::vector<std::string> paths;
  Event event;
  while (events.PullEvent(&puller, &event) == 0) {
    paths.push_back(event.m_path);
    events.DoneEvent(&puller, &event);
  }
  return paths;
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"Stat", [](Scene& s, Where w) { FileInfo info; return s.m_view.Stat(w + "/file", &info); }, FS_LINK_REFUSED},
      {"Stat of a folder", [](Scene& s, Where w) { FileInfo info; return s.m_view.Stat(w + "/dir", &info); },
       FS_LINK_REFUSED},
      {"OpenExisting for writing",
       [](Scene& s, Where w) { UniqueFd fd; return s.m_view.OpenExisting(w + "/file", O_WRONLY | O_TRUNC, &fd); },
       FS_LINK_REFUSED},
      {"OpenExisting a folder",
       [](Scene& s, Where w) { UniqueFd fd; return s.m_view.OpenExisting(w, O_RDONLY | O_DIRECTORY, &fd); },
       FS_LINK_REFUSED},
      {"OpenParent",
       [](Scene& s, Where w) {
         UniqueFd fd;
         std::string leaf;
         return s.m_view.OpenParent(w + "/new", &fd, &leaf);
       },
       FS_LINK_REFUSED},
      {"OpenBelow", [](Scene& s, Where w) { ViewDir below; return below.OpenBelow(s.m_view, w); }, FS_LINK_REFUSED},
      {"MakeDirectories", [](Scene& s, Where w) { return s.m_view.MakeDirectories(w + "/new/deeper", {}); },
       FS_LINK_REFUSED},
      {"RemoveFile", [](Scene& s, Where w) { return s.m_view.RemoveFile(w + "/file"); }, FS_LINK_REFUSED},
      // The file itself is the view's and goes; its companions behind the
      // linked "@eaDir" are not reached.
      {"RemoveFile with a linked @eaDir", [](Scene& s, Where) { return s.m_view.RemoveFile("/ea/file"); }, 0},
      {"Rename from", [](Scene& s, Where w) { return s.m_view.Rename(w + "/file", s.m_view, "/taken", false); },
       FS_LINK_REFUSED},
      {"Rename to", [](Scene& s, Where w) { return s.m_view.Rename("/plain", s.m_view, w + "/file", false); },
       FS_LINK_REFUSED},
      {"Rename to, no replace",
       [](Scene& s, Where w) { return s.m_view.Rename("/plain", s.m_view, w + "/new", true); }, FS_LINK_REFUSED},
      {"MoveWithCompanions from",
       [](Scene& s, Where w) { return s.m_view.MoveWithCompanions(w + "/file", s.m_view, "/moved", {}); },
       FS_LINK_REFUSED},
      {"MoveWithCompanions to",
       [](Scene& s, Where w) { return s.m_view.MoveWithCompanions("/plain", s.m_view, w + "/file", {}); },
       FS_LINK_REFUSED},
      {"MoveWithCompanions to a linked @eaDir",
       [](Scene& s, Where) { return s.m_view.MoveWithCompanions("/plain", s.m_view, "/ea/file", {}); },
       FS_LINK_REFUSED},
      {"SetTimes", [](Scene& s, Where w) { return s.m_view.SetTimes(w + "/file", 1000000000); }, FS_LINK_REFUSED},
      {"SetTimes of a folder", [](Scene& s, Where w) { return s.m_view.SetTimes(w + "/dir", 1000000000); },
       FS_LINK_REFUSED},
      {"RemoveDirectory", [](Scene& s, Where w) { return s.m_view.RemoveDirectory(w + "/dir", s.m_park, nullptr); },
       FS_LINK_REFUSED},
      {"CompanionExists",
       [](Scene& s, Where w) { return s.m_view.CompanionExists(w + "/file", COMPANION_STREAMS[0]); },
       FS_LINK_REFUSED},
      {"CompanionExists through a linked @eaDir",
       [](Scene& s, Where) { return s.m_view.CompanionExists("/ea/file", COMPANION_STREAMS[0]); }, FS_LINK_REFUSED},
      {"CopyCompanions from",
       [](Scene& s, Where w) { return s.m_view.CopyCompanions(w + "/file", s.m_view, "/copied"); }, FS_LINK_REFUSED},
      {"CopyCompanions from a linked @eaDir",
       [](Scene& s, Where) { return s.m_view.CopyCompanions("/ea/file", s.m_view, "/copied"); }, FS_LINK_REFUSED},
      {"CopyCompanions to",
       [](Scene& s, Where w) { return s.m_view.CopyCompanions("/plain", s.m_view, w + "/file"); }, FS_LINK_REFUSED},
      {"CopyCompanions to a linked @eaDir",
       [](Scene& s, Where) { return s.m_view.CopyCompanions("/plain", s.m_view, "/ea/file"); }, FS_LINK_REFUSED},
      {"ConflictRename", [](Scene& s, Where w) { return ConflictRename(s.m_view, w + "/file", "ADMIN", "Conflict"); },
       FS_LINK_REFUSED},
      {"WhiteSpaceConflictRename",
       [](Scene& s, Where w) { return WhiteSpaceConflictRename(s.m_view, w + "/ file", " file", "ADMIN"); },
       FS_LINK_REFUSED},
      {"BuildLocalFileList",
       [](Scene& s, Where w) {
         FileList list;
         return BuildLocalFileList(s.m_view, w, &list, nullptr, 1);
       },
       FS_LINK_REFUSED},
      {"BuildLocalFileListOneLevel",
       [](Scene& s, Where w) {
         FileList list;
         return BuildLocalFileListOneLevel(s.m_view, w, &list);
       },
       FS_LINK_REFUSED},
      // From the view's root the link is left out, not entered: only the
      // view's own objects are listed.
      {"BuildLocalFileList from the root",
       [](Scene& s, Where) {
         FileList list;
         int result = BuildLocalFileList(s.m_view, "/", &list, nullptr, 1);
         std::vector<std::string> paths = ListedPaths(list);
         for (const std::string& path : paths) {
           if (path.rfind("/sub", 0) == 0) return -100;
         }
         return result == 0 && paths.size() == 13 ? 0 : -101;
       },
       0},
      // Nothing offered for upload from behind the link.
      {"ExpandTree", [](Scene& s, Where w) { return ExpandAndCount(s.m_view, w); }, 0},
      {"ExpandTree from the root", [](Scene& s, Where) { return ExpandAndCount(s.m_view, "/"); }, 12},
  };
  return operations;
}

class LinkRefusal : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { ForceComponentWalk(GetParam()); }
  void TearDown() override { ForceComponentWalk(false); }
};

TEST_P(LinkRefusal, EveryOperationLeavesTheOutsideAlone) {
  if (!GetParam() && !KernelResolvesBeneath()) GTEST_SKIP() << "this kernel has no openat2";
  for (const char* where : {"/sub/dir", "/sub"}) {
    for (const Operation& operation : Operations()) {
      SCOPED_TRACE(testing::Message() << operation.m_name << " at " << where);
      Scene scene;
      ASSERT_NO_FATAL_FAILURE(scene.Build());
      std::vector<std::string> before = test::SnapshotTree(scene.Outside());
      // A link as the last folder on the way (O_DIRECTORY | O_NOFOLLOW
      // says ENOTDIR there) is a refusal like any other, never "missing",
      // which a removal on the server would act on.
      EXPECT_EQ(operation.m_expected, operation.m_run(scene, where));
      EXPECT_EQ(before, test::SnapshotTree(scene.Outside()));
      // The parking place holds nothing from outside either.
      EXPECT_EQ(1u, test::SnapshotTree(scene.m_dir / "park").size());
    }
  }
}

// A listing that meets the swap while it runs: another thread exchanges
// the folder with the link back and forth for as long as the listings go
// on. Whatever each listing saw, nothing of the outside folder is in it and
// nothing from there is offered for upload.
TEST_P(LinkRefusal, ListingsNeverEnterALinkSwappedInWhileTheyRun) {
  if (!GetParam() && !KernelResolvesBeneath()) GTEST_SKIP() << "this kernel has no openat2";
  Scene scene;
  ASSERT_NO_FATAL_FAILURE(scene.Build());
  scene.m_dir.WriteFile("outside/dir/only-outside", "x");
  for (int i = 0; i < 50; ++i) scene.m_dir.WriteFile("view/.swap/dir/f" + std::to_string(i), "y");
  std::vector<std::string> before = test::SnapshotTree(scene.Outside());
  std::atomic<bool> stop{false};
  std::atomic<int> swaps{0};
  std::thread swapper([&] {
    std::string a = scene.m_dir / "view/sub", b = scene.m_dir / "view/.swap";
    while (!stop.load()) {
      if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
  });
  int leaked = 0;
  size_t offered_total = 0;
  for (int round = 0; round < 300; ++round) {
    FileList list;
    BuildLocalFileList(scene.m_view, round % 2 ? "/sub" : "/", &list, nullptr, 1);
    for (const std::string& path : ListedPaths(list)) leaked += path.find("only-outside") != std::string::npos;
    EventManager events;
    ExpandTree(events, scene.m_view, round % 2 ? "/sub" : "/", VIEW_ID, nullptr);
    std::vector<std::string> offered = Offered(events);
    offered_total += offered.size();
    for (const std::string& path : offered) leaked += path.find("only-outside") != std::string::npos;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(swaps.load(), 0);
  EXPECT_GT(offered_total, 0u);
  EXPECT_EQ(0, leaked);
  EXPECT_EQ(before, test::SnapshotTree(scene.Outside()));
}

INSTANTIATE_TEST_SUITE_P(Resolution, LinkRefusal, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ComponentWalk" : "Openat2";
                         });

}  // namespace
}  // namespace tide
