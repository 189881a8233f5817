// The engine context over the process-wide services, as the daemon builds
// it at start-up, for the benchmarks that drive handlers and workers.
#pragma once

#include "core/client_config.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"

namespace tide::bench {

inline EngineContext& ProcessEngine() {
  static EngineContext engine{
      NativeClientDb::Instance(), EventManager::GetInstance(), Registry::Instance(), ProgressCache::Instance(),
      ConnectionPool::Instance(), ClientConfig::Instance(),    VolumeLayout{},       IndexNotifier{}};
  return engine;
}

}  // namespace tide::bench
