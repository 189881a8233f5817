#include "daemon/registration.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "daemon/views_fixture.h"

namespace tide {
namespace {

class RegistrationTest : public test::ViewsFixture {};

TEST_F(RegistrationTest, StartUpRegistersEnabledViews) {
  AddUser("alice", 10);
  AddUser("bob", 11, true);
  AddShare("photos", 20);
  AddShare("old", 21, true);
  ASSERT_EQ(0, RegisterViews(&m_watch, m_config));
  EXPECT_FALSE(UserManager::IsOpen());

  RegistryEntry entry;
  ASSERT_TRUE(Registry::Instance().GetUserByName("alice", &entry));
  EXPECT_EQ(0u, entry.m_attribute);
  EXPECT_EQ("/volume1/homes/alice", entry.m_watch_path);
  EXPECT_EQ(0, entry.m_root_id);
  ASSERT_TRUE(Registry::Instance().GetShareByName("photos", &entry));
  EXPECT_EQ(VIEW_ATTR_SHARE, entry.m_attribute);
  // A disabled user is listed without a watch; a disabled share not at all.
  EXPECT_TRUE(Registered(11));
  EXPECT_FALSE(Registered(21));
  EXPECT_EQ((std::map<uint64_t, std::string>{{10, "/volume1/homes/alice"}, {20, "/volume1/photos"}}),
            m_watch.m_watched);
  EXPECT_TRUE(HasRootRow(10));
  EXPECT_TRUE(HasRootRow(11));
  EXPECT_TRUE(HasRootRow(20));
  EXPECT_FALSE(HasRootRow(21));
  EXPECT_EQ(1, Pending(10));  // the first rescan
  EXPECT_EQ(0, Pending(11));
  EXPECT_EQ(1, Pending(20));
  EXPECT_TRUE(m_log.Contains("Registry is empty"));
  EXPECT_TRUE(m_log.Contains("Register user 'alice' (with view 10) at /volume1/homes/alice"));
  EXPECT_TRUE(m_log.Contains("Register shared folder 'photos' (with view 20) at /volume1/photos"));
  EXPECT_TRUE(m_log.Contains("Skipping disabled shared folder 'old'"));
}

TEST_F(RegistrationTest, ReloadFollowsTheUserDatabase) {
  AddUser("alice", 10);
  AddUser("dave", 12);
  AddShare("photos", 20);
  ASSERT_EQ(0, RegisterViews(&m_watch, m_config));
  NativeClientDb& db = NativeClientDb::Instance();
  ASSERT_EQ(0, db.AddViewProgress(10));
  ProgressCache::Instance().Add(10, 5);

  ExecUsers("DELETE FROM user_table WHERE view_id = 10;");
  ExecUsers("UPDATE user_table SET attribute = 2 WHERE view_id IN (12, 20);");
  AddUser("carol", 13);
  m_watch.m_calls.clear();
  ASSERT_EQ(0, RegisterViews(&m_watch, m_config));

  // Removed: entry, watch, rows, progress row and catch-up entry are gone.
  EXPECT_FALSE(Registered(10));
  EXPECT_FALSE(HasRootRow(10));
  uint64_t sync_id = 0;
  EXPECT_EQ(0, db.GetViewProgress(10, &sync_id));
  EXPECT_FALSE(ProgressCache::Instance().Contains(10));
  // Disabled: only the watch goes.
  EXPECT_TRUE(Registered(12));
  EXPECT_TRUE(Registered(20));
  EXPECT_TRUE(HasRootRow(12));
  EXPECT_TRUE(Registered(13));
  EXPECT_EQ((std::vector<std::string>{"remove 10", "remove 12", "remove 20", "add 13 /volume1/homes/carol"}),
            m_watch.m_calls);
  EXPECT_TRUE(m_log.Contains("user of view_id 10 is removed"));
  EXPECT_TRUE(m_log.Contains("user of view_id 12 is disabled"));
  EXPECT_TRUE(m_log.Contains("Skipping user 'dave' (already in registry)"));
}

TEST_F(RegistrationTest, DatabaseErrorIsNotARemoval) {
  AddUser("alice", 10);
  ASSERT_EQ(0, RegisterViews(&m_watch, m_config));
  // A table the queries cannot read (opening would recreate a missing one).
  ExecUsers("DROP TABLE user_table; CREATE TABLE user_table (broken INTEGER);");
  EXPECT_EQ(-1, RegisterViews(&m_watch, m_config));
  EXPECT_TRUE(Registered(10));
  EXPECT_TRUE(HasRootRow(10));
  EXPECT_EQ(1u, m_watch.m_watched.count(10));
  EXPECT_TRUE(m_log.Contains("Failed to look up user of view_id 10, keeping it"));
  EXPECT_TRUE(m_log.Contains("Failed to enumerate users"));
  EXPECT_FALSE(UserManager::IsOpen());
}

TEST_F(RegistrationTest, FailuresStopThePass) {
  AddUser("alice", 10);
  // The user database cannot be opened.
  m_config.m_volume_path = m_dir / "nowhere";
  EXPECT_EQ(-1, RegisterViews(&m_watch, m_config));
  EXPECT_TRUE(m_log.Contains("Failed to initialize user library"));
  m_config.m_volume_path = m_dir.Path();

  // No "homes" shared folder: no user homes to serve.
  SetShareListPathForTest(m_dir.WriteFile("no-shares.conf", "photos=/volume1/photos\n"));
  EXPECT_EQ(-1, RegisterViews(&m_watch, m_config));
  EXPECT_FALSE(Registered(10));
  SetShareListPathForTest(m_dir / "shares.conf");

  // A watch that cannot be set up: the views before it stay registered.
  AddUser("bob", 11);
  AddShare("photos", 20);
  m_watch.m_fail_path = "/volume1/homes/bob";
  EXPECT_EQ(-1, RegisterViews(&m_watch, m_config));
  EXPECT_TRUE(Registered(10));
  EXPECT_FALSE(Registered(11));
  EXPECT_FALSE(Registered(20));
  EXPECT_TRUE(m_log.Contains("Failed to add watch for user 'bob' (11) at '/volume1/homes/bob'"));
  m_watch.m_fail_path = "/volume1/photos";
  EXPECT_EQ(-1, RegisterViews(&m_watch, m_config));
  EXPECT_TRUE(Registered(11));
  EXPECT_TRUE(m_log.Contains("Failed to add watch for shared folder 'photos' (20) at '/volume1/photos'"));
}

TEST_F(RegistrationTest, UsersComeInPages) {
  ExecUsers("BEGIN;");
  for (int i = 0; i < 1500; ++i) AddUser("user" + std::to_string(i), 1000 + i);
  ExecUsers("COMMIT;");
  ASSERT_EQ(0, RegisterViews(&m_watch, m_config));
  EXPECT_EQ(1500u, Registry::Instance().Size());
  EXPECT_TRUE(Registered(2499));
}

TEST_F(RegistrationTest, SingleViews) {
  AddUser("alice", 10, true);  // single registration ignores the disabled bit
  AddShare("photos", 20);
  ASSERT_EQ(0, UserManager::Initialize(UserDbPath(m_config)));
  EXPECT_EQ(0, RegisterUser(&m_watch, m_config, "ALICE"));
  EXPECT_EQ(0, RegisterShare(&m_watch, m_config, "photos"));
  EXPECT_TRUE(Registered(10));
  EXPECT_TRUE(Registered(20));
  EXPECT_EQ(1, Pending(10));
  EXPECT_TRUE(m_log.Contains("Register shared folder 'photos' (with view 20) at '/volume1/photos'"));

  // Unknown names fail before anything is written for them.
  EXPECT_EQ(-1, RegisterUser(&m_watch, m_config, "nobody"));
  EXPECT_EQ(-1, RegisterShare(&m_watch, m_config, "nothing"));
  EXPECT_FALSE(HasRootRow(0));
  EXPECT_TRUE(m_log.Contains("Failed to get user 'nobody'"));
  EXPECT_TRUE(m_log.Contains("Failed to get shared user 'nothing'"));
}

// Users and shares go through one registration; each kind and each way in
// keeps its own texts, and a view whose root row cannot be written gets
// neither a watch nor an entry.
TEST_F(RegistrationTest, EachKindKeepsItsTextsWhenTheRootRowFails) {
  AddUser("alice", 10);
  AddShare("photos", 20);
  ASSERT_EQ(0, UserManager::Initialize(UserDbPath(m_config)));
  NativeClientDb::Instance().Close();  // every write now fails
  struct Way {
    const char* m_name;
    std::function<int()> m_register;
    const char* m_text;
  };
  const Way ways[] = {
      {"all users", [&] { return RegisterAllUsers(&m_watch, m_config); }, "Failed to create view (10) in database"},
      {"all shares", [&] { return RegisterAllShares(&m_watch, m_config); }, "Failed to create view 20 in database"},
      {"one user", [&] { return RegisterUser(&m_watch, m_config, "alice"); }, "Failed to create view (10) in database"},
      {"one share", [&] { return RegisterShare(&m_watch, m_config, "photos"); },
       "Failed to create view 20 in database"},
  };
  auto count = [this](const std::string& text) {
    std::string log = m_log.Text();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.m_name);
    size_t before = count(way.m_text);
    EXPECT_EQ(-1, way.m_register());
    EXPECT_EQ(before + 1, count(way.m_text));
  }
  EXPECT_TRUE(m_watch.m_calls.empty());
  EXPECT_EQ(0u, Registry::Instance().Size());
}

}  // namespace
}  // namespace tide
