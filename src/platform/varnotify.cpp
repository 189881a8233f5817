#define TIDE_LOG_TAG "varnotify"
#define TIDE_LOG_COMPONENT "detector_debug"
#include "platform/varnotify.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/logger.h"
#include "platform/varnotify_record.h"

namespace tide {
namespace {

// The records speak inotify; fanotify uses the same values for every bit
// passed through unchanged.
static_assert(FAN_CLOSE_WRITE == IN_CLOSE_WRITE && FAN_MOVED_FROM == IN_MOVED_FROM && FAN_MOVED_TO == IN_MOVED_TO &&
              FAN_CREATE == IN_CREATE && FAN_DELETE == IN_DELETE && FAN_ONDIR == IN_ISDIR &&
              FAN_Q_OVERFLOW == IN_Q_OVERFLOW);

constexpr uint32_t PLAIN_BITS = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE;
constexpr uint32_t MOVE_BITS = IN_MOVED_FROM | IN_MOVED_TO;
constexpr size_t KERNEL_BUFFER_SIZE = 64 * 1024;
// Enough for every directory of a busy share; beyond it the cache starts
// again rather than grow without bound.
constexpr size_t DIRECTORY_CACHE_MAX = 16384;
constexpr const char DELETED_SUFFIX[] = " (deleted)";

// One file system under watch: a descriptor to open its handles against,
// and how many watches share its mark.
struct FileSystemWatch {
  int m_mount_fd = -1;
  int m_watches = 0;
};

// What one descriptor knows; every field is guarded by g_mutex, which also
// guards the map that owns the instances.
struct Instance {
  int m_fd = -1;
  bool m_whole_renames = false;  // the kernel reports a rename in one event
  std::map<std::string, FileSystemWatch> m_file_systems;    // key: the 8 fsid bytes
  std::multimap<std::string, std::string> m_watch_paths;    // watched path → fsid key
  std::unordered_map<std::string, std::string> m_dir_paths;  // fsid + handle → absolute path
  std::string m_pending;  // converted records not yet read
  uint32_t m_last_cookie = 0;
  uint32_t m_open_move = 0;  // cookie of a move-from that directly preceded
};

std::mutex g_mutex;
std::map<int, std::unique_ptr<Instance>> g_instances;  // guarded by g_mutex

Instance* Find(int fd) {
  auto it = g_instances.find(fd);
  if (it == g_instances.end()) {
    errno = EBADF;
    return nullptr;
  }
  return it->second.get();
}

std::string FsidKey(const void* fsid) { return std::string(static_cast<const char*>(fsid), sizeof(fsid_t)); }

uint32_t NextCookie(Instance* instance) {
  if (++instance->m_last_cookie == 0) ++instance->m_last_cookie;
  return instance->m_last_cookie;
}

uint32_t KernelMask(const Instance& instance, uint32_t mask) {
  uint64_t kernel = mask & (PLAIN_BITS | MOVE_BITS);
  if (instance.m_whole_renames && (kernel & MOVE_BITS)) kernel = (kernel & ~MOVE_BITS) | FAN_RENAME;
  // Directories too: their creation, deletion and moves matter.
  return static_cast<uint32_t>(kernel | FAN_ONDIR);
}

int AddWatch(int fd, const char* path, uint32_t mask) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Instance* instance = Find(fd);
  if (instance == nullptr) return -1;
  if ((mask & (PLAIN_BITS | MOVE_BITS)) == 0) {
    errno = EINVAL;
    return -1;
  }
  int mount_fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mount_fd < 0) return -1;
  struct statfs fs;
  if (fstatfs(mount_fd, &fs) < 0 ||
      fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, KernelMask(*instance, mask), mount_fd, nullptr) < 0) {
    int saved = errno;
    close(mount_fd);
    errno = saved;
    return -1;
  }
  std::string key = FsidKey(&fs.f_fsid);
  FileSystemWatch& watch = instance->m_file_systems[key];
  if (watch.m_mount_fd < 0) {
    watch.m_mount_fd = mount_fd;
  } else {
    close(mount_fd);
  }
  ++watch.m_watches;
  instance->m_watch_paths.emplace(path, key);
  return 0;
}

