#include "detect/detector_steps.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/client_config.h"
#include "core/logger.h"
#include "fs/view_dir.h"
#include "fs/work_dir.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "proto/ipc.h"
#include "proto/pobject.h"

// Like the TLOG_* macros, with the module tag of the calling detector.
#define DETECTOR_LOG(level, level_name, fmt, ...)                                                               \
  do {                                                                                                          \
    static ::tide::LogSite tide_log_site_;                                                                      \
    if (::tide::Logger::Enabled(tide_log_site_, level, "detector_debug"))                                       \
      ::tide::Logger::Log(level, "detector_debug", "[" level_name "] %s(%d): " fmt "\n", tag,                   \
                          __LINE__ __VA_OPT__(, ) __VA_ARGS__);                                                 \
  } while (0)
#define STEP_ERROR(fmt, ...) DETECTOR_LOG(::tide::LOG_LEVEL_ERROR, "ERROR", fmt __VA_OPT__(, ) __VA_ARGS__)
#define STEP_DEBUG(fmt, ...) DETECTOR_LOG(::tide::LOG_LEVEL_DEBUG, "DEBUG", fmt __VA_OPT__(, ) __VA_ARGS__)

namespace tide {
namespace {

using ull = unsigned long long;

constexpr const char* EA_DIR_NAME = "@eaDir";
constexpr const char* EA_STREAM_SUFFIX = "@VarnEAStream";
constexpr const char* EA_RESOURCE_SUFFIX = "@VarnResource";
// The user-database handler's "action" values for a vanished folder.
constexpr int32_t ACTION_SHARE_REMOVED = 3;
constexpr int32_t ACTION_USER_REMOVED = 2;

}  // namespace

int MakeDetectorDirectory(const char* tag, const std::string& dir) {
  // Only ever inside the daemon's own work folder, which nobody else may see into.
  if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) return 0;
  STEP_ERROR("mkdir(%s): %s (%d).", dir.c_str(), strerror(errno), errno);
  return -1;
}

int MakeWorkingDirectory(const char* tag, const std::string& path, const std::string& volume_prefix,
                         std::string* work_dir) {
  // "<prefix>N/<something>": only the volume number counts.
  int volume = -1;
  if (path.compare(0, volume_prefix.size(), volume_prefix) == 0) {
    size_t pos = volume_prefix.size();
    size_t digits = 0;
    long number = 0;
    while (pos + digits < path.size() && isdigit(static_cast<unsigned char>(path[pos + digits])) && digits < 9) {
      number = number * 10 + (path[pos + digits] - '0');
      ++digits;
    }
    pos += digits;
    if (digits > 0 && pos + 1 < path.size() && path[pos] == '/') volume = static_cast<int>(number);
  }
  if (volume < 0) {
    STEP_ERROR("Invalid path: %s", path.c_str());
    return -1;
  }
  *work_dir = WorkDirPath(volume_prefix + std::to_string(volume), CurrentVolumeLayout().m_work_dir_name);
  ViewDir held;
  return OpenWorkDir(*work_dir, &held) < 0 ? -1 : 0;
}

bool IsHardLinkCreation(const char* tag, const std::string& absolute) {
  struct stat st;
  if (lstat(absolute.c_str(), &st) < 0) {
    // A file gone before its creation is looked at is how temporary files
    // of editors, rsync and git live: nothing to report.
    if (errno == ENOENT || errno == ENOTDIR) {
      STEP_DEBUG("stat '%s' failed: %s", absolute.c_str(), strerror(errno));
    } else {
      STEP_ERROR("stat '%s' failed: %s", absolute.c_str(), strerror(errno));
    }
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink <= 1) {
    STEP_DEBUG("'%s' create event need not handle", absolute.c_str());
    return false;
  }
  STEP_DEBUG("'%s' could be created by hard link", absolute.c_str());
  return true;
}

