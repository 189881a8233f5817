#include "sync/progress_syncer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"
#include "test_engine.h"

namespace tide {
namespace {

// A progress syncer whose server is a script: each pull records the
// request and answers with the next scripted response (or fails).
class ScriptedProgressSyncer : public ProgressSyncer {
 public:
  // Running without a thread: the test steps the passes itself.
  explicit ScriptedProgressSyncer(EngineContext& engine) : ProgressSyncer(0, 0, engine) { Resume(); }

  struct Answer {
    bool m_fail = false;
    NPullEventResponse m_response;
  };
  std::deque<Answer> m_answers;
  std::vector<NPullEventRequest> m_requests;
  std::atomic<int> m_steps{0};
  std::vector<unsigned> m_rests;  // what the steps taken through Step() asked for

  TaskStep RunOnce() override {
    ++m_steps;
    return ProgressSyncer::RunOnce();
  }
  // One step on the test's thread: its outcome, its rest recorded.
  int Step() {
    TaskStep step = RunOnce();
    m_rests.push_back(step.m_next == TaskStep::REST ? step.m_seconds : 0);
    return step.m_outcome;
  }

 protected:
  int Pull(NPullEventRequest* request, NPullEventResponse* response, const std::function<int()>& on_answer,
           int* processed) override {
    m_requests.push_back(*request);
    if (m_answers.empty() || m_answers.front().m_fail) {
      if (!m_answers.empty()) m_answers.pop_front();
      return -1;
    }
    *response = m_answers.front().m_response;
    m_answers.pop_front();
    *processed = on_answer();
    return 0;
  }
};

NPullEventResponse Batch(uint64_t view_id, uint64_t sync_id, std::vector<std::string> paths = {},
                         uint32_t flags = 0) {
  NPullEventResponse response;
  response.m_sync_id = sync_id;
  uint64_t event_sync_id = sync_id - paths.size();
  for (const std::string& path : paths) {
    NServerEvent event;
    event.m_view_id = view_id;
    event.m_path = path;
    event.m_flags = flags;
    event.m_sync_id = ++event_sync_id;
    event.m_node_id = 1000 + event_sync_id;
    response.m_events.push_back(event);
  }
  return response;
}

class ProgressSyncerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Db().Initialize(m_dir / "db.sqlite"));
    for (uint64_t view : {11, 12}) {
      ASSERT_EQ(0, m_engine.m_registry.Add("share" + std::to_string(view), 1,
                                           m_engine.Volume(1) + "/s" + std::to_string(view), view, 0));
    }
  }
  void TearDown() override { Db().Close(); }
  NativeClientDb& Db() { return m_engine.m_db; }
  // A view catching up from `sync_id`, as registration leaves it.
  void CatchUp(uint64_t view, uint64_t sync_id) {
    ASSERT_EQ(0, Db().SetViewProgress(view, sync_id));
    ASSERT_EQ(0, m_syncer.LoadCache());
  }
  uint32_t Attribute(uint64_t view) {
    RegistryEntry entry;
    m_engine.m_registry.GetByViewId(view, &entry);
    return entry.m_attribute;
  }
  uint64_t StoredPosition(uint64_t view) {
    uint64_t sync_id = 0;
    return Db().GetViewProgress(view, &sync_id) == 1 ? sync_id : ~0ULL;
  }
  // Carries out every pending event of the view's pool.
  void FinishPending() {
    Task worker(0, 0);
    Event event;
    while (m_engine.m_events.PullEvent(&worker, &event) == 0) {
      m_engine.m_events.DoneEvent(&worker, &event);
    }
  }

  test::TempDir m_dir;
  test::TestEngine m_engine{m_dir.Path()};
  ScriptedProgressSyncer m_syncer{m_engine.Context()};
};

TEST_F(ProgressSyncerTest, LoadCacheMarksTheViewsCatchingUp) {
  CatchUp(11, 40);
  EXPECT_TRUE(m_engine.m_progress.Contains(11));
  EXPECT_EQ(40u, m_engine.m_progress.GetSyncId(11));
  EXPECT_TRUE(Attribute(11) & VIEW_ATTR_CATCHING_UP);
  EXPECT_FALSE(Attribute(12) & VIEW_ATTR_CATCHING_UP);
}

TEST_F(ProgressSyncerTest, EmptyCacheOnlyIdles) {
  EXPECT_EQ(PROGRESS_PASS_IDLE, m_syncer.Step());
  EXPECT_EQ(PROGRESS_PASS_IDLE, m_syncer.Step());
  EXPECT_TRUE(m_syncer.m_requests.empty());
  EXPECT_EQ((std::vector<unsigned>{1, 1}), m_syncer.m_rests);  // a second at a time
}

TEST_F(ProgressSyncerTest, NothingNewEndsTheCatchUp) {
  CatchUp(11, 40);
  m_syncer.m_answers.push_back({false, Batch(11, 40)});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  ASSERT_EQ(1u, m_syncer.m_requests.size());
  EXPECT_EQ(11u, m_syncer.m_requests[0].m_view_id);
  EXPECT_EQ(40u, m_syncer.m_requests[0].m_sync_id);
  EXPECT_FALSE(m_engine.m_progress.Contains(11));
  EXPECT_EQ(~0ULL, StoredPosition(11));
  EXPECT_FALSE(Attribute(11) & VIEW_ATTR_CATCHING_UP);
  EXPECT_EQ(PROGRESS_PASS_IDLE, m_syncer.Step());
}

