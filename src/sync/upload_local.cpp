// Upload: a file or directory that changed on the appliance is offered to
// the server daemon. The server runs on this machine, so no content crosses
// the socket: the worker copies the file into a temporary file on the same
// volume, computes its MD4, and sends the path of that copy (and of an
// AppleDouble copy of its Mac metadata) with the metadata. The answer is
// either the new version's identity, written to the local database, or a
// conflict, solved by renaming the local file out of the way.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/client_config.h"
#include "core/daemon_state.h"
#include "core/freeze_file.h"
#include "core/logger.h"
#include "filter/filter.h"
#include "fs/conflict_rename.h"
#include "fs/copy_data.h"
#include "fs/file_ops.h"
#include "fs/temp_file.h"
#include "fs/view_dir.h"
#include "platform/vendor_system.h"
#include "proto/checksum.h"
#include "proto/messages.h"
#include "sync/ad_converter.h"
#include "sync/engine_context.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/view_access.h"
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

// The folders one upload works in.
struct UploadDirs {
  const WorkItem& m_item;
  EngineContext& m_engine;
  ViewDir m_view;
  ViewDir m_work;
};

// The local file went away while its event waited or ran, or was replaced
// by something that is not a file: the normal life of a temporary file. The
// event ends quietly; whatever took the file's place has its own event.
constexpr int UPLOAD_SOURCE_VANISHED = -6;
// The copy was cut short by a pause, a stop or the file's removal. The
// event is tried again; by then its removal, if that was it, has merged in.
constexpr int UPLOAD_CANCELLED = -7;

