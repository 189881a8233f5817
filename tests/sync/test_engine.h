// A fresh engine for one test: a database, event manager, registry,
// progress cache, connection pool and configuration of its own, with the
// volumes in a scratch folder ("<scratch>/volume1", ...) instead of at
// "/volumeN". Nothing is shared with other tests or with the process-wide
// services, so nothing has to be reset, and no mount or root is needed.
#pragma once

#include <string>

#include "core/client_config.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"

namespace tide::test {

class TestEngine {
 public:
  // `scratch` holds the volumes; the pool's socket is "<scratch>/sfsock"
  // until a test points it elsewhere.
  explicit TestEngine(const std::string& scratch)
      : m_registry(scratch + "/volume"),
        m_context{m_db, m_events, m_registry, m_progress, m_pool, m_config, VolumeLayout{scratch + "/volume"}, {}} {
    m_pool.SetSocketPath(scratch + "/sfsock");
    m_pool.Initialize(1);
    m_config.m_volume_path = scratch + "/volume1";
  }
  ~TestEngine() { m_pool.Destroy(); }
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  EngineContext& Context() { return m_context; }
  // The root of volume `n`.
  std::string Volume(int n = 1) const { return m_context.m_layout.VolumeRoot(n); }

  NativeClientDb m_db;
  EventManager m_events;
  Registry m_registry;
  ProgressCache m_progress;
  ConnectionPool m_pool;
  ClientConfig m_config;

 private:
  EngineContext m_context;
};

}  // namespace tide::test
