#define TIDE_LOG_TAG "syncer"
#define TIDE_LOG_COMPONENT "syncer_debug"
#include "sync/syncer_native.h"

#include "core/logger.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"
#include "sync/server_event.h"
#include "sync/server_path.h"

namespace tide {
namespace {

using ull = unsigned long long;

const LogModule SYNCER_MODULE{"syncer", "syncer_debug"};

// Passes of WaitForWorkers between two keep-alives: the server drops a
// connection that stays silent, and waiting for workers can take long.
constexpr int KEEP_ALIVE_PASSES = 5;

}  // namespace

SyncerNative::SyncerNative(uint32_t context1, uint32_t context2, EngineContext& engine)
    : Task(context1, context2), m_engine(engine) {
  SetThreadName("syncer");
}

int SyncerNative::Stop() {
  m_stop = 1;
  int result = Task::Stop();
  m_engine.m_events.WakeServerWaiters();
  return result;
}

int SyncerNative::Pause() {
  int result = Task::Pause();
  m_engine.m_events.WakeServerWaiters();
  return result;
}

int SyncerNative::WaitForWorkersPass(unsigned seconds, uint64_t seen) {
  int state = GetState();
  // Paused, the caller has slept already: the pass counts towards the
  // keep-alive, as a timed-out one does.
  if (state == TASK_PAUSED) return 0;
  if (state != TASK_RUNNING) return 1;
  return m_engine.m_events.WaitServerEventsDone(seen, static_cast<int64_t>(seconds) * 1000);
}

// While paused with server events still held by the workers, the syncer
// wakes once a second (at once on resume or stop), so the keep-alives that
// hold the server connection open go on.
void SyncerNative::SleepWhilePaused() { WaitWhilePaused(1); }

void SyncerNative::LoadSyncId() {
  uint64_t sync_id = 0;
  if (m_engine.m_db.GetGlobalSyncId(&sync_id) < 0) {
    TLOG_ERROR("Syncer: failed to get initial sync id ... starts from 0");
    sync_id = 0;
  }
  m_sync_id = sync_id;
  m_last_node_id = 0;
  TLOG_DEBUG("Syncer: start working with sync id %llu", static_cast<ull>(m_sync_id));
}

void SyncerNative::OnRunEnd() { TLOG_DEBUG("Syncer: stop working, now sync id %llu.", static_cast<ull>(m_sync_id)); }

TaskStep SyncerNative::RunOnce() {
  NPullEventRequest request;
  NPullEventResponse response;
  if (PreparePullRequest(&request) < 0) {
    TLOG_CRIT("Syncer: failed to prepare pull event request (sync id %llu).", static_cast<ull>(m_sync_id));
    return TaskStep::Rest(1, SYNCER_PASS_FAILED);
  }
  TLOG_DEBUG("Syncer: pull event since %llu", static_cast<ull>(request.m_sync_id));
  if (PullEvents(&request, &response) < 0) {
    TLOG_CRIT("Syncer: failed to pull events from server (sync id %llu).", static_cast<ull>(m_sync_id));
    return TaskStep::Rest(1, SYNCER_PASS_FAILED);
  }
  int processed = ProcessResponse(response);
  if (processed < 0) {
    TLOG_CRIT("Syncer: failed to process events from server (pull from %llu -> %llu).",
              static_cast<ull>(request.m_sync_id), static_cast<ull>(response.m_sync_id));
    return TaskStep::Rest(1, SYNCER_PASS_FAILED);
  }
  // No pause between batches; the polling period when nothing was new.
  if (processed == SYNCER_NOTHING_NEW) return TaskStep::Rest(SYNCER_IDLE_SECONDS, SYNCER_PASS_DONE);
  return TaskStep::GoOn(SYNCER_PASS_DONE);
}

int SyncerNative::PreparePullRequest(NPullEventRequest* request) {
  request->m_sync_id = m_sync_id;
  return 0;
}

int SyncerNative::PullEvents(NPullEventRequest* request, NPullEventResponse* response) {
  return RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, request, response, &m_stop, SYNCER_MODULE);
}

