// tide-clientd [config]: the appliance-side synchronisation client daemon.
#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"

#include "core/client_config.h"
#include "core/daemon_state.h"
#include "core/logger.h"
#include "core/registry.h"
#include "daemon/control_loop.h"
#include "daemon/registration.h"
#include "daemon/startup.h"
#include "daemon/task_table.h"
#include "db/failure_store.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "detect/watch_interface.h"
#include "event/event.h"
#include "event/event_manager.h"
#include "fs/view_dir.h"
#include "fs/work_dir.h"
#include "platform/volume_path.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"

using namespace tide;

namespace {

constexpr int EXIT_STARTUP_FAILURE = 255;

// Failed uploads whose file went away while the daemon was stopped would
// otherwise be reported for ever: nothing will ever be queued for them
// again. The same goes for the records of views no longer served.
void PruneFailures(FailureStore& failures) {
  std::vector<FailedItem> items;
  if (failures.List(&items) <= 0) return;
  for (const FailedItem& item : items) {
    RegistryEntry entry;
    if (!Registry::Instance().GetByViewId(item.m_view_id, &entry)) {
      failures.Clear(item.m_view_id, item.m_path);
      continue;
    }
    if (item.m_event_type != UPLOAD_LOCAL) continue;
    ViewDir view;
    FileInfo info;
    if (view.Open(entry.m_watch_path) == 0 && view.Stat(item.m_path, &info) == 0 && !info.m_exists) {
      TLOG_DEBUG("forgetting the failed upload of '%s': the file is gone", item.m_path.c_str());
      failures.Clear(item.m_view_id, item.m_path);
    }
  }
}

void Shutdown(TaskTable& tasks) {
  TLOG_INFO("stopping all tasks");
  tasks.StopAndJoinAll();
  TLOG_INFO("main thread down");
  tasks.DestroyAll();
  NativeClientDb::Instance().Close();
  Logger::Close();
  // Last: no task is left that could hold the connection.
  ConnectionPool::Instance().Destroy();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) return EXIT_STARTUP_FAILURE;

  ClientConfig& config = ClientConfig::Instance();
  LoadVolumePath(config);
  // An unreadable or invalid configuration file leaves every default.
  if (argc == 2) config.Load(argv[1]);

  if (BecomeDaemon(config) < 0) return EXIT_STARTUP_FAILURE;
  g_notify_supported = ProbeNotifySupport();

  // Opened before the tasks are built and closed after they are joined:
  // every worker records its failed events here.
  FailureStore failures;
  if (failures.Open(FailureDbPath(config.DbPath())) < 0) {
    TLOG_WARNING("failed events will not be recorded for `tide-clientctl status` and `explain`");
  }
  // The services the syncers and workers are handed; the only place they
  // are looked up by name.
  EngineContext engine{NativeClientDb::Instance(), EventManager::GetInstance(),     Registry::Instance(),
                       ProgressCache::Instance(),  ConnectionPool::Instance(),      config,
                       CurrentVolumeLayout(),      IndexNotifier{config.m_do_index}};
  TaskTable tasks;
  tasks.Build(config.m_worker_count, g_notify_supported, engine, &failures);
  WatchInterface* watch = tasks.Watch();
  // A view whose folder disappears is forgotten the way registration
  // forgets any view.
  watch->SetViewWithdrawnCallback(ForgetView);
  // Every enabled user home and shared folder: registry entry, watch, root
  // row and a first rescan. The tasks were never started, so a failure
  // simply ends the process.
  if (watch == nullptr || RegisterViews(watch, config) < 0) return EXIT_STARTUP_FAILURE;
  PruneFailures(failures);

  config.LogSettings();
  tasks.StartAll();
  TLOG_INFO("main thread starts receiving events");

  ControlLoop(config, watch, tasks).Run();

  Shutdown(tasks);
  return 0;
}