// Copies the local file into a new temporary file of the work folder and
// takes its MD4. The file is opened through the view's descriptor without
// following a link, so what is copied is the object that was looked at.
int PrepareUploadData(const UploadDirs& dirs, TempFile* data_file, NUploadRequest* request) {
  const std::string& local_path = dirs.m_item.m_local_path;
  UniqueFd in;
  int opened = dirs.m_view.OpenExisting(RelativePath(dirs.m_item), O_RDONLY, &in);
  if (opened == FS_LINK_REFUSED) return opened;
  if (opened < 0 && (errno == ENOENT || errno == ENOTDIR)) return UPLOAD_SOURCE_VANISHED;
  struct stat st;
  if (opened < 0 || fstat(in.Get(), &st) < 0) {
    TLOG_ERROR("failed to open '%s': %s", local_path.c_str(), strerror(errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    TLOG_DEBUG("upload fake event on '%s' (no longer a file)", local_path.c_str());
    return UPLOAD_SOURCE_VANISHED;
  }
  UniqueFd out;
  if (data_file->Create(&out) < 0) {
    TLOG_ERROR("failed to create temporary file");
    return -1;
  }
  const std::string& tmp_path = data_file->Path();
  TLOG_DEBUG("copying file from %s -> %s", local_path.c_str(), tmp_path.c_str());
  // The copy and its MD4 in one pass over the data.
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  uint64_t size = 0;
  if (CopyFileContents(in.Get(), out.Get(), local_path + " -> " + tmp_path, dirs.m_item.m_abort, digest, &size) <
      0) {
    int error = errno;
    if (error == ECANCELED) return UPLOAD_CANCELLED;
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
  // The size and hash describe the copy: that is what the server reads,
  // even when the original changed meanwhile.
  request->m_size = size;
  request->m_hash = MD4ToHex(digest);
  request->m_data_path = tmp_path;
  return 0;
}

int PrepareMacAttributes(const UploadDirs& dirs, TempFile* mac_file, NUploadRequest* request) {
  const std::string& relative = RelativePath(dirs.m_item);
  int companions = dirs.m_view.HasCompanions(relative);
  if (companions <= 0) return companions;
  // The converter works by path: it is given copies of the companions in
  // the work folder, read through the view's descriptor, never the view's
  // own paths.
  TempFile staged(dirs.m_work.Path());
  if (staged.Create() < 0 || mac_file->Create() < 0) {
    TLOG_ERROR("failed to create temporary file");
    return -1;
  }
  std::string staged_name = staged.Path().substr(staged.Path().rfind('/') + 1);
  int copied = dirs.m_view.CopyCompanions(relative, dirs.m_work, staged_name);
  if (copied < 0) {
    dirs.m_work.RemoveFile(staged_name);
    return copied;
  }
  const std::string& tmp_path = mac_file->Path();
  LockFilter();
  int converted = Varn2MacEAConvert(staged.Path(), tmp_path, dirs.m_work.Path(), true);
  UnlockFilter();
  dirs.m_work.RemoveFile(staged_name);
  if (converted < 0) {
    TLOG_ERROR("failed to do ea convert (%s -> %s)", dirs.m_item.m_local_path.c_str(), tmp_path.c_str());
    return -1;
  }
  std::string hash;
  if (CaculateMD4(tmp_path, &hash, dirs.m_item.m_abort) < 0) {
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

int PrepareUploadRequest(const UploadDirs& dirs, const FileInfo& local, TempFile* data_file, TempFile* mac_file,
                         NUploadRequest* request) {
  const WorkItem& item = dirs.m_item;
  request->m_path = item.m_event.m_path;
  request->m_view_id = item.m_entry.m_view_id;
  request->m_base_sync_id = item.m_record.m_sync_id;
  request->m_worker_num = item.m_task_id;
  request->m_uid = static_cast<uint32_t>(local.m_uid);
  request->m_gid = static_cast<uint32_t>(local.m_gid);
  request->m_mtime = static_cast<uint32_t>(local.m_mtime);
  if (local.m_type == FILE_TYPE_DIRECTORY) {
    request->SetDir();
    return 0;
  }
  request->SetFile();
  int prepared = PrepareUploadData(dirs, data_file, request);
  if (prepared == 0) prepared = PrepareMacAttributes(dirs, mac_file, request);
  if (prepared < 0 && prepared != FS_LINK_REFUSED && prepared != UPLOAD_SOURCE_VANISHED &&
      prepared != UPLOAD_CANCELLED) {
    TLOG_ERROR("failed to prepare upload data");
  }
  return prepared;
}

int ProcessUploadResponse(const UploadDirs& dirs, const NUploadRequest& request, const NUploadResponse& response) {
  const WorkItem& item = dirs.m_item;
  const std::string& local_path = item.m_local_path;
  uint32_t code = response.m_error_code;
  if (code == UPLOAD_OK) {
    if (response.m_mtime != request.m_mtime) dirs.m_view.SetTimes(RelativePath(item), response.m_mtime);
    NodeRecord record;
    record.m_node_id = response.m_node_id;
    record.m_parent_id = response.m_parent_id;
    record.m_sync_id = response.m_sync_id;
    record.m_view_id = item.m_entry.m_view_id;
    record.m_attribute = request.IsDir() ? NODE_ATTRIBUTE_DIR : 0;
    record.m_mtime = response.m_mtime;
    record.m_size = request.m_size;
    record.m_hash = request.m_hash;
    record.m_mac_hash = request.m_mac_hash;
    record.m_mode = 0;
    record.m_path = item.m_event.m_path;
    record.m_name = response.m_name;
    if (dirs.m_engine.m_db.UpsertNode(record) < 0) {
      TLOG_ERROR("Failed to commit database for '%s'", local_path.c_str());
      return -1;
    }
    return 0;
  }
  if (code == UPLOAD_RETRY) return -1;
  if (code >= UPLOAD_CONFLICT_FIRST && code <= UPLOAD_CONFLICT_LAST) {
    TLOG_INFO("upload conflict: %u", code);
    int renamed = ConflictRename(dirs.m_view, RelativePath(item), "ADMIN", "Conflict");
    if (renamed == FS_LINK_REFUSED) return renamed;
    if (renamed != 0) {
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

Event PushRemoteRemoval(const UploadDirs& dirs, bool directory) {
  const WorkItem& item = dirs.m_item;
  Event removal;
  removal.m_type = REMOVE_REMOTE;
  removal.m_path = item.m_event.m_path;
  removal.m_view_id = item.m_event.m_view_id;
  if (directory) removal.m_flags |= EVENT_FLAG_DIR;
  dirs.m_engine.m_events.PushEvent(removal);
  return removal;
}

// A new name that differs only by case from a synchronised one still on
// the disk ("a.txt" beside "A.txt"): the server tells names apart without
// regard to case, so it could only take it as the other's version. It is
// kept under a conflict name, which is synchronised in its own right. 1 when
// the name was handled so, 0 when there is no such pair, or a failure.
int KeptApartByCase(const UploadDirs& dirs) {
  const WorkItem& item = dirs.m_item;
  const Event& event = item.m_event;
  if (item.m_other_case == WorkItem::OtherCase::NONE) return 0;
  NodeRecord other;
  if (dirs.m_engine.m_db.GetNodeByOtherCase(event.m_view_id, event.m_path, &other) != 1) return 0;
  FileInfo info;
  if (dirs.m_view.Stat(other.m_path, &info) < 0 || !info.m_exists) return 0;  // renamed by case only
  TLOG_INFO("'%s' differs only by case from the synchronised '%s'", event.m_path.c_str(), other.m_path.c_str());
  int renamed = ConflictRename(dirs.m_view, RelativePath(item), "ADMIN", "Conflict");
  if (renamed == FS_LINK_REFUSED) return renamed;
  if (renamed != 0) {
    TLOG_ERROR("failed to rename conflict '%s'", item.m_local_path.c_str());
    return -1;
  }
  return 1;
}

// A file removed (or replaced by a link or special file) while its upload
// ran has been recorded as present: hand the removal to the server as well.
int CheckAfterUpload(const UploadDirs& dirs, const NUploadRequest& request) {
  const WorkItem& item = dirs.m_item;
  FileInfo info;
  int looked = dirs.m_view.Stat(RelativePath(item), &info);
  if (looked == FS_LINK_REFUSED) return 0;  // a link now: its own event follows
  if (looked < 0) {
    TLOG_ERROR("Failed to get local file info at '%s'.", item.m_local_path.c_str());
    return -1;
  }
  if (info.m_exists && IsSynchronisedKind(info.m_type)) return 0;
  Event removal = PushRemoteRemoval(dirs, request.IsDir());
  TLOG_INFO("File removed during upload progress, add event [%s]", removal.ToString().c_str());
  return 0;
}

int UploadLocalItem(const WorkItem& item, EngineContext& engine) {
  UploadDirs dirs{item, engine, {}, {}};
  const Event& event = item.m_event;
  const std::string& local_path = item.m_local_path;

  // A path that is not a clean absolute path would reach outside the view
  // once joined onto its watch path; no retry can make it usable.
  if (!IsSafeServerPath(event.m_path)) {
    TLOG_ERROR("UploadLocal: refusing unsafe path '%s' of view %llu", event.m_path.c_str(),
               static_cast<unsigned long long>(event.m_view_id));
    return 0;
  }
  if (OpenItemView(item, &dirs.m_view) < 0 || OpenItemWorkDir(item, engine, &dirs.m_work) < 0) return -1;
  TempFile data_file(dirs.m_work.Path());
  TempFile mac_file(dirs.m_work.Path());

  std::string name = event.m_path.substr(event.m_path.rfind('/') + 1);
  if (!name.empty() && (name.front() == ' ' || name.back() == ' ')) {
    int renamed = WhiteSpaceConflictRename(dirs.m_view, event.m_path, name, "ADMIN");
    if (renamed == FS_LINK_REFUSED) return FinishRefusedItem(item, "uploading");
    return renamed == 0 ? 0 : -3;
  }

  TLOG_NOTE("Worker (%d): uploading '%s' start", item.m_task_id, local_path.c_str());
  FileInfo local;
  int looked = dirs.m_view.Stat(event.m_path, &local);
  if (looked == FS_LINK_REFUSED) return FinishRefusedItem(item, "uploading");
  if (looked < 0) {
    TLOG_ERROR("UploadLocal: fail to get file system info for '%s'", local_path.c_str());
    return -1;
  }
  if (!local.m_exists) {
    TLOG_INFO("upload fake event on '%s' (vanish)", local_path.c_str());
    return 0;
  }
  const NodeRecord& record = item.m_record;
  if (record.m_node_id != 0 && (record.m_attribute & NODE_ATTRIBUTE_DIR) != 0 &&
      local.m_type == FILE_TYPE_DIRECTORY) {
    TLOG_INFO("upload fake event on '%s' (existing directory)", local_path.c_str());
    return 0;
  }
  if (local.m_type != FILE_TYPE_REGULAR && local.m_type != FILE_TYPE_DIRECTORY) {
    TLOG_INFO("upload fake event on '%s' (bad type)", local_path.c_str());
    // What was synchronised here became a link or another special file,
    // which is never synchronised: from the server's side it is gone.
    if (record.m_node_id != 0) PushRemoteRemoval(dirs, (record.m_attribute & NODE_ATTRIBUTE_DIR) != 0);
    return 0;
  }

  if (record.m_node_id == 0) {
    int kept = KeptApartByCase(dirs);
    if (kept == FS_LINK_REFUSED) return FinishRefusedItem(item, "uploading");
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
  int prepared = PrepareUploadRequest(dirs, local, &data_file, &mac_file, &request);
  if (prepared == FS_LINK_REFUSED) return FinishRefusedItem(item, "uploading");
  if (prepared == UPLOAD_SOURCE_VANISHED) {
    TLOG_DEBUG("upload fake event on '%s' (vanished before it was copied)", local_path.c_str());
    return 0;
  }
  if (prepared == UPLOAD_CANCELLED) return -1;
  if (prepared < 0) {
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
  int exchanged =
      RunServerExchange(engine.m_pool, SERVER_CMD_UPLOAD, &request, &response, item.m_abort, WORKER_LOG_MODULE);
  if (exchanged == EXCHANGE_CALLED_OFF) return -1;
  if (exchanged < 0) {
    TLOG_ERROR("RunUploadProtocol: %s", "I/O error");
    return -1;
  }
  int processed = ProcessUploadResponse(dirs, request, response);
  if (processed == FS_LINK_REFUSED) return FinishRefusedItem(item, "uploading");
  if (processed < 0) {
    TLOG_ERROR("ProcessUploadResponse");
    return -1;
  }
  // Only an accepted version can have been removed "during" the upload; after
  // a conflict the local file was moved away by us, and asking the server to
  // remove the path would aim at the other side's version.
  if (response.m_error_code == UPLOAD_OK && CheckAfterUpload(dirs, request) < 0) {
    TLOG_ERROR("UploadLocal: Failed to CheckLocalModification.");
  }
  if (response.m_sync_id != request.m_base_sync_id) {
    TLOG_NOTE("Worker (%d): uploading '%s' done", item.m_task_id, local_path.c_str());
  } else {
    TLOG_WARNING("file not modified, this could be a fake event triggered by VarnIndex");
  }
  return 0;
}

}  // namespace

HandlerOutcome UploadLocal(const WorkItem& item, EngineContext& engine) {
  return OutcomeOf(UploadLocalItem(item, engine));
}

}  // namespace tide
