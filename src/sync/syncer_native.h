// Task 1: brings the server's changes to the appliance.
//
// The syncer keeps the global sync id, the position in the server's change
// history up to which every change has been applied on the disk. Each pass
// pulls the changes since that position, turns each into a download or a
// local removal for the event manager, drops the server's echoes of our own
// work, leaves the views still catching up to the progress syncer, waits
// until the workers have carried every pulled change out, and only then
// stores the new position. A stop, a failed keep-alive or a failed exchange
// leaves the stored position where it was, so nothing pulled is ever lost:
// the next pull brings it again and the echo check drops what was done.
//
// Thread use: the sync id and the last node id belong to the syncer's own
// thread (tests step it on theirs); the stop flag is written by the
// controlling thread and doubles as the channel's abort flag while a pull
// runs, so a stop cuts a slow exchange short.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/task.h"
#include "proto/messages.h"

namespace tide {

// The outcome of one step (TaskStep::m_outcome), for tests that step the
// syncer.
enum SyncerPass {
  SYNCER_PASS_DONE = 2,     // a batch was pulled and handled (or nothing was new)
  SYNCER_PASS_FAILED = 3,   // the exchange or the processing failed: rest, then retry
};

// ProcessResponse's answer when the server had nothing new: the syncer
// rests for the polling period before it asks again.
constexpr int SYNCER_NOTHING_NEW = 1;
// The polling period while the server has nothing new.
constexpr unsigned SYNCER_IDLE_SECONDS = 5;

struct EngineContext;

class SyncerNative : public Task {
 public:
  SyncerNative(uint32_t context1, uint32_t context2, EngineContext& engine);

  int Stop() override;
  // Wakes WaitForWorkers too, so that a stop or pause is seen at once.
  int Pause() override;

  // Reads the stored global sync id as the starting position (0 when none).
  void LoadSyncId();
  // One step: pull, process, and say how long to rest: 1 second after a
  // failure, the polling period when nothing was new, none otherwise.
  TaskStep RunOnce() override;

  int PreparePullRequest(NPullEventRequest* request);
  // Pushes the batch's changes, waits for the workers and advances the sync
  // id. 0, SYNCER_NOTHING_NEW when there was nothing to do, or -1 when the
  // server reported an error.
  int ProcessResponse(const NPullEventResponse& response);
  // 0 once no server event is pending; -1 on stop or a failed keep-alive.
  int WaitForWorkers();

  uint64_t CurrentSyncId() const { return m_sync_id; }
  uint64_t LastNodeId() const { return m_last_node_id; }

 protected:
  void OnRunStart() override { LoadSyncId(); }
  void OnRunEnd() override;
  // Seams for tests, which step the syncer without real time passing: the
  // interruptible wait and the rest while paused, both inside
  // WaitForWorkers (which runs within one step).
  virtual int WaitSeconds(unsigned seconds) { return Wait(seconds); }
  virtual void SleepWhilePaused();
  // One pass of WaitForWorkers: sleeps until the workers finish a view's
  // last pending server event (`seen` is the event manager's generation,
  // read before counting), a pause or stop, or `seconds` ran out. 0 when
  // the time ran out, 1 when woken earlier.
  virtual int WaitForWorkersPass(unsigned seconds, uint64_t seen);

  std::atomic<int> m_stop{0};  // set by Stop; the pull's abort flag
  EngineContext& m_engine;     // constant while the syncer runs

 private:
  int PullEvents(NPullEventRequest* request, NPullEventResponse* response);
  int SendKeepAlive();
  void AdvanceSyncId(const NPullEventResponse& response);

  uint64_t m_sync_id = 0;       // syncer thread only
  uint64_t m_last_node_id = 0;  // syncer thread only: last event of the previous batch
};

}  // namespace tide
