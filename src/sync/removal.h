// Removal both ways and the delete expansions. The handlers of
// worker_handlers.h call these; tests call them directly, with an exchange
// of their own. Results: 0 finished, negative try again later.
#pragma once

#include <functional>

#include "proto/messages.h"
#include "sync/work_item.h"

namespace tide {

class EventManager;
class NativeClientDb;
struct EngineContext;

// Remove-response error codes that are not plain failures.
constexpr uint32_t REMOVE_ALREADY_GONE = 6;
constexpr uint32_t REMOVE_MODIFIED = 8;

// One remove exchange with the server: 0 with the response filled, or -1.
using RemoveExchange = std::function<int(NRemoveRequest*, NRemoveResponse*)>;

// A server deletion applied to the disk.
int RemoveLocalItem(const WorkItem& item, EngineContext& engine);
// A local deletion sent to the server through `exchange`.
int RemoveRemoteItem(const WorkItem& item, EngineContext& engine, const RemoveExchange& exchange);

// The request names the newest version the local side has seen: the
// record's sync id, and for a directory the newest recorded anywhere in its
// subtree, so the server refuses only for changes the local side never saw.
// 0 or -1.
int PrepareRemoveRequest(const WorkItem& item, NativeClientDb& db, NRemoveRequest* request);
// 0 for codes 0, 6 and 8 (a modified directory is rescanned instead), -1
// for any other.
int ProcessRemoveResponse(const WorkItem& item, EventManager& events, const NRemoveResponse& response);

// A directory deleted locally while changes below it were still pending:
// removes on the server what the database knows below it but the disk no
// longer holds (one level; directories go whole).
int ExpandLocalDeleteItem(const WorkItem& item, EngineContext& engine);
// A directory deleted on the server while changes below it were still
// pending: a local removal for every child the database knew at the
// deletion's sync id.
int ExpandServerDeleteItem(const WorkItem& item, EngineContext& engine);
// After such an expansion, the event for the directory itself: the
// finished event again, or (for one that carried a pending-change flag) an
// upload of the directory when it exists on disk and a forced download
// when it does not. 1 with the event in *self, which the caller queues as
// the finished one leaves; 0 when there is none (a link in the way); -1 on
// a failure.
int CreateDirSelfEventItem(const WorkItem& item, Event* self);

}  // namespace tide
