// The daemon's task table, in its fixed order: 0 the change detector, 1 the
// server event syncer, 2 the progress syncer, 3 and up one worker each.
// Owned by main; built, started, stopped, joined and destroyed on the main
// thread only. The control loop pauses and resumes through it on the same
// thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/task.h"

namespace tide {

class FailureStore;
class WatchInterface;
struct EngineContext;

constexpr uint32_t TASK_DETECTOR = 0;
constexpr uint32_t TASK_SYNCER = 1;
constexpr uint32_t TASK_PROGRESS_SYNCER = 2;
constexpr uint32_t TASK_FIRST_WORKER = 3;

class TaskTable {
 public:
  TaskTable() = default;
  // Stops and joins whatever still runs before the tasks are freed.
  ~TaskTable();
  TaskTable(const TaskTable&) = delete;
  TaskTable& operator=(const TaskTable&) = delete;

  // Creates the detector (notify-based when `notify_supported`), the two
  // syncers and `worker_count` workers, which work with `engine` and record
  // their failed events in `failures` (none: not recorded). Returns the
  // table's size.
  uint32_t Build(uint32_t worker_count, bool notify_supported, EngineContext& engine, FailureStore* failures = nullptr);
  // Appends a task at the next index (Build uses it; tests build tables of
  // their own tasks).
  void Add(std::unique_ptr<Task> task);
  void StartAll();
  void PauseAll();
  void ResumeAll();
  // Every task is asked to stop before the first join blocks.
  void StopAndJoinAll();
  void DestroyAll();

  uint32_t Count() const { return static_cast<uint32_t>(m_tasks.size()); }
  Task* At(uint32_t index) const { return index < m_tasks.size() ? m_tasks[index].get() : nullptr; }
  // The detector's watch side (task 0), kept typed when it is built.
  WatchInterface* Watch() const { return m_watch; }

 private:
  std::vector<std::unique_ptr<Task>> m_tasks;  // main thread only
  WatchInterface* m_watch = nullptr;           // main thread only; task 0
  bool m_joined = true;                        // main thread only
};

}  // namespace tide
