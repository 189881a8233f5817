#include "fs/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <ctime>
#include <set>
#include <string>

#include "support/temp_dir.h"
#include "support/private_mount.h"

namespace tide {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(FSGetInfo, KindsAndMissingPath) {
  test::TempDir dir;
  std::string file = dir.WriteFile("f.txt", "12345");
  ASSERT_EQ(symlink(file.c_str(), (dir / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::string sock_path = dir / "sock";
  strncpy(address.sun_path, sock_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  struct Case {
    std::string path;
    int type;
  };
  const Case cases[] = {{file, FILE_TYPE_REGULAR}, {dir.Path(), FILE_TYPE_DIRECTORY}, {dir / "link", FILE_TYPE_SYMLINK},
                        {dir / "fifo", FILE_TYPE_FIFO}, {sock_path, FILE_TYPE_SOCKET}, {"/dev/null", FILE_TYPE_DEVICE}};
  for (const Case& c : cases) {
    FileInfo info;
    ASSERT_EQ(FSGetInfo(c.path, &info), 0) << c.path;
    EXPECT_TRUE(info.m_exists);
    EXPECT_EQ(info.m_type, c.type) << c.path;
    EXPECT_EQ(info.m_path, c.path);
  }
  close(sock);

  FileInfo info;
  ASSERT_EQ(FSGetInfo(file, &info), 0);
  EXPECT_EQ(info.m_name, "f.txt");
  EXPECT_EQ(info.m_size, 5u);
  EXPECT_EQ(info.m_uid, static_cast<int32_t>(geteuid()));

  time_t before = time(nullptr);
  ASSERT_EQ(FSGetInfo(dir / "missing", &info), 0);
  EXPECT_FALSE(info.m_exists);
  EXPECT_EQ(info.m_type, FILE_TYPE_REGULAR);
  EXPECT_EQ(info.m_size, 0u);
  EXPECT_GE(info.m_mtime, before);
  EXPECT_EQ(info.m_name, "missing");

  EXPECT_EQ(FSGetInfo(file + "/below", &info), -2);  // ENOTDIR
  EXPECT_EQ(FSGetInfo("", &info), -1);
}

TEST(FSMkdir, PlainAndRecursive) {
  test::TempDir dir;
  EXPECT_EQ(FSMkdir(dir / "one", false), 0);
  EXPECT_TRUE(IsDir(dir / "one"));
  EXPECT_EQ(FSMkdir(dir / "one", false), -2);
  EXPECT_EQ(FSMkdir(dir / "a/b", false), -2);
  EXPECT_EQ(FSMkdir("", true), -1);

  EXPECT_EQ(FSMkdir(dir / "a//b/c/", true), 0);
  EXPECT_TRUE(IsDir(dir / "a/b/c"));
  EXPECT_EQ(FSMkdir(dir / "a/b/c", true), 0);  // all there already

  EXPECT_EQ(FSMkdir(dir / "m", true, false, 0750), 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "m").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);

  // A file in the way: refused unless replacement was asked for.
  dir.WriteFile("x/file", "data");
  errno = 0;
  EXPECT_EQ(FSMkdir(dir / "x/file", true), -1);
  EXPECT_EQ(errno, EEXIST);
  errno = 0;
  EXPECT_EQ(FSMkdir(dir / "x/file/deeper", true), -1);
  EXPECT_EQ(errno, ENOTDIR);
  EXPECT_EQ(test::TempDir::ReadFile(dir / "x/file"), "data");
  EXPECT_EQ(FSMkdir(dir / "x/file/deeper", true, true), 0);
  EXPECT_TRUE(IsDir(dir / "x/file/deeper"));
}

TEST(FSCreateTempFileAndSetTime, Basics) {
  test::TempDir dir;
  std::string a, b;
  int fd_a = FSCreateTempFile(dir.Path(), &a);
  int fd_b = FSCreateTempFile(dir.Path(), &b);
  ASSERT_GE(fd_a, 0);
  ASSERT_GE(fd_b, 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.size(), dir.Path().size() + 7);
  // The descriptor handed back is the file at the path, open for writing,
  // readable by nobody else.
  ASSERT_EQ(write(fd_a, "xy", 2), 2);
  EXPECT_EQ(test::TempDir::ReadFile(a), "xy");
  struct stat st;
  ASSERT_EQ(fstat(fd_a, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_NE(fcntl(fd_a, F_GETFD) & FD_CLOEXEC, 0);
  close(fd_a);
  close(fd_b);
  EXPECT_EQ(FSCreateTempFile(dir / "missing", &a), -1);
  EXPECT_EQ(FSCreateTempFile(std::string(5000, 'x'), &a), -1);

  ASSERT_EQ(FSSetTime(b, 1000, 2000000000), 0);
  ASSERT_EQ(stat(b.c_str(), &st), 0);
  EXPECT_EQ(st.st_atime, 1000);
  EXPECT_EQ(st.st_mtime, 2000000000);
  EXPECT_EQ(FSSetTime(dir / "missing", 1, 1), -1);
}

TEST(FSCopy, CopiesAndOptionallyRemovesTheSource) {
  test::TempDir dir;
  std::string data(3 * 1024 * 1024 + 17, 'q');
  for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  std::string source = dir.WriteFile("src", data);
  dir.WriteFile("dst", std::string(10 * 1024 * 1024, 'z'));  // truncated by the copy
  ASSERT_EQ(FSCopy(source, dir / "dst", false), 0);
  EXPECT_EQ(test::TempDir::ReadFile(dir / "dst"), data);
  EXPECT_TRUE(Exists(source));
  ASSERT_EQ(FSCopy(source, dir / "moved", true), 0);
  EXPECT_FALSE(Exists(source));
  EXPECT_EQ(test::TempDir::ReadFile(dir / "moved"), data);

  dir.WriteFile("empty", "");
  ASSERT_EQ(FSCopy(dir / "empty", dir / "empty2", false), 0);
  EXPECT_EQ(test::TempDir::ReadFile(dir / "empty2"), "");
  // Files that report no size but can be read still copy.
  ASSERT_EQ(FSCopy("/proc/self/status", dir / "status", false), 0);
  EXPECT_NE(test::TempDir::ReadFile(dir / "status").find("Name:"), std::string::npos);

  EXPECT_EQ(FSCopy(dir / "missing", dir / "x", false), -1);
  EXPECT_EQ(FSCopy(dir / "moved", dir / "no/such/dir", false), -1);
  EXPECT_EQ(FSCopy("", dir / "x", false), -1);
}

TEST(FSCopy, FullDiskGivesMinusTwo) {
  test::TempDir dir;
  std::string source = dir.WriteFile("big", std::string(3 * 1024 * 1024, 'b'));
  ASSERT_EQ(FSMkdir(dir / "small", false), 0);
  std::string target = dir / "small/copy";
  int status = test::RunWithSmallTmpfs(dir / "small", "1m", [&] {
    if (FSCopy(source, target, true) != -2) return 1;
    if (!Exists(source)) return 2;  // a failed copy keeps its source
    return 0;
  });
  if (status == test::MOUNT_NOT_PERMITTED) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(status, 0);
}

TEST(FSMove, RenamesWithinAFileSystem) {
  test::TempDir dir;
  dir.WriteFile("a", "A");
  dir.WriteFile("b", "B");
  EXPECT_EQ(FSMove(dir / "a", dir / "b"), 0);  // plain move replaces
  EXPECT_EQ(test::TempDir::ReadFile(dir / "b"), "A");
  EXPECT_EQ(FSMove(dir / "a", dir / "c"), -2);
  EXPECT_EQ(FSMove(dir / "b", dir / "no/such/c"), -3);
  EXPECT_EQ(FSMove("", dir / "c"), -1);

  dir.WriteFile("d", "D");
  errno = 0;
  EXPECT_EQ(FSMoveNoReplace(dir / "b", dir / "d"), FS_MOVE_TARGET_EXISTS);
  EXPECT_EQ(test::TempDir::ReadFile(dir / "d"), "D");
  EXPECT_EQ(FSMoveNoReplace(dir / "b", dir / "e"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(dir / "e"), "A");
}

TEST(FSMove, CrossDeviceCopiesFilesAndWholeTrees) {
  test::TempDir dir;
  dir.WriteFile("tree/one", "1");
  dir.WriteFile("tree/sub/two", "22");
  dir.WriteFile("tree/sub/deeper/three", "333");
  ASSERT_EQ(FSMkdir(dir / "tree/emptydir", false), 0);
  dir.WriteFile("file", "plain");
  dir.WriteFile("taken", "keep me");
  ASSERT_EQ(FSMkdir(dir / "other", false), 0);
  std::string other = dir / "other";
  int status = test::RunWithSmallTmpfs(other, "8m", [&] {
    if (FSMove(dir / "file", other + "/file") != 0) return 1;
    if (Exists(dir / "file") || test::TempDir::ReadFile(other + "/file") != "plain") return 2;
    if (FSMove(dir / "tree", other + "/tree") != 0) return 3;
    if (Exists(dir / "tree")) return 4;
    if (test::TempDir::ReadFile(other + "/tree/sub/deeper/three") != "333") return 5;
    if (test::TempDir::ReadFile(other + "/tree/one") != "1" || !IsDir(other + "/tree/emptydir")) return 6;
    if (FSMove(other + "/tree", dir / "back") != 0 || !Exists(dir / "back/sub/two")) return 7;
    // Across devices, too, the no-replace move leaves an existing target.
    if (FSMoveNoReplace(other + "/file", dir / "taken") != FS_MOVE_TARGET_EXISTS) return 8;
    if (test::TempDir::ReadFile(dir / "taken") != "keep me" || !Exists(other + "/file")) return 9;
    return 0;
  });
  if (status == test::MOUNT_NOT_PERMITTED) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(status, 0);
}

TEST(FSRemove, FilesTreesAndMissingPaths) {
  test::TempDir dir;
  dir.WriteFile("t/a", "a");
  dir.WriteFile("t/b/c", "c");
  std::string outside = dir.WriteFile("outside/kept", "k");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "t/link").c_str()), 0);
  EXPECT_EQ(FSRemove(dir / "t"), 0);
  EXPECT_FALSE(Exists(dir / "t"));
  EXPECT_TRUE(Exists(outside));  // a link inside is removed, not followed
  EXPECT_EQ(FSRemove(dir / "t"), 0);
  EXPECT_EQ(FSRemove(outside), 0);
  EXPECT_FALSE(Exists(outside));
  EXPECT_EQ(FSRemove(""), -1);
}

TEST(FSOpenDir, ListsEntriesWithOrWithoutInfo) {
  test::TempDir dir;
  dir.WriteFile("a", "xyz");
  ASSERT_EQ(FSMkdir(dir / "d", false), 0);
  FSDir handle;
  ASSERT_EQ(FSOpenDir(dir.Path(), FS_DIR_WITH_INFO, &handle), 0);
  std::set<std::string> names;
  std::string name;
  FileInfo info;
  int got;
  while ((got = handle.Next(&name, &info)) == 1) {
    names.insert(name);
    if (name == "a") {
      EXPECT_EQ(info.m_size, 3u);
    }
    if (name == "d") {
      EXPECT_EQ(info.m_type, FILE_TYPE_DIRECTORY);
    }
  }
  EXPECT_EQ(got, 0);
  EXPECT_EQ(names, (std::set<std::string>{"a", "d"}));

  FSDir plain;
  ASSERT_EQ(FSOpenDir(dir / "d", 0, &plain), 0);
  EXPECT_EQ(plain.Next(&name), 0);
  EXPECT_EQ(FSOpenDir(dir / "missing", 0, &plain), -1);
  EXPECT_EQ(plain.Next(&name), -1);
}

}  // namespace
}  // namespace tide
