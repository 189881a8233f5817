#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "core/client_config.h"

#include <cstdlib>
#include <cstring>

#include "core/key_value_file.h"
#include "core/logger.h"

namespace tide {
namespace {

enum OptionType { OPTION_STRING, OPTION_UINT, OPTION_BOOL, OPTION_MODE };

// One row per configuration key: its type, default and field. The table
// drives defaults, the file reader and the DEBUG print alike.
struct Option {
  const char* m_key;
  OptionType m_type;
  const char* m_default;
  bool m_settable;  // false: not taken from the configuration file
  std::string ClientConfig::*m_string;
  uint32_t ClientConfig::*m_uint;
  bool ClientConfig::*m_bool;
};

const Option OPTIONS[] = {
    {"volume_path", OPTION_STRING, "", true, &ClientConfig::m_volume_path, nullptr, nullptr},
    {"db_rel_path", OPTION_STRING, "@tidewell/@clientd/db.sqlite", true, &ClientConfig::m_db_rel_path, nullptr, nullptr},
    {"pid_file_path", OPTION_STRING, "/var/run/tide-clientd.pid", true, &ClientConfig::m_pid_file_path, nullptr, nullptr},
    {"log_file_path", OPTION_STRING, "/var/log/tdwl/client.log", true, &ClientConfig::m_log_file_path, nullptr, nullptr},
    {"log_level_file_path", OPTION_STRING, "/var/packages/Tidewell/target/etc/syncfolder_c.debug", true,
     &ClientConfig::m_log_level_file_path, nullptr, nullptr},
    {"filter_path", OPTION_STRING, "/var/packages/Tidewell/target/etc/filter", true, &ClientConfig::m_filter_path, nullptr, nullptr},
    {"freeze_file_path", OPTION_STRING, "/var/packages/Tidewell/etc/freeze", true, &ClientConfig::m_freeze_file_path, nullptr, nullptr},
    {"work_dir_name", OPTION_STRING, "tide-clientd.tmp.dir", false, &ClientConfig::m_work_dir_name, nullptr, nullptr},
    {"worker_count", OPTION_UINT, "6", true, nullptr, &ClientConfig::m_worker_count, nullptr},
    {"client_socket", OPTION_STRING, "/tmp/sfsock", true, &ClientConfig::m_client_socket, nullptr, nullptr},
    {"service_socket", OPTION_STRING, "/tmp/tide-service", true, &ClientConfig::m_service_socket, nullptr, nullptr},
    {"control_socket", OPTION_STRING, "/tmp/tide-clientd-control", true, &ClientConfig::m_control_socket, nullptr, nullptr},
    {"is_daemon", OPTION_BOOL, "true", true, nullptr, nullptr, &ClientConfig::m_is_daemon},
    {"do_index", OPTION_BOOL, "true", true, nullptr, nullptr, &ClientConfig::m_do_index},
    {"umask", OPTION_MODE, "022", true, nullptr, &ClientConfig::m_umask, nullptr},
};

// File-creation mask in octal ("022", "0027", "0"); anything else, or bits
// beyond 0777, keeps the safe default.
uint32_t ParseMask(const std::string& text) {
  char* end = nullptr;
  unsigned long value = strtoul(text.c_str(), &end, 8);
  if (end == text.c_str() || *end != '\0' || text[0] == '-' || value > 0777) return 022;
  return static_cast<uint32_t>(value);
}

// Decimal, 0 when the text is not a number (so "abc" means no workers).
uint32_t ParseCount(const std::string& text) {
  char* end = nullptr;
  unsigned long long value = strtoull(text.c_str(), &end, 10);
  if (end == text.c_str() || text[0] == '-') return 0;
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

void SetOption(ClientConfig& config, const Option& option, const std::string& value) {
  switch (option.m_type) {
    case OPTION_STRING:
      config.*option.m_string = value;
      break;
    case OPTION_UINT:
      config.*option.m_uint = ParseCount(value);
      break;
    case OPTION_BOOL:
      config.*option.m_bool = value == "true";
      break;
    case OPTION_MODE:
      config.*option.m_uint = ParseMask(value);
      break;
  }
}

}  // namespace

ClientConfig& ClientConfig::Instance() {
  static ClientConfig instance;  // thread-safe lazy construction
  return instance;
}

ClientConfig::ClientConfig() { ResetForTest(); }

void ClientConfig::ResetForTest() {
  for (const Option& option : OPTIONS) SetOption(*this, option, option.m_default);
  m_worker_count_requested = m_worker_count;
}

int ClientConfig::Load(const std::string& path) {
  KeyValueMap pairs;
  if (ReadKeyValueFile(path, &pairs) < 0) return -1;
  for (const Option& option : OPTIONS) {
    auto it = pairs.find(option.m_key);
    if (!option.m_settable || it == pairs.end() || it->second.empty()) continue;
    SetOption(*this, option, it->second);
  }
  m_worker_count_requested = m_worker_count;
  if (m_worker_count > MAX_WORKER_COUNT) m_worker_count = MAX_WORKER_COUNT;
  return 0;
}

std::string ClientConfig::DbPath() const { return m_volume_path + "/" + m_db_rel_path; }

void ClientConfig::LogSettings() const {
  TLOG_DEBUG("db_path: %s", DbPath().c_str());
  TLOG_DEBUG("pid_file_path: %s", m_pid_file_path.c_str());
  TLOG_DEBUG("log_file_path: %s", m_log_file_path.c_str());
  TLOG_DEBUG("log_level_file_path: %s", m_log_level_file_path.c_str());
  TLOG_DEBUG("filter_path: %s", m_filter_path.c_str());
  TLOG_DEBUG("freeze_file_path: %s", m_freeze_file_path.c_str());
  TLOG_DEBUG("work_dir_name: %s", m_work_dir_name.c_str());
  TLOG_DEBUG("worker_count: %u", m_worker_count);
  TLOG_DEBUG("client_socket: %s", m_client_socket.c_str());
  TLOG_DEBUG("service_socket: %s", m_service_socket.c_str());
  TLOG_DEBUG("control_socket: %s", m_control_socket.c_str());
  TLOG_DEBUG("is_daemon: %s", m_is_daemon ? "true" : "false");
  TLOG_DEBUG("umask: %03o", m_umask);
}

}  // namespace tide
