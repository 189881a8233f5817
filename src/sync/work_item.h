// What a handler works on: a copy of the worker's prepared state (event,
// registry entry, node record, paths, freeze state, abort flag). The
// handlers are written against this record rather than the worker itself,
// so tests can hand them any state without running a worker through its
// preparation.
#pragma once

#include <atomic>
#include <string>

#include "core/freeze_file.h"
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
  // Whether the database holds a row of the same path in another case, as
  // the worker's look-up found it; UNKNOWN makes a handler look itself.
  enum class OtherCase { UNKNOWN, NONE, EXISTS };
  OtherCase m_other_case = OtherCase::UNKNOWN;
  std::string m_local_path;      // watch path followed by the event's path
  std::string m_tmp_dir;         // the daemon's work folder on the view's volume
  // The freeze file as the worker found it before the handler ran: a full
  // disk met later freezes the view only if nobody lifted a freeze since.
  FreezeFileState m_freeze_seen;
  const std::atomic<int>* m_abort = nullptr;  // the worker's abort flag
};

// A copy of the worker's prepared state.
WorkItem WorkItemOf(WorkerNative& worker);

// True when the abort flag is given and set.
inline bool IsAborted(const std::atomic<int>* abort_flag) {
  return abort_flag && abort_flag->load(std::memory_order_relaxed) != 0;
}

}  // namespace tide
