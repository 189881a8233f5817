#include "sync/syncer_native.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "fake_server.h"

namespace tide {
namespace {

using test::Change;
using test::FakeServer;

// A syncer stepped on the test's thread: "running" without a thread of its
// own, with the waits inside a step recorded instead of slept. Each wait runs the test's
// hook first, which plays the workers.
class SteppedSyncer : public SyncerNative {
 public:
  explicit SteppedSyncer(EngineContext& engine) : SyncerNative(0, 0, engine) { Resume(); }

  std::vector<unsigned> m_waits;
  int m_paused_sleeps = 0;
  std::function<void(int wait_number)> m_on_wait;

 protected:
  int WaitSeconds(unsigned seconds) override {
    m_waits.push_back(seconds);
    if (m_on_wait) m_on_wait(static_cast<int>(m_waits.size()));
    return GetState() == TASK_RUNNING ? 0 : -1;
  }
  void SleepWhilePaused() override { ++m_paused_sleeps; }
  int WaitForWorkersPass(unsigned seconds, uint64_t) override {
    WaitSeconds(seconds);
    return 0;
  }
};

// Plays the workers: takes every event handed out and reports it done.
std::vector<Event> Drain(EventManager& events) {
  static Task worker(0, 0);
  std::vector<Event> taken;
  Event event;
  while (events.PullEvent(&worker, &event) == 0) {
    taken.push_back(event);
    events.DoneEvent(&worker, &event);
  }
  return taken;
}

NPullEventResponse Batch(uint64_t server_sync_id, const std::vector<NServerEvent>& events) {
  NPullEventResponse response;
  response.m_sync_id = server_sync_id;
  response.m_events = events;
  return response;
}

class SyncerTest : public test::EngineTest {
 protected:
  void Start(uint64_t sync_id) {
    RegistryEntry entry;
    if (!m_engine.m_registry.GetByViewId(VIEW, &entry)) Register();
    ASSERT_EQ(0, Db().SetGlobalSyncId(sync_id));
    m_syncer.LoadSyncId();
    m_syncer.m_on_wait = [this](int) {
      for (const Event& e : Drain(Events())) m_pushed.push_back(e);
    };
  }

