#include "explain.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "core/client_config.h"
#include "core/read_only_db.h"
#include "core/status_file.h"
#include "core/user_db_reader.h"
#include "db/client_db_reader.h"
#include "db/failure_store.h"
#include "db/node_record.h"
#include "event/event.h"
#include "filter/filter_config.h"
#include "filter/filter_parser.h"
#include "fs/conflict_rename.h"
#include "platform/volume_path.h"
#include "proto/checksum.h"
#include "proto/explain_message.h"
#include "proto/ipc.h"
#include "status.h"

namespace tide {

namespace {

// How long the daemon may take to answer; it answers from memory.
constexpr uint32_t ANSWER_TIMEOUT_SECONDS = 10;

// Everything found out about the path, before it is printed.
struct Explanation {
  std::string m_absolute;  // as asked, made absolute and clean
  std::string m_state;
  std::string m_detail;  // one sentence for a person
  bool m_in_sync = false;

  bool m_have_view = false;
  ViewReport m_view;
  std::string m_relative;  // below the view, "/" for its root

  std::string m_kind;  // "file", "directory", "symlink", "special", "missing"
  uint64_t m_disk_size = 0;
  int64_t m_disk_mtime = 0;

  bool m_excluded = false;
  FilterMatch m_rule;
  std::string m_original;  // of a conflict copy

  bool m_have_row = false;
  NodeRecord m_row;
  bool m_have_failure = false;
  FailedItem m_failure;

  bool m_daemon_running = false;
  bool m_daemon_answered = false;
  ExplainReply m_daemon;

  bool m_verified = false;
  std::string m_disk_md4;
  std::vector<std::string> m_notes;
};

// "/a/./b/../c" -> "/a/c", relative paths taken from the working
// directory; the last component is never followed, but the folders above
// it are resolved, so a view reached through a link is still found.
std::string AbsoluteCleanPath(const std::string& path) {
  std::string whole = path;
  if (whole.empty() || whole[0] != '/') {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) != nullptr) whole = std::string(cwd) + "/" + whole;
  }
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= whole.size()) {
    size_t end = whole.find('/', start);
    if (end == std::string::npos) end = whole.size();
    std::string part = whole.substr(start, end - start);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    start = end + 1;
  }
  std::string clean;
  for (size_t i = 0; i + 1 < parts.size(); ++i) clean += "/" + parts[i];
  if (!clean.empty()) {
    char resolved[PATH_MAX];
    if (realpath(clean.c_str(), resolved) != nullptr) clean = resolved;
    if (clean == "/") clean.clear();
  }
  return parts.empty() ? "/" : clean + "/" + parts.back();
}

// The part of `path` below `root` ("/" for the root itself), or false.
bool Below(const std::string& path, const std::string& root, std::string* relative) {
  if (root.empty() || root[0] != '/') return false;
  std::string base = root;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (path == base) {
    *relative = "/";
    return true;
  }
  if (base == "/") {
    *relative = path;
    return true;
  }
  if (path.compare(0, base.size(), base) != 0 || path.size() <= base.size() || path[base.size()] != '/') {
    return false;
  }
  *relative = path.substr(base.size());
  return true;
}

// The view whose folder holds the path: the deepest one, its folder
// compared both as recorded and with its links resolved.
void FindView(const StatusReport& status, Explanation* result) {
  size_t best = 0;
  for (const ViewReport& view : status.m_views) {
    if (view.m_path.empty()) continue;
    std::vector<std::string> roots{view.m_path};
    char resolved[PATH_MAX];
    if (realpath(view.m_path.c_str(), resolved) != nullptr) roots.emplace_back(resolved);
    for (const std::string& root : roots) {
      std::string relative;
      if (Below(result->m_absolute, root, &relative) && root.size() + 1 > best) {
        best = root.size() + 1;
        result->m_have_view = true;
        result->m_view = view;
        result->m_relative = relative;
      }
    }
  }
}

void LookAtDisk(Explanation* result) {
  struct stat st;
  if (lstat(result->m_absolute.c_str(), &st) != 0) {
    result->m_kind = "missing";
    return;
  }
  if (S_ISREG(st.st_mode)) {
    result->m_kind = "file";
  } else if (S_ISDIR(st.st_mode)) {
    result->m_kind = "directory";
  } else if (S_ISLNK(st.st_mode)) {
    result->m_kind = "symlink";
  } else {
    result->m_kind = "special";
  }
  result->m_disk_size = static_cast<uint64_t>(st.st_size);
  result->m_disk_mtime = st.st_mtime;
}

