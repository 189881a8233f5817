// The daemon's PID file and whether the process it names still runs: the
// daemon checks it before it starts, the control program to tell whether
// the daemon runs.
#pragma once

#include <string>

namespace tide {

// Whether `pid` names a process that still runs: it exists (also when it
// belongs to someone the caller may not signal) and has not exited.
bool ProcessRunning(int pid);

// The number the PID file at `path` holds ("%d\n"), or 0 when the file is
// missing, unreadable or holds no number.
int ReadPidFile(const std::string& path);

}  // namespace tide
