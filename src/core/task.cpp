#include "core/task.h"

#include <unistd.h>

#include <climits>

namespace tide {
namespace {

std::mutex g_next_id_mutex;
uint32_t g_next_id = 0;  // guarded by g_next_id_mutex

int TakeNextId() {
  std::lock_guard<std::mutex> lock(g_next_id_mutex);
  return static_cast<int>(g_next_id++);
}

}  // namespace

Task::Task(uint32_t context1, uint32_t context2)
    : m_context1(context1), m_context2(context2), m_state(TASK_STOPPED), m_task_id(-1) {}

Task::~Task() { Task::Stop(); }

int Task::Pause() {
  std::lock_guard<std::mutex> lock(m_state_lock);
  m_state = TASK_PAUSED;
  return 0;
}

int Task::Resume() {
  std::lock_guard<std::mutex> lock(m_state_lock);
  m_state = TASK_RUNNING;
  return 0;
}

int Task::Stop() {
  std::lock_guard<std::mutex> lock(m_state_lock);
  m_state = TASK_STOPPED;
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

int Task::Wait(unsigned seconds) {
  unsigned steps = seconds * 10;
  if (steps == 0) return 0;
  for (unsigned i = 0; i < steps; ++i) {
    if (GetState() != TASK_RUNNING) return -1;
    usleep(100 * 1000);
  }
  return 0;
}

void Task::ResetIdsForTest() {
  std::lock_guard<std::mutex> lock(g_next_id_mutex);
  g_next_id = 0;
}

}  // namespace tide
