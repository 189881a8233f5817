// What the running daemon publishes in its status file (format and writer
// in core/status_file.h, shared with the control program that reads it).
#pragma once

#include "core/status_file.h"

namespace tide {

// The registered views with their load, as the daemon sees them now.
DaemonStatus CollectStatus(bool paused);

}  // namespace tide
