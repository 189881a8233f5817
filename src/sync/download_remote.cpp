// Download: a server change that is not a deletion is carried onto the
// disk. The server answers with the version's metadata and, for a file, the
// path of a copy of its content that it placed on the appliance (and of an
// AppleDouble file with its Mac metadata). The worker copies that content
// into its own temporary directory on the view's volume, gives it the
// server's time stamp and owner and its attribute companions, moves a
// locally modified file out of the way, and replaces the local object; only
// then is the new version recorded.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/freeze_file.h"
#include "core/logger.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "db/progress_cache.h"
#include "event/event_manager.h"
#include "filter/filter.h"
#include "proto/messages.h"
#include "sync/ad_converter.h"
#include "sync/conflict_rename.h"
#include "sync/file_ops.h"
#include "sync/index_notify.h"
#include "sync/local_path_guard.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/temp_file.h"
#include "sync/worker_file_ops.h"
#include "sync/worker_handlers.h"
#include "sync/worker_native.h"

namespace tide {

namespace {

// A download event with this sync id asks for the current version whatever
// the local record says (a rescan found the object missing or different).
constexpr uint64_t FORCED_DOWNLOAD_SYNC_ID = 0x7FFFFFFFFFFFFFFFULL;

// Download answers of the server.
constexpr uint32_t DOWNLOAD_OK = 0;
constexpr uint32_t DOWNLOAD_ERROR = 1;
constexpr uint32_t DOWNLOAD_NO_ENTRY = 6;
constexpr uint32_t DOWNLOAD_NOT_MODIFIED = 7;

// Results of the response steps besides 0 and -1.
constexpr int DOWNLOAD_REFUSED = -2;    // unusable answer: end the event
constexpr int DOWNLOAD_DISK_FULL = -3;  // view frozen, event given back

// Full-disk handling: the view stops (its events go back to the event
// manager untouched) and catches up on its own once space is back, from the
// global position, through the progress syncer. False when the freeze file
// changed since the worker began without freezing the view (the freeze was
// lifted meanwhile, so the full disk may be over): the event is tried again.
bool FreezeViewForDiskFull(WorkerNative& worker) {
  uint64_t view_id = worker.Entry().m_view_id;
  TLOG_DEBUG("set freeze mod for view_id %llu, worker<%d>", static_cast<unsigned long long>(view_id), worker.GetId());
  if (!FreezeViewUnlessChanged(view_id, worker.FreezeStateSeen())) {
    TLOG_INFO("view_id %llu: the freeze file changed while '%s' was copied; trying again",
              static_cast<unsigned long long>(view_id), worker.CurrentEvent().m_path.c_str());
    return false;
  }
  uint64_t global_sync_id = 0;
  if (NativeClientDb::Instance().GetGlobalSyncId(&global_sync_id) < 0) {
    TLOG_ERROR("failed to get initial sync id for view %llu... starts from 0", static_cast<unsigned long long>(view_id));
    global_sync_id = 0;
  }
  uint64_t cached = ProgressCache::Instance().GetSyncId(view_id);
  if (cached == 0 || cached > global_sync_id) {
    ProgressCache::Instance().Add(view_id, global_sync_id);
    Registry::Instance().SetAttribute(view_id, VIEW_ATTR_CATCHING_UP, true);
    if (NativeClientDb::Instance().SetViewProgress(view_id, global_sync_id) < 0) {
      TLOG_CRIT("create progress view failed, view id %llu, sync id %llu", static_cast<unsigned long long>(view_id),
                static_cast<unsigned long long>(global_sync_id));
    }
  }
  EventManager::GetInstance().RedoEvent(&worker, worker.CurrentEvent());
  worker.Clear();
  return true;
}

int PrepareDataFile(WorkerNative& worker, const NDownloadResponse& response, TempFile* file) {
  FileInfo dir;
  if (FSGetInfo(file->Directory(), &dir) == 0 && !dir.m_exists) FSMkdir(file->Directory(), true);
  if (file->Create() < 0) return -1;
  if (CopyFile(response.m_data_path, file->Path(), worker.AbortFlag()) == 0) {
    FSSetTime(file->Path(), response.m_mtime, response.m_mtime);
    if (chown(file->Path().c_str(), response.m_uid, response.m_gid) < 0) {
      TLOG_WARNING("chown(%s, %u, %u): %s", file->Path().c_str(), response.m_uid, response.m_gid, strerror(errno));
    }
    return 0;
  }
  if ((errno == ENOSPC || errno == EDQUOT) && FreezeViewForDiskFull(worker)) return DOWNLOAD_DISK_FULL;
  return -1;
}

int PrepareMacAttributeFile(const NDownloadResponse& response, const std::string& tmp_path) {
  int result = 0;
  LockFilter();
  if (response.m_mac_size != 0 && Mac2VarnEAConvert(response.m_mac_data_path, tmp_path) < 0) {
    TLOG_ERROR("Mac2VarnEAConvert failed.");
    result = -1;
  }
  UnlockFilter();
  return result;
}

// True when the local object must be moved to a conflict name before the
// new version replaces it.
bool CheckLocalModification(WorkerNative& worker, const NodeRecord& record, const FileInfo& local,
                            const NDownloadResponse& response) {
  const std::string& local_path = worker.LocalPath();
  if (local.m_type != FILE_TYPE_REGULAR) {
    TLOG_INFO("'%s' is locally modified (not a file)", local_path.c_str());
    return true;
  }
  if (record.m_node_id != 0 && record.m_mtime == static_cast<uint32_t>(local.m_mtime) &&
      record.m_size == local.m_size) {
    TLOG_INFO("'%s' is not modified (mtime and size match)", local_path.c_str());
    return false;
  }
  std::string hash;
  if (CaculateMD4(local_path, &hash, worker.AbortFlag()) < 0) {
    TLOG_ERROR("failed to calculated MD4 for '%s', perhaps it is removed?", local_path.c_str());
    return false;
  }
  // A local edit that already equals the incoming version is simply replaced.
  return hash != response.m_data_hash;
}

int ProcessDownloadDirectoryResponse(WorkerNative& worker, const NDownloadResponse& response) {
  const std::string& local_path = worker.LocalPath();
  FileInfo local;
  if (FSGetInfo(local_path, &local) < 0) return -1;
  if (local.m_exists && local.m_type != FILE_TYPE_DIRECTORY) {
    // Something else stands where the directory goes: keep it under a
    // conflict name.
    if (ConflictRename(local_path, "ADMIN", "Conflict") != 0) {
      TLOG_ERROR("failed to rename conflict file '%s'", local_path.c_str());
      return -1;
    }
  }
  if (CreateDirectory(local_path, response.m_uid, response.m_gid, true) < 0) {
    TLOG_ERROR("ProcessDownloadDirectoryResponse: fail to create directory '%s'", local_path.c_str());
    return -1;
  }
  return 0;
}

int ProcessDownloadFileResponse(WorkerNative& worker, const NDownloadResponse& response) {
  TempFile tmp(worker.TempDir());
  int prepared = PrepareDataFile(worker, response, &tmp);
  if (prepared == DOWNLOAD_DISK_FULL) return prepared;
  if (prepared < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to prepare data file");
    return -1;
  }
  const std::string tmp_path = tmp.Path();
  const std::string& local_path = worker.LocalPath();
  // Every way out below that leaves the copy behind also drops the
  // attribute companions it may have got.
  auto fail = [&tmp_path]() {
    RemoveFile(tmp_path);
    return -1;
  };
  if (PrepareMacAttributeFile(response, tmp_path) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to prepare Mac attribute file");
    return fail();
  }
  FileInfo local;
  if (FSGetInfo(local_path, &local) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to get file system info");
    return fail();
  }
  if (local.m_exists && CheckLocalModification(worker, worker.Record(), local, response)) {
    if (ConflictRename(local_path, "ADMIN", "Conflict") != 0) {
      TLOG_ERROR("ProcessDownloadFileResponse: fail to rename confclit '%s'", local_path.c_str());
      return fail();
    }
  }
  std::string parent = local_path.substr(0, local_path.rfind('/'));
  if (!parent.empty() && CreateDirectory(parent, response.m_uid, response.m_gid, true) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: fail to create parent directory of '%s'", local_path.c_str());
    return fail();
  }
  // The old content is replaced only by content that is already on the
  // disk: a crash right after the rename must not leave an empty file.
  if (SyncFile(tmp_path) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: fail to replace original file '%s'", local_path.c_str());
    return fail();
  }
  if (MoveFile(tmp_path, local_path) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: fail to replace original file '%s'", local_path.c_str());
    return fail();
  }
  tmp.SetKeep(true);  // the name now belongs to the local file
  SyncParentDirectory(local_path);
  return 0;
}

// Every path in the answer comes from another program: refuse those that
// could lead anywhere but where they should.
bool ResponsePathsSafe(const NDownloadResponse& response) {
  if (!IsSafeServerPath(response.m_path)) {
    TLOG_ERROR("download response: refusing unsafe path '%s'", response.m_path.c_str());
    return false;
  }
  if (!response.IsDir() && !IsSafeServerPath(response.m_data_path)) {
    TLOG_ERROR("download response: refusing unsafe data path '%s'", response.m_data_path.c_str());
    return false;
  }
  if (!response.IsDir() && response.m_mac_size != 0 && !IsSafeServerPath(response.m_mac_data_path)) {
    TLOG_ERROR("download response: refusing unsafe mac data path '%s'", response.m_mac_data_path.c_str());
    return false;
  }
  return true;
}

int RemoveVanished(WorkerNative& worker) {
  const std::string& local_path = worker.LocalPath();
  TLOG_INFO("'%s' does not exists on the remote side, remove it anyway", local_path.c_str());
  // What the server no longer has is removed here the way a server
  // deletion is: only when it is what we recorded. A file or a directory
  // holding work the server never saw is kept under a conflict name (the
  // detector offers it again from there).
  return RemoveLocal(worker);
}

int ProcessDownloadResponse(WorkerNative& worker, const NDownloadResponse& response) {
  const std::string& local_path = worker.LocalPath();
  switch (response.m_error_code) {
    case DOWNLOAD_OK:
      break;
    case DOWNLOAD_ERROR:
      TLOG_INFO("error occurs while downloading '%s'", local_path.c_str());
      return -1;
    case DOWNLOAD_NO_ENTRY:
      if (CheckLocalPathInView(worker.Entry().m_watch_path, local_path) < 0) return DOWNLOAD_REFUSED;
      return RemoveVanished(worker);
    case DOWNLOAD_NOT_MODIFIED:
      TLOG_INFO("download fake event: '%s'", local_path.c_str());
      return 0;
    default:
      return -1;
  }

  TLOG_DEBUG("download response: data_path = %s, data_hash = %s", response.m_data_path.c_str(),
             response.m_data_hash.c_str());
  if (!ResponsePathsSafe(response)) return DOWNLOAD_REFUSED;
  // Checked again right before writing: the exchange may have taken a while.
  if (CheckLocalPathInView(worker.Entry().m_watch_path, local_path) < 0) return DOWNLOAD_REFUSED;
  int result = response.IsDir() ? ProcessDownloadDirectoryResponse(worker, response)
                                 : ProcessDownloadFileResponse(worker, response);
  if (result < 0) return result;

  NodeRecord record;
  record.m_node_id = response.m_node_id;
  record.m_parent_id = response.m_parent_id;
  record.m_sync_id = response.m_sync_id;
  record.m_view_id = worker.Entry().m_view_id;
  record.m_attribute = response.IsDir() ? NODE_ATTRIBUTE_DIR : 0;
  record.m_mtime = response.m_mtime;
  record.m_size = response.m_size;
  record.m_hash = response.m_data_hash;
  record.m_mac_hash = response.m_mac_hash;
  record.m_mode = 0;
  record.m_name = response.m_name;
  record.m_path = response.m_path;
  if (NativeClientDb::Instance().UpsertNode(record) < 0) {
    TLOG_ERROR("Failed to commit database for '%s'", local_path.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

int DownloadRemote(WorkerNative& worker) {
  const Event& event = worker.CurrentEvent();
  const std::string& local_path = worker.LocalPath();
  TLOG_NOTE("Worker (%d): downloading '%s' start", worker.GetId(), local_path.c_str());

  // The path comes from the server's change stream: joined onto the watch
  // path, a ".." or an empty component would reach outside the view.
  if (!IsSafeServerPath(event.m_path)) {
    TLOG_ERROR("DownloadRemote: refusing unsafe path '%s' of view %llu", event.m_path.c_str(),
               static_cast<unsigned long long>(event.m_view_id));
    return 0;
  }
  const NodeRecord& record = worker.Record();
  if ((event.m_flags & EVENT_FLAG_RESERVED8) == 0 && record.m_sync_id >= event.m_sync_id) {
    TLOG_INFO("DownloadRemote: ignore fake event of '%s'", local_path.c_str());
    return 0;
  }
  FileInfo local;
  if (FSGetInfo(local_path, &local) < 0) {
    TLOG_ERROR("Failed to GetFilesystemInfo.");
    return -1;
  }
  bool forced = event.m_sync_id == FORCED_DOWNLOAD_SYNC_ID;
  if (forced && local.m_exists && static_cast<uint32_t>(local.m_mtime) == record.m_mtime &&
      local.m_size == record.m_size) {
    TLOG_INFO("DownloadRemote: Force download but file already exist in local file sysytem.");
    return 0;
  }
  if (CheckLocalPathInView(worker.Entry().m_watch_path, local_path) < 0) return 0;

  NDownloadRequest request;
  request.m_sync_id = forced ? 0 : record.m_sync_id;
  request.m_view_id = worker.Entry().m_view_id;
  request.m_path = event.m_path;
  request.m_worker_num = worker.GetId();

  NDownloadResponse response;
  if (RunServerExchange(SERVER_CMD_DOWNLOAD, &request, &response, worker.AbortFlag(), WORKER_LOG_MODULE) < 0) {
    TLOG_ERROR("DownloadRemote: fail to run protocol");
    return -1;
  }
  // Kept apart: a full disk clears the worker, and with it `local_path`.
  const std::string target = local_path;
  int processed = ProcessDownloadResponse(worker, response);
  if (processed == DOWNLOAD_REFUSED) return 0;
  if (processed < 0) {
    TLOG_ERROR("DownloadRemote: fail to process response");
    return -1;
  }
  NotifyIndex(INDEX_ADDED, target);
  TLOG_NOTE("Worker (%d): downloading '%s' done", worker.GetId(), target.c_str());
  return 0;
}

}  // namespace tide
