// Start-up and shutdown steps of the daemon's main thread.
#pragma once

#include "core/client_config.h"

namespace tide {

// Fills volume_path from the db-path file's "db-vol", else from the folder
// above the "homes" share. 0 when found, -1 when left empty.
int LoadVolumePath(ClientConfig& config);

// Detaches (when configured), prepares descriptors, the file-creation mask,
// the logger, the PID file and the signal handlers, then the process-wide
// services. 0, or -1 after its message: the caller exits with 255.
int BecomeDaemon(const ClientConfig& config);

// Whether `pid` names a process that still runs: it exists (also when it
// belongs to someone the caller may not signal) and has not exited.
bool ProcessRunning(int pid);

// Set to "inotify", keeps the inotify detector where the volume-wide one
// would be used.
constexpr const char* DETECTOR_CHOICE_VARIABLE = "TIDE_DETECTOR";
// "walk" makes every lookup below a view go component by component even
// where the kernel resolves beneath by itself (for measuring the fallback).
constexpr const char* RESOLVE_CHOICE_VARIABLE = "TIDE_RESOLVE";

// Whether the volume-wide notification interface can serve: the kernel
// offers it, this process may open it, and the volume's file system takes a
// watch.
bool ProbeNotifySupport();

// Closes every descriptor from `first` up, in one call where the kernel
// offers it (a limit of a million descriptors makes one-by-one slow).
void CloseDescriptorsFrom(int first);

}  // namespace tide