int SyncerNative::ProcessResponse(const NPullEventResponse& response) {
  if (response.m_error_code != 0) {
    TLOG_ERROR("ProcessResponse: server error: %u", response.m_error_code);
    return -1;
  }
  if (response.m_sync_id == m_sync_id) {
    // Nothing new: the step rests for the polling period.
    return SYNCER_NOTHING_NEW;
  }

  for (const NServerEvent& server_event : response.m_events) {
    TLOG_DEBUG("Event: %s", server_event.m_path.c_str());
    if (!IsSafeServerPath(server_event.m_path)) {
      // A path that could climb out of the view (or that no file system
      // can hold) never reaches a worker.
      TLOG_ERROR("Syncer: refuse server event with unsafe path '%s' (view id <%llu>, sync id %llu).",
                 server_event.m_path.c_str(), static_cast<ull>(server_event.m_view_id),
                 static_cast<ull>(server_event.m_sync_id));
      continue;
    }
    Event event = LocalEventOf(server_event);
    if (m_engine.m_progress.Contains(event.m_view_id)) {
      TLOG_INFO("path '%s', view id <%llu> is in ProgressCache", event.m_path.c_str(),
                static_cast<ull>(event.m_view_id));
      continue;
    }
    TLOG_DEBUG("e.m_node_id=%llu, view_id=%llu, path = '%s'", static_cast<ull>(event.m_node_id),
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
    // A failed look-up pushes too: the download checks the disk itself.
    m_engine.m_events.PushEvent(event);
  }

  if (WaitForWorkers() < 0) {
    // The same batch comes again from the old position; what was done by
    // then is dropped as an echo.
    return 0;
  }
  uint64_t before = m_sync_id;
  AdvanceSyncId(response);
  if (response.m_events.empty() && m_sync_id == before) {
    // A server that keeps answering "nothing, but at S = P + 1" would
    // otherwise be asked again at once, for ever: treat it as idle.
    return SYNCER_NOTHING_NEW;
  }
  return 0;
}

void SyncerNative::AdvanceSyncId(const NPullEventResponse& response) {
  uint64_t server_sync_id = response.m_sync_id;
  uint64_t last_node = response.m_events.empty() ? 0 : response.m_events.back().m_node_id;
  // The batch is pulled once more from S - 1: the server repeats its last
  // change (dropped as an echo), so a change that shares its sync id with
  // the end of a cut-off batch is not skipped. Only when that repetition is
  // all there is does the position move onto S.
  if (server_sync_id == m_sync_id + 1 && last_node != 0 && last_node == m_last_node_id) {
    m_sync_id = server_sync_id;
  } else {
    m_sync_id = server_sync_id == 0 ? 0 : server_sync_id - 1;
  }
  m_last_node_id = last_node;
  m_engine.m_db.SetGlobalSyncId(m_sync_id);
}

int SyncerNative::WaitForWorkers() {
  EventManager& manager = m_engine.m_events;
  // The workers announce when a view's last server event is done, so the
  // next pull follows at once instead of on the next tick. Keep-alives
  // count whole passes that ran their time out.
  for (int passes = 0;;) {
    uint64_t seen = manager.ServerDoneGeneration();
    int pending = manager.GetPendingServerEventCount(m_engine.m_registry);
    if (pending < 1) return 0;
    int state = GetState();
    if (state == TASK_STOPPED) {
      TLOG_WARNING("Program stopped while syncing files ...");
      return -1;
    }
    if (state == TASK_PAUSED) SleepWhilePaused();
    TLOG_DEBUG("Wait for workers (still %d pending server events).", pending);
    if (WaitForWorkersPass(1, seen) != 0) continue;
    ++passes;
    if (passes % KEEP_ALIVE_PASSES == 0 && SendKeepAlive() < 0) {
      TLOG_CRIT("Syncer: keep alive failed");
      return -1;
    }
  }
}

int SyncerNative::SendKeepAlive() {
  NKeepAliveRequest request;
  NKeepAliveResponse response;
  TLOG_DEBUG("sending keep alive");
  return RunServerExchange(m_engine.m_pool, SERVER_CMD_KEEP_ALIVE, &request, &response, &m_stop, SYNCER_MODULE);
}

}  // namespace tide
