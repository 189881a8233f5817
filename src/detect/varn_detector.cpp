#define TIDE_LOG_TAG "detector-native-varn"
#define TIDE_LOG_COMPONENT "detector_debug"
#include "detect/varn_detector.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "core/client_config.h"
#include "core/logger.h"
#include "fs/work_dir.h"
#include "detect/detector_steps.h"

namespace tide {
namespace {

using ull = unsigned long long;

constexpr const char* TAG = TIDE_LOG_TAG;
constexpr const char* EA_DIR_NAME = "@eaDir";
constexpr int WAIT_MILLISECONDS = 1000;
// How long the detector lets notifications gather once the volume stirs.
// A program writing many files makes one notification after another; read
// one at a time, each costs a wake-up, a poll and a read, and the kernel
// cannot merge the create, write and delete of a short-lived file into one.
// A few milliseconds of delay before a change is seen are nothing to a
// synchronisation, and they take most of the detector's cost away.
constexpr useconds_t GATHER_MICROSECONDS = 5000;
// Never a view id: what a caller that lost a view's id passes.
constexpr uint64_t INVALID_VIEW_ID = 0xFFFFFFFFull;

static_assert(VARN_WATCH_MASK == (IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_CREATE | IN_DELETE));

bool LacksCall(int error) { return error == ENOSYS || error == EOPNOTSUPP; }

}  // namespace

VARNDetector::VARNDetector(uint32_t context1, uint32_t context2, const VarnotifyCalls& calls)
    : Task(context1, context2),
      m_calls(calls),
      m_fd(calls.m_init(1)),
      m_buffer(VARN_READ_BUFFER_SIZE),
      m_handler_socket(USER_DB_HANDLER_SOCKET) {
  if (m_fd < 0) TLOG_ERROR("varnotify_init error: %s", strerror(errno));
  SetThreadName("detector");
}

// The owner stops and joins the task before destroying it.
VARNDetector::~VARNDetector() {
  if (m_fd >= 0) m_calls.m_close(m_fd);
}

void VARNDetector::OnRunStart() { TLOG_DEBUG("Detector start working"); }

void VARNDetector::OnRunEnd() { TLOG_DEBUG("Detector stop working"); }

int VARNDetector::FillBuffer() {
  long got = m_calls.m_read(m_fd, m_buffer.data(), m_buffer.size());
  if (got < 0) {
    if (errno != EAGAIN && errno != EINTR) TLOG_ERROR("read: %s (%d)", strerror(errno), errno);
    return 0;
  }
  m_read_pos = 0;
  m_unread = static_cast<size_t>(got);
  return m_unread > 0 ? 1 : 0;
}

TaskStep VARNDetector::RunOnce() {
  // Without a descriptor nothing will ever come; the task only rests and
  // keeps answering stop and pause.
  if (m_fd < 0) return TaskStep::Rest(1, DETECTOR_PASS_QUIET);
  bool have;
  {
    MutexLock guard(&m_mutex);
    // Records already converted may be waiting without the descriptor
    // signalling anything: read before waiting.
    have = m_unread > 0 || FillBuffer() == 1;
  }
  if (!have) {
    // The wait happens without the mutex, so that registration is never
    // held up by a quiet volume; the descriptor itself never changes.
    struct pollfd fd = {m_fd, POLLIN, 0};
    int ready = poll(&fd, 1, WAIT_MILLISECONDS);
    if (ready < 0 && errno != EINTR) TLOG_ERROR("select: %s (%d)", strerror(errno), errno);
    if (ready > 0 && !(fd.revents & POLLIN)) TLOG_ERROR("select: fd is not set");
    if (ready > 0 && (fd.revents & POLLIN)) {
      usleep(GATHER_MICROSECONDS);
      MutexLock guard(&m_mutex);
      have = FillBuffer() == 1;
    }
  }
  std::vector<uint64_t> withdrawn;
  int handled = DETECTOR_PASS_QUIET;
  {
    MutexLock guard(&m_mutex);
    if (!have) {
      // The volume went quiet: a move whose other half has not come left
      // the watched area.
      FlushPendingMoves();
    } else {
      VarnotifyRecord record;
      long length = ReadVarnotifyRecord(m_buffer.data() + m_read_pos, m_unread, &record);
      if (length <= 0) {
        // Nothing after a broken record can be trusted to start where it
        // claims; the rest of this read goes.
        TLOG_ERROR("malformed notification record, %zu bytes dropped", m_unread);
        m_unread = 0;
      } else {
        m_read_pos += static_cast<size_t>(length);
        m_unread -= static_cast<size_t>(length);
        Handle(record, &withdrawn);
        handled = DETECTOR_PASS_HANDLED;
      }
    }
  }
  // Telling the user-database handler may take a while; no lock is needed.
  for (uint64_t view_id : withdrawn) NotifyWatchRemoved(view_id);
  return TaskStep::GoOn(handled);
}

std::string VARNDetector::VolumeOf(const std::string& path) {
  // "<prefix>N" when the path lies on a volume, else the path up to its
  // second "/".
  const std::string& prefix = m_volume_prefix;
  if (path.compare(0, prefix.size(), prefix) == 0) {
    size_t end = prefix.size();
    while (end < path.size() && isdigit(static_cast<unsigned char>(path[end]))) ++end;
    if (end > prefix.size() && (end == path.size() || path[end] == '/')) return path.substr(0, end);
  }
  size_t second = path.find('/', 1);
  return second == std::string::npos ? path : path.substr(0, second);
}

int VARNDetector::CallWatch(bool add, const std::string& path) {
  const char* name32 = add ? "AddWatch32" : "RemoveWatch32";
  const char* name64 = add ? "AddWatch64" : "RemoveWatch64";
  int result = add ? m_calls.m_add_watch32(m_fd, path.c_str(), VARN_WATCH_MASK)
                   : m_calls.m_remove_watch32(m_fd, path.c_str(), VARN_WATCH_MASK);
  if (result >= 0) {
    TLOG_INFO("%s '%s' OK", name32, path.c_str());
    return 0;
  }
  if (!LacksCall(errno)) {
    TLOG_ERROR("%s '%s' failed: %s", name32, path.c_str(), strerror(errno));
    return -1;
  }
  if (add) {
    TLOG_INFO("kernel not support AddWatch32, try 64nit interface");
  } else {
    TLOG_INFO("kernel not support RemoveWatch32, try 64nit interface");
  }
  uint64_t mask = VARN_WATCH_MASK;  // high half 0
  result = add ? m_calls.m_add_watch64(m_fd, path.c_str(), mask) : m_calls.m_remove_watch64(m_fd, path.c_str(), mask);
  if (result >= 0) {
    TLOG_INFO("%s '%s' OK", name64, path.c_str());
    return 0;
  }
  TLOG_ERROR("%s '%s' failed: %s", name64, path.c_str(), strerror(errno));
  return -1;
}

int VARNDetector::AddWatch(const std::string& path_in, uint64_t view_id) {
  struct stat st;
  if (lstat(path_in.c_str(), &st) < 0) {
    TLOG_ERROR("lstat(%s): %s (%d)", path_in.c_str(), strerror(errno), errno);
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    TLOG_ERROR("'%s' is not a directory", path_in.c_str());
    return -1;
  }
  std::string path = path_in;
  while (path.size() > 1 && path.back() == '/') path.pop_back();

  MutexLock guard(&m_mutex);
  // The daemon's own files are prepared there; the volume watch sees them,
  // so no watch of its own is needed.
  std::string work_dir;
  if (MakeWorkingDirectory(TAG, path, m_volume_prefix, &work_dir) == 0) {
    MakeDetectorDirectory(TAG, work_dir + "/" + EA_DIR_NAME);
  }
  for (const auto& [id, view_path] : m_views) {
    if (view_path == path) {
      TLOG_ERROR("(path dup) path '%s' is already been added", path.c_str());
      return -1;
    }
  }
  std::string volume = VolumeOf(path);
  if (m_volume_watch.count(volume)) {
    TLOG_INFO("Add '%s': (volume dup) volume '%s' is already been added", path.c_str(), volume.c_str());
  } else {
    if (m_fd < 0 || CallWatch(true, path) < 0) {
      TLOG_ERROR("Varnotify AddWatch failed: %s", m_fd < 0 ? "no notification descriptor" : strerror(errno));
      return -1;
    }
    m_volume_watch[volume] = path;
  }
  m_views[view_id] = path;
  TLOG_INFO("add view %llu to '%s' done", static_cast<ull>(view_id), path.c_str());
  return 0;
}

int VARNDetector::RemoveWatch(uint64_t view_id) {
  if (view_id == INVALID_VIEW_ID) {
    TLOG_ERROR("Invalid view_id");
    return -1;
  }
  MutexLock guard(&m_mutex);
  return RemoveWatchLocked(view_id);
}

int VARNDetector::RemoveWatchLocked(uint64_t view_id) {
  auto view = m_views.find(view_id);
  if (view == m_views.end()) {
    TLOG_ERROR("no such watch (view_id %llu)", static_cast<ull>(view_id));
    return -1;
  }
  std::string path = view->second;
  std::string volume = VolumeOf(path);
  m_views.erase(view);
  for (const auto& [id, other] : m_views) {
    if (VolumeOf(other) == volume) {
      TLOG_INFO("volume '%s' is still exist, do not remove watch it", volume.c_str());
      return 0;
    }
  }
  auto watch = m_volume_watch.find(volume);
  if (watch == m_volume_watch.end()) return 0;
  // The kernel knows the watch by the path it was added at, which may be
  // another view's folder, removed before this one.
  std::string watched = watch->second;
  if (CallWatch(false, watched) < 0) {
    // The kernel still holds the watch: keep it on record, so that a view
    // added on the volume again shares it and a later removal can retry.
    TLOG_ERROR("Remove watch '%s:%s' failed: %s", volume.c_str(), watched.c_str(), strerror(errno));
    return -1;
  }
  m_volume_watch.erase(watch);
  TLOG_INFO("RemoveWatch '%s' with view_id %llu done", path.c_str(), static_cast<ull>(view_id));
  return 0;
}

uint64_t VARNDetector::ViewOfPath(const std::string& path) {
  for (const auto& [view_id, view_path] : m_views) {
    if (path.compare(0, view_path.size(), view_path) != 0) continue;
    if (path.size() == view_path.size() || path[view_path.size()] == '/' || view_path == "/") {
      TLOG_DEBUG("Find view id %llu, root dir '%s' for path '%s'", static_cast<ull>(view_id), view_path.c_str(),
                 path.c_str());
      return view_id;
    }
  }
  TLOG_DEBUG("Ignore this event path '%s'", path.c_str());
  return 0;
}

bool VARNDetector::InWorkingDirectory(const std::string& path) {
  std::string volume = VolumeOf(path);
  if (volume.compare(0, m_volume_prefix.size(), m_volume_prefix) != 0 || volume.size() == m_volume_prefix.size()) {
    return false;
  }
  std::string work_dir = WorkDirPath(volume, CurrentVolumeLayout().m_work_dir_name);
  return path.compare(0, work_dir.size(), work_dir) == 0 && path.size() > work_dir.size() &&
         path[work_dir.size()] == '/';
}

void VARNDetector::Handle(const VarnotifyRecord& record, std::vector<uint64_t>* withdrawn) {
  if (record.m_mask & IN_Q_OVERFLOW) {
    HandleOverflow();
    return;
  }
  uint64_t view_id = ViewOfPath(record.m_path);
  Event event;
  if (view_id == 0) {
    if ((record.m_mask & IN_MOVED_FROM) && InWorkingDirectory(record.m_path)) {
      TLOG_INFO("VARN_MOVE_FROM is comes from working directory [%s]", record.m_path.c_str());
      Translate(record, 0, &event, withdrawn);
    }
    return;
  }
  if (Translate(record, view_id, &event, withdrawn) == 0) return;
  TLOG_INFO("Receive event: %s", event.ToString().c_str());
  // A rename is queued as an upload of its new path.
  std::string path = event.m_type == RENAME_REMOTE ? event.m_new_path : event.m_path;
  bool dir = event.IsDir();
  PushLocked(std::move(event));
  if (dir && (record.m_mask & IN_MOVED_TO)) {
    // A directory moved in brings contents that were never reported.
    // Created ones need nothing: the volume watch reports their contents.
    Event expand;
    expand.m_type = EXPAND;
    expand.m_path = path;
    expand.m_view_id = view_id;
    expand.m_flags = EVENT_FLAG_DIR;
    Deliver(expand);
  }
}

int VARNDetector::Translate(const VarnotifyRecord& record, uint64_t view_id, Event* event,
                            std::vector<uint64_t>* withdrawn) {
  uint32_t mask = record.m_mask;
  if (view_id == 0) {  // only a move out of the working directory gets here
    m_pending_moves[record.m_cookie] = {0, record.m_path, mask};
    return 0;
  }
  std::string view_path;
  auto view = m_views.find(view_id);
  if (view != m_views.end()) view_path = view->second;
  if (view == m_views.end() || record.m_path.compare(0, view_path.size(), view_path) != 0) {
    TLOG_ERROR("GetRelativePath failed: watch_index=%llu, full_path:%s", static_cast<ull>(view_id),
               record.m_path.c_str());
    return 0;
  }
  std::string relative = record.m_path.substr(view_path == "/" ? 0 : view_path.size());
  if (relative.empty()) relative = "/";
  if (relative == "/") {
    // The view's folder itself: its going away withdraws the view; nothing
    // else that happens to it is a change of the view's contents.
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
      TLOG_INFO("remove watch folder: '%s'", record.m_path.c_str());
      RemoveWatchLocked(view_id);
      withdrawn->push_back(view_id);
    }
    return 0;
  }

