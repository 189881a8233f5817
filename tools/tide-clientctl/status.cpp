#include "status.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/freeze_file.h"
#include "core/registry.h"
#include "core/user_manager.h"
#include "daemon/startup.h"
#include "daemon/status_file.h"

namespace tide {

namespace {

constexpr size_t LAST_TRANSFERS = 5;
constexpr size_t LAST_ERRORS = 5;
// Only the end of a large log is searched for errors.
constexpr std::streamoff LOG_TAIL_BYTES = 256 * 1024;
// The daemon holds its database lock only for single statements.
constexpr int BUSY_TIMEOUT_MS = 2000;

std::string ReadFile(const std::string& path, bool* present) {
  std::ifstream in(path, std::ios::binary);
  *present = static_cast<bool>(in);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

int ReadPid(const std::string& path) {
  FILE* fp = fopen(path.c_str(), "r");
  if (fp == nullptr) return 0;
  int pid = 0;
  if (fscanf(fp, "%d", &pid) != 1) pid = 0;
  fclose(fp);
  return pid;
}

// Read-only and without creating anything: a status display must never
// make a database appear or change one.
sqlite3* OpenReadOnly(const std::string& path, std::vector<std::string>* problems) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    problems->push_back(path + ": " + strerror(errno));
    return nullptr;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    problems->push_back(path + ": " + (db ? sqlite3_errmsg(db) : "cannot open"));
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
  return db;
}

// Runs `sql`, calling `row` for each result row; false (noted) on failure.
template <typename Row>
bool Query(sqlite3* db, const char* sql, const std::string& what, std::vector<std::string>* problems, Row row) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    problems->push_back(what + ": " + sqlite3_errmsg(db));
    return false;
  }
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
  bool ok = result == SQLITE_DONE;
  if (!ok) problems->push_back(what + ": " + sqlite3_errmsg(db));
  sqlite3_finalize(statement);
  return ok;
}

