// Task 0 where the kernel offers volume-wide notification: one kernel watch
// per volume reports every change on it as an absolute path, so no watch per
// directory is needed and a large share can never run out of watches.
//
// Each reported path is tied to the first view (in view id order) whose
// folder holds it; a path in no view is dropped, except a move out of the
// daemon's working directory, whose other half (the daemon putting one of
// its own files in place) must not be sent back to the server. What follows
// the mapping (needless-event checks, attribute companions, the rename
// split, withdrawing a vanished view) is shared with the inotify detector.
//
// Threads: the task's steps on its own thread; AddWatch/RemoveWatch on the main
// thread. m_mutex guards the read buffer and every map below; Run holds it
// while it reads and handles one record, not while it waits for the next.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "core/mutex.h"
#include "core/task.h"
#include "detect/watch_interface.h"
#include "event/event.h"
#include "platform/varnotify.h"
#include "platform/varnotify_record.h"

namespace tide {

// Big enough for many records of the longest path at once.
constexpr size_t VARN_READ_BUFFER_SIZE = 262976;

class VARNDetector : public Task, public WatchInterface {
 public:
  // Opens the notification descriptor through `calls` (tests pass a
  // double); a failure is logged and every AddWatch then fails.
  VARNDetector(uint32_t context1, uint32_t context2, const VarnotifyCalls& calls = SystemVarnotifyCalls());
  ~VARNDetector() override;

  // Watches the folder of a view: 0, or -1 (not a directory, already
  // watched, or the kernel refused the watch). Views on a volume that is
  // already watched share its kernel watch.
  int AddWatch(const std::string& path, uint64_t view_id) override;
  // Forgets a view; the kernel watch of its volume goes with the last view
  // on it. 0, or -1 when the view is unknown or the kernel refused.
  int RemoveWatch(uint64_t view_id) override;

  // Queues an event of a view, as the inotify detector does.
  void PushEvent(const Event& event);

  // One step: waits up to a second for records and handles one
  // (DETECTOR_PASS_HANDLED), or, when none came, turns the moves still
  // waiting for their other half into removals (DETECTOR_PASS_QUIET).
  TaskStep RunOnce() override;

  // Withdraws a view whose folder disappeared: tells the user-database
  // handler, then has the view forgotten through the withdrawal callback.
  // 0, or -1 when the view is unknown or the handler could not be told.
  int NotifyWatchRemoved(uint64_t view_id);
  void SetViewWithdrawnCallback(ViewWithdrawnCallback callback) override {
    m_on_view_withdrawn = std::move(callback);
  }

  // Diagnostics and tests.
  bool IsOpen() const { return m_fd >= 0; }
  std::map<uint64_t, std::string> Views();
  size_t PendingMoveCount();
  void SetUserDbHandlerSocket(const std::string& path) { m_handler_socket = path; }
  void SetVolumePrefix(const std::string& prefix) { m_volume_prefix = prefix; }

 protected:
  void OnRunStart() override;
  void OnRunEnd() override;
  // Hands a finished event to the event manager. Tests capture events here.
  virtual void Deliver(const Event& event);

 private:
  struct PendingMove {
    uint64_t m_view_id = 0;  // 0: out of the daemon's working directory
    std::string m_path;      // absolute
    uint32_t m_mask = 0;
  };

  // Each of these runs with m_mutex held.
  int FillBuffer() REQUIRES(m_mutex);
  void Handle(const VarnotifyRecord& record, std::vector<uint64_t>* withdrawn) REQUIRES(m_mutex);
  // 1 with an event to push, 0 when the record is dropped.
  int Translate(const VarnotifyRecord& record, uint64_t view_id, Event* event, std::vector<uint64_t>* withdrawn)
      REQUIRES(m_mutex);
  uint64_t ViewOfPath(const std::string& path) REQUIRES(m_mutex);
  bool InWorkingDirectory(const std::string& path);
  std::string VolumeOf(const std::string& path);
  int RemoveWatchLocked(uint64_t view_id) REQUIRES(m_mutex);
  int CallWatch(bool add, const std::string& path);
  void HandleOverflow() REQUIRES(m_mutex);
  void FlushPendingMoves() REQUIRES(m_mutex);
  void PushLocked(Event event) REQUIRES(m_mutex);
  bool ViewPath(uint64_t view_id, std::string* path) REQUIRES(m_mutex);

  const VarnotifyCalls& m_calls;
  const int m_fd;  // set once by the constructor
  Mutex m_mutex;
  std::vector<char> m_buffer GUARDED_BY(m_mutex);
  size_t m_read_pos GUARDED_BY(m_mutex) = 0;
  size_t m_unread GUARDED_BY(m_mutex) = 0;
  std::map<uint64_t, std::string> m_views GUARDED_BY(m_mutex);  // view id → folder, no trailing "/"
  // volume → path the kernel watch was added at
  std::map<std::string, std::string> m_volume_watch GUARDED_BY(m_mutex);
  std::map<uint32_t, PendingMove> m_pending_moves GUARDED_BY(m_mutex);  // cookie → move-from
  // Set before the task starts (tests only), read by the task afterwards.
  std::string m_handler_socket;
  std::string m_volume_prefix = "/volume";
  // Set before the task starts, read by the task afterwards.
  ViewWithdrawnCallback m_on_view_withdrawn;
};

}  // namespace tide
