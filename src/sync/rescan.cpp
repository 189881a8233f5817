// Expansion and rescan handlers: not built yet, every event is finished untouched.
#include "sync/worker_handlers.h"

#include "sync/worker_native.h"

namespace tide {

int ExpandDirectory(WorkerNative&) { return 0; }

int RescanDirectory(WorkerNative&, bool) { return 0; }

}  // namespace tide
