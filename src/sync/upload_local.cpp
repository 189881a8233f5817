// Upload: a file or directory that changed on the appliance is offered to
// the server daemon. The server runs on this machine, so no content crosses
// the socket: the worker copies the file into a temporary file on the same
// volume, computes its MD4, and sends the path of that copy (and of an
// AppleDouble copy of its Mac metadata) with the metadata. The answer is
// either the new version's identity, written to the local database, or a
// conflict, solved by renaming the local file out of the way.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include <cerrno>
#include <cstring>

#include "core/client_config.h"
#include "core/daemon_state.h"
#include "core/freeze_file.h"
#include "core/logger.h"
#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "filter/filter.h"
#include "platform/vendor_system.h"
#include "proto/messages.h"
#include "sync/ad_converter.h"
#include "sync/conflict_rename.h"
#include "sync/file_ops.h"
#include "sync/local_path_guard.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/temp_file.h"
#include "sync/worker_file_ops.h"
#include "sync/worker_handlers.h"
#include "sync/worker_native.h"

namespace tide {

namespace {

// Upload answers of the server.
constexpr uint32_t UPLOAD_OK = 0;
constexpr uint32_t UPLOAD_RETRY = 1;
constexpr uint32_t UPLOAD_CONFLICT_FIRST = 2;
constexpr uint32_t UPLOAD_CONFLICT_LAST = 4;
constexpr uint32_t UPLOAD_MAC_CONFLICT = 5;

bool CompanionExists(const std::string& path, const char* stream) {
  char companion[VARN_EA_PATH_MAX];
  if (VARNEAPath(VARN_EA_KIND, path.c_str(), stream, companion, sizeof companion) < 0) return false;
  FileInfo info;
  return FSGetInfo(companion, &info) == 0 && info.m_exists;
}

// Makes the temporary file in `file`'s directory, creating that directory
// first when the volume has none yet (the volume itself must exist: an
// unset volume path must not plant folders elsewhere).
int CreateTempIn(TempFile* file) {
  FileInfo info;
  if (FSGetInfo(file->Directory(), &info) == 0 && !info.m_exists) FSMkdir(file->Directory(), false);
  if (file->Create() < 0) {
    TLOG_ERROR("failed to create temporary file");
    return -1;
  }
  return 0;
}

int PrepareUploadData(WorkerNative& worker, TempFile* data_file, NUploadRequest* request) {
  if (CreateTempIn(data_file) < 0) return -1;
  const std::string& local_path = worker.LocalPath();
  const std::string& tmp_path = data_file->Path();
  TLOG_DEBUG("copying file from %s -> %s", local_path.c_str(), tmp_path.c_str());
  if (CopyFile(local_path, tmp_path, worker.AbortFlag()) < 0) {
    int error = errno;
    TLOG_ERROR("failed to copy file (%s -> %s)", local_path.c_str(), tmp_path.c_str());
    if (error == ENOSPC || error == EDQUOT) {
      // The volume that holds the daemon's temporaries is full: nothing can
      // be uploaded any more. Mark it for the other processes and stop.
      TLOG_INFO("PrepareUploadData: disk full and terminate native client");
      FreezeView(0);
      RequestShutdown();
    }
    return -1;
  }
  TLOG_DEBUG("calculating MD4 for %s", tmp_path.c_str());
  std::string hash;
  if (CaculateMD4(tmp_path, &hash, worker.AbortFlag()) < 0) {
    TLOG_ERROR("failed to calculate checksum for '%s'", local_path.c_str());
    return -1;
  }
  TLOG_DEBUG("calculating MD4 donw");
  // The size and hash describe the copy: that is what the server reads,
  // even when the original changed meanwhile.
  FileInfo copy;
  if (FSGetInfo(tmp_path, &copy) < 0) {
    TLOG_ERROR("failed to get info for '%s'", tmp_path.c_str());
    return -1;
  }
  request->m_size = copy.m_size;
  request->m_hash = hash;
  request->m_data_path = tmp_path;
  return 0;
}

int PrepareMacAttributes(WorkerNative& worker, TempFile* mac_file, NUploadRequest* request) {
  const std::string& local_path = worker.LocalPath();
  if (!CompanionExists(local_path, VARN_EA_STREAM_NAME) && !CompanionExists(local_path, VARN_RESOURCE_STREAM_NAME)) {
    return 0;
  }
  if (CreateTempIn(mac_file) < 0) return -1;
  const std::string& tmp_path = mac_file->Path();
  LockFilter();
  int converted = Varn2MacEAConvert(local_path, tmp_path, true);
  UnlockFilter();
  if (converted < 0) {
    TLOG_ERROR("failed to do ea convert (%s -> %s)", local_path.c_str(), tmp_path.c_str());
    return -1;
  }
  std::string hash;
  if (CaculateMD4(tmp_path, &hash, worker.AbortFlag()) < 0) {
    TLOG_ERROR("failed to calculate checksum for '%s'", tmp_path.c_str());
    return -1;
  }
  FileInfo info;
  if (FSGetInfo(tmp_path, &info) < 0) {
    TLOG_ERROR("failed to get info for '%s'", tmp_path.c_str());
    return -1;
  }
  request->m_mac_size = info.m_size;
  request->m_mac_hash = hash;
  request->m_mac_data_path = tmp_path;
  return 0;
}

int PrepareUploadRequest(WorkerNative& worker, const FileInfo& local, TempFile* data_file, TempFile* mac_file,
                         NUploadRequest* request) {
  request->m_path = worker.CurrentEvent().m_path;
  request->m_view_id = worker.Entry().m_view_id;
  request->m_base_sync_id = worker.Record().m_sync_id;
  request->m_worker_num = worker.GetId();
  request->m_uid = static_cast<uint32_t>(local.m_uid);
  request->m_gid = static_cast<uint32_t>(local.m_gid);
  request->m_mtime = static_cast<uint32_t>(local.m_mtime);
  if (local.m_type == FILE_TYPE_DIRECTORY) {
    request->SetDir();
    return 0;
  }
  request->SetFile();
  if (PrepareUploadData(worker, data_file, request) < 0) {
    TLOG_ERROR("failed to prepare upload data");
    return -1;
  }
  if (PrepareMacAttributes(worker, mac_file, request) < 0) {
    TLOG_ERROR("failed to prepare mac attributes");
    return -1;
  }
  return 0;
}

int ProcessUploadResponse(WorkerNative& worker, const NUploadRequest& request, const NUploadResponse& response) {
  const std::string& local_path = worker.LocalPath();
  uint32_t code = response.m_error_code;
  if (code == UPLOAD_OK) {
    if (response.m_mtime != request.m_mtime) FSSetTime(local_path, response.m_mtime, response.m_mtime);
    NodeRecord record;
    record.m_node_id = response.m_node_id;
    record.m_parent_id = response.m_parent_id;
    record.m_sync_id = response.m_sync_id;
    record.m_view_id = worker.Entry().m_view_id;
    record.m_attribute = request.IsDir() ? NODE_ATTRIBUTE_DIR : 0;
    record.m_mtime = response.m_mtime;
    record.m_size = request.m_size;
    record.m_hash = request.m_hash;
    record.m_mac_hash = request.m_mac_hash;
    record.m_mode = 0;
    record.m_path = worker.CurrentEvent().m_path;
    record.m_name = response.m_name;
    if (NativeClientDb::Instance().UpsertNode(record) < 0) {
      TLOG_ERROR("Failed to commit database for '%s'", local_path.c_str());
      return -1;
    }
    return 0;
  }
  if (code == UPLOAD_RETRY) return -1;
  if (code >= UPLOAD_CONFLICT_FIRST && code <= UPLOAD_CONFLICT_LAST) {
    TLOG_INFO("upload conflict: %u", code);
    if (ConflictRename(local_path, "ADMIN", "Conflict") != 0) {
      TLOG_ERROR("failed to rename conflict '%s'", local_path.c_str());
      return -1;
    }
    return 0;
  }
  if (code == UPLOAD_MAC_CONFLICT) {
    TLOG_INFO("mac attribute conflict on '%s'", request.m_path.c_str());
    return 0;
  }
  TLOG_ERROR("upload error (%u) is not handled", code);
  return -1;
}

// Only regular files and directories are synchronised.
bool IsSynchronisedKind(int type) { return type == FILE_TYPE_REGULAR || type == FILE_TYPE_DIRECTORY; }

Event PushRemoteRemoval(WorkerNative& worker, bool directory) {
  Event removal;
  removal.m_type = REMOVE_REMOTE;
  removal.m_path = worker.CurrentEvent().m_path;
  removal.m_view_id = worker.CurrentEvent().m_view_id;
  if (directory) removal.m_flags |= EVENT_FLAG_DIR;
  EventManager::GetInstance().PushEvent(removal);
  return removal;
}

// A new name that differs only by case from a synchronised one still on
// the disk ("a.txt" beside "A.txt"): the server tells names apart without
// regard to case, so it could only take it as the other's version. It is
// kept under a conflict name, which is synchronised in its own right. 1 when
// the name was handled so, 0 when there is no such pair, -1 on failure.
int KeptApartByCase(WorkerNative& worker) {
  NodeRecord other;
  const Event& event = worker.CurrentEvent();
  if (NativeClientDb::Instance().GetNodeByOtherCase(event.m_view_id, event.m_path, &other) != 1) return 0;
  FileInfo info;
  const std::string other_path = worker.Entry().m_watch_path + other.m_path;
  if (FSGetInfo(other_path, &info) < 0 || !info.m_exists) return 0;  // renamed by case only
  TLOG_INFO("'%s' differs only by case from the synchronised '%s'", event.m_path.c_str(), other.m_path.c_str());
  if (ConflictRename(worker.LocalPath(), "ADMIN", "Conflict") != 0) {
    TLOG_ERROR("failed to rename conflict '%s'", worker.LocalPath().c_str());
    return -1;
  }
  return 1;
}

// A file removed (or replaced by a link or special file) while its upload
// ran has been recorded as present: hand the removal to the server as well.
int CheckAfterUpload(WorkerNative& worker, const NUploadRequest& request) {
  FileInfo info;
  if (FSGetInfo(worker.LocalPath(), &info) < 0) {
    TLOG_ERROR("Failed to get local file info at '%s'.", worker.LocalPath().c_str());
    return -1;
  }
  if (info.m_exists && IsSynchronisedKind(info.m_type)) return 0;
  Event removal = PushRemoteRemoval(worker, request.IsDir());
  TLOG_INFO("File removed during upload progress, add event [%s]", removal.ToString().c_str());
  return 0;
}

}  // namespace

int UploadLocal(WorkerNative& worker) {
  const std::string tmp_dir = ClientConfig::Instance().m_volume_path + "/@tmp";
  TempFile data_file(tmp_dir);
  TempFile mac_file(tmp_dir);
  const Event& event = worker.CurrentEvent();
  const std::string& local_path = worker.LocalPath();

  // A path that is not a clean absolute path would reach outside the view
  // once joined onto its watch path; no retry can make it usable.
  if (!IsSafeServerPath(event.m_path)) {
    TLOG_ERROR("UploadLocal: refusing unsafe path '%s' of view %llu", event.m_path.c_str(),
               static_cast<unsigned long long>(event.m_view_id));
    return 0;
  }
  if (CheckLocalPathInView(worker.Entry().m_watch_path, local_path) < 0) return 0;

  std::string name = event.m_path.substr(event.m_path.rfind('/') + 1);
  if (!name.empty() && (name.front() == ' ' || name.back() == ' ')) {
    return WhiteSpaceConflictRename(local_path, name, "ADMIN") == 0 ? 0 : -3;
  }

  TLOG_NOTE("Worker (%d): uploading '%s' start", worker.GetId(), local_path.c_str());
  FileInfo local;
  if (FSGetInfo(local_path, &local) < 0) {
    TLOG_ERROR("UploadLocal: fail to get file system info for '%s'", local_path.c_str());
    return -1;
  }
  if (!local.m_exists) {
    TLOG_INFO("upload fake event on '%s' (vanish)", local_path.c_str());
    return 0;
  }
  const NodeRecord& record = worker.Record();
  if (record.m_node_id != 0 && (record.m_attribute & NODE_ATTRIBUTE_DIR) != 0 &&
      local.m_type == FILE_TYPE_DIRECTORY) {
    TLOG_INFO("upload fake event on '%s' (existing directory)", local_path.c_str());
    return 0;
  }
  if (local.m_type != FILE_TYPE_REGULAR && local.m_type != FILE_TYPE_DIRECTORY) {
    TLOG_INFO("upload fake event on '%s' (bad type)", local_path.c_str());
    // What was synchronised here became a link or another special file,
    // which is never synchronised: from the server's side it is gone.
    if (record.m_node_id != 0) PushRemoteRemoval(worker, (record.m_attribute & NODE_ATTRIBUTE_DIR) != 0);
    return 0;
  }

  if (record.m_node_id == 0) {
    int kept = KeptApartByCase(worker);
    if (kept != 0) return kept < 0 ? -1 : 0;
  }

  if (local.m_type == FILE_TYPE_DIRECTORY) {
    int code = IsFilteredDir(event.m_path, local_path.size());
    if (code != 0) {
      TLOG_WARNING("UploadLocal: Directory '%s' cannot be uploaded (blocked: %d)", local_path.c_str(), code);
      return 0;
    }
  } else {
    int code = IsFilteredFile(event.m_path, local_path.size(), local.m_size);
    if (code != 0) {
      TLOG_WARNING("UploadLocal: '%s' cannot be uploaded (blocked: %d)", local_path.c_str(), code);
      return 0;
    }
  }

  NUploadRequest request;
  if (PrepareUploadRequest(worker, local, &data_file, &mac_file, &request) < 0) {
    TLOG_ERROR("PrepareUploadRequest: gg");
    return -1;
  }
  if (request.IsFile() && request.m_hash == record.m_hash && request.m_mac_hash == record.m_mac_hash) {
    TLOG_WARNING("File not modified, this could be a fake event.");
    return 0;
  }
  TLOG_DEBUG("upload: %s (with request: %llu, %s, %llu, %s, %llu)", local_path.c_str(),
             static_cast<unsigned long long>(request.m_base_sync_id), request.m_data_path.c_str(),
             static_cast<unsigned long long>(request.m_size), request.m_mac_data_path.c_str(),
             static_cast<unsigned long long>(request.m_mac_size));

  NUploadResponse response;
  if (RunServerExchange(SERVER_CMD_UPLOAD, &request, &response, worker.AbortFlag(), WORKER_LOG_MODULE) < 0) {
    TLOG_ERROR("RunUploadProtocol: %s", "I/O error");
    return -1;
  }
  if (ProcessUploadResponse(worker, request, response) < 0) {
    TLOG_ERROR("ProcessUploadResponse");
    return -1;
  }
  // Only an accepted version can have been removed "during" the upload; after
  // a conflict the local file was moved away by us, and asking the server to
  // remove the path would aim at the other side's version.
  if (response.m_error_code == UPLOAD_OK && CheckAfterUpload(worker, request) < 0) {
    TLOG_ERROR("UploadLocal: Failed to CheckLocalModification.");
  }
  if (response.m_sync_id != request.m_base_sync_id) {
    TLOG_NOTE("Worker (%d): uploading '%s' done", worker.GetId(), local_path.c_str());
  } else {
    TLOG_WARNING("file not modified, this could be a fake event triggered by VarnIndex");
  }
  return 0;
}

}  // namespace tide
