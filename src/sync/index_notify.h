// One-shot notices to the appliance's indexing service. Failures are
// reported by the result only; callers ignore them.
#pragma once

#include <string>

namespace tide {

constexpr const char* INDEX_SOCKET_PATH = "/tmp/tide-index-socket";

constexpr char INDEX_ADDED = 'a';            // a file or directory was added
constexpr char INDEX_FILE_REMOVED = 'd';
constexpr char INDEX_DIRECTORY_REMOVED = 'D';

// Where the notices go, and whether any are sent (the configuration's
// do_index).
struct IndexNotifier {
  bool m_enabled = false;
  std::string m_socket_path = INDEX_SOCKET_PATH;

  // Sends `letter` followed by the bytes of `path` when enabled. 0 (also
  // when indexing is off) or negative.
  int Notify(char letter, const std::string& path) const;
};

}  // namespace tide
