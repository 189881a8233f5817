#include "fs/conflict_rename.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "support/temp_dir.h"

namespace tide {
namespace {

constexpr const char* SUFFIX = "_ADMIN_Dec-06-1641-2026_Conflict";

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// 6 December 2026, 16:41 local time.
time_t ExampleTime() {
  struct tm local = {};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 6;
  local.tm_hour = 16;
  local.tm_min = 41;
  local.tm_isdst = -1;
  return mktime(&local);
}

class ConflictRenameTest : public testing::Test {
 protected:
  void SetUp() override {
    SetConflictClockForTest(ExampleTime());
    ASSERT_EQ(m_view.Open(m_dir.Path()), 0);
  }
  void TearDown() override { SetConflictClockForTest(0); }
  test::TempDir m_dir;
  ViewDir m_view;
};

TEST(ConflictNames, TableOfPaths) {
  EXPECT_EQ(ConflictTime(ExampleTime()), "Dec-06-1641-2026");
  struct Case {
    const char* path;
    int n;
    const char* expected;
  };
  const Case cases[] = {
      {"/share/a/report.txt", 0, "/share/a/report_ADMIN_Dec-06-1641-2026_Conflict.txt"},
      {"/share/a/notes", 0, "/share/a/notes_ADMIN_Dec-06-1641-2026_Conflict"},
      {"/share/a.b/file", 0, "/share/a.b/file_ADMIN_Dec-06-1641-2026_Conflict"},
      {"/share/a/archive.tar.gz", 0, "/share/a/archive.tar_ADMIN_Dec-06-1641-2026_Conflict.gz"},
      {"/share/a/report.txt", 1, "/share/a/report_ADMIN_Dec-06-1641-2026_Conflict_1.txt"},
      {"/share/a/notes", 99, "/share/a/notes_ADMIN_Dec-06-1641-2026_Conflict_99"},
      {"/share/a/.profile", 0, "/share/a/_ADMIN_Dec-06-1641-2026_Conflict.profile"},
      {"/share/a/trailing.", 0, "/share/a/trailing_ADMIN_Dec-06-1641-2026_Conflict."},
      {"C:\\dir.x\\name.doc", 0, "C:\\dir.x\\name_ADMIN_Dec-06-1641-2026_Conflict.doc"},
      {"no-separator.txt", 0, "no-separator.txt_ADMIN_Dec-06-1641-2026_Conflict"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConflictCandidate(c.path, SUFFIX, c.n), c.expected) << c.path;
}

// Every name the rename makes is read back as a conflict copy of the name
// it was kept beside; ordinary names that merely look alike are not.
TEST(ConflictNames, ParsedBackToTheOriginal) {
  for (const char* name : {"report.txt", "notes", "archive.tar.gz", ".profile", "trailing.", "A_x.txt"}) {
    for (int n : {0, 1, 99}) {
      for (const char* reason : {"_Conflict", "_WhiteSpaceConflict"}) {
        std::string suffix = std::string("_ADMIN_Dec-06-1641-2026") + reason;
        std::string made = ConflictCandidate(std::string("/d/") + name, suffix, n).substr(3);
        std::string original;
        EXPECT_TRUE(ParseConflictName(made, &original)) << made;
        EXPECT_EQ(name, original) << made;
      }
    }
  }
  for (const char* name : {"Conflict.txt", "my_Conflict.txt", "x_ADMIN_Dec-6-1641-2026_Conflict.txt",
                           "x_Dec-06-1641-2026_Conflict.txt", "x_ADMIN_Dec-06-1641-2026_Conflicts.txt",
                           "_ADMIN_Dec-06-1641-2026_Conflict"}) {
    std::string original;
    EXPECT_FALSE(ParseConflictName(name, &original)) << name;
  }
}

TEST_F(ConflictRenameTest, RenamesAndNumbersTakenNames) {
  std::string path = m_dir.WriteFile("report.txt", "mine");
  m_dir.WriteFile(std::string("report") + SUFFIX + ".txt", "earlier conflict");
  std::string chosen;
  ASSERT_EQ(ConflictRename(m_view, "/report.txt", "ADMIN", "Conflict", &chosen), 0);
  EXPECT_EQ(chosen, std::string("/report") + SUFFIX + "_1.txt");
  EXPECT_FALSE(Exists(path));
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / (std::string("report") + SUFFIX + "_1.txt")), "mine");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / (std::string("report") + SUFFIX + ".txt")), "earlier conflict");

  std::string dir_path = m_dir / "folder.d";
  ASSERT_EQ(mkdir(dir_path.c_str(), 0777), 0);
  ASSERT_EQ(ConflictRename(m_view, "/folder.d", "ADMIN", "Conflict"), 0);
  struct stat st;
  ASSERT_EQ(stat((m_dir / (std::string("folder") + SUFFIX + ".d")).c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));

  EXPECT_EQ(ConflictRename(m_view, "/missing", "ADMIN", "Conflict"), -2);
  EXPECT_EQ(ConflictRename(m_view, "/", "ADMIN", "Conflict"), -1);  // never the view itself
}

