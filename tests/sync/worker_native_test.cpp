#include "sync/worker_native.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/client_config.h"
#include "core/logger.h"
#include "db/failure_store.h"
#include "engine_fixture.h"

namespace tide {
namespace {

// What the recording handlers saw, in call order.
struct Call {
  std::string m_handler;
  Event m_event;
};
std::mutex g_calls_mutex;
std::vector<Call> g_calls;  // guarded by g_calls_mutex
// What every recording handler returns; set before workers run.
HandlerOutcome g_result = HandlerOutcome::DONE;

#define RECORDER(name)                                        \
  HandlerOutcome name(const WorkItem& item, EngineContext&) { \
    std::lock_guard<std::mutex> lock(g_calls_mutex);          \
    g_calls.push_back({#name, item.m_event});                 \
    return g_result;                                          \
  }
RECORDER(remove_local)
RECORDER(download_remote)
RECORDER(upload_local)
RECORDER(remove_remote)
RECORDER(expand)
RECORDER(rescan_merge)
RECORDER(rescan_sync)
RECORDER(expand_local_delete)
RECORDER(expand_server_delete)
#undef RECORDER
// The directory's own event after a subtree rescan: none unless a test
// sets one.
Event g_self_event;
int create_dir_self(const WorkItem& item, EngineContext&, Event* self) {
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  g_calls.push_back({"create_dir_self", item.m_event});
  if (g_self_event.m_type == EMPTY) return 0;
  *self = g_self_event;
  return 1;
}

const WorkerHandlers RECORDING_HANDLERS{
    &remove_local, &download_remote, &upload_local,        &remove_remote,        &expand,
    &rescan_merge, &rescan_sync,     &expand_local_delete, &expand_server_delete, &create_dir_self,
};

std::vector<std::string> CallNames() {
  std::lock_guard<std::mutex> lock(g_calls_mutex);
  std::vector<std::string> names;
  for (const Call& c : g_calls) names.push_back(c.m_handler);
  return names;
}

// A worker stepped on the test's thread; each step says how long the run
// loop would rest after it, which the test reads instead of sleeping.
class SteppedWorker : public WorkerNative {
 public:
  explicit SteppedWorker(EngineContext& engine) : WorkerNative(0, 0, engine) {
    SetHandlersForTest(RECORDING_HANDLERS);
    Resume();
  }
  // One step: its outcome, with the rest it asked for recorded.
  int Step() {
    TaskStep step = RunOnce();
    if (step.m_next == TaskStep::REST) (step.m_until_work ? m_work_waits : m_waits).push_back(step.m_seconds);
    return step.m_outcome;
  }
  std::vector<unsigned> m_waits;
  std::vector<unsigned> m_work_waits;
};

Event MakeEvent(int32_t type, const std::string& path, uint32_t flags = 0) {
  Event e;
  e.m_type = type;
  e.m_path = path;
  e.m_view_id = test::EngineTest::VIEW;
  e.m_flags = flags;
  return e;
}

class WorkerTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.clear();
    g_result = HandlerOutcome::DONE;
    g_self_event = Event();
  }
  // Queues the event and has the worker take it.
  void Hand(const Event& event) {
    Events().PushEvent(event);
    ASSERT_EQ(0, m_worker.FetchEvent());
  }
  int Pending() { return Events().GetViewPendingCount(VIEW); }

  SteppedWorker m_worker{Engine()};
};

TEST_F(WorkerTest, DispatchByType) {
  struct Row {
    int32_t m_type;
    const char* m_handler;  // nullptr: nothing runs and the event is done
  };
  const Row rows[] = {
      {EMPTY, nullptr},
      {REMOVE_LOCAL, "remove_local"},
      {DOWNLOAD_REMOTE, "download_remote"},
      {RENAME_LOCAL, nullptr},
      {UPLOAD_LOCAL, "upload_local"},
      {REMOVE_REMOTE, "remove_remote"},
      {RENAME_REMOTE, nullptr},
      {EXPAND, "expand"},
      {RESCAN_MERGE, "rescan_merge"},
      {RESCAN_SYNC, "rescan_sync"},
      {42, nullptr},
  };
  g_result = HandlerOutcome::RETRY;  // a handler's outcome is the dispatch's
  for (const Row& row : rows) {
    SCOPED_TRACE(EventTypeName(row.m_type));
    g_calls.clear();
    m_worker.CurrentEvent() = MakeEvent(row.m_type, "/a");
    HandlerOutcome result = m_worker.Dispatch();
    if (row.m_handler == nullptr) {
      EXPECT_EQ(HandlerOutcome::DONE, result);
      EXPECT_TRUE(CallNames().empty());
    } else {
      EXPECT_EQ(HandlerOutcome::RETRY, result);
      EXPECT_EQ(std::vector<std::string>{row.m_handler}, CallNames());
    }
  }
}

TEST_F(WorkerTest, SubtreeRescanFlagsRunOnlyTheirExpansions) {
  struct Row {
    uint32_t m_flags;
    std::vector<std::string> m_calls;
  };
  const Row rows[] = {
      {EVENT_FLAG_LOCAL_SUBDIR_RESCAN, {"expand_local_delete"}},
      {EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT, {"expand_local_delete"}},
      {EVENT_FLAG_SERVER_SUBDIR_RESCAN, {"expand_server_delete"}},
      {EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT, {"expand_server_delete"}},
      {EVENT_FLAG_LOCAL_SUBDIR_RESCAN | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT,
       {"expand_local_delete", "expand_server_delete"}},
  };
  g_result = HandlerOutcome::RETRY;  // the expansions' outcomes do not count
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_flags);
    g_calls.clear();
    // The type is not looked at: an upload must not be uploaded.
    m_worker.CurrentEvent() = MakeEvent(UPLOAD_LOCAL, "/d", EVENT_FLAG_DIR | row.m_flags);
    EXPECT_EQ(HandlerOutcome::DONE, m_worker.Dispatch());
    EXPECT_EQ(row.m_calls, CallNames());
  }
}

