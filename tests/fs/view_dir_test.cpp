#include "fs/view_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "fs/work_dir.h"
#include "support/temp_dir.h"
#include "support/tree_snapshot.h"

namespace tide {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

bool IsRoot() { return geteuid() == 0; }

class ViewDirTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, mkdir((m_dir / "view").c_str(), 0755));
    ASSERT_EQ(0, mkdir((m_dir / "park").c_str(), 0700));
    ASSERT_EQ(0, m_view.Open(m_dir / "view"));
    ASSERT_EQ(0, m_park.Open(m_dir / "park"));
  }
  void TearDown() override { SetCreationMask(022); }

  std::string In(const std::string& relative) const { return m_dir / ("view/" + relative); }

  test::TempDir m_dir;
  ViewDir m_view;
  ViewDir m_park;
};

TEST_F(ViewDirTest, OpenRefusesALinkAsTheFolder) {
  ASSERT_EQ(0, symlink((m_dir / "view").c_str(), (m_dir / "link").c_str()));
  ViewDir dir;
  // Refused; the kernel says ENOTDIR for a link opened as a folder without
  // following it, so the result is -1 rather than FS_LINK_REFUSED.
  EXPECT_LT(dir.Open(m_dir / "link"), 0);
  EXPECT_FALSE(dir.IsOpen());
  EXPECT_EQ(-1, dir.Open(m_dir / "missing"));
  EXPECT_EQ(m_dir / "view/a/b", m_view.PathOf("/a/b"));
  EXPECT_EQ(m_dir / "view", m_view.PathOf("/"));
}

TEST_F(ViewDirTest, StatKindsAndMissingPaths) {
  m_dir.WriteFile("view/d/f", "12345");
  FileInfo info;
  ASSERT_EQ(0, m_view.Stat("/d/f", &info));
  EXPECT_TRUE(info.m_exists);
  EXPECT_EQ(FILE_TYPE_REGULAR, info.m_type);
  EXPECT_EQ(5u, info.m_size);
  EXPECT_EQ("f", info.m_name);
  EXPECT_EQ(In("d/f"), info.m_path);
  ASSERT_EQ(0, m_view.Stat("/", &info));
  EXPECT_EQ(FILE_TYPE_DIRECTORY, info.m_type);
  for (const char* missing : {"/d/none", "/none/deeper", "/d/f/below"}) {
    SCOPED_TRACE(missing);
    ASSERT_EQ(0, m_view.Stat(missing, &info));
    EXPECT_FALSE(info.m_exists);
  }
}

// A link as the last name is an object of the view like any other: it is
// seen as a link and removed as one; what it points at is never touched.
TEST_F(ViewDirTest, ALinkAsTheLastNameIsTheLinkItself) {
  std::string target = m_dir.WriteFile("outside/victim", "root's");
  m_dir.WriteFile("outside/@eaDir/victim@VarnEAStream", "root's ea");
  ASSERT_EQ(0, mkdir(In("d").c_str(), 0755));
  ASSERT_EQ(0, symlink(target.c_str(), In("d/file-link").c_str()));
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), In("d/dir-link").c_str()));
  std::vector<std::string> before = test::SnapshotTree(m_dir / "outside");
  for (const char* link : {"/d/file-link", "/d/dir-link"}) {
    SCOPED_TRACE(link);
    FileInfo info;
    ASSERT_EQ(0, m_view.Stat(link, &info));
    EXPECT_TRUE(info.m_exists);
    EXPECT_EQ(FILE_TYPE_SYMLINK, info.m_type);
    EXPECT_EQ(0, m_view.RemoveFile(link));
    EXPECT_FALSE(Exists(In(link)));
  }
  EXPECT_EQ(before, test::SnapshotTree(m_dir / "outside"));
}

