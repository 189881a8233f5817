#include "core/task.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>

namespace tide {
namespace {

std::mutex g_next_id_mutex;
uint32_t g_next_id = 0;  // guarded by g_next_id_mutex

// Where sleeping tasks are woken. g_state_changed is signalled by every
// Pause/Resume/Stop and wakes every sleeper; g_work_announced is signalled by
// NotifyWork and wakes one idle worker per announcement (one new event needs
// one worker; waking them all would only make the rest look and sleep
// again). Lock order: g_wake_mutex before a task's m_state_lock: a sleeper
// reads its state under g_wake_mutex, so no signal slips in between its
// check and its wait.
std::mutex g_wake_mutex;
std::condition_variable g_state_changed;
std::condition_variable g_work_announced;
uint64_t g_work_generation = 0;  // guarded by g_wake_mutex
int g_work_waiters = 0;          // guarded by g_wake_mutex

int TakeNextId() {
  std::lock_guard<std::mutex> lock(g_next_id_mutex);
  return static_cast<int>(g_next_id++);
}

}  // namespace

Task::Task(uint32_t context1, uint32_t context2)
    : m_context1(context1), m_context2(context2), m_state(TASK_STOPPED), m_task_id(-1) {}

Task::~Task() { Task::Stop(); }

int Task::Pause() {
  {
    std::lock_guard<std::mutex> lock(m_state_lock);
    m_state = TASK_PAUSED;
  }
  WakeAll();
  return 0;
}

int Task::Resume() {
  {
    std::lock_guard<std::mutex> lock(m_state_lock);
    m_state = TASK_RUNNING;
  }
  WakeAll();
  return 0;
}

int Task::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_state_lock);
    m_state = TASK_STOPPED;
  }
  WakeAll();
  return 0;
}

int Task::GetState() {
  std::lock_guard<std::mutex> lock(m_state_lock);
  return m_state;
}

int Task::Start() {
  std::lock_guard<std::mutex> lock(m_state_lock);
  if (m_task_id >= 0) return -1;
  // Ids come from the new thread itself, in the order threads begin; until
  // it runs, mark the task as having a thread so a second Start() fails.
  m_task_id = INT32_MAX;
  // The task counts as running from here, not from when its thread first
  // gets the processor: a Stop() or Pause() that comes in between must not
  // be overwritten by the thread's start (a lost stop hangs shutdown's join).
  m_state = TASK_RUNNING;
  if (pthread_create(&m_thread, nullptr, &Task::ThreadEntry, this) != 0) {
    m_task_id = -1;
    m_state = TASK_STOPPED;
    return -1;
  }
  return 0;
}

void* Task::ThreadEntry(void* arg) {
  Task* task = static_cast<Task*>(arg);
  {
    std::lock_guard<std::mutex> lock(task->m_state_lock);
    task->m_task_id = TakeNextId();
  }
  task->Run();
  {
    std::lock_guard<std::mutex> lock(task->m_state_lock);
    task->m_state = TASK_STOPPED;
  }
  return nullptr;
}

int Task::Join() {
  if (m_task_id < 0) return -1;
  if (pthread_join(m_thread, nullptr) != 0) return -1;
  std::lock_guard<std::mutex> lock(m_state_lock);
  m_task_id = -1;
  return 0;
}

void Task::WakeAll() {
  std::lock_guard<std::mutex> lock(g_wake_mutex);
  g_state_changed.notify_all();
  g_work_announced.notify_all();
}

void Task::NotifyWork() {
  bool waiting;
  {
    std::lock_guard<std::mutex> lock(g_wake_mutex);
    ++g_work_generation;
    waiting = g_work_waiters > 0;
  }
  if (waiting) g_work_announced.notify_one();
}

uint64_t Task::WorkGeneration() {
  std::lock_guard<std::mutex> lock(g_wake_mutex);
  return g_work_generation;
}

int Task::SleepUntil(unsigned seconds, const uint64_t* seen) {
  if (seconds == 0) return 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::unique_lock<std::mutex> lock(g_wake_mutex);
  std::condition_variable& wake = seen != nullptr ? g_work_announced : g_state_changed;
  int result = 0;
  if (seen != nullptr) ++g_work_waiters;
  for (;;) {
    if (GetState() != TASK_RUNNING) {
      result = -1;
      break;
    }
    if (seen != nullptr && g_work_generation != *seen) {
      result = 1;
      break;
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    // Bounded steps are a safety net for a state change that did not come
    // through Pause/Resume/Stop; every regular change signals.
    auto step = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::seconds(1));
    wake.wait_for(lock, step);
  }
  if (seen != nullptr) --g_work_waiters;
  return result;
}

int Task::Wait(unsigned seconds) { return SleepUntil(seconds, nullptr) < 0 ? -1 : 0; }

int Task::WaitForWork(unsigned seconds, uint64_t seen) { return SleepUntil(seconds, &seen); }

void Task::ResetIdsForTest() {
  std::lock_guard<std::mutex> lock(g_next_id_mutex);
  g_next_id = 0;
}

}  // namespace tide
