// Removal handlers: server deletions applied to the disk, local deletions
// sent to the server, and the expansions of directory deletions that met
// pending changes below them.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/removal.h"

#include "core/logger.h"
#include "event/file_list.h"
#include "fs/conflict_rename.h"
#include "sync/engine_context.h"
#include "sync/file_list_builders.h"
#include "sync/index_notify.h"
#include "sync/local_list.h"
#include "sync/removal_decision.h"
#include "sync/rescan_compare.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/view_access.h"
#include "sync/worker_handlers.h"

namespace tide {

namespace {

using ull = unsigned long long;

const LogModule WORKER_MODULE = {"worker", "worker_debug"};

// Only regular files and directories are synchronised.
bool IsSynchronisedKind(int type) { return type == FILE_TYPE_REGULAR || type == FILE_TYPE_DIRECTORY; }

int DeleteRow(const WorkItem& item, NativeClientDb& db) {
  const Event& event = item.m_event;
  if (event.m_node_id != 0) return db.DeleteNodeById(event.m_node_id);
  return db.DeleteNodeByPath(event.m_view_id, event.m_path);
}

// The directory's children in the database, as a list of bare names.
void IndexedChildren(const WorkItem& item, NativeClientDb& db, bool up_to_sync_id, FileList* list) {
  const Event& event = item.m_event;
  if (up_to_sync_id) {
    BuildFileListOneLevelUpTo(db, event.m_view_id, event.m_path, event.m_sync_id, list);
  } else {
    BuildFileListOneLevel(db, event.m_view_id, event.m_path, list);
  }
}

// True when the server changed the object, or anything recorded below it,
// after it made this removal: the removal is older than what we hold (the
// server removed the path and later made it anew, and a replayed or
// retried removal arrives after the new version), so carrying it out would
// delete content the server still has.
bool IsStaleServerRemoval(const WorkItem& item, NativeClientDb& db) {
  const Event& event = item.m_event;
  const NodeRecord& record = item.m_record;
  if (event.m_sync_id == 0 || record.m_node_id == 0) return false;
  if (record.m_sync_id > event.m_sync_id) return true;
  if ((record.m_attribute & NODE_ATTRIBUTE_DIR) == 0) return false;
  uint64_t newest = 0;
  return db.GetMaxSyncIdBelow(event.m_view_id, event.m_path, &newest) == 0 && newest > event.m_sync_id;
}

}  // namespace

int RemoveLocalItem(const WorkItem& item, EngineContext& engine) {
  NativeClientDb& db = engine.m_db;
  const Event& event = item.m_event;
  const std::string& local_path = item.m_local_path;
  TLOG_INFO("Worker (%d): removing '%s'", item.m_task_id, local_path.c_str());
  // The path came from the server: it must not climb out of the view.
  // Trying again would not make it safe.
  if (event.m_path == "/" || !IsSafeServerPath(event.m_path)) {
    TLOG_ERROR("RemoveLocal: refusing to remove '%s' (view %llu): unsafe path", event.m_path.c_str(),
               static_cast<ull>(event.m_view_id));
    return 0;
  }
  ViewDir view;
  if (OpenItemView(item, &view) < 0) return -1;
  const std::string& relative = event.m_path;
  FileInfo info;
  int looked = view.Stat(relative, &info);
  if (looked == FS_LINK_REFUSED) return FinishRefusedItem(item, "removing");
  if (looked < 0) {
    TLOG_INFO("RemoveLocal: '%s' can not be removed.", local_path.c_str());
    return -1;
  }
  bool is_dir = event.IsDir();
  if (!info.m_exists) {
    TLOG_INFO("RemoveLocal: '%s' has already been removed.", local_path.c_str());
    if (db.DeleteNodeByPath(event.m_view_id, event.m_path) < 0) {
      TLOG_ERROR("RemoveLocal: Failed update database record for '%s'", local_path.c_str());
      return -1;
    }
  } else if (IsStaleServerRemoval(item, db)) {
    // Only what the server removed goes: the rows below that are no newer
    // than the removal, each as a removal of its own. The object itself
    // stays with its newer version.
    TLOG_INFO("RemoveLocal: '%s' changed on the server after this removal (sync id %llu), kept",
              local_path.c_str(), static_cast<ull>(event.m_sync_id));
    if (info.m_type == FILE_TYPE_DIRECTORY) return ExpandServerDeleteItem(item, engine);
    return 0;
  } else {
    is_dir = info.m_type == FILE_TYPE_DIRECTORY;
    RemovalDecision decision = DecideRemoval(item.m_record, info, local_path);
    // A directory goes whole, so everything inside it must be unchanged too.
    if (decision == REMOVAL_DELETE && is_dir) {
      if (LocalSubtreeChanged(db, view, relative, event.m_view_id, item.m_abort, item.m_task_id)) {
        if (IsAborted(item.m_abort)) return -1;
        decision = REMOVAL_KEEP;
      } else if (IsStaleServerRemoval(item, db)) {
        // An upload below finished while the tree was compared: its file
        // now matches its row, and the server took it after this removal.
        TLOG_INFO("RemoveLocal: '%s' changed on the server after this removal (sync id %llu), kept",
                  local_path.c_str(), static_cast<ull>(event.m_sync_id));
        return ExpandServerDeleteItem(item, engine);
      }
    }
    int removed = 0;
    if (decision == REMOVAL_KEEP) {
      removed = ConflictRename(view, relative, "ADMIN", "Conflict");
      if (removed < 0 && removed != FS_LINK_REFUSED) {
        TLOG_ERROR("failed to do conflict rename on '%s'", local_path.c_str());
        return -1;
      }
    } else if (is_dir) {
      ViewDir work;
      if (OpenItemWorkDir(item, engine, &work) < 0) return -1;
      removed = view.RemoveDirectory(relative, work, item.m_abort);
      if (removed < 0 && removed != FS_LINK_REFUSED) {
        TLOG_ERROR("RemoveLocal: Failed to remove directory '%s'.", local_path.c_str());
        return -1;
      }
    } else {
      removed = view.RemoveFile(relative);
      if (removed < 0 && removed != FS_LINK_REFUSED) {
        TLOG_ERROR("RemoveLocal: Failed to remove file '%s'.", local_path.c_str());
        return -1;
      }
    }
    if (removed == FS_LINK_REFUSED) return FinishRefusedItem(item, "removing");
    if (DeleteRow(item, db) < 0) {
      TLOG_ERROR("RemoveLocal: Failed update database record for '%s'", local_path.c_str());
      return -1;
    }
  }
  engine.m_index.Notify(is_dir ? INDEX_DIRECTORY_REMOVED : INDEX_FILE_REMOVED, local_path);
  TLOG_DEBUG("%s is now removed", local_path.c_str());
  return 0;
}

int PrepareRemoveRequest(const WorkItem& item, NativeClientDb& db, NRemoveRequest* request) {
  const Event& event = item.m_event;
  request->m_sync_id = item.m_record.m_sync_id;
  request->m_path = event.m_path;
  request->m_view_id = event.m_view_id;
  request->m_worker_num = item.m_task_id;
  if ((item.m_record.m_attribute & NODE_ATTRIBUTE_DIR) != 0) {
    // Whatever was uploaded below the directory after it was made carries a
    // newer sync id; offering only the directory's own would have every
    // deletion of a filled directory refused as modified.
    uint64_t newest = 0;
    if (db.GetMaxSyncIdBelow(event.m_view_id, event.m_path, &newest) < 0) return -1;
    if (newest > request->m_sync_id) request->m_sync_id = newest;
  }
  return 0;
}

int ProcessRemoveResponse(const WorkItem& item, EventManager& events, const NRemoveResponse& response) {
  const Event& event = item.m_event;
  switch (response.m_error_code) {
    case 0:
    case REMOVE_ALREADY_GONE:
      return 0;
    case REMOVE_MODIFIED:
      TLOG_INFO("ProcessRemoveResponse: Object '%s' on the server is modified, abort anyway", event.m_path.c_str());
      if (event.IsDir()) {
        events.PushRescanEvent(event.m_view_id, event.m_path, false);
        TLOG_INFO("ProcessRemoveResponse: rescan directory '%s'", event.m_path.c_str());
      }
      return 0;
    default:
      return -1;
  }
}

int RemoveRemoteItem(const WorkItem& item, EngineContext& engine, const RemoveExchange& exchange) {
  const Event& event = item.m_event;
  TLOG_INFO("Worker (%d): removing '%s' (view: %llu) at remote side", item.m_task_id, event.m_path.c_str(),
            static_cast<ull>(event.m_view_id));
  ViewDir view;
  if (OpenItemView(item, &view) < 0) return -1;
  FileInfo info;
  int looked = view.Stat(event.m_path, &info);
  // A link on the way says nothing about what is there: leave the server
  // alone. A link (or device, FIFO, socket) at the path itself is not
  // synchronised: what the server holds there is gone from the disk's
  // point of view.
  if (looked == FS_LINK_REFUSED) return FinishRefusedItem(item, "removing on the server");
  if (looked < 0) {
    TLOG_ERROR("RemoveRemote: Failed at GetFilesystemInfo");
    return -1;
  }
  if (info.m_exists && info.m_type != FILE_TYPE_REGULAR && info.m_type != FILE_TYPE_DIRECTORY) {
    info.m_exists = false;
  }
  if (item.m_record.m_node_id == 0) {
    TLOG_INFO("remove fake event on '%s' (no record)", event.m_path.c_str());
    return 0;
  }
  // A link or special file in the old one's place is never synchronised:
  // the server copy still goes.
  if (info.m_exists && IsSynchronisedKind(info.m_type)) {
    TLOG_INFO("remove fake event on '%s' (exist)", event.m_path.c_str());
    // A folder made again (a download under it while it was being removed)
    // stands for itself only: the removals of what was inside it were
    // folded into this one, so compare its contents with the records.
    if (event.IsDir() && info.m_type == FILE_TYPE_DIRECTORY) {
      engine.m_events.PushRescanEvent(event.m_view_id, event.m_path, false);
      TLOG_INFO("RemoveRemote: '%s' exists again: rescan it", event.m_path.c_str());
    }
    return 0;
  }
  NRemoveRequest request;
  NRemoveResponse response;
  if (PrepareRemoveRequest(item, engine.m_db, &request) < 0) {
    TLOG_ERROR("RemoveRemote: PrepareRemoveRequest");
    return -1;
  }
  int exchanged = exchange(&request, &response);
  if (exchanged == EXCHANGE_CALLED_OFF) return -1;
  if (exchanged < 0) {
    TLOG_ERROR("RemoveRemote: RunRemoveProtocol");
    return -1;
  }
  if (ProcessRemoveResponse(item, engine.m_events, response) < 0) {
    TLOG_ERROR("RemoveRemote: fail to process response (%u)", response.m_error_code);
    return -1;
  }
  if (response.m_error_code == REMOVE_MODIFIED && event.IsDir()) {
    TLOG_INFO("RemoveRemote: REMOVE_MODIFIED we need to rescan '%s' and done this event.", event.m_path.c_str());
    return 0;
  }
  if (engine.m_db.DeleteNodeByPath(event.m_view_id, event.m_path) < 0) {
    TLOG_ERROR("RemoveRemote: fail to update database for '%s'", event.m_path.c_str());
    return -1;
  }
  return 0;
}

int ExpandLocalDeleteItem(const WorkItem& item, EngineContext& engine) {
  const Event& event = item.m_event;
  FileList on_disk;
  ViewDir view;
  // A vanished directory (or one behind a link) has no children.
  if (OpenItemView(item, &view) == 0) BuildLocalFileListOneLevel(view, event.m_path, &on_disk);
  FileList indexed;
  IndexedChildren(item, engine.m_db, false, &indexed);
  std::string prefix = ListPrefix(event.m_path);
  auto disk = on_disk.begin();
  auto index = indexed.begin();
  const auto end = on_disk.end();
  while (index != end) {
    int order = disk == end ? 1 : FileListOrder(disk->m_path, index->m_path);
    if (order == 0) {
      // The removal of the directory stood for everything below it. A
      // subfolder that is there again (made by a download beneath it, say)
      // may still lack what was removed inside it: compare its subtree.
      if (!index->m_path.empty() && disk->m_kind == FILE_LIST_DIR && index->m_kind == FILE_LIST_DIR) {
        TLOG_INFO("ExpandLocalDeleteEvent: rescan '%s%s'.", prefix.c_str(), index->m_path.c_str());
        engine.m_events.PushRescanEvent(event.m_view_id, prefix + index->m_path, false);
      }
      ++disk;
      ++index;
    } else if (order < 0) {
      ++disk;
    } else {
      Event removal;
      removal.m_type = REMOVE_REMOTE;
      removal.m_path = prefix + index->m_path;
      removal.m_view_id = event.m_view_id;
      removal.m_flags = index->m_kind == FILE_LIST_DIR ? EVENT_FLAG_DIR : 0;
      TLOG_INFO("ExpandLocalDeleteEvent: %s.", removal.ToString().c_str());
      engine.m_events.PushEvent(removal);
      ++index;
    }
  }
  return 0;
}

int ExpandServerDeleteItem(const WorkItem& item, EngineContext& engine) {
  const Event& event = item.m_event;
  FileList indexed;
  IndexedChildren(item, engine.m_db, true, &indexed);
  std::string prefix = ListPrefix(event.m_path);
  for (const FileListEntry& entry : indexed) {
    if (entry.m_path.empty()) continue;  // the directory itself
    Event removal;
    removal.m_type = REMOVE_LOCAL;
    removal.m_path = prefix + entry.m_path;
    removal.m_view_id = event.m_view_id;
    removal.m_sync_id = event.m_sync_id;
    removal.m_flags = entry.m_kind == FILE_LIST_DIR ? EVENT_FLAG_DIR : 0;
    TLOG_DEBUG("ExpandServerDeleteEvent: %s.", removal.ToString().c_str());
    engine.m_events.PushEvent(removal);
  }
  return 0;
}

int CreateDirSelfEventItem(const WorkItem& item, Event* self_out) {
  const Event& finished = item.m_event;
  TLOG_DEBUG("CreateDirSelfEvent event: %s", finished.ToString().c_str());
  Event self;
  self.m_path = finished.m_path;
  self.m_view_id = finished.m_view_id;
  self.m_flags = EVENT_FLAG_DIR;
  if ((finished.m_flags & (EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT | EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT)) == 0) {
    self.m_type = finished.m_type;
    self.m_sync_id = finished.m_sync_id;
  } else {
    ViewDir view;
    FileInfo info;
    int looked = OpenItemView(item, &view) < 0 ? -1 : view.Stat(finished.m_path, &info);
    if (looked == FS_LINK_REFUSED) {
      FinishRefusedItem(item, "rescanning");
      return 0;
    }
    if (looked < 0) {
      TLOG_ERROR("CreateDirSelfEvent: failed to get local file system info of '%s'", item.m_local_path.c_str());
      return -1;
    }
    if (info.m_exists && finished.m_type == REMOVE_LOCAL) {
      // The server removed the directory while changes below it waited;
      // its children have been dealt with one by one, and now the
      // directory's own removal is carried out, with the same checks as
      // any: kept when local work or a newer server version lies below it,
      // removed otherwise. An upload would not do: its row, still there,
      // makes it a fake event, and the directory would stay on the disk
      // and in the database while the server no longer has it. It waits
      // for what is still pending below: local work there (a conflict copy
      // made as the server removed the folder, say) is uploaded first, and
      // the removal then finds it newer than itself and keeps the folder.
      // Handed out first, it would be expanded again and again while that
      // work never got its turn.
      self.m_type = REMOVE_LOCAL;
      self.m_flags |= EVENT_FLAG_AFTER_SUBTREE;
      self.m_sync_id = finished.m_sync_id;
      self.m_node_id = finished.m_node_id;
    } else if (info.m_exists) {
      self.m_type = UPLOAD_LOCAL;
    } else {
      // Pending changes below a directory that is gone: fetch it again
      // whatever the database says about its version.
      self.m_type = DOWNLOAD_REMOTE;
      self.m_sync_id = 0x7FFFFFFFFFFFFFFFULL;
    }
  }
  TLOG_INFO("CreateDirSelfEvent: create self event [%s].", self.ToString().c_str());
  *self_out = std::move(self);
  return 1;
}

HandlerOutcome RemoveLocal(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(RemoveLocalItem(item, engine));
}

HandlerOutcome RemoveRemote(const WorkItem& item, EngineContext& engine) {
  const std::atomic<int>* abort_flag = item.m_abort;
  ConnectionPool& pool = engine.m_pool;
  return OutcomeOf(
      RemoveRemoteItem(item, engine, [abort_flag, &pool](NRemoveRequest* request, NRemoveResponse* response) {
        return RunServerExchange(pool, SERVER_CMD_REMOVE, request, response, abort_flag, WORKER_MODULE);
      }));
}

HandlerOutcome ExpandLocalDeleteEvent(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(ExpandLocalDeleteItem(item, engine));
}

HandlerOutcome ExpandServerDeleteEvent(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(ExpandServerDeleteItem(item, engine));
}

int CreateDirSelfEvent(const WorkItem& item, EngineContext&, Event* self) {
  return CreateDirSelfEventItem(item, self);
}

}  // namespace tide
