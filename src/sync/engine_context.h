// What the engine's tasks and handlers work with, handed to them instead of
// being looked up: the local database, the event manager, the registry of
// views, the progress cache, the pool of server connections, the
// configuration and where the volumes keep their files.
//
// The daemon builds one context at start-up from its process-wide services
// and hands it to the syncers and every worker. Tests build a context of
// their own on a scratch folder, so a handler runs on nothing but what its
// test set up: no service has to be reset between tests, and no volume has
// to exist at "/volumeN".
//
// The file primitives below a view (src/fs) keep no state; the layout is
// all they need to know of the machine, and the work folders they hold open
// are kept here.
#pragma once

#include "core/client_config.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "fs/work_dir.h"
#include "sync/index_notify.h"
#include "sync/server_connection.h"

namespace tide {

struct EngineContext {
  NativeClientDb& m_db;
  EventManager& m_events;
  Registry& m_registry;
  ProgressCache& m_progress;
  ConnectionPool& m_pool;
  const ClientConfig& m_config;
  // Volume roots and the daemon's work folder on each volume.
  VolumeLayout m_layout;
  // The notices to the indexing service of what the handlers add and remove.
  IndexNotifier m_index;
  // The work folder of each volume, opened once for all workers.
  WorkDirCache m_work_dirs{};
};

}  // namespace tide
