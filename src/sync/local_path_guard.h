// Guards for the paths the transfer handlers write to.
//
// A view's tree belongs to its users, who may place symbolic links in it.
// The handlers create, move and remove objects by path, and the kernel
// follows a link in any but the last component, so a link such as
// share/docs -> /etc would let a download land outside the view. Before
// writing, the handlers check the components between the watch path and
// the object itself.
#pragma once

#include <string>

namespace tide {

// 0 when `local_path` lies below (or is) `watch_path` and none of its
// existing components below the watch path, the last one excepted, is a
// symbolic link that resolves outside the watch path (a dangling link
// counts as outside). -1 otherwise, after an ERROR line. The last
// component is left alone: the handlers rename and remove a link itself
// and never write through it.
int CheckLocalPathInView(const std::string& watch_path, const std::string& local_path);

// fsync of a file, or of the directory that holds `path`, so that a rename
// onto `path` survives a crash. 0 or -1 after an ERROR line.
int SyncFile(const std::string& path);
int SyncParentDirectory(const std::string& path);

}  // namespace tide
