// Process-wide state owned by start-up and shared with the other threads.
#pragma once

#include <atomic>

namespace tide {

// Non-zero while the daemon should keep running. Cleared (plain stores, so
// safe from a signal handler) by SIGINT/SIGTERM, the "stop" instruction and a
// worker that finds the disk full; the main thread re-reads it at least every
// 3 seconds.
extern std::atomic<int> g_running;

// Set once during start-up by the notification probe: true when the kernel
// offers the volume-wide notification interface.
extern std::atomic<bool> g_notify_supported;

inline bool IsRunning() { return g_running.load(std::memory_order_relaxed) != 0; }
inline void RequestShutdown() { g_running.store(0, std::memory_order_relaxed); }

}  // namespace tide
