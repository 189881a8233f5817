// What every transfer handler opens first: the view's folder, through which
// each of its file operations goes, and the daemon's work folder on the
// view's volume; and the one policy for symbolic links: a path that passes
// through a link below the view is not synchronised, its event ends, and
// the reason is logged once.
#pragma once

#include <cstdint>
#include <string>

#include "fs/view_dir.h"
#include "sync/engine_context.h"
#include "sync/work_item.h"

namespace tide {

// Holds the item's view folder. 0, or -1 after an ERROR line (the view's
// folder is missing or is itself a link).
int OpenItemView(const WorkItem& item, ViewDir* view);

// Holds the work folder of the item's volume (made when missing). 0 or -1
// after an ERROR line.
int OpenItemWorkDir(const WorkItem& item, EngineContext& engine, ViewDir* work);

// The one line said when an item's path leads through a symbolic link.
// Always 0: the event is finished, trying again would meet the same link.
int FinishRefusedItem(const WorkItem& item, const char* action);

// The owner of what a handler creates for the server's version: the owner
// the server gives, unless it gives none (root or -1), then the owner of
// the view's folder, so a user's home never fills with root's files.
NewOwner OwnerForServerVersion(const ViewDir& view, uint32_t uid, uint32_t gid);

// The item's path below the view ("/" for the view's own folder).
inline const std::string& RelativePath(const WorkItem& item) { return item.m_event.m_path; }

}  // namespace tide