int RemoveWatch(int fd, const char* path, uint32_t mask) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Instance* instance = Find(fd);
  if (instance == nullptr) return -1;
  // By the path it was added with: the folder itself may be gone by now.
  auto it = instance->m_watch_paths.find(path);
  if (it == instance->m_watch_paths.end()) {
    errno = ENOENT;
    return -1;
  }
  auto fs = instance->m_file_systems.find(it->second);
  instance->m_watch_paths.erase(it);
  if (fs == instance->m_file_systems.end() || --fs->second.m_watches > 0) return 0;
  int result = fanotify_mark(fd, FAN_MARK_REMOVE | FAN_MARK_FILESYSTEM, KernelMask(*instance, mask),
                             fs->second.m_mount_fd, nullptr);
  int saved = errno;
  close(fs->second.m_mount_fd);
  instance->m_file_systems.erase(fs);
  errno = saved;
  return result < 0 ? -1 : 0;
}

// The absolute path of the directory behind a handle the kernel reported,
// or false when it cannot be opened any more (deleted meanwhile) or lies on
// a file system no longer watched.
bool DirectoryPath(Instance* instance, const char* fsid, const struct file_handle* handle, std::string* path) {
  std::string key(fsid, sizeof(fsid_t));
  key.append(reinterpret_cast<const char*>(handle), sizeof(*handle) + handle->handle_bytes);
  auto cached = instance->m_dir_paths.find(key);
  if (cached != instance->m_dir_paths.end()) {
    *path = cached->second;
    return true;
  }
  auto fs = instance->m_file_systems.find(key.substr(0, sizeof(fsid_t)));
  if (fs == instance->m_file_systems.end()) return false;
  // open_by_handle_at wants a writable handle; copy it out of the record.
  std::string copy(reinterpret_cast<const char*>(handle), sizeof(*handle) + handle->handle_bytes);
  int dir_fd = open_by_handle_at(fs->second.m_mount_fd, reinterpret_cast<struct file_handle*>(copy.data()),
                                 O_PATH | O_CLOEXEC);
  if (dir_fd < 0) return false;
  char link[64];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", dir_fd);
  char target[VARN_RECORD_PATH_MAX];
  ssize_t length = readlink(link, target, sizeof(target));
  close(dir_fd);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof(target) || target[0] != '/') return false;
  std::string result(target, length);
  size_t suffix = sizeof(DELETED_SUFFIX) - 1;
  if (result.size() > suffix && result.compare(result.size() - suffix, suffix, DELETED_SUFFIX) == 0) return false;
  if (instance->m_dir_paths.size() >= DIRECTORY_CACHE_MAX) instance->m_dir_paths.clear();
  instance->m_dir_paths.emplace(std::move(key), result);
  *path = std::move(result);
  return true;
}

// Parses one directory-handle-plus-name report (`size` bytes after its
// header) into the absolute path of the entry it names.
bool EntryPath(Instance* instance, const char* info, size_t size, std::string* path) {
  const size_t fixed = sizeof(fsid_t) + sizeof(struct file_handle);
  if (size < fixed) return false;
  struct file_handle handle_header;
  memcpy(&handle_header, info + sizeof(fsid_t), sizeof(handle_header));
  if (handle_header.handle_bytes > size - fixed) return false;
  const char* name = info + fixed + handle_header.handle_bytes;
  size_t name_room = size - fixed - handle_header.handle_bytes;
  const void* name_end = memchr(name, '\0', name_room);
  if (name_end == nullptr) return false;
  // The handle may sit unaligned in the record: give it a home of its own.
  std::string handle(info + sizeof(fsid_t), sizeof(struct file_handle) + handle_header.handle_bytes);
  std::string dir;
  if (!DirectoryPath(instance, info, reinterpret_cast<const struct file_handle*>(handle.data()), &dir)) return false;
  std::string entry(name, static_cast<const char*>(name_end) - name);
  if (entry.empty() || entry == ".") {
    *path = dir;
  } else {
    *path = dir == "/" ? "/" + entry : dir + "/" + entry;
  }
  return path->size() < VARN_RECORD_PATH_MAX;
}

void Emit(Instance* instance, uint32_t mask, uint32_t cookie, const std::string& path) {
  AppendVarnotifyRecord(mask, cookie, path, &instance->m_pending);
}

