#define TIDE_LOG_TAG "event-manager"
#define TIDE_LOG_COMPONENT "event_mgr_debug"
#include "event/event_manager.h"

#include <chrono>

#include "core/logger.h"
#include "core/registry.h"
#include "core/task.h"

namespace tide {

EventManager& EventManager::GetInstance() {
  static EventManager manager;
  return manager;
}

EventManager::EventPool* EventManager::FindPool(uint64_t view_id) {
  auto it = m_pools.find(view_id);
  return it == m_pools.end() ? nullptr : it->second.get();
}

EventManager::EventPool* EventManager::FindOrCreatePool(uint64_t view_id) {
  EventPool* pool = FindPool(view_id);
  if (pool != nullptr) return pool;
  auto created = std::make_unique<EventPool>(view_id);
  pool = created.get();
  pool->m_tree.SetRemovalSettle(m_settle_quiet_ms, m_settle_max_ms);
  m_pools.emplace(view_id, std::move(created));
  return pool;
}

void EventManager::ReadyAppend(EventPool* pool) {
  pool->m_ready_prev = m_ready_back;
  pool->m_ready_next = nullptr;
  if (m_ready_back != nullptr) {
    m_ready_back->m_ready_next = pool;
  } else {
    m_ready_front = pool;
  }
  m_ready_back = pool;
  pool->m_ready = true;
  ++m_ready_count;
}

void EventManager::ReadyUnlink(EventPool* pool) {
  if (pool->m_ready_prev != nullptr) {
    pool->m_ready_prev->m_ready_next = pool->m_ready_next;
  } else {
    m_ready_front = pool->m_ready_next;
  }
  if (pool->m_ready_next != nullptr) {
    pool->m_ready_next->m_ready_prev = pool->m_ready_prev;
  } else {
    m_ready_back = pool->m_ready_prev;
  }
  pool->m_ready_prev = pool->m_ready_next = nullptr;
  pool->m_ready = false;
  --m_ready_count;
}

void EventManager::UpdateReady(EventPool* pool) {
  bool pending = pool->PendingCount() != 0;
  if (pending && !pool->m_ready) {
    ReadyAppend(pool);
  } else if (!pending && pool->m_ready) {
    ReadyUnlink(pool);
  }
  if (!pending) pool->m_done = pool->m_bytes_done = 0;
}

void EventManager::PoolPush(EventPool* pool, const Event& event) {
  if (event.m_type == EMPTY) return;
  if (event.IsExpandEvent()) {
    if (!event.IsDir()) return;
    if ((event.m_type == RESCAN_MERGE || event.m_type == RESCAN_SYNC) && event.m_path == "/") {
      // A rescan of the whole view covers every expand still queued.
      TLOG_INFO("Merging expand event.");
      pool->m_expand.clear();
    }
    TLOG_DEBUG("Push expand event [%s].", event.ToString().c_str());
    pool->m_expand.push_back(event);
    return;
  }
  pool->m_tree.Push(event);
  TLOG_DEBUG("Push local event [%s].", event.ToString().c_str());
}

bool EventManager::PoolPop(EventPool* pool, Event* event) {
  if (!pool->m_tree.IsEmpty() && pool->m_tree.Pop(event) == 0) {
    TLOG_DEBUG("event_pool: Pop an event [%s]", event->ToString().c_str());
    return true;
  }
  if (pool->m_expand.empty()) return false;
  *event = std::move(pool->m_expand.front());
  pool->m_expand.pop_front();
  TLOG_DEBUG("event_pool: Pop an expand event [%s]", event->ToString().c_str());
  return true;
}

void EventManager::PushEvent(const Event& event) {
  AddEvent(event);
  // Idle workers sleep until told; telling them here is what makes a change
  // travel at once instead of after their poll.
  Task::NotifyWork();
}

void EventManager::AddEvent(const Event& event) {
  MutexLock guard(&m_mutex);
  AddEventLocked(event);
}

void EventManager::AddEventLocked(const Event& event) {
  if (!event.IsExpandEvent()) {
    for (auto& [worker, record] : m_processing) {
      if (record.m_current.m_view_id != event.m_view_id || record.m_current.m_path != event.m_path) continue;
      record.m_dirty = event;
      if (record.m_current.m_type == UPLOAD_LOCAL && event.m_type == REMOVE_REMOTE) {
        // The file is gone: finishing the upload would be wasted work.
        TLOG_INFO("old event is UploadLocal but new event is RemoveRemote, abort UploadLocal progress '%s'.",
                  event.m_path.c_str());
        worker->SetAbort(true);
      }
    }
  }
  EventPool* pool = FindOrCreatePool(event.m_view_id);
  int server_before = pool->m_tree.ServerEventCount();
  PoolPush(pool, event);
  // A merge or a pruning removal can leave nothing for the workers.
  NoteServerDone(pool, server_before);
  UpdateReady(pool);
}

void EventManager::PushExpandEvent(uint64_t view_id, const std::string& path) {
  Event event;
  event.m_type = EXPAND;
  event.m_view_id = view_id;
  event.m_path = path;
  event.m_flags = EVENT_FLAG_DIR;
  PushEvent(event);
}

void EventManager::PushRescanEvent(uint64_t view_id, const std::string& path, bool merge) {
  Event event;
  event.m_type = merge ? RESCAN_MERGE : RESCAN_SYNC;
  event.m_view_id = view_id;
  event.m_path = path;
  event.m_flags = EVENT_FLAG_DIR;
  PushEvent(event);
}

int EventManager::PullEvent(Task* worker, Event* event) {
  MutexLock guard(&m_mutex);
  // Each pool is tried at most once; the ones passed over hold only work
  // that is being carried out, so they are few (no more than the workers).
  for (size_t tries = m_ready_count; tries > 0; --tries) {
    EventPool* pool = m_ready_front;
    ReadyUnlink(pool);
    bool popped = PoolPop(pool, event);
    // Back at the end of the queue while anything is pending, including
    // entries still being processed: views take turns.
    UpdateReady(pool);
    if (!popped) continue;
    if (event->IsExpandEvent()) {
      m_walking[worker] = *event;
    } else {
      m_walking.erase(worker);
      ProcessingRecord& record = m_processing[worker];
      record.m_current = *event;
      record.m_dirty = Event();
      TLOG_DEBUG("EventManager::PullEvent [%s]", event->ToString().c_str());
    }
    return 0;
  }
  return -1;
}

int EventManager::DoneEvent(Task* worker, Event* event, const Event* next) {
  if (event->IsExpandEvent()) {
    MutexLock guard(&m_mutex);
    m_walking.erase(worker);
    if (next) AddEventLocked(*next);
    return 0;
  }
  int result = ReleaseEvent(worker, event, next);
  // Finishing a path can release the events waiting below it.
  if (result == 0) Task::NotifyWork();
  return result;
}

int EventManager::ReleaseEvent(Task* worker, Event* event, const Event* follow_up) {
  MutexLock guard(&m_mutex);
  auto it = m_processing.find(worker);
  // Without a record (the worker gave its event back meanwhile) the
  // caller's event is what the tree has to release.
  const Event& current = it != m_processing.end() ? it->second.m_current : *event;
  EventPool* pool = FindPool(current.m_view_id);
  if (pool == nullptr) {
    TLOG_ERROR("Can not find event pool");
    if (it != m_processing.end()) m_processing.erase(it);
    return 0;
  }
  int server_before = pool->m_tree.ServerEventCount();
  if (it == m_processing.end() || it->second.m_dirty.m_type == EMPTY) {
    // What leaves the tree's pending bytes is what was done: the tree's
    // own entry, whatever the worker's copy says.
    uint64_t bytes_before = pool->m_tree.PendingBytes();
    pool->m_tree.DoneEvent(current);
    pool->m_bytes_done += bytes_before - pool->m_tree.PendingBytes();
    if (it != m_processing.end()) m_processing.erase(it);
    // Queued before the count is looked at: the finished event and its
    // continuation are never both absent from it.
    if (follow_up) AddEventLocked(*follow_up);
    NoteServerDone(pool, server_before);
    ++pool->m_done;
    UpdateReady(pool);
    return 0;
  }

  ProcessingRecord& record = it->second;
  TLOG_DEBUG("EventManager::DoneEvent is dirty, waiting for [%s]", record.m_dirty.ToString().c_str());
  Event next;
  if (pool->m_tree.PopEvent(record.m_current.m_path, &next) < 0) {
    // Nothing of that path is left to hand out (it was pruned meanwhile).
    m_processing.erase(it);
    if (follow_up) AddEventLocked(*follow_up);
    NoteServerDone(pool, server_before);
    ++pool->m_done;
    UpdateReady(pool);
    return 0;
  }
  record.m_current = next;
  record.m_dirty = Event();
  *event = std::move(next);
  return -1;
}

int EventManager::RedoEvent(Task* worker, const Event& event) {
  int result = -1;
  {
    MutexLock guard(&m_mutex);
    EventPool* pool = FindPool(event.m_view_id);
    if (pool == nullptr) {
      TLOG_ERROR("Can not find event pool");
    } else if (event.IsExpandEvent()) {
      // Expand events have no place in the tree; they wait at the end of
      // the expand list again instead of being lost.
      m_walking.erase(worker);
      pool->m_expand.push_back(event);
      UpdateReady(pool);
      result = 0;
    } else {
      int reset = (event.m_flags & EVENT_FLAG_EXCEPT) ? pool->m_tree.RedoExcept(event.m_path)
                                                       : pool->m_tree.ResetEventStatus(event.m_path);
      if (reset < 0) {
        TLOG_ERROR("Failed to Reset event status to watting in event tree '%s'.", event.m_path.c_str());
      } else {
        m_processing.erase(worker);
        UpdateReady(pool);
        result = 0;
      }
    }
  }
  // No announcement: an event comes back because its view cannot be worked
  // on now (paused, frozen), and waking every idle worker to refuse it again
  // would only spin; the workers' poll picks it up.
  TLOG_DEBUG("EventManager::RedoEvent = [%s], ret= [%d]", event.ToString().c_str(), result);
  return result;
}

int EventManager::GetPendingServerEventCount(Registry& registry) {
  MutexLock guard(&m_mutex);
  int count = 0;
  for (const auto& [view_id, pool] : m_pools) {
    RegistryEntry entry;
    if (!registry.GetByViewId(view_id, &entry) || (entry.m_attribute & VIEW_ATTR_CATCHING_UP)) {
      TLOG_DEBUG("view id %llu is currently in progress table, skip it", static_cast<unsigned long long>(view_id));
      continue;
    }
    count += pool->m_tree.ServerEventCount();
  }
  return count;
}

void EventManager::NoteServerDone(EventPool* pool, int server_before) {
  if (server_before <= 0 || pool->m_tree.ServerEventCount() > 0) return;
  ++m_server_done_generation;
  m_server_done.notify_all();
}

uint64_t EventManager::ServerDoneGeneration() {
  MutexLock guard(&m_mutex);
  return m_server_done_generation;
}

int EventManager::WaitServerEventsDone(uint64_t seen, int64_t timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  MutexLock guard(&m_mutex);
  while (m_server_done_generation == seen) {
    // The wait lets go of m_mutex and takes it again before returning.
    if (m_server_done.wait_until(m_mutex, deadline) == std::cv_status::timeout) {
      return m_server_done_generation == seen ? 0 : 1;
    }
  }
  return 1;
}

void EventManager::WakeServerWaiters() {
  MutexLock guard(&m_mutex);
  ++m_server_done_generation;
  m_server_done.notify_all();
}

void EventManager::SetRemovalSettle(int64_t quiet_ms, int64_t max_ms) {
  MutexLock guard(&m_mutex);
  m_settle_quiet_ms = quiet_ms;
  m_settle_max_ms = max_ms;
  for (auto& [view_id, pool] : m_pools) pool->m_tree.SetRemovalSettle(quiet_ms, max_ms);
}

int EventManager::GetViewServerEventCount(uint64_t view_id) {
  MutexLock guard(&m_mutex);
  EventPool* pool = FindPool(view_id);
  return pool == nullptr ? 0 : pool->m_tree.ServerEventCount();
}

int EventManager::GetViewPendingCount(uint64_t view_id) {
  MutexLock guard(&m_mutex);
  EventPool* pool = FindPool(view_id);
  return pool == nullptr ? 0 : pool->PendingCount();
}

namespace {

bool StrictlyBelow(const std::string& path, const std::string& folder) {
  if (folder == "/") return path.size() > 1;
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Walks and folder removals cover what lies below their folder.
bool CoversBelow(const Event& event) {
  return event.IsExpandEvent() || ((event.m_type == REMOVE_LOCAL || event.m_type == REMOVE_REMOTE) && event.IsDir());
}

}  // namespace

PathActivity EventManager::DescribePath(uint64_t view_id, const std::string& path) {
  MutexLock guard(&m_mutex);
  PathActivity covering;  // the first walk or removal above the path
  for (const auto& [worker, record] : m_processing) {
    const Event& current = record.m_current;
    if (current.m_view_id != view_id) continue;
    if (current.m_path == path) return PathActivity{PATH_IN_PROGRESS, current.m_type, "", -1};
    if (record.m_dirty.m_type != EMPTY && record.m_dirty.m_path == path) {
      return PathActivity{PATH_WAITING, record.m_dirty.m_type, "", -1};
    }
    if (covering.m_state == PATH_NOT_QUEUED && CoversBelow(current) && StrictlyBelow(path, current.m_path)) {
      covering = PathActivity{PATH_IN_PROGRESS, current.m_type, current.m_path, -1};
    }
  }
  for (const auto& [worker, walk] : m_walking) {
    if (walk.m_view_id != view_id) continue;
    if (walk.m_path == path) return PathActivity{PATH_IN_PROGRESS, walk.m_type, "", -1};
    if (covering.m_state == PATH_NOT_QUEUED && StrictlyBelow(path, walk.m_path)) {
      covering = PathActivity{PATH_IN_PROGRESS, walk.m_type, walk.m_path, -1};
    }
  }
  EventPool* pool = FindPool(view_id);
  if (pool == nullptr) return covering;
  for (bool dir : {false, true}) {
    EventNodeInfo info;
    if (pool->m_tree.GetNodeInfo(path, dir, &info) == 1 && info.m_status != NODE_PLACEHOLDER) {
      Event event;
      info.m_entry.ToEventNumbers(&event);
      return PathActivity{info.m_status == NODE_WAITING ? PATH_WAITING : PATH_IN_PROGRESS, event.m_type, "", -1};
    }
  }
  Event except;
  if (pool->m_tree.FindWaitingExcept(path, &except) == 1) return PathActivity{PATH_WAITING, except.m_type, "", -1};
  // A waiting removal of a folder above stands for everything below it.
  for (size_t slash = path.rfind('/'); covering.m_state == PATH_NOT_QUEUED && slash != std::string::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    const std::string folder = path.substr(0, slash);
    EventNodeInfo info;
    if (pool->m_tree.GetNodeInfo(folder, true, &info) == 1 && info.m_status == NODE_WAITING &&
        info.m_entry.m_op == ENTRY_OP_REMOVE) {
      Event event;
      info.m_entry.ToEventNumbers(&event);
      covering = PathActivity{PATH_WAITING, event.m_type, folder, -1};
    }
  }
  int64_t position = 0;
  for (const Event& walk : pool->m_expand) {
    if (walk.m_path == path) return PathActivity{PATH_WAITING, walk.m_type, "", position};
    if (covering.m_state == PATH_NOT_QUEUED && StrictlyBelow(path, walk.m_path)) {
      covering = PathActivity{PATH_WAITING, walk.m_type, walk.m_path, position};
    }
    ++position;
  }
  return covering;
}

std::vector<ViewLoad> EventManager::Snapshot() {
  MutexLock guard(&m_mutex);
  std::vector<ViewLoad> loads;
  for (const auto& [view_id, pool] : m_pools) {
    ViewLoad load;
    load.m_view_id = view_id;
    for (const auto& [worker, record] : m_processing) {
      if (record.m_current.m_view_id == view_id) ++load.m_working;
    }
    // The tree counts the events being carried out until they are done.
    load.m_waiting = pool->PendingCount() - load.m_working;
    if (load.m_waiting < 0) load.m_waiting = 0;
    load.m_done = pool->m_done;
    load.m_bytes_done = pool->m_bytes_done;
    load.m_bytes_found = pool->m_bytes_done + pool->m_tree.PendingBytes();
    if (load.m_waiting + load.m_working == 0 && load.m_done == 0) continue;
    loads.push_back(load);
  }
  return loads;
}

size_t EventManager::ReadyQueueSize() {
  MutexLock guard(&m_mutex);
  return m_ready_count;
}

void EventManager::Reset() {
  MutexLock guard(&m_mutex);
  m_ready_front = m_ready_back = nullptr;
  m_ready_count = 0;
  m_processing.clear();
  m_walking.clear();
  m_pools.clear();
}

}  // namespace tide
