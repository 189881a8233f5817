// The meeting point between the producers of events (detectors, syncers,
// view registration, workers) and the workers that carry them out.
//
// One event pool per view: the view's event tree plus its expand list (the
// EXPAND and RESCAN events, in arrival order). Pools with pending work wait
// in a ready queue and are served round-robin. A pool leaves the queue as
// soon as nothing is pending in it, so a pull never walks past idle views:
// it only skips pools whose pending work is all being carried out (or
// waits below a path being carried out), and there are at most as many of
// those as workers. A pull therefore costs the same with ten views or ten
// thousand. For each worker the manager
// remembers the event it is carrying out; a change that arrives for that
// path meanwhile becomes the worker's "dirty" follow-up, handed back when it
// reports the first one done.
//
// Thread use: m_mutex guards every member and is always taken before a
// tree's own mutex (and before the registry's, for the pending count).
// SetAbort on a worker is called with m_mutex held and must not block.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include "core/mutex.h"
#include <string>
#include <vector>

#include "event/event.h"
#include "event/event_tree.h"

namespace tide {

class Registry;
class Task;

// One view's share of the work, as the status display shows it.
struct ViewLoad {
  uint64_t m_view_id = 0;
  int m_waiting = 0;  // events not handed out yet
  int m_working = 0;  // events with workers now
  // Events finished since the view last had nothing pending: with
  // m_waiting and m_working, the progress of a long synchronisation.
  uint64_t m_done = 0;
  // Bytes of the files sent or fetched by those events, and of everything
  // found in the same time: the finished ones and the sizes the pending
  // events carry (local events found without a size count 0).
  uint64_t m_bytes_done = 0;
  uint64_t m_bytes_found = 0;
};

// What the queue holds for one path, for a person asking why it is not
// synchronised yet.
enum PathQueueState : int32_t {
  PATH_NOT_QUEUED = 0,
  PATH_WAITING = 1,      // an event of it, or of a folder walk that covers it, waits
  PATH_IN_PROGRESS = 2,  // a worker carries out its event, or walks a folder above it
};

struct PathActivity {
  int32_t m_state = PATH_NOT_QUEUED;
  int32_t m_event_type = EMPTY;  // of the event found
  // The folder whose walk or removal covers the path; empty when the event
  // found is the path's own.
  std::string m_through;
  // Place of the walk in the view's queue of walks (0 next), -1 when the
  // event is not a walk.
  int64_t m_position = -1;
};

class EventManager {
 public:
  // The daemon's event manager, for start-up; the parts that use it are
  // handed it.
  static EventManager& GetInstance();

  EventManager() = default;
  EventManager(const EventManager&) = delete;
  EventManager& operator=(const EventManager&) = delete;

  void PushEvent(const Event& event);
  // Queues an EXPAND of the directory `path` of the view.
  void PushExpandEvent(uint64_t view_id, const std::string& path);
  // Queues a RESCAN_MERGE (merge) or RESCAN_SYNC of the directory `path`.
  void PushRescanEvent(uint64_t view_id, const std::string& path, bool merge);
  // Hands out the next event of the first pool in the ready queue that has
  // one: 0 with the event, -1 when there is nothing to hand out. Never
  // blocks.
  int PullEvent(Task* worker, Event* event);
  // 0 when the worker's event is finished; -1 when a newer change of the
  // same path arrived meanwhile: *event is then that follow-up, which the
  // worker carries out next. `next`, when given, is queued as the finished
  // event leaves, in the same step: a server event's own continuation (a
  // folder's removal after its children's) keeps the view's server events
  // pending throughout, so the server syncer never records its position as
  // reached while that continuation is still to come. It is dropped when
  // the event is not finished.
  int DoneEvent(Task* worker, Event* event, const Event* next = nullptr);
  // Gives a handed-out event back unfinished; it is handed out again later.
  int RedoEvent(Task* worker, const Event& event);
  // Server events pending in the trees of views that are not catching up
  // (according to `registry`).
  int GetPendingServerEventCount(Registry& registry);
  // Server events pending in the tree of one view (0 without a pool).
  int GetViewServerEventCount(uint64_t view_id);

