// Everything a test can observe of a folder tree, to show that an operation
// left a folder it must never reach exactly as it was.
#pragma once

#include <string>
#include <vector>

namespace tide::test {

// One line per object below `root` (the root folder itself included), in
// name order: path, kind, mode, owner, group, modification time (ns), and
// the bytes of a file or the target of a link. Links are never followed.
// Access times are left out: reading is not a change.
std::vector<std::string> SnapshotTree(const std::string& root);

}  // namespace tide::test
