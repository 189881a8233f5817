// Base of every long-running activity: one POSIX thread and a run state that
// other threads change to pause, resume or stop it.
//
// Run-loop contract for subclasses' Run(): at the top of every pass read
// GetState(); TASK_STOPPED → return; TASK_PAUSED → sleep about a second and
// start over; TASK_RUNNING → do one unit of work, waiting through Wait() so
// that a pause or stop request cuts the wait short.
//
// Overrides of Pause/Resume/Stop/SetAbort touch their own flags first and
// then call the base, so the base state alone says what the task should do.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tide {

enum TaskState {
  TASK_RUNNING = 0,
  TASK_PAUSED = 1,
  TASK_STOPPED = 2,  // stopped, or asked to stop
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
  virtual void Run() {}

  // 0 when the thread was created; -1 when one exists or creation fails.
  int Start();
  // 0 after the thread ended; -1 without a thread or when waiting fails.
  int Join();
  int GetState();
  // Read without the lock; -1 while no thread exists.
  int GetId() const { return m_task_id; }
  // Sleeps up to `seconds`: 0 when the time ran out, -1 as soon as the
  // state is not TASK_RUNNING (a pause or stop wakes the sleeper at once).
  int Wait(unsigned seconds);
  // As Wait, but also returns 1 as soon as work was announced (NotifyWork)
  // after `seen` was read from WorkGeneration(). Reading the generation
  // before looking for work and passing it here means an announcement that
  // comes between the look and the sleep is not missed.
  int WaitForWork(unsigned seconds, uint64_t seen);

  // Producers of work (the event manager) announce it here; one task
  // sleeping in WaitForWork per announcement wakes and looks again. The
  // timed sleep stays as the fallback, so a missed announcement costs
  // latency, never work.
  static void NotifyWork();
  static uint64_t WorkGeneration();

  // Sets the task id counter back to 0 (tests only).
  static void ResetIdsForTest();

 protected:
  const uint32_t m_context1;
  const uint32_t m_context2;

 private:
  static void* ThreadEntry(void* arg);
  // Wakes every sleeper so that a state change is seen at once.
  static void WakeAll();
  int SleepUntil(unsigned seconds, const uint64_t* seen);

  std::mutex m_state_lock;   // guards m_state and the start of the thread
  int m_state;               // guarded by m_state_lock
  pthread_t m_thread{};      // written by Start() on the owner's thread
  // Written under m_state_lock by the new thread and by Join(); read
  // without it (as a "has a thread" test and in log lines), hence atomic.
  std::atomic<int> m_task_id;
};

}  // namespace tide
