// The daemon's configuration record: built with defaults on first use, filled
// by the volume look-up and the optional configuration file during start-up,
// and read-only (so read without a lock) once the task threads run.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

constexpr const char* DB_PATH_CONF = "/var/packages/Tidewell/etc/db-path.conf";

// Upper bound on worker_count: enough workers for any appliance, and far
// below what would exhaust threads or overflow the task table's size.
constexpr uint32_t MAX_WORKER_COUNT = 256;

class ClientConfig {
 public:
  // The daemon's configuration, for start-up; the parts that use it are
  // handed it.
  static ClientConfig& Instance();

  // The built-in defaults (tests, tools).
  ClientConfig();

  // Reads the configuration file; -1 (defaults kept) when it cannot be read
  // or is invalid. Unknown keys and empty values are ignored.
  int Load(const std::string& path);
  // volume_path + "/" + db_rel_path.
  std::string DbPath() const;
  // Writes the configuration at DEBUG, one line per field.
  void LogSettings() const;
  // Back to the built-in defaults (tests only).
  void ResetForTest();

  std::string m_volume_path;
  std::string m_db_rel_path;
  std::string m_pid_file_path;
  std::string m_log_file_path;
  std::string m_log_level_file_path;
  std::string m_filter_path;
  std::string m_freeze_file_path;
  std::string m_work_dir_name;
  uint32_t m_worker_count;
  std::string m_client_socket;
  std::string m_service_socket;
  std::string m_control_socket;
  bool m_is_daemon;
  bool m_do_index;
  // File-creation mask of what the daemon creates in views (0: the
  // appliance's own behaviour, where ACLs alone decide).
  uint32_t m_umask;
  // Set by Load when worker_count was above MAX_WORKER_COUNT and cut down;
  // start-up logs it once the logger exists.
  uint32_t m_worker_count_requested;
};

}  // namespace tide
