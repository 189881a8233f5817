// What the running daemon publishes in its status file (format and writer
// in core/status_file.h, shared with the control program that reads it).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>

#include "core/progress.h"
#include "core/status_file.h"

namespace tide {

// The finishing rate of each view with work, kept between publications.
using ViewRates = std::map<uint64_t, ProgressRate>;

// The registered views with their load, as the daemon sees them now, and
// the rate of each view with pending work, measured in `rates` over the
// calls. A paused view (or daemon) has no rate: its measure starts afresh
// when it resumes, rather than counting the pause as slowness.
DaemonStatus CollectStatus(bool paused, ViewRates* rates, std::chrono::steady_clock::time_point now);
// The same with the daemon's own rates (its one publisher is the control
// loop's thread) and the current time.
DaemonStatus CollectStatus(bool paused);

}  // namespace tide
