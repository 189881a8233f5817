// Task 0 when the volume-wide notification interface is missing: turns the
// inotify events of the watched views into events for the event manager.
//
// One watch-tree root per view, plus one per volume for the daemon's own
// working directory, so that files the daemon moves from there into a view
// are recognised and not sent back to the server. Each inotify event becomes
// at most one event; events that need no work (a file whose size and mtime
// the local database already records, the deletion of a file it never knew)
// are dropped. A rename inside a view becomes a removal of the old path and
// an upload of the new one; a change of a file's attribute companion in
// "@eaDir" becomes an upload of the file itself; a queue overflow becomes a
// full rescan of every view; a view whose folder vanishes is withdrawn.
//
// Threads: the task's steps on its own thread; AddWatch/RemoveWatch on the main
// thread (registration, control instructions). m_mutex guards the watch tree
// and every map below; Run holds it while it handles one event (pushes into
// the event manager happen inside it), but not while it waits for the next.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/mutex.h"
#include "core/task.h"
#include "detect/detector_steps.h"
#include "detect/inotify_watch_tree.h"
#include "detect/watch_interface.h"
#include "event/event.h"

namespace tide {

// The inotify event types the detector acts on: closes after writing,
// moves, creations, deletions, and the watched directories' own deletion and
// move (overflow, unmount and "ignored" come unasked). Reads are left out on
// purpose: every directory walk (the watch set-up itself, a resync, a
// worker's rescan) would otherwise queue an open, an access and a close per
// directory and per file, enough to overflow the queue on a large view and
// so to start the next rescan, without end.
constexpr uint32_t DETECTOR_WATCH_MASK = 0x8 /* IN_CLOSE_WRITE */ | 0x40 /* IN_MOVED_FROM */ |
                                         0x80 /* IN_MOVED_TO */ | 0x100 /* IN_CREATE */ |
                                         0x200 /* IN_DELETE */ | 0x400 /* IN_DELETE_SELF */ |
                                         0x800 /* IN_MOVE_SELF */;

class Detector : public Task, public WatchInterface {
 public:
  Detector(uint32_t context1, uint32_t context2);
  ~Detector() override;

  // Watches the folder of a view: the root id, or -1 (not a directory, or
  // the watch tree refused it). Also sets up the working directory of the
  // folder's volume; a failure there is only logged.
  int AddWatch(const std::string& path, uint64_t view_id) override;
  int RemoveWatch(uint64_t view_id) override;

  // Queues an event of a view: applies the attribute-companion redirection
  // and splits a RENAME_REMOTE into a removal followed by an upload.
  void PushEvent(const Event& event);

  // One step: waits up to a second for an inotify event and handles it
  // (DETECTOR_PASS_HANDLED), or, when none came, turns the moves still
  // waiting for their other half into removals (DETECTOR_PASS_QUIET). The
  // wait is the step's own, so the next step follows at once.
  TaskStep RunOnce() override;

  // Withdraws a view whose folder disappeared: tells the user-database
  // handler, then has the view forgotten through the withdrawal callback.
  // 0, or -1 when the view is unknown or the handler could not be told (the
  // view then stays registered).
  int NotifyWatchRemoved(uint64_t view_id);
  void SetViewWithdrawnCallback(ViewWithdrawnCallback callback) override {
    m_on_view_withdrawn = std::move(callback);
  }

  // Diagnostics and tests.
  int RootOfView(uint64_t view_id);
  std::set<int> WorkingDirectoryRoots();
  std::map<int, std::vector<std::string>> WatchedPaths();
  size_t PendingMoveCount();
  // Where the withdrawal of a view is announced, and the prefix of volume
  // paths ("/volume", followed by the volume number); tests point these
  // into a scratch directory.
  void SetUserDbHandlerSocket(const std::string& path) { m_handler_socket = path; }
  void SetVolumePrefix(const std::string& prefix) { m_volume_prefix = prefix; }

 protected:
  void OnRunStart() override;
  void OnRunEnd() override;
  // Hands a finished event to the event manager (EXPAND and RESCAN_* go
  // through its expand and rescan entries). Tests capture events here.
  virtual void Deliver(const Event& event);

 private:
  // Each of these runs with m_mutex held.
  int SetUpWorkingDirectory(const std::string& path) REQUIRES(m_mutex);
  void Handle(const InotifyEvent& raw, std::vector<uint64_t>* withdrawn) REQUIRES(m_mutex);
  // 1 with an event to push, 0 when the inotify event is dropped.
  int Translate(const InotifyEvent& raw, Event* event, std::vector<uint64_t>* withdrawn) REQUIRES(m_mutex);
  bool IsNeedless(const Event& event) REQUIRES(m_mutex);
  void HandleOverflow() REQUIRES(m_mutex);
  void ForgetRoot(int root_id, std::vector<uint64_t>* withdrawn) REQUIRES(m_mutex);
  void FlushPendingMoves() REQUIRES(m_mutex);
  void PushLocked(Event event) REQUIRES(m_mutex);
  // The folder view `view_id` is watched at; false (logged) when unknown.
  bool ViewPath(uint64_t view_id, std::string* path) REQUIRES(m_mutex);

  Mutex m_mutex;
  InotifyWatchTree m_tree GUARDED_BY(m_mutex);
  // The tree's inotify descriptor, fixed for the tree's life: the step
  // waits on it without the mutex.
  const int m_inotify_fd;
  std::map<int, uint64_t> m_root_to_view GUARDED_BY(m_mutex);
  std::map<uint64_t, int> m_view_to_root GUARDED_BY(m_mutex);
  std::map<int, std::string> m_root_paths GUARDED_BY(m_mutex);           // root id → absolute folder
  std::map<uint32_t, InotifyEvent> m_pending_moves GUARDED_BY(m_mutex);  // cookie → IN_MOVED_FROM
  std::set<int> m_work_dir_roots GUARDED_BY(m_mutex);
  // Set before the task starts (tests only), read by the task afterwards.
  std::string m_handler_socket = USER_DB_HANDLER_SOCKET;
  std::string m_volume_prefix = "/volume";
  // Set before the task starts, read by the task afterwards.
  ViewWithdrawnCallback m_on_view_withdrawn;
};

}  // namespace tide
