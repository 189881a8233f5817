#define TIDE_LOG_TAG "detector-native"
#define TIDE_LOG_COMPONENT "detector_debug"
#include "detect/detector.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/client_config.h"
#include "proto/ipc.h"
#include "core/logger.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "proto/pobject.h"

namespace tide {
namespace {

using ull = unsigned long long;

static_assert(DETECTOR_WATCH_MASK == (IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                      IN_DELETE_SELF | IN_MOVE_SELF));

constexpr int WAIT_MILLISECONDS = 1000;
constexpr uint32_t TYPE_MASK = 0xFFFF;
constexpr const char* EA_DIR_NAME = "@eaDir";
constexpr const char* EA_STREAM_SUFFIX = "@VarnEAStream";
constexpr const char* EA_RESOURCE_SUFFIX = "@VarnResource";
// The user-database handler's "action" values for a vanished folder.
constexpr int32_t ACTION_SHARE_REMOVED = 3;
constexpr int32_t ACTION_USER_REMOVED = 2;

int MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return 0;
  TLOG_ERROR("mkdir(%s): %s (%d).", path.c_str(), strerror(errno), errno);
  return -1;
}

}  // namespace

Detector::Detector(uint32_t context1, uint32_t context2) : Task(context1, context2), m_tree(DETECTOR_WATCH_MASK) {}

// The owner stops and joins the task before destroying it; the watch tree
// then releases every watch.
Detector::~Detector() = default;

void Detector::Run() {
  TLOG_DEBUG("Detector start working");
  for (;;) {
    int state = GetState();
    if (state == TASK_STOPPED) break;
    if (state == TASK_PAUSED) {
      sleep(1);
      continue;
    }
    RunOnce();
  }
  TLOG_DEBUG("Detector stop working");
}

int Detector::RunOnce() {
  bool buffered;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    buffered = m_tree.HasBufferedEvents();
  }
  // The wait happens without the mutex, so that registration is never held
  // up by a quiet queue; the descriptor itself never changes.
  bool readable = buffered;
  if (!buffered) {
    struct pollfd fd = {m_tree.Descriptor(), POLLIN, 0};
    int ready = poll(&fd, 1, WAIT_MILLISECONDS);
    if (ready < 0 && errno != EINTR) TLOG_ERROR("poll: %s (%d)", strerror(errno), errno);
    readable = ready > 0;
  }
  std::vector<uint64_t> withdrawn;
  int handled = 0;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    InotifyEvent raw;
    if (!readable) {
      // The queue went quiet: a move whose other half has not come left
      // the watched area.
      FlushPendingMoves();
    } else if (m_tree.GetEvent(&raw) == 1) {
      Handle(raw, &withdrawn);
      handled = 1;
    }
  }
  // Telling the user-database handler may take a while; no lock is needed.
  for (uint64_t view_id : withdrawn) NotifyWatchRemoved(view_id);
  return handled;
}

int Detector::AddWatch(const std::string& path, uint64_t view_id) {
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) {
    TLOG_ERROR("lstat(%s): %s (%d)", path.c_str(), strerror(errno), errno);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    TLOG_ERROR("'%s' is not a directory", path.c_str());
    return -1;
  }
  std::lock_guard<std::mutex> guard(m_mutex);
  SetUpWorkingDirectory(path);
  int root_id = m_tree.AddRoot(path);
  if (root_id < 0) return root_id;
  m_root_to_view[root_id] = view_id;
  m_view_to_root[view_id] = root_id;
  m_root_paths[root_id] = path;
  return root_id;
}

int Detector::RemoveWatch(uint64_t view_id) {
  std::lock_guard<std::mutex> guard(m_mutex);
  auto it = m_view_to_root.find(view_id);
  if (it == m_view_to_root.end()) {
    TLOG_ERROR("no such watch (view_id %llu", static_cast<ull>(view_id));
    return -1;
  }
  int root_id = it->second;
  m_tree.RemoveRoot(root_id);
  m_view_to_root.erase(it);
  m_root_to_view.erase(root_id);
  m_root_paths.erase(root_id);
  return 0;
}

