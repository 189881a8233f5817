// tide-clientctl: instructs a running tide-clientd over its control socket.
//
//   tide-clientctl [--socket PATH] stop|dump|pause|resume|reload
//   tide-clientctl [--socket PATH] enable|disable|hxm-enable|hxm-disable
//                  (--user NAME | --share NAME)...
//   tide-clientctl [--config FILE] status [--json]
//   tide-clientctl [--config FILE] [--socket PATH] explain PATH [--json] [--verify]
//
// The daemon never answers an instruction: success means it was delivered;
// its effects show in the daemon's log. "status" reads files only (see
// status.h); "explain" also asks the daemon one question (see explain.h).
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/client_config.h"
#include "core/status_file.h"
#include "platform/volume_path.h"
#include "proto/ipc.h"
#include "proto/pobject.h"
#include "explain.h"
#include "status.h"

namespace {

constexpr const char* DEFAULT_SOCKET = "/tmp/tide-clientd-control";
constexpr int EXIT_NOT_DELIVERED = 1;
constexpr int EXIT_USAGE = 2;

void Usage(FILE* out) {
  fprintf(out,
          "usage: tide-clientctl [--socket PATH] stop|dump|pause|resume|reload\n"
          "       tide-clientctl [--socket PATH] enable|disable|hxm-enable|hxm-disable\n"
          "                      (--user NAME | --share NAME)...\n"
          "       tide-clientctl [--config FILE] status [--json]\n"
          "       tide-clientctl [--config FILE] explain PATH [--json] [--verify]\n"
          "\n"
          "Sends one instruction to tide-clientd over its control socket\n"
          "(default %s).\n"
          "  stop         stop the daemon\n"
          "  dump         write the registered views to syslog\n"
          "  pause        pause every task\n"
          "  resume       resume every task\n"
          "  reload       re-read the user database and register new views\n"
          "  enable       register the named users and shared folders\n"
          "  disable      forget them (their local records are deleted)\n"
          "  hxm-disable  stop watching them; they catch up from the server later\n"
          "  hxm-enable   watch them again\n"
          "  status       show the daemon's state (--json: as one JSON object);\n"
          "               --config names the daemon's configuration file to find\n"
          "               its files; exit status 0 running, 3 not running\n"
          "  explain      say why PATH is or is not synchronised (--verify: also\n"
          "               compare its content); exit status 0 in sync, 1 not,\n"
          "               3 daemon not running\n"
          "The daemon does not answer; see its log for the outcome.\n",
          DEFAULT_SOCKET);
}

bool IsSimpleAction(const std::string& action) {
  return action == "stop" || action == "dump" || action == "pause" || action == "resume" || action == "reload";
}

// The list actions on the command line use '-', on the wire '_'.
bool ListAction(const std::string& action, std::string* wire) {
  if (action == "enable" || action == "disable") {
    *wire = action;
  } else if (action == "hxm-enable") {
    *wire = "hxm_enable";
  } else if (action == "hxm-disable") {
    *wire = "hxm_disable";
  } else {
    return false;
  }
  return true;
}

// A connected descriptor, or -1 with a message saying why.
int ConnectTo(const std::string& path) {
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    fprintf(stderr, "tide-clientctl: socket path too long: %s\n", path.c_str());
    return -1;
  }
  memcpy(address.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    fprintf(stderr, "tide-clientctl: socket: %s\n", strerror(errno));
    return -1;
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) < 0) {
    int error = errno;
    fprintf(stderr, "tide-clientctl: tide-clientd is not listening on %s (%s)\n", path.c_str(), strerror(error));
    close(fd);
    return -1;
  }
  return fd;
}