void CheckFilter(const ClientConfig& config, Explanation* result) {
  if (result->m_relative == "/") return;
  FilterConfig filter;
  if (ParseFilterFile(config.m_filter_path, &filter) < 0) {
    // No readable filter file: the daemon runs with no rules either.
    return;
  }
  const size_t length = result->m_absolute.size();
  int code = result->m_kind == "directory"
                 ? filter.IsFilteredDir(result->m_relative, length, &result->m_rule)
                 : filter.IsFilteredFile(result->m_relative, length, result->m_disk_size, &result->m_rule);
  result->m_excluded = code != FILTER_ALLOWED;
}

void ReadRecords(const ClientConfig& config, Explanation* result) {
  ClientDbReader db;
  if (db.Open(config.DbPath()) < 0) {
    result->m_notes.push_back("local database: " + db.Error());
  } else {
    int found = db.GetNodeByPath(result->m_view.m_view_id, result->m_relative, &result->m_row);
    if (found < 0) result->m_notes.push_back("local database: " + db.Error());
    result->m_have_row = found == 1;
  }
  ReadOnlyDb failures;
  if (failures.Open(FailureDbPath(config.DbPath())) < 0) return;  // nothing has failed yet
  std::vector<FailedItem> items;
  if (ReadFailedItems(failures, result->m_view.m_view_id, &items) < 0) {
    result->m_notes.push_back("failed items: " + failures.Error());
    return;
  }
  for (const FailedItem& item : items) {
    if (item.m_path == result->m_relative) {
      result->m_have_failure = true;
      result->m_failure = item;
    }
  }
}

void AskDaemon(const std::string& socket_path, Explanation* result) {
  IPCSender sender;
  if (sender.Connect(socket_path) < 0) {
    result->m_notes.push_back("the daemon did not answer on " + socket_path);
    return;
  }
  sender.GetChannel().SetTimeout(ANSWER_TIMEOUT_SECONDS);
  ExplainRequest request{result->m_view.m_view_id, result->m_relative};
  PObject reply;
  if (sender.Request(BuildExplainRequest(request), true, &reply) < 0 ||
      ParseExplainReply(reply, &result->m_daemon) < 0) {
    result->m_notes.push_back("the daemon's answer could not be read");
    return;
  }
  if (!result->m_daemon.m_error.empty()) {
    result->m_notes.push_back("the daemon refused the question: " + result->m_daemon.m_error);
    return;
  }
  result->m_daemon_answered = true;
}

bool RowMatchesDisk(const Explanation& result) {
  if (!result.m_have_row) return false;
  const bool row_is_dir = (result.m_row.m_attribute & NODE_ATTRIBUTE_DIR) != 0;
  if (result.m_kind == "directory") return row_is_dir;
  if (result.m_kind != "file" || row_is_dir) return false;
  return result.m_row.m_size == result.m_disk_size &&
         result.m_row.m_mtime == static_cast<uint32_t>(result.m_disk_mtime);
}

void Verify(Explanation* result) {
  if (result->m_kind != "file") return;
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  if (RSCalcMD4(result->m_absolute, digest, nullptr) < 0) {
    result->m_notes.push_back("the file could not be read to check its content");
    return;
  }
  result->m_verified = true;
  result->m_disk_md4 = MD4ToHex(digest);
  result->m_notes.push_back("the server's copy was not compared: the control program does not talk to the server");
}

