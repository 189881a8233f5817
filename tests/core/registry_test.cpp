#include "core/registry.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace tide {
namespace {

class RegistryTest : public testing::Test {
 protected:
  void SetUp() override { Registry::Instance().Clear(); }
  void TearDown() override { Registry::Instance().Clear(); }
  Registry& m_registry = Registry::Instance();
};

TEST_F(RegistryTest, AddAcceptsOnlyVolumePaths) {
  struct Case {
    const char* m_path;
    int m_result;
    int32_t m_volume;
  } cases[] = {
      {"/volume1/homes/alice", 0, 1}, {"/volume12/photos", 0, 12}, {"/volume3", 0, 3},
      {"/share/x", -1, -1},           {"/volume/x", -1, -1},      {"/volumeX/y", -1, -1},
      {"/volume-1/y", -1, -1},        {"volume1/x", -1, -1},      {"", -1, -1},
  };
  uint64_t view = 1;
  for (const Case& c : cases) {
    EXPECT_EQ(c.m_result, m_registry.Add("n" + std::to_string(view), 0, c.m_path, view, 0)) << c.m_path;
    RegistryEntry entry;
    EXPECT_EQ(c.m_result == 0, m_registry.GetByViewId(view, &entry)) << c.m_path;
    if (c.m_result == 0) {
      EXPECT_EQ(c.m_volume, entry.m_volume_id) << c.m_path;
    }
    ++view;
  }
  EXPECT_EQ(-1, m_registry.Add("again", 0, "/volume1/x", 1, 0));  // view id taken
}

TEST_F(RegistryTest, NameIndexesIgnoreCaseAndSeparateSharesFromUsers) {
  ASSERT_EQ(0, m_registry.Add("Alice", 0, "/volume1/homes/Alice", 10, 0));
  ASSERT_EQ(0, m_registry.Add("alice", VIEW_ATTR_SHARE, "/volume1/alice", 11, 0));
  RegistryEntry entry;
  ASSERT_TRUE(m_registry.GetUserByName("alice", &entry));
  EXPECT_EQ(10u, entry.m_view_id);
  EXPECT_EQ(0, entry.m_root_id);
  ASSERT_TRUE(m_registry.GetShareByName("ALICE", &entry));
  EXPECT_EQ(11u, entry.m_view_id);
  EXPECT_FALSE(m_registry.GetShareByName("bob", &entry));

  // A second user of the same name takes the name over; removing the old
  // view leaves the new one findable.
  ASSERT_EQ(0, m_registry.Add("ALICE", 0, "/volume2/homes/alice", 12, 0));
  ASSERT_TRUE(m_registry.GetUserByName("Alice", &entry));
  EXPECT_EQ(12u, entry.m_view_id);
  EXPECT_EQ(0, m_registry.Remove(10));
  ASSERT_TRUE(m_registry.GetUserByName("alice", &entry));
  EXPECT_EQ(12u, entry.m_view_id);
  EXPECT_EQ(0, m_registry.Remove(12));
  EXPECT_FALSE(m_registry.GetUserByName("alice", &entry));
  EXPECT_EQ(-1, m_registry.Remove(12));
}

TEST_F(RegistryTest, WalksInViewIdOrder) {
  RegistryEntry entry;
  EXPECT_FALSE(m_registry.GetFirst(&entry));
  for (uint64_t view : {30, 10, 20}) m_registry.Add("v" + std::to_string(view), 0, "/volume1/x", view, 0);
  std::vector<uint64_t> order;
  for (bool more = m_registry.GetFirst(&entry); more; more = m_registry.GetNext(entry.m_view_id, &entry)) {
    order.push_back(entry.m_view_id);
  }
  EXPECT_EQ((std::vector<uint64_t>{10, 20, 30}), order);
  EXPECT_FALSE(m_registry.GetNext(30, &entry));
  EXPECT_FALSE(m_registry.GetNext(15, &entry));  // not registered
}

TEST_F(RegistryTest, AttributesAndPathsChangeInPlace) {
  m_registry.Add("photos", VIEW_ATTR_SHARE, "/volume1/photos", 5, 0);
  EXPECT_EQ(0, m_registry.SetAttribute(5, VIEW_ATTR_CATCHING_UP | VIEW_ATTR_PAUSED, true));
  EXPECT_EQ(0, m_registry.SetAttribute(5, VIEW_ATTR_PAUSED, false));
  EXPECT_EQ(-1, m_registry.SetAttribute(6, VIEW_ATTR_PAUSED, false));
  RegistryEntry entry;
  ASSERT_TRUE(m_registry.GetByViewId(5, &entry));
  EXPECT_EQ(VIEW_ATTR_SHARE | VIEW_ATTR_CATCHING_UP, entry.m_attribute);

  // Copies are snapshots: changing one changes nothing in the registry.
  entry.m_watch_path = "/elsewhere";
  EXPECT_EQ(0, m_registry.SetSharePath("PHOTOS", "/volume2/photos"));
  EXPECT_EQ(0, m_registry.SetSharePath("photos", "/nowhere"));  // ignored
  EXPECT_EQ(0, m_registry.SetUserPath("photos", "/volume3/photos"));  // not a user
  ASSERT_TRUE(m_registry.GetByViewId(5, &entry));
  EXPECT_EQ("/volume2/photos", entry.m_watch_path);
  EXPECT_EQ(2, entry.m_volume_id);
}

TEST_F(RegistryTest, DumpListsEveryEntryInOrder) {
  m_registry.Add("photos", VIEW_ATTR_SHARE | VIEW_ATTR_PAUSED, "/volume1/photos", 9, 0);
  m_registry.Add("alice", 0, "/volume1/homes/alice", 3, 0);
  std::string text;
  m_registry.Dump([&](const char* line) { text += std::string(line) + "|"; });
  EXPECT_EQ(
      "----------------------------|"
      "name: alice|\t - attribute: 0|\t - watch-path: '/volume1/homes/alice'\n|\t - view-id: 3\n|"
      "\t - root-id: 0\n|\t - volume-id: 1\n|"
      "name: photos|\t - attribute: 5|\t - watch-path: '/volume1/photos'\n|\t - view-id: 9\n|"
      "\t - root-id: 0\n|\t - volume-id: 1\n|"
      "----------------------------|",
      text);
}

TEST_F(RegistryTest, ConcurrentUseKeepsIndexesConsistent) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (uint64_t i = 0; i < 500; ++i) {
        uint64_t view = t * 1000 + i;
        std::string name = "u" + std::to_string(view);
        m_registry.Add(name, 0, "/volume1/homes/" + name, view, 0);
        m_registry.SetAttribute(view, VIEW_ATTR_PAUSED, true);
        RegistryEntry entry;
        m_registry.GetUserByName(name, &entry);
        if (i % 2) m_registry.Remove(view);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1000u, m_registry.Size());
  RegistryEntry entry;
  EXPECT_TRUE(m_registry.GetUserByName("u2498", &entry));
  EXPECT_FALSE(m_registry.GetUserByName("u2499", &entry));
}

}  // namespace
}  // namespace tide
