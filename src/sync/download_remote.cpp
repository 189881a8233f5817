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
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/freeze_file.h"
#include "core/logger.h"
#include "filter/filter.h"
#include "fs/conflict_rename.h"
#include "fs/copy_data.h"
#include "fs/temp_file.h"
#include "fs/view_dir.h"
#include "proto/checksum.h"
#include "proto/messages.h"
#include "sync/ad_converter.h"
#include "sync/engine_context.h"
#include "sync/index_notify.h"
#include "sync/removal.h"
#include "sync/server_connection.h"
#include "sync/server_path.h"
#include "sync/view_access.h"
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

// How often a download steps aside for a file made at its path meanwhile
// before it tries again later.
constexpr int PLACE_ATTEMPTS = 3;

// Results of the response steps besides 0 and -1.
constexpr int DOWNLOAD_REFUSED = -2;    // unusable answer: end the event
constexpr int DOWNLOAD_DISK_FULL = -3;  // view frozen: the event goes back
// FS_LINK_REFUSED (a link in the path) also ends the event, said once.

// The folders one download works in, opened once for the whole of it.
struct DownloadDirs {
  const WorkItem& m_item;
  EngineContext& m_engine;
  ViewDir m_view;
  ViewDir m_work;
};

// Full-disk handling: the view stops (its events, this one first, go back to
// the event manager untouched) and catches up on its own once space is back, from the
// global position, through the progress syncer. False when the freeze file
// changed since the worker began without freezing the view (the freeze was
// lifted meanwhile, so the full disk may be over): the event is tried again.
bool FreezeViewForDiskFull(const DownloadDirs& dirs) {
  const WorkItem& item = dirs.m_item;
  EngineContext& engine = dirs.m_engine;
  uint64_t view_id = item.m_entry.m_view_id;
  TLOG_DEBUG("set freeze mod for view_id %llu, worker<%d>", static_cast<unsigned long long>(view_id), item.m_task_id);
  if (!FreezeViewUnlessChanged(view_id, item.m_freeze_seen)) {
    TLOG_INFO("view_id %llu: the freeze file changed while '%s' was copied; trying again",
              static_cast<unsigned long long>(view_id), item.m_event.m_path.c_str());
    return false;
  }
  uint64_t global_sync_id = 0;
  if (engine.m_db.GetGlobalSyncId(&global_sync_id) < 0) {
    TLOG_ERROR("failed to get initial sync id for view %llu... starts from 0", static_cast<unsigned long long>(view_id));
    global_sync_id = 0;
  }
  uint64_t cached = engine.m_progress.GetSyncId(view_id);
  if (cached == 0 || cached > global_sync_id) {
    engine.m_progress.Add(view_id, global_sync_id);
    engine.m_registry.SetAttribute(view_id, VIEW_ATTR_CATCHING_UP, true);
    if (engine.m_db.SetViewProgress(view_id, global_sync_id) < 0) {
      TLOG_CRIT("create progress view failed, view id %llu, sync id %llu", static_cast<unsigned long long>(view_id),
                static_cast<unsigned long long>(global_sync_id));
    }
  }
  return true;
}

