// The disk side of a rescan or delete expansion: file lists read from a
// directory tree, and the expander that offers a new tree for upload.
//
// Walks never follow symbolic links (links, devices, FIFOs and sockets are
// left out), never enter a "@eaDir" attribute directory (letter case
// ignored) and give up when the abort flag is raised.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tide {

class FileList;

// True for "@eaDir" in any letter case.
bool IsEaDirName(const char* name);

// Every directory and regular file below `root`, paths relative to it.
// `task_id` names the worker in the log. 0; -1 when `root` is not a
// readable directory (a link is not followed) or the walk was aborted (what
// was read so far stays). A directory below that cannot be read is logged,
// kept in the list, and its path given in `unreadable` when asked: its
// contents are unknown, not absent.
int BuildLocalFileList(const std::string& root, FileList* list, const std::atomic<int>* abort_flag, int task_id,
                       std::vector<std::string>* unreadable = nullptr);

// The immediate children of `dir` only. 0, or -1 when it cannot be read
// (the list then holds nothing).
int BuildLocalFileListOneLevel(const std::string& dir, FileList* list);

// Pushes an UPLOAD_LOCAL for every directory and regular file below `dir`,
// parents before their contents; event paths are the local paths with the
// first `root_length` bytes (the view's watch path) cut off. 0, or -1 when
// aborted.
int ExpandTree(const std::string& dir, size_t root_length, uint64_t view_id, const std::atomic<int>* abort_flag);

}  // namespace tide
