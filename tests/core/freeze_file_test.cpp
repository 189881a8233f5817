#include "core/freeze_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "core/log_capture.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class FreezeFileTest : public testing::Test {
 protected:
  void SetUp() override { SetFreezeFilePathForTest(Path()); }
  void TearDown() override { SetFreezeFilePathForTest(""); }
  std::string Path() const { return m_dir / "tdwl_diskfull_freeze_2"; }

  test::TempDir m_dir;
  test::LogCapture m_log;
};

TEST_F(FreezeFileTest, MissingFileIsNotFrozenAndStaysMissing) {
  EXPECT_FALSE(IsViewFrozen(42));
  EXPECT_NE(0, access(Path().c_str(), F_OK));
  EXPECT_EQ("", m_log.Text());
}

TEST_F(FreezeFileTest, FreezeAppendsOnceInTheSharedFormat) {
  FreezeView(42);
  EXPECT_EQ(" 42\n", test::TempDir::ReadFile(Path()));
  FreezeView(42);
  EXPECT_EQ(" 42\n", test::TempDir::ReadFile(Path()));
  EXPECT_TRUE(m_log.Contains("view id 42 is already in freeze mode"));
  FreezeView(0);  // a full disk before any view was known
  EXPECT_EQ(" 42\n 0\n", test::TempDir::ReadFile(Path()));
  struct stat st;
  ASSERT_EQ(0, stat(Path().c_str(), &st));
  EXPECT_EQ(0644u, st.st_mode & 07777);
}

TEST_F(FreezeFileTest, ReadsWhateverSpacingOtherWritersUse) {
  m_dir.WriteFile("tdwl_diskfull_freeze_2", "7\n  42 \n\n18446744073709551615");
  EXPECT_TRUE(IsViewFrozen(42));
  EXPECT_TRUE(IsViewFrozen(7));
  EXPECT_TRUE(IsViewFrozen(18446744073709551615ull));
  EXPECT_FALSE(IsViewFrozen(4));
}

TEST_F(FreezeFileTest, PlantedLinksAndFifosAreNotFollowed) {
  std::string victim = m_dir.WriteFile("victim", " 5\n");
  ASSERT_EQ(0, symlink(victim.c_str(), Path().c_str()));
  EXPECT_FALSE(IsViewFrozen(5));
  FreezeView(6);
  EXPECT_EQ(" 5\n", test::TempDir::ReadFile(victim));
  EXPECT_TRUE(m_log.Contains("open file '" + Path() + "' failed: "));

  // A FIFO would block a worker in open() forever.
  ASSERT_EQ(0, unlink(Path().c_str()));
  ASSERT_EQ(0, mkfifo(Path().c_str(), 0600));
  EXPECT_FALSE(IsViewFrozen(5));
  FreezeView(6);
}

// A worker's copy that met a full disk freezes the view only when nothing
// touched the freeze file since the worker began: a lift (emptied or
// removed file) that came in between may already have brought the space
// back, and a freeze written after it would never be lifted.
TEST_F(FreezeFileTest, FreezeAfterAFullCopyDefersToALiftSinceTheWorkBegan) {
  struct Case {
    const char* name;
    const char* before;  // nullptr: no file when the work begins
    const char* after;   // what the package wrote meanwhile; nullptr: removed it; "=": nothing
    bool frozen;
    const char* left;    // nullptr: no file afterwards
  };
  const Case cases[] = {
      {"first freeze, nothing meanwhile", nullptr, "=", true, " 10\n"},
      {"other view listed, nothing meanwhile", " 7\n", "=", true, " 7\n 10\n"},
      {"lifted by emptying", " 10\n", "", false, ""},
      {"created and emptied after the work began", nullptr, "", false, ""},
      {"lifted by removal", " 7\n", nullptr, false, nullptr},
      {"another worker froze it meanwhile", nullptr, " 10\n", true, " 10\n"},
      {"another view frozen meanwhile", "", " 7\n", false, " 7\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(Path().c_str());
    if (c.before != nullptr) m_dir.WriteFile("tdwl_diskfull_freeze_2", c.before);
    FreezeFileState seen;
    IsViewFrozen(10, &seen);
    EXPECT_EQ(c.before != nullptr, seen.m_exists);
    if (c.after == nullptr) {
      unlink(Path().c_str());
    } else if (std::string(c.after) != "=") {
      // A rewrite within the same clock tick still changes the inode times
      // or size on every file system used here; make sure of it anyway.
      usleep(20000);
      m_dir.WriteFile("tdwl_diskfull_freeze_2", c.after);
    }
    EXPECT_EQ(c.frozen, FreezeViewUnlessChanged(10, seen));
    if (c.left == nullptr) {
      EXPECT_NE(0, access(Path().c_str(), F_OK));
    } else {
      EXPECT_EQ(c.left, test::TempDir::ReadFile(Path()));
    }
  }
}

TEST_F(FreezeFileTest, ConcurrentFreezesAllLand) {
  std::vector<std::thread> threads;
  for (uint64_t view = 1; view <= 8; ++view) {
    threads.emplace_back([view] {
      for (int i = 0; i < 20; ++i) FreezeView(view);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (uint64_t view = 1; view <= 8; ++view) EXPECT_TRUE(IsViewFrozen(view)) << view;
  EXPECT_FALSE(IsViewFrozen(9));
}

}  // namespace
}  // namespace tide
