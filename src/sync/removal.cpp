// Removal handlers: not built yet, every event is finished untouched.
#include "sync/worker_handlers.h"

#include "sync/worker_native.h"

namespace tide {

int RemoveLocal(WorkerNative&) { return 0; }

int RemoveRemote(WorkerNative&) { return 0; }

int ExpandLocalDeleteEvent(WorkerNative&) { return 0; }

int ExpandServerDeleteEvent(WorkerNative&) { return 0; }

int CreateDirSelfEvent(WorkerNative&) { return 0; }

}  // namespace tide
