#include "core/user_manager.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fcntl.h>
#include <thread>

#include "core/log_capture.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class UserManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    UserManager::SetLockFilePathForTest(m_dir / "user-mgr-lock-file");
    ASSERT_EQ(0, UserManager::Initialize(DbPath()));
    ASSERT_EQ(SQLITE_OK, sqlite3_open(DbPath().c_str(), &m_writer));
  }
  void TearDown() override {
    sqlite3_close(m_writer);
    UserManager::Destroy();
    UserManager::SetLockFilePathForTest("");
  }
  std::string DbPath() const { return m_dir / "user-db.sqlite"; }
  // Stands in for the package's other programs, which write the rows.
  void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(m_writer, sql.c_str(), nullptr, nullptr, &error)) << (error ? error : "");
  }
  void AddRow(const std::string& name, uint64_t view_id, int user_type, uint32_t attribute = 0,
              const std::string& path = "") {
    std::string watch = path.empty() ? "/volume1/homes/" + name : path;
    char* sql = sqlite3_mprintf(
        "INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) "
        "VALUES (%u, %llu, %Q, 1001, 100, %d, %Q);",
        attribute, static_cast<unsigned long long>(view_id), name.c_str(), user_type, watch.c_str());
    Exec(sql);
    sqlite3_free(sql);
  }

  test::TempDir m_dir;
  test::LogCapture m_log;
  sqlite3* m_writer = nullptr;
};

