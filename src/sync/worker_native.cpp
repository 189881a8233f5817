#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/worker_native.h"

#include <cstdio>
#include <ctime>
#include <set>

#include "core/freeze_file.h"
#include "core/logger.h"
#include "core/mutex.h"
#include "db/failure_store.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/work_item.h"
#include "sync/worker_handlers.h"

namespace tide {
namespace {

using ull = unsigned long long;

constexpr uint32_t SUBDIR_RESCAN_FLAGS = EVENT_FLAG_LOCAL_SUBDIR_RESCAN | EVENT_FLAG_SERVER_SUBDIR_RESCAN |
                                         EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT |
                                         EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT;
constexpr uint32_t LOCAL_SUBDIR_FLAGS = EVENT_FLAG_LOCAL_SUBDIR_RESCAN | EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT;
constexpr uint32_t SERVER_SUBDIR_FLAGS =
    EVENT_FLAG_SERVER_SUBDIR_RESCAN | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT;

// The frozen views the workers have reported, so that each freeze and each
// lift is logged once, whichever worker meets it.
Mutex s_frozen_mutex;
std::set<uint64_t> s_frozen_views GUARDED_BY(s_frozen_mutex);

// Records whether the view is frozen; true when that is news.
bool NoteFrozen(uint64_t view_id, bool frozen) {
  MutexLock lock(&s_frozen_mutex);
  return frozen ? s_frozen_views.insert(view_id).second : s_frozen_views.erase(view_id) > 0;
}

}  // namespace

const LogModule WORKER_LOG_MODULE{"worker", "worker_debug"};

const WorkerHandlers& DefaultWorkerHandlers() {
  static const WorkerHandlers handlers{
      &RemoveLocal,        &DownloadRemote,         &UploadLocal,
      &RemoveRemote,       &ExpandDirectory,        &RescanMerge,
      &RescanSync,         &ExpandLocalDeleteEvent, &ExpandServerDeleteEvent,
      &CreateDirSelfEvent,
  };
  return handlers;
}

WorkerNative::WorkerNative(uint32_t context1, uint32_t context2, EngineContext& engine)
    : Task(context1, context2), m_engine(engine), m_handlers(DefaultWorkerHandlers()) {}

WorkerNative::~WorkerNative() = default;

int WorkerNative::Pause() {
  m_abort = 1;
  return Task::Pause();
}

int WorkerNative::Resume() {
  m_abort = 0;
  return Task::Resume();
}

int WorkerNative::Stop() {
  m_abort = 1;
  return Task::Stop();
}

int WorkerNative::SetAbort(bool abort) {
  m_abort = abort ? 1 : 0;
  return 0;
}

int WorkerNative::Connect(ServerConnection* connection) {
  return tide::Connect(connection, m_engine.m_pool.SocketPath(), WORKER_LOG_MODULE);
}

void WorkerNative::OnRunStart() { TLOG_DEBUG("Worker (%d) up", GetId()); }

void WorkerNative::OnRunEnd() { TLOG_DEBUG("Worker (%d) down", GetId()); }

TaskStep WorkerNative::RunOnce() {
  SetAbort(false);
  // Read before looking for work: an event pushed between the look and the
  // rest then ends the rest at once instead of waiting out the poll.
  uint64_t seen = Task::WorkGeneration();
  if (FetchEvent() < 0) return TaskStep::RestUntilWork(WORKER_IDLE_SECONDS, seen, WORKER_PASS_IDLE);
  if (PrepareEvent() < 0) return TaskStep::Rest(WORKER_NOT_READY_SECONDS, WORKER_PASS_NOT_READY);
  ReasonCapture attempt;  // what the handler logged, to say why it failed
  const HandlerOutcome outcome = Dispatch();
  if (outcome == HandlerOutcome::GIVE_BACK) {
    GiveBackEvent();
    return TaskStep::Rest(WORKER_NOT_READY_SECONDS, WORKER_PASS_GIVEN_BACK);
  }
  if (outcome == HandlerOutcome::RETRY) {
    NoteAttempt(m_event, attempt, true);
    TLOG_INFO("process event '%s' again", m_event.m_path.c_str());
    return TaskStep::Rest(WORKER_RETRY_SECONDS, WORKER_PASS_RETRY);
  }
  // A handler that logged an error and finished has given the event up:
  // the path stays out of step until a later event of it succeeds.
  const bool gave_up = attempt.Level() != 0 && attempt.Level() <= LOG_LEVEL_ERROR;
  // The completion may replace the event with a newer change of the same
  // path (carried out on the next step), so the finished one is kept first
  // when there is a store to tell.
  Event finished;
  if (m_failures != nullptr) finished = m_event;
  FinishEvent();
  NoteAttempt(finished, attempt, gave_up);
  return TaskStep::GoOn(WORKER_PASS_DONE);
}

void WorkerNative::NoteAttempt(const Event& event, const ReasonCapture& attempt, bool failed) {
  if (m_failures == nullptr || event.m_type == EMPTY) return;
  if (failed) {
    const std::string reason = attempt.Level() != 0 ? attempt.Message() : "failed without a reason logged";
    m_failures->RecordFailure(event.m_view_id, event.m_path, event.m_type, reason, time(nullptr));
    return;
  }
  // Once a folder is gone, whatever failed below it has gone with it.
  const bool removal = event.m_type == REMOVE_LOCAL || event.m_type == REMOVE_REMOTE;
  if (removal && event.IsDir()) {
    m_failures->ClearBelow(event.m_view_id, event.m_path);
  } else {
    m_failures->Clear(event.m_view_id, event.m_path);
  }
}

int WorkerNative::FetchEvent() {
  if (m_event.m_type != EMPTY) return 0;
  return m_engine.m_events.PullEvent(this, &m_event) == 0 ? 0 : -1;
}

int WorkerNative::PrepareEvent() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const uint64_t view_id = m_event.m_view_id;

