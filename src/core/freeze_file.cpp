#define TIDE_LOG_TAG "service-ctrl"
#define TIDE_LOG_COMPONENT "service_ctrl_debug"
#include "core/freeze_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/logger.h"

namespace tide {

namespace {

// Other programs of the package read the file.
constexpr mode_t FREEZE_FILE_MODE = 0644;

std::mutex s_mutex;
std::string s_path = FREEZE_FILE_PATH;  // guarded by s_mutex

std::string CurrentPath() {
  std::lock_guard<std::mutex> guard(s_mutex);
  return s_path;
}

// The file lives in a world-writable directory: a planted link must not
// make the root daemon read or append to a file of someone else's choice,
// and a planted FIFO must not block a worker in open().
int OpenFreezeFile(const std::string& path, int flags) {
  int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, FREEZE_FILE_MODE);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Reads and appends block normally from here on.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

bool FreezeFileState::operator==(const FreezeFileState& other) const {
  if (m_exists != other.m_exists) return false;
  if (!m_exists) return true;
  return m_dev == other.m_dev && m_ino == other.m_ino && m_size == other.m_size &&
         m_mtime.tv_sec == other.m_mtime.tv_sec && m_mtime.tv_nsec == other.m_mtime.tv_nsec &&
         m_ctime.tv_sec == other.m_ctime.tv_sec && m_ctime.tv_nsec == other.m_ctime.tv_nsec;
}

namespace {

FreezeFileState StateOf(int fd) {
  FreezeFileState state;
  struct stat st;
  if (fstat(fd, &st) < 0) return state;
  state.m_exists = true;
  state.m_dev = st.st_dev;
  state.m_ino = st.st_ino;
  state.m_size = st.st_size;
  state.m_mtime = st.st_mtim;
  state.m_ctime = st.st_ctim;
  return state;
}

// The same reading as IsViewFrozen's (" %llu\n" until the first thing that
// is not a number), from the start of a file opened for appending.
bool ListsView(int fd, uint64_t view_id) {
  std::string text;
  char buffer[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t got = pread(fd, buffer, sizeof(buffer), offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  const char* p = text.c_str();
  unsigned long long id = 0;
  int used = 0;
  while (sscanf(p, " %llu%n", &id, &used) == 1) {
    if (id == view_id) return true;
    p += used;
  }
  return false;
}

}  // namespace

bool IsViewFrozen(uint64_t view_id, FreezeFileState* seen) {
  if (seen != nullptr) *seen = FreezeFileState();
  std::string path = CurrentPath();
  struct stat st;
  if (lstat(path.c_str(), &st) < 0) return false;

  std::lock_guard<std::mutex> guard(s_mutex);
  int fd = OpenFreezeFile(path, O_RDONLY);
  FILE* fp = fd < 0 ? nullptr : fdopen(fd, "r");
  if (fp == nullptr) {
    TLOG_ERROR("open file '%s' failed: %s", path.c_str(), strerror(errno));
    if (fd >= 0) close(fd);
    return false;
  }
  bool frozen = false;
  if (flock(fd, LOCK_EX) < 0) {
    TLOG_ERROR("flock failed: %s", strerror(errno));
  } else {
    if (seen != nullptr) *seen = StateOf(fd);
    unsigned long long id = 0;
    while (fscanf(fp, " %llu\n", &id) == 1) {
      if (id == view_id) {
        frozen = true;
        break;
      }
    }
    if (flock(fd, LOCK_UN) < 0) TLOG_ERROR("flock failed: %s", strerror(errno));
  }
  fclose(fp);
  return frozen;
}

void FreezeView(uint64_t view_id) {
  if (IsViewFrozen(view_id)) {
    TLOG_DEBUG("view id %llu is already in freeze mode", static_cast<unsigned long long>(view_id));
    return;
  }
  std::lock_guard<std::mutex> guard(s_mutex);
  int fd = OpenFreezeFile(s_path, O_WRONLY | O_APPEND | O_CREAT);
  if (fd < 0) {
    TLOG_ERROR("open file '%s' failed: %s", s_path.c_str(), strerror(errno));
    return;
  }
  if (flock(fd, LOCK_EX) < 0) {
    TLOG_ERROR("flock failed: %s", strerror(errno));
    close(fd);
    return;
  }
  char line[32];
  int length = snprintf(line, sizeof(line), " %llu\n", static_cast<unsigned long long>(view_id));
  // One write() per line so a concurrent reader in another process never
  // sees half a number (it holds the same flock anyway).
  if (write(fd, line, static_cast<size_t>(length)) != length) {
    TLOG_ERROR("write file '%s' failed: %s", s_path.c_str(), strerror(errno));
  }
  if (flock(fd, LOCK_UN) < 0) TLOG_ERROR("flock failed: %s", strerror(errno));
  close(fd);
}

bool FreezeViewUnlessChanged(uint64_t view_id, const FreezeFileState& seen) {
  std::lock_guard<std::mutex> guard(s_mutex);
  int fd = OpenFreezeFile(s_path, O_RDWR | O_APPEND);
  bool created = false;
  if (fd < 0 && errno == ENOENT) {
    // Removed since the work began: lifted. Never there: a first freeze.
    if (seen.m_exists) return false;
    fd = OpenFreezeFile(s_path, O_RDWR | O_APPEND | O_CREAT);
    created = true;
  }
  if (fd < 0) {
    TLOG_ERROR("open file '%s' failed: %s", s_path.c_str(), strerror(errno));
    return false;
  }
  if (flock(fd, LOCK_EX) < 0) {
    TLOG_ERROR("flock failed: %s", strerror(errno));
    close(fd);
    return false;
  }
  bool frozen = ListsView(fd, view_id);
  if (frozen) {
    TLOG_DEBUG("view id %llu is already in freeze mode", static_cast<unsigned long long>(view_id));
  } else if (!created && StateOf(fd) != seen) {
    TLOG_DEBUG("freeze file changed since view id %llu began its work; not frozen",
               static_cast<unsigned long long>(view_id));
  } else {
    char line[32];
    int length = snprintf(line, sizeof(line), " %llu\n", static_cast<unsigned long long>(view_id));
    if (write(fd, line, static_cast<size_t>(length)) != length) {
      TLOG_ERROR("write file '%s' failed: %s", s_path.c_str(), strerror(errno));
    } else {
      frozen = true;
    }
  }
  if (flock(fd, LOCK_UN) < 0) TLOG_ERROR("flock failed: %s", strerror(errno));
  close(fd);
  return frozen;
}

void SetFreezeFilePathForTest(const std::string& path) {
  std::lock_guard<std::mutex> guard(s_mutex);
  s_path = path.empty() ? FREEZE_FILE_PATH : path;
}

}  // namespace tide
