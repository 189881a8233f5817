// The pending normal events (types 1 to 6) of one view, arranged as the
// directory hierarchy they touch: at most one pending change per path, a
// newer change merged into the older one, parents handed out before their
// children, a directory removal held back while work below it runs, and a
// path being worked on never handed out twice. Beside the hierarchy, two
// except queues (waiting, processing) hold events that bypass it.
//
// The hand-out order walks files and child directories in insertion order.
// Each directory keeps hash indexes by name beside its lists, and a cursor
// per list past the entries a pop would skip anyway, so inserts, pops and
// dones stay near constant time in directories of any size.
//
// Thread use: m_mutex (non-recursive) guards everything; every public
// operation takes it, except the two counter reads. The owning pool's mutex
// is always taken before it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include "core/mutex.h"
#include <string>
#include <string_view>
#include <unordered_map>

#include "event/event.h"
#include "event/name_index.h"

namespace tide {

// Operation of an entry.
enum EntryOp : int32_t {
  ENTRY_OP_NONE = 0,
  ENTRY_OP_UPDATE = 1,  // create or update
  ENTRY_OP_REMOVE = 2,
  ENTRY_OP_RENAME = 4,
};

// Node flags of an entry.
constexpr uint32_t NODE_FLAG_DIR = 0x001;
constexpr uint32_t NODE_FLAG_SERVER = 0x002;
constexpr uint32_t NODE_FLAG_EXPAND = 0x004;
constexpr uint32_t NODE_FLAG_RESCAN = 0x008;
constexpr uint32_t NODE_FLAG_MERGE = 0x010;
constexpr uint32_t NODE_FLAG_EXCEPT = 0x020;
constexpr uint32_t NODE_FLAG_LOCAL_SUBDIR_RESCAN = 0x040;
constexpr uint32_t NODE_FLAG_SERVER_SUBDIR_RESCAN = 0x080;
constexpr uint32_t NODE_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT = 0x100;
constexpr uint32_t NODE_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT = 0x200;
constexpr uint32_t NODE_FLAG_CONFLICT = 0x400;
constexpr uint32_t NODE_FLAG_RESERVED8 = 0x800;
constexpr uint32_t NODE_FLAG_AFTER_SUBTREE = 0x1000;
constexpr uint32_t NODE_FLAG_SUBDIR_RESCAN = 0x3C0;

// Status of a node.
enum NodeStatus : int32_t {
  NODE_WAITING = 0,           // an entry is pending
  NODE_PROCESSING = 1,        // handed out to a worker
  NODE_PLACEHOLDER = 2,       // nothing pending; exists for its descendants
  NODE_PROCESSING_DIRTY = 3,  // processing, and a newer change was merged in
};

// A server sync id that never loses a merge against a newer one.
constexpr uint64_t SYNC_ID_UNBOUNDED = 0x7FFFFFFFFFFFFFFFULL;

// The tree's own form of an event.
struct EventNodeEntry {
  int32_t m_op = ENTRY_OP_NONE;
  uint32_t m_node_flags = 0;
  uint64_t m_sync_id = 0;
  uint64_t m_view_id = 0;
  std::string m_hash;
  std::string m_path;
  std::string m_new_path;
  std::string m_extra_text;  // kept empty by the tree
  uint64_t m_size = 0;
  uint64_t m_extra_number = 0;  // kept 0 by the tree
  uint32_t m_extra_word = 0;    // kept 0 by the tree
  uint64_t m_node_id = 0;

  static EventNodeEntry FromEvent(const Event& event);
  // Copies the fields back into `event`; an entry with op NONE leaves the
  // event's type as it was.
  void ToEvent(Event* event) const;
  // The same without the three texts.
  void ToEventNumbers(Event* event) const;
  bool IsServer() const { return (m_node_flags & NODE_FLAG_SERVER) != 0; }
  bool IsDir() const { return (m_node_flags & NODE_FLAG_DIR) != 0; }

  bool operator==(const EventNodeEntry&) const = default;
};

// What a test or a diagnostic sees of one node.
struct EventNodeInfo {
  int32_t m_status = NODE_PLACEHOLDER;
  EventNodeEntry m_entry;
  int32_t m_server_refs = 0;  // directories only
  int32_t m_local_refs = 0;
};

class EventTree {
 public:
  static constexpr size_t MAX_NAME_LEN = 1023;
  static constexpr size_t MAX_PARENT_LEN = 4095;