  if (!m_engine.m_registry.GetByViewId(view_id, &m_entry)) {
    TLOG_NOTE("registry is removed for view %llu.", static_cast<ull>(view_id));
    FinishEvent();
    return -1;
  }
  if (!IsSafeServerPath(m_event.m_path)) {
    // Every producer should hand out absolute, clean paths; one that does
    // not must never make a handler touch something outside the view.
    TLOG_ERROR("refuse event with unsafe path '%s' at %llu", m_event.m_path.c_str(), static_cast<ull>(view_id));
    FinishEvent();
    return -1;
  }
  if (m_entry.m_attribute & VIEW_ATTR_PAUSED) {
    TLOG_NOTE("registry is paused, return this event");
    GiveBackEvent();
    return -1;
  }
  if (IsViewFrozen(view_id, &m_freeze_seen)) {
    // Its events wait until the freeze is lifted; one line says so, not
    // one per event and pass.
    if (NoteFrozen(view_id, true)) {
      TLOG_INFO("view_id %llu path '%s' is in freeze mode", static_cast<ull>(view_id), m_event.m_path.c_str());
    }
    GiveBackEvent();
    return -1;
  }
  if (NoteFrozen(view_id, false)) {
    TLOG_INFO("view_id %llu is no longer in freeze mode", static_cast<ull>(view_id));
  }

