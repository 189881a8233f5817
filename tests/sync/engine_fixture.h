// What the syncer and worker tests share: a fresh local database, registry,
// event manager, progress cache and connection pool per test, pointed at
// a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/freeze_file.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "support/temp_dir.h"
#include "sync/server_connection.h"

namespace tide::test {

class EngineTest : public testing::Test {
 public:
  static constexpr uint64_t VIEW = 7;

 protected:
  void SetUp() override {
    Registry::Instance().Clear();
    EventManager::GetInstance().Reset();
    ProgressCache::Instance().Clear();
    SetFreezeFilePathForTest(m_dir / "freeze");
    ASSERT_EQ(0, NativeClientDb::Instance().Initialize(m_dir / "db/db.sqlite"));
    ConnectionPool::Instance().SetSocketPathForTest(SocketPath());
    ASSERT_EQ(0, ConnectionPool::Instance().Initialize(1));
  }
  void TearDown() override {
    ConnectionPool::Instance().Destroy();
    ConnectionPool::Instance().SetSocketPathForTest("");
    NativeClientDb::Instance().Close();
    SetFreezeFilePathForTest("");
    ProgressCache::Instance().Clear();
    EventManager::GetInstance().Reset();
    Registry::Instance().Clear();
  }

  // Registers VIEW (a home under /volume1) with the given attribute bits.
  void Register(uint32_t attribute = 0) {
    ASSERT_EQ(0, Registry::Instance().Add("alice", attribute, "/volume1/homes/alice", VIEW, 0));
  }

  std::string SocketPath() const { return m_dir / "sfsock"; }

  // A node row of VIEW at `path` with the given ids.
  void Record(const std::string& path, uint64_t node_id, uint64_t sync_id) {
    NodeRecord record;
    record.m_node_id = node_id;
    record.m_parent_id = VIEW;
    record.m_view_id = VIEW;
    record.m_sync_id = sync_id;
    record.m_path = path;
    record.m_name = path.substr(path.rfind('/') + 1);
    ASSERT_EQ(0, NativeClientDb::Instance().UpsertNode(record));
  }

  uint64_t StoredSyncId() {
    uint64_t sync_id = 0;
    EXPECT_EQ(0, NativeClientDb::Instance().GetGlobalSyncId(&sync_id));
    return sync_id;
  }

  TempDir m_dir;
};

}  // namespace tide::test