TEST_F(WorkerTest, FinishingASubtreeRescanCreatesTheDirectorySelfEvent) {
  Register();
  Hand(MakeEvent(UPLOAD_LOCAL, "/d", EVENT_FLAG_DIR | EVENT_FLAG_SERVER_SUBDIR_RESCAN));
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ((std::vector<std::string>{"expand_server_delete", "create_dir_self"}), CallNames());
  EXPECT_EQ(EMPTY, m_worker.CurrentEvent().m_type);
  EXPECT_EQ(0, Pending());
}

// A server removal of a folder with changes below it ends with the folder's
// own removal. Until that is queued the view's server events are not done:
// otherwise the syncer may record its position past the removal, and a
// daemon killed before the folder's removal never carries it out.
TEST_F(WorkerTest, FolderRemovalQueuesItsOwnRemovalBeforeItCountsAsDone) {
  Register();
  Event removal = MakeEvent(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT);
  removal.m_sync_id = 9;
  g_self_event = MakeEvent(REMOVE_LOCAL, "/d", EVENT_FLAG_DIR);
  g_self_event.m_sync_id = 9;
  Hand(removal);
  const uint64_t seen = Events().ServerDoneGeneration();
  EXPECT_EQ(1, Events().GetViewServerEventCount(VIEW));
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ((std::vector<std::string>{"expand_server_delete", "create_dir_self"}), CallNames());
  EXPECT_EQ(seen, Events().ServerDoneGeneration());
  EXPECT_EQ(1, Events().GetViewServerEventCount(VIEW));

  // The folder's own removal comes next; once it is done, so is the view.
  g_self_event = Event();
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ("remove_local", CallNames().back());
  EXPECT_EQ(0, Events().GetViewServerEventCount(VIEW));
  EXPECT_NE(seen, Events().ServerDoneGeneration());
}

TEST_F(WorkerTest, PrepareRefusesViewsThatCannotBeWorkedOn) {
  enum Setup { REMOVED, PAUSED, FROZEN };
  struct Row {
    const char* m_name;
    Setup m_setup;
    int m_pending_after;  // 0: finished without work; 1: given back
  };
  const Row rows[] = {
      {"removed view finishes the event", REMOVED, 0},
      {"paused view gives it back", PAUSED, 1},
      {"frozen view gives it back", FROZEN, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_name);
    TearDown();
    SetUp();
    if (row.m_setup == PAUSED) Register(VIEW_ATTR_PAUSED);
    if (row.m_setup == FROZEN) {
      Register();
      FreezeView(VIEW);
    }
    Hand(MakeEvent(UPLOAD_LOCAL, "/a"));
    EXPECT_EQ(WORKER_PASS_NOT_READY, m_worker.Step());
    EXPECT_TRUE(CallNames().empty());
    EXPECT_EQ(EMPTY, m_worker.CurrentEvent().m_type);
    EXPECT_EQ("", m_worker.LocalPath());
    EXPECT_EQ(-1, m_worker.Entry().m_volume_id);
    EXPECT_EQ(row.m_pending_after, Pending());
    // The worker rests a second before it pulls again.
    EXPECT_EQ(std::vector<unsigned>{1}, m_worker.m_waits);
    m_worker.m_waits.clear();
    if (row.m_pending_after == 1) {
      // Given back whole: it is handed out again.
      Event again;
      Task other(0, 0);
      ASSERT_EQ(0, Events().PullEvent(&other, &again));
      EXPECT_EQ("/a", again.m_path);
      EXPECT_EQ(UPLOAD_LOCAL, again.m_type);
    }
  }
}

