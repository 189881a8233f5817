#include "core/user_db_reader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support/temp_dir.h"

namespace tide {
namespace {

TEST(UserDbReader, ListsUsersAndSharesWithTheirPlainNames) {
  test::TempDir dir;
  std::string path = dir / "user-db.sqlite";
  UserManager::SetLockFilePathForTest(dir / "user-mgr-lock-file");
  ASSERT_EQ(0, UserManager::Initialize(path));  // the schema, as the package creates it
  UserManager::Destroy();
  UserManager::SetLockFilePathForTest("");
  sqlite3* writer = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path.c_str(), &writer));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(writer,
                                    "INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) "
                                    "VALUES (0, 10, 'alice', 1001, 100, 0, '/volume1/homes/alice'), "
                                    "(2, 20, '@photos', 0, 0, 1, '/volume1/photos');",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(writer);

  ReadOnlyDb db;
  ASSERT_EQ(0, db.Open(path)) << db.Error();
  std::vector<UserInfo> views;
  ASSERT_EQ(2, ReadUserDbViews(db, &views)) << db.Error();
  EXPECT_EQ("alice", views[0].m_name);
  EXPECT_EQ(10u, views[0].m_view_id);
  EXPECT_EQ(1001u, views[0].m_uid);
  EXPECT_EQ("/volume1/homes/alice", views[0].m_watch_path);
  EXPECT_EQ("photos", views[1].m_name);
  EXPECT_EQ(USER_TYPE_SHARE, views[1].m_user_type);
  EXPECT_EQ(USER_ATTR_DISABLED, views[1].m_attribute);

  // A database without the table: the reason comes back, not an empty list.
  ReadOnlyDb other;
  sqlite3* empty = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((dir / "empty.sqlite").c_str(), &empty));
  sqlite3_exec(empty, "CREATE TABLE x (y);", nullptr, nullptr, nullptr);
  sqlite3_close(empty);
  ASSERT_EQ(0, other.Open(dir / "empty.sqlite"));
  views.clear();
  EXPECT_EQ(-1, ReadUserDbViews(other, &views));
  EXPECT_NE(std::string::npos, other.Error().find("user_table")) << other.Error();
}

}  // namespace
}  // namespace tide
