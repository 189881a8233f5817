// One-shot notices to the appliance's indexing service. Failures are
// reported by the result only; callers ignore them.
#pragma once

#include <string>

namespace tide {

constexpr const char* INDEX_SOCKET_PATH = "/tmp/tide-index-socket";

constexpr char INDEX_ADDED = 'a';            // a file or directory was added
constexpr char INDEX_FILE_REMOVED = 'd';
constexpr char INDEX_DIRECTORY_REMOVED = 'D';

// Sends `letter` followed by the bytes of `path` when the configuration's
// do_index is set. 0 (also when indexing is off) or negative.
int NotifyIndex(char letter, const std::string& path);

// Tests point the notices at a socket of their own; empty restores the
// default.
void SetIndexSocketPathForTest(const std::string& path);

}  // namespace tide
