// Expansion of a new directory and the rescan of a directory tree, written
// against a WorkItem like the removal handlers (see removal.h).
#pragma once

#include "sync/work_item.h"

namespace tide {

struct EngineContext;

// Offers everything below the directory for upload. Always 0.
int ExpandDirectoryItem(const WorkItem& item, EngineContext& engine);
// Compares the tree on disk with the database's record of it and pushes
// the reconciling events (merge or sync mode, see rescan_compare.h).
// Always 0: an aborted rescan is not retried, the next one covers it.
int RescanDirectoryItem(const WorkItem& item, EngineContext& engine, bool merge);

}  // namespace tide