std::string Text(sqlite3_stmt* statement, int column) {
  const unsigned char* text = sqlite3_column_text(statement, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

uint64_t Number(sqlite3_stmt* statement, int column) {
  return static_cast<uint64_t>(sqlite3_column_int64(statement, column));
}

void ReadLocalDb(const std::string& path, StatusReport* report, std::map<uint64_t, ViewReport>* views) {
  sqlite3* db = OpenReadOnly(path, &report->m_problems);
  if (db == nullptr) return;
  Query(db, "SELECT value FROM config_table WHERE key = 'sync_id';", "global sync id", &report->m_problems,
        [&](sqlite3_stmt* s) {
          report->m_global_sync_id = Number(s, 0);
          report->m_have_sync_id = true;
        });
  Query(db, "SELECT view_id, sync_id FROM progress_table;", "catching-up views", &report->m_problems,
        [&](sqlite3_stmt* s) {
          ViewReport& view = (*views)[Number(s, 0)];
          view.m_view_id = Number(s, 0);
          view.m_catching_up = true;
          view.m_catch_up_sync_id = Number(s, 1);
        });
  // Every completed upload and download leaves its row with the sync id of
  // its change: the highest ones are the latest transfers.
  std::string sql = "SELECT sync_id, view_id, path, size, attribute FROM node_table WHERE parent_id <> 0 AND "
                    "sync_id > 0 ORDER BY sync_id DESC LIMIT " + std::to_string(LAST_TRANSFERS) + ";";
  Query(db, sql.c_str(), "last transfers", &report->m_problems, [&](sqlite3_stmt* s) {
    TransferReport transfer;
    transfer.m_sync_id = Number(s, 0);
    transfer.m_view_id = Number(s, 1);
    transfer.m_path = Text(s, 2);
    transfer.m_size = Number(s, 3);
    transfer.m_directory = (Number(s, 4) & 2) != 0;
    report->m_transfers.push_back(transfer);
  });
  sqlite3_close(db);
}

void ReadUserDb(const std::string& path, StatusReport* report, std::map<uint64_t, ViewReport>* views) {
  sqlite3* db = OpenReadOnly(path, &report->m_problems);
  if (db == nullptr) return;
  Query(db, "SELECT view_id, name, user_type, attribute, watch_path FROM user_table;", "views",
        &report->m_problems, [&](sqlite3_stmt* s) {
          ViewReport& view = (*views)[Number(s, 0)];
          view.m_view_id = Number(s, 0);
          view.m_name = Text(s, 1);
          view.m_kind = sqlite3_column_int(s, 2) == USER_TYPE_SHARE ? "share" : "user";
          // Shared folders are stored as "@name".
          if (view.m_kind == "share" && !view.m_name.empty() && view.m_name[0] == '@') view.m_name.erase(0, 1);
          view.m_enabled = (Number(s, 3) & USER_ATTR_DISABLED) == 0;
          view.m_path = Text(s, 4);
        });
  sqlite3_close(db);
}

std::vector<std::string> LastErrors(const std::string& path) {
  std::vector<std::string> errors;
  std::ifstream in(path, std::ios::binary);
  if (!in) return errors;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  std::streamoff start = size > LOG_TAIL_BYTES ? size - LOG_TAIL_BYTES : 0;
  in.seekg(start);
  std::string line;
  // A line cut by the start of the tail is not shown.
  if (start > 0) std::getline(in, line);
  while (std::getline(in, line)) {
    if (line.find("[ERROR] ") == std::string::npos && line.find("[CRIT] ") == std::string::npos) continue;
    errors.push_back(line);
    if (errors.size() > LAST_ERRORS) errors.erase(errors.begin());
  }
  return errors;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

const char* Bool(bool value) { return value ? "true" : "false"; }

std::string ViewState(const ViewReport& view, const StatusReport& report) {
  std::string state;
  auto add = [&](const std::string& word) { state += (state.empty() ? "" : ", ") + word; };
  if (!view.m_enabled) add("disabled");
  if (report.m_running && report.m_status_file_present && !view.m_registered && view.m_enabled) add("not served");
  if (view.m_paused) add("paused");
  if (view.m_frozen) add("frozen (disk full)");
  if (view.m_catching_up) add("catching up at sync id " + std::to_string(view.m_catch_up_sync_id));
  if (report.m_running && report.m_status_file_present && view.m_registered) {
    if (view.m_waiting + view.m_working == 0) {
      add("idle");
    } else {
      add(std::to_string(view.m_waiting) + " waiting, " + std::to_string(view.m_working) + " with workers");
      // Found so far: what is done, being done and still waiting.
      uint64_t found = view.m_done + static_cast<uint64_t>(view.m_waiting + view.m_working);
      add(std::to_string(view.m_done) + " of " + std::to_string(found) + " done");
    }
  }
  // Without the running daemon's figures only the databases speak.
  return state.empty() ? "enabled" : state;
}

}  // namespace

StatusPaths PathsOf(const ClientConfig& config, const std::string& status_file) {
  StatusPaths paths;
  paths.m_pid_file = config.m_pid_file_path;
  paths.m_control_socket = config.m_control_socket;
  paths.m_status_file = status_file;
  paths.m_local_db = config.DbPath();
  paths.m_user_db = config.m_volume_path + USER_DB_REL_PATH;
  paths.m_log_file = config.m_log_file_path;
  return paths;
}

StatusReport GatherStatus(const StatusPaths& paths) {
  StatusReport report;
  report.m_pid = ReadPid(paths.m_pid_file);
  report.m_running = ProcessRunning(report.m_pid);
  struct stat st;
  report.m_socket_present = stat(paths.m_control_socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);

  std::map<uint64_t, ViewReport> views;
  if (report.m_running) {
    DaemonStatus daemon;
    bool present = false;
    std::string text = ReadFile(paths.m_status_file, &present);
    // A file left by an earlier run names another pid: it says nothing
    // about this one.
    if (present && ParseStatus(text, &daemon) == 0 && daemon.m_pid == report.m_pid) {
      report.m_status_file_present = true;
      report.m_paused = daemon.m_paused;
      for (const StatusView& served : daemon.m_views) {
        ViewReport& view = views[served.m_view_id];
        view.m_view_id = served.m_view_id;
        view.m_registered = true;
        view.m_paused = (served.m_attribute & VIEW_ATTR_PAUSED) != 0;
        view.m_kind = (served.m_attribute & VIEW_ATTR_SHARE) ? "share" : "user";
        view.m_waiting = served.m_waiting;
        view.m_working = served.m_working;
        view.m_done = served.m_done;
      }
    } else {
      report.m_problems.push_back(paths.m_status_file + ": " + (present ? "not the running daemon's" : "missing"));
    }
  }
  ReadUserDb(paths.m_user_db, &report, &views);
  ReadLocalDb(paths.m_local_db, &report, &views);
  for (auto& [view_id, view] : views) {
    view.m_frozen = IsViewFrozen(view_id);
    report.m_views.push_back(view);
  }
  report.m_errors = LastErrors(paths.m_log_file);
  return report;
}

void PrintStatus(const StatusReport& report, const StatusPaths& paths, FILE* out) {
  if (report.m_running) {
    fprintf(out, "tide-clientd: running (pid %d)%s\n", report.m_pid, report.m_paused ? ", paused" : "");
  } else {
    fprintf(out, "tide-clientd: not running\n");
  }
  fprintf(out, "control socket: %s (%s)\n", paths.m_control_socket.c_str(),
          report.m_socket_present ? "present" : "missing");
  if (report.m_have_sync_id) {
    fprintf(out, "global sync id: %" PRIu64 "\n", report.m_global_sync_id);
  } else {
    fprintf(out, "global sync id: unknown\n");
  }
  fprintf(out, "views:%s\n", report.m_views.empty() ? " none" : "");
  for (const ViewReport& view : report.m_views) {
    fprintf(out, "  %" PRIu64 " %s %s %s: %s\n", view.m_view_id, view.m_kind.empty() ? "view" : view.m_kind.c_str(),
            view.m_name.empty() ? "?" : view.m_name.c_str(), view.m_path.empty() ? "?" : view.m_path.c_str(),
            ViewState(view, report).c_str());
  }
  fprintf(out, "last transfers:%s\n", report.m_transfers.empty() ? " none" : "");
  for (const TransferReport& transfer : report.m_transfers) {
    fprintf(out, "  sync id %" PRIu64 ", view %" PRIu64 ", %s%s", transfer.m_sync_id, transfer.m_view_id,
            transfer.m_path.c_str(), transfer.m_directory ? "/" : "");
    if (!transfer.m_directory) fprintf(out, " (%" PRIu64 " bytes)", transfer.m_size);
    fprintf(out, "\n");
  }
  fprintf(out, "last errors in %s:%s\n", paths.m_log_file.c_str(), report.m_errors.empty() ? " none" : "");
  for (const std::string& line : report.m_errors) fprintf(out, "  %s\n", line.c_str());
  for (const std::string& problem : report.m_problems) fprintf(out, "note: %s\n", problem.c_str());
}

void PrintStatusJson(const StatusReport& report, const StatusPaths& paths, FILE* out) {
  fprintf(out, "{\"running\": %s, \"pid\": %d, \"paused\": %s, ", Bool(report.m_running),
          report.m_running ? report.m_pid : 0, Bool(report.m_paused));
  fprintf(out, "\"control_socket\": {\"path\": %s, \"present\": %s}, ", JsonString(paths.m_control_socket).c_str(),
          Bool(report.m_socket_present));
  if (report.m_have_sync_id) {
    fprintf(out, "\"global_sync_id\": %" PRIu64 ", ", report.m_global_sync_id);
  } else {
    fprintf(out, "\"global_sync_id\": null, ");
  }
  fprintf(out, "\"views\": [");
  const char* separator = "";
  bool live = report.m_running && report.m_status_file_present;
  for (const ViewReport& view : report.m_views) {
    fprintf(out, "%s{\"view_id\": %" PRIu64 ", \"type\": %s, \"name\": %s, \"path\": %s, \"enabled\": %s, ",
            separator, view.m_view_id, view.m_kind.empty() ? "null" : JsonString(view.m_kind).c_str(),
            JsonString(view.m_name).c_str(), JsonString(view.m_path).c_str(), Bool(view.m_enabled));
    fprintf(out, "\"served\": %s, \"paused\": %s, \"frozen\": %s, \"catching_up\": %s, ",
            live ? Bool(view.m_registered) : "null", Bool(view.m_paused), Bool(view.m_frozen),
            Bool(view.m_catching_up));
    if (view.m_catching_up) {
      fprintf(out, "\"catch_up_sync_id\": %" PRIu64 ", ", view.m_catch_up_sync_id);
    } else {
      fprintf(out, "\"catch_up_sync_id\": null, ");
    }
    if (live && view.m_registered) {
      fprintf(out, "\"waiting\": %d, \"with_workers\": %d, \"done\": %" PRIu64 ", \"found\": %" PRIu64 "}",
              view.m_waiting, view.m_working, view.m_done,
              view.m_done + static_cast<uint64_t>(view.m_waiting + view.m_working));
    } else {
      fprintf(out, "\"waiting\": null, \"with_workers\": null, \"done\": null, \"found\": null}");
    }
    separator = ", ";
  }
  fprintf(out, "], \"last_transfers\": [");
  separator = "";
  for (const TransferReport& transfer : report.m_transfers) {
    fprintf(out, "%s{\"sync_id\": %" PRIu64 ", \"view_id\": %" PRIu64 ", \"path\": %s, \"directory\": %s, ",
            separator, transfer.m_sync_id, transfer.m_view_id, JsonString(transfer.m_path).c_str(),
            Bool(transfer.m_directory));
    fprintf(out, "\"size\": %" PRIu64 "}", transfer.m_size);
    separator = ", ";
  }
  fprintf(out, "], \"last_errors\": [");
  separator = "";
  for (const std::string& line : report.m_errors) {
    fprintf(out, "%s%s", separator, JsonString(line).c_str());
    separator = ", ";
  }
  fprintf(out, "], \"notes\": [");
  separator = "";
  for (const std::string& problem : report.m_problems) {
    fprintf(out, "%s%s", separator, JsonString(problem).c_str());
    separator = ", ";
  }
  fprintf(out, "]}\n");
}

}  // namespace tide