int Detector::SetUpWorkingDirectory(const std::string& path) {
  // "<prefix>N/<something>": only the volume number counts.
  int volume = -1;
  const std::string& prefix = m_volume_prefix;
  if (path.compare(0, prefix.size(), prefix) == 0) {
    size_t pos = prefix.size();
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
    TLOG_ERROR("Invalid path: %s", path.c_str());
    return -1;
  }
  std::string tmp = prefix + std::to_string(volume) + "/@tmp";
  if (MakeDirectory(tmp) < 0) return -1;
  std::string work_dir = tmp + "/" + ClientConfig::Instance().m_work_dir_name;
  if (MakeDirectory(work_dir) < 0) return -1;
  int root_id = m_tree.AddRoot(work_dir);
  if (root_id < 0) {
    TLOG_ERROR("Failed to add watch at .");
    return -1;
  }
  m_work_dir_roots.insert(root_id);
  m_root_paths[root_id] = work_dir;
  TLOG_INFO("Tidewell workingDir add watch at [%s].", work_dir.c_str());
  return MakeDirectory(work_dir + "/" + EA_DIR_NAME);
}

void Detector::Handle(const InotifyEvent& raw, std::vector<uint64_t>* withdrawn) {
  TLOG_DEBUG("%s", raw.ToString().c_str());
  Event event;
  if (Translate(raw, &event, withdrawn) == 0) return;
  uint32_t type = raw.m_mask & TYPE_MASK;
  // A rename is queued as an upload of its new path.
  std::string path = event.m_type == RENAME_REMOTE ? event.m_new_path : event.m_path;
  bool dir = event.IsDir();
  uint64_t view_id = event.m_view_id;
  PushLocked(std::move(event));
  if (dir && (type == IN_MOVED_TO || type == IN_CREATE)) {
    // What was put inside before the new directory got its watches is
    // found by walking it.
    Event expand;
    expand.m_type = EXPAND;
    expand.m_path = path;
    expand.m_view_id = view_id;
    expand.m_flags = EVENT_FLAG_DIR;
    Deliver(expand);
  }
}

int Detector::Translate(const InotifyEvent& raw, Event* event, std::vector<uint64_t>* withdrawn) {
  if (raw.m_mask & IN_Q_OVERFLOW) {
    HandleOverflow();
    return 0;
  }
  uint32_t type = raw.m_mask & TYPE_MASK;
  std::string path = raw.FullPath();
  if (path == "/") {
    if (type != IN_MOVE_SELF && type != IN_DELETE_SELF) return 0;
    ForgetRoot(raw.m_root_id, withdrawn);
    return 0;
  }

  switch (type) {
    case IN_CLOSE_WRITE:
    case IN_CREATE:
      event->m_type = UPLOAD_LOCAL;
      event->m_path = path;
      break;
    case IN_DELETE:
      event->m_type = REMOVE_REMOTE;
      event->m_path = path;
      break;
    case IN_MOVED_FROM:
      m_pending_moves[raw.m_cookie] = raw;
      return 0;
    case IN_MOVED_TO: {
      auto from = m_pending_moves.find(raw.m_cookie);
      if (from == m_pending_moves.end()) {  // moved in from outside
        event->m_type = UPLOAD_LOCAL;
        event->m_path = path;
      } else if (from->second.m_root_id == raw.m_root_id) {
        event->m_type = RENAME_REMOTE;
        event->m_path = from->second.FullPath();
        event->m_new_path = path;
        m_pending_moves.erase(from);
      } else if (m_work_dir_roots.count(from->second.m_root_id)) {
        // The daemon put one of its own temporary files in place.
        TLOG_DEBUG("This event comes from working directory.skipping ...");
        m_pending_moves.erase(from);
        return 0;
      } else {
        // From another view: the old path's removal follows when the
        // pending moves are flushed.
        event->m_type = UPLOAD_LOCAL;
        event->m_path = path;
      }
      break;
    }
    default:
      return 0;
  }

  auto view = m_root_to_view.find(raw.m_root_id);
  if (view == m_root_to_view.end()) return 0;  // the working directory, or a root just removed

  if (type == IN_CREATE && !(raw.m_mask & IN_ISDIR)) {
    // A new file is handled when it is closed; only a new name for an
    // existing file (a hard link) has no close to wait for.
    auto root = m_root_paths.find(raw.m_root_id);
    if (root == m_root_paths.end()) {
      TLOG_ERROR("can't find root path cache by root id %d", raw.m_root_id);
      return 0;
    }
    std::string absolute = root->second + path;
    struct stat st;
    if (lstat(absolute.c_str(), &st) < 0) {
      TLOG_ERROR("stat '%s' failed: %s", absolute.c_str(), strerror(errno));
      return 0;
    }
    if (!S_ISREG(st.st_mode) || st.st_nlink <= 1) {
      TLOG_DEBUG("'%s' create event need not handle", absolute.c_str());
      return 0;
    }
    TLOG_DEBUG("'%s' could be created by hard link", absolute.c_str());
  }

  if (raw.m_mask & IN_ISDIR) event->m_flags = EVENT_FLAG_DIR;
  event->m_view_id = view->second;

  if ((type == IN_CLOSE_WRITE || type == IN_DELETE) && IsNeedless(*event)) return 0;
  return 1;
}

