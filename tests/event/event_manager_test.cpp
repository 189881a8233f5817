#include "event/event_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/registry.h"
#include "core/task.h"

namespace tide {
namespace {

class FakeWorker : public Task {
 public:
  FakeWorker() : Task(0, 0) {}
  int SetAbort(bool abort) override {
    m_abort = abort;
    return 0;
  }
  std::atomic<bool> m_abort{false};
};

Event MakeEvent(int32_t type, uint64_t view_id, const std::string& path, uint64_t sync_id = 0) {
  Event event;
  event.m_type = type;
  event.m_view_id = view_id;
  event.m_path = path;
  event.m_sync_id = sync_id;
  return event;
}

class EventManagerTest : public testing::Test {
 protected:
  EventManager m_manager;
  Registry m_registry;
  FakeWorker m_worker;
};

TEST_F(EventManagerTest, ViewsTakeTurns) {
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a"));
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/b"));
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 2, "/c"));
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 2, "/d"));
  std::vector<FakeWorker> workers(4);
  std::vector<std::string> pulled;
  for (FakeWorker& worker : workers) {
    Event event;
    ASSERT_EQ(0, m_manager.PullEvent(&worker, &event));
    pulled.push_back(std::to_string(event.m_view_id) + event.m_path);
  }
  EXPECT_EQ((std::vector<std::string>{"1/a", "2/c", "1/b", "2/d"}), pulled);

  // Everything is being processed: nothing to hand out, and no blocking.
  Event event;
  EXPECT_EQ(-1, m_manager.PullEvent(&m_worker, &event));
}

TEST_F(EventManagerTest, PullOnEmptyManagerFails) {
  Event event;
  EXPECT_EQ(-1, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(EMPTY, event.m_type);
}

TEST_F(EventManagerTest, DoneReleasesThePathAndEmptiesTheQueue) {
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a/b.txt"));
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(1, m_manager.GetViewPendingCount(1));
  EXPECT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(0, m_manager.GetViewPendingCount(1));
  EXPECT_EQ(-1, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(0u, m_manager.ReadyQueueSize());
}

TEST_F(EventManagerTest, NewerRemovalAbortsUploadAndFollowsIt) {
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/f"));
  FakeWorker other;
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/g"));
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  ASSERT_EQ("/f", event.m_path);
  Event other_event;
  ASSERT_EQ(0, m_manager.PullEvent(&other, &other_event));

  m_manager.PushEvent(MakeEvent(REMOVE_REMOTE, 1, "/f"));
  EXPECT_TRUE(m_worker.m_abort);
  EXPECT_FALSE(other.m_abort);

  ASSERT_EQ(-1, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(REMOVE_REMOTE, event.m_type);
  EXPECT_EQ("/f", event.m_path);
  // The follow-up is now the worker's event; its done finishes the path.
  EXPECT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(0, m_manager.DoneEvent(&other, &other_event));
  EXPECT_EQ(0, m_manager.GetViewPendingCount(1));
}

TEST_F(EventManagerTest, OtherChangesOfABusyPathAreFollowUpsWithoutAbort) {
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 1, "/f", 5));
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 1, "/f", 9));
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 2, "/f", 9));  // other view: not a follow-up
  EXPECT_FALSE(m_worker.m_abort);
  ASSERT_EQ(-1, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(9u, event.m_sync_id);
  EXPECT_EQ(1u, event.m_view_id);
  EXPECT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(0, m_manager.GetViewPendingCount(1));
  EXPECT_EQ(1, m_manager.GetViewPendingCount(2));
}

