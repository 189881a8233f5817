#include "sync/server_event.h"

#include "db/native_client_db.h"

namespace tide {

Event LocalEventOf(const NServerEvent& server_event) {
  Event event;
  event.m_type = server_event.IsDeleted() ? REMOVE_LOCAL : DOWNLOAD_REMOTE;
  event.m_path = server_event.m_path;
  event.m_view_id = server_event.m_view_id;
  event.m_node_id = server_event.m_node_id;
  event.m_sync_id = server_event.m_sync_id;
  event.m_size = server_event.m_size;
  event.m_hash = server_event.m_hash;
  if (server_event.IsDir()) event.m_flags |= EVENT_FLAG_DIR;
  return event;
}

ServerEcho CheckServerEcho(NativeClientDb& db, const Event& event) {
  NodeRecord record;
  int found = event.m_node_id == 0 ? db.GetNodeByPath(event.m_view_id, event.m_path, &record)
                                   : db.GetNodeById(event.m_node_id, &record);
  // After a restart the server replays changes from the stored position,
  // older versions of a node included. Such a change says nothing new, and
  // pushed it would merge with a local change of the same path still
  // waiting (a removal, say) and take its place.
  if (found == 1 && record.m_sync_id >= event.m_sync_id) return SERVER_ECHO_UP_TO_DATE;
  if (found == 0 && event.m_type == REMOVE_LOCAL) return SERVER_ECHO_UNKNOWN;
  return SERVER_EVENT_NEW;
}

}  // namespace tide
