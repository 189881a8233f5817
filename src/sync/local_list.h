// The disk side of a rescan or delete expansion: file lists read from a
// directory tree of a view, and the expander that offers a new tree for
// upload.
//
// Walks go through the view's descriptor and never enter a symbolic link,
// not even one swapped in while they run (links, devices, FIFOs and sockets
// are left out); they never enter a "@eaDir" attribute directory (letter
// case ignored) and give up when the abort flag is raised.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fs/view_dir.h"

namespace tide {

class EventManager;
class FileList;

// True for "@eaDir" in any letter case.
bool IsEaDirName(const char* name);

// Every directory and regular file below the directory `relative` of
// `view`, paths relative to it. `task_id` names the worker in the log. 0;
// FS_LINK_REFUSED when a link stands in the way to it; -1 when it is not a
// readable directory or the walk was aborted (what was read so far stays).
// A directory below that cannot be read is logged, kept in the list, and
// its path given in `unreadable` when asked: its contents are unknown, not
// absent.
int BuildLocalFileList(const ViewDir& view, const std::string& relative, FileList* list,
                       const std::atomic<int>* abort_flag, int task_id, std::vector<std::string>* unreadable = nullptr);

// The immediate children of the directory only. 0, or a negative value
// when it cannot be read (the list then holds nothing).
int BuildLocalFileListOneLevel(const ViewDir& view, const std::string& relative, FileList* list);

// Pushes to `events` an UPLOAD_LOCAL for every directory and regular file
// below the directory `relative` ("/" for the view's root), parents before
// their contents, with event paths relative to the view. 0, or -1 when
// aborted.
int ExpandTree(EventManager& events, const ViewDir& view, const std::string& relative, uint64_t view_id,
               const std::atomic<int>* abort_flag);

}  // namespace tide