TEST_F(EventManagerTest, ExpandListAndRootRescan) {
  m_manager.PushExpandEvent(1, "/d1");
  m_manager.PushExpandEvent(1, "/d2");
  Event not_dir = MakeEvent(EXPAND, 1, "/file");
  m_manager.PushEvent(not_dir);  // expands of files are meaningless
  m_manager.PushEvent(MakeEvent(EMPTY, 1, "/x"));
  EXPECT_EQ(2, m_manager.GetViewPendingCount(1));

  m_manager.PushRescanEvent(1, "/sub", true);  // not the root: kept beside them
  EXPECT_EQ(3, m_manager.GetViewPendingCount(1));
  m_manager.PushRescanEvent(1, "/", false);
  EXPECT_EQ(1, m_manager.GetViewPendingCount(1));

  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a"));
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(UPLOAD_LOCAL, event.m_type);  // the tree goes first
  FakeWorker expander;
  ASSERT_EQ(0, m_manager.PullEvent(&expander, &event));
  EXPECT_EQ(RESCAN_SYNC, event.m_type);
  EXPECT_EQ("/", event.m_path);
  EXPECT_TRUE(event.IsDir());
  EXPECT_EQ(0, m_manager.DoneEvent(&expander, &event));  // expands need no done
}

// What `explain` learns of a path: its own event, waiting or with a worker;
// a newer change waiting behind it; or the walk or removal of a folder
// above it.
TEST_F(EventManagerTest, DescribePathFindsTheEventThatConcernsIt) {
  auto describe = [&](const std::string& path) { return m_manager.DescribePath(1, path); };
  EXPECT_EQ(PATH_NOT_QUEUED, describe("/a").m_state);
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a"));
  EXPECT_EQ(PATH_WAITING, describe("/a").m_state);
  EXPECT_EQ(UPLOAD_LOCAL, describe("/a").m_event_type);
  EXPECT_EQ(PATH_NOT_QUEUED, m_manager.DescribePath(2, "/a").m_state) << "another view's path";

  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(PATH_IN_PROGRESS, describe("/a").m_state);
  m_manager.PushEvent(MakeEvent(REMOVE_REMOTE, 1, "/a"));
  EXPECT_EQ(PATH_IN_PROGRESS, describe("/a").m_state) << "the worker's event comes first";
  ASSERT_EQ(-1, m_manager.DoneEvent(&m_worker, &event));
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(PATH_NOT_QUEUED, describe("/a").m_state);

  m_manager.PushExpandEvent(1, "/d1");
  m_manager.PushRescanEvent(1, "/d2", false);
  PathActivity below = describe("/d2/x/y");
  EXPECT_EQ(PATH_WAITING, below.m_state);
  EXPECT_EQ(RESCAN_SYNC, below.m_event_type);
  EXPECT_EQ("/d2", below.m_through);
  EXPECT_EQ(1, below.m_position);
  EXPECT_EQ(PATH_NOT_QUEUED, describe("/d2x").m_state) << "a sibling with a longer name is not below";
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  ASSERT_EQ("/d1", event.m_path);
  below = describe("/d1/z");
  EXPECT_EQ(PATH_IN_PROGRESS, below.m_state);
  EXPECT_EQ("/d1", below.m_through);
}

TEST_F(EventManagerTest, RedoHandsTheEventOutAgain) {
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a"));
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(0, m_manager.RedoEvent(&m_worker, event));
  Event again;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &again));
  EXPECT_EQ(event, again);

  // An expand given back (paused or frozen view) is not lost either.
  m_manager.PushExpandEvent(1, "/d");
  FakeWorker expander;
  Event expand;
  ASSERT_EQ(0, m_manager.PullEvent(&expander, &expand));
  ASSERT_EQ(EXPAND, expand.m_type);
  EXPECT_EQ(0, m_manager.RedoEvent(&expander, expand));
  Event expand_again;
  ASSERT_EQ(0, m_manager.PullEvent(&expander, &expand_again));
  EXPECT_EQ(expand, expand_again);

  EXPECT_EQ(-1, m_manager.RedoEvent(&m_worker, MakeEvent(UPLOAD_LOCAL, 99, "/a")));  // no pool
  EXPECT_EQ(-1, m_manager.RedoEvent(&m_worker, MakeEvent(UPLOAD_LOCAL, 1, "/never")));
}

