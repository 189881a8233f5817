// The daemon's status file: what only the running daemon knows, published
// for `tide-clientctl status` without touching the control protocol:
// whether its tasks are paused and, per registered view, its attribute
// bits and the events waiting, with workers and finished lately.
//
// Text, one record per line, "key value" pairs separated by blanks:
//   pid 1234
//   paused 0
//   view 1001 attribute 0 waiting 3 working 1 done 10 bytes_done 4096 bytes_found 65536
//        files_per_hour 7200 bytes_per_second 1048576   (one line)
// Readers skip keys they do not know, so fields can be added. The two rate
// keys are there only while the daemon has measured a rate for the view.
//
// The daemon's main thread writes it from the control loop's periodic
// wake-up; other processes (the control program) only read it. It is replaced by rename, so a reader sees
// either the old or the new text, never a half-written one.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tide {

constexpr const char* STATUS_FILE_PATH = "/var/run/tide-clientd.status";

struct StatusView {
  uint64_t m_view_id = 0;
  uint32_t m_attribute = 0;  // registry attribute bits
  int m_waiting = 0;
  int m_working = 0;
  uint64_t m_done = 0;
  // Bytes of the finished events, and of all found (finished and pending).
  uint64_t m_bytes_done = 0;
  uint64_t m_bytes_found = 0;
  // The finishing rate, when the daemon has one. Files per hour keep a
  // slow rate of large files (one every few seconds) in whole numbers.
  bool m_have_rate = false;
  uint64_t m_files_per_hour = 0;
  uint64_t m_bytes_per_second = 0;

  bool operator==(const StatusView&) const = default;
};

struct DaemonStatus {
  int m_pid = 0;
  bool m_paused = false;  // every task paused by the "pause" instruction
  std::vector<StatusView> m_views;  // in view-id order

  bool operator==(const DaemonStatus&) const = default;
};

std::string FormatStatus(const DaemonStatus& status);
// 0, or -1 for text that is not a status file (missing pid line, a number
// that does not parse).
int ParseStatus(std::string_view text, DaemonStatus* status);

class StatusFileWriter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit StatusFileWriter(std::string path) : m_path(std::move(path)) {}
  // Replaces the file when `status` differs from what it holds, at most
  // once a second: 1 written, 0 nothing to do (yet), -1 failed (logged
  // once until a write succeeds again).
  int Update(const DaemonStatus& status, Clock::time_point now);
  // Removes the file (clean stop).
  void Remove();

 private:
  const std::string m_path;
  std::string m_written;  // text the file holds; empty before the first write
  Clock::time_point m_last_write{};
  bool m_failure_logged = false;
};

}  // namespace tide