std::string TimeText(int64_t when) {
  char text[64];
  time_t seconds = static_cast<time_t>(when);
  struct tm local;
  localtime_r(&seconds, &local);
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// The one state, in the order a person needs it: what makes the path not
// synchronised at all, then what the daemon is doing about it, then how
// the records compare with the disk.
void Decide(Explanation* result) {
  auto set = [&](const char* state, std::string detail) {
    result->m_state = state;
    result->m_detail = std::move(detail);
  };
  if (!result->m_have_view) {
    set("outside", "no synchronised folder holds this path");
    return;
  }
  if (result->m_excluded) {
    set("excluded", "the filter leaves it out: [" + result->m_rule.m_section + "] " + result->m_rule.m_key + " \"" +
                        result->m_rule.m_entry + "\"");
    if (result->m_rule.m_section.empty()) set("excluded", "the filter cannot test a path this long");
    return;
  }
  if (result->m_kind == "symlink" || result->m_kind == "special") {
    set("not_synchronised", result->m_kind == "symlink" ? "symbolic links are not synchronised"
                                                        : "only files and folders are synchronised");
    return;
  }
  if (result->m_have_failure) {
    set("failed", "its last attempt failed: " + result->m_failure.m_reason);
    return;
  }
  if (result->m_daemon_answered && result->m_daemon.m_queue == "in_progress") {
    set("in_progress", "a worker carries it out now (" + result->m_daemon.m_event + ")");
    if (!result->m_daemon.m_through.empty()) {
      result->m_detail = "a worker walks or removes the folder above it now (" + result->m_daemon.m_event + " of " +
                         result->m_daemon.m_through + ")";
    }
    return;
  }
  if (result->m_daemon_answered && result->m_daemon.m_queue == "waiting") {
    std::string detail = "an event waits (" + result->m_daemon.m_event;
    if (!result->m_daemon.m_through.empty()) detail += " of " + result->m_daemon.m_through;
    if (result->m_daemon.m_position >= 0) detail += ", place " + std::to_string(result->m_daemon.m_position + 1);
    set("waiting", detail + ")");
    return;
  }
  const bool matches = RowMatchesDisk(*result);
  const bool content_differs = matches && result->m_verified && result->m_disk_md4 != result->m_row.m_hash;
  std::string original;
  size_t slash = result->m_relative.rfind('/');
  if (ParseConflictName(result->m_relative.substr(slash + 1), &original)) {
    result->m_original = result->m_relative.substr(0, slash + 1) + original;
    set("conflict_copy", "a conflicting local version, kept beside " + result->m_original);
    result->m_in_sync = matches && !content_differs;
    return;
  }
  if (content_differs) {
    set("not_yet_seen", "its content differs from what was last synchronised, and nothing is queued for it");
    return;
  }
  if (matches) {
    set("in_sync", "the file on the disk is the one last synchronised");
    if (result->m_kind == "directory") result->m_detail = "the folder is recorded as synchronised";
    result->m_in_sync = true;
    return;
  }
  if (result->m_kind == "missing") {
    set("not_yet_seen", result->m_have_row ? "it is gone from the disk but still recorded, and nothing is queued"
                                           : "there is nothing at this path, and nothing is recorded or queued");
    return;
  }
  set("not_yet_seen", result->m_have_row ? "it changed since it was last synchronised, and nothing is queued yet"
                                         : "it exists, but nothing about it is recorded or queued yet");
}

void PrintPlain(const Explanation& result, FILE* out) {
  fprintf(out, "%s: %s\n", result.m_absolute.c_str(), result.m_state.c_str());
  fprintf(out, "  %s\n", result.m_detail.c_str());
  if (result.m_have_view) {
    const ViewReport& view = result.m_view;
    std::string flags;
    if (view.m_paused || (result.m_daemon_answered && result.m_daemon.m_paused)) flags += ", paused";
    if (view.m_frozen || (result.m_daemon_answered && result.m_daemon.m_frozen)) flags += ", frozen (disk full)";
    if (view.m_catching_up) flags += ", catching up";
    fprintf(out, "  view %" PRIu64 " (%s %s, %s)%s, path in view %s\n", view.m_view_id,
            view.m_kind.empty() ? "view" : view.m_kind.c_str(), view.m_name.c_str(), view.m_path.c_str(),
            flags.c_str(), result.m_relative.c_str());
  }
  if (result.m_have_row) {
    fprintf(out, "  recorded: sync id %" PRIu64 ", %" PRIu64 " bytes, MD4 %s\n", result.m_row.m_sync_id,
            result.m_row.m_size, result.m_row.m_hash.empty() ? "-" : result.m_row.m_hash.c_str());
  }
  if (result.m_have_failure) {
    fprintf(out, "  failed %" PRIu64 " times (%s), first %s, last %s\n", result.m_failure.m_attempts,
            EventTypeName(result.m_failure.m_event_type), TimeText(result.m_failure.m_first_time).c_str(),
            TimeText(result.m_failure.m_last_time).c_str());
  }
  if (result.m_verified) fprintf(out, "  MD4 on the disk: %s\n", result.m_disk_md4.c_str());
  if (!result.m_daemon_running) fprintf(out, "  tide-clientd is not running: its queue was not asked\n");
  for (const std::string& note : result.m_notes) fprintf(out, "  note: %s\n", note.c_str());
}

const char* Bool(bool value) { return value ? "true" : "false"; }

void PrintJson(const Explanation& result, FILE* out) {
  fprintf(out, "{\"path\": %s, \"state\": %s, \"in_sync\": %s, \"detail\": %s, \"kind\": %s, ",
          JsonString(result.m_absolute).c_str(), JsonString(result.m_state).c_str(), Bool(result.m_in_sync),
          JsonString(result.m_detail).c_str(), JsonString(result.m_kind).c_str());
  fprintf(out, "\"daemon_running\": %s, ", Bool(result.m_daemon_running));
  if (result.m_have_view) {
    const ViewReport& view = result.m_view;
    const bool paused = view.m_paused || (result.m_daemon_answered && result.m_daemon.m_paused);
    const bool frozen = view.m_frozen || (result.m_daemon_answered && result.m_daemon.m_frozen);
    fprintf(out,
            "\"view\": {\"view_id\": %" PRIu64 ", \"type\": %s, \"name\": %s, \"path\": %s, \"paused\": %s, "
            "\"frozen\": %s, \"catching_up\": %s}, \"path_in_view\": %s, ",
            view.m_view_id, JsonString(view.m_kind).c_str(), JsonString(view.m_name).c_str(),
            JsonString(view.m_path).c_str(), Bool(paused), Bool(frozen), Bool(view.m_catching_up),
            JsonString(result.m_relative).c_str());
  } else {
    fprintf(out, "\"view\": null, \"path_in_view\": null, ");
  }
  if (result.m_have_row) {
    fprintf(out, "\"record\": {\"sync_id\": %" PRIu64 ", \"size\": %" PRIu64 ", \"md4\": %s, \"directory\": %s}, ",
            result.m_row.m_sync_id, result.m_row.m_size, JsonString(result.m_row.m_hash).c_str(),
            Bool((result.m_row.m_attribute & NODE_ATTRIBUTE_DIR) != 0));
  } else {
    fprintf(out, "\"record\": null, ");
  }
  if (result.m_state == "excluded") {
    fprintf(out, "\"rule\": %s, \"section\": %s, \"entry\": %s, ",
            JsonString(result.m_rule.m_key + " \"" + result.m_rule.m_entry + "\"").c_str(),
            JsonString(result.m_rule.m_section).c_str(), JsonString(result.m_rule.m_entry).c_str());
  }
  if (result.m_state == "conflict_copy") fprintf(out, "\"original\": %s, ", JsonString(result.m_original).c_str());
  if (result.m_have_failure) {
    fprintf(out,
            "\"reason\": %s, \"attempts\": %" PRIu64 ", \"event\": %s, \"first_time\": %" PRId64
            ", \"last_time\": %" PRId64 ", ",
            JsonString(result.m_failure.m_reason).c_str(), result.m_failure.m_attempts,
            JsonString(EventTypeName(result.m_failure.m_event_type)).c_str(), result.m_failure.m_first_time,
            result.m_failure.m_last_time);
  }
  if (result.m_daemon_answered && result.m_daemon.m_queue != "none") {
    fprintf(out, "\"event\": %s, \"through\": %s, \"position\": ", JsonString(result.m_daemon.m_event).c_str(),
            result.m_daemon.m_through.empty() ? "null" : JsonString(result.m_daemon.m_through).c_str());
    if (result.m_daemon.m_position >= 0) {
      fprintf(out, "%" PRId64 ", ", result.m_daemon.m_position);
    } else {
      fprintf(out, "null, ");
    }
  }
  if (result.m_verified) fprintf(out, "\"disk_md4\": %s, ", JsonString(result.m_disk_md4).c_str());
  fprintf(out, "\"notes\": [");
  const char* separator = "";
  for (const std::string& note : result.m_notes) {
    fprintf(out, "%s%s", separator, JsonString(note).c_str());
    separator = ", ";
  }
  fprintf(out, "]}\n");
}

}  // namespace