TEST_F(EventManagerTest, PendingServerCountsSkipCatchingUpAndUnknownViews) {
  Registry& registry = m_registry;
  registry.Add("a", 0, "/volume1/homes/a", 1, 0);
  registry.Add("b", 0, "/volume1/homes/b", 2, 0);
  registry.SetAttribute(2, VIEW_ATTR_CATCHING_UP, true);
  for (uint64_t view : {1, 2, 3}) {
    m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, view, "/x", 1));
    m_manager.PushEvent(MakeEvent(REMOVE_LOCAL, view, "/y", 2));
    m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, view, "/z"));
  }
  EXPECT_EQ(2, m_manager.GetPendingServerEventCount(m_registry));
  EXPECT_EQ(2, m_manager.GetViewServerEventCount(2));
  EXPECT_EQ(0, m_manager.GetViewServerEventCount(4));
}

TEST_F(EventManagerTest, WaiterWakesWhenTheLastServerEventOfAViewIsDone) {
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 1, "/a", 3));
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 1, "/b", 4));
  uint64_t seen = m_manager.ServerDoneGeneration();
  std::atomic<int> woken{-1};
  // The bound only keeps a broken wake from hanging the test.
  std::thread waiter([&] { woken = m_manager.WaitServerEventsDone(seen, 600000); });
  FakeWorker other;
  Event first, second;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &first));
  ASSERT_EQ(0, m_manager.PullEvent(&other, &second));
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &first));
  EXPECT_EQ(seen, m_manager.ServerDoneGeneration());  // one still pending
  ASSERT_EQ(0, m_manager.DoneEvent(&other, &second));
  waiter.join();
  EXPECT_EQ(1, woken.load());
  EXPECT_NE(seen, m_manager.ServerDoneGeneration());

  // A newer server removal of the folder prunes what was pending: nothing
  // is left for the workers, and a waiter learns it the same way.
  m_manager.PushEvent(MakeEvent(DOWNLOAD_REMOTE, 1, "/d/f", 5));
  seen = m_manager.ServerDoneGeneration();
  Event removal = MakeEvent(REMOVE_LOCAL, 1, "/d", 9);
  removal.m_flags = EVENT_FLAG_DIR;
  m_manager.PushEvent(removal);
  EXPECT_EQ(seen, m_manager.ServerDoneGeneration());  // the removal itself is pending
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &first));
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &first));
  EXPECT_EQ(1, m_manager.WaitServerEventsDone(seen, 600000));

  seen = m_manager.ServerDoneGeneration();
  m_manager.WakeServerWaiters();
  EXPECT_EQ(1, m_manager.WaitServerEventsDone(seen, 600000));
}

// The server removed a folder while a local change below it waited. The
// removal goes first and is expanded; the folder's own removal that follows
// is queued as the expanded one leaves, so the view's server events never
// count as done in between, and it lets the change below go first instead
// of being handed out (and expanded) again and again before it.
TEST_F(EventManagerTest, AFolderRemovalAfterItsSubtreeWaitsForTheWorkBelow) {
  Event upload = MakeEvent(UPLOAD_LOCAL, 1, "/d/copy.txt");
  m_manager.PushEvent(upload);
  Event removal = MakeEvent(REMOVE_LOCAL, 1, "/d", 5);
  removal.m_flags = EVENT_FLAG_DIR;
  m_manager.PushEvent(removal);
  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  ASSERT_EQ("/d", event.m_path);
  ASSERT_NE(0u, event.m_flags & EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT);

  const uint64_t seen = m_manager.ServerDoneGeneration();
  Event self = removal;
  self.m_flags |= EVENT_FLAG_AFTER_SUBTREE;
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event, &self));
  EXPECT_EQ(seen, m_manager.ServerDoneGeneration());
  EXPECT_EQ(1, m_manager.GetViewServerEventCount(1));

  // The change below first; the folder waits while it is carried out.
  FakeWorker other;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ(upload.m_path, event.m_path);
  Event none;
  EXPECT_EQ(-1, m_manager.PullEvent(&other, &none));
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));

  // Then the folder's removal itself, as it is, not expanded again.
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  EXPECT_EQ("/d", event.m_path);
  EXPECT_EQ(REMOVE_LOCAL, event.m_type);
  EXPECT_EQ(0u, event.m_flags & EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT);
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ(0, m_manager.GetViewPendingCount(1));
  EXPECT_NE(seen, m_manager.ServerDoneGeneration());
}