// A hard-linked file renamed would keep sharing its data with the other
// name, and a later write there would change the conflict copy with no
// event naming it. The copy is a snapshot of its own, with the file's mode
// and times; the other name keeps its file.
TEST_F(ConflictRenameTest, AHardLinkedFileIsKeptAsACopyOfItsOwn) {
  std::string path = m_dir.WriteFile("a.txt", "shared content");
  std::string other = m_dir / "b.bin";
  ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  struct timespec times[2] = {{1000000000, 0}, {1200000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);

  std::string chosen;
  ASSERT_EQ(ConflictRename(m_view, "/a.txt", "ADMIN", "Conflict", &chosen), 0);
  EXPECT_EQ(chosen, std::string("/a") + SUFFIX + ".txt");
  EXPECT_FALSE(Exists(path));
  ASSERT_EQ(truncate(other.c_str(), 3), 0);  // a write through the other name

  std::string kept = m_dir / chosen.substr(1);
  EXPECT_EQ(test::TempDir::ReadFile(kept), "shared content");
  EXPECT_EQ(test::TempDir::ReadFile(other), "sha");
  struct stat st, other_st;
  ASSERT_EQ(stat(kept.c_str(), &st), 0);
  ASSERT_EQ(stat(other.c_str(), &other_st), 0);
  EXPECT_NE(st.st_ino, other_st.st_ino);
  EXPECT_EQ(st.st_nlink, 1u);
  EXPECT_EQ(other_st.st_nlink, 1u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);

  // A second one takes the next number and leaves the first alone.
  path = m_dir.WriteFile("a.txt", "second");
  std::string second_other = m_dir / "c.bin";
  ASSERT_EQ(link(path.c_str(), second_other.c_str()), 0);
  ASSERT_EQ(ConflictRename(m_view, "/a.txt", "ADMIN", "Conflict", &chosen), 0);
  EXPECT_EQ(chosen, std::string("/a") + SUFFIX + "_1.txt");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / chosen.substr(1)), "second");
  EXPECT_EQ(test::TempDir::ReadFile(kept), "shared content");
}

TEST_F(ConflictRenameTest, ANameTakenInAnotherCaseIsTaken) {
  // The server and the database tell names apart without regard to case.
  m_dir.WriteFile("Report.txt", "mine");
  m_dir.WriteFile(std::string("report") + SUFFIX + ".TXT", "the other name's conflict copy");
  ASSERT_EQ(ConflictRename(m_view, "/Report.txt", "ADMIN", "Conflict"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / (std::string("Report") + SUFFIX + "_1.txt")), "mine");
}

TEST_F(ConflictRenameTest, NeverOverwritesWhenEveryNumberIsTaken) {
  std::string path = m_dir.WriteFile("notes", "mine");
  for (int n = 0; n <= CONFLICT_MAX_NUMBER; ++n) {
    m_dir.WriteFile(ConflictCandidate("notes", SUFFIX, n).substr(0), "taken " + std::to_string(n));
  }
  // ConflictCandidate without a separator keeps the name whole, which is
  // exactly the relative name here.
  EXPECT_NE(ConflictRename(m_view, "notes", "ADMIN", "Conflict"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(path), "mine");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / (std::string("notes") + SUFFIX + "_99")), "taken 99");
}

TEST_F(ConflictRenameTest, WhiteSpaceRename) {
  std::string path = m_dir.WriteFile("  spaced.txt ", "one");
  ASSERT_EQ(WhiteSpaceConflictRename(m_view, "/  spaced.txt ", "  spaced.txt ", "ADMIN"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "spaced.txt"), "one");

  // The trimmed name is taken: the suffix goes before the extension.
  path = m_dir.WriteFile(" spaced.txt", "two");
  ASSERT_EQ(WhiteSpaceConflictRename(m_view, "/ spaced.txt", " spaced.txt", "ADMIN"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "spaced_ADMIN_Dec-06-1641-2026_WhiteSpaceConflict.txt"), "two");
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "spaced.txt"), "one");

  path = m_dir.WriteFile("spaced.txt  ", "three");
  ASSERT_EQ(WhiteSpaceConflictRename(m_view, "/spaced.txt  ", "spaced.txt  ", "ADMIN"), 0);
  EXPECT_EQ(test::TempDir::ReadFile(m_dir / "spaced_ADMIN_Dec-06-1641-2026_WhiteSpaceConflict_1.txt"), "three");

  EXPECT_NE(WhiteSpaceConflictRename(m_view, "/ gone", " gone", "ADMIN"), 0);
}

}  // namespace
}  // namespace tide