  EventTree();
  ~EventTree();
  EventTree(const EventTree&) = delete;
  EventTree& operator=(const EventTree&) = delete;

  // Queues an event: EXCEPT events into the waiting except queue, normal
  // events (types 1 to 6) into the hierarchy. -1 for a path ending in "/"
  // or too long, or a type that does not belong here.
  int Push(const Event& event);
  int PushExcepEvent(const Event& event);
  // Hands out the next event of the hierarchy, else the first waiting
  // except event. -1 when there is nothing to hand out.
  int Pop(Event* event);
  // Hands out the entry of one path again (after a change was merged into
  // it while it was processing), else that path's waiting except event.
  int PopEvent(const std::string& path, Event* event);
  // Reports a handed-out event finished. -1 when the path is not processing
  // (for example because a newer change was merged in meanwhile).
  int DoneEvent(const Event& event);
  // Gives a handed-out path back: it is waiting again.
  int ResetEventStatus(const std::string& path);

  bool IsEmpty();
  int ExceptCount();
  int ServerEventCount() const { return m_server_count.load(std::memory_order_relaxed); }
  int LocalEventCount() const { return m_local_count.load(std::memory_order_relaxed); }
  // Bytes of the files the counted events would send or fetch (the sizes
  // the events carry; 0 for directories, removals and renames). A merged
  // entry counts with its own size only, so a replaced event's bytes leave
  // the sum.
  uint64_t PendingBytes() const { return m_pending_bytes.load(std::memory_order_relaxed); }
  // Drops the path from the processing except queue; -1 when absent.
  int RemoveExcept(const std::string& path);
  // Drops the path from both except queues; -1 when in neither.
  int RemoveExceptEverywhere(const std::string& path);
  // Moves a handed-out except event back to the waiting queue (the redo of
  // an EXCEPT event); -1 when it is not processing.
  int RedoExcept(const std::string& path);
  // 1 with the event when the path waits in the except queue, else 0.
  int FindWaitingExcept(const std::string& path, Event* event);

  void Clear();
  void TraverseTree();

  // Milliseconds of a monotonic clock.
  using Clock = int64_t (*)();
  // Local removals wait while more of them keep coming: `rm -r` reports a
  // folder's contents before the folder, and every removal handed out
  // before its folder's arrives costs a server exchange that the folder's
  // removal would have made needless. A waiting local removal is held back
  // until no local removal has been pushed for `quiet_ms`, and at most
  // `max_ms` from the first removal of the burst. quiet_ms 0 (the default)
  // holds nothing back.
  void SetRemovalSettle(int64_t quiet_ms, int64_t max_ms);
  void SetClock(Clock clock);

  // 1 with the node's state when a directory (is_dir) or file node of that
  // path exists, else 0.
  int GetNodeInfo(const std::string& path, bool is_dir, EventNodeInfo* info);
  // Recounts the tree and checks every counter, reference count, index and
  // cursor against it. 0 when all agree, else -1 with the first difference.
  int Verify(std::string* problem);

 private:
  struct DirNode;
  struct FileNode;
  // A node and the entry it keeps. The entry is stored compactly: its
  // numbers, and its three texts in one block ("path\0hash\0new path\0");
  // the extra fields the tree keeps empty are not stored. A million pending
  // events are a million of these, so every byte counts.
  struct NodeBase {
    NodeBase() = default;
    ~NodeBase() { delete[] m_text; }
    NodeBase(const NodeBase&) = delete;
    NodeBase& operator=(const NodeBase&) = delete;

    void SetEntry(const EventNodeEntry& entry);
    void ClearEntry();
    EventNodeEntry Entry() const;
    void ToEvent(Event* event) const;
    int32_t Op() const { return m_op; }
    uint32_t Flags() const { return m_flags; }
    bool IsServer() const { return (m_flags & NODE_FLAG_SERVER) != 0; }
    uint64_t SyncId() const { return m_sync_id; }
    const char* Path() const { return m_text ? m_text : ""; }
    std::string_view PathView() const { return std::string_view(Path(), m_path_len); }
    // The entry's side as it stands: server when it is a server entry.
    bool IsLocalRemoval() const { return m_op == ENTRY_OP_REMOVE && !IsServer(); }
    uint64_t TransferBytes() const { return m_op == ENTRY_OP_UPDATE && !(m_flags & NODE_FLAG_DIR) ? m_size : 0; }

