// tide-refsyncd: the reference server daemon for development, whole-system
// tests and the demo, and its admin command line.
//
//   tide-refsyncd --db FILE --store DIR [--socket PATH] [--batch N] [--spool DIR]
//                 [--foreground] [--log FILE] [--log-level N] [--pid-file FILE]
//                 [--trace FILE]
//   tide-refsyncd --db FILE --store DIR COMMAND ...      (admin; see --help)
#define TIDE_LOG_TAG "refsyncd"
#define TIDE_LOG_COMPONENT "refsyncd_debug"
#include "core/logger.h"

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ref_admin.h"
#include "ref_server.h"
#include "ref_store.h"

namespace {

tide::RefServer* g_server = nullptr;

void OnStopSignal(int) {
  if (g_server) g_server->RequestStop();
}

struct Options {
  std::string m_db;
  std::string m_store;
  std::string m_log;
  std::string m_pid_file;
  int m_log_level = tide::LOG_LEVEL_INFO;
  bool m_foreground = false;
  tide::RefServerOptions m_server;
  std::vector<std::string> m_command;
};

void Usage(FILE* to) {
  fputs(
      "usage: tide-refsyncd --db FILE --store DIR [--socket PATH] [--batch N] [--spool DIR]\n"
      "                     [--foreground] [--log FILE] [--log-level N] [--pid-file FILE]\n"
      "                     [--trace FILE]\n"
      "       tide-refsyncd --db FILE --store DIR COMMAND ...\n"
      "Serves the history in FILE and the contents in DIR on a Unix socket (default /tmp/sfsock).\n"
      "Without --foreground it detaches once the socket is ready and logs to --log\n"
      "(default DIR/refsyncd.log); in the foreground it logs to stderr unless --log is given.\n"
      "--log-level: 7 debug, 6 info (default), 5 note, 4 warning, 3 error.\n"
      "--trace: one line per request, for measurements: arrival and answer times\n"
      "(nanoseconds of the real-time clock), command code, path.\n",
      to);
  fputs(tide::RefAdminUsage(), to);
}

// 0, 1 for --help, -1 on bad usage.
int ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    std::string number;
    if (arg == "--help" || arg == "-h") return 1;
    if (arg == "--db") {
      if (!value(&o->m_db)) return -1;
    } else if (arg == "--store") {
      if (!value(&o->m_store)) return -1;
    } else if (arg == "--socket") {
      if (!value(&o->m_server.m_socket_path)) return -1;
    } else if (arg == "--spool") {
      if (!value(&o->m_server.m_spool_dir)) return -1;
    } else if (arg == "--log") {
      if (!value(&o->m_log)) return -1;
    } else if (arg == "--pid-file") {
      if (!value(&o->m_pid_file)) return -1;
    } else if (arg == "--trace") {
      if (!value(&o->m_server.m_trace_path)) return -1;
    } else if (arg == "--batch" || arg == "--log-level") {
      if (!value(&number)) return -1;
      char* end = nullptr;
      long parsed = strtol(number.c_str(), &end, 10);
      if (*end != '\0' || parsed < 1 || parsed > 1000000) return -1;
      if (arg == "--batch") o->m_server.m_batch = static_cast<uint32_t>(parsed);
      else o->m_log_level = static_cast<int>(parsed);
    } else if (arg == "--foreground") {
      o->m_foreground = true;
    } else if (!arg.empty() && arg[0] == '-') {
      return -1;
    } else {
      o->m_command.assign(argv + i, argv + argc);
      break;
    }
  }
  return o->m_db.empty() || o->m_store.empty() ? -1 : 0;
}

int InitLogger(int type, const std::string& path, int level) {
  {
    std::lock_guard<std::mutex> lock(tide::Logger::log_lock);
    tide::Logger::log_level["refsyncd_debug"] = level;
  }
  return tide::Logger::Initialize(type, path, "", 1);
}

// Detaches; the parent stays until the child reports that it listens, so
// that a caller can connect as soon as the command returns. Returns in the
// child with the write end of the report pipe; the parent exits.
int Detach() {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid > 0) {
    close(report[1]);
    char status = 1;
    ssize_t n;
    do n = read(report[0], &status, 1);
    while (n < 0 && errno == EINTR);
    _exit(n == 1 && status == 0 ? 0 : 1);
  }
  close(report[0]);
  setsid();
  if (fork() > 0) _exit(0);
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (null > 2) close(null);
  }
  return report[1];
}