TEST_F(EventManagerTest, APoolSitsInTheReadyQueueOnce) {
  // A pool stays queued after a pull while its event is processed; a done
  // and a new push before its next turn must not queue it a second time,
  // or it would be served more often than the other views.
  for (int i = 0; i < 3; ++i) {
    Event event;
    m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 2, "/f" + std::to_string(i)));
    ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
    ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
    m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 2, "/g" + std::to_string(i)));
    EXPECT_EQ(1u, m_manager.ReadyQueueSize());
    ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
    ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  }
}

TEST_F(EventManagerTest, IdleAndBusyViewsDoNotHideWork) {
  // View 1 finished its only event; view 2's only event is being carried
  // out; view 3 has work. A pull must find view 3's event, since a worker
  // that gets nothing sleeps before it asks again.
  FakeWorker first;
  FakeWorker second;
  Event event;
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/a"));
  Event dir = MakeEvent(UPLOAD_LOCAL, 2, "/dir");
  dir.m_flags = EVENT_FLAG_DIR;
  m_manager.PushEvent(dir);
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 2, "/dir/below"));  // waits for its folder
  ASSERT_EQ(0, m_manager.PullEvent(&first, &event));
  ASSERT_EQ(1u, event.m_view_id);
  ASSERT_EQ(0, m_manager.DoneEvent(&first, &event));
  Event busy;
  ASSERT_EQ(0, m_manager.PullEvent(&second, &busy));
  ASSERT_EQ(2u, busy.m_view_id);
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 3, "/c"));
  EXPECT_EQ(0, m_manager.PullEvent(&first, &event));
  EXPECT_EQ(3u, event.m_view_id);
  // Views 2 and 3 stay in turn while their events are out; idle view 1 left.
  EXPECT_EQ(2u, m_manager.ReadyQueueSize());
}

// What the status display shows: waiting, with workers, and done since the
// view was last idle, which starts from zero again once the work is over.
TEST_F(EventManagerTest, SnapshotFollowsAViewFromBusyToIdle) {
  auto loads = [this] {
    std::vector<std::string> text;
    for (const ViewLoad& load : m_manager.Snapshot()) {
      text.push_back(std::to_string(load.m_view_id) + ": " + std::to_string(load.m_waiting) + " " +
                     std::to_string(load.m_working) + " " + std::to_string(load.m_done));
    }
    return text;
  };
  EXPECT_TRUE(loads().empty());
  for (const char* path : {"/a", "/b", "/c"}) m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, path));
  m_manager.PushRescanEvent(2, "/", false);
  EXPECT_EQ((std::vector<std::string>{"1: 3 0 0", "2: 1 0 0"}), loads());

  FakeWorker other;
  Event first, second;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &first));
  ASSERT_EQ(1u, first.m_view_id);
  ASSERT_EQ(0, m_manager.PullEvent(&other, &second));  // the rescan: handed out, not tracked
  EXPECT_EQ((std::vector<std::string>{"1: 2 1 0"}), loads());
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &first));
  EXPECT_EQ((std::vector<std::string>{"1: 2 0 1"}), loads());

  for (int i = 0; i < 2; ++i) {
    Event event;
    ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
    ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  }
  EXPECT_TRUE(loads().empty());
  m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, 1, "/d"));
  EXPECT_EQ((std::vector<std::string>{"1: 1 0 0"}), loads());
}

