// The worker's handlers, one per kind of event. Each receives the worker
// (its copies of the event, registry entry and node record, its local path,
// temporary directory and abort flag) and returns 0 when the event is
// finished (also when it proved fake, filtered or needless) and a negative
// value when the worker must process it again three seconds later.
#pragma once

#include <atomic>
#include <string>

namespace tide {

class WorkerNative;

// Upload (local change to the server).
int UploadLocal(WorkerNative& worker);
// MD4 of a file as 32 lowercase hexadecimal digits. 0 or -1.
int CaculateMD4(const std::string& path, std::string* hash, const std::atomic<int>* abort_flag);

// Download (server change to the disk).
int DownloadRemote(WorkerNative& worker);

// Removal both ways, expansion and rescan.
int RemoveLocal(WorkerNative& worker);
int RemoveRemote(WorkerNative& worker);
int ExpandDirectory(WorkerNative& worker);
int RescanDirectory(WorkerNative& worker, bool merge);
int ExpandLocalDeleteEvent(WorkerNative& worker);
int ExpandServerDeleteEvent(WorkerNative& worker);
int CreateDirSelfEvent(WorkerNative& worker);

}  // namespace tide
