// The daemon's task table, in its fixed order: 0 the change detector, 1 the
// server event syncer, 2 the progress syncer, 3 and up one worker each.
// Built, started, stopped, joined and destroyed by the main thread only; the
// control loop pauses and resumes through it on the same thread.
#pragma once

#include <cstdint>
#include <vector>

#include "core/task.h"

namespace tide {

constexpr uint32_t TASK_DETECTOR = 0;
constexpr uint32_t TASK_SYNCER = 1;
constexpr uint32_t TASK_PROGRESS_SYNCER = 2;
constexpr uint32_t TASK_FIRST_WORKER = 3;

class TaskTable {
 public:
  static TaskTable& Instance();

  // Creates the detector (notify-based when `notify_supported`), the two
  // syncers and `worker_count` workers. Returns the table's size.
  uint32_t Build(uint32_t worker_count, bool notify_supported);
  void StartAll();
  void PauseAll();
  void ResumeAll();
  // Every task is asked to stop before the first join blocks.
  void StopAndJoinAll();
  void DestroyAll();

  uint32_t Count() const { return static_cast<uint32_t>(m_tasks.size()); }
  Task* At(uint32_t index) const { return index < m_tasks.size() ? m_tasks[index] : nullptr; }

 private:
  TaskTable() = default;
  std::vector<Task*> m_tasks;  // main thread only
};

}  // namespace tide
