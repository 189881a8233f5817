#include "core/daemon_state.h"

namespace tide {

std::atomic<int> g_running{1};
std::atomic<bool> g_notify_supported{false};

}  // namespace tide