    uint64_t m_seq = 0;  // insertion order within the parent's list
    uint64_t m_sync_id = 0;
    uint64_t m_view_id = 0;
    uint64_t m_size = 0;
    uint64_t m_node_id = 0;
    char* m_text = nullptr;
    uint32_t m_hash_len = 0;
    uint32_t m_new_path_len = 0;
    uint32_t m_flags = 0;
    uint16_t m_path_len = 0;  // paths are at most MAX_PARENT_LEN + 1 + MAX_NAME_LEN
    int8_t m_op = ENTRY_OP_NONE;
    int8_t m_status = NODE_WAITING;
  };
  struct FileNode : NodeBase {
    // A file always has an entry: its name is the last component of the
    // entry's path.
    std::string_view Name() const {
      std::string_view path = PathView();
      return path.substr(path.rfind('/') + 1);
    }
    FileNode* m_prev = nullptr;
    FileNode* m_next = nullptr;
  };
  struct FileName {
    std::string_view operator()(const FileNode* file) const { return file->Name(); }
  };
  struct DirNode : NodeBase {
    std::string m_name;
    DirNode* m_parent = nullptr;
    DirNode* m_prev = nullptr;  // siblings, insertion order
    DirNode* m_next = nullptr;
    DirNode* m_first_child = nullptr;
    DirNode* m_last_child = nullptr;
    FileNode* m_first_file = nullptr;
    FileNode* m_last_file = nullptr;
    std::unordered_map<std::string_view, DirNode*> m_child_index;
    NameIndex<FileNode, FileName> m_file_index;
    // No file before m_file_cursor is waiting, and every child before
    // m_child_cursor is one a pop skips without looking further (null: the
    // end of the list).
    FileNode* m_file_cursor = nullptr;
    DirNode* m_child_cursor = nullptr;
    int32_t m_server_refs = 0;  // processing entries below, server side
    int32_t m_local_refs = 0;   // processing entries below, local side

    bool IsEmpty() const { return !m_first_child && !m_first_file; }
  };

  // Locked helpers.
  int InsertLocked(EventNodeEntry&& entry) REQUIRES(m_mutex);
  // True when a removal is already covered by the waiting removal of an
  // ancestor directory and nothing is pending at its own path.
  bool CoveredByPendingRemoval(const EventNodeEntry& entry) REQUIRES(m_mutex);
  void NoteRemovalPush(const EventNodeEntry& entry) REQUIRES(m_mutex);
  bool HoldingRemovals() REQUIRES(m_mutex);
  // A waiting node that this pop must leave alone.
  bool Held(const NodeBase* node) const REQUIRES(m_mutex) { return m_hold && node->IsLocalRemoval(); }
  // Counts a waiting node in (+1) or out (-1) of the waiting counters; a
  // node in any other status is not counted.
  void Account(const NodeBase* node, int delta) REQUIRES(m_mutex);
  void MergeIntoNode(DirNode* parent, NodeBase* node, EventNodeEntry&& entry) REQUIRES(m_mutex);
  EventNodeEntry Merge(const EventNodeEntry& old_entry, EventNodeEntry&& new_entry) REQUIRES(m_mutex);
  int PruneBelow(DirNode* dir, bool server, uint64_t limit) REQUIRES(m_mutex);
  int PopFrom(DirNode* dir, Event* event) REQUIRES(m_mutex);
  bool HasPendingNonRemovalBelow(const DirNode* dir) const REQUIRES(m_mutex);
  // Anything waiting or being carried out below the directory.
  bool HasEntryBelow(const DirNode* dir) const REQUIRES(m_mutex);
  bool AllProcessingBelowAreRemovals(const DirNode* dir) const REQUIRES(m_mutex);
  // `entry` carries the side and the kind of the finished event.
  int UpdateFileDoneEvent(const std::string& path, const EventNodeEntry& entry) REQUIRES(m_mutex);
  int UpdateDirDoneEvent(const std::string& path, const EventNodeEntry& entry) REQUIRES(m_mutex);
  // Walks the parent part of `path` from the root; with `create`, missing
  // directories become placeholders. Null when the path is unusable or a
  // directory is missing; `name` gets the last component.
  DirNode* WalkParent(const std::string& path, bool create, std::string_view* name) REQUIRES(m_mutex);
  // The directory or file node of a path; `prefer` ranks statuses when both
  // exist (the earlier in the list wins; unlisted ranks last).
  NodeBase* FindNode(const std::string& path, const int32_t* prefer, int prefer_count, DirNode** parent,
                     bool* is_dir) REQUIRES(m_mutex);