bool IsNeedlessEvent(const char* tag, const Event& event, const std::string& view_path) {
  NodeRecord record;
  int found = NativeClientDb::Instance().GetNodeByPath(event.m_view_id, event.m_path, &record);
  if (event.m_type == REMOVE_REMOTE) {
    if (found == 0) {
      STEP_DEBUG("Can't find record of deleted event in NCDB [%s].", event.m_path.c_str());
      return true;
    }
    return false;  // a database error must not lose a deletion
  }
  if (found != 1) return false;
  RegistryEntry entry;
  if (!Registry::Instance().GetByViewId(event.m_view_id, &entry)) {
    STEP_DEBUG("Cannot found registry for view %llu.", static_cast<ull>(event.m_view_id));
    return false;
  }
  struct stat st;
  std::string absolute = view_path + event.m_path;
  if (stat(absolute.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) return false;
  if (record.m_attribute & NODE_ATTRIBUTE_DIR) return false;
  if (static_cast<uint32_t>(st.st_mtime) != record.m_mtime || static_cast<uint64_t>(st.st_size) != record.m_size) {
    return false;
  }
  STEP_DEBUG("mtime and file size not change, skipping... [%s].", event.m_path.c_str());
  return true;
}

void RedirectCompanion(const char* tag, Event* event, const ViewPathLookup& view_path) {
  const std::string& path = event->m_path;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  size_t at = name.rfind('@');
  if (at == std::string::npos) {
    STEP_DEBUG("filename not have [@]");
    return;
  }
  std::string suffix = name.substr(at);
  if (suffix != EA_STREAM_SUFFIX && suffix != EA_RESOURCE_SUFFIX) {
    STEP_DEBUG("stream_type not match");
    return;
  }
  size_t dir_slash = dir.rfind('/');
  if (dir_slash == std::string::npos || dir.compare(dir_slash + 1, std::string::npos, EA_DIR_NAME) != 0) {
    STEP_DEBUG("eaDir not match");
    return;
  }
  std::string root;
  if (!view_path(event->m_view_id, &root)) return;
  // The master file sits beside "@eaDir", named by what precedes the "@".
  std::string master = dir.substr(0, dir_slash) + "/" + name.substr(0, at);
  std::string absolute = root + master;
  struct stat st;
  if (at == 0 || lstat(absolute.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) {
    STEP_DEBUG("Master file not exist '%s'", absolute.c_str());
    return;
  }
  STEP_DEBUG("it is Varn EA event!!");
  event->m_path = master;
  event->m_type = UPLOAD_LOCAL;
}

void PushWithRenameSplit(const char* tag, Event event, const ViewPathLookup& view_path,
                         const std::function<void(const Event&)>& deliver) {
  STEP_DEBUG("PushEvent: %s at %llu", event.m_path.c_str(), static_cast<ull>(event.m_view_id));
  RedirectCompanion(tag, &event, view_path);
  if (event.m_type != RENAME_REMOTE) {
    deliver(event);
    return;
  }
  Event removal = event;
  removal.m_type = REMOVE_REMOTE;
  removal.m_new_path.clear();
  event.m_type = UPLOAD_LOCAL;
  event.m_path = event.m_new_path;
  event.m_new_path.clear();
  RedirectCompanion(tag, &removal, view_path);
  RedirectCompanion(tag, &event, view_path);
  deliver(removal);
  deliver(event);
}

void DeliverToEventManager(const Event& event) {
  EventManager& manager = EventManager::GetInstance();
  switch (event.m_type) {
    case EXPAND:
      manager.PushExpandEvent(event.m_view_id, event.m_path);
      break;
    case RESCAN_MERGE:
    case RESCAN_SYNC:
      manager.PushRescanEvent(event.m_view_id, event.m_path, event.m_type == RESCAN_MERGE);
      break;
    default:
      manager.PushEvent(event);
      break;
  }
}

int WithdrawView(const char* tag, uint64_t view_id, const std::string& handler_socket,
                 const std::function<void(uint64_t)>& forget) {
  RegistryEntry entry;
  if (!Registry::Instance().GetByViewId(view_id, &entry)) {
    STEP_DEBUG("view_id %llu is removed", static_cast<ull>(view_id));
    return -1;
  }
  PObject request;
  request["action"] = PObject(entry.IsShare() ? ACTION_SHARE_REMOVED : ACTION_USER_REMOVED);
  request["user_name"] = PObject(entry.m_name);
  request["user_type"] = PObject(int32_t{0});
  IPCSender sender;
  if (sender.Connect(handler_socket) < 0) {
    STEP_ERROR("Failed to connect to server");
    return -1;
  }
  PObject reply;
  if (sender.Request(request, true, &reply) < 0) {
    STEP_ERROR("Failed to send message to server");
    return -1;
  }
  STEP_DEBUG("NotifyWatchRemoved: >>> %s", request.ToString().c_str());
  STEP_DEBUG("NotifyWatchRemoved: <<< %s", reply.ToString().c_str());
  if (forget) forget(view_id);
  return 0;
}

}  // namespace tide