TEST_F(WorkerTest, PrepareFillsPathsAndRecord) {
  Register();
  // The work folder's name comes from the engine's layout.
  Engine().m_layout.m_work_dir_name = "work.dir";
  const std::string home = HomePath();
  Record("/a/b.txt", 500, 12);
  struct Row {
    Event m_event;
    std::string m_local_path;
    uint64_t m_record_node;  // 0: no row
  };
  Event by_id = MakeEvent(DOWNLOAD_REMOTE, "/renamed_on_server");
  by_id.m_node_id = 500;
  const Row rows[] = {
      {MakeEvent(RESCAN_SYNC, "/", EVENT_FLAG_DIR), home, 0},
      {MakeEvent(UPLOAD_LOCAL, "/a/b.txt"), home + "/a/b.txt", 500},
      {by_id, home + "/renamed_on_server", 500},
      {MakeEvent(UPLOAD_LOCAL, "/new"), home + "/new", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_event.m_path);
    m_worker.CurrentEvent() = row.m_event;
    ASSERT_EQ(0, m_worker.PrepareEvent());
    EXPECT_EQ(row.m_local_path, m_worker.LocalPath());
    EXPECT_EQ(m_engine.Volume(1) + "/@tmp/work.dir", m_worker.TempDir());
    EXPECT_EQ(row.m_record_node, m_worker.Record().m_node_id);
    EXPECT_EQ(VIEW, m_worker.Entry().m_view_id);
  }
}

TEST_F(WorkerTest, UnsafePathIsFinishedWithoutWork) {
  Register();
  Hand(MakeEvent(DOWNLOAD_REMOTE, "/a/../../../etc/passwd"));
  EXPECT_EQ(WORKER_PASS_NOT_READY, m_worker.Step());
  EXPECT_TRUE(CallNames().empty());
  EXPECT_EQ(0, Pending());
}

TEST_F(WorkerTest, FailingHandlerKeepsItsEventAndRetries) {
  Register();
  Hand(MakeEvent(UPLOAD_LOCAL, "/a"));
  Events().PushEvent(MakeEvent(UPLOAD_LOCAL, "/b"));
  g_result = HandlerOutcome::RETRY;
  EXPECT_EQ(WORKER_PASS_RETRY, m_worker.Step());
  EXPECT_EQ(WORKER_PASS_RETRY, m_worker.Step());
  EXPECT_EQ((std::vector<unsigned>{3, 3}), m_worker.m_waits);
  g_result = HandlerOutcome::DONE;
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  std::vector<std::string> paths;
  for (const Call& c : g_calls) paths.push_back(c.m_event.m_path);
  // Never another event while one is held.
  EXPECT_EQ((std::vector<std::string>{"/a", "/a", "/a", "/b"}), paths);
  EXPECT_EQ(0, Pending());
}

// A handler that cannot work on its event now (its view froze on a full
// disk) hands it back: the worker lets go of it, and it waits in the event
// manager to be handed out again.
TEST_F(WorkerTest, GivenBackEventReturnsToTheEventManager) {
  Register();
  Hand(MakeEvent(DOWNLOAD_REMOTE, "/a"));
  g_result = HandlerOutcome::GIVE_BACK;
  EXPECT_EQ(WORKER_PASS_GIVEN_BACK, m_worker.Step());
  EXPECT_EQ(EMPTY, m_worker.CurrentEvent().m_type);
  EXPECT_EQ(std::vector<unsigned>{WORKER_NOT_READY_SECONDS}, m_worker.m_waits);
  EXPECT_EQ(1, Pending());
  Event again;
  Task other(0, 0);
  ASSERT_EQ(0, Events().PullEvent(&other, &again));
  EXPECT_EQ("/a", again.m_path);
  EXPECT_EQ(DOWNLOAD_REMOTE, again.m_type);
}

#define TIDE_LOG_TAG "worker-test"
#define TIDE_LOG_COMPONENT "worker_debug"
// A handler that fails the way real ones do: it logs why, then asks for a
// retry (g_result RETRY) or gives the event up (g_result DONE).
HandlerOutcome FailingUpload(const WorkItem& item, EngineContext&) {
  TLOG_WARNING("connect to the server failed");
  TLOG_ERROR("upload of '%s' refused: quota", item.m_event.m_path.c_str());
  return g_result;
}

