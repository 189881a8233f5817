// Recursive watching of several directory trees with inotify, which by itself
// watches single directories. The tree mirrors the watched directories, follows
// directories created, deleted and renamed inside the watched area, and hands
// out one event at a time with its root and its path relative to that root.
//
// Not thread-safe: the owning detector calls it from its own thread, under its
// own mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tide {

constexpr uint32_t INOTIFY_ALL_EVENTS = 0xFFF;
constexpr size_t INOTIFY_READ_BUFFER_SIZE = 131072;

struct InotifyWatch {
  int m_wd = -1;
  std::string m_name;  // the directory's own name; a root's full path
  InotifyWatch* m_parent = nullptr;  // null exactly for a root watch
  std::set<int> m_children;          // wds of the sub-directory watches
};

struct InotifyRoot {
  std::string m_path;
  InotifyWatch* m_watch = nullptr;
};

struct InotifyEvent {
  int m_wd = -1;
  uint32_t m_mask = 0;  // low 16 bits: event type; IN_ISDIR marks a directory
  uint32_t m_cookie = 0;
  std::string m_name;   // entry inside the watched directory; empty for itself
  int m_root_id = -1;   // -1: the event belongs to no known watch
  std::string m_watch_path = "/";  // watched directory relative to its root

  // The event's path relative to its root.
  std::string FullPath() const;
  std::string ToString() const;
};

class InotifyWatchTree {
 public:
  explicit InotifyWatchTree(uint32_t mask = INOTIFY_ALL_EVENTS, uint32_t watch_limit = 0);
  ~InotifyWatchTree();
  InotifyWatchTree(const InotifyWatchTree&) = delete;
  InotifyWatchTree& operator=(const InotifyWatchTree&) = delete;

  // Root id (the root watch's wd), or -1.
  int AddRoot(const std::string& path);
  void RemoveRoot(int root_id);
  // 1 and an event, or 0: time-out, error, or an event of an unknown watch.
  int GetEvent(InotifyEvent* event);
  // Whether GetEvent has read events left over from its last read, so that
  // it will not wait on the descriptor.
  bool HasBufferedEvents() const { return m_unread != 0; }
  // Brings the watches back in line with the directories on disk after
  // events were lost (queue overflow): directories created meanwhile get
  // watches, renamed ones are moved to their place, vanished ones are
  // dropped. Returns the number of watches afterwards.
  uint32_t Resync();

  int Descriptor() const { return m_fd; }
  uint32_t WatchCount() const { return m_watch_count; }
  size_t RootCount() const { return m_roots.size(); }
  // Path of a root, "" when unknown.
  std::string RootPath(int root_id) const;
  // Watched directories' paths relative to their root, for diagnostics and
  // tests: root id → sorted relative paths.
  std::map<int, std::vector<std::string>> WatchedPaths() const;

 private:
  // The watch of `path`, new or existing; null on failure. `*created` says
  // whether a new watch resulted.
  InotifyWatch* AddWatch(const std::string& path, InotifyWatch* parent, const std::string& name, bool* created);
  // Watches every directory below `watch` (not below an "@eaDir"). With
  // `seen`, watches that already exist are walked too and every wd met is
  // recorded (Resync); without, only new watches are descended into.
  int AddBelow(InotifyWatch* watch, const std::string& path, std::set<int>* seen = nullptr);
  // Places an existing watch under `parent` as `name`; false when that would
  // put it below itself (the tree is stale).
  bool Reparent(InotifyWatch* watch, InotifyWatch* parent, const std::string& name);
  // A directory appeared in `parent` (created or moved in): watch it, or
  // move its existing watch here when it was renamed inside the area.
  void DirectoryArrived(InotifyWatch* parent, const InotifyEvent& event);
  void RemoveWatch(InotifyWatch* watch);
  void RemoveSubtree(InotifyWatch* watch);
  InotifyWatch* RootOf(InotifyWatch* watch, std::string* relative) const;
  std::string AbsolutePath(const InotifyEvent& event) const;
  void UpdateTree(InotifyWatch* watch, const InotifyEvent& event);
  int FillBuffer();

  std::map<int, InotifyRoot> m_roots;
  std::map<int, std::unique_ptr<InotifyWatch>> m_watches;
  int m_fd = -1;
  const uint32_t m_mask;
  const uint32_t m_watch_limit;  // 0: no limit
  uint32_t m_watch_count = 0;
  std::vector<char> m_buffer;
  size_t m_read_pos = 0;
  size_t m_unread = 0;
  // Watches already moved to their new place by an IN_MOVED_TO whose own
  // IN_MOVE_SELF has not been read yet. A watch that gets IN_MOVE_SELF
  // without being in here has left the watched area.
  std::set<int> m_moved_in;
};

}  // namespace tide