  SteppedSyncer m_syncer{Engine()};
  std::vector<Event> m_pushed;
};

// The position advances to S - 1 after a batch, and onto S only when the
// next batch is nothing but the repetition of the previous last change.
TEST_F(SyncerTest, SyncIdAdvanceRule) {
  struct Step {
    uint64_t m_server_sync_id;
    std::vector<uint64_t> m_nodes;  // node ids of the batch's changes, in order
    uint64_t m_expect_sync_id;
    uint64_t m_expect_last_node;
  };
  struct Case {
    const char* m_name;
    uint64_t m_start;
    std::vector<Step> m_steps;
  };
  const Case cases[] = {
      {"empty batch ahead stores S-1", 10, {{20, {}, 19, 0}}},
      {"batch then its repetition moves onto S", 10, {{20, {5, 6}, 19, 6}, {20, {6}, 20, 6}}},
      {"a different last change stays at S-1", 10, {{20, {5, 6}, 19, 6}, {20, {7}, 19, 7}}},
      {"S = P+1 needs the same last node", 19, {{20, {6}, 19, 6}, {20, {6}, 20, 6}}},
      {"the repeated node further ahead is pulled again", 10, {{20, {6}, 19, 6}, {22, {6}, 21, 6}}},
      {"S of 0 stays at 0", 5, {{0, {}, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    Start(c.m_start);
    for (const Step& step : c.m_steps) {
      std::vector<NServerEvent> events;
      for (uint64_t node : step.m_nodes) {
        events.push_back(Change(VIEW, "/f" + std::to_string(node), step.m_server_sync_id, node));
      }
      ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(step.m_server_sync_id, events)));
      EXPECT_EQ(step.m_expect_sync_id, m_syncer.CurrentSyncId());
      EXPECT_EQ(step.m_expect_last_node, m_syncer.LastNodeId());
      EXPECT_EQ(step.m_expect_sync_id, StoredSyncId());
    }
  }
}

TEST_F(SyncerTest, NothingNewIsIdleAndWritesNothing) {
  Start(10);
  // Changed behind the syncer's back: a write would overwrite it.
  ASSERT_EQ(0, Db().SetGlobalSyncId(99));
  EXPECT_EQ(SYNCER_NOTHING_NEW, m_syncer.ProcessResponse(Batch(10, {})));
  EXPECT_TRUE(m_syncer.m_waits.empty());  // the step rests, not the processing
  EXPECT_EQ(99u, StoredSyncId());
}

TEST_F(SyncerTest, EmptyBatchThatCannotAdvanceIsTreatedAsIdle) {
  // S = P + 1 with no change: S - 1 is where the syncer already is. Without
  // a pause it would ask the server again at once, for ever.
  Start(10);
  EXPECT_EQ(SYNCER_NOTHING_NEW, m_syncer.ProcessResponse(Batch(11, {})));
  EXPECT_EQ(10u, m_syncer.CurrentSyncId());
}

TEST_F(SyncerTest, TurnsChangesIntoEventsAndDropsEchoes) {
  Start(10);
  Record("/echo_by_id", 40, 30);
  Record("/echo_by_path", 41, 30);
  Record("/older", 42, 29);
  Record("/older_deleted", 43, 29);
  // Replayed after a restart: the server's change is older than what is held.
  Record("/replayed", 44, 31);
  Record("/replayed_deleted", 45, 31);
  const uint32_t DIR = NServerEvent::FLAG_DIR;
  const uint32_t DELETED = NServerEvent::FLAG_DELETED;
  struct Row {
    NServerEvent m_change;
    bool m_pushed;
    int32_t m_type;
    uint32_t m_flags;
  };
  const Row rows[] = {
      {Change(VIEW, "/new", 30, 50), true, DOWNLOAD_REMOTE, 0},
      {Change(VIEW, "/new_dir", 30, 51, DIR), true, DOWNLOAD_REMOTE, EVENT_FLAG_DIR},
      {Change(VIEW, "/never_had", 30, 52, DELETED), false, 0, 0},
      {Change(VIEW, "/echo_by_id", 30, 40), false, 0, 0},
      {Change(VIEW, "/echo_by_path", 30, 0), false, 0, 0},
      {Change(VIEW, "/older", 30, 42), true, DOWNLOAD_REMOTE, 0},
      {Change(VIEW, "/older_deleted", 30, 43, DELETED), true, REMOVE_LOCAL, 0},
      {Change(VIEW, "/replayed", 30, 44), false, 0, 0},
      {Change(VIEW, "/replayed_deleted", 30, 45, DELETED), false, 0, 0},
      {Change(VIEW, "/a/../../etc", 30, 53), false, 0, 0},
      {Change(VIEW, "relative", 30, 54), false, 0, 0},
      {Change(VIEW, std::string("/nul\0x", 6), 30, 55), false, 0, 0},
  };
  std::vector<NServerEvent> batch;
  for (const Row& row : rows) batch.push_back(row.m_change);
  ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(30, batch)));

  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_change.m_path);
    const Event* found = nullptr;
    for (const Event& e : m_pushed) {
      if (e.m_path == row.m_change.m_path) found = &e;
    }
    ASSERT_EQ(row.m_pushed, found != nullptr);
    if (found == nullptr) continue;
    EXPECT_EQ(row.m_type, found->m_type);
    EXPECT_EQ(row.m_flags, found->m_flags);
    EXPECT_EQ(VIEW, found->m_view_id);
    EXPECT_EQ(row.m_change.m_node_id, found->m_node_id);
    EXPECT_EQ(30u, found->m_sync_id);
    EXPECT_EQ(row.m_change.m_size, found->m_size);
    EXPECT_EQ(row.m_change.m_hash, found->m_hash);
  }
  EXPECT_EQ(29u, StoredSyncId());
}

TEST_F(SyncerTest, CatchingUpViewsAreLeftOutButTheBatchAdvances) {
  const uint64_t LATE = 9;
  m_engine.m_progress.Add(LATE, 3);
  Start(10);
  ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(20, {Change(LATE, "/x", 20, 60), Change(VIEW, "/y", 20, 61)})));
  ASSERT_EQ(1u, m_pushed.size());
  EXPECT_EQ("/y", m_pushed[0].m_path);
  EXPECT_EQ(19u, StoredSyncId());
}

TEST_F(SyncerTest, StopWhileWorkersHoldEventsKeepsTheStoredSyncId) {
  Start(10);
  m_syncer.m_on_wait = [this](int) { m_syncer.Stop(); };
  EXPECT_EQ(0, m_syncer.ProcessResponse(Batch(20, {Change(VIEW, "/a", 20, 70)})));
  EXPECT_EQ(10u, m_syncer.CurrentSyncId());
  EXPECT_EQ(10u, StoredSyncId());
  // The event is still there for the workers after the restart's pull.
  EXPECT_EQ(1, Events().GetPendingServerEventCount(m_engine.m_registry));
  // The run loop sees the stop before it pulls again (no server listens:
  // a pull would fail and rest, and this would not return).
  m_syncer.Run();
  EXPECT_EQ(10u, StoredSyncId());
}

