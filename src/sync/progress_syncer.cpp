#define TIDE_LOG_TAG "progress-syncer"
#define TIDE_LOG_COMPONENT "progress_syncer_debug"
#include "sync/progress_syncer.h"

#include <utility>
#include <vector>

#include "core/logger.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"
#include "sync/server_event.h"
#include "sync/server_path.h"

namespace tide {

namespace {

using ull = unsigned long long;

const LogModule PROGRESS_MODULE = {"progress-syncer", "progress_syncer_debug"};

// How long the syncer rests when a turn pulled nothing.
constexpr unsigned PROGRESS_REST_SECONDS = 1;

}  // namespace

ProgressSyncer::ProgressSyncer(uint32_t context1, uint32_t context2, EngineContext& engine)
    : Task(context1, context2), m_engine(engine) {
  SetThreadName("progress");
}

int ProgressSyncer::Stop() {
  m_stop = 1;
  int result = Task::Stop();
  m_engine.m_events.WakeServerWaiters();
  return result;
}

int ProgressSyncer::Pause() {
  int result = Task::Pause();
  m_engine.m_events.WakeServerWaiters();
  return result;
}

int ProgressSyncer::LoadCache() {
  std::vector<std::pair<uint64_t, uint64_t>> rows;
  if (m_engine.m_db.GetAllViewProgress(&rows) < 0) {
    TLOG_ERROR("Syncer: failed to initial progress cache");
    return -1;
  }
  for (const auto& [view_id, sync_id] : rows) {
    TLOG_INFO("*********** Add view_id %llu, sync id %llu to cache ***************", static_cast<ull>(view_id),
              static_cast<ull>(sync_id));
    m_engine.m_progress.Add(view_id, sync_id);
    m_engine.m_registry.SetAttribute(view_id, VIEW_ATTR_CATCHING_UP, true);
  }
  return 0;
}

void ProgressSyncer::OnRunEnd() {
  TLOG_INFO("Progress Syncer: stop working, now sync id %llu, view_id %llu.", static_cast<ull>(m_sync_id),
            static_cast<ull>(m_view_id));
}

TaskStep ProgressSyncer::RunOnce() {
  if (FindEntry() < 0) return TaskStep::Rest(PROGRESS_REST_SECONDS, PROGRESS_PASS_IDLE);
  TLOG_DEBUG("check view id %llu for server pending event", static_cast<ull>(m_view_id));
  EventManager& manager = m_engine.m_events;
  uint64_t seen = manager.ServerDoneGeneration();
  if (manager.GetViewServerEventCount(m_view_id) != 0) {
    TLOG_DEBUG("view id<%llu> has pending server events", static_cast<ull>(m_view_id));
    // The workers announce when a view's last server event is done: the
    // next batch follows at once rather than on the next second's tick
    // (a catch-up of many batches lost half a second on each). A pause or
    // stop wakes the wait as well.
    if (GetState() == TASK_RUNNING) manager.WaitServerEventsDone(seen, PROGRESS_REST_SECONDS * 1000);
    return TaskStep::GoOn(PROGRESS_PASS_SKIPPED);
  }
  NPullEventRequest request;
  NPullEventResponse response;
  PreparePullRequest(&request);
  TLOG_DEBUG("Syncer: pull event since %llu for view_id %llu", static_cast<ull>(request.m_sync_id),
             static_cast<ull>(m_view_id));
  int processed = -1;
  if (Pull(&request, &response, [&] { return ProcessResponse(response); }, &processed) < 0) {
    TLOG_CRIT("Syncer: failed to pull events from server (sync id %llu, view_id %llu).",
              static_cast<ull>(request.m_sync_id), static_cast<ull>(m_view_id));
    return TaskStep::Rest(PROGRESS_REST_SECONDS, PROGRESS_PASS_FAILED);
  }
  if (processed < 0) {
    TLOG_CRIT("Syncer: failed to process events from server by view_id %llu (pull from %llu -> %llu).",
              static_cast<ull>(m_view_id), static_cast<ull>(request.m_sync_id), static_cast<ull>(response.m_sync_id));
    return TaskStep::Rest(PROGRESS_REST_SECONDS, PROGRESS_PASS_FAILED);
  }
  return TaskStep::GoOn(PROGRESS_PASS_PULLED);
}

int ProgressSyncer::FindEntry() {
  uint64_t view_id = 0;
  uint64_t sync_id = 0;
  uint64_t next_sync_id = 0;
  if (!m_engine.m_progress.Next(m_view_id, &view_id, &sync_id, &next_sync_id)) {
    m_view_id = 0;
    m_sync_id = 0;
    m_next_sync_id = 0;
    return -1;
  }
  m_view_id = view_id;
  m_sync_id = sync_id;
  m_next_sync_id = next_sync_id;
  TLOG_DEBUG("find entry view id %llu, sync_id %llu, next sync id %llu", static_cast<ull>(view_id),
             static_cast<ull>(sync_id), static_cast<ull>(next_sync_id));
  return 0;
}

void ProgressSyncer::PreparePullRequest(NPullEventRequest* request) {
  request->m_view_id = m_view_id;
  request->m_sync_id = m_sync_id;
  // The previous batch is done (its events are no longer pending), so its
  // position may now be stored.
  if (m_next_sync_id != 0 && m_engine.m_db.UpdateViewProgress(m_view_id, m_sync_id) < 0) {
    TLOG_CRIT("Update progress table syncd id with view_id %llu, sync id %llu failed", static_cast<ull>(m_view_id),
              static_cast<ull>(m_sync_id));
  }
}

int ProgressSyncer::ProcessResponse(const NPullEventResponse& response) {
  if (response.m_error_code != 0) {
    TLOG_ERROR("ProcessResponse: server error: %u", response.m_error_code);
    return -1;
  }
  if (response.m_sync_id == m_sync_id) {
    TLOG_INFO("UptoDate: Remove view_id %llu from cache", static_cast<ull>(m_view_id));
    m_engine.m_progress.Remove(m_view_id);
    m_engine.m_db.DeleteViewProgress(m_view_id);
    m_engine.m_registry.SetAttribute(m_view_id, VIEW_ATTR_CATCHING_UP, false);
    return 0;
  }
  for (const NServerEvent& server_event : response.m_events) {
    // The pull names the view; an event of another view, or one whose path
    // could lead out of the view, is not acted on.
    if (server_event.m_view_id != m_view_id || !IsSafeServerPath(server_event.m_path)) {
      TLOG_ERROR("ProcessResponse: dropping server event [%s] of view %llu", server_event.m_path.c_str(),
                 static_cast<ull>(server_event.m_view_id));
      continue;
    }
    Event event = LocalEventOf(server_event);
    TLOG_DEBUG("e.m_node_id = %llu, view_id = %llu, path = '%s'", static_cast<ull>(event.m_node_id),
               static_cast<ull>(event.m_view_id), event.m_path.c_str());
    ServerEcho echo = CheckServerEcho(m_engine.m_db, event);
    if (echo == SERVER_ECHO_UP_TO_DATE) {
      TLOG_INFO("File [%s] is already up-to-date (server echo).", event.m_path.c_str());
      continue;
    }
    if (echo == SERVER_ECHO_UNKNOWN) {
      TLOG_INFO("Server delete event [%s] and cannot find db record (server echo).", event.m_path.c_str());
      continue;
    }
    m_engine.m_events.PushEvent(event);
  }
  m_engine.m_progress.SetNextSyncId(m_view_id, response.m_sync_id);
  m_engine.m_progress.SetSyncId(m_view_id, response.m_sync_id);
  return 0;
}

int ProgressSyncer::Pull(NPullEventRequest* request, NPullEventResponse* response,
                         const std::function<int()>& on_answer, int* processed) {
  return RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, request, response, &m_stop, PROGRESS_MODULE,
                           [&] { *processed = on_answer(); });
}

}  // namespace tide