// Turns one kernel event into records. Bits the kernel merged into one
// event become one record each.
void ConvertEvent(Instance* instance, uint64_t mask, const char* info, size_t size) {
  if (mask & FAN_Q_OVERFLOW) {
    instance->m_dir_paths.clear();
    instance->m_open_move = 0;
    Emit(instance, IN_Q_OVERFLOW, 0, "");
    return;
  }
  std::string entry, old_path, new_path;
  bool have_entry = false, have_old = false, have_new = false;
  while (size >= sizeof(struct fanotify_event_info_header)) {
    struct fanotify_event_info_header header;
    memcpy(&header, info, sizeof(header));
    if (header.len < sizeof(header) || header.len > size) break;
    const char* body = info + sizeof(header);
    size_t body_size = header.len - sizeof(header);
    switch (header.info_type) {
      case FAN_EVENT_INFO_TYPE_DFID_NAME:
        have_entry = EntryPath(instance, body, body_size, &entry);
        break;
      case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
        have_old = EntryPath(instance, body, body_size, &old_path);
        break;
      case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
        have_new = EntryPath(instance, body, body_size, &new_path);
        break;
      default:  // the entry's own handle, and anything newer: not needed
        break;
    }
    info += header.len;
    size -= header.len;
  }

  uint32_t dir = (mask & FAN_ONDIR) ? IN_ISDIR : 0;
  uint32_t open_move = std::exchange(instance->m_open_move, 0);
  // A directory that went or moved takes the cached paths below it along.
  if (dir && (mask & (FAN_RENAME | FAN_MOVED_FROM | FAN_DELETE))) instance->m_dir_paths.clear();

  if (mask & FAN_RENAME) {
    uint32_t cookie = NextCookie(instance);
    if (have_old) Emit(instance, IN_MOVED_FROM | dir, cookie, old_path);
    if (have_new) Emit(instance, IN_MOVED_TO | dir, cookie, new_path);
    if (!have_old || !have_new) TLOG_DEBUG("rename with an unknown side: '%s' -> '%s'", old_path.c_str(), new_path.c_str());
  }
  uint32_t bits = static_cast<uint32_t>(mask) & (PLAIN_BITS | MOVE_BITS);
  if (bits == 0) return;
  if (!have_entry) {
    // Typically the entries of a directory deleted meanwhile; its own
    // deletion is reported against its parent, which still exists.
    TLOG_DEBUG("event 0x%x in a directory that can no longer be found", bits);
    return;
  }
  // Merged bits lost their order; the natural life of a name is assumed:
  // it arrives (moved in, created), is written, and leaves (moved away,
  // deleted). A deletion of an entry that exists again came first.
  // Asked only for a deletion: most events are creations and writes, and
  // the look-up costs a path walk each.
  struct stat st;
  bool exists = (bits & IN_DELETE) && lstat(entry.c_str(), &st) == 0;
  if ((bits & IN_DELETE) && exists) Emit(instance, IN_DELETE | dir, 0, entry);
  if (bits & IN_MOVED_TO) {
    // Only a move-to that directly follows a move-from is its other half.
    Emit(instance, IN_MOVED_TO | dir, open_move ? open_move : NextCookie(instance), entry);
  }
  if (bits & IN_CREATE) Emit(instance, IN_CREATE | dir, 0, entry);
  if (bits & IN_CLOSE_WRITE) Emit(instance, IN_CLOSE_WRITE | dir, 0, entry);
  if (bits & IN_MOVED_FROM) {
    instance->m_open_move = NextCookie(instance);
    Emit(instance, IN_MOVED_FROM | dir, instance->m_open_move, entry);
  }
  if ((bits & IN_DELETE) && !exists) Emit(instance, IN_DELETE | dir, 0, entry);
}

void ConvertEvents(Instance* instance, const char* data, size_t size) {
  while (size >= sizeof(struct fanotify_event_metadata)) {
    struct fanotify_event_metadata meta;
    memcpy(&meta, data, sizeof(meta));
    if (meta.vers != FANOTIFY_METADATA_VERSION || meta.event_len > size || meta.metadata_len < sizeof(meta) ||
        meta.event_len < meta.metadata_len) {
      TLOG_ERROR("malformed kernel event (version %u, length %u), %zu bytes dropped", meta.vers, meta.event_len,
                 size);
      return;
    }
    if (meta.fd >= 0) close(meta.fd);  // never asked for; never kept
    ConvertEvent(instance, meta.mask, data + meta.metadata_len, meta.event_len - meta.metadata_len);
    data += meta.event_len;
    size -= meta.event_len;
  }
}

