// Task 2: brings up to date the views that cannot follow the global sync id
// because they joined later (a newly enabled share or home) or were frozen
// by a full disk. Each has its own position in the server's history, kept
// in the ProgressCache and mirrored in progress_table and in the view's
// catching-up attribute. The views are pulled in turn, one batch per turn,
// from their own positions; a view whose server events are still being
// carried out waits for a later turn. A pull that brings nothing new ends
// the view's catch-up: it leaves the cache, its row and its attribute, and
// the server event syncer covers it from then on.
//
// The stored position advances one turn late: a batch's position is written
// at the view's next turn, which only comes when none of the batch's events
// is pending any more, so a restart never skips an event not yet applied.
//
// Thread use: all fields belong to the task's own thread except the stop
// flag (atomic, set by the controlling thread). The cache, database, event
// manager and registry have their own locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/task.h"
#include "proto/messages.h"

namespace tide {

// The outcome of one step (TaskStep::m_outcome), for tests that step the
// syncer.
enum ProgressPass {
  PROGRESS_PASS_IDLE = 1,     // no view is catching up
  PROGRESS_PASS_SKIPPED = 2,  // the view's server events are still pending
  PROGRESS_PASS_PULLED = 3,   // a batch was pulled and processed
  PROGRESS_PASS_FAILED = 4,   // the pull or its processing failed
};

struct EngineContext;

class ProgressSyncer : public Task {
 public:
  ProgressSyncer(uint32_t context1, uint32_t context2, EngineContext& engine);

  int Stop() override;
  int Pause() override;

  // Fills the cache (and the views' catching-up attribute) from
  // progress_table. 0, or -1 when the table cannot be read.
  int LoadCache();
  // One step: the next catching-up view's turn. After a pulled batch the
  // next view follows at once; a view whose server events are pending
  // waits up to a second for the workers to finish some view's last one;
  // otherwise the syncer rests a second (a failing server is asked again a
  // second later, not in a tight loop).
  TaskStep RunOnce() override;

  // The next catching-up view after the current one into the fields. 0, or
  // -1 (fields zeroed) when none is catching up.
  int FindEntry();
  void PreparePullRequest(NPullEventRequest* request);
  int ProcessResponse(const NPullEventResponse& response);

  uint64_t ViewId() const { return m_view_id; }
  uint64_t SyncId() const { return m_sync_id; }

 protected:
  void OnRunStart() override { LoadCache(); }
  void OnRunEnd() override;
  // One pull exchange with the server. `on_answer` runs on a received
  // answer while the connection is still held, so that no other pull (the
  // server event syncer's) slips in between a view's last pull and its
  // leaving the cache; it returns what ProcessResponse returned. 0 when
  // the exchange succeeded (`*processed` then holds on_answer's result),
  // -1 when it failed. Tests replace the server here.
  virtual int Pull(NPullEventRequest* request, NPullEventResponse* response, const std::function<int()>& on_answer,
                   int* processed);

 private:
  uint64_t m_sync_id = 0;       // of the view being worked on
  uint64_t m_next_sync_id = 0;  // 0 until the view's first batch
  uint64_t m_view_id = 0;       // the view being worked on, 0 at start
  std::atomic<int> m_stop{0};   // set by Stop from the controlling thread
  EngineContext& m_engine;      // constant while the syncer runs
};

}  // namespace tide
