#include "fs/beneath.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "fs/unique_fd.h"
#include "fs/view_dir.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace tide {
namespace {

std::string ReadAll(int fd) {
  std::string data;
  char buffer[256];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) data.append(buffer, static_cast<size_t>(n));
  return data;
}

// Both ways of resolving: the kernel's openat2 and the component walk.
class Beneath : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!GetParam() && !KernelResolvesBeneath()) GTEST_SKIP() << "this kernel has no openat2";
    ForceComponentWalk(GetParam());
    m_dir.WriteFile("view/a/b", "b");
    m_dir.WriteFile("view/etc/hostname", "the view's own");
    m_dir.WriteFile("outside/secret", "secret");
    m_view.Reset(open((m_dir / "view").c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(m_view.Valid());
  }
  void TearDown() override { ForceComponentWalk(false); }

  test::TempDir m_dir;
  UniqueFd m_view;
};

TEST_P(Beneath, OpensPathsBelowTheFolder) {
  for (const char* path : {"a/b", "/a/b", "//a//b", "a/b/"}) {
    SCOPED_TRACE(path);
    UniqueFd fd(OpenBeneath(m_view.Get(), path, O_RDONLY));
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    EXPECT_EQ("b", ReadAll(fd.Get()));
  }
  // An absolute-looking path is still a path below the folder.
  UniqueFd fd(OpenBeneath(m_view.Get(), "/etc/hostname", O_RDONLY));
  ASSERT_TRUE(fd.Valid());
  EXPECT_EQ("the view's own", ReadAll(fd.Get()));
  for (const char* self : {"", "/"}) {
    UniqueFd dir(OpenBeneath(m_view.Get(), self, O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir.Valid());
    struct stat a, b;
    ASSERT_EQ(0, fstat(dir.Get(), &a));
    ASSERT_EQ(0, fstat(m_view.Get(), &b));
    EXPECT_EQ(a.st_ino, b.st_ino);
  }
  errno = 0;
  EXPECT_EQ(-1, OpenBeneath(m_view.Get(), "a/missing", O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_FALSE(IsLinkRefusal(ENOENT));
  // Made with O_CREAT below the folder, mode as asked (under the mask).
  UniqueFd made(OpenBeneath(m_view.Get(), "a/new", O_WRONLY | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(made.Valid());
  struct stat st;
  ASSERT_EQ(0, fstat(made.Get(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
}

// Every way out of the folder is refused before anything is opened: "."
// and ".." components, and symbolic links on the way or at the end,
// whether they lead out or stay inside.
TEST_P(Beneath, RefusesDotsAndLinks) {
  std::string outside = m_dir / "outside";
  ASSERT_EQ(0, symlink(outside.c_str(), (m_dir / "view/out").c_str()));
  ASSERT_EQ(0, symlink("../../outside", (m_dir / "view/a/up").c_str()));
  ASSERT_EQ(0, symlink("a", (m_dir / "view/in").c_str()));
  ASSERT_EQ(0, symlink((outside + "/secret").c_str(), (m_dir / "view/to-secret").c_str()));
  ASSERT_EQ(0, symlink("/nowhere", (m_dir / "view/dangling").c_str()));
  std::vector<std::string> before = test::SnapshotTree(outside);
  const char* refused[] = {"..",        "../outside/secret", "a/../../outside/secret", "a/..",  "./a/b",
                           "a/./b",     "out/secret",        "a/up/secret",            "in/b",  "to-secret",
                           "out",       "dangling/x",        "dangling",               "/../outside/secret"};
  for (const char* path : refused) {
    for (int flags : {O_RDONLY, O_WRONLY | O_TRUNC, O_WRONLY | O_CREAT, O_RDONLY | O_DIRECTORY}) {
      SCOPED_TRACE(testing::Message() << path << " flags " << flags);
      errno = 0;
      UniqueFd fd(OpenBeneath(m_view.Get(), path, flags, (flags & O_CREAT) ? 0666 : 0));
      EXPECT_FALSE(fd.Valid());
      // A link as the last name of a folder opened without following it is
      // ENOTDIR to the kernel: refused, but not said so (see below).
      bool last_is_link = std::string(path) == "to-secret" || std::string(path) == "out" ||
                          std::string(path) == "dangling";
      if (!((flags & O_DIRECTORY) && last_is_link)) {
        EXPECT_TRUE(IsLinkRefusal(errno)) << strerror(errno);
      }
    }
  }
  EXPECT_EQ(before, test::SnapshotTree(outside));
}

// A folder opened through a link as its last name is a link refused like
// any other: callers that look for a refusal (Stat, OpenParent, the
// listings) must see ELOOP, not ENOTDIR, which Stat reads as "missing".
TEST_P(Beneath, ALinkAsTheLastFolderIsARefusal) {
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), (m_dir / "view/out").c_str()));
  errno = 0;
  EXPECT_EQ(-1, OpenBeneath(m_view.Get(), "out", O_RDONLY | O_DIRECTORY));
  EXPECT_TRUE(IsLinkRefusal(errno)) << strerror(errno);
}

// The mode is for O_CREAT only; a folder opened with a mode given (as the
// default argument allows) must still open.
TEST_P(Beneath, AModeWithoutCreateIsIgnored) {
  UniqueFd fd(OpenBeneath(m_view.Get(), "a", O_RDONLY | O_DIRECTORY, 0666));
  EXPECT_TRUE(fd.Valid()) << strerror(errno);
}

// The same refusal through the folder's operations, which give it as
// FS_LINK_REFUSED and touch nothing outside.
TEST_P(Beneath, ViewOperationsRefuseDotDot) {
  ViewDir view, park;
  ASSERT_EQ(0, view.Open(m_dir / "view"));
  ASSERT_EQ(0, mkdir((m_dir / "park").c_str(), 0700));
  ASSERT_EQ(0, park.Open(m_dir / "park"));
  std::vector<std::string> before = test::SnapshotTree(m_dir / "outside");
  const std::string up = "/a/../../outside/secret";
  const std::function<int()> operations[] = {
      [&] { FileInfo info; return view.Stat(up, &info); },
      [&] { UniqueFd fd; return view.OpenExisting(up, O_WRONLY | O_TRUNC, &fd); },
      [&] { return view.MakeDirectories("/../outside/new", {}); },
      [&] { return view.MakeDirectories("/a/../../outside/new", {}); },
      [&] { return view.RemoveFile(up); },
      [&] { return view.Rename(up, view, "/stolen", false); },
      [&] { return view.Rename("/a/b", view, "/../outside/secret", false); },
      [&] { return view.MoveWithCompanions("/a/b", view, "/../outside/secret", {}); },
      [&] { return view.SetTimes(up, 1); },
      [&] { return view.RemoveDirectory("/../outside", park, nullptr); },
      [&] { return view.CopyCompanions(up, view, "/copy"); },
  };
  for (size_t i = 0; i < std::size(operations); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(FS_LINK_REFUSED, operations[i]());
  }
  EXPECT_EQ(before, test::SnapshotTree(m_dir / "outside"));
  EXPECT_EQ("b", test::TempDir::ReadFile(m_dir / "view/a/b"));
}

INSTANTIATE_TEST_SUITE_P(Resolution, Beneath, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "ComponentWalk" : "Openat2";
                         });

}  // namespace
}  // namespace tide