TEST_F(ViewDirTest, RemoveFileTakesItsCompanions) {
  m_dir.WriteFile("view/d/f.txt", "x");
  m_dir.WriteFile("view/d/@eaDir/f.txt@VarnEAStream", "ea");
  m_dir.WriteFile("view/d/@eaDir/f.txt@VarnResource", "rs");
  m_dir.WriteFile("view/d/@eaDir/g.txt@VarnEAStream", "other");
  EXPECT_EQ(1, m_view.CompanionExists("/d/f.txt", COMPANION_STREAMS[0]));
  EXPECT_EQ(0, m_view.RemoveFile("/d/f.txt"));
  EXPECT_FALSE(Exists(In("d/f.txt")));
  EXPECT_FALSE(Exists(In("d/@eaDir/f.txt@VarnEAStream")));
  EXPECT_FALSE(Exists(In("d/@eaDir/f.txt@VarnResource")));
  EXPECT_TRUE(Exists(In("d/@eaDir/g.txt@VarnEAStream")));
  EXPECT_EQ(0, m_view.CompanionExists("/d/f.txt", COMPANION_STREAMS[0]));
  EXPECT_EQ(0, m_view.RemoveFile("/d/f.txt"));  // already gone
  EXPECT_EQ(0, m_view.RemoveFile("/none/f.txt"));
  ASSERT_EQ(0, mkdir(In("d/sub").c_str(), 0755));
  EXPECT_EQ(-1, m_view.RemoveFile("/d/sub"));
  EXPECT_TRUE(Exists(In("d/sub")));
}

TEST_F(ViewDirTest, MoveWithCompanionsCarriesThemAcrossFolders) {
  ViewDir work;
  std::string source = m_dir.WriteFile("work/XYZ", "new contents");
  m_dir.WriteFile("work/@eaDir/XYZ@VarnEAStream", "ea");
  m_dir.WriteFile("work/@eaDir/XYZ@VarnResource", "rs");
  m_dir.WriteFile("view/share/doc.txt", "old contents");
  ASSERT_EQ(0, work.Open(m_dir / "work"));
  NewOwner owner;
  if (IsRoot()) owner = {4321, 8765};
  ASSERT_EQ(0, work.MoveWithCompanions("/XYZ", m_view, "/share/doc.txt", owner));
  EXPECT_EQ("new contents", test::TempDir::ReadFile(In("share/doc.txt")));
  EXPECT_EQ("ea", test::TempDir::ReadFile(In("share/@eaDir/doc.txt@VarnEAStream")));
  EXPECT_EQ("rs", test::TempDir::ReadFile(In("share/@eaDir/doc.txt@VarnResource")));
  EXPECT_FALSE(Exists(source));
  EXPECT_FALSE(Exists(m_dir / "work/@eaDir/XYZ@VarnEAStream"));
  if (IsRoot()) {
    struct stat st;
    ASSERT_EQ(0, stat(In("share/@eaDir").c_str(), &st));
    EXPECT_EQ(4321u, st.st_uid);  // the "@eaDir" made for the move is the owner's
    EXPECT_EQ(8765u, st.st_gid);
  }

  // Without companions only the file moves, and no "@eaDir" is made.
  m_dir.WriteFile("work/plain", "p");
  ASSERT_EQ(0, work.MoveWithCompanions("/plain", m_view, "/plain", {}));
  EXPECT_EQ("p", test::TempDir::ReadFile(In("plain")));
  EXPECT_FALSE(Exists(In("@eaDir")));
  EXPECT_EQ(-1, work.MoveWithCompanions("/missing", m_view, "/x", {}));

  // Told not to replace, it leaves a file that is there alone, companions
  // included, and moves nothing.
  m_dir.WriteFile("work/NEW", "new version");
  m_dir.WriteFile("work/@eaDir/NEW@VarnEAStream", "new ea");
  m_dir.WriteFile("view/share/made.txt", "made meanwhile");
  EXPECT_EQ(FS_TARGET_EXISTS, work.MoveWithCompanions("/NEW", m_view, "/share/made.txt", {}, true));
  EXPECT_EQ("made meanwhile", test::TempDir::ReadFile(In("share/made.txt")));
  EXPECT_FALSE(Exists(In("share/@eaDir/made.txt@VarnEAStream")));
  EXPECT_EQ("new ea", test::TempDir::ReadFile(m_dir / "work/@eaDir/NEW@VarnEAStream"));
  ASSERT_EQ(0, work.MoveWithCompanions("/NEW", m_view, "/share/free.txt", {}, true));
  EXPECT_EQ("new version", test::TempDir::ReadFile(In("share/free.txt")));
  EXPECT_EQ("new ea", test::TempDir::ReadFile(In("share/@eaDir/free.txt@VarnEAStream")));
}