void Report(int fd, char status) {
  if (fd < 0) return;
  ssize_t ignored = write(fd, &status, 1);
  (void)ignored;
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int parsed = ParseArgs(argc, argv, &o);
  if (parsed != 0) {
    Usage(parsed > 0 ? stdout : stderr);
    return parsed > 0 ? 0 : 2;
  }

  if (!o.m_command.empty()) {
    // Admin: messages to stderr, results to stdout.
    InitLogger(tide::LOG_TYPE_STDERR, "", tide::LOG_LEVEL_WARNING);
    tide::RefStore store;
    if (store.Open(o.m_db, o.m_store) != 0) return 1;
    return tide::RunRefAdmin(&store, o.m_command, stdout, stderr);
  }

  // Every request allocates and frees a little; without a margin the heap
  // is given back to the system and grown again on each one (a brk call
  // or two per upload).
  mallopt(M_TRIM_THRESHOLD, 32 << 20);
  mallopt(M_TOP_PAD, 4 << 20);

  // The daemon leaves its working directory: relative paths must not change
  // meaning with it.
  std::error_code ec;
  o.m_db = std::filesystem::absolute(o.m_db, ec).string();
  o.m_store = std::filesystem::absolute(o.m_store, ec).string();
  if (!o.m_log.empty()) o.m_log = std::filesystem::absolute(o.m_log, ec).string();
  if (!o.m_pid_file.empty()) o.m_pid_file = std::filesystem::absolute(o.m_pid_file, ec).string();
  if (!o.m_server.m_spool_dir.empty())
    o.m_server.m_spool_dir = std::filesystem::absolute(o.m_server.m_spool_dir, ec).string();
  if (!o.m_server.m_trace_path.empty())
    o.m_server.m_trace_path = std::filesystem::absolute(o.m_server.m_trace_path, ec).string();

  int report = -1;
  if (!o.m_foreground) {
    std::filesystem::create_directories(o.m_store, ec);
    if (o.m_log.empty()) o.m_log = o.m_store + "/refsyncd.log";
    report = Detach();
    if (report < 0) {
      perror("tide-refsyncd: detach");
      return 1;
    }
    if (chdir("/") != 0) {
      // Nothing depends on the working directory any more.
    }
  }
  if (o.m_log.empty()) {
    InitLogger(tide::LOG_TYPE_STDERR, "", o.m_log_level);
  } else if (InitLogger(tide::LOG_TYPE_FILE, o.m_log, o.m_log_level) != 0) {
    fprintf(stderr, "tide-refsyncd: cannot open log %s\n", o.m_log.c_str());
    Report(report, 1);
    return 1;
  }

  tide::RefStore store;
  if (store.Open(o.m_db, o.m_store) != 0) {
    TLOG_ERROR("cannot open the history %s with the store %s", o.m_db.c_str(), o.m_store.c_str());
    Report(report, 1);
    return 1;
  }
  tide::RefServer server(&store, o.m_server);
  g_server = &server;
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (server.Listen() != 0) {
    Report(report, 1);
    return 1;
  }
  if (!o.m_pid_file.empty()) {
    FILE* f = fopen(o.m_pid_file.c_str(), "w");
    if (f) {
      fprintf(f, "%d\n", getpid());
      fclose(f);
    } else {
      TLOG_WARNING("cannot write pid file %s: %s", o.m_pid_file.c_str(), strerror(errno));
    }
  }
  uint64_t sync_id = 0;
  store.CurrentSyncId(&sync_id);
  TLOG_NOTE("started (pid %d, history %s, store %s, sync id %llu)", getpid(), o.m_db.c_str(), o.m_store.c_str(),
            static_cast<unsigned long long>(sync_id));
  Report(report, 0);
  server.Run();
  g_server = nullptr;
  if (!o.m_pid_file.empty()) unlink(o.m_pid_file.c_str());
  store.Close();
  TLOG_NOTE("exit");
  tide::Logger::Close();
  return 0;
}