  // Bit by bit; a later one overrides an earlier one.
  bool typed = (mask & (IN_CLOSE_WRITE | IN_DELETE | IN_CREATE)) != 0;
  if (mask & IN_CLOSE_WRITE) event->m_type = UPLOAD_LOCAL;
  if (mask & IN_DELETE) event->m_type = REMOVE_REMOTE;
  if (mask & IN_CREATE) event->m_type = UPLOAD_LOCAL;
  event->m_path = relative;
  if (mask & IN_MOVED_FROM) {
    m_pending_moves[record.m_cookie] = {view_id, record.m_path, mask};
    return 0;
  }
  if (mask & IN_MOVED_TO) {
    typed = true;
    auto from = m_pending_moves.find(record.m_cookie);
    if (from == m_pending_moves.end()) {  // moved in from outside every view
      event->m_type = UPLOAD_LOCAL;
      FlushPendingMoves();
    } else if (from->second.m_view_id == view_id) {
      event->m_type = RENAME_REMOTE;
      event->m_path = from->second.m_path.substr(view_path == "/" ? 0 : view_path.size());
      event->m_new_path = relative;
      m_pending_moves.erase(from);
    } else if (from->second.m_view_id == 0) {
      // The daemon put one of its own temporary files in place.
      TLOG_DEBUG("This event comes from working directory.skipping ...");
      m_pending_moves.erase(from);
      return 0;
    } else {
      // From another view: the flush removes it there.
      event->m_type = UPLOAD_LOCAL;
      FlushPendingMoves();
    }
  }
  if (!typed) return 0;