// Failed attempts are kept with their reason until an event of the same
// path finishes cleanly; a folder's removal takes everything below it.
TEST_F(WorkerTest, FailedAttemptsAreRecordedUntilThePathSucceeds) {
  FailureStore failures;
  ASSERT_EQ(0, failures.Open(m_dir / "failed-items.sqlite"));
  m_worker.SetFailureStore(&failures);
  WorkerHandlers handlers = RECORDING_HANDLERS;
  handlers.m_upload_local = &FailingUpload;
  m_worker.SetHandlersForTest(handlers);
  Register();

  Hand(MakeEvent(UPLOAD_LOCAL, "/d/a"));
  g_result = HandlerOutcome::RETRY;
  EXPECT_EQ(WORKER_PASS_RETRY, m_worker.Step());
  EXPECT_EQ(WORKER_PASS_RETRY, m_worker.Step());
  FailedItem item;
  ASSERT_EQ(1, failures.Get(VIEW, "/d/a", &item));
  EXPECT_EQ("upload of '/d/a' refused: quota", item.m_reason);
  EXPECT_EQ(2u, item.m_attempts);
  EXPECT_EQ(UPLOAD_LOCAL, item.m_event_type);

  // Given up after an error: still failed, one attempt more.
  g_result = HandlerOutcome::DONE;
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  ASSERT_EQ(1, failures.Get(VIEW, "/d/a", &item));
  EXPECT_EQ(3u, item.m_attempts);

  // A clean finish of the same path forgets it.
  m_worker.SetHandlersForTest(RECORDING_HANDLERS);
  Hand(MakeEvent(UPLOAD_LOCAL, "/d/a"));
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ(0, failures.Get(VIEW, "/d/a", &item));

  ASSERT_EQ(0, failures.RecordFailure(VIEW, "/d/b/c", UPLOAD_LOCAL, "why", 1));
  ASSERT_EQ(0, failures.RecordFailure(VIEW, "/e", UPLOAD_LOCAL, "why", 1));
  Hand(MakeEvent(REMOVE_REMOTE, "/d", EVENT_FLAG_DIR));
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  std::vector<FailedItem> left;
  ASSERT_EQ(1, failures.List(&left));
  EXPECT_EQ("/e", left[0].m_path);
}
#undef TIDE_LOG_TAG
#undef TIDE_LOG_COMPONENT

TEST_F(WorkerTest, NewerChangeOfTheSamePathIsCarriedOutNext) {
  Register();
  Hand(MakeEvent(UPLOAD_LOCAL, "/a"));
  ASSERT_EQ(0, m_worker.PrepareEvent());
  // The file is removed while it is being uploaded: the upload is told to
  // give up, and the removal follows it.
  Events().PushEvent(MakeEvent(REMOVE_REMOTE, "/a"));
  EXPECT_EQ(1, m_worker.AbortFlag()->load());
  ASSERT_EQ(HandlerOutcome::DONE, m_worker.Dispatch());
  EXPECT_EQ(-1, m_worker.FinishEvent());
  EXPECT_EQ(REMOVE_REMOTE, m_worker.CurrentEvent().m_type);
  EXPECT_EQ(WORKER_PASS_DONE, m_worker.Step());
  EXPECT_EQ(0, m_worker.AbortFlag()->load());  // cleared at the top of the pass
  EXPECT_EQ((std::vector<std::string>{"upload_local", "remove_remote"}), CallNames());
  EXPECT_EQ(EMPTY, m_worker.CurrentEvent().m_type);
  EXPECT_EQ(0, Pending());
}

TEST_F(WorkerTest, IdleWorkerRestsUntilWorkIsAnnounced) {
  EXPECT_EQ(WORKER_PASS_IDLE, m_worker.Step());
  EXPECT_EQ(std::vector<unsigned>{WORKER_IDLE_SECONDS}, m_worker.m_work_waits);
  EXPECT_TRUE(m_worker.m_waits.empty());
}

TEST_F(WorkerTest, PausedOrStoppedWorkerTakesNothing) {
  Register();
  Events().PushEvent(MakeEvent(UPLOAD_LOCAL, "/a"));
  m_worker.Pause();
  EXPECT_EQ(1, m_worker.AbortFlag()->load());
  // The run loop blocks while paused and returns once stopped, without a
  // single step (run here on a thread of the test's own).
  std::thread loop([this] { m_worker.Run(); });
  usleep(50 * 1000);
  EXPECT_EQ(1, Pending());  // a paused worker takes nothing
  m_worker.Stop();
  loop.join();
  EXPECT_EQ(1, Pending());
  EXPECT_TRUE(CallNames().empty());
}

}  // namespace
}  // namespace tide
