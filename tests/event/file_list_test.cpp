#include "event/file_list.h"

#include <gtest/gtest.h>

#include <random>
#include <algorithm>
#include <stdexcept>
#include <vector>

namespace tide {
namespace {

std::vector<std::string> Walk(const FileList& list) {
  std::vector<std::string> out;
  for (auto it = list.begin(); it != list.end(); ++it) {
    out.push_back((it->m_kind == FILE_LIST_DIR ? "D" : "F") + it->m_path);
  }
  return out;
}

TEST(StringPoolTest, InternsOnceAndGrowsByDoubling) {
  StringPool pool;
  const char* a = pool.Intern("name");
  EXPECT_EQ(a, pool.Intern(std::string("na") + "me"));
  EXPECT_EQ(1u, pool.NameCount());
  EXPECT_EQ(5u, pool.BytesUsed());
  EXPECT_EQ(10u, pool.BytesReserved());  // first block: twice the first name
  EXPECT_EQ(nullptr, pool.Find("other"));
  pool.Intern("abcd");  // fills the first block exactly
  EXPECT_EQ(1, pool.BlockCount());
  pool.Intern("x");
  EXPECT_EQ(2, pool.BlockCount());
  EXPECT_EQ(30u, pool.BytesReserved());  // 10 + 2 * 10
  pool.Intern(std::string(100, 'y'));
  EXPECT_EQ(3, pool.BlockCount());
  EXPECT_EQ(30u + 202u, pool.BytesReserved());  // twice the larger: the name
  EXPECT_STREQ("name", a);                      // earlier names stay put
}

TEST(FileListTest, AddFileCreatesParentsOnce) {
  FileList list;
  EXPECT_EQ(0, list.AddFile("/a/b/c", 5, 6));
  EXPECT_EQ(3u, list.DirectoryCount());  // root, a, b
  EXPECT_EQ(-1, list.AddFile("/a/b/c", 7, 8));
  EXPECT_EQ(-1, list.AddFile("/a/b/", 7, 8));
  EXPECT_EQ(-1, list.AddFile("", 7, 8));
  EXPECT_EQ(-1, list.AddFile("/a/b", 7, 8));  // a directory of that name
  EXPECT_EQ(-1, list.AddFile("/a/b/c/d", 7, 8));  // crosses a file
  EXPECT_EQ(-1, list.AddFile("/" + std::string(4095, 'x'), 0, 0));
  EXPECT_EQ(-1, list.AddFile("/" + std::string(1024, 'x'), 0, 0));
  EXPECT_EQ(0, list.AddFile("/" + std::string(1023, 'x'), 0, 0));
  auto it = list.begin();
  ++it;  // past /xxx...
  EXPECT_EQ((FileListEntry{"/a/b/c", FILE_LIST_FILE, 5, 6}), *it);  // the first entry stays
}

TEST(FileListTest, AddDirectory) {
  FileList list;
  EXPECT_EQ(3, list.AddDirectory("/a/b/c", 9));
  EXPECT_EQ(0, list.AddDirectory("/a/b", 4));  // exists: mtime set, nothing created
  EXPECT_EQ(1, list.AddDirectory("/a//b/d/", 1));
  EXPECT_EQ(0, list.AddFile("/a/f", 0, 0));
  EXPECT_EQ(-1, list.AddDirectory("/a/f/g", 0));
  EXPECT_EQ(-1, list.AddDirectory("/" + std::string(1024, 'x'), 0));
  EXPECT_EQ(0, list.AddDirectory("/", 3));
  std::vector<FileListEntry> entries(list.begin(), list.end());
  ASSERT_EQ(6u, entries.size());
  EXPECT_EQ((FileListEntry{"/a/b", FILE_LIST_DIR, 4, 0}), entries[3]);  // after /a/f, /a/b/d, /a/b/c
  EXPECT_EQ((FileListEntry{"", FILE_LIST_DIR, 0, 0}), entries.back());  // the root, mtime 0
}

TEST(FileListTest, IterationOrder) {
  struct Case {
    std::vector<std::string> m_dirs;
    std::vector<std::string> m_files;
    std::vector<std::string> m_walk;
  } cases[] = {
      {{"/b", "/a"}, {"/a/x"}, {"D/b", "F/a/x", "D/a", "D"}},
      {{}, {}, {"D"}},
      // Files and directories of one directory interleave in descending
      // byte order; uppercase sorts before lowercase, bytes above 0x7F last.
      {{"/m", "/m/n"}, {"/z", "/a", "/m/o", "/m/n/p", "/B", "/\xc3\xa9"},
       {"F/\xc3\xa9", "F/z", "F/m/o", "F/m/n/p", "D/m/n", "D/m", "F/a", "F/B", "D"}},
      {{"/d"}, {"/d/e", "/c"}, {"D/d/e" /* placeholder, replaced below */}},
  };
  cases[3].m_walk = {"F/d/e", "D/d", "F/c", "D"};
  for (const Case& c : cases) {
    FileList list;
    for (const std::string& dir : c.m_dirs) ASSERT_GE(list.AddDirectory(dir, 1), 0) << dir;
    for (const std::string& file : c.m_files) ASSERT_EQ(0, list.AddFile(file, 1, 2)) << file;
    EXPECT_EQ(c.m_walk, Walk(list));
  }
}

TEST(FileListTest, SameTreeSameSequenceWhateverTheInsertionOrder) {
  std::vector<std::string> paths;
  for (int i = 0; i < 300; ++i) {
    paths.push_back("/d" + std::to_string(i % 7) + "/e" + std::to_string(i % 5) + "/f" + std::to_string(i));
  }
  FileList first;
  for (const std::string& path : paths) ASSERT_EQ(0, first.AddFile(path, 1, 2));
  std::shuffle(paths.begin(), paths.end(), std::mt19937(4));
  FileList second;
  for (const std::string& path : paths) ASSERT_EQ(0, second.AddFile(path, 1, 2));
  std::vector<FileListEntry> a(first.begin(), first.end()), b(second.begin(), second.end());
  EXPECT_EQ(a, b);
  EXPECT_EQ(300u + 7 + 35 + 1, a.size());
}

TEST(FileListTest, IndexBasedAdds) {
  FileList list;
  int sub = -1;
  EXPECT_EQ(1, list.AddDirectoryAt(0, "sub", 3, &sub));
  EXPECT_EQ(1, sub);
  int again = -1;
  EXPECT_EQ(0, list.AddDirectoryAt(0, "sub", 4, &again));
  EXPECT_EQ(1, again);
  EXPECT_EQ(0, list.AddFileAt(sub, "f", 5, 6));
  EXPECT_EQ(-1, list.AddFileAt(sub, "f", 5, 6));
  EXPECT_EQ(-1, list.AddDirectoryAt(sub, "f", 5));
  EXPECT_EQ(-1, list.AddFileAt(0, "sub", 5, 6));
  EXPECT_EQ(-1, list.AddFileAt(0, "a/b", 5, 6));
  EXPECT_EQ(-1, list.AddFileAt(0, "", 5, 6));
  EXPECT_EQ(-1, list.AddFileAt(-1, "g", 5, 6));
  EXPECT_EQ(-1, list.AddDirectoryAt(-1, "g", 5));
  EXPECT_THROW(list.AddFileAt(7, "g", 5, 6), std::out_of_range);
  EXPECT_THROW(list.AddDirectoryAt(2, "g", 5), std::out_of_range);
  EXPECT_EQ((std::vector<std::string>{"F/sub/f", "D/sub", "D"}), Walk(list));
  EXPECT_EQ(4u, std::next(list.begin())->m_mtime);
}

TEST(FileListTest, NamesArePooledOnce) {
  FileList list;
  for (int i = 0; i < 50; ++i) ASSERT_EQ(0, list.AddFile("/d" + std::to_string(i) + "/same", 0, 0));
  EXPECT_EQ(1u + 50 + 1, list.Pool().NameCount());  // "", d0..d49, "same"
}

}  // namespace
}  // namespace tide