// The server's copy of the content, copied into a new temporary file of
// the work folder; `data` stays open on it.
int PrepareDataFile(const DownloadDirs& dirs, const NDownloadResponse& response, TempFile* file, UniqueFd* data) {
  if (file->Create(data) < 0) return -1;
  // The server placed the copy in a folder of its own; a link there is
  // not what it placed.
  UniqueFd in(open(response.m_data_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!in.Valid()) {
    TLOG_ERROR("CopyFile: open(%s): %s (%d)", response.m_data_path.c_str(), strerror(errno), errno);
    return -1;
  }
  // Copied and checked in one pass: what lands in the view is what the
  // server says it sent.
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  if (CopyFileContents(in.Get(), data->Get(), response.m_data_path + " -> " + file->Path(), dirs.m_item.m_abort,
                       digest) == 0) {
    if (response.m_data_hash.empty() || strcasecmp(MD4ToHex(digest).c_str(), response.m_data_hash.c_str()) == 0) {
      return 0;
    }
    TLOG_ERROR("the server's copy '%s' does not match its checksum %s", response.m_data_path.c_str(),
               response.m_data_hash.c_str());
    return -1;
  }
  if ((errno == ENOSPC || errno == EDQUOT) && FreezeViewForDiskFull(dirs)) return DOWNLOAD_DISK_FULL;
  return -1;
}

int PrepareMacAttributeFile(const NDownloadResponse& response, const std::string& tmp_path,
                            const std::string& scratch_dir) {
  int result = 0;
  LockFilter();
  if (response.m_mac_size != 0 && Mac2VarnEAConvert(response.m_mac_data_path, tmp_path, scratch_dir) < 0) {
    TLOG_ERROR("Mac2VarnEAConvert failed.");
    result = -1;
  }
  UnlockFilter();
  return result;
}

// True when the local object must be moved to a conflict name before the
// new version replaces it.
bool CheckLocalModification(const DownloadDirs& dirs, const FileInfo& local, const NDownloadResponse& response) {
  const WorkItem& item = dirs.m_item;
  const std::string& local_path = item.m_local_path;
  const NodeRecord& record = item.m_record;
  if (local.m_type != FILE_TYPE_REGULAR) {
    TLOG_INFO("'%s' is locally modified (not a file)", local_path.c_str());
    return true;
  }
  if (record.m_node_id != 0 && record.m_mtime == static_cast<uint32_t>(local.m_mtime) &&
      record.m_size == local.m_size) {
    TLOG_INFO("'%s' is not modified (mtime and size match)", local_path.c_str());
    return false;
  }
  UniqueFd fd;
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  if (dirs.m_view.OpenExisting(RelativePath(item), O_RDONLY, &fd) < 0) {
    // Gone meanwhile: nothing left to keep.
    TLOG_DEBUG("failed to calculated MD4 for '%s', perhaps it is removed?", local_path.c_str());
    return false;
  }
  if (RSCalcMD4Fd(fd.Get(), digest, item.m_abort) < 0) {
    // Content that could not be read may well be local work: keep it
    // rather than replace it unseen.
    TLOG_WARNING("failed to calculate MD4 for '%s': kept under a conflict name", local_path.c_str());
    return true;
  }
  // A local edit that already equals the incoming version is simply replaced.
  return MD4ToHex(digest) != response.m_data_hash;
}

std::atomic<void (*)()> g_place_hook{nullptr};

// What a file looked like when it was judged, to tell afterwards whether it
// is still the same: the same inode, size and modification time.
bool LookAtFile(const ViewDir& view, const std::string& relative, struct stat* st) {
  UniqueFd parent;
  std::string leaf;
  return view.OpenParent(relative, &parent, &leaf) == 0 &&
         fstatat(parent.Get(), leaf.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// The file the new version was swapped with sits in the work folder under
// `name`. Judged unchanged, it goes with the temporary file; written since
// it was judged, it is local work the server never saw and is kept in the
// view under a conflict name. True when it was kept (or could not be).
bool KeepIfWrittenSince(const DownloadDirs& dirs, const std::string& name, const struct stat* judged) {
  const std::string& relative = RelativePath(dirs.m_item);
  struct stat now;
  if (judged != nullptr && LookAtFile(dirs.m_work, name, &now) && SameFile(*judged, now)) return false;
  TLOG_INFO("'%s' changed while its download was put in place: kept under a conflict name",
            dirs.m_item.m_local_path.c_str());
  int kept = ConflictRenameInto(dirs.m_work, name, dirs.m_view, relative, "ADMIN", "Conflict");
  if (kept != 0) {
    TLOG_ERROR("'%s': the local version the download replaced is left in '%s'", dirs.m_item.m_local_path.c_str(),
               dirs.m_work.PathOf(name).c_str());
  }
  return true;
}

// Moves whatever is in the way of the server's version to a conflict name.
int MoveAside(const DownloadDirs& dirs, const char* who) {
  int renamed = ConflictRename(dirs.m_view, RelativePath(dirs.m_item), "ADMIN", "Conflict");
  if (renamed == FS_LINK_REFUSED) return renamed;
  if (renamed != 0) {
    TLOG_ERROR("%s: fail to rename conflict '%s'", who, dirs.m_item.m_local_path.c_str());
    return -1;
  }
  return 0;
}

// Makes `relative` and the folders above it, announcing each one made.
int MakeDirectoriesNotified(const DownloadDirs& dirs, const std::string& relative, NewOwner owner) {
  const ViewDir& view = dirs.m_view;
  std::vector<std::string> made;
  int result = view.MakeDirectories(relative, owner, &made);
  for (const std::string& directory : made) dirs.m_engine.m_index.Notify(INDEX_ADDED, view.PathOf(directory));
  return result;
}

int ProcessDownloadDirectoryResponse(const DownloadDirs& dirs, const NDownloadResponse& response) {
  const std::string& relative = RelativePath(dirs.m_item);
  FileInfo local;
  int looked = dirs.m_view.Stat(relative, &local);
  if (looked < 0) return looked == FS_LINK_REFUSED ? looked : -1;
  if (local.m_exists && local.m_type != FILE_TYPE_DIRECTORY) {
    // Something else stands where the directory goes: keep it under a
    // conflict name.
    int moved = MoveAside(dirs, "ProcessDownloadDirectoryResponse");
    if (moved < 0) return moved;
  }
  int made =
      MakeDirectoriesNotified(dirs, relative, OwnerForServerVersion(dirs.m_view, response.m_uid, response.m_gid));
  if (made == FS_LINK_REFUSED) return made;
  if (made < 0) {
    TLOG_ERROR("ProcessDownloadDirectoryResponse: fail to create directory '%s'", dirs.m_item.m_local_path.c_str());
    return -1;
  }
  return 0;
}

int ProcessDownloadFileResponse(const DownloadDirs& dirs, const NDownloadResponse& response) {
  TempFile tmp(dirs.m_work.Path());
  UniqueFd data;
  int prepared = PrepareDataFile(dirs, response, &tmp, &data);
  if (prepared == DOWNLOAD_DISK_FULL) return prepared;
  if (prepared < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to prepare data file");
    return -1;
  }
  const std::string tmp_name = tmp.Path().substr(tmp.Path().rfind('/') + 1);
  const std::string& relative = RelativePath(dirs.m_item);
  const std::string& local_path = dirs.m_item.m_local_path;
  // Every way out below that leaves the copy behind also drops the
  // attribute companions it may have got.
  auto fail = [&](int result) {
    dirs.m_work.RemoveFile(tmp_name);
    return result;
  };
  if (PrepareMacAttributeFile(response, tmp.Path(), dirs.m_work.Path()) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to prepare Mac attribute file");
    return fail(-1);
  }
  // Looked at before it is judged: a write after this look shows when the
  // file comes out of its place again.
  struct stat judged;
  const bool judged_known = LookAtFile(dirs.m_view, relative, &judged);
  FileInfo local;
  int looked = dirs.m_view.Stat(relative, &local);
  if (looked == FS_LINK_REFUSED) return fail(looked);
  if (looked < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: failed to get file system info");
    return fail(-1);
  }
  // Unless an unmodified file stands at the path, the path is free once a
  // modified one has moved aside, and the new version must not replace
  // anything that turns up there before it is put in place.
  bool path_free = !local.m_exists;
  if (local.m_exists && CheckLocalModification(dirs, local, response)) {
    int moved = MoveAside(dirs, "ProcessDownloadFileResponse");
    if (moved < 0) return fail(moved);
    path_free = true;
  }
  NewOwner owner = OwnerForServerVersion(dirs.m_view, response.m_uid, response.m_gid);
  // The folder that takes the file is held from here to the end. Most
  // often it exists; only when it does not are it and the folders above
  // it made.
  UniqueFd parent;
  std::string leaf;
  int opened = dirs.m_view.OpenParent(relative, &parent, &leaf);
  if (opened < 0 && opened != FS_LINK_REFUSED && errno == ENOENT) {
    std::string parent_relative = relative.substr(0, relative.rfind('/'));
    int made = MakeDirectoriesNotified(dirs, parent_relative, owner);
    if (made == FS_LINK_REFUSED) return fail(made);
    if (made < 0) {
      TLOG_ERROR("ProcessDownloadFileResponse: fail to create parent directory of '%s'", local_path.c_str());
      return fail(-1);
    }
    opened = dirs.m_view.OpenParent(relative, &parent, &leaf);
  }
  if (opened == FS_LINK_REFUSED) return fail(opened);
  // The new file gets what its owner's programs would give it in that
  // folder (its default ACL, else the creation mask), the server's owner
  // and time stamp; and the old content is replaced only by content that
  // is already on the disk: a crash right after the rename must not leave
  // an empty file.
  struct timespec times[2] = {{static_cast<time_t>(response.m_mtime), 0}, {static_cast<time_t>(response.m_mtime), 0}};
  if (opened < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: fail to open the folder of '%s': %s", local_path.c_str(), strerror(errno));
    return fail(-1);
  }
  ApplyNewObjectPermissions(data.Get(), parent.Get(), false, owner, local_path);
  if (futimens(data.Get(), times) < 0) {
    TLOG_WARNING("ProcessDownloadFileResponse: futimens(%s): %s", tmp.Path().c_str(), strerror(errno));
  }
  if (fsync(data.Get()) < 0) {
    TLOG_ERROR("ProcessDownloadFileResponse: fail to replace original file '%s'", local_path.c_str());
    return fail(-1);
  }
  if (void (*hook)() = g_place_hook.load()) hook();
  // An unchanged file is swapped with the new version, not replaced, so a
  // write that reached it after it was judged is not lost unseen.
  bool exchanged = false;
  int moved = dirs.m_work.MoveWithCompanions(tmp_name, dirs.m_view, relative, owner, path_free,
                                             path_free ? nullptr : &exchanged);
  for (int attempt = 0; moved == FS_TARGET_EXISTS && attempt < PLACE_ATTEMPTS; ++attempt) {
    // Made locally while the copy was prepared (a program saving under
    // that name): local work the server never saw, kept under a conflict
    // name like any other local change the new version meets.
    TLOG_INFO("'%s' was made while its download was prepared: kept under a conflict name", local_path.c_str());
    int aside = MoveAside(dirs, "ProcessDownloadFileResponse");
    if (aside < 0) return fail(aside);
    moved = dirs.m_work.MoveWithCompanions(tmp_name, dirs.m_view, relative, owner, true);
  }
  if (moved == FS_TARGET_EXISTS) {
    TLOG_INFO("'%s' keeps being made anew: its download is tried again later", local_path.c_str());
    return fail(-1);
  }
  if (moved < 0) {
    if (moved != FS_LINK_REFUSED) {
      TLOG_ERROR("ProcessDownloadFileResponse: fail to replace original file '%s'", local_path.c_str());
    }
    return fail(moved);
  }
  // The name now belongs to the local file, or holds the one swapped out:
  // removed with the temporary file unless kept.
  if (!exchanged || KeepIfWrittenSince(dirs, tmp_name, judged_known ? &judged : nullptr)) tmp.SetKeep(true);
  // So that the rename survives a crash.
  if (fsync(parent.Get()) < 0) TLOG_ERROR("fsync(parent of %s): %s", local_path.c_str(), strerror(errno));
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

int RemoveVanished(const DownloadDirs& dirs) {
  const std::string& local_path = dirs.m_item.m_local_path;
  TLOG_INFO("'%s' does not exists on the remote side, remove it anyway", local_path.c_str());
  // What the server no longer has is removed here the way a server
  // deletion is: only when it is what we recorded. A file or a directory
  // holding work the server never saw is kept under a conflict name (the
  // detector offers it again from there).
  return RemoveLocalItem(dirs.m_item, dirs.m_engine);
}

int ProcessDownloadResponse(const DownloadDirs& dirs, const NDownloadResponse& response) {
  const std::string& local_path = dirs.m_item.m_local_path;
  switch (response.m_error_code) {
    case DOWNLOAD_OK:
      break;
    case DOWNLOAD_ERROR:
      TLOG_INFO("error occurs while downloading '%s'", local_path.c_str());
      return -1;
    case DOWNLOAD_NO_ENTRY:
      return RemoveVanished(dirs);
    case DOWNLOAD_NOT_MODIFIED:
      TLOG_INFO("download fake event: '%s'", local_path.c_str());
      return 0;
    default:
      return -1;
  }

  TLOG_DEBUG("download response: data_path = %s, data_hash = %s", response.m_data_path.c_str(),
             response.m_data_hash.c_str());
  if (!ResponsePathsSafe(response)) return DOWNLOAD_REFUSED;
  int result =
      response.IsDir() ? ProcessDownloadDirectoryResponse(dirs, response) : ProcessDownloadFileResponse(dirs, response);
  if (result < 0) return result;

  NodeRecord record;
  record.m_node_id = response.m_node_id;
  record.m_parent_id = response.m_parent_id;
  record.m_sync_id = response.m_sync_id;
  record.m_view_id = dirs.m_item.m_entry.m_view_id;
  record.m_attribute = response.IsDir() ? NODE_ATTRIBUTE_DIR : 0;
  record.m_mtime = response.m_mtime;
  record.m_size = response.m_size;
  record.m_hash = response.m_data_hash;
  record.m_mac_hash = response.m_mac_hash;
  record.m_mode = 0;
  record.m_name = response.m_name;
  record.m_path = response.m_path;
  if (dirs.m_engine.m_db.UpsertNode(record) < 0) {
    TLOG_ERROR("Failed to commit database for '%s'", local_path.c_str());
    return -1;
  }
  return 0;
}

// True when the event also carries a local change (the tree marks a server
// version that met one with the conflict flag) and the file on the disk is
// not the one recorded.
bool LocalChangeMergedIn(const WorkItem& item) {
  const Event& event = item.m_event;
  const NodeRecord& record = item.m_record;
  if ((event.m_flags & EVENT_FLAG_CONFLICT) == 0 || event.IsDir() || record.m_node_id == 0 ||
      (record.m_attribute & NODE_ATTRIBUTE_DIR) != 0) {
    return false;
  }
  ViewDir view;
  FileInfo local;
  if (OpenItemView(item, &view) < 0 || view.Stat(event.m_path, &local) < 0) return false;
  return local.m_exists && local.m_type == FILE_TYPE_REGULAR &&
         (static_cast<uint32_t>(local.m_mtime) != record.m_mtime || local.m_size != record.m_size);
}

int DownloadRemoteItem(const WorkItem& item, EngineContext& engine) {
  DownloadDirs dirs{item, engine, {}, {}};
  const Event& event = item.m_event;
  const std::string& local_path = item.m_local_path;
  TLOG_NOTE("Worker (%d): downloading '%s' start", item.m_task_id, local_path.c_str());

  // The path comes from the server's change stream: joined onto the watch
  // path, a ".." or an empty component would reach outside the view.
  if (!IsSafeServerPath(event.m_path)) {
    TLOG_ERROR("DownloadRemote: refusing unsafe path '%s' of view %llu", event.m_path.c_str(),
               static_cast<unsigned long long>(event.m_view_id));
    return 0;
  }
  const NodeRecord& record = item.m_record;
  if ((event.m_flags & EVENT_FLAG_RESERVED8) == 0 && record.m_sync_id >= event.m_sync_id) {
    if (LocalChangeMergedIn(item)) {
      // A local change merged into this server version (most often while
      // it was being downloaded) has nothing else to carry it: with the
      // version in place the change is an ordinary upload.
      TLOG_INFO("DownloadRemote: '%s' changed locally after its download, uploading it", local_path.c_str());
      return UploadLocal(item, engine) == HandlerOutcome::DONE ? 0 : -1;
    }
    TLOG_INFO("DownloadRemote: ignore fake event of '%s'", local_path.c_str());
    return 0;
  }
  if (OpenItemView(item, &dirs.m_view) < 0 || OpenItemWorkDir(item, engine, &dirs.m_work) < 0) return -1;
  FileInfo local;
  int looked = dirs.m_view.Stat(event.m_path, &local);
  if (looked == FS_LINK_REFUSED) return FinishRefusedItem(item, "downloading");
  if (looked < 0) {
    TLOG_ERROR("Failed to GetFilesystemInfo.");
    return -1;
  }
  bool forced = event.m_sync_id == FORCED_DOWNLOAD_SYNC_ID;
  if (forced && local.m_exists && static_cast<uint32_t>(local.m_mtime) == record.m_mtime &&
      local.m_size == record.m_size) {
    TLOG_INFO("DownloadRemote: Force download but file already exist in local file sysytem.");
    return 0;
  }

  NDownloadRequest request;
  request.m_sync_id = forced ? 0 : record.m_sync_id;
  request.m_view_id = item.m_entry.m_view_id;
  request.m_path = event.m_path;
  request.m_worker_num = item.m_task_id;

  NDownloadResponse response;
  int exchanged =
      RunServerExchange(engine.m_pool, SERVER_CMD_DOWNLOAD, &request, &response, item.m_abort, WORKER_LOG_MODULE);
  if (exchanged == EXCHANGE_CALLED_OFF) return -1;
  if (exchanged < 0) {
    TLOG_ERROR("DownloadRemote: fail to run protocol");
    return -1;
  }
  int processed = ProcessDownloadResponse(dirs, response);
  if (processed == DOWNLOAD_REFUSED) return 0;
  if (processed == DOWNLOAD_DISK_FULL) return processed;
  if (processed == FS_LINK_REFUSED) return FinishRefusedItem(item, "downloading");
  if (processed < 0) {
    TLOG_ERROR("DownloadRemote: fail to process response");
    return -1;
  }
  if (response.m_error_code != DOWNLOAD_OK) return 0;
  engine.m_index.Notify(INDEX_ADDED, local_path);
  TLOG_NOTE("Worker (%d): downloading '%s' done", item.m_task_id, local_path.c_str());
  return 0;
}

}  // namespace

void SetDownloadPlaceHookForTest(void (*hook)()) { g_place_hook.store(hook); }

HandlerOutcome DownloadRemote(const WorkItem& item, EngineContext& engine) {
  int result = DownloadRemoteItem(item, engine);
  if (result == DOWNLOAD_DISK_FULL) return HandlerOutcome::GIVE_BACK;
  return OutcomeOf(result);
}

}  // namespace tide
