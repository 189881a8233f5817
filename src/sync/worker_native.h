// Tasks 3 and up: the workers that carry events out. Every worker runs the
// same loop: take one event from the event manager, check that its view can
// be worked on, load what the local database knows of the object, hand the
// event to its handler, and report it done, or keep it and try again three
// seconds later.
//
// A worker holds at most one event. The handlers (upload, download,
// removal, expansion, rescan; each in a file of its own) receive a work
// item, the worker's private copies of the event, the view's registry entry
// and the node record, so nothing they read can change under them, and the
// engine context the worker was made with. They say what became of the
// event; the worker then reports it done, keeps it, or hands it back.
//
// Thread use: everything but the abort flag belongs to the worker's own
// thread. m_mutex is held for the whole of PrepareEvent, so a diagnostic
// reader on another thread never sees a half-prepared worker. The abort flag
// is written by the controlling thread (pause, stop) and read by the worker
// and by the long operations it hands the flag to.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/freeze_file.h"
#include "core/registry.h"
#include "core/task.h"
#include "db/node_record.h"
#include "event/event.h"
#include "sync/server_connection.h"
#include "sync/work_item.h"
#include "sync/worker_handlers.h"

namespace tide {

// The outcome of one step (TaskStep::m_outcome), for tests that step a
// worker.
enum WorkerPass {
  WORKER_PASS_IDLE = 1,        // nothing to do: rest until work is announced
  WORKER_PASS_DONE = 2,        // an event was carried out and reported done
  WORKER_PASS_RETRY = 3,       // the handler failed; the event is kept
  WORKER_PASS_NOT_READY = 4,   // PrepareEvent refused (view gone, paused, frozen)
  WORKER_PASS_GIVEN_BACK = 5,  // the handler handed the event back (view frozen)
};

// How long a worker rests after each outcome: an idle worker a second (cut
// short by new work), a refused or given-back event a second, a failed one
// three.
constexpr unsigned WORKER_IDLE_SECONDS = 1;
constexpr unsigned WORKER_NOT_READY_SECONDS = 1;
constexpr unsigned WORKER_RETRY_SECONDS = 3;

class FailureStore;
class ReasonCapture;
struct EngineContext;

// The handlers a worker routes events to. The daemon uses the real ones;
// tests put recorders in their place to see the routing alone.
using WorkerHandler = HandlerOutcome (*)(const WorkItem&, EngineContext&);
// Makes the event that follows a finished one (1 with it, 0 none, -1
// failure); the worker queues it as the finished one leaves.
using FollowUpMaker = int (*)(const WorkItem&, EngineContext&, Event*);
struct WorkerHandlers {
  WorkerHandler m_remove_local;
  WorkerHandler m_download_remote;
  WorkerHandler m_upload_local;
  WorkerHandler m_remove_remote;
  WorkerHandler m_expand;
  WorkerHandler m_rescan_merge;
  WorkerHandler m_rescan_sync;
  WorkerHandler m_expand_local_delete;
  WorkerHandler m_expand_server_delete;
  FollowUpMaker m_create_dir_self;
};

// The table of the real handlers.
const WorkerHandlers& DefaultWorkerHandlers();

// Log module of the workers and their handlers, for the shared exchange.
extern const LogModule WORKER_LOG_MODULE;

class WorkerNative : public Task {
 public:
  WorkerNative(uint32_t context1, uint32_t context2, EngineContext& engine);
  ~WorkerNative() override;

  int Pause() override;
  int Resume() override;
  int Stop() override;
  int SetAbort(bool abort) override;

  // One step: take an event (or keep the one held), prepare, dispatch,
  // finish; the rest that follows depends on the outcome.
  TaskStep RunOnce() override;

  // The connect sequence under the worker's log module. 0 or -1.
  int Connect(ServerConnection* connection);

  int FetchEvent();
  int PrepareEvent();
  HandlerOutcome Dispatch();
  int FinishEvent();
  // Hands the held event back to the event manager unfinished and clears.
  void GiveBackEvent();
  // Empties the event, entry, record and both paths.
  void Clear();
  // Where failed attempts are recorded and cleared (none: not recorded).
  // Set before the worker runs.
  void SetFailureStore(FailureStore* failures) { m_failures = failures; }
  // Replaces the handler table (tests only; before the worker runs).
  void SetHandlersForTest(const WorkerHandlers& handlers) { m_handlers = handlers; }

  // What the handlers work on (the worker's own copies).
  Event& CurrentEvent() { return m_event; }
  const RegistryEntry& Entry() const { return m_entry; }
  const NodeRecord& Record() const { return m_record; }
  WorkItem::OtherCase OtherCase() const { return m_other_case; }
  const std::string& LocalPath() const { return m_local_path; }
  const std::string& TempDir() const { return m_tmp_dir; }
  // The freeze file as PrepareEvent found it, for a full disk met later.
  const FreezeFileState& FreezeStateSeen() const { return m_freeze_seen; }
  const std::atomic<int>* AbortFlag() const { return &m_abort; }
  std::atomic<int>* MutableAbortFlag() { return &m_abort; }

 protected:
  void OnRunStart() override;
  void OnRunEnd() override;

 private:
  // Records a failed attempt at `event`, or forgets the path's failures
  // once an attempt finished cleanly.
  void NoteAttempt(const Event& event, const ReasonCapture& attempt, bool failed);

  // Raised to make a running copy, checksum, transfer or traversal give up.
  std::atomic<int> m_abort{0};
  EngineContext& m_engine;     // constant while the worker runs
  std::mutex m_mutex;          // held for the whole of PrepareEvent
  Event m_event;               // worker thread only; type EMPTY when idle
  RegistryEntry m_entry;       // worker thread only
  NodeRecord m_record;         // worker thread only; all zero when no row
  WorkItem::OtherCase m_other_case = WorkItem::OtherCase::UNKNOWN;  // worker thread only
  std::string m_tmp_dir;       // worker thread only
  std::string m_local_path;    // worker thread only
  FreezeFileState m_freeze_seen;  // worker thread only
  WorkerHandlers m_handlers;   // constant while the worker runs
  FailureStore* m_failures = nullptr;  // constant while the worker runs
};

}  // namespace tide
