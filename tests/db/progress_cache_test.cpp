#include "db/progress_cache.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tide {
namespace {

class ProgressCacheTest : public testing::Test {
 protected:
  void SetUp() override { cache.Clear(); }
  void TearDown() override { cache.Clear(); }
  ProgressCache& cache = ProgressCache::Instance();
};

TEST_F(ProgressCacheTest, AddOverwritesAndSettersNeedAnEntry) {
  EXPECT_FALSE(cache.Contains(4));
  EXPECT_EQ(0u, cache.GetSyncId(4));
  cache.SetSyncId(4, 9);
  cache.SetNextSyncId(4, 9);
  EXPECT_FALSE(cache.Contains(4));
  cache.Add(4, 10);
  cache.SetNextSyncId(4, 12);
  cache.Add(4, 11);  // overwrite: next sync id back to 0
  uint64_t view = 0, sync_id = 0, next = 99;
  ASSERT_TRUE(cache.Next(4, &view, &sync_id, &next));
  EXPECT_EQ(4u, view);
  EXPECT_EQ(11u, sync_id);
  EXPECT_EQ(0u, next);
  cache.SetSyncId(4, 20);
  EXPECT_EQ(20u, cache.GetSyncId(4));
  cache.Remove(4);
  EXPECT_FALSE(cache.Contains(4));
}

TEST_F(ProgressCacheTest, NextWrapsRoundRobin) {
  uint64_t view = 0, sync_id = 0, next = 0;
  EXPECT_FALSE(cache.Next(0, &view, &sync_id, &next));
  cache.Add(30, 3);
  cache.Add(10, 1);
  cache.Add(20, 2);
  struct Case {
    uint64_t m_from;
    uint64_t m_to;
  } cases[] = {{10, 20}, {20, 30}, {30, 10}, {15, 10}, {99, 10}, {0, 10}};
  for (const Case& c : cases) {
    ASSERT_TRUE(cache.Next(c.m_from, &view, &sync_id, &next));
    EXPECT_EQ(c.m_to, view) << c.m_from;
    EXPECT_EQ(c.m_to / 10, sync_id);
  }
  cache.Remove(10);
  cache.Remove(20);
  ASSERT_TRUE(cache.Next(30, &view, &sync_id, &next));
  EXPECT_EQ(30u, view);
}

TEST_F(ProgressCacheTest, ConcurrentUse) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (uint64_t i = 0; i < 500; ++i) {
        uint64_t id = t * 1000 + i % 50;
        cache.Add(id, i);
        cache.SetNextSyncId(id, i + 1);
        uint64_t view, sync_id, next;
        cache.Next(id, &view, &sync_id, &next);
        if (i % 3 == 0) cache.Remove(id);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(cache.Size(), 200u);
}

}  // namespace
}  // namespace tide