  // Waiting for the workers to carry out the server events. The generation
  // changes whenever some view's last pending server event is finished (and
  // on WakeServerWaiters); WaitServerEventsDone returns 1 as soon as it
  // differs from `seen`, 0 when `timeout_ms` ran out first.
  uint64_t ServerDoneGeneration();
  int WaitServerEventsDone(uint64_t seen, int64_t timeout_ms);
  // Wakes every waiter at once (a stop or pause of the waiting task).
  void WakeServerWaiters();

  // Applies to every view's tree, now and later (see
  // EventTree::SetRemovalSettle); quiet_ms 0 turns the hold off.
  void SetRemovalSettle(int64_t quiet_ms, int64_t max_ms);

  // Diagnostics and tests.
  // What is queued or carried out for `path` of the view: the path's own
  // event first, else a walk or removal of a folder above it.
  PathActivity DescribePath(uint64_t view_id, const std::string& path);
  int GetViewPendingCount(uint64_t view_id);
  // A copy of every view's load that has work or had some since it was
  // last idle, in view-id order. Expand and rescan events count as waiting
  // until handed out.
  std::vector<ViewLoad> Snapshot();
  size_t ReadyQueueSize();
  // Drops every pool, processing record and queued pool (tests only).
  void Reset();

 private:
  struct EventPool {
    explicit EventPool(uint64_t view_id) : m_view_id(view_id) {}
    int PendingCount() const {
      return m_tree.ServerEventCount() + m_tree.LocalEventCount() + static_cast<int>(m_expand.size());
    }
    uint64_t m_view_id;
    uint64_t m_done = 0;  // events finished since the pool was last idle
    uint64_t m_bytes_done = 0;  // their bytes, in the tree's measure
    EventTree m_tree;
    std::deque<Event> m_expand;
    // Links of the ready queue (intrusive, so queuing never allocates). A
    // pool is queued at most once and leaves when its count drops to 0.
    bool m_ready = false;
    EventPool* m_ready_prev = nullptr;
    EventPool* m_ready_next = nullptr;
  };
  struct ProcessingRecord {
    Event m_current;
    Event m_dirty;  // type EMPTY when none
  };

  void AddEvent(const Event& event) EXCLUDES(m_mutex);
  void AddEventLocked(const Event& event) REQUIRES(m_mutex);
  int ReleaseEvent(Task* worker, Event* event, const Event* follow_up) EXCLUDES(m_mutex);
  EventPool* FindPool(uint64_t view_id) REQUIRES(m_mutex);
  EventPool* FindOrCreatePool(uint64_t view_id) REQUIRES(m_mutex);
  void PoolPush(EventPool* pool, const Event& event) REQUIRES(m_mutex);
  bool PoolPop(EventPool* pool, Event* event) REQUIRES(m_mutex);
  // Puts the pool in the ready queue (at the back) when something is
  // pending in it, and takes it out when nothing is.
  void UpdateReady(EventPool* pool) REQUIRES(m_mutex);
  void ReadyAppend(EventPool* pool) REQUIRES(m_mutex);
  void ReadyUnlink(EventPool* pool) REQUIRES(m_mutex);
  // After the pool's server count may have dropped: announces it when it
  // reached 0 from `server_before`.
  void NoteServerDone(EventPool* pool, int server_before) REQUIRES(m_mutex);

  Mutex m_mutex;
  std::map<Task*, ProcessingRecord> m_processing GUARDED_BY(m_mutex);
  // The walks (expand and rescan events) handed out, by worker, until the
  // worker reports them done, gives them back or takes other work: only
  // for telling a person what is being walked.
  std::map<Task*, Event> m_walking GUARDED_BY(m_mutex);
  std::map<uint64_t, std::unique_ptr<EventPool>> m_pools GUARDED_BY(m_mutex);
  // The ready queue, front to back.
  EventPool* m_ready_front GUARDED_BY(m_mutex) = nullptr;
  EventPool* m_ready_back GUARDED_BY(m_mutex) = nullptr;
  size_t m_ready_count GUARDED_BY(m_mutex) = 0;
  uint64_t m_server_done_generation GUARDED_BY(m_mutex) = 0;
  std::condition_variable_any m_server_done;  // signalled with m_server_done_generation
  int64_t m_settle_quiet_ms GUARDED_BY(m_mutex) = 0;
  int64_t m_settle_max_ms GUARDED_BY(m_mutex) = 0;
};

}  // namespace tide
