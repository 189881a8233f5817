#include "fs/temp_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "support/temp_dir.h"
#include "fs/critical_section.h"

namespace tide {
namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(TempFile, LastOwnerRemovesTheFile) {
  test::TempDir dir;
  std::string path;
  {
    TempFile a(dir.Path());
    EXPECT_EQ(a.OwnerCount(), 0);
    ASSERT_EQ(a.Create(), 0);
    EXPECT_EQ(a.Create(), -1);  // once only
    path = a.Path();
    EXPECT_EQ(path.rfind(dir.Path() + "/", 0), 0u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // only the daemon reads its temporaries
    {
      TempFile b(a);
      TempFile c(dir.Path());
      c = b;
      EXPECT_EQ(a.OwnerCount(), 3);
      EXPECT_EQ(c.Path(), path);
    }
    EXPECT_EQ(a.OwnerCount(), 1);
    EXPECT_TRUE(Exists(path));
  }
  EXPECT_FALSE(Exists(path));
}

TEST(TempFile, AssignmentDropsTheTargetsShare) {
  test::TempDir dir;
  TempFile first(dir.Path());
  ASSERT_EQ(first.Create(), 0);
  std::string first_path = first.Path();
  std::string second_path;
  {
    TempFile second(dir.Path());
    ASSERT_EQ(second.Create(), 0);
    second_path = second.Path();
    TempFile shared(second);  // second's file has two owners now
    shared = first;           // one of them moves over to first's file
    EXPECT_EQ(second.OwnerCount(), 1);
    EXPECT_EQ(first.OwnerCount(), 2);
    EXPECT_TRUE(Exists(second_path));
  }
  // second was then the last owner of its file.
  EXPECT_FALSE(Exists(second_path));
  EXPECT_TRUE(Exists(first_path));

  // Assigning over a sole owner removes its file at once.
  TempFile other(dir.Path());
  ASSERT_EQ(other.Create(), 0);
  std::string other_path = other.Path();
  other = first;
  EXPECT_FALSE(Exists(other_path));
  // Assigning from an object that owns nothing leaves nothing owned.
  TempFile empty(dir.Path());
  other = empty;
  EXPECT_EQ(other.Path(), "");
  EXPECT_EQ(other.OwnerCount(), 0);
  EXPECT_EQ(first.OwnerCount(), 2 - 1);
  TempFile& alias = other;
  other = alias;
  EXPECT_EQ(first.OwnerCount(), 1);
}

TEST(TempFile, KeepAndExplicitRemove) {
  test::TempDir dir;
  std::string kept;
  {
    TempFile a(dir.Path());
    ASSERT_EQ(a.Create(), 0);
    a.SetKeep(true);
    kept = a.Path();
  }
  EXPECT_TRUE(Exists(kept));

  TempFile b(dir.Path());
  ASSERT_EQ(b.Create(), 0);
  std::string removed = b.Path();
  TempFile copy(b);
  b.Remove();
  EXPECT_FALSE(Exists(removed));
  EXPECT_EQ(copy.OwnerCount(), 0);
  // A new file made after the removal belongs to b alone.
  ASSERT_EQ(b.Create(), 0);
  std::string fresh = b.Path();
  EXPECT_EQ(copy.OwnerCount(), 0);
  { TempFile gone(copy); }
  EXPECT_TRUE(Exists(fresh));
}

TEST(TempFile, CreateHandsOverTheOpenFileAndFailsInAMissingFolder) {
  test::TempDir dir;
  TempFile a(dir.Path());
  EXPECT_EQ(a.Directory(), dir.Path());
  UniqueFd fd;
  ASSERT_EQ(a.Create(&fd), 0);
  ASSERT_TRUE(fd.Valid());
  ASSERT_EQ(write(fd.Get(), "abc", 3), 3);
  EXPECT_EQ(test::TempDir::ReadFile(a.Path()), "abc");
  EXPECT_EQ(a.Create(&fd), -1);  // once only

  TempFile missing(dir / "no/such/dir");
  EXPECT_EQ(missing.Create(), -1);
  EXPECT_EQ(missing.OwnerCount(), 0);
}

TEST(CriticalSection, ExcludesOverMutexAndDescriptor) {
  std::mutex mutex;
  int inside = 0;
  int worst = 0;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      CriticalSection section(&mutex);
      worst = std::max(worst, ++inside);
      --inside;
    }
  };
  std::thread t1(work), t2(work);
  t1.join();
  t2.join();
  EXPECT_EQ(worst, 1);

  test::TempDir dir;
  std::string lock_path = dir.WriteFile("lock", "");
  int fd = open(lock_path.c_str(), O_RDWR);
  int other = open(lock_path.c_str(), O_RDWR);
  {
    CriticalSection section(fd);
    EXPECT_TRUE(section.Entered());
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
    section.Leave();
    EXPECT_FALSE(section.Entered());
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    flock(other, LOCK_UN);
    section.Enter();
    section.Enter();  // entering twice is harmless
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), -1);
  }
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(fd);
  close(other);
}

}  // namespace
}  // namespace tide
