// Shared set-up of the registration and control tests: a scratch volume
// with a user database, a local database, a share list and a detector
// stand-in that records the watches it is asked for.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "core/client_config.h"
#include "core/log_capture.h"
#include "core/registry.h"
#include "core/user_manager.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "detect/watch_interface.h"
#include "event/event_manager.h"
#include "platform/vendor_system.h"
#include "support/temp_dir.h"

namespace tide::test {

class FakeWatch : public WatchInterface {
 public:
  int AddWatch(const std::string& path, uint64_t view_id) override {
    m_calls.push_back("add " + std::to_string(view_id) + " " + path);
    if (m_fail_path == path) return -1;
    m_watched[view_id] = path;
    return static_cast<int>(view_id);
  }
  int RemoveWatch(uint64_t view_id) override {
    m_calls.push_back("remove " + std::to_string(view_id));
    return m_watched.erase(view_id) == 1 ? 0 : -1;
  }
  void SetViewWithdrawnCallback(ViewWithdrawnCallback) override {}
  std::map<uint64_t, std::string> m_watched;
  std::vector<std::string> m_calls;
  std::string m_fail_path;
};

class ViewsFixture : public testing::Test {
 protected:
  void SetUp() override {
    m_config.ResetForTest();
    m_config.m_volume_path = m_dir.Path();
    mkdir((m_dir / "@tidewell").c_str(), 0755);
    mkdir((m_dir / "@tidewell/@sync").c_str(), 0755);
    SetShareListPathForTest(m_dir.WriteFile("shares.conf", "homes=" + m_dir.Path() + "/homes\n"));
    UserManager::SetLockFilePathForTest(m_dir / "user-mgr-lock-file");
    ASSERT_EQ(0, NativeClientDb::Instance().Initialize(m_dir / "db.sqlite"));
    // The package's own programs write the user database.
    ASSERT_EQ(0, UserManager::Initialize(m_dir / "@tidewell/@sync/user-db.sqlite"));
    UserManager::Destroy();
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_dir / "@tidewell/@sync/user-db.sqlite").c_str(), &m_users));
    Registry::Instance().Clear();
    EventManager::GetInstance().Reset();
    ProgressCache::Instance().Clear();
  }
  void TearDown() override {
    sqlite3_close(m_users);
    UserManager::Destroy();
    UserManager::SetLockFilePathForTest("");
    NativeClientDb::Instance().Close();
    SetShareListPathForTest("");
    Registry::Instance().Clear();
    EventManager::GetInstance().Reset();
    ProgressCache::Instance().Clear();
    m_config.ResetForTest();
  }

  void ExecUsers(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(m_users, sql.c_str(), nullptr, nullptr, &error)) << (error ? error : "");
  }
  // A user home (under /volume1, as on the appliance) or a shared folder.
  void AddUser(const std::string& name, uint64_t view_id, bool disabled = false) {
    AddRow(name, view_id, 0, disabled, "/volume1/homes/" + name);
  }
  void AddShare(const std::string& name, uint64_t view_id, bool disabled = false, const std::string& path = "") {
    AddRow("@" + name, view_id, 1, disabled, path.empty() ? "/volume1/" + name : path);
  }
  void AddRow(const std::string& name, uint64_t view_id, int type, bool disabled, const std::string& path) {
    char* sql = sqlite3_mprintf(
        "INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) "
        "VALUES (%d, %llu, %Q, 1000, 100, %d, %Q);",
        disabled ? 2 : 0, static_cast<unsigned long long>(view_id), name.c_str(), type, path.c_str());
    ExecUsers(sql);
    sqlite3_free(sql);
  }
  bool HasRootRow(uint64_t view_id) {
    NodeRecord record;
    return NativeClientDb::Instance().GetNodeByPath(view_id, "/", &record) == 1;
  }
  bool Registered(uint64_t view_id, RegistryEntry* entry = nullptr) {
    RegistryEntry scratch;
    return Registry::Instance().GetByViewId(view_id, entry ? entry : &scratch);
  }
  int Pending(uint64_t view_id) { return EventManager::GetInstance().GetViewPendingCount(view_id); }

  TempDir m_dir;
  LogCapture m_log;
  ClientConfig& m_config = ClientConfig::Instance();
  FakeWatch m_watch;
  sqlite3* m_users = nullptr;
};

}  // namespace tide::test