int RunExplain(const std::string& path, const ExplainOptions& options) {
  if (path.empty() || path.size() > EXPLAIN_PATH_MAX || path.find('\0') != std::string::npos) {
    fprintf(stderr, "tide-clientctl: explain needs a path of at most %zu bytes\n", EXPLAIN_PATH_MAX);
    return EXPLAIN_EXIT_USAGE;
  }
  ClientConfig& config = ClientConfig::Instance();
  LoadVolumePath(config);
  if (!options.m_config_path.empty() && config.Load(options.m_config_path) < 0) {
    fprintf(stderr, "tide-clientctl: cannot read the configuration %s; using the defaults\n",
            options.m_config_path.c_str());
  }
  StatusPaths paths = PathsOf(config, STATUS_FILE_PATH);
  StatusReport status = GatherStatus(paths);

  Explanation result;
  result.m_absolute = AbsoluteCleanPath(path);
  result.m_daemon_running = status.m_running;
  FindView(status, &result);
  LookAtDisk(&result);
  if (result.m_have_view) {
    CheckFilter(config, &result);
    ReadRecords(config, &result);
    if (status.m_running) {
      AskDaemon(options.m_socket_path.empty() ? config.m_control_socket : options.m_socket_path, &result);
    }
    if (options.m_verify && !result.m_excluded) Verify(&result);
  }
  Decide(&result);
  if (options.m_json) {
    PrintJson(result, stdout);
  } else {
    PrintPlain(result, stdout);
  }
  if (!status.m_running) return EXPLAIN_EXIT_NOT_RUNNING;
  return result.m_in_sync ? EXPLAIN_EXIT_IN_SYNC : EXPLAIN_EXIT_NOT_IN_SYNC;
}

}  // namespace tide
