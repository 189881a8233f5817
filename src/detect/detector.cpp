#define TIDE_LOG_TAG "detector-native"
#define TIDE_LOG_COMPONENT "detector_debug"
#include "detect/detector.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"
#include "detect/detector_steps.h"

namespace tide {
namespace {

using ull = unsigned long long;

static_assert(DETECTOR_WATCH_MASK == (IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE |
                                      IN_DELETE_SELF | IN_MOVE_SELF));

constexpr int WAIT_MILLISECONDS = 1000;
constexpr uint32_t TYPE_MASK = 0xFFFF;
constexpr const char* TAG = TIDE_LOG_TAG;
constexpr const char* EA_DIR_NAME = "@eaDir";

}  // namespace

Detector::Detector(uint32_t context1, uint32_t context2)
    : Task(context1, context2), m_tree(DETECTOR_WATCH_MASK), m_inotify_fd(m_tree.Descriptor()) {
  SetThreadName("detector");
}

// The owner stops and joins the task before destroying it; the watch tree
// then releases every watch.
Detector::~Detector() = default;

void Detector::OnRunStart() { TLOG_DEBUG("Detector start working"); }

void Detector::OnRunEnd() { TLOG_DEBUG("Detector stop working"); }

TaskStep Detector::RunOnce() {
  bool buffered;
  {
    MutexLock guard(&m_mutex);
    buffered = m_tree.HasBufferedEvents();
  }
  // The wait happens without the mutex, so that registration is never held
  // up by a quiet queue; the descriptor itself never changes.
  bool readable = buffered;
  if (!buffered) {
    struct pollfd fd = {m_inotify_fd, POLLIN, 0};
    int ready = poll(&fd, 1, WAIT_MILLISECONDS);
    if (ready < 0 && errno != EINTR) TLOG_ERROR("poll: %s (%d)", strerror(errno), errno);
    readable = ready > 0;
  }
  std::vector<uint64_t> withdrawn;
  int handled = DETECTOR_PASS_QUIET;
  {
    MutexLock guard(&m_mutex);
    InotifyEvent raw;
    if (!readable) {
      // The queue went quiet: a move whose other half has not come left
      // the watched area.
      FlushPendingMoves();
    } else if (m_tree.GetEvent(&raw) == 1) {
      Handle(raw, &withdrawn);
      handled = DETECTOR_PASS_HANDLED;
    }
  }
  // Telling the user-database handler may take a while; no lock is needed.
  for (uint64_t view_id : withdrawn) NotifyWatchRemoved(view_id);
  return TaskStep::GoOn(handled);
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
  MutexLock guard(&m_mutex);
  SetUpWorkingDirectory(path);
  int root_id = m_tree.AddRoot(path);
  if (root_id < 0) return root_id;
  m_root_to_view[root_id] = view_id;
  m_view_to_root[view_id] = root_id;
  m_root_paths[root_id] = path;
  return root_id;
}

int Detector::RemoveWatch(uint64_t view_id) {
  MutexLock guard(&m_mutex);
  auto it = m_view_to_root.find(view_id);
  if (it == m_view_to_root.end()) {
    TLOG_ERROR("no such watch (view_id %llu)", static_cast<ull>(view_id));
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
  std::string work_dir;
  if (MakeWorkingDirectory(TAG, path, m_volume_prefix, &work_dir) < 0) return -1;
  int root_id = m_tree.AddRoot(work_dir);
  if (root_id < 0) {
    TLOG_ERROR("Failed to add watch at .");
    return -1;
  }
  m_work_dir_roots.insert(root_id);
  m_root_paths[root_id] = work_dir;
  TLOG_INFO("Tidewell workingDir add watch at [%s].", work_dir.c_str());
  return MakeDetectorDirectory(TAG, work_dir + "/" + EA_DIR_NAME);
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
    if (!IsHardLinkCreation(TAG, root->second + path)) return 0;
  }

  if (raw.m_mask & IN_ISDIR) event->m_flags = EVENT_FLAG_DIR;
  event->m_view_id = view->second;

  if ((type == IN_CLOSE_WRITE || type == IN_DELETE) && IsNeedless(*event)) return 0;
  return 1;
}

bool Detector::IsNeedless(const Event& event) {
  // The folder the view is watched at (the same as the registry's path).
  auto root = m_view_to_root.find(event.m_view_id);
  auto root_path = root == m_view_to_root.end() ? m_root_paths.end() : m_root_paths.find(root->second);
  if (root_path == m_root_paths.end()) return false;
  return IsNeedlessEvent(TAG, event, root_path->second);
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
  MutexLock guard(&m_mutex);
  PushLocked(event);
}

void Detector::PushLocked(Event event) {
  PushWithRenameSplit(
      TAG, std::move(event),
      [this](uint64_t view_id, std::string* path) {
        m_mutex.AssertHeld();  // called back within PushLocked
        return ViewPath(view_id, path);
      },
      [this](const Event& e) { Deliver(e); });
}

bool Detector::ViewPath(uint64_t view_id, std::string* path) {
  auto root = m_view_to_root.find(view_id);
  if (root == m_view_to_root.end()) {
    TLOG_ERROR("no such watch (view_id %llu)", static_cast<ull>(view_id));
    return false;
  }
  auto root_path = m_root_paths.find(root->second);
  if (root_path == m_root_paths.end()) {
    TLOG_ERROR("can't find root path cache by root id %d", root->second);
    return false;
  }
  *path = root_path->second;
  return true;
}

void Detector::Deliver(const Event& event) { DeliverToEventManager(event); }

int Detector::NotifyWatchRemoved(uint64_t view_id) {
  return WithdrawView(TAG, view_id, m_handler_socket, m_on_view_withdrawn);
}

int Detector::RootOfView(uint64_t view_id) {
  MutexLock guard(&m_mutex);
  auto it = m_view_to_root.find(view_id);
  return it == m_view_to_root.end() ? -1 : it->second;
}

std::set<int> Detector::WorkingDirectoryRoots() {
  MutexLock guard(&m_mutex);
  return m_work_dir_roots;
}

std::map<int, std::vector<std::string>> Detector::WatchedPaths() {
  MutexLock guard(&m_mutex);
  return m_tree.WatchedPaths();
}

size_t Detector::PendingMoveCount() {
  MutexLock guard(&m_mutex);
  return m_pending_moves.size();
}

}  // namespace tide
