#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "core/task_table.h"

#include "core/logger.h"
#include "detect/detector.h"
#include "sync/progress_syncer.h"
#include "sync/syncer_native.h"
#include "sync/worker_native.h"

namespace tide {

TaskTable& TaskTable::Instance() {
  static TaskTable table;
  return table;
}

uint32_t TaskTable::Build(uint32_t worker_count, bool notify_supported) {
  m_tasks.reserve(worker_count + TASK_FIRST_WORKER);
  if (notify_supported) {
    // The volume-wide notification detector only exists on the appliance's
    // kernel; the probe never reports it supported elsewhere.
    TLOG_DEBUG("Support Varnotify");
  } else {
    TLOG_DEBUG("Not Support Varnotify");
  }
  m_tasks.push_back(new Detector(0, 0));
  m_tasks.push_back(new SyncerNative(0, 0));
  m_tasks.push_back(new ProgressSyncer(0, 0));
  for (uint32_t i = 0; i < worker_count; ++i) m_tasks.push_back(new WorkerNative(0, 0));
  return Count();
}

void TaskTable::StartAll() {
  for (Task* task : m_tasks) task->Start();
}

void TaskTable::PauseAll() {
  for (Task* task : m_tasks) task->Pause();
}

void TaskTable::ResumeAll() {
  for (Task* task : m_tasks) task->Resume();
}

void TaskTable::StopAndJoinAll() {
  for (Task* task : m_tasks) task->Stop();
  for (Task* task : m_tasks) task->Join();
}

void TaskTable::DestroyAll() {
  for (Task* task : m_tasks) delete task;
  m_tasks.clear();
  m_tasks.shrink_to_fit();
}

}  // namespace tide