bool Detector::IsNeedless(const Event& event) {
  NodeRecord record;
  int found = NativeClientDb::Instance().GetNodeByPath(event.m_view_id, event.m_path, &record);
  if (event.m_type == REMOVE_REMOTE) {
    if (found == 0) {
      TLOG_DEBUG("Can't find record of deleted event in NCDB [%s].", event.m_path.c_str());
      return true;
    }
    return false;  // a database error must not lose a deletion
  }
  if (found != 1) return false;
  RegistryEntry entry;
  if (!Registry::Instance().GetByViewId(event.m_view_id, &entry)) {
    TLOG_DEBUG("Cannot found registry for view %llu.", static_cast<ull>(event.m_view_id));
    return false;
  }
  struct stat st;
  // The folder the view is watched at (the same as the registry's path).
  auto root = m_view_to_root.find(event.m_view_id);
  auto root_path = root == m_view_to_root.end() ? m_root_paths.end() : m_root_paths.find(root->second);
  if (root_path == m_root_paths.end()) return false;
  std::string absolute = root_path->second + event.m_path;
  if (stat(absolute.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) return false;
  if (record.m_attribute & NODE_ATTRIBUTE_DIR) return false;
  if (static_cast<uint32_t>(st.st_mtime) != record.m_mtime || static_cast<uint64_t>(st.st_size) != record.m_size) {
    return false;
  }
  TLOG_DEBUG("mtime and file size not change, skipping... [%s].", event.m_path.c_str());
  return true;
}

void Detector::HandleOverflow() {
  TLOG_NOTE("Event queue overflow, rescan watch");
  m_pending_moves.clear();
  for (const auto& [root_id, view_id] : m_root_to_view) {
    Event rescan;
    rescan.m_type = RESCAN_SYNC;
    rescan.m_path = "/";
    rescan.m_view_id = view_id;
    rescan.m_flags = EVENT_FLAG_DIR;
    Deliver(rescan);
  }
}

void Detector::ForgetRoot(int root_id, std::vector<uint64_t>* withdrawn) {
  // The tree has already dropped a deleted root; a moved one is dropped here.
  m_tree.RemoveRoot(root_id);
  m_root_paths.erase(root_id);
  if (m_work_dir_roots.erase(root_id)) {
    // Set up again by the next registration on this volume.
    TLOG_NOTE("working directory watch (%d) is gone", root_id);
    return;
  }
  auto view = m_root_to_view.find(root_id);
  if (view == m_root_to_view.end()) return;
  uint64_t view_id = view->second;
  TLOG_NOTE("watch root (%llu) is changed", static_cast<ull>(view_id));
  m_root_to_view.erase(view);
  m_view_to_root.erase(view_id);
  withdrawn->push_back(view_id);
}

void Detector::FlushPendingMoves() {
  for (const auto& [cookie, raw] : m_pending_moves) {
    auto view = m_root_to_view.find(raw.m_root_id);
    if (view == m_root_to_view.end()) {
      // Out of the working directory, or of a view no longer watched:
      // nothing on the server to remove.
      TLOG_DEBUG("pending move of '%s' has no view, dropped", raw.FullPath().c_str());
      continue;
    }
    Event removal;
    removal.m_type = REMOVE_REMOTE;
    removal.m_path = raw.FullPath();
    removal.m_view_id = view->second;
    if (raw.m_mask & IN_ISDIR) removal.m_flags = EVENT_FLAG_DIR;
    Deliver(removal);
  }
  m_pending_moves.clear();
}

void Detector::PushEvent(const Event& event) {
  std::lock_guard<std::mutex> guard(m_mutex);
  PushLocked(event);
}

void Detector::PushLocked(Event event) {
  TLOG_DEBUG("PushEvent: %s at %llu", event.m_path.c_str(), static_cast<ull>(event.m_view_id));
  RedirectCompanion(&event);
  if (event.m_type != RENAME_REMOTE) {
    Deliver(event);
    return;
  }
  Event removal = event;
  removal.m_type = REMOVE_REMOTE;
  removal.m_new_path.clear();
  event.m_type = UPLOAD_LOCAL;
  event.m_path = event.m_new_path;
  event.m_new_path.clear();
  RedirectCompanion(&removal);
  RedirectCompanion(&event);
  Deliver(removal);
  Deliver(event);
}

void Detector::RedirectCompanion(Event* event) {
  const std::string& path = event->m_path;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return;
  std::string dir = path.substr(0, slash);
  std::string name = path.substr(slash + 1);
  size_t at = name.rfind('@');
  if (at == std::string::npos) {
    TLOG_DEBUG("filename not have [@]");
    return;
  }
  std::string suffix = name.substr(at);
  if (suffix != EA_STREAM_SUFFIX && suffix != EA_RESOURCE_SUFFIX) {
    TLOG_DEBUG("stream_type not match");
    return;
  }
  size_t dir_slash = dir.rfind('/');
  if (dir_slash == std::string::npos || dir.compare(dir_slash + 1, std::string::npos, EA_DIR_NAME) != 0) {
    TLOG_DEBUG("eaDir not match");
    return;
  }
  auto root = m_view_to_root.find(event->m_view_id);
  if (root == m_view_to_root.end()) {
    TLOG_ERROR("no such watch (view_id %llu", static_cast<ull>(event->m_view_id));
    return;
  }
  auto root_path = m_root_paths.find(root->second);
  if (root_path == m_root_paths.end()) {
    TLOG_ERROR("can't find root path cache by root id %d", root->second);
    return;
  }
  // The master file sits beside "@eaDir", named by what precedes the "@".
  std::string master = dir.substr(0, dir_slash) + "/" + name.substr(0, at);
  std::string absolute = root_path->second + master;
  struct stat st;
  if (at == 0 || lstat(absolute.c_str(), &st) < 0 || !S_ISREG(st.st_mode)) {
    TLOG_DEBUG("Master file not exist '%s'", absolute.c_str());
    return;
  }
  TLOG_DEBUG("it is Varn EA event!!");
  event->m_path = master;
  event->m_type = UPLOAD_LOCAL;
}

void Detector::Deliver(const Event& event) {
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

int Detector::NotifyWatchRemoved(uint64_t view_id) {
  RegistryEntry entry;
  if (!Registry::Instance().GetByViewId(view_id, &entry)) {
    TLOG_DEBUG("view_id %llu is removed", static_cast<ull>(view_id));
    return -1;
  }
  PObject request;
  request["action"] = PObject(entry.IsShare() ? ACTION_SHARE_REMOVED : ACTION_USER_REMOVED);
  request["user_name"] = PObject(entry.m_name);
  request["user_type"] = PObject(int32_t{0});
  IPCSender sender;
  if (sender.Connect(m_handler_socket) < 0) {
    TLOG_ERROR("Failed to connect to server");
    return -1;
  }
  PObject reply;
  if (sender.Request(request, true, &reply) < 0) {
    TLOG_ERROR("Failed to send message to server");
    return -1;
  }
  TLOG_DEBUG("NotifyWatchRemoved: >>> %s", request.ToString().c_str());
  TLOG_DEBUG("NotifyWatchRemoved: <<< %s", reply.ToString().c_str());
  if (m_on_view_withdrawn) m_on_view_withdrawn(view_id);
  return 0;
}

int Detector::RootOfView(uint64_t view_id) {
  std::lock_guard<std::mutex> guard(m_mutex);
  auto it = m_view_to_root.find(view_id);
  return it == m_view_to_root.end() ? -1 : it->second;
}

std::set<int> Detector::WorkingDirectoryRoots() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_work_dir_roots;
}

std::map<int, std::vector<std::string>> Detector::WatchedPaths() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_tree.WatchedPaths();
}

size_t Detector::PendingMoveCount() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_pending_moves.size();
}

}  // namespace tide