TEST_F(ViewDirTest, RenameAndCopyCompanions) {
  m_dir.WriteFile("view/a", "A");
  m_dir.WriteFile("view/b", "B");
  m_dir.WriteFile("view/@eaDir/a@VarnEAStream", "a ea");
  EXPECT_EQ(FS_TARGET_EXISTS, m_view.Rename("/a", m_view, "/b", true));
  EXPECT_EQ("B", test::TempDir::ReadFile(In("b")));
  EXPECT_EQ(-2, m_view.Rename("/missing", m_view, "/c", false));
  ASSERT_EQ(0, mkdir(In("sub").c_str(), 0755));
  ASSERT_EQ(0, m_view.CopyCompanions("/a", m_view, "/sub/c"));
  EXPECT_EQ("a ea", test::TempDir::ReadFile(In("sub/@eaDir/c@VarnEAStream")));
  EXPECT_FALSE(Exists(In("sub/@eaDir/c@VarnResource")));
  ASSERT_EQ(0, m_view.Rename("/a", m_view, "/sub/c", false));
  EXPECT_EQ("A", test::TempDir::ReadFile(In("sub/c")));
}

TEST_F(ViewDirTest, SetTimesOfTheObjectItself) {
  m_dir.WriteFile("view/f", "x");
  ASSERT_EQ(0, m_view.SetTimes("/f", 2000000000));
  struct stat st;
  ASSERT_EQ(0, stat(In("f").c_str(), &st));
  EXPECT_EQ(2000000000, st.st_mtime);
  EXPECT_EQ(-1, m_view.SetTimes("/missing", 1));
}

TEST_F(ViewDirTest, MakeDirectoriesGivesNewLevelsToTheOwner) {
  SetCreationMask(022);
  ASSERT_EQ(0, mkdir(In("root").c_str(), 0700));
  NewOwner owner;
  if (IsRoot()) owner = {4321, 8765};
  std::vector<std::string> made;
  ASSERT_EQ(0, m_view.MakeDirectories("/root/a//b/", owner, &made));
  EXPECT_EQ((std::vector<std::string>{"/root/a", "/root/a/b"}), made);
  EXPECT_EQ(0755u, ModeOf(In("root/a/b")));
  EXPECT_EQ(0700u, ModeOf(In("root")));  // existing levels are left alone
  struct stat st;
  ASSERT_EQ(0, stat(In("root/a/b").c_str(), &st));
  if (IsRoot()) {
    EXPECT_EQ(4321u, st.st_uid);
    EXPECT_EQ(8765u, st.st_gid);
    ASSERT_EQ(0, stat(In("root").c_str(), &st));
    EXPECT_EQ(0u, st.st_uid);
  }
  made.clear();
  EXPECT_EQ(0, m_view.MakeDirectories("/root/a/b", owner, &made));  // all there already
  EXPECT_TRUE(made.empty());

  // A file in the way is never replaced.
  m_dir.WriteFile("view/x/file", "data");
  errno = 0;
  EXPECT_EQ(-1, m_view.MakeDirectories("/x/file", {}));
  EXPECT_EQ(EEXIST, errno);
  errno = 0;
  EXPECT_EQ(-1, m_view.MakeDirectories("/x/file/deeper", {}));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ("data", test::TempDir::ReadFile(In("x/file")));
}

TEST_F(ViewDirTest, RemoveDirectoryParksThenDeletesNeverFollowingLinks) {
  m_dir.WriteFile("view/dir/a", "a");
  m_dir.WriteFile("view/dir/sub/b", "b");
  m_dir.WriteFile("outside/kept", "k");
  ASSERT_EQ(0, symlink((m_dir / "outside").c_str(), In("dir/sub/link").c_str()));
  std::vector<std::string> outside = test::SnapshotTree(m_dir / "outside");
  ASSERT_EQ(0, m_view.RemoveDirectory("/dir", m_park, nullptr));
  EXPECT_FALSE(Exists(In("dir")));
  EXPECT_EQ(1u, test::SnapshotTree(m_dir / "park").size());
  EXPECT_EQ(outside, test::SnapshotTree(m_dir / "outside"));

  // Aborted: the directory has still left the view; the rest waits in the
  // parking place.
  m_dir.WriteFile("view/dir2/a", "a");
  std::atomic<int> abort_flag{1};
  ASSERT_EQ(0, m_view.RemoveDirectory("/dir2", m_park, &abort_flag));
  EXPECT_FALSE(Exists(In("dir2")));
  std::vector<std::string> parked = test::SnapshotTree(m_dir / "park");
  EXPECT_EQ(4u, parked.size());  // park, its slot, the directory, its file

  EXPECT_EQ(-1, m_view.RemoveDirectory("/missing", m_park, nullptr));
  EXPECT_EQ(parked.size(), test::SnapshotTree(m_dir / "park").size());  // the unused slot is gone again
}

