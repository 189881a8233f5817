// What the removal, expansion and rescan handlers work on: a copy of the
// worker's prepared state (event, registry entry, node record, paths, abort
// flag). The handlers are written against this record rather than the
// worker itself, so tests can hand them any state without running a worker
// through its preparation.
#pragma once

#include <atomic>
#include <string>

#include "core/registry.h"
#include "db/node_record.h"
#include "event/event.h"

namespace tide {

class WorkerNative;

struct WorkItem {
  int m_task_id = -1;
  Event m_event;
  RegistryEntry m_entry;
  NodeRecord m_record;           // all zero when the database has no row
  std::string m_local_path;      // watch path followed by the event's path
  std::string m_tmp_dir;         // the daemon's work folder on the view's volume
  const std::atomic<int>* m_abort = nullptr;  // the worker's abort flag
};

// A copy of the worker's prepared state.
WorkItem WorkItemOf(WorkerNative& worker);

// True when the abort flag is given and set.
inline bool IsAborted(const std::atomic<int>* abort_flag) {
  return abort_flag && abort_flag->load(std::memory_order_relaxed) != 0;
}

}  // namespace tide