  NativeClientDb& db = m_engine.m_db;
  m_record = NodeRecord();
  m_other_case = WorkItem::OtherCase::UNKNOWN;
  int found;
  if (m_event.m_node_id == 0) {
    // The same look also tells an upload whether a name of another case is
    // recorded, which it would otherwise have to ask for on its own.
    bool other_case = false;
    found = db.GetNodeByPathNotingCase(view_id, m_event.m_path, &m_record, &other_case);
    if (found >= 0) m_other_case = other_case ? WorkItem::OtherCase::EXISTS : WorkItem::OtherCase::NONE;
  } else {
    found = db.GetNodeById(m_event.m_node_id, &m_record);
  }
  if (found < 0) {
    TLOG_NOTE("failed to query database for '%s' at %llu", m_event.m_path.c_str(), static_cast<ull>(view_id));
    m_record = NodeRecord();
  } else if (found == 0) {
    TLOG_INFO("first time to handle event of '%s' at %llu", m_event.m_path.c_str(), static_cast<ull>(view_id));
    m_record = NodeRecord();
  }

  m_local_path = m_event.m_path == "/" ? m_entry.m_watch_path : m_entry.m_watch_path + m_event.m_path;

  m_tmp_dir = m_engine.m_layout.WorkDirPath(m_entry.m_volume_id);
  return 0;
}

HandlerOutcome WorkerNative::Dispatch() {
  const WorkItem item = WorkItemOf(*this);
  if (m_event.m_flags & SUBDIR_RESCAN_FLAGS) {
    // A subtree rescan: only the delete expansions its flags name run, and
    // the event counts as done whatever they returned; the directory's own
    // event follows on completion.
    if (m_event.m_flags & LOCAL_SUBDIR_FLAGS) {
      TLOG_DEBUG("ExpandLocalDeleteEvent event: %s", m_event.ToString().c_str());
      m_handlers.m_expand_local_delete(item, m_engine);
    }
    if (m_event.m_flags & SERVER_SUBDIR_FLAGS) {
      TLOG_DEBUG("ExpandServerDeleteEvent event: %s", m_event.ToString().c_str());
      m_handlers.m_expand_server_delete(item, m_engine);
    }
    return HandlerOutcome::DONE;
  }
  switch (m_event.m_type) {
    case REMOVE_LOCAL:
      return m_handlers.m_remove_local(item, m_engine);
    case DOWNLOAD_REMOTE:
      return m_handlers.m_download_remote(item, m_engine);
    case UPLOAD_LOCAL:
      return m_handlers.m_upload_local(item, m_engine);
    case REMOVE_REMOTE:
      return m_handlers.m_remove_remote(item, m_engine);
    case EXPAND:
      return m_handlers.m_expand(item, m_engine);
    case RESCAN_MERGE:
      return m_handlers.m_rescan_merge(item, m_engine);
    case RESCAN_SYNC:
      return m_handlers.m_rescan_sync(item, m_engine);
    default:
      // EMPTY, the renames (split up before they are queued) and anything
      // unknown: nothing to do.
      return HandlerOutcome::DONE;
  }
}

int WorkerNative::FinishEvent() {
  // The directory's own event is made while the finished one still holds
  // the path, and queued in the same step as it leaves: in between, a
  // server removal would count as carried out, and the syncer could record
  // its position past it; a restart then would never remove the folder.
  Event self;
  bool has_self = (m_event.m_flags & SUBDIR_RESCAN_FLAGS) != 0 &&
                  m_handlers.m_create_dir_self(WorkItemOf(*this), m_engine, &self) > 0;
  if (m_engine.m_events.DoneEvent(this, &m_event, has_self ? &self : nullptr) < 0) {
    // m_event now holds the newer change of the same path.
    TLOG_INFO("Worker (%d): event '%s' is not yet done.", GetId(), m_event.m_path.c_str());
    return -1;
  }
  TLOG_DEBUG("Worker (%d): processing event '%s' done", GetId(), m_event.m_path.c_str());
  Clear();
  return 0;
}

void WorkerNative::GiveBackEvent() {
  m_engine.m_events.RedoEvent(this, m_event);
  Clear();
}

void WorkerNative::Clear() {
  m_event = Event();
  m_entry = RegistryEntry();
  m_record = NodeRecord();
  m_tmp_dir.clear();
  m_local_path.clear();
  m_freeze_seen = FreezeFileState();
}

}  // namespace tide