  DirNode* AddChild(DirNode* parent, std::string_view name, int32_t status) REQUIRES(m_mutex);
  FileNode* AddFile(DirNode* parent, const EventNodeEntry& entry) REQUIRES(m_mutex);
  static FileNode* NewFile(const EventNodeEntry& entry);
  static void DeleteFile(FileNode* file);
  void UnlinkChild(DirNode* parent, DirNode* child) REQUIRES(m_mutex);
  void RemoveFile(DirNode* parent, FileNode* file) REQUIRES(m_mutex);
  void DeleteTree(DirNode* dir, bool log) REQUIRES(m_mutex);
  // Deletes `dir` while it is an empty placeholder, then its parent the same.
  void RemoveEmptyPlaceholders(DirNode* dir) REQUIRES(m_mutex);
  // Adds `delta` to the side's reference count of `dir` and its ancestors
  // (the root excluded).
  void AdjustRefs(DirNode* dir, bool server, int delta) REQUIRES(m_mutex);
  // Counts the node's entry in (+1) or out (-1) of the side's counter and
  // the pending bytes; called while the node still holds that entry.
  void AdjustCount(const NodeBase* node, int delta) REQUIRES(m_mutex);
  // A child or file whose state may now matter to a pop again.
  static void TouchChild(DirNode* parent, DirNode* child);
  static void TouchFile(DirNode* parent, FileNode* file);
  static bool PopSkipsQuietly(const DirNode* child);
  void TraverseDir(const DirNode* dir) REQUIRES(m_mutex);
  int VerifyDir(const DirNode* dir, int32_t* server_processing, int32_t* local_processing, int32_t* server_pending,
                int32_t* local_pending, std::string* problem) REQUIRES(m_mutex);

  Mutex m_mutex;
  DirNode* m_root GUARDED_BY(m_mutex);
  std::map<std::string, Event> m_processing_except GUARDED_BY(m_mutex);
  std::map<std::string, Event> m_waiting_except GUARDED_BY(m_mutex);
  // Written under m_mutex; read without it by the pool's counters.
  std::atomic<int32_t> m_server_count{0};
  std::atomic<int32_t> m_local_count{0};
  std::atomic<uint64_t> m_pending_bytes{0};
  uint64_t m_next_seq GUARDED_BY(m_mutex) = 0;  // guarded by m_mutex
  // Nodes in status waiting, and those of them that are local removals.
  int32_t m_waiting GUARDED_BY(m_mutex) = 0;
  int32_t m_waiting_local_removals GUARDED_BY(m_mutex) = 0;
  int64_t m_settle_quiet_ms GUARDED_BY(m_mutex) = 0;
  int64_t m_settle_max_ms GUARDED_BY(m_mutex) = 0;
  int64_t m_last_removal_ms GUARDED_BY(m_mutex) = 0;  // last push of a local removal
  int64_t m_burst_start_ms GUARDED_BY(m_mutex) = 0;   // first push of the burst
  Clock m_clock GUARDED_BY(m_mutex);
  bool m_hold GUARDED_BY(m_mutex) = false;              // during one Pop
  bool m_pop_skipped_held GUARDED_BY(m_mutex) = false;  // during one Pop
  int32_t m_verify_waiting GUARDED_BY(m_mutex) = 0;     // during one Verify
  int32_t m_verify_waiting_local_removals GUARDED_BY(m_mutex) = 0;
  uint64_t m_verify_bytes GUARDED_BY(m_mutex) = 0;
};

}  // namespace tide