  if ((mask & IN_CREATE) && !(mask & IN_ISDIR)) {
    // A new file is handled when it is closed; only a new name for an
    // existing file (a hard link) has no close to wait for.
    if (!IsHardLinkCreation(TAG, record.m_path)) return 0;
  }
  if (mask & IN_ISDIR) event->m_flags = EVENT_FLAG_DIR;
  event->m_view_id = view_id;
  if ((mask & (IN_CLOSE_WRITE | IN_DELETE)) && IsNeedlessEvent(TAG, *event, view_path)) return 0;
  return 1;
}

void VARNDetector::HandleOverflow() {
  TLOG_NOTE("Event queue overflow, rescan watch");
  m_pending_moves.clear();
  for (const auto& [view_id, path] : m_views) {
    Event rescan;
    rescan.m_type = RESCAN_SYNC;
    rescan.m_path = "/";
    rescan.m_view_id = view_id;
    rescan.m_flags = EVENT_FLAG_DIR;
    Deliver(rescan);
  }
}

void VARNDetector::FlushPendingMoves() {
  for (const auto& [cookie, move] : m_pending_moves) {
    auto view = m_views.find(move.m_view_id);
    if (view == m_views.end()) {
      // Out of the working directory, or of a view no longer watched:
      // nothing on the server to remove.
      TLOG_DEBUG("pending move of '%s' has no view, dropped", move.m_path.c_str());
      continue;
    }
    Event removal;
    removal.m_type = REMOVE_REMOTE;
    removal.m_path = move.m_path.substr(view->second == "/" ? 0 : view->second.size());
    removal.m_view_id = move.m_view_id;
    if (move.m_mask & IN_ISDIR) removal.m_flags = EVENT_FLAG_DIR;
    TLOG_INFO("Receive event: %s", removal.ToString().c_str());
    Deliver(removal);
  }
  m_pending_moves.clear();
}