int ShowStatus(const std::string& config_path, bool json) {
  tide::ClientConfig& config = tide::ClientConfig::Instance();
  tide::LoadVolumePath(config);
  if (!config_path.empty() && config.Load(config_path) < 0) {
    fprintf(stderr, "tide-clientctl: cannot read the configuration %s; using the defaults\n", config_path.c_str());
  }
  tide::StatusPaths paths = tide::PathsOf(config, tide::STATUS_FILE_PATH);
  tide::StatusReport report = tide::GatherStatus(paths);
  if (json) {
    tide::PrintStatusJson(report, paths, stdout);
  } else {
    tide::PrintStatus(report, paths, stdout);
  }
  return report.m_running ? tide::STATUS_EXIT_RUNNING : tide::STATUS_EXIT_NOT_RUNNING;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket_path = DEFAULT_SOCKET;
  std::string config_path;
  bool json = false;
  bool verify = false;
  bool socket_given = false;
  std::string action;
  std::string explain_path;
  tide::PArray user_list;
  std::string list_action;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      return 0;
    }
    if (arg == "--json") {
      json = true;
      continue;
    }
    if (arg == "--verify") {
      verify = true;
      continue;
    }
    if (arg == "--socket" || arg == "--user" || arg == "--share" || arg == "--config") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        fprintf(stderr, "tide-clientctl: %s needs a value\n", arg.c_str());
        return EXIT_USAGE;
      }
      std::string value = argv[++i];
      if (arg == "--socket") {
        socket_path = value;
        socket_given = true;
        continue;
      }
      if (arg == "--config") {
        config_path = value;
        continue;
      }
      tide::PObject element;
      element["user_name"] = value;
      element["type"] = arg == "--share" ? "share" : "user";
      user_list.push_back(std::move(element));
      continue;
    }
    if (!arg.empty() && arg[0] == '-') {
      fprintf(stderr, "tide-clientctl: unknown option %s\n", arg.c_str());
      Usage(stderr);
      return EXIT_USAGE;
    }
    if (action == "explain" && explain_path.empty()) {
      explain_path = arg;
      continue;
    }
    if (!action.empty()) {
      fprintf(stderr, "tide-clientctl: one instruction at a time (got %s and %s)\n", action.c_str(), arg.c_str());
      return EXIT_USAGE;
    }
    action = arg;
  }

  if (action == "status") {
    if (!user_list.empty()) {
      fprintf(stderr, "tide-clientctl: status takes no --user or --share\n");
      return EXIT_USAGE;
    }
    return ShowStatus(config_path, json);
  }
  if (action == "explain") {
    if (!user_list.empty() || explain_path.empty()) {
      fprintf(stderr, "tide-clientctl: explain takes one path and no --user or --share\n");
      return EXIT_USAGE;
    }
    tide::ExplainOptions options;
    options.m_config_path = config_path;
    options.m_socket_path = socket_given ? socket_path : "";
    options.m_json = json;
    options.m_verify = verify;
    return tide::RunExplain(explain_path, options);
  }
  if (verify) {
    fprintf(stderr, "tide-clientctl: --verify goes with explain only\n");
    return EXIT_USAGE;
  }
  if (json || !config_path.empty()) {
    fprintf(stderr, "tide-clientctl: --json and --config go with status and explain only\n");
    return EXIT_USAGE;
  }

  tide::PObject message;
  if (IsSimpleAction(action)) {
    if (!user_list.empty()) {
      fprintf(stderr, "tide-clientctl: %s takes no --user or --share\n", action.c_str());
      return EXIT_USAGE;
    }
    message["action"] = action;
  } else if (ListAction(action, &list_action)) {
    if (user_list.empty()) {
      fprintf(stderr, "tide-clientctl: %s needs at least one --user or --share\n", action.c_str());
      return EXIT_USAGE;
    }
    for (tide::PObject& element : user_list) element["action"] = list_action;
    message["action"] = "reload_list";
    message["user_list"] = user_list;
  } else {
    if (action.empty()) {
      fprintf(stderr, "tide-clientctl: no instruction given\n");
    } else {
      fprintf(stderr, "tide-clientctl: unknown instruction %s\n", action.c_str());
    }
    Usage(stderr);
    return EXIT_USAGE;
  }

  int fd = ConnectTo(socket_path);
  if (fd < 0) return EXIT_NOT_DELIVERED;
  tide::IPCSender sender;
  if (sender.GetChannel().Open(fd, true) < 0) {
    close(fd);
    fprintf(stderr, "tide-clientctl: cannot use the connection to %s\n", socket_path.c_str());
    return EXIT_NOT_DELIVERED;
  }
  if (sender.Send(message) < 0) {
    fprintf(stderr, "tide-clientctl: sending to %s failed\n", socket_path.c_str());
    return EXIT_NOT_DELIVERED;
  }
  sender.Close();
  return 0;
}
