#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/view_access.h"

#include <sys/stat.h>

#include "core/logger.h"
#include "fs/work_dir.h"

namespace tide {

int OpenItemView(const WorkItem& item, ViewDir* view) {
  if (view->Open(item.m_entry.m_watch_path) < 0) {
    TLOG_ERROR("Worker (%d): cannot open the folder of view %llu", item.m_task_id,
               static_cast<unsigned long long>(item.m_entry.m_view_id));
    return -1;
  }
  return 0;
}

int OpenItemWorkDir(const WorkItem& item, EngineContext& engine, ViewDir* work) {
  return engine.m_work_dirs.Open(item.m_tmp_dir, work);
}

int FinishRefusedItem(const WorkItem& item, const char* action) {
  TLOG_WARNING("Worker (%d): not %s '%s' (view %llu): a symbolic link stands in its path", item.m_task_id, action,
               item.m_local_path.c_str(), static_cast<unsigned long long>(item.m_event.m_view_id));
  return 0;
}

NewOwner OwnerForServerVersion(const ViewDir& view, uint32_t uid, uint32_t gid) {
  NewOwner owner;
  if (uid != 0 && uid != UINT32_MAX) {
    owner.m_uid = uid;
    owner.m_gid = gid;
    return owner;
  }
  struct stat st;
  if (fstat(view.Fd(), &st) == 0) {
    owner.m_uid = st.st_uid;
    owner.m_gid = st.st_gid;
  }
  return owner;
}

}  // namespace tide
