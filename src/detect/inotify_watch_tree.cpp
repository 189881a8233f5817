#define TIDE_LOG_TAG "inotify-cpp"
#define TIDE_LOG_COMPONENT "detector_debug"
#include "detect/inotify_watch_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <strings.h>
#include <sys/inotify.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/logger.h"

namespace tide {
namespace {

constexpr int READ_TIMEOUT_SECONDS = 1;
constexpr size_t RAW_HEADER_SIZE = 16;

// Attribute companion folders are never descended into: their contents
// follow their master files.
bool IsEaDirName(const std::string& name) { return strcasecmp(name.c_str(), "@eadir") == 0; }

const char* TypeName(uint32_t mask) {
  static const char* const NAMES[16] = {"IN_ACCESS",      "IN_MODIFY",      "IN_ATTRIB",      "IN_CLOSE_WRITE",
                                        "IN_CLOSE_NOWRITE", "IN_OPEN",      "IN_MOVED_FROM",  "IN_MOVED_TO",
                                        "IN_CREATE",      "IN_DELETE",      "IN_DELETE_SELF", "IN_MOVE_SELF",
                                        "",               "IN_UNMOUNT",     "IN_Q_OVERFLOW",  "IN_IGNORED"};
  uint32_t type = mask & 0xFFFF;
  for (int bit = 15; bit >= 0; --bit) {
    if (type & (1u << bit)) return NAMES[bit];
  }
  return "";
}

}  // namespace

std::string InotifyEvent::FullPath() const {
  if (m_name.empty()) return m_watch_path;
  if (m_watch_path == "/") return m_watch_path + m_name;
  return m_watch_path + "/" + m_name;
}

std::string InotifyEvent::ToString() const {
  char mask[16];
  snprintf(mask, sizeof mask, "%x", m_mask);
  std::string text = "wd: " + std::to_string(m_wd) + ", type: " + TypeName(m_mask) + " (" + mask +
                     "), cookie: " + std::to_string(m_cookie) + ", name: " + m_name +
                     ", root: " + std::to_string(m_root_id) + ", wd_path: " + m_watch_path + ", path: " + FullPath();
  if (m_mask & IN_ISDIR) text += " (dir)";
  return text;
}

InotifyWatchTree::InotifyWatchTree(uint32_t mask, uint32_t watch_limit)
    : m_mask(mask), m_watch_limit(watch_limit), m_buffer(INOTIFY_READ_BUFFER_SIZE) {
  m_fd = inotify_init1(IN_CLOEXEC);
  if (m_fd < 0) TLOG_ERROR("fatal: inotify_init: %s (%d)", strerror(errno), errno);
}

InotifyWatchTree::~InotifyWatchTree() {
  while (!m_roots.empty()) RemoveRoot(m_roots.begin()->first);
  if (m_fd >= 0) close(m_fd);
}

std::string InotifyWatchTree::RootPath(int root_id) const {
  auto it = m_roots.find(root_id);
  return it == m_roots.end() ? "" : it->second.m_path;
}

int InotifyWatchTree::AddRoot(const std::string& path) {
  for (const auto& [id, root] : m_roots) {
    if (root.m_path == path) {
      TLOG_INFO("Given path '%s' has already been added watch.", path.c_str());
      return id;
    }
  }
  bool created = false;
  InotifyWatch* watch = AddWatch(path, nullptr, path, &created);
  if (!watch) return -1;
  if (!created && watch->m_parent != nullptr) {
    TLOG_DEBUG("'%s' is already in watch but not a root", path.c_str());
    return -1;
  }
  m_roots[watch->m_wd] = InotifyRoot{path, watch};
  TLOG_DEBUG("'%s' has been set as root (%d)", path.c_str(), watch->m_wd);
  AddBelow(watch, path);
  return watch->m_wd;
}

void InotifyWatchTree::RemoveRoot(int root_id) {
  auto it = m_roots.find(root_id);
  if (it == m_roots.end()) {
    TLOG_DEBUG("root id %d does not exist", root_id);
    return;
  }
  InotifyWatch* watch = it->second.m_watch;
  m_roots.erase(it);
  RemoveSubtree(watch);
  TLOG_DEBUG("root id %d is removed", root_id);
}

InotifyWatch* InotifyWatchTree::AddWatch(const std::string& path, InotifyWatch* parent, const std::string& name,
                                         bool* created) {
  *created = false;
  // A link swapped in for a folder is not watched through: what lies
  // behind it is not part of the view.
  int wd = inotify_add_watch(m_fd, path.c_str(), m_mask | IN_DONT_FOLLOW | IN_ONLYDIR);
  if (wd < 0) {
    TLOG_ERROR("fatal: inotify_add_watch: %s", strerror(errno));
    return nullptr;
  }
  auto existing = m_watches.find(wd);
  if (existing != m_watches.end()) {
    TLOG_DEBUG("'%s' is already in watch (%d)", path.c_str(), wd);
    return existing->second.get();
  }
  auto watch = std::make_unique<InotifyWatch>();
  watch->m_wd = wd;
  watch->m_name = name;
  watch->m_parent = parent;
  ++m_watch_count;
  TLOG_DEBUG("add watch '%s', wd = %d, parent = %d, all_watch = %u", path.c_str(), wd, parent ? parent->m_wd : -1,
             m_watch_count);
  if (parent) parent->m_children.insert(wd);
  InotifyWatch* raw = watch.get();
  m_watches.emplace(wd, std::move(watch));
  *created = true;
  return raw;
}

int InotifyWatchTree::AddBelow(InotifyWatch* watch, const std::string& path, std::set<int>* seen) {
  if (IsEaDirName(watch->m_name)) return 0;
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
  if (!dir) {
    TLOG_DEBUG("fatal: opendir(%s): %s", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  // Collect first, so the directory stream is not held open across the
  // recursion (deep trees would otherwise use one descriptor per level).
  std::vector<std::string> subdirs;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {  // file systems without entry types
      struct stat st;
      is_dir = fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (is_dir) subdirs.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::string child_path = path;
  child_path += '/';
  size_t base = child_path.size();
  for (const std::string& name : subdirs) {
    if (m_watch_limit != 0 && m_watch_count >= m_watch_limit) {
      TLOG_DEBUG("max watch limit: %u", m_watch_limit);
      return 0;
    }
    child_path.resize(base);
    child_path += name;
    bool created = false;
    InotifyWatch* child = AddWatch(child_path, watch, name, &created);
    if (!child) continue;
    if (seen) {
      if (!created && (child->m_parent != watch || child->m_name != name) && !Reparent(child, watch, name)) continue;
      if (!seen->insert(child->m_wd).second) continue;  // met twice: never loop
      AddBelow(child, child_path, seen);
    } else if (created) {
      AddBelow(child, child_path);
    }
  }
  return 0;
}

bool InotifyWatchTree::Reparent(InotifyWatch* watch, InotifyWatch* parent, const std::string& name) {
  for (InotifyWatch* up = parent; up; up = up->m_parent) {
    if (up == watch) {
      TLOG_WARNING("wd %d cannot move below itself (wd %d)", watch->m_wd, parent->m_wd);
      return false;
    }
  }
  int old_parent_wd = watch->m_parent ? watch->m_parent->m_wd : -1;
  if (watch->m_parent) watch->m_parent->m_children.erase(watch->m_wd);
  parent->m_children.insert(watch->m_wd);
  watch->m_parent = parent;
  watch->m_name = name;
  TLOG_DEBUG("parent of wd '%d' is changed from %d to %d", watch->m_wd, old_parent_wd, parent->m_wd);
  return true;
}

uint32_t InotifyWatchTree::Resync() {
  std::set<int> seen;
  for (auto& [id, root] : m_roots) {
    seen.insert(id);
    AddBelow(root.m_watch, root.m_path, &seen);
  }
  std::vector<int> stale;
  for (const auto& [wd, watch] : m_watches) {
    if (!seen.count(wd)) stale.push_back(wd);
  }
  for (int wd : stale) {
    auto it = m_watches.find(wd);  // an earlier removal may have taken it with its parent
    if (it != m_watches.end() && it->second->m_parent) RemoveSubtree(it->second.get());
  }
  m_moved_in.clear();
  TLOG_DEBUG("watches resynchronised, all_watch = %u", m_watch_count);
  return m_watch_count;
}

void InotifyWatchTree::RemoveSubtree(InotifyWatch* watch) {
  if (watch->m_parent) watch->m_parent->m_children.erase(watch->m_wd);
  int wd = watch->m_wd;
  RemoveWatch(watch);
  TLOG_DEBUG("all wd under wd(%d) are removed", wd);
}

void InotifyWatchTree::RemoveWatch(InotifyWatch* watch) {
  std::set<int> children = std::move(watch->m_children);
  for (int child_wd : children) {
    auto child = m_watches.find(child_wd);
    if (child != m_watches.end()) RemoveWatch(child->second.get());
  }
  int wd = watch->m_wd;
  inotify_rm_watch(m_fd, wd);
  m_watches.erase(wd);
  m_moved_in.erase(wd);
  --m_watch_count;
  TLOG_DEBUG("wd %d is removed, all_watch = %u", wd, m_watch_count);
}

InotifyWatch* InotifyWatchTree::RootOf(InotifyWatch* watch, std::string* relative) const {
  std::vector<const std::string*> names;
  while (watch->m_parent) {
    names.push_back(&watch->m_name);
    watch = watch->m_parent;
  }
  relative->assign("/");
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (relative->size() > 1) *relative += '/';
    *relative += **it;
  }
  return watch;
}

std::string InotifyWatchTree::AbsolutePath(const InotifyEvent& event) const {
  std::string root = RootPath(event.m_root_id);
  std::string relative = event.FullPath();
  return relative == "/" ? root : root + relative;
}

std::map<int, std::vector<std::string>> InotifyWatchTree::WatchedPaths() const {
  std::map<int, std::vector<std::string>> paths;
  for (const auto& [wd, watch] : m_watches) {
    std::string relative;
    InotifyWatch* root = RootOf(watch.get(), &relative);
    paths[root->m_wd].push_back(relative);
  }
  for (auto& [root, list] : paths) std::sort(list.begin(), list.end());
  return paths;
}

int InotifyWatchTree::FillBuffer() {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(m_fd, &readable);
  struct timeval timeout = {READ_TIMEOUT_SECONDS, 0};
  int ready = select(m_fd + 1, &readable, nullptr, nullptr, &timeout);
  if (ready == 0) return 0;
  if (ready < 0) {
    int error = errno;
    TLOG_ERROR("select: %s (%d)", strerror(error), error);
    TLOG_ERROR("fatal: read: %s", strerror(error));
    return -1;
  }
  if (!FD_ISSET(m_fd, &readable)) {
    TLOG_ERROR("select: fd is not set");
    TLOG_ERROR("fatal: read: %s", strerror(errno));
    return -1;
  }
  ssize_t got = read(m_fd, m_buffer.data(), m_buffer.size());
  if (got <= 0) {
    int error = got < 0 ? errno : EIO;
    TLOG_ERROR("read: %s (%d)", strerror(error), error);
    TLOG_ERROR("fatal: read: %s", strerror(error));
    return -1;
  }
  m_read_pos = 0;
  m_unread = static_cast<size_t>(got);
  return 1;
}

int InotifyWatchTree::GetEvent(InotifyEvent* event) {
  if (m_unread == 0 && FillBuffer() <= 0) return 0;
  if (m_unread < RAW_HEADER_SIZE) {
    m_unread = 0;
    return 0;
  }
  struct inotify_event raw;
  memcpy(&raw, m_buffer.data() + m_read_pos, RAW_HEADER_SIZE);
  size_t record = RAW_HEADER_SIZE + raw.len;
  if (record > m_unread) {  // the kernel never splits a record; be safe anyway
    m_unread = 0;
    return 0;
  }
  const char* name = m_buffer.data() + m_read_pos + RAW_HEADER_SIZE;
  m_read_pos += record;
  m_unread -= record;

  InotifyWatch* watch = nullptr;
  if (raw.wd != -1) {
    auto it = m_watches.find(raw.wd);
    if (it == m_watches.end()) {
      TLOG_NOTE("watch is NULL");
      return 0;
    }
    watch = it->second.get();
  }
  event->m_wd = raw.wd;
  event->m_mask = raw.mask;
  event->m_cookie = raw.cookie;
  event->m_name.assign(name, raw.len ? strnlen(name, raw.len) : 0);
  if (watch) {
    event->m_root_id = RootOf(watch, &event->m_watch_path)->m_wd;
    UpdateTree(watch, *event);
  } else {
    event->m_root_id = -1;
    event->m_watch_path = "/";
    // Whatever happened to directories while events were lost is read
    // back from the disk; the caller rescans the files.
    if (raw.mask & IN_Q_OVERFLOW) Resync();
  }
  return 1;
}

void InotifyWatchTree::UpdateTree(InotifyWatch* watch, const InotifyEvent& event) {
  uint32_t mask = event.m_mask;
  if (mask & IN_IGNORED) return;
  if (mask & IN_DELETE_SELF) {
    if (watch->m_parent) {
      RemoveSubtree(watch);
    } else {
      RemoveRoot(watch->m_wd);
    }
    return;
  }
  if (mask & IN_Q_OVERFLOW) {
    Resync();
    return;
  }
  if (mask & IN_MOVE_SELF) {
    if (!watch->m_parent) {
      TLOG_ERROR("fatal: root is moved");
      return;
    }
    // Renamed inside the area: its IN_MOVED_TO already moved the watch.
    // Otherwise it went out of the area with everything below it.
    if (m_moved_in.erase(watch->m_wd) == 0) RemoveSubtree(watch);
    return;
  }
  if (!(mask & IN_ISDIR)) return;
  if (mask & (IN_CREATE | IN_MOVED_TO)) DirectoryArrived(watch, event);
}

void InotifyWatchTree::DirectoryArrived(InotifyWatch* parent, const InotifyEvent& event) {
  // Nothing below a companion folder is watched, as when the tree was set up.
  if (IsEaDirName(parent->m_name)) return;
  std::string path = AbsolutePath(event);
  bool created = false;
  // The kernel hands back the wd of a directory it already watches, so a
  // directory renamed inside the area is recognised by its wd, however the
  // IN_MOVED_FROM / IN_MOVED_TO / IN_MOVE_SELF records were split between
  // reads. A companion folder is watched but never descended into.
  InotifyWatch* watch = AddWatch(path, parent, event.m_name, &created);
  if (!watch) return;
  if (created) {
    AddBelow(watch, path);
    return;
  }
  if (watch->m_parent == nullptr) return;  // a root moved below another root: leave it a root
  if (watch->m_parent == parent && watch->m_name == event.m_name) return;
  std::string old_relative;
  InotifyWatch* old_root = RootOf(watch, &old_relative);
  TLOG_DEBUG("directory rename from '%s' to '%s'", (RootPath(old_root->m_wd) + old_relative).c_str(), path.c_str());
  if (!Reparent(watch, parent, event.m_name)) {
    Resync();
    return;
  }
  // Its IN_MOVE_SELF is still to come (or already read, for a second
  // rename that overtook this one, in which case the next resync or move
  // puts it right).
  if (event.m_mask & IN_MOVED_TO) m_moved_in.insert(watch->m_wd);
}

}  // namespace tide
