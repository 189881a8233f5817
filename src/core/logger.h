// Process-wide logger: one destination, per-component thresholds, rotation of
// the log file past 1 MiB.
//
// Every line reads "<time stamp>[LEVEL] module(line): message\n". The logger
// does not compose the "[LEVEL] module(line): " prefix: the call site passes a
// format that already starts with it. Modules do that through the TLOG_*
// macros below after defining TIDE_LOG_TAG and TIDE_LOG_COMPONENT, e.g.
//
//   #define TIDE_LOG_TAG "worker"
//   #define TIDE_LOG_COMPONENT "worker_debug"
//   #include "core/logger.h"
//   ...
//   TLOG_ERROR("open %s: %s", path, strerror(errno));
//
// Thread use: every member is static and guarded by log_lock while a message
// is written; the per-call-site threshold cache makes a filtered-out call two
// relaxed atomic loads, so DEBUG lines may sit on hot paths.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tide {

enum LogLevel {
  LOG_LEVEL_CRIT = 2,
  LOG_LEVEL_ERROR = 3,
  LOG_LEVEL_WARNING = 4,
  LOG_LEVEL_NOTE = 5,
  LOG_LEVEL_INFO = 6,
  LOG_LEVEL_DEBUG = 7,
};

// Destination kinds of Logger::Initialize.
enum LogType {
  LOG_TYPE_SYSLOG = 0,
  LOG_TYPE_STDOUT = 1,
  LOG_TYPE_STDERR = 2,
  LOG_TYPE_FILE = 3,
};

// One per call site: caches the component's threshold together with the
// logger generation it was read in, so the common "filtered out" case needs
// no lock and no map look-up.
struct LogSite {
  std::atomic<uint64_t> m_cached{0};  // (generation << 32) | threshold
};

// Keeps, for the thread that made it and while it lives, the most severe
// line logged at NOTE or worse (the first one of that level: later lines
// are mostly consequences of the first), whether or not the line reached
// the log. A worker wraps one attempt at an event in one, so that an event
// that fails can say why without anybody reading the log back.
class ReasonCapture {
 public:
  ReasonCapture();
  ~ReasonCapture();
  ReasonCapture(const ReasonCapture&) = delete;
  ReasonCapture& operator=(const ReasonCapture&) = delete;

  // LOG_LEVEL_* of the line kept, 0 when none was logged.
  int Level() const { return m_level; }
  // The line kept, without its time stamp, level and module prefix.
  const std::string& Message() const { return m_message; }

  // Called by the logger for a line of `level` on this thread.
  static bool Wants(int level);
  static void Offer(int level, const char* format, va_list args);

 private:
  ReasonCapture* m_outer;  // a capture made earlier on the same thread
  int m_level = 0;
  std::string m_message;
};

class Logger {
 public:
  static constexpr int DEFAULT_THRESHOLD = 4;
  static constexpr long ROTATE_SIZE = 1048576;

  static int Initialize(int type, const std::string& log_path, const std::string& level_file_path,
                        int rotate_cnt);
  // `format` starts with the line prefix; its first argument is the call
  // site's source line (the "%d" of "module(%d): ").
  static void Log(int level, const char* component, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  // Called by Log with log_lock held.
  static int Rotate();
  static void Close();

  // Threshold of `component`: its level-file entry, else DEFAULT_THRESHOLD.
  static int Threshold(const char* component);
  // Lock-free pre-check used by the TLOG_* macros.
  static bool Enabled(LogSite& site, int level, const char* component) {
    if (level <= LOG_LEVEL_NOTE && ReasonCapture::Wants(level)) return true;
    uint64_t cached = site.m_cached.load(std::memory_order_relaxed);
    if ((cached >> 32) != s_generation.load(std::memory_order_relaxed)) cached = Refresh(site, component);
    return level <= static_cast<int32_t>(cached & 0xffffffffu);
  }

  // Back to the state before initialisation (tests only).
  static void ResetForTest();

  // Guarded by log_lock.
  static int log_type;
  static FILE* log_fp;
  static std::string log_path;
  static long log_size;
  static int rotate_cnt;
  static std::map<std::string, int, std::less<>> log_level;
  static std::mutex log_lock;

 private:
  static uint64_t Refresh(LogSite& site, const char* component);
  static FILE* OpenLogFile(const std::string& path);
  // Bumped whenever thresholds change; call sites re-read theirs then.
  static std::atomic<uint32_t> s_generation;
};

}  // namespace tide

// Call-site helpers. They need TIDE_LOG_TAG (module tag printed in the line)
// and TIDE_LOG_COMPONENT (level-file key) defined by the including file.
#define TIDE_LOG_AT(level, level_name, fmt, ...)                                                    \
  do {                                                                                              \
    static ::tide::LogSite tide_log_site_;                                                          \
    if (::tide::Logger::Enabled(tide_log_site_, level, TIDE_LOG_COMPONENT))                         \
      ::tide::Logger::Log(level, TIDE_LOG_COMPONENT, "[" level_name "] " TIDE_LOG_TAG "(%d): " fmt "\n", \
                          __LINE__ __VA_OPT__(, ) __VA_ARGS__);                                     \
  } while (0)

#define TLOG_CRIT(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_CRIT, "CRIT", fmt __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_ERROR(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_ERROR, "ERROR", fmt __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_WARNING(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_WARNING, "WARNING", fmt __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_NOTE(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_NOTE, "NOTE", fmt __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_INFO(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_INFO, "INFO", fmt __VA_OPT__(, ) __VA_ARGS__)
#define TLOG_DEBUG(fmt, ...) TIDE_LOG_AT(::tide::LOG_LEVEL_DEBUG, "DEBUG", fmt __VA_OPT__(, ) __VA_ARGS__)
