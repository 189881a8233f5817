#include "status.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/freeze_file.h"
#include "core/pid_file.h"
#include "core/progress.h"
#include "core/registry.h"
#include "core/status_file.h"
#include "core/user_db_reader.h"
#include "db/client_db_reader.h"
#include "db/node_record.h"
#include "event/event.h"
#include "fs/conflict_rename.h"

namespace tide {

namespace {

constexpr size_t LAST_TRANSFERS = 5;
constexpr size_t LAST_ERRORS = 5;
// Failed items listed by the plain status; --json lists them all.
constexpr size_t SHOWN_FAILED_ITEMS = 20;
// Only the end of a large log is searched for errors.
constexpr std::streamoff LOG_TAIL_BYTES = 256 * 1024;

std::string ReadFile(const std::string& path, bool* present) {
  std::ifstream in(path, std::ios::binary);
  *present = static_cast<bool>(in);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  return text.str();
}

void ReadLocalDb(const std::string& path, StatusReport* report, std::map<uint64_t, ViewReport>* views) {
  ClientDbReader db;
  if (db.Open(path) < 0) {
    report->m_problems.push_back(db.Error());
    return;
  }
  int found = db.GetGlobalSyncId(&report->m_global_sync_id);
  report->m_have_sync_id = found == 1;
  if (found < 0) report->m_problems.push_back("global sync id: " + db.Error());
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  if (db.GetAllViewProgress(&progress) < 0) report->m_problems.push_back("catching-up views: " + db.Error());
  for (const auto& [view_id, sync_id] : progress) {
    ViewReport& view = (*views)[view_id];
    view.m_view_id = view_id;
    view.m_catching_up = true;
    view.m_catch_up_sync_id = sync_id;
  }
  std::vector<std::pair<uint64_t, std::string>> names;
  if (db.GetConflictNameCandidates(&names) < 0) report->m_problems.push_back("conflict copies: " + db.Error());
  for (const auto& [view_id, name] : names) {
    std::string original;
    if (!ParseConflictName(name, &original)) continue;
    ViewReport& view = (*views)[view_id];
    view.m_view_id = view_id;
    ++view.m_conflict_copies;
  }
  std::vector<NodeRecord> rows;
  if (db.GetLastTransfers(LAST_TRANSFERS, &rows) < 0) report->m_problems.push_back("last transfers: " + db.Error());
  for (const NodeRecord& row : rows) {
    TransferReport transfer;
    transfer.m_sync_id = row.m_sync_id;
    transfer.m_view_id = row.m_view_id;
    transfer.m_path = row.m_path;
    transfer.m_size = row.m_size;
    transfer.m_directory = (row.m_attribute & NODE_ATTRIBUTE_DIR) != 0;
    report->m_transfers.push_back(transfer);
  }
}

void ReadFailures(const std::string& path, StatusReport* report, std::map<uint64_t, ViewReport>* views) {
  ReadOnlyDb db;
  // No store yet: nothing has ever failed.
  if (db.Open(path) < 0) return;
  if (ReadFailedItems(db, 0, &report->m_failed) < 0) {
    report->m_problems.push_back("failed items: " + db.Error());
    return;
  }
  for (const FailedItem& item : report->m_failed) {
    ViewReport& view = (*views)[item.m_view_id];
    view.m_view_id = item.m_view_id;
    ++view.m_failed;
  }
}

// One line for a view where nothing succeeds: items failed, and none was
// done since the view was last idle. The newest failure says why.
std::string AllFailing(const ViewReport& view, const StatusReport& report) {
  if (view.m_failed == 0 || view.m_done != 0) return "";
  for (const FailedItem& item : report.m_failed) {
    if (item.m_view_id == view.m_view_id) {
      return "nothing succeeds: " + std::to_string(view.m_failed) + " failed, the last because " + item.m_reason;
    }
  }
  return "";
}

void ReadUserDb(const std::string& path, StatusReport* report, std::map<uint64_t, ViewReport>* views) {
  ReadOnlyDb db;
  if (db.Open(path) < 0) {
    report->m_problems.push_back(db.Error());
    return;
  }
  std::vector<UserInfo> users;
  if (ReadUserDbViews(db, &users) < 0) report->m_problems.push_back("views: " + db.Error());
  for (const UserInfo& user : users) {
    ViewReport& view = (*views)[user.m_view_id];
    view.m_view_id = user.m_view_id;
    view.m_name = user.m_name;
    view.m_kind = user.m_user_type == USER_TYPE_SHARE ? "share" : "user";
    view.m_enabled = (user.m_attribute & USER_ATTR_DISABLED) == 0;
    view.m_path = user.m_watch_path;
  }
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

uint64_t FilesFound(const ViewReport& view) {
  return view.m_done + static_cast<uint64_t>(view.m_waiting + view.m_working);
}

// Seconds left, -1 when there is no telling.
int64_t SecondsLeft(const ViewReport& view) {
  if (!view.m_have_rate) return -1;
  return EstimateSecondsLeft(view.m_done, FilesFound(view), view.m_bytes_done, view.m_bytes_found,
                             view.m_files_per_second, view.m_bytes_per_second);
}

// "1234 of 20000 files, 1.2 GiB of 3.4 GiB, 85 files/s, 12.3 MiB/s, about
// 3 min left" while a registered view has work; empty otherwise. A paused
// view has no rate to tell.
std::string ProgressLine(const ViewReport& view, const StatusReport& report) {
  if (!report.m_running || !report.m_status_file_present || !view.m_registered) return "";
  if (view.m_waiting + view.m_working == 0) return "";
  std::string line = std::to_string(view.m_done) + " of " + std::to_string(FilesFound(view)) + " files";
  // Local changes found without a size count no bytes: no byte figure
  // rather than "0 B of 0 B".
  if (view.m_bytes_found > 0) line += ", " + FormatBytes(view.m_bytes_done) + " of " + FormatBytes(view.m_bytes_found);
  if (report.m_paused || view.m_paused) return line;
  if (!view.m_have_rate) return line + ", estimating";
  line += ", " + FormatCount(view.m_files_per_second) + " files/s";
  if (view.m_bytes_found > 0) line += ", " + FormatBytes(static_cast<uint64_t>(view.m_bytes_per_second)) + "/s";
  int64_t left = SecondsLeft(view);
  return line + (left < 0 ? ", estimating" : ", about " + FormatDuration(left) + " left");
}

}  // namespace

namespace {

// Length of the well-formed UTF-8 sequence at text[i], 0 when none starts
// there.
size_t Utf8Length(const std::string& text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8Length(text, i);
    if (length > 1) {
      out.append(text, i, length);
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        // Control characters, and bytes that are not UTF-8 (names on the
        // disk may hold any), are written as code points so that the
        // output stays valid JSON.
        if (c < 0x20 || length == 0) {
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
  report.m_pid = ReadPidFile(paths.m_pid_file);
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
        view.m_bytes_done = served.m_bytes_done;
        view.m_bytes_found = served.m_bytes_found;
        view.m_have_rate = served.m_have_rate;
        view.m_files_per_second = static_cast<double>(served.m_files_per_hour) / 3600;
        view.m_bytes_per_second = static_cast<double>(served.m_bytes_per_second);
      }
    } else {
      report.m_problems.push_back(paths.m_status_file + ": " + (present ? "not the running daemon's" : "missing"));
    }
  }
  ReadUserDb(paths.m_user_db, &report, &views);
  ReadLocalDb(paths.m_local_db, &report, &views);
  ReadFailures(FailureDbPath(paths.m_local_db), &report, &views);
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
    std::string progress = ProgressLine(view, report);
    if (!progress.empty()) fprintf(out, "    %s\n", progress.c_str());
    if (view.m_failed != 0 || view.m_conflict_copies != 0) {
      fprintf(out, "    %" PRIu64 " failed, %" PRIu64 " kept as conflict copies\n", view.m_failed, view.m_conflict_copies);
    }
    std::string all_failing = AllFailing(view, report);
    if (!all_failing.empty()) fprintf(out, "    %s\n", all_failing.c_str());
  }
  fprintf(out, "failed items:%s\n", report.m_failed.empty() ? " none" : "");
  for (size_t i = 0; i < report.m_failed.size() && i < SHOWN_FAILED_ITEMS; ++i) {
    const FailedItem& item = report.m_failed[i];
    fprintf(out, "  view %" PRIu64 ", %s: %s (%" PRIu64 " attempts)\n", item.m_view_id, item.m_path.c_str(),
            item.m_reason.c_str(), item.m_attempts);
  }
  if (report.m_failed.size() > SHOWN_FAILED_ITEMS) {
    fprintf(out, "  ... and %zu more (--json lists them all)\n", report.m_failed.size() - SHOWN_FAILED_ITEMS);
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
    fprintf(out, "\"failed\": %" PRIu64 ", \"conflict_copies\": %" PRIu64 ", ", view.m_failed,
            view.m_conflict_copies);
    std::string all_failing = AllFailing(view, report);
    fprintf(out, "\"all_failing\": %s, ", all_failing.empty() ? "null" : JsonString(all_failing).c_str());
    fprintf(out, "\"served\": %s, \"paused\": %s, \"frozen\": %s, \"catching_up\": %s, ",
            live ? Bool(view.m_registered) : "null", Bool(view.m_paused), Bool(view.m_frozen),
            Bool(view.m_catching_up));
    if (view.m_catching_up) {
      fprintf(out, "\"catch_up_sync_id\": %" PRIu64 ", ", view.m_catch_up_sync_id);
    } else {
      fprintf(out, "\"catch_up_sync_id\": null, ");
    }
    if (live && view.m_registered) {
      fprintf(out, "\"waiting\": %d, \"with_workers\": %d, \"done\": %" PRIu64 ", \"found\": %" PRIu64 ", ",
              view.m_waiting, view.m_working, view.m_done, FilesFound(view));
      fprintf(out, "\"files_done\": %" PRIu64 ", \"files_found\": %" PRIu64 ", \"bytes_done\": %" PRIu64
              ", \"bytes_found\": %" PRIu64 ", ", view.m_done, FilesFound(view), view.m_bytes_done, view.m_bytes_found);
      int64_t left = SecondsLeft(view);
      if (view.m_have_rate) {
        fprintf(out, "\"files_per_second\": %.3f, \"bytes_per_second\": %.0f, ", view.m_files_per_second,
                view.m_bytes_per_second);
      } else {
        fprintf(out, "\"files_per_second\": null, \"bytes_per_second\": null, ");
      }
      if (left >= 0) {
        fprintf(out, "\"seconds_left\": %" PRId64 "}", left);
      } else {
        fprintf(out, "\"seconds_left\": null}");
      }
    } else {
      fprintf(out, "\"waiting\": null, \"with_workers\": null, \"done\": null, \"found\": null, ");
      fprintf(out, "\"files_done\": null, \"files_found\": null, \"bytes_done\": null, \"bytes_found\": null, "
              "\"files_per_second\": null, \"bytes_per_second\": null, \"seconds_left\": null}");
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
  fprintf(out, "], \"failed_items\": [");
  separator = "";
  for (const FailedItem& item : report.m_failed) {
    fprintf(out,
            "%s{\"view_id\": %" PRIu64 ", \"path\": %s, \"event\": %s, \"reason\": %s, \"attempts\": %" PRIu64
            ", \"first_time\": %" PRId64 ", \"last_time\": %" PRId64 "}",
            separator, item.m_view_id, JsonString(item.m_path).c_str(),
            JsonString(EventTypeName(item.m_event_type)).c_str(), JsonString(item.m_reason).c_str(), item.m_attempts,
            item.m_first_time, item.m_last_time);
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
