// `tide-clientctl explain PATH`: why one path is, or is not, synchronised,
// in a few plain lines or (--json) one JSON object. Put together from the
// user database (which view holds the path), the filter, the disk, the
// local database, the store of failed events and, when the daemon runs,
// its answer to one "explain" question on the control socket (its queue
// and workers).
#pragma once

#include <string>

namespace tide {

constexpr int EXPLAIN_EXIT_IN_SYNC = 0;
constexpr int EXPLAIN_EXIT_NOT_IN_SYNC = 1;
constexpr int EXPLAIN_EXIT_USAGE = 2;
constexpr int EXPLAIN_EXIT_NOT_RUNNING = 3;

struct ExplainOptions {
  std::string m_config_path;     // the daemon's configuration file; empty: defaults
  std::string m_socket_path;     // empty: the configured control socket
  bool m_json = false;
  bool m_verify = false;  // also read the file and compare its MD4
};

// Prints the explanation of `path` (absolute, or relative to the working
// directory) and returns the exit status: 0 in sync, 1 not, 3 when the
// daemon does not run (what the files say is still printed).
int RunExplain(const std::string& path, const ExplainOptions& options);

}  // namespace tide
