// What the syncer and worker tests share: a fresh engine per test (local
// database, registry, event manager, progress cache and connection pool),
// pointed at a scratch directory.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/freeze_file.h"
#include "support/temp_dir.h"
#include "test_engine.h"

namespace tide::test {

class EngineTest : public testing::Test {
 public:
  static constexpr uint64_t VIEW = 7;

 protected:
  void SetUp() override {
    // A table test may start afresh within one test: TearDown, SetUp.
    m_engine.m_registry.Clear();
    m_engine.m_events.Reset();
    m_engine.m_progress.Clear();
    SetFreezeFilePathForTest(m_dir / "freeze");
    ASSERT_EQ(0, Db().Initialize(m_dir / "db/db.sqlite"));
  }
  void TearDown() override {
    Db().Close();
    SetFreezeFilePathForTest("");
  }

  // Registers VIEW (a home on volume 1) with the given attribute bits.
  void Register(uint32_t attribute = 0) {
    ASSERT_EQ(0, m_engine.m_registry.Add("alice", attribute, HomePath(), VIEW, 0));
  }
  std::string HomePath() const { return m_engine.Volume(1) + "/homes/alice"; }

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
    ASSERT_EQ(0, Db().UpsertNode(record));
  }

  uint64_t StoredSyncId() {
    uint64_t sync_id = 0;
    EXPECT_EQ(0, Db().GetGlobalSyncId(&sync_id));
    return sync_id;
  }

  NativeClientDb& Db() { return m_engine.m_db; }
  EventManager& Events() { return m_engine.m_events; }
  EngineContext& Engine() { return m_engine.Context(); }

  TempDir m_dir;
  TestEngine m_engine{m_dir.Path()};
};

}  // namespace tide::test
