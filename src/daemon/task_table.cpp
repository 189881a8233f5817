#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "daemon/task_table.h"

#include <string>

#include "core/logger.h"
#include "detect/detector.h"
#include "detect/varn_detector.h"
#include "sync/engine_context.h"
#include "sync/progress_syncer.h"
#include "sync/syncer_native.h"
#include "sync/worker_native.h"

namespace tide {
namespace {

// Local removals wait for the rest of their burst: `rm -r` reports a
// folder's contents before the folder, and once the folder's removal is
// queued it stands for everything below it, so the server sees one
// removal instead of one per file. The wait ends after a second without a
// new removal, and never lasts longer than the second figure.
constexpr int64_t REMOVAL_SETTLE_QUIET_MS = 1000;
constexpr int64_t REMOVAL_SETTLE_MAX_MS = 15000;

}  // namespace

TaskTable::~TaskTable() {
  StopAndJoinAll();
  DestroyAll();
}

uint32_t TaskTable::Build(uint32_t worker_count, bool notify_supported, EngineContext& engine, FailureStore* failures) {
  m_tasks.reserve(worker_count + TASK_FIRST_WORKER);
  engine.m_events.SetRemovalSettle(REMOVAL_SETTLE_QUIET_MS, REMOVAL_SETTLE_MAX_MS);
  if (notify_supported) {
    TLOG_DEBUG("Support Varnotify");
    auto detector = std::make_unique<VARNDetector>(0, 0);
    m_watch = detector.get();
    Add(std::move(detector));
  } else {
    TLOG_DEBUG("Not Support Varnotify");
    auto detector = std::make_unique<Detector>(0, 0);
    m_watch = detector.get();
    Add(std::move(detector));
  }
  Add(std::make_unique<SyncerNative>(0, 0, engine));
  Add(std::make_unique<ProgressSyncer>(0, 0, engine));
  for (uint32_t i = 0; i < worker_count; ++i) {
    auto worker = std::make_unique<WorkerNative>(0, 0, engine);
    // Numbered from 1, as people count them in `top -H`.
    worker->SetThreadName("worker-" + std::to_string(i + 1));
    worker->SetFailureStore(failures);
    Add(std::move(worker));
  }
  return Count();
}

void TaskTable::Add(std::unique_ptr<Task> task) { m_tasks.push_back(std::move(task)); }

void TaskTable::StartAll() {
  m_joined = false;
  for (auto& task : m_tasks) task->Start();
}

void TaskTable::PauseAll() {
  for (auto& task : m_tasks) task->Pause();
}

void TaskTable::ResumeAll() {
  for (auto& task : m_tasks) task->Resume();
}

void TaskTable::StopAndJoinAll() {
  if (m_joined) return;
  for (auto& task : m_tasks) task->Stop();
  for (auto& task : m_tasks) task->Join();
  m_joined = true;
}

void TaskTable::DestroyAll() {
  m_watch = nullptr;
  m_tasks.clear();
  m_tasks.shrink_to_fit();
}

}  // namespace tide