// The bytes beside the counts: found is what was done plus what the pending
// events carry, so a change merged over a pending one (waiting or with a
// worker) replaces its bytes instead of adding to them; only files that
// are sent or fetched count.
TEST_F(EventManagerTest, BytesFoundAndDoneSurviveMerges) {
  auto sized = [](int32_t type, const std::string& path, uint64_t size, uint64_t sync_id = 0, uint32_t flags = 0) {
    Event event = MakeEvent(type, 1, path, sync_id);
    event.m_size = size;
    event.m_flags = flags;
    return event;
  };
  auto bytes = [this] {
    std::vector<ViewLoad> loads = m_manager.Snapshot();
    if (loads.empty()) return std::string("idle");
    return std::to_string(loads[0].m_done) + " " + std::to_string(loads[0].m_bytes_done) + "/" +
           std::to_string(loads[0].m_bytes_found);
  };
  m_manager.PushEvent(sized(DOWNLOAD_REMOTE, "/a", 100, 1));
  m_manager.PushEvent(sized(UPLOAD_LOCAL, "/b", 50));
  m_manager.PushEvent(sized(UPLOAD_LOCAL, "/d", 4096, 0, EVENT_FLAG_DIR));  // a folder sends no bytes
  m_manager.PushEvent(sized(REMOVE_LOCAL, "/r", 70, 2));                    // nor does a removal
  EXPECT_EQ("0 0/150", bytes());
  m_manager.PushEvent(sized(DOWNLOAD_REMOTE, "/a", 300, 3));  // a newer version replaces the old
  m_manager.PushEvent(sized(REMOVE_REMOTE, "/b", 0));          // the upload is moot
  EXPECT_EQ("0 0/300", bytes());

  Event event;
  ASSERT_EQ(0, m_manager.PullEvent(&m_worker, &event));
  ASSERT_EQ("/a", event.m_path);
  m_manager.PushEvent(sized(DOWNLOAD_REMOTE, "/a", 500, 4));  // arrives while /a is with the worker
  EXPECT_EQ("0 0/500", bytes());
  ASSERT_EQ(-1, m_manager.DoneEvent(&m_worker, &event));  // the follow-up is carried out next
  EXPECT_EQ(500u, event.m_size);
  EXPECT_EQ("0 0/500", bytes());
  ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ("1 500/500", bytes());

  while (m_manager.PullEvent(&m_worker, &event) == 0) ASSERT_EQ(0, m_manager.DoneEvent(&m_worker, &event));
  EXPECT_EQ("idle", bytes());
  // A new round counts from zero, like the files.
  m_manager.PushEvent(sized(UPLOAD_LOCAL, "/c", 7));
  EXPECT_EQ("0 0/7", bytes());
}

TEST_F(EventManagerTest, ThreadsProduceAndConsumeEverything) {
  constexpr int VIEWS = 8;
  constexpr int PER_VIEW = 300;
  std::atomic<int> done{0};
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < PER_VIEW; ++i) {
        for (uint64_t view = 1 + p; view <= VIEWS; view += 2) {
          m_manager.PushEvent(MakeEvent(UPLOAD_LOCAL, view, "/d" + std::to_string(i % 7) + "/f" + std::to_string(i)));
        }
      }
    });
  }
  std::vector<FakeWorker> workers(4);
  for (FakeWorker& worker : workers) {
    threads.emplace_back([&] {
      while (producing || done < VIEWS * PER_VIEW) {
        Event event;
        if (m_manager.PullEvent(&worker, &event) < 0) {
          std::this_thread::yield();
          continue;
        }
        while (m_manager.DoneEvent(&worker, &event) < 0) {
        }
        ++done;
        m_manager.GetPendingServerEventCount(m_registry);
      }
    });
  }
  threads[0].join();
  threads[1].join();
  producing = false;
  for (size_t i = 2; i < threads.size(); ++i) threads[i].join();
  EXPECT_EQ(VIEWS * PER_VIEW, done.load());
  for (uint64_t view = 1; view <= VIEWS; ++view) EXPECT_EQ(0, m_manager.GetViewPendingCount(view)) << view;
}

}  // namespace
}  // namespace tide
