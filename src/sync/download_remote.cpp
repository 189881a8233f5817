// Download handler: not built yet, every event is finished untouched.
#include "sync/worker_handlers.h"

#include "sync/worker_native.h"

namespace tide {

int DownloadRemote(WorkerNative&) { return 0; }

}  // namespace tide
