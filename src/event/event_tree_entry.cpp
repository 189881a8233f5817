// Conversion between events and the tree's entries.
#include "event/event_tree.h"

namespace tide {

namespace {

struct FlagPair {
  uint32_t m_event_flag;
  uint32_t m_node_flag;
};

constexpr FlagPair FLAG_MAP[] = {
    {EVENT_FLAG_DIR, NODE_FLAG_DIR},
    {EVENT_FLAG_EXCEPT, NODE_FLAG_EXCEPT},
    {EVENT_FLAG_CONFLICT, NODE_FLAG_CONFLICT},
    {EVENT_FLAG_RESERVED8, NODE_FLAG_RESERVED8},
    {EVENT_FLAG_LOCAL_SUBDIR_RESCAN, NODE_FLAG_LOCAL_SUBDIR_RESCAN},
    {EVENT_FLAG_SERVER_SUBDIR_RESCAN, NODE_FLAG_SERVER_SUBDIR_RESCAN},
    {EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT, NODE_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT},
    {EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT, NODE_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT},
    {EVENT_FLAG_AFTER_SUBTREE, NODE_FLAG_AFTER_SUBTREE},
};

}  // namespace

EventNodeEntry EventNodeEntry::FromEvent(const Event& event) {
  EventNodeEntry entry;
  switch (event.m_type) {
    case REMOVE_LOCAL:
    case REMOVE_REMOTE:
      entry.m_op = ENTRY_OP_REMOVE;
      break;
    case DOWNLOAD_REMOTE:
    case UPLOAD_LOCAL:
    case EXPAND:
    case RESCAN_MERGE:
    case RESCAN_SYNC:
      entry.m_op = ENTRY_OP_UPDATE;
      break;
    case RENAME_LOCAL:
    case RENAME_REMOTE:
      entry.m_op = ENTRY_OP_RENAME;
      break;
    default:
      entry.m_op = ENTRY_OP_NONE;
      break;
  }
  uint32_t flags = 0;
  for (const FlagPair& pair : FLAG_MAP) {
    if (event.m_flags & pair.m_event_flag) flags |= pair.m_node_flag;
  }
  if (IsServerEventType(event.m_type)) flags |= NODE_FLAG_SERVER;
  if (IsExpandEventType(event.m_type)) flags |= NODE_FLAG_EXPAND;
  if (event.m_type == RESCAN_SYNC) flags |= NODE_FLAG_RESCAN;
  if (event.m_type == RESCAN_MERGE) flags |= NODE_FLAG_RESCAN | NODE_FLAG_MERGE;
  entry.m_node_flags = flags;
  entry.m_sync_id = event.m_sync_id;
  entry.m_view_id = event.m_view_id;
  entry.m_hash = event.m_hash;
  entry.m_path = event.m_path;
  entry.m_new_path = event.m_new_path;
  entry.m_size = event.m_size;
  entry.m_node_id = event.m_node_id;
  return entry;
}

void EventNodeEntry::ToEvent(Event* event) const {
  event->m_path = m_path;
  event->m_new_path = m_new_path;
  event->m_hash = m_hash;
  ToEventNumbers(event);
}

void EventNodeEntry::ToEventNumbers(Event* event) const {
  event->m_view_id = m_view_id;
  event->m_node_id = m_node_id;
  event->m_sync_id = m_sync_id;
  event->m_size = m_size;
  uint32_t flags = 0;
  for (const FlagPair& pair : FLAG_MAP) {
    if (m_node_flags & pair.m_node_flag) flags |= pair.m_event_flag;
  }
  event->m_flags = flags;
  bool server = IsServer();
  switch (m_op) {
    case ENTRY_OP_REMOVE:
      event->m_type = server ? REMOVE_LOCAL : REMOVE_REMOTE;
      break;
    case ENTRY_OP_RENAME:
      event->m_type = server ? RENAME_LOCAL : RENAME_REMOTE;
      break;
    case ENTRY_OP_UPDATE:
      if (server) {
        event->m_type = DOWNLOAD_REMOTE;
      } else if (!(m_node_flags & NODE_FLAG_EXPAND)) {
        event->m_type = UPLOAD_LOCAL;
      }
      break;
    default:
      break;
  }
}

}  // namespace tide
