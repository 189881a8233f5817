// Base of every long-running activity: one POSIX thread and a run state that
// other threads change to pause, resume or stop it.
//
// Run() is the one run loop of every task, and subclasses do not replace
// it: stopped → return; paused → block on the task's own state condition
// until it is resumed or stopped (a paused daemon uses no processor time);
// running → one RunOnce() step, which says what comes next: go on at once,
// or rest for up to N seconds (cut short by a state change, and for steps
// that ask for it by newly announced work). A subclass supplies RunOnce and,
// when it needs them, OnRunStart/OnRunEnd; tests call RunOnce directly to
// step a task on their own thread.
//
// Wait() keeps its short-cut: it returns -1 at once on a task that is not
// running. A step that rests therefore never loops on a paused task: the
// pause is handled once, here, by blocking.
//
// Overrides of Pause/Resume/Stop/SetAbort touch their own flags first and
// then call the base, so the base state alone says what the task should do.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <string>

#include "core/mutex.h"

namespace tide {

enum TaskState {
  TASK_RUNNING = 0,
  TASK_PAUSED = 1,
  TASK_STOPPED = 2,  // stopped, or asked to stop
};

// What one step of a task asks the run loop to do next.
struct TaskStep {
  enum Next {
    GO_ON = 0,   // take the next step at once
    REST = 1,    // rest up to m_seconds, then take the next step
    FINISH = 2,  // leave the run loop: the task has nothing more to do
  };
  Next m_next = GO_ON;
  unsigned m_seconds = 0;
  // When set, the rest also ends as soon as work is announced after
  // m_work_seen was read (see Task::WaitForWork).
  bool m_until_work = false;
  uint64_t m_work_seen = 0;
  // What the step did, in the task's own terms (its pass enum); the loop
  // ignores it, tests and diagnostics read it.
  int m_outcome = 0;

  static TaskStep GoOn(int outcome = 0) { return TaskStep{GO_ON, 0, false, 0, outcome}; }
  static TaskStep Rest(unsigned seconds, int outcome = 0) { return TaskStep{REST, seconds, false, 0, outcome}; }
  static TaskStep RestUntilWork(unsigned seconds, uint64_t seen, int outcome = 0) {
    return TaskStep{REST, seconds, true, seen, outcome};
  }
  static TaskStep Finish(int outcome = 0) { return TaskStep{FINISH, 0, false, 0, outcome}; }
};

class Task {
 public:
  Task(uint32_t context1, uint32_t context2);
  // Performs the base stop request; it does not join the thread: the owner
  // stops and joins every task before destroying it.
  virtual ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  virtual int Hook() { return 0; }
  virtual int Pause();
  virtual int Resume();
  virtual int Stop();
  virtual int SetAbort(bool abort) { return 0; }

  // The thread body: the run loop described above. Not virtual.
  void Run();
  // One unit of work, called by Run only while the task is running. The
  // base has no work and rests.
  virtual TaskStep RunOnce() { return TaskStep::Rest(1); }

  // 0 when the thread was created; -1 when one exists or creation fails.
  int Start();
  // 0 after the thread ended; -1 without a thread or when waiting fails.
  int Join();
  int GetState();
  // Read without the lock; -1 while no thread exists.
  int GetId() const { return m_task_id; }
  // The name the thread carries in the process's thread list (at most 15
  // characters are kept). Set before Start().
  void SetThreadName(const std::string& name);
  // Sleeps up to `seconds`: 0 when the time ran out, -1 as soon as the
  // state is not TASK_RUNNING (a pause or stop wakes the sleeper at once).
  int Wait(unsigned seconds);
  // As Wait, but also returns 1 as soon as work was announced (NotifyWork)
  // after `seen` was read from WorkGeneration(). Reading the generation
  // before looking for work and passing it here means an announcement that
  // comes between the look and the sleep is not missed.
  int WaitForWork(unsigned seconds, uint64_t seen);
  // Blocks while the task is paused, without using the processor, until it
  // is resumed or stopped, or (when `max_seconds` is not negative) that
  // time has passed. The state it ends with.
  int WaitWhilePaused(int max_seconds = -1);

  // Producers of work (the event manager) announce it here; one task
  // sleeping in WaitForWork per announcement wakes and looks again. The
  // timed sleep stays as the fallback, so a missed announcement costs
  // latency, never work.
  static void NotifyWork();
  static uint64_t WorkGeneration();

  // Sets the task id counter back to 0 (tests only).
  static void ResetIdsForTest();

 protected:
  // Run calls these on the task's thread before the first step and after
  // the last one (start-up reads, "start/stop working" log lines).
  virtual void OnRunStart() {}
  virtual void OnRunEnd() {}

  const uint32_t m_context1;
  const uint32_t m_context2;

 private:
  static void* ThreadEntry(void* arg);
  // Sets the state and wakes whoever waits for it: the task's own paused
  // loop and every sleeper in Wait/WaitForWork.
  void SetState(int state);
  // Wakes every sleeper so that a state change is seen at once.
  static void WakeAll();
  int SleepUntil(unsigned seconds, const uint64_t* seen);

  Mutex m_state_lock;  // guards the state, the thread's start and its name
  // Signalled on every state change; a paused task blocks on it.
  std::condition_variable_any m_state_changed;
  int m_state GUARDED_BY(m_state_lock);
  char m_thread_name[16] GUARDED_BY(m_state_lock) = {};
  pthread_t m_thread{};  // written by Start() on the owner's thread
  // Written under m_state_lock by the new thread and by Join(); read
  // without it (as a "has a thread" test and in log lines), hence atomic.
  std::atomic<int> m_task_id;
};

}  // namespace tide