// What other users may do in the daemon's work folder: nothing.
TEST(WorkDir, IsPrivateAndTakenBack) {
  test::TempDir volume;
  std::string work_path = WorkDirPath(volume.Path(), "tide-clientd.tmp.dir");
  EXPECT_EQ(volume / "@tmp/tide-clientd.tmp.dir", work_path);
  ViewDir work;
  ASSERT_EQ(0, OpenWorkDir(work_path, &work));
  EXPECT_EQ(0700u, ModeOf(work_path));
  EXPECT_EQ(01777u, ModeOf(volume / "@tmp"));
  EXPECT_TRUE(work.IsOpen());

  // Opened up, or made by someone else: taken back through the descriptor.
  ASSERT_EQ(0, chmod(work_path.c_str(), 0777));
  if (IsRoot()) {
    ASSERT_EQ(0, chown(work_path.c_str(), 1000, 1000));
  }
  ASSERT_EQ(0, OpenWorkDir(work_path, &work));
  EXPECT_EQ(0700u, ModeOf(work_path));
  struct stat st;
  ASSERT_EQ(0, stat(work_path.c_str(), &st));
  EXPECT_EQ(geteuid(), st.st_uid);
  EXPECT_EQ(getegid(), st.st_gid);

  // A link in its place is refused, and what it points at is left alone.
  volume.WriteFile("elsewhere/f", "f");
  ASSERT_EQ(0, chmod((volume / "elsewhere").c_str(), 0755));
  std::vector<std::string> before = test::SnapshotTree(volume / "elsewhere");
  ASSERT_EQ(0, rmdir(work_path.c_str()));
  ASSERT_EQ(0, symlink((volume / "elsewhere").c_str(), work_path.c_str()));
  ViewDir refused;
  EXPECT_EQ(-1, OpenWorkDir(work_path, &refused));
  EXPECT_FALSE(refused.IsOpen());
  EXPECT_EQ(before, test::SnapshotTree(volume / "elsewhere"));

  EXPECT_EQ(-1, OpenWorkDir(volume / "not-tmp/x", &refused));
}

// A run killed mid-transfer leaves its copies and parked folders behind;
// the next run's start empties the folder, never following a link out of it.
TEST(WorkDir, ClearingRemovesLeftoversButNothingALinkPointsAt) {
  test::TempDir volume;
  std::string work_path = WorkDirPath(volume.Path(), "tide-clientd.tmp.dir");
  ViewDir work;
  ASSERT_EQ(0, OpenWorkDir(work_path, &work));
  EXPECT_EQ(0, ClearWorkDir(work));

  volume.WriteFile("@tmp/tide-clientd.tmp.dir/u2EeTc", "an upload copy");
  volume.WriteFile("@tmp/tide-clientd.tmp.dir/rm.0badcafe/d/f", "a parked folder");
  volume.WriteFile("@tmp/tide-clientd.tmp.dir/@eaDir/u2EeTc@VarnEAStream", "its companion");
  volume.WriteFile("elsewhere/kept", "not ours");
  ASSERT_EQ(0, symlink((volume / "elsewhere").c_str(), (work_path + "/link").c_str()));
  std::vector<std::string> elsewhere = test::SnapshotTree(volume / "elsewhere");

  EXPECT_EQ(4, ClearWorkDir(work));
  EXPECT_EQ(1u, test::SnapshotTree(work_path).size());  // the folder alone
  EXPECT_EQ(elsewhere, test::SnapshotTree(volume / "elsewhere"));
}