void VARNDetector::PushEvent(const Event& event) {
  MutexLock guard(&m_mutex);
  PushLocked(event);
}

void VARNDetector::PushLocked(Event event) {
  PushWithRenameSplit(
      TAG, std::move(event),
      [this](uint64_t view_id, std::string* path) {
        m_mutex.AssertHeld();  // called back within PushLocked
        return ViewPath(view_id, path);
      },
      [this](const Event& e) { Deliver(e); });
}

bool VARNDetector::ViewPath(uint64_t view_id, std::string* path) {
  auto view = m_views.find(view_id);
  if (view == m_views.end()) {
    TLOG_ERROR("no such watch (view_id %llu)", static_cast<ull>(view_id));
    return false;
  }
  *path = view->second;
  return true;
}

void VARNDetector::Deliver(const Event& event) { DeliverToEventManager(event); }

int VARNDetector::NotifyWatchRemoved(uint64_t view_id) {
  return WithdrawView(TAG, view_id, m_handler_socket, m_on_view_withdrawn);
}

std::map<uint64_t, std::string> VARNDetector::Views() {
  MutexLock guard(&m_mutex);
  return m_views;
}

size_t VARNDetector::PendingMoveCount() {
  MutexLock guard(&m_mutex);
  return m_pending_moves.size();
}

}  // namespace tide