long Read(int fd, char* buffer, size_t size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Instance* instance = Find(fd);
  if (instance == nullptr) return -1;
  if (size < VARN_RECORD_HEADER_SIZE + VARN_RECORD_PATH_MAX) {
    errno = EINVAL;
    return -1;
  }
  // Events can all be dropped (paths gone): read on until some record
  // results or the kernel has nothing more.
  while (instance->m_pending.empty()) {
    static thread_local char kernel[KERNEL_BUFFER_SIZE];
    ssize_t got = read(fd, kernel, sizeof(kernel));
    if (got < 0) return -1;
    if (got == 0) {
      errno = EAGAIN;
      return -1;
    }
    ConvertEvents(instance, kernel, static_cast<size_t>(got));
  }
  // Whole records only; the rest waits for the next read.
  size_t taken = 0;
  VarnotifyRecord record;
  while (taken < instance->m_pending.size()) {
    long length = ReadVarnotifyRecord(instance->m_pending.data() + taken, instance->m_pending.size() - taken, &record);
    if (length <= 0 || taken + length > size) break;
    taken += length;
  }
  memcpy(buffer, instance->m_pending.data(), taken);
  instance->m_pending.erase(0, taken);
  return static_cast<long>(taken);
}

}  // namespace

int VarnotifyInit(int flags) {
  const unsigned int base = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK;
  bool whole_renames = !(flags & VARN_INIT_SEPARATE_MOVES);
  int fd = -1;
  if (whole_renames) {
    fd = fanotify_init(base | FAN_REPORT_DFID_NAME_TARGET, O_RDONLY | O_CLOEXEC);
  } else {
    errno = EINVAL;
  }
  if (fd < 0 && errno == EINVAL) {
    // Before whole-rename reports: the two halves come as separate events.
    whole_renames = false;
    fd = fanotify_init(base | FAN_REPORT_DFID_NAME, O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    // A kernel without name reports cannot give paths: it lacks the interface.
    if (errno == EINVAL) errno = ENOSYS;
    return -1;
  }
  auto instance = std::make_unique<Instance>();
  instance->m_fd = fd;
  instance->m_whole_renames = whole_renames;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_instances[fd] = std::move(instance);
  return fd;
}

int VarnotifyAddWatch32(int fd, const char* path, uint32_t mask) { return AddWatch(fd, path, mask); }

int VarnotifyRemoveWatch32(int fd, const char* path, uint32_t mask) { return RemoveWatch(fd, path, mask); }

int VarnotifyAddWatch64(int fd, const char* path, uint64_t mask) {
  if (mask >> 32) {
    errno = EINVAL;
    return -1;
  }
  return AddWatch(fd, path, static_cast<uint32_t>(mask));
}

int VarnotifyRemoveWatch64(int fd, const char* path, uint64_t mask) {
  if (mask >> 32) {
    errno = EINVAL;
    return -1;
  }
  return RemoveWatch(fd, path, static_cast<uint32_t>(mask));
}

long VarnotifyRead(int fd, char* buffer, size_t size) { return Read(fd, buffer, size); }

int VarnotifyClose(int fd) {
  std::unique_ptr<Instance> instance;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_instances.find(fd);
    if (it == g_instances.end()) {
      errno = EBADF;
      return -1;
    }
    instance = std::move(it->second);
    g_instances.erase(it);
  }
  for (auto& [key, fs] : instance->m_file_systems) close(fs.m_mount_fd);
  return close(fd);
}

const VarnotifyCalls& SystemVarnotifyCalls() {
  static const VarnotifyCalls calls = {VarnotifyInit,         VarnotifyAddWatch64, VarnotifyRemoveWatch64,
                                       VarnotifyAddWatch32,   VarnotifyRemoveWatch32, VarnotifyRead,
                                       VarnotifyClose};
  return calls;
}

}  // namespace tide
