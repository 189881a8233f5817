#include "core/logger.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "core/key_value_file.h"

namespace tide {

int Logger::log_type = LOG_TYPE_STDOUT;
FILE* Logger::log_fp = stderr;
std::string Logger::log_path;
long Logger::log_size = -1;
int Logger::rotate_cnt = 10;
std::map<std::string, int, std::less<>> Logger::log_level;
std::mutex Logger::log_lock;
std::atomic<uint32_t> Logger::s_generation{1};

namespace {

// Log files hold paths and names of users' files: readable by the owner and
// the admin group only, whatever the daemon's file-creation mask is.
constexpr mode_t LOG_FILE_MODE = 0640;

int ParseThreshold(const std::string& value) {
  char* end = nullptr;
  long parsed = strtol(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != '\0') return 0;
  return static_cast<int>(parsed);
}

std::string GenerationName(const std::string& path, int k) {
  char name[1024];
  snprintf(name, sizeof name, "%s_%d", path.c_str(), k);
  return name;
}

}  // namespace

FILE* Logger::OpenLogFile(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, LOG_FILE_MODE);
  if (fd < 0) return nullptr;
  FILE* fp = fdopen(fd, "a");
  if (!fp) close(fd);
  return fp;
}

int Logger::Initialize(int type, const std::string& path, const std::string& level_file_path, int rotate) {
  std::lock_guard<std::mutex> lock(log_lock);
  log_level["default_component"] = DEFAULT_THRESHOLD;
  if (!level_file_path.empty()) {
    KeyValueMap pairs;
    if (ReadKeyValueFile(level_file_path, &pairs) == 0) {
      for (const auto& [component, value] : pairs) log_level[component] = ParseThreshold(value);
    }
  }
  s_generation.fetch_add(1, std::memory_order_relaxed);
  log_type = type;
  switch (type) {
    case LOG_TYPE_SYSLOG:
      log_fp = nullptr;
      log_path.clear();
      log_size = -1;
      return 0;
    case LOG_TYPE_STDOUT:
    case LOG_TYPE_STDERR:
      log_fp = type == LOG_TYPE_STDOUT ? stdout : stderr;
      log_path.clear();
      log_size = -1;
      return 0;
    default:
      break;
  }
  if (path.empty()) return -1;
  FILE* fp = OpenLogFile(path);
  if (!fp) return -1;
  log_fp = fp;
  // What the file already holds is not counted: it rotates after a further
  // ROTATE_SIZE bytes.
  log_size = 0;
  log_path = path;
  rotate_cnt = rotate;
  return 0;
}

int Logger::Threshold(const char* component) {
  std::lock_guard<std::mutex> lock(log_lock);
  auto it = log_level.find(std::string_view(component));
  return it == log_level.end() ? DEFAULT_THRESHOLD : it->second;
}

uint64_t Logger::Refresh(LogSite& site, const char* component) {
  uint32_t generation = s_generation.load(std::memory_order_relaxed);
  int threshold = Threshold(component);
  uint64_t cached = (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(threshold);
  site.m_cached.store(cached, std::memory_order_relaxed);
  return cached;
}

void Logger::Log(int level, const char* component, const char* format, ...) {
  if (ReasonCapture::Wants(level)) {
    va_list captured;
    va_start(captured, format);
    ReasonCapture::Offer(level, format, captured);
    va_end(captured);
  }
  // Every static is read under the lock: another thread may be rotating
  // the file. After a failed rotation there is no stream (checked below):
  // logging has stopped.
  std::lock_guard<std::mutex> lock(log_lock);
  auto it = log_level.find(std::string_view(component));
  int threshold = it == log_level.end() ? DEFAULT_THRESHOLD : it->second;
  if (level > threshold) return;

  va_list args;
  va_start(args, format);
  if (log_type == LOG_TYPE_SYSLOG) {
    vsyslog(LOG_ERR, format, args);
    va_end(args);
    return;
  }
  if (log_type < LOG_TYPE_SYSLOG || log_type > LOG_TYPE_FILE) {
    vfprintf(stderr, format, args);
    va_end(args);
    return;
  }
  if (log_fp == nullptr) {
    va_end(args);
    return;
  }
  char stamp[64];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%b %d %H:%M:%S ", &local);
  int stamp_bytes = fputs(stamp, log_fp) >= 0 ? static_cast<int>(strlen(stamp)) : -1;
  int message_bytes = vfprintf(log_fp, format, args);
  va_end(args);
  fflush(log_fp);

  if (log_type != LOG_TYPE_FILE || log_size < 0 || stamp_bytes < 0 || message_bytes < 0) return;
  log_size += stamp_bytes + message_bytes;
  if (log_size > ROTATE_SIZE) {
    // The message that crossed the limit is the last one in the old file.
    Rotate();
    log_size = 0;
  }
}

// Called with log_lock held.
int Logger::Rotate() {
  for (int k = rotate_cnt - 2; k >= 0; --k) rename(GenerationName(log_path, k).c_str(), GenerationName(log_path, k + 1).c_str());
  unlink(GenerationName(log_path, rotate_cnt - 1).c_str());
  if (log_fp) fclose(log_fp);
  log_fp = nullptr;
  if (rename(log_path.c_str(), GenerationName(log_path, 0).c_str()) != 0) return -1;
  log_fp = OpenLogFile(log_path);
  return log_fp ? 0 : -1;
}

void Logger::Close() {
  std::lock_guard<std::mutex> lock(log_lock);
  if (log_type != LOG_TYPE_FILE) return;
  if (log_fp) fclose(log_fp);
  log_fp = stdout;
  log_type = LOG_TYPE_STDERR;
  log_size = -1;
  log_path.clear();
}

void Logger::ResetForTest() {
  std::lock_guard<std::mutex> lock(log_lock);
  if (log_type == LOG_TYPE_FILE && log_fp) fclose(log_fp);
  log_type = LOG_TYPE_STDOUT;
  log_fp = stderr;
  log_path.clear();
  log_size = -1;
  rotate_cnt = 10;
  log_level.clear();
  s_generation.fetch_add(1, std::memory_order_relaxed);
}

namespace {
thread_local ReasonCapture* t_capture = nullptr;
}  // namespace

ReasonCapture::ReasonCapture() : m_outer(t_capture) { t_capture = this; }

ReasonCapture::~ReasonCapture() { t_capture = m_outer; }

bool ReasonCapture::Wants(int level) { return level <= LOG_LEVEL_NOTE && t_capture != nullptr; }

void ReasonCapture::Offer(int level, const char* format, va_list args) {
  ReasonCapture* capture = t_capture;
  if (capture == nullptr || (capture->m_level != 0 && capture->m_level <= level)) return;
  char line[1024];
  vsnprintf(line, sizeof line, format, args);
  std::string_view text(line);
  // "[LEVEL] module(line): message\n": keep the message.
  size_t prefix_end = text.find("): ");
  if (!text.empty() && text[0] == '[' && prefix_end != std::string_view::npos) text.remove_prefix(prefix_end + 3);
  while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  capture->m_level = level;
  capture->m_message.assign(text);
}

}  // namespace tide
