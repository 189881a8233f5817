// The worker's handlers, one per kind of event. Each receives the work item
// (the worker's copies of the event, registry entry and node record, its
// local path, work folder and abort flag) and the engine context it works
// with, and says what became of the event; the worker, not the handler,
// then reports it done, keeps it for another try, or hands it back.
#pragma once

#include <atomic>
#include <string>

#include "sync/work_item.h"

namespace tide {

struct EngineContext;

enum class HandlerOutcome {
  // Finished, also when it proved fake, filtered or needless.
  DONE,
  // Failed for now: the worker keeps the event and tries again later.
  RETRY,
  // Cannot be worked on now (its view froze on a full disk): the event goes
  // back to the event manager untouched and waits there with its view.
  GIVE_BACK,
};

// The usual mapping of a step's result: 0 done, negative try again.
inline HandlerOutcome OutcomeOf(int result) { return result < 0 ? HandlerOutcome::RETRY : HandlerOutcome::DONE; }

// Upload (local change to the server).
HandlerOutcome UploadLocal(const WorkItem& item, EngineContext& engine);
// MD4 of a file as 32 lowercase hexadecimal digits. 0 or -1.
int CaculateMD4(const std::string& path, std::string* hash, const std::atomic<int>* abort_flag);

// Download (server change to the disk).
HandlerOutcome DownloadRemote(const WorkItem& item, EngineContext& engine);
// Tests run `hook` in a download between its look at the local file and the
// move of the new version into place; nullptr removes it.
void SetDownloadPlaceHookForTest(void (*hook)());

// Removal both ways, expansion and rescan.
HandlerOutcome RemoveLocal(const WorkItem& item, EngineContext& engine);
HandlerOutcome RemoveRemote(const WorkItem& item, EngineContext& engine);
HandlerOutcome ExpandDirectory(const WorkItem& item, EngineContext& engine);
HandlerOutcome RescanMerge(const WorkItem& item, EngineContext& engine);
HandlerOutcome RescanSync(const WorkItem& item, EngineContext& engine);
HandlerOutcome ExpandLocalDeleteEvent(const WorkItem& item, EngineContext& engine);
HandlerOutcome ExpandServerDeleteEvent(const WorkItem& item, EngineContext& engine);
// The directory's own event after a subtree rescan, made while the finished
// one is still held: 1 with *self, 0 none, -1 failure.
int CreateDirSelfEvent(const WorkItem& item, EngineContext& engine, Event* self);

}  // namespace tide
