#include "sync/work_item.h"

#include "sync/worker_native.h"

namespace tide {

WorkItem WorkItemOf(WorkerNative& worker) {
  WorkItem item;
  item.m_task_id = worker.GetId();
  item.m_event = worker.CurrentEvent();
  item.m_entry = worker.Entry();
  item.m_record = worker.Record();
  item.m_other_case = worker.OtherCase();
  item.m_local_path = worker.LocalPath();
  item.m_tmp_dir = worker.TempDir();
  item.m_freeze_seen = worker.FreezeStateSeen();
  item.m_abort = worker.AbortFlag();
  return item;
}

}  // namespace tide