// A batch's events are queued; the stored position moves to the batch's
// end only at the view's next turn, which waits until those events are done.
TEST_F(ProgressSyncerTest, PositionAdvancesOneTurnLater) {
  CatchUp(11, 40);
  m_syncer.m_answers.push_back({false, Batch(11, 42, {"/a", "/b"})});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  EXPECT_EQ(2, m_engine.m_events.GetViewServerEventCount(11));
  EXPECT_EQ(42u, m_engine.m_progress.GetSyncId(11));
  EXPECT_EQ(40u, StoredPosition(11));

  EXPECT_EQ(PROGRESS_PASS_SKIPPED, m_syncer.Step());  // events still pending
  EXPECT_EQ(1u, m_syncer.m_requests.size());
  EXPECT_EQ(40u, StoredPosition(11));

  FinishPending();
  m_syncer.m_answers.push_back({false, Batch(11, 42)});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  EXPECT_EQ(42u, m_syncer.m_requests.back().m_sync_id);
  EXPECT_FALSE(m_engine.m_progress.Contains(11));  // and up to date
}

TEST_F(ProgressSyncerTest, ViewsTakeTurnsAndPendingOnesAreSkipped) {
  CatchUp(11, 40);
  CatchUp(12, 50);
  m_syncer.m_answers.push_back({false, Batch(11, 41, {"/a"})});
  m_syncer.m_answers.push_back({false, Batch(12, 51, {"/b"})});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  EXPECT_EQ(PROGRESS_PASS_SKIPPED, m_syncer.Step());  // 11 still pending
  EXPECT_EQ(11u, m_syncer.ViewId());
  EXPECT_EQ(PROGRESS_PASS_SKIPPED, m_syncer.Step());  // 12 too
  EXPECT_EQ(12u, m_syncer.ViewId());
  ASSERT_EQ(2u, m_syncer.m_requests.size());
  EXPECT_EQ(11u, m_syncer.m_requests[0].m_view_id);
  EXPECT_EQ(12u, m_syncer.m_requests[1].m_view_id);
}

TEST_F(ProgressSyncerTest, EchoesAndUnsafeEventsAreDropped) {
  CatchUp(11, 40);
  NodeRecord known;
  known.m_node_id = 1041;  // the first event's node, already at its sync id
  known.m_view_id = 11;
  known.m_sync_id = 41;
  known.m_path = "/known";
  ASSERT_EQ(0, Db().UpsertNode(known));
  NPullEventResponse response = Batch(11, 44, {"/known", "/../escape", "/unknown-deleted", "/fresh"});
  response.m_events[2].m_flags = NServerEvent::FLAG_DELETED;
  response.m_events[3].m_flags = NServerEvent::FLAG_DIR;
  m_syncer.m_answers.push_back({false, response});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());

  Task worker(0, 0);
  Event event;
  ASSERT_EQ(0, m_engine.m_events.PullEvent(&worker, &event));
  EXPECT_EQ("/fresh", event.m_path);
  EXPECT_EQ(DOWNLOAD_REMOTE, event.m_type);
  EXPECT_TRUE(event.IsDir());
  EXPECT_EQ(44u, event.m_sync_id);
  EXPECT_EQ(1044u, event.m_node_id);
  m_engine.m_events.DoneEvent(&worker, &event);
  EXPECT_NE(0, m_engine.m_events.PullEvent(&worker, &event));
}

TEST_F(ProgressSyncerTest, FailuresKeepThePosition) {
  CatchUp(11, 40);
  NPullEventResponse refused = Batch(11, 45, {"/a"});
  refused.m_error_code = 1;
  m_syncer.m_answers.push_back({true, {}});
  m_syncer.m_answers.push_back({false, refused});
  EXPECT_EQ(PROGRESS_PASS_FAILED, m_syncer.Step());
  EXPECT_EQ(PROGRESS_PASS_FAILED, m_syncer.Step());
  EXPECT_EQ(40u, m_engine.m_progress.GetSyncId(11));
  EXPECT_EQ(0, m_engine.m_events.GetViewServerEventCount(11));
  EXPECT_TRUE(m_engine.m_progress.Contains(11));
}

// A skipped turn has waited already (for the workers' announcement, when
// the task runs): the next turn follows without a rest of its own.
TEST_F(ProgressSyncerTest, FailedTurnsRestBeforeTheNext) {
  CatchUp(11, 40);
  m_syncer.m_answers.push_back({true, {}});
  EXPECT_EQ(PROGRESS_PASS_FAILED, m_syncer.Step());
  m_syncer.m_answers.push_back({false, Batch(11, 41, {"/a"})});
  EXPECT_EQ(PROGRESS_PASS_PULLED, m_syncer.Step());
  EXPECT_EQ(PROGRESS_PASS_SKIPPED, m_syncer.Step());
  EXPECT_EQ((std::vector<unsigned>{1, 0, 0}), m_syncer.m_rests);
}

// The run loop of a paused syncer blocks: no step is taken until it is
// resumed, and a stop ends it.
TEST_F(ProgressSyncerTest, PausedSyncerTakesNoStep) {
  CatchUp(11, 40);
  m_syncer.Pause();
  std::thread loop([this] { m_syncer.Run(); });
  usleep(200 * 1000);
  EXPECT_EQ(0, m_syncer.m_steps.load());
  m_syncer.Resume();
  for (int i = 0; i < 3000 && m_syncer.m_steps.load() == 0; ++i) usleep(10 * 1000);
  EXPECT_GT(m_syncer.m_steps.load(), 0);
  m_syncer.Stop();
  loop.join();
}

}  // namespace
}  // namespace tide