TEST_F(SyncerTest, WaitForWorkersSendsKeepAliveEveryFifthPass) {
  FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  Start(10);
  // The workers need twelve passes: keep-alives after the fifth and tenth.
  m_syncer.m_on_wait = [this](int wait_number) {
    if (wait_number == 12) Drain(Events());
  };
  ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(20, {Change(VIEW, "/slow", 20, 80)})));
  EXPECT_EQ(19u, StoredSyncId());
  // Keep-alives have no answer: wait (bounded) for the server to read both.
  for (int i = 0; i < 1000 && server.KeepAlives() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(2, server.KeepAlives());
  EXPECT_EQ(12u, m_syncer.m_waits.size());
}

TEST_F(SyncerTest, FailedKeepAliveKeepsTheStoredSyncId) {
  Start(10);  // no server listens
  m_syncer.m_on_wait = nullptr;  // the workers never finish
  ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(20, {Change(VIEW, "/slow", 20, 80)})));
  EXPECT_EQ(5u, m_syncer.m_waits.size());
  EXPECT_EQ(10u, StoredSyncId());
  EXPECT_EQ(10u, m_syncer.CurrentSyncId());
}

TEST_F(SyncerTest, ServerErrorFailsTheBatch) {
  Start(10);
  NPullEventResponse response = Batch(20, {Change(VIEW, "/a", 20, 90)});
  response.m_error_code = 3;
  EXPECT_EQ(-1, m_syncer.ProcessResponse(response));
  EXPECT_EQ(10u, StoredSyncId());
  EXPECT_TRUE(m_pushed.empty());
}

TEST_F(SyncerTest, PullLoopAgainstServer) {
  FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  server.AddChange(Change(VIEW, "/a", 11, 100));
  server.AddChange(Change(VIEW, "/b", 12, 101));
  Start(10);

  struct Expected {
    TaskStep::Next m_next;
    unsigned m_seconds;
  };
  const Expected steps[] = {
      {TaskStep::GO_ON, 0},                   // 10 -> 11 (S - 1): the next pull follows at once
      {TaskStep::GO_ON, 0},                   // the repetition alone: onto 12
      {TaskStep::REST, SYNCER_IDLE_SECONDS},  // nothing new: the polling period
  };
  for (const Expected& expected : steps) {
    TaskStep step = m_syncer.RunOnce();
    EXPECT_EQ(SYNCER_PASS_DONE, step.m_outcome);
    EXPECT_EQ(expected.m_next, step.m_next);
    EXPECT_EQ(expected.m_seconds, step.m_seconds);
  }
  EXPECT_EQ((std::vector<uint64_t>{10, 11, 12}), server.PulledFrom());
  EXPECT_EQ(12u, StoredSyncId());
  std::vector<std::string> paths;
  for (const Event& e : m_pushed) paths.push_back(e.m_path);
  // The fake workers record nothing, so the repetition is not an echo here.
  EXPECT_EQ((std::vector<std::string>{"/a", "/b", "/b"}), paths);
  EXPECT_EQ(1, server.Connections());
}

TEST_F(SyncerTest, FailedPullIsRetriedOnAFreshConnection) {
  FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  server.AddChange(Change(VIEW, "/a", 11, 100));
  Start(10);
  server.DropPulls(1);
  TaskStep failed = m_syncer.RunOnce();
  EXPECT_EQ(SYNCER_PASS_FAILED, failed.m_outcome);
  EXPECT_EQ(TaskStep::REST, failed.m_next);
  EXPECT_EQ(1u, failed.m_seconds);
  EXPECT_EQ(10u, StoredSyncId());
  EXPECT_EQ(SYNCER_PASS_DONE, m_syncer.RunOnce().m_outcome);
  EXPECT_EQ(10u, StoredSyncId());  // S - 1 of the batch [11]
  EXPECT_EQ((std::vector<uint64_t>{10, 10}), server.PulledFrom());
  EXPECT_EQ(2, server.Connections());
}

TEST_F(SyncerTest, PauseWhileWaitingForWorkersRestsUntilResumed) {
  Start(10);
  // Paused after the first wait, resumed (and the workers done) at the
  // third: the two passes in between rest as paused, and the batch still
  // completes.
  m_syncer.m_on_wait = [this](int wait_number) {
    if (wait_number == 1) m_syncer.Pause();
    if (wait_number == 3) {
      m_syncer.Resume();
      Drain(Events());
    }
  };
  ASSERT_EQ(0, m_syncer.ProcessResponse(Batch(20, {Change(VIEW, "/a", 20, 70)})));
  EXPECT_EQ(2, m_syncer.m_paused_sleeps);
  EXPECT_EQ(19u, StoredSyncId());
}

TEST_F(SyncerTest, StoppedSyncerNeverPulls) {
  Start(10);  // no server: a pull would fail and rest, so none may be tried
  m_syncer.Stop();
  m_syncer.Run();
  EXPECT_TRUE(m_syncer.m_waits.empty());
  EXPECT_EQ(10u, StoredSyncId());
}

}  // namespace
}  // namespace tide
