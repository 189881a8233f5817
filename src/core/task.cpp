#include "core/task.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

namespace tide {
namespace {

Mutex g_next_id_mutex;
uint32_t g_next_id GUARDED_BY(g_next_id_mutex) = 0;

// Where resting tasks are woken. g_state_changed is signalled by every
// Pause/Resume/Stop and wakes every sleeper; g_work_announced is signalled by
// NotifyWork and wakes one idle worker per announcement (one new event needs
// one worker; waking them all would only make the rest look and sleep
// again). Lock order: g_wake_mutex before a task's m_state_lock: a sleeper
// reads its state under g_wake_mutex, so no signal slips in between its
// check and its wait.
Mutex g_wake_mutex;
std::condition_variable_any g_state_changed;
std::condition_variable_any g_work_announced;
uint64_t g_work_generation GUARDED_BY(g_wake_mutex) = 0;
int g_work_waiters GUARDED_BY(g_wake_mutex) = 0;

int TakeNextId() {
  MutexLock lock(&g_next_id_mutex);
  return static_cast<int>(g_next_id++);
}

}  // namespace

Task::Task(uint32_t context1, uint32_t context2)
    : m_context1(context1), m_context2(context2), m_state(TASK_STOPPED), m_task_id(-1) {}

Task::~Task() { Task::Stop(); }

void Task::SetState(int state) {
  {
    MutexLock lock(&m_state_lock);
    m_state = state;
  }
  m_state_changed.notify_all();
  WakeAll();
}

int Task::Pause() {
  SetState(TASK_PAUSED);
  return 0;
}

int Task::Resume() {
  SetState(TASK_RUNNING);
  return 0;
}

int Task::Stop() {
  SetState(TASK_STOPPED);
  return 0;
}

int Task::GetState() {
  MutexLock lock(&m_state_lock);
  return m_state;
}

void Task::SetThreadName(const std::string& name) {
  MutexLock lock(&m_state_lock);
  // The kernel keeps 15 characters and the terminating zero.
  size_t length = std::min(name.size(), sizeof(m_thread_name) - 1);
  memcpy(m_thread_name, name.data(), length);
  m_thread_name[length] = '\0';
}

int Task::Start() {
  MutexLock lock(&m_state_lock);
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
    MutexLock lock(&task->m_state_lock);
    task->m_task_id = TakeNextId();
    // Named from the thread itself, so that `top -H` and `ps -L` tell the
    // tasks apart from its first instruction on.
    if (task->m_thread_name[0] != '\0') pthread_setname_np(pthread_self(), task->m_thread_name);
  }
  task->Run();
  task->SetState(TASK_STOPPED);
  return nullptr;
}

void Task::Run() {
  OnRunStart();
  for (;;) {
    // A paused task blocks here until it is resumed or stopped: nothing
    // polls, so a long pause costs no processor time at all.
    if (WaitWhilePaused() == TASK_STOPPED) break;
    TaskStep step = RunOnce();
    if (step.m_next == TaskStep::FINISH) break;
    if (step.m_next == TaskStep::REST) {
      // Either wait returns at once when the state changed meanwhile; the
      // next pass then sees the pause or stop.
      if (step.m_until_work) {
        WaitForWork(step.m_seconds, step.m_work_seen);
      } else {
        Wait(step.m_seconds);
      }
    }
  }
  OnRunEnd();
}

int Task::WaitWhilePaused(int max_seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(max_seconds, 0));
  MutexLock lock(&m_state_lock);
  while (m_state == TASK_PAUSED) {
    if (max_seconds < 0) {
      m_state_changed.wait(m_state_lock);
    } else if (m_state_changed.wait_until(m_state_lock, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  return m_state;
}

int Task::Join() {
  if (m_task_id < 0) return -1;
  if (pthread_join(m_thread, nullptr) != 0) return -1;
  MutexLock lock(&m_state_lock);
  m_task_id = -1;
  return 0;
}

void Task::WakeAll() {
  MutexLock lock(&g_wake_mutex);
  g_state_changed.notify_all();
  g_work_announced.notify_all();
}

void Task::NotifyWork() {
  bool waiting;
  {
    MutexLock lock(&g_wake_mutex);
    ++g_work_generation;
    waiting = g_work_waiters > 0;
  }
  if (waiting) g_work_announced.notify_one();
}

uint64_t Task::WorkGeneration() {
  MutexLock lock(&g_wake_mutex);
  return g_work_generation;
}

int Task::SleepUntil(unsigned seconds, const uint64_t* seen) {
  if (seconds == 0) return 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  MutexLock lock(&g_wake_mutex);
  std::condition_variable_any& wake = seen != nullptr ? g_work_announced : g_state_changed;
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
    wake.wait_for(g_wake_mutex, step);
  }
  if (seen != nullptr) --g_work_waiters;
  return result;
}

int Task::Wait(unsigned seconds) { return SleepUntil(seconds, nullptr) < 0 ? -1 : 0; }

int Task::WaitForWork(unsigned seconds, uint64_t seen) { return SleepUntil(seconds, &seen); }

void Task::ResetIdsForTest() {
  MutexLock lock(&g_next_id_mutex);
  g_next_id = 0;
}

}  // namespace tide