TEST_F(UserManagerTest, OpensOnceAndCreatesSchemaAndLockFile) {
  sqlite3* first = UserManager::db;
  EXPECT_EQ(0, UserManager::Initialize(m_dir / "other.sqlite"));
  EXPECT_EQ(first, UserManager::db);
  EXPECT_FALSE(access((m_dir / "other.sqlite").c_str(), F_OK) == 0);

  AddRow("alice", 7, 0);  // the table exists
  Exec("SELECT value FROM config_table WHERE key = 'version';");
  struct stat st;
  ASSERT_EQ(0, lstat((m_dir / "user-mgr-lock-file").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_FALSE(UserManager::seed.empty());
  EXPECT_FALSE(UserManager::g_is_cached);
}

TEST_F(UserManagerTest, DestroyClosesAndDropsCacheViews) {
  Exec("CREATE VIEW cuser_table AS SELECT * FROM user_table;");
  UserManager::Destroy();
  EXPECT_FALSE(UserManager::IsOpen());
  EXPECT_EQ(-1, UserManager::lock);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(SQLITE_OK,
            sqlite3_prepare_v2(m_writer, "SELECT count(*) FROM sqlite_master WHERE name = 'cuser_table';", -1, &stmt,
                               nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(stmt));
  EXPECT_EQ(0, sqlite3_column_int(stmt, 0));
  sqlite3_finalize(stmt);
  UserInfo info;
  EXPECT_EQ(-1, UserManager::GetUserByDefaultView(1, &info));
}

TEST_F(UserManagerTest, LockFileIsNotOpenedThroughALink) {
  UserManager::Destroy();
  std::string victim = m_dir / "victim";
  std::string link = m_dir / "planted-lock";
  ASSERT_EQ(0, symlink(victim.c_str(), link.c_str()));
  UserManager::SetLockFilePathForTest(link);
  EXPECT_EQ(-1, UserManager::Initialize(DbPath()));
  EXPECT_FALSE(UserManager::IsOpen());
  EXPECT_NE(0, access(victim.c_str(), F_OK));
  EXPECT_TRUE(m_log.Contains("UserManager::Initialize: open: "));
}

TEST_F(UserManagerTest, UnopenableDatabaseFails) {
  UserManager::Destroy();
  std::string path = m_dir / "missing/dir/user-db.sqlite";
  EXPECT_EQ(-1, UserManager::Initialize(path));
  EXPECT_TRUE(m_log.Contains("sqlite3_open(" + path + "): "));
}

TEST_F(UserManagerTest, GetUserByDefaultView) {
  AddRow("alice", 10, 0, 0x2);
  AddRow("@photos", 11, 1, 0, "/volume1/photos");
  struct Case {
    uint64_t m_view_id;
    int m_result;
    const char* m_name;
    int32_t m_type;
  } cases[] = {{10, 1, "alice", 0}, {11, 1, "photos", 1}, {12, 0, "untouched", 9}};
  for (const Case& c : cases) {
    UserInfo info;
    info.m_name = "untouched";
    info.m_user_type = 9;
    EXPECT_EQ(c.m_result, UserManager::GetUserByDefaultView(c.m_view_id, &info)) << c.m_view_id;
    EXPECT_EQ(c.m_name, info.m_name);
    EXPECT_EQ(c.m_type, info.m_user_type);
  }
  UserInfo alice;
  ASSERT_EQ(1, UserManager::GetUserByDefaultView(10, &alice));
  EXPECT_EQ(10u, alice.m_view_id);
  EXPECT_EQ(0x2u, alice.m_attribute);
  EXPECT_EQ(1001u, alice.m_uid);
  EXPECT_EQ(100u, alice.m_gid);
  EXPECT_EQ("/volume1/homes/alice", alice.m_watch_path);
}

TEST_F(UserManagerTest, LookupsByNameIgnoreCaseAndKeepKinds) {
  AddRow("alice", 10, 0);
  AddRow("@Photos", 11, 1, 0, "/volume1/photos");
  AddRow("bob", 12, 1);  // a share row named like a user: not a user

  UserInfo user;
  EXPECT_EQ(0, UserManager::EnumUser("ALICE", &user));
  EXPECT_EQ(10u, user.m_view_id);
  EXPECT_EQ("alice", user.m_name);

  UserInfo share;
  EXPECT_EQ(0, UserManager::GetShareUser("photos", &share));
  EXPECT_EQ(11u, share.m_view_id);
  EXPECT_EQ("Photos", share.m_name);
  EXPECT_EQ("/volume1/photos", share.m_watch_path);

  // Missing rows are no error and leave the record as it was.
  for (const char* name : {"bob", "carol", "photos"}) {
    UserInfo missing;
    EXPECT_EQ(0, UserManager::EnumUser(name, &missing)) << name;
    EXPECT_EQ(0u, missing.m_view_id) << name;
  }
  UserInfo missing;
  EXPECT_EQ(0, UserManager::GetShareUser("alice", &missing));
  EXPECT_EQ(0u, missing.m_view_id);

  // Names are quoted, not pasted into the statement.
  EXPECT_EQ(0, UserManager::EnumUser("x' OR '1'='1", &missing));
  EXPECT_EQ(0u, missing.m_view_id);
}

TEST_F(UserManagerTest, PagesOfUsers) {
  Exec("BEGIN;");
  for (int i = 0; i < 1500; ++i) AddRow("user" + std::to_string(i), 1000 + i, 0);
  AddRow("@share", 5, 1);
  Exec("COMMIT;");

  std::vector<UserInfo> first;
  uint32_t offset = 0;
  ASSERT_EQ(0, UserManager::EnumUser(&first, 1000, &offset, true));
  EXPECT_EQ(1000u, first.size());
  EXPECT_EQ(1000u, offset);
  std::vector<UserInfo> second;
  ASSERT_EQ(0, UserManager::EnumUser(&second, 1000, &offset, true));
  EXPECT_EQ(500u, second.size());
  EXPECT_EQ(1500u, offset);
  EXPECT_EQ("user1499", second.back().m_name);
  EXPECT_EQ(2499u, second.back().m_view_id);
}

TEST_F(UserManagerTest, MalformedShareRowsAreSkipped) {
  AddRow("alice", 10, 0);
  AddRow("@photos", 11, 1);
  AddRow("noat", 12, 1);
  Exec("INSERT INTO user_table (attribute, view_id, name, user_type, watch_path) VALUES (0, 13, NULL, 1, '/x');");

  std::vector<ShareInfo> shares;
  ASSERT_EQ(0, UserManager::EnumShareUser(&shares));
  ASSERT_EQ(1u, shares.size());
  EXPECT_EQ("photos", shares[0].m_name);
  EXPECT_EQ(11u, shares[0].m_view_id);
  EXPECT_TRUE(m_log.Contains("[WARNING] user-mgr("));
  EXPECT_TRUE(m_log.Contains("UserManager::EnumShareUser: skipping share user 'noat'"));
  EXPECT_TRUE(m_log.Contains("UserManager::EnumShareUser: skipping share user '(unknown)'"));

  std::vector<UserInfo> all;
  uint32_t offset = 0;
  ASSERT_EQ(0, UserManager::EnumUser(&all, 1000, &offset, false));
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ("alice", all[0].m_name);
  EXPECT_EQ("photos", all[1].m_name);
  EXPECT_EQ(4u, offset);  // past the skipped rows too
}

TEST_F(UserManagerTest, StatementErrorsNameTheOperation) {
  Exec("DROP TABLE user_table;");
  UserInfo info;
  std::vector<UserInfo> users;
  std::vector<ShareInfo> shares;
  uint32_t offset = 0;
  EXPECT_EQ(-1, UserManager::GetUserByDefaultView(1, &info));
  EXPECT_EQ(-1, UserManager::GetShareUser("x", &info));
  EXPECT_EQ(-1, UserManager::EnumUser("x", &info));
  EXPECT_EQ(-1, UserManager::EnumUser(&users, 10, &offset, true));
  EXPECT_EQ(-1, UserManager::EnumShareUser(&shares));
  EXPECT_EQ(0u, offset);
  for (const char* op : {"UserManager::GetUserByDefaultView", "UserManager::GetShareUser", "UserManager::EnumUser",
                         "UserManager::EnumShareUser"}) {
    // The first statement notices the other connection's change only when
    // stepping; the later ones already when preparing.
    std::string text = m_log.Text();
    EXPECT_TRUE(text.find(std::string(op) + ": sqlite3_prepare_v2(1): no such table: user_table") != std::string::npos ||
                text.find(std::string(op) + ": sqlite3_step(1): no such table: user_table") != std::string::npos)
        << op << "\n" << text;
  }
}

TEST_F(UserManagerTest, StatementsWaitForTheLockFile) {
  AddRow("alice", 10, 0);
  int other = open((m_dir / "user-mgr-lock-file").c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  ASSERT_EQ(0, flock(other, LOCK_EX));
  std::atomic<int> result{-2};
  std::thread reader([&] {
    UserInfo info;
    result = UserManager::GetUserByDefaultView(10, &info);
  });
  usleep(200 * 1000);
  EXPECT_EQ(-2, result.load());  // still waiting for the other holder
  flock(other, LOCK_UN);
  reader.join();
  EXPECT_EQ(1, result.load());
  close(other);
}

}  // namespace
}  // namespace tide
