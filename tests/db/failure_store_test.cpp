#include "db/failure_store.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tide {
namespace {

std::vector<std::string> Paths(const std::vector<FailedItem>& items) {
  std::vector<std::string> paths;
  for (const FailedItem& item : items) paths.push_back(item.m_path);
  return paths;
}

TEST(FailureStore, CountsAttemptsAndKeepsTheFirstTime) {
  test::TempDir dir;
  FailureStore store;
  ASSERT_EQ(0, store.Open(dir / "failed-items.sqlite"));
  ASSERT_EQ(0, store.RecordFailure(7, "/a.txt", 4, "connect failed", 100));
  ASSERT_EQ(0, store.RecordFailure(7, "/a.txt", 5, "write: Broken pipe", 160));
  FailedItem item;
  ASSERT_EQ(1, store.Get(7, "/a.txt", &item));
  EXPECT_EQ((FailedItem{7, "/a.txt", 5, "write: Broken pipe", 2, 100, 160}), item);
  EXPECT_EQ(0, store.Get(7, "/A.txt", &item)) << "a name differing by case has no record";
  EXPECT_EQ(0, store.Get(8, "/a.txt", &item)) << "nor has the same path of another view";
}

TEST(FailureStore, ClearingOnePathOrAFolderLeavesTheRest) {
  test::TempDir dir;
  FailureStore store;
  ASSERT_EQ(0, store.Open(dir / "failed-items.sqlite"));
  for (const char* path : {"/d", "/d/x", "/d/e/y", "/dx", "/D/x", "/b"}) {
    ASSERT_EQ(0, store.RecordFailure(7, path, 4, "why", 100));
  }
  ASSERT_EQ(0, store.RecordFailure(8, "/d/x", 4, "why", 100));
  EXPECT_EQ(1, store.Clear(7, "/b"));
  EXPECT_EQ(0, store.Clear(7, "/b")) << "nothing left to clear";
  EXPECT_EQ(3, store.ClearBelow(7, "/d"));
  std::vector<FailedItem> items;
  ASSERT_EQ(3, store.List(&items));
  EXPECT_EQ((std::vector<std::string>{"/D/x", "/dx", "/d/x"}), Paths(items));
  EXPECT_EQ(2, store.ClearBelow(7, "/"));
  ASSERT_EQ(1, store.List(&items));
  EXPECT_EQ(8u, items[0].m_view_id);
}

// The records outlive the daemon, and the control program reads them from
// its own read-only connection, newest failure first.
TEST(FailureStore, RecordsSurviveAReopenAndReadOnlyReadersSeeThem) {
  test::TempDir dir;
  const std::string path = FailureDbPath(dir / "db.sqlite");
  EXPECT_EQ(dir / "failed-items.sqlite", path);
  {
    FailureStore store;
    ASSERT_EQ(0, store.Open(path));
    ASSERT_EQ(0, store.RecordFailure(7, "/old", 4, "first", 100));
    ASSERT_EQ(0, store.RecordFailure(9, "/new", 2, "second", 200));
  }
  FailureStore reopened;
  ASSERT_EQ(0, reopened.Open(path));
  EXPECT_EQ(1, reopened.Clear(7, "/old")) << "the reopened store knows the old records";
  ASSERT_EQ(0, reopened.RecordFailure(7, "/old", 4, "again", 300));

  ReadOnlyDb db;
  ASSERT_EQ(0, db.Open(path)) << db.Error();
  std::vector<FailedItem> items;
  ASSERT_EQ(2, ReadFailedItems(db, 0, &items)) << db.Error();
  EXPECT_EQ((std::vector<std::string>{"/old", "/new"}), Paths(items));
  EXPECT_EQ(1u, items[0].m_attempts) << "cleared, so counted afresh";
  ASSERT_EQ(1, ReadFailedItems(db, 9, &items));
  EXPECT_EQ("second", items[0].m_reason);
}

}  // namespace
}  // namespace tide