// The work folder is made and checked once, then only recognised. One
// removed meanwhile (an administrator emptying "@tmp") is made again, one
// put in its place (as a mount over it does) is checked again rather than
// missed, and a link put in its place is still refused. Nothing is held
// between two opens, so the volume stays free to be unmounted.
TEST(WorkDir, CacheRecognisesTheCheckedFolderAndChecksAnyOther) {
  test::TempDir volume;
  std::string work_path = WorkDirPath(volume.Path(), "tide-clientd.tmp.dir");
  WorkDirCache cache;
  auto held_inode = [&]() -> ino_t {
    ViewDir dir;
    struct stat st;
    if (cache.Open(work_path, &dir) != 0 || fstat(dir.Fd(), &st) != 0) return 0;
    EXPECT_EQ(work_path, dir.Path());
    return st.st_ino;
  };
  auto inode_on_disk = [&]() -> ino_t {
    struct stat st;
    return stat(work_path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  // Each open is made before the disk is looked at: it may make the folder.
  ino_t held = held_inode();
  ASSERT_NE(0u, held);
  EXPECT_EQ(inode_on_disk(), held);

  ASSERT_EQ(0, rmdir(work_path.c_str()));
  held = held_inode();
  EXPECT_NE(0u, held);
  EXPECT_EQ(inode_on_disk(), held);

  // Another folder, opened up, in its place: held as itself, and taken back.
  ASSERT_EQ(0, rename(work_path.c_str(), (volume / "old-work").c_str()));
  ASSERT_EQ(0, mkdir(work_path.c_str(), 0777));
  ASSERT_EQ(0, chmod(work_path.c_str(), 0777));
  held = held_inode();
  EXPECT_EQ(inode_on_disk(), held);
  EXPECT_EQ(0700u, ModeOf(work_path));

  ASSERT_EQ(0, rmdir(work_path.c_str()));
  ASSERT_EQ(0, symlink((volume / "old-work").c_str(), work_path.c_str()));
  ViewDir refused;
  EXPECT_EQ(-1, cache.Open(work_path, &refused));
  EXPECT_FALSE(refused.IsOpen());
}

class NewObjectPermissions : public ViewDirTest {
 protected:
  // A new file and a new folder in `folder`, as a handler makes them.
  void Make(const std::string& folder, NewOwner owner) {
    UniqueFd parent(open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(parent.Valid());
    UniqueFd file(openat(parent.Get(), "file", O_WRONLY | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(file.Valid());
    EXPECT_EQ(0, ApplyNewObjectPermissions(file.Get(), parent.Get(), false, owner, folder + "/file"));
    ASSERT_EQ(0, mkdirat(parent.Get(), "dir", 0700));
    UniqueFd dir(openat(parent.Get(), "dir", O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(dir.Valid());
    EXPECT_EQ(0, ApplyNewObjectPermissions(dir.Get(), parent.Get(), true, owner, folder + "/dir"));
  }
};

TEST_F(NewObjectPermissions, FollowTheCreationMask) {
  struct Case {
    mode_t m_mask;
    mode_t m_file;
    mode_t m_dir;
  } cases[] = {{022, 0644, 0755}, {077, 0600, 0700}, {0, 0666, 0777}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_mask);
    SetCreationMask(c.m_mask);
    EXPECT_EQ(c.m_mask, CreationMask());
    std::string folder = m_dir / ("mask" + std::to_string(c.m_mask));
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    NewOwner owner;
    if (IsRoot()) owner = {4321, 8765};
    ASSERT_NO_FATAL_FAILURE(Make(folder, owner));
    EXPECT_EQ(c.m_file, ModeOf(folder + "/file"));
    EXPECT_EQ(c.m_dir, ModeOf(folder + "/dir"));
    if (IsRoot()) {
      struct stat st;
      ASSERT_EQ(0, stat((folder + "/file").c_str(), &st));
      EXPECT_EQ(4321u, st.st_uid);
      EXPECT_EQ(8765u, st.st_gid);
    }
  }
}

// A folder with a default ACL governs what is made in it, whatever the
// mask says; a new folder inherits the default ACL too.
TEST_F(NewObjectPermissions, FollowTheFoldersDefaultAcl) {
  if (system("command -v setfacl >/dev/null 2>&1") != 0) GTEST_SKIP() << "setfacl (package acl) is not installed";
  SetCreationMask(022);
  std::string folder = m_dir / "shared";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  std::string command = "setfacl -d -m u::rwx,g::rwx,o::- '" + folder + "' 2>/dev/null";
  if (system(command.c_str()) != 0) GTEST_SKIP() << "this file system takes no ACLs";
  ASSERT_NO_FATAL_FAILURE(Make(folder, {}));
  EXPECT_EQ(0660u, ModeOf(folder + "/file"));
  EXPECT_EQ(0770u, ModeOf(folder + "/dir"));
  std::string check = "getfacl -cd '" + folder + "/dir' 2>/dev/null | grep -q '^group::rwx'";
  EXPECT_EQ(0, system(check.c_str()));
}

}  // namespace
}  // namespace tide
