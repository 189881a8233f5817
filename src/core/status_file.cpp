#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "core/status_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"

namespace tide {

namespace {

constexpr auto MIN_INTERVAL = std::chrono::seconds(1);

bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t next = result * 10 + static_cast<uint64_t>(c - '0');
    if (next / 10 != result) return false;
    result = next;
  }
  *value = result;
  return true;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// Writes the whole text to a new file next to `path` and renames it over
// `path`; the temporary file is removed on failure, and *why names the
// failing step. The file is only a display: it is not synced to disk.
int ReplaceFile(const std::string& path, const std::string& text, std::string* why) {
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *why = "open(" + temp + "): " + strerror(errno);
    return -1;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *why = "write(" + temp + "): " + strerror(n < 0 ? errno : EIO);
      close(fd);
      unlink(temp.c_str());
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    *why = "rename to " + path + ": " + strerror(errno);
    unlink(temp.c_str());
    return -1;
  }
  return 0;
}

}  // namespace

std::string FormatStatus(const DaemonStatus& status) {
  std::string text = "pid " + std::to_string(status.m_pid) + "\npaused " + (status.m_paused ? "1" : "0") + "\n";
  for (const StatusView& view : status.m_views) {
    text += "view " + std::to_string(view.m_view_id) + " attribute " + std::to_string(view.m_attribute) +
            " waiting " + std::to_string(view.m_waiting) + " working " + std::to_string(view.m_working) +
            " done " + std::to_string(view.m_done) + " bytes_done " + std::to_string(view.m_bytes_done) +
            " bytes_found " + std::to_string(view.m_bytes_found);
    if (view.m_have_rate) {
      text += " files_per_hour " + std::to_string(view.m_files_per_hour) + " bytes_per_second " +
              std::to_string(view.m_bytes_per_second);
    }
    text += "\n";
  }
  return text;
}

int ParseStatus(std::string_view text, DaemonStatus* status) {
  DaemonStatus result;
  bool have_pid = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    uint64_t number = 0;
    if (words.size() < 2 || !ParseNumber(words[1], &number)) return -1;
    if (words[0] == "pid") {
      if (number == 0 || number > 0x7fffffff) return -1;
      result.m_pid = static_cast<int>(number);
      have_pid = true;
    } else if (words[0] == "paused") {
      result.m_paused = number != 0;
    } else if (words[0] == "view") {
      StatusView view;
      view.m_view_id = number;
      for (size_t i = 2; i + 1 < words.size(); i += 2) {
        uint64_t value = 0;
        if (!ParseNumber(words[i + 1], &value)) return -1;
        if (words[i] == "attribute") {
          view.m_attribute = static_cast<uint32_t>(value);
        } else if (words[i] == "waiting") {
          view.m_waiting = static_cast<int>(value > 0x7fffffff ? 0x7fffffff : value);
        } else if (words[i] == "working") {
          view.m_working = static_cast<int>(value > 0x7fffffff ? 0x7fffffff : value);
        } else if (words[i] == "done") {
          view.m_done = value;
        } else if (words[i] == "bytes_done") {
          view.m_bytes_done = value;
        } else if (words[i] == "bytes_found") {
          view.m_bytes_found = value;
        } else if (words[i] == "files_per_hour") {
          view.m_files_per_hour = value;
          view.m_have_rate = true;
        } else if (words[i] == "bytes_per_second") {
          view.m_bytes_per_second = value;
          view.m_have_rate = true;
        }
      }
      result.m_views.push_back(view);
    }
  }
  if (!have_pid) return -1;
  *status = std::move(result);
  return 0;
}

int StatusFileWriter::Update(const DaemonStatus& status, Clock::time_point now) {
  std::string text = FormatStatus(status);
  if (text == m_written) return 0;
  if (!m_written.empty() && now - m_last_write < MIN_INTERVAL) return 0;
  std::string why;
  if (ReplaceFile(m_path, text, &why) < 0) {
    // Only the display goes stale; say so once, not every few seconds.
    if (!m_failure_logged) TLOG_ERROR("cannot write the status file: %s", why.c_str());
    m_failure_logged = true;
    return -1;
  }
  m_failure_logged = false;
  m_written = std::move(text);
  m_last_write = now;
  return 1;
}

void StatusFileWriter::Remove() {
  if (unlink(m_path.c_str()) != 0 && errno != ENOENT) {
    TLOG_ERROR("status file: unlink(%s): %s", m_path.c_str(), strerror(errno));
  }
  m_written.clear();
}

}  // namespace tide
