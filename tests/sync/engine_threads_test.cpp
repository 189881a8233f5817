// The syncer and workers on threads of their own, as the daemon runs them,
// against the scripted server: a batch of server changes is carried out and
// the position stored only then. Run under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "fake_server.h"
#include "sync/syncer_native.h"
#include "sync/worker_native.h"

namespace tide {
namespace {

std::mutex g_done_mutex;
std::multiset<std::string> g_done;  // guarded by g_done_mutex

// Stands in for the download: records the node with the server's sync id,
// as a finished download does, so the server's repetition is an echo.
HandlerOutcome RecordingDownload(const WorkItem& item, EngineContext& engine) {
  const Event& e = item.m_event;
  NodeRecord record;
  record.m_node_id = e.m_node_id;
  record.m_parent_id = e.m_view_id;
  record.m_view_id = e.m_view_id;
  record.m_sync_id = e.m_sync_id;
  record.m_path = e.m_path;
  record.m_name = e.m_path.substr(e.m_path.rfind('/') + 1);
  if (engine.m_db.UpsertNode(record) < 0) return HandlerOutcome::RETRY;
  std::lock_guard<std::mutex> lock(g_done_mutex);
  g_done.insert(e.m_path);
  return HandlerOutcome::DONE;
}
HandlerOutcome Nothing(const WorkItem&, EngineContext&) { return HandlerOutcome::DONE; }
int NoFollowUp(const WorkItem&, EngineContext&, Event*) { return 0; }

template <typename Predicate>
bool Eventually(Predicate predicate) {
  for (int i = 0; i < 3000; ++i) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class EngineThreadsTest : public test::EngineTest {};

TEST_F(EngineThreadsTest, ServerChangesAreCarriedOutBeforeThePositionIsStored) {
  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  Register();
  ASSERT_EQ(0, Db().SetGlobalSyncId(10));
  for (uint64_t i = 0; i < 20; ++i) {
    server.AddChange(test::Change(VIEW, "/f" + std::to_string(i), 11 + i, 1000 + i));
  }
  {
    std::lock_guard<std::mutex> lock(g_done_mutex);
    g_done.clear();
  }

  const WorkerHandlers handlers{&Nothing, &RecordingDownload, &Nothing, &Nothing, &Nothing,
                                &Nothing, &Nothing,           &Nothing, &Nothing, &NoFollowUp};
  SyncerNative syncer(0, 0, Engine());
  std::vector<std::unique_ptr<WorkerNative>> workers;
  for (int i = 0; i < 3; ++i) {
    workers.push_back(std::make_unique<WorkerNative>(0, 0, Engine()));
    workers.back()->SetHandlersForTest(handlers);
  }
  for (auto& worker : workers) ASSERT_EQ(0, worker->Start());
  ASSERT_EQ(0, syncer.Start());

  EXPECT_TRUE(Eventually([&] { return StoredSyncId() == 30; }));
  syncer.Stop();
  for (auto& worker : workers) worker->Stop();
  syncer.Join();
  for (auto& worker : workers) worker->Join();

  std::lock_guard<std::mutex> lock(g_done_mutex);
  for (uint64_t i = 0; i < 20; ++i) EXPECT_EQ(1u, g_done.count("/f" + std::to_string(i))) << i;
  // The repetition of the last change was dropped as an echo.
  EXPECT_EQ(20u, g_done.size());
  EXPECT_EQ(0, Events().GetPendingServerEventCount(m_engine.m_registry));
}

}  // namespace
}  // namespace tide
