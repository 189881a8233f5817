// Expansion and rescan handlers.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/rescan.h"

#include "core/logger.h"
#include "event/file_list.h"
#include "sync/engine_context.h"
#include "sync/file_list_builders.h"
#include "sync/local_list.h"
#include "sync/rescan_compare.h"
#include "sync/view_access.h"
#include "sync/worker_handlers.h"

namespace tide {

namespace {

// True when `path` (prefix + list path) lies inside one of the `dirs`
// (list paths).
bool IsBelowAny(const std::string& path, const std::string& prefix, const std::vector<std::string>& dirs) {
  for (const std::string& dir : dirs) {
    std::string inside = prefix + dir + "/";
    if (path.compare(0, inside.size(), inside) == 0) return true;
  }
  return false;
}

// A download with this sync id asks for the server's current version
// whatever the local record says.
constexpr uint64_t FORCED_DOWNLOAD_SYNC_ID = 0x7FFFFFFFFFFFFFFFULL;

// True when the directory of a subdirectory rescan is no longer a directory
// on the disk while the view's own folder is there: removed, or replaced by
// a file or a link moved into its place. Then its contents are gone indeed,
// unlike a view whose volume is missing or a directory that cannot be read.
bool IsGoneFromIntactView(const WorkItem& item, const ViewDir& view) {
  if (item.m_event.m_path == "/" || !view.IsOpen()) return false;
  FileInfo info;
  int looked = view.Stat(item.m_event.m_path, &info);
  // A link on the way to it says nothing about what it holds.
  return looked == 0 && (!info.m_exists || info.m_type != FILE_TYPE_DIRECTORY);
}

}  // namespace

int ExpandDirectoryItem(const WorkItem& item, EngineContext& engine) {
  TLOG_INFO("Worker (%d): expanding directory '%s'", item.m_task_id, item.m_local_path.c_str());
  ViewDir view;
  if (OpenItemView(item, &view) < 0) return 0;
  ExpandTree(engine.m_events, view, item.m_event.m_path, item.m_event.m_view_id, item.m_abort);
  return 0;
}

int RescanDirectoryItem(const WorkItem& item, EngineContext& engine, bool merge) {
  const Event& event = item.m_event;
  TLOG_INFO("Worker (%d): rescaning directory '%s'", item.m_task_id, item.m_local_path.c_str());
  // A directory that is missing or cannot be read says nothing about what
  // it holds: comparing it would delete on the server (sync mode) or
  // overwrite (merge mode) what may well still be there.
  ViewDir view;
  FileList on_disk;
  std::vector<std::string> unreadable;
  bool gone = false;
  int listed = OpenItemView(item, &view) < 0
                   ? -1
                   : BuildLocalFileList(view, event.m_path, &on_disk, item.m_abort, item.m_task_id, &unreadable);
  if (listed < 0) {
    if (IsAborted(item.m_abort)) return 0;
    if (!IsGoneFromIntactView(item, view)) {
      TLOG_WARNING("Worker (%d): rescan of '%s' skipped: the directory cannot be read", item.m_task_id,
                   item.m_local_path.c_str());
      return 0;
    }
    // Truly gone (or a link itself now, which is not synchronised):
    // everything the database knows below it is compared with nothing.
    gone = true;
  }
  FileList indexed;
  BuildFileList(engine.m_db, event.m_view_id, event.m_path, &indexed);
  std::string prefix = ListPrefix(event.m_path);
  CompareFileLists(on_disk, indexed, prefix, merge, event.m_view_id, item.m_abort, [&](const Event& reconcile) {
    if (reconcile.m_type != UPLOAD_LOCAL && IsBelowAny(reconcile.m_path, prefix, unreadable)) return;
    engine.m_events.PushEvent(reconcile);
  });
  if (gone) {
    // Such a rescan follows a removal the server refused because it holds
    // something newer below the directory: the server's content wins, so
    // the directory comes back from it (whatever now stands at its path is
    // kept under a conflict name); what it holds that the database does
    // not know yet arrives with the server's changes. Without this the
    // directory stays on the server and in the database but never returns
    // to the disk.
    Event self;
    self.m_type = DOWNLOAD_REMOTE;
    self.m_path = event.m_path;
    self.m_view_id = event.m_view_id;
    self.m_sync_id = FORCED_DOWNLOAD_SYNC_ID;
    self.m_flags = EVENT_FLAG_DIR | EVENT_FLAG_RESERVED8;
    engine.m_events.PushEvent(self);
    TLOG_INFO("Worker (%d): '%s' is gone from the disk but kept on the server: fetching it again", item.m_task_id,
              event.m_path.c_str());
  }
  return 0;
}

HandlerOutcome ExpandDirectory(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(ExpandDirectoryItem(item, engine));
}

HandlerOutcome RescanMerge(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(RescanDirectoryItem(item, engine, true));
}

HandlerOutcome RescanSync(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(RescanDirectoryItem(item, engine, false));
}

}  // namespace tide
