// `tide-clientctl status`: a read-only view of the daemon for a person (or,
// with --json, for a script). Gathered from the PID file, the control
// socket's file, the daemon's status file, its two databases opened read
// only, the freeze file and the tail of its log; nothing is sent to the
// daemon.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/client_config.h"
#include "db/failure_store.h"

namespace tide {

constexpr int STATUS_EXIT_RUNNING = 0;
constexpr int STATUS_EXIT_NOT_RUNNING = 3;

struct StatusPaths {
  std::string m_pid_file;
  std::string m_control_socket;
  std::string m_status_file;
  std::string m_local_db;
  std::string m_user_db;
  std::string m_log_file;
};

StatusPaths PathsOf(const ClientConfig& config, const std::string& status_file);

struct ViewReport {
  uint64_t m_view_id = 0;
  std::string m_kind;  // "user", "share" or "" when the user database does not know the view
  std::string m_name;
  std::string m_path;
  bool m_enabled = true;     // as the user database says
  bool m_registered = false;  // served by the running daemon
  bool m_paused = false;
  bool m_frozen = false;
  bool m_catching_up = false;
  uint64_t m_catch_up_sync_id = 0;
  int m_waiting = 0;
  int m_working = 0;
  uint64_t m_done = 0;
  uint64_t m_bytes_done = 0;
  uint64_t m_bytes_found = 0;
  bool m_have_rate = false;  // the daemon measured the rates below
  double m_files_per_second = 0;
  double m_bytes_per_second = 0;
  uint64_t m_failed = 0;           // paths whose last attempt failed
  uint64_t m_conflict_copies = 0;  // synchronised files kept under a conflict name
};

struct TransferReport {
  uint64_t m_sync_id = 0;
  uint64_t m_view_id = 0;
  std::string m_path;
  uint64_t m_size = 0;
  bool m_directory = false;
};

struct StatusReport {
  bool m_running = false;
  int m_pid = 0;
  bool m_socket_present = false;
  bool m_status_file_present = false;
  bool m_paused = false;
  bool m_have_sync_id = false;
  uint64_t m_global_sync_id = 0;
  std::vector<ViewReport> m_views;
  std::vector<TransferReport> m_transfers;  // newest first
  std::vector<FailedItem> m_failed;         // newest failure first
  std::vector<std::string> m_errors;        // oldest first
  std::vector<std::string> m_problems;      // sources that could not be read
};

StatusReport GatherStatus(const StatusPaths& paths);
// `text` as a JSON string literal; bytes that are not UTF-8 become \u00XX.
std::string JsonString(const std::string& text);
void PrintStatus(const StatusReport& report, const StatusPaths& paths, FILE* out);
void PrintStatusJson(const StatusReport& report, const StatusPaths& paths, FILE* out);

}  // namespace tide
