#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "daemon/startup.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <string>

#include "core/daemon_state.h"
#include "core/logger.h"
#include "core/pid_file.h"
#include "db/native_client_db.h"
#include "filter/filter.h"
#include "fs/beneath.h"
#include "fs/view_dir.h"
#include "fs/work_dir.h"
#include "platform/varnotify.h"
#include "platform/vendor_system.h"
#include "sync/server_connection.h"

namespace tide {

namespace {

// The PID file is read by scripts and other users; it must not inherit the
// daemon's zero file-creation mask.
constexpr mode_t PID_FILE_MODE = 0644;
// How long a recorded row may wait for others to share its commit.
constexpr std::chrono::milliseconds ROW_COMMIT_DELAY{10};

void OnStopSignal(int) { RequestShutdown(); }

// Opens /dev/null onto `target`; on failure reports to syslog, since no
// logger exists yet.
int RedirectToDevNull(int target) {
  int fd = open("/dev/null", O_RDWR);
  if (fd < 0) {
    syslog(LOG_ERR, "Tidewell: open(%d): %s\n", __LINE__, strerror(errno));
    syslog(LOG_ERR, "Tidewell: client is not enabled\n");
    return -1;
  }
  if (fd != target) {
    dup2(fd, target);
    close(fd);
  }
  return 0;
}

// A live daemon is one whose PID file names a process that still runs.
bool OtherDaemonAlive(const std::string& pid_file_path, int* pid) {
  *pid = ReadPidFile(pid_file_path);
  return ProcessRunning(*pid);
}

int WritePidFile(const std::string& path) {
  // O_NOFOLLOW: a link planted at the PID file's path must not make a root
  // daemon overwrite whatever it points to.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, PID_FILE_MODE);
  FILE* fp = fd < 0 ? nullptr : fdopen(fd, "w");
  if (!fp) {
    TLOG_ERROR("become_daemon: fopen: %s", strerror(errno));
    if (fd >= 0) close(fd);
    return -1;
  }
  fchmod(fd, PID_FILE_MODE);
  fprintf(fp, "%d\n", getpid());
  fclose(fp);
  return 0;
}

}  // namespace

void CloseDescriptorsFrom(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0) return;
#endif
  long limit = sysconf(_SC_OPEN_MAX);
  if (limit < 0 || limit > INT_MAX) limit = 1024;
  for (int fd = first; fd <= limit; ++fd) close(fd);
}

int BecomeDaemon(const ClientConfig& config) {
  if (RedirectToDevNull(STDIN_FILENO) < 0) return -1;
  if (config.m_is_daemon) {
    if (RedirectToDevNull(STDOUT_FILENO) < 0 || RedirectToDevNull(STDERR_FILENO) < 0) return -1;
  }
  CloseDescriptorsFrom(3);
  // New files in a view get what their owner's programs would give them:
  // 0666 and 0777 under this mask, unless the folder's default ACL decides.
  SetCreationMask(static_cast<mode_t>(config.m_umask));

  if (config.m_is_daemon) {
    if (Logger::Initialize(LOG_TYPE_FILE, config.m_log_file_path, config.m_log_level_file_path, 10) < 0) {
      syslog(LOG_ERR, "Tidewell: client is not enabled\n");
      return -1;
    }
  } else if (Logger::Initialize(LOG_TYPE_STDERR, "", config.m_log_level_file_path, 10) < 0) {
    fprintf(stderr, "fail to initialize logger\n");
    return -1;
  }
  if (config.m_worker_count_requested != config.m_worker_count) {
    TLOG_WARNING("worker_count %u is above the limit; using %u workers", config.m_worker_count_requested,
                 config.m_worker_count);
  }

  int pid = 0;
  if (OtherDaemonAlive(config.m_pid_file_path, &pid)) {
    TLOG_ERROR("client is alive (pid = %d)", pid);
    return -1;
  }
  if (config.m_is_daemon && daemon(0, 0) < 0) {
    TLOG_ERROR("daemon: %s", strerror(errno));
    return -1;
  }

  struct sigaction stop = {};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (WritePidFile(config.m_pid_file_path) < 0) return -1;

  // The local database, the black-list filter, then the pool holding the
  // one server connection every syncer and worker takes turns on.
  std::string db_path = config.DbPath();
  if (NativeClientDb::Instance().Initialize(db_path) < 0) {
    TLOG_ERROR("Failed to initialize event database at '%s'.", db_path.c_str());
    return -1;
  }
  // Rows recorded within a few milliseconds share one commit. A row lost
  // with a crash in that time leaves a file without its row, which the
  // server's history brings back (its version, the same content) as it
  // does after a crash between an answer and its row.
  NativeClientDb::Instance().SetCommitDelay(ROW_COMMIT_DELAY);
  if (LoadFilter(config.m_filter_path) < 0) {
    TLOG_ERROR("Failed to load black list");
    return -1;
  }
  // Unconnected (-1): the first task that needs the server connects.
  if (ConnectionPool::Instance().Initialize(1) < 0) return -1;

  const char* resolve = getenv(RESOLVE_CHOICE_VARIABLE);
  if (resolve != nullptr && strcmp(resolve, "walk") == 0) ForceComponentWalk(true);
  TLOG_INFO("paths below views resolve %s", !KernelResolvesBeneath() || (resolve && strcmp(resolve, "walk") == 0)
                                                ? "component by component (O_NOFOLLOW)"
                                                : "in the kernel (openat2 beneath, no symbolic links)");
  VolumeLayout layout;
  layout.m_work_dir_name = config.m_work_dir_name;
  SetVolumeLayout(layout);
  ViewDir work;
  if (!config.m_volume_path.empty()) {
    if (OpenWorkDir(WorkDirPath(config.m_volume_path, config.m_work_dir_name), &work) < 0) {
      TLOG_WARNING("the work folder on '%s' could not be prepared", config.m_volume_path.c_str());
    } else {
      // No task runs yet, and the pid file shows no other daemon: whatever
      // is in the folder was left by a run that was killed mid-transfer.
      ClearWorkDir(work);
    }
  }
  return 0;
}

bool ProbeNotifySupport() {
  // Lets an administrator (and the tests) keep the inotify detector.
  const char* choice = getenv(DETECTOR_CHOICE_VARIABLE);
  if (choice != nullptr && strcmp(choice, "inotify") == 0) {
    TLOG_INFO("volume-wide notification not used (%s=inotify)", DETECTOR_CHOICE_VARIABLE);
    return false;
  }
  // Every failure means no volume detector: one that cannot open its
  // descriptor (no privilege, say) could watch nothing, and registration
  // would then refuse every view.
  int fd = VarnotifyInit(0);
  if (fd < 0) {
    TLOG_ERROR("varnotify_init error: %s", strerror(errno));
    return false;
  }
  // The volume's file system must take a watch too (some cannot report
  // names); asked once here rather than failing registration later.
  const std::string& volume = ClientConfig::Instance().m_volume_path;
  bool supported = true;
  struct stat st;
  if (!volume.empty() && stat(volume.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (VarnotifyAddWatch32(fd, volume.c_str(), VARN_WATCH_MASK) < 0) {
      TLOG_ERROR("varnotify watch on '%s' refused: %s", volume.c_str(), strerror(errno));
      supported = false;
    }
  }
  VarnotifyClose(fd);
  return supported;
}

}  // namespace tide
