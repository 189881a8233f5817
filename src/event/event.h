// The unit of work of the daemon: one change to carry from the disk to the
// server, from the server to the disk, or a directory to walk. A plain value:
// every holder keeps its own copy, nobody points into another's events.
#pragma once

#include <cstdint>
#include <string>

namespace tide {

enum EventType : int32_t {
  EMPTY = 0,
  REMOVE_LOCAL = 1,     // server deletion: delete the local object
  DOWNLOAD_REMOTE = 2,  // any other server change: fetch the object
  RENAME_LOCAL = 3,     // has no producer; a worker reports it done as is
  UPLOAD_LOCAL = 4,     // local change: send the object to the server
  REMOVE_REMOTE = 5,    // local deletion: delete the object on the server
  RENAME_REMOTE = 6,    // split by the detector before it is queued
  EXPAND = 7,           // walk a created or moved-in directory
  RESCAN_MERGE = 8,     // rescan a directory, merging with the server state
  RESCAN_SYNC = 9,      // rescan a directory, syncing it
};

constexpr int32_t EVENT_TYPE_COUNT = 10;

constexpr uint32_t EVENT_FLAG_DIR = 0x01;
// Bypasses the directory hierarchy of the event tree (except queues).
constexpr uint32_t EVENT_FLAG_EXCEPT = 0x02;
constexpr uint32_t EVENT_FLAG_CONFLICT = 0x04;
// Carried unchanged; a download carrying it skips its up-to-date check.
constexpr uint32_t EVENT_FLAG_RESERVED8 = 0x08;
constexpr uint32_t EVENT_FLAG_LOCAL_SUBDIR_RESCAN = 0x10;
constexpr uint32_t EVENT_FLAG_SERVER_SUBDIR_RESCAN = 0x20;
constexpr uint32_t EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT = 0x40;
constexpr uint32_t EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT = 0x80;
// A directory's removal that follows the expansion of its subtree: it waits
// until nothing is pending or being carried out below it, and what waits
// below goes first (a removal of a directory normally goes before its
// subtree).
constexpr uint32_t EVENT_FLAG_AFTER_SUBTREE = 0x100;

// Name of an event type as it appears in logs ("UNKNOWN" outside the table).
const char* EventTypeName(int32_t type);

inline bool IsServerEventType(int32_t type) { return type >= 1 && type <= 3; }
inline bool IsExpandEventType(int32_t type) { return type >= 7 && type <= 9; }
inline bool IsNormalEventType(int32_t type) { return type >= 1 && type <= 6; }

struct Event {
  int32_t m_type = EMPTY;
  std::string m_path;      // relative to the view root, starts with "/"; old path of a rename
  std::string m_new_path;  // rename target, empty otherwise
  uint64_t m_view_id = 0;
  uint32_t m_flags = 0;
  uint64_t m_node_id = 0;  // server node id, 0 when unknown
  uint64_t m_sync_id = 0;  // server change that produced it, 0 for local events
  uint64_t m_size = 0;
  std::string m_hash;  // server content hash; empty for local events and directories

  bool IsServerEvent() const { return IsServerEventType(m_type); }
  bool IsExpandEvent() const { return IsExpandEventType(m_type); }
  bool IsNormalEvent() const { return IsNormalEventType(m_type); }
  bool IsDir() const { return (m_flags & EVENT_FLAG_DIR) != 0; }

  // One log line (no newline), e.g.
  // "Event<DOWNLOAD_REMOTE>: [42] /a/b.txt (server,file) size = 7, hash = x".
  std::string ToString() const;

  bool operator==(const Event&) const = default;
};

}  // namespace tide
