#define TIDE_LOG_TAG "event-list2"
#define TIDE_LOG_COMPONENT "event_list_debug"
#include "core/logger.h"

#include "event/event_tree.h"
#include "event/path_components.h"

#include <chrono>
#include <cstring>
#include <vector>

namespace tide {

namespace {

// Parent part and last component; false for a path the tree cannot hold.
bool SplitPath(std::string_view path, std::string_view* parent, std::string_view* name) {
  if (path.empty() || path.back() == '/') return false;
  size_t slash = path.rfind('/');
  *parent = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  *name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name->size() <= EventTree::MAX_NAME_LEN && parent->size() <= EventTree::MAX_PARENT_LEN;
}

template <typename Node>
int SideServer(const Node& entry) {
  return entry.IsServer() ? 1 : 0;
}

int EventTypeOf(const EventNodeEntry& entry) {
  Event event;
  entry.ToEvent(&event);
  return event.m_type;
}

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

EventTree::EventTree() : m_root(new DirNode), m_clock(&SteadyMilliseconds) {
  m_root->m_name = "/";
  m_root->m_status = NODE_PLACEHOLDER;
}

// ---------------------------------------------------------------------------
// Stored entries

namespace {

size_t TextLength(const EventNodeEntry& entry) {
  return entry.m_path.size() + entry.m_hash.size() + entry.m_new_path.size() + 3;
}

}  // namespace

EventTree::FileNode* EventTree::NewFile(const EventNodeEntry& entry) {
  FileNode* file = new FileNode;
  file->SetEntry(entry);
  return file;
}

void EventTree::DeleteFile(FileNode* file) { delete file; }

void EventTree::NodeBase::SetEntry(const EventNodeEntry& entry) {
  char* text = new char[TextLength(entry)];
  // The entry's texts never live in this node's own block, so the old
  // block may go before the copy.
  delete[] m_text;
  char* at = text;
  for (const std::string* part : {&entry.m_path, &entry.m_hash, &entry.m_new_path}) {
    memcpy(at, part->data(), part->size());
    at += part->size();
    *at++ = '\0';
  }
  m_text = text;
  m_path_len = static_cast<uint16_t>(entry.m_path.size());
  m_hash_len = static_cast<uint32_t>(entry.m_hash.size());
  m_new_path_len = static_cast<uint32_t>(entry.m_new_path.size());
  m_op = static_cast<int8_t>(entry.m_op);
  m_flags = entry.m_node_flags;
  m_sync_id = entry.m_sync_id;
  m_view_id = entry.m_view_id;
  m_size = entry.m_size;
  m_node_id = entry.m_node_id;
}

void EventTree::NodeBase::ClearEntry() {
  delete[] m_text;
  m_text = nullptr;
  m_path_len = 0;
  m_hash_len = m_new_path_len = 0;
  m_op = ENTRY_OP_NONE;
  m_flags = 0;
  m_sync_id = m_view_id = m_size = m_node_id = 0;
}

EventNodeEntry EventTree::NodeBase::Entry() const {
  EventNodeEntry entry;
  entry.m_op = m_op;
  entry.m_node_flags = m_flags;
  entry.m_sync_id = m_sync_id;
  entry.m_view_id = m_view_id;
  entry.m_size = m_size;
  entry.m_node_id = m_node_id;
  if (m_text) {
    entry.m_path.assign(m_text, m_path_len);
    entry.m_hash.assign(m_text + m_path_len + 1, m_hash_len);
    entry.m_new_path.assign(m_text + m_path_len + 1 + m_hash_len + 1, m_new_path_len);
  }
  return entry;
}

void EventTree::NodeBase::ToEvent(Event* event) const {
  if (m_text) {
    event->m_path.assign(m_text, m_path_len);
    event->m_hash.assign(m_text + m_path_len + 1, m_hash_len);
    event->m_new_path.assign(m_text + m_path_len + 1 + m_hash_len + 1, m_new_path_len);
  } else {
    event->m_path.clear();
    event->m_hash.clear();
    event->m_new_path.clear();
  }
  EventNodeEntry numbers;
  numbers.m_op = m_op;
  numbers.m_node_flags = m_flags;
  numbers.m_sync_id = m_sync_id;
  numbers.m_view_id = m_view_id;
  numbers.m_size = m_size;
  numbers.m_node_id = m_node_id;
  numbers.ToEventNumbers(event);
}

void EventTree::Account(const NodeBase* node, int delta) {
  if (node->m_status != NODE_WAITING) return;
  m_waiting += delta;
  if (node->IsLocalRemoval()) m_waiting_local_removals += delta;
}

EventTree::~EventTree() { DeleteTree(m_root, false); }

// ---------------------------------------------------------------------------
// Node bookkeeping

void EventTree::TouchChild(DirNode* parent, DirNode* child) {
  if (!parent->m_child_cursor || child->m_seq < parent->m_child_cursor->m_seq) parent->m_child_cursor = child;
}

void EventTree::TouchFile(DirNode* parent, FileNode* file) {
  if (!parent->m_file_cursor || file->m_seq < parent->m_file_cursor->m_seq) parent->m_file_cursor = file;
}

bool EventTree::PopSkipsQuietly(const DirNode* child) {
  if (child->m_status == NODE_PROCESSING || child->m_status == NODE_PROCESSING_DIRTY) return true;
  return child->m_status == NODE_WAITING && (child->m_server_refs != 0 || child->m_local_refs != 0) &&
         child->Op() != ENTRY_OP_REMOVE;
}

EventTree::DirNode* EventTree::AddChild(DirNode* parent, std::string_view name, int32_t status) {
  DirNode* child = new DirNode;
  child->m_name.assign(name);
  child->m_status = status;
  child->m_seq = ++m_next_seq;
  child->m_parent = parent;
  child->m_prev = parent->m_last_child;
  if (parent->m_last_child) {
    parent->m_last_child->m_next = child;
  } else {
    parent->m_first_child = child;
  }
  parent->m_last_child = child;
  parent->m_child_index.emplace(std::string_view(child->m_name), child);
  TouchChild(parent, child);
  return child;
}

EventTree::FileNode* EventTree::AddFile(DirNode* parent, const EventNodeEntry& entry) {
  FileNode* file = NewFile(entry);  // the entry first: indexing needs the name
  file->m_seq = ++m_next_seq;
  file->m_prev = parent->m_last_file;
  if (parent->m_last_file) {
    parent->m_last_file->m_next = file;
  } else {
    parent->m_first_file = file;
  }
  parent->m_last_file = file;
  parent->m_file_index.Insert(file);
  TouchFile(parent, file);
  return file;
}

void EventTree::UnlinkChild(DirNode* parent, DirNode* child) {
  if (parent->m_child_cursor == child) parent->m_child_cursor = child->m_next;
  (child->m_prev ? child->m_prev->m_next : parent->m_first_child) = child->m_next;
  (child->m_next ? child->m_next->m_prev : parent->m_last_child) = child->m_prev;
  parent->m_child_index.erase(std::string_view(child->m_name));
  child->m_parent = child->m_prev = child->m_next = nullptr;
}

void EventTree::RemoveFile(DirNode* parent, FileNode* file) {
  if (parent->m_file_cursor == file) parent->m_file_cursor = file->m_next;
  (file->m_prev ? file->m_prev->m_next : parent->m_first_file) = file->m_next;
  (file->m_next ? file->m_next->m_prev : parent->m_last_file) = file->m_prev;
  parent->m_file_index.Erase(file);
  DeleteFile(file);
}

void EventTree::DeleteTree(DirNode* dir, bool log) {
  // Iterative, children first: paths can be thousands of levels deep.
  std::vector<DirNode*> stack{dir};
  while (!stack.empty()) {
    DirNode* top = stack.back();
    if (top->m_first_child) {
      DirNode* child = top->m_first_child;
      top->m_first_child = child->m_next;
      stack.push_back(child);
      continue;
    }
    stack.pop_back();
    for (FileNode* file = top->m_first_file; file;) {
      FileNode* next = file->m_next;
      DeleteFile(file);
      file = next;
    }
    if (log) TLOG_DEBUG("[Remove Dir] = [%s]", top->m_name.c_str());
    delete top;
  }
}

void EventTree::RemoveEmptyPlaceholders(DirNode* dir) {
  while (dir->m_parent && dir->m_status == NODE_PLACEHOLDER && dir->IsEmpty()) {
    DirNode* parent = dir->m_parent;
    UnlinkChild(parent, dir);
    delete dir;
    dir = parent;
  }
}

void EventTree::AdjustRefs(DirNode* dir, bool server, int delta) {
  for (DirNode* node = dir; node && node->m_parent; node = node->m_parent) {
    (server ? node->m_server_refs : node->m_local_refs) += delta;
    // A released count may make the directory ready to hand out.
    if (delta < 0) TouchChild(node->m_parent, node);
  }
}

void EventTree::AdjustCount(const NodeBase* node, int delta) {
  std::atomic<int32_t>& count = node->IsServer() ? m_server_count : m_local_count;
  count.store(count.load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
  uint64_t bytes = m_pending_bytes.load(std::memory_order_relaxed);
  uint64_t size = node->TransferBytes();
  m_pending_bytes.store(delta > 0 ? bytes + size : bytes - size, std::memory_order_relaxed);
}

EventTree::DirNode* EventTree::WalkParent(const std::string& path, bool create, std::string_view* name) {
  std::string_view parent;
  if (!SplitPath(path, &parent, name)) return nullptr;
  DirNode* dir = m_root;
  std::string_view component;
  while (NextComponent(&parent, &component)) {
    auto it = dir->m_child_index.find(component);
    if (it != dir->m_child_index.end()) {
      dir = it->second;
    } else if (create) {
      dir = AddChild(dir, component, NODE_PLACEHOLDER);
    } else {
      return nullptr;
    }
  }
  return dir;
}

EventTree::NodeBase* EventTree::FindNode(const std::string& path, const int32_t* prefer, int prefer_count,
                                         DirNode** parent, bool* is_dir) {
  std::string_view name;
  DirNode* dir = WalkParent(path, false, &name);
  if (!dir) return nullptr;
  auto child_it = dir->m_child_index.find(name);
  NodeBase* child = child_it == dir->m_child_index.end() ? nullptr : child_it->second;
  NodeBase* file = dir->m_file_index.Find(name);
  *parent = dir;
  if (child && file) {
    // A path that is both a directory and a file (one replaced the other
    // while events were pending): take the node in the state asked for.
    auto rank = [&](const NodeBase* node) {
      for (int i = 0; i < prefer_count; ++i) {
        if (node->m_status == prefer[i]) return i;
      }
      return prefer_count;
    };
    if (rank(file) < rank(child)) child = nullptr;
  }
  *is_dir = child != nullptr;
  return child ? child : file;
}

// ---------------------------------------------------------------------------
// Insert and merge

EventNodeEntry EventTree::Merge(const EventNodeEntry& old_entry, EventNodeEntry&& new_entry) {
  if (old_entry.m_op == ENTRY_OP_NONE) return std::move(new_entry);
  if (new_entry.m_op == ENTRY_OP_NONE) return old_entry;
  bool old_server = old_entry.IsServer();
  bool new_server = new_entry.IsServer();
  bool keep_old_server = old_server && new_server && new_entry.m_sync_id <= old_entry.m_sync_id &&
                         old_entry.m_sync_id != SYNC_ID_UNBOUNDED;
  // Conflict rule between a server entry and a local one.
  auto resolve = [](EventNodeEntry server, EventNodeEntry local) {
    if (local.m_op == ENTRY_OP_REMOVE) return server;
    if (server.m_op != ENTRY_OP_REMOVE) {
      server.m_node_flags |= NODE_FLAG_CONFLICT;
      return server;
    }
    return local;
  };
  if (!new_entry.IsDir()) {
    if (!old_server && new_server) return resolve(std::move(new_entry), old_entry);
    if (!old_server && !new_server) return std::move(new_entry);
    if (old_server && !new_server) return resolve(old_entry, std::move(new_entry));
    return keep_old_server ? old_entry : std::move(new_entry);
  }
  EventNodeEntry result = keep_old_server ? old_entry : std::move(new_entry);
  if (old_entry.m_op == ENTRY_OP_REMOVE && result.m_op != ENTRY_OP_REMOVE) {
    // The directory was deleted and made again: what was below it before
    // the deletion has to be looked at afresh.
    if (!old_server) {
      TLOG_INFO("Mark node to be LocalSubDirRescan(pre-event dir delete) [%s].", result.m_path.c_str());
      result.m_node_flags |= NODE_FLAG_LOCAL_SUBDIR_RESCAN;
    } else {
      TLOG_INFO("Mark node to be ServerSubDirRescan(pre-event dir delete) [%s].", result.m_path.c_str());
      result.m_node_flags |= NODE_FLAG_SERVER_SUBDIR_RESCAN;
    }
  }
  return result;
}

void EventTree::MergeIntoNode(DirNode* parent, NodeBase* node, EventNodeEntry&& entry) {
  int32_t old_status = node->m_status;
  Account(node, -1);
  if (old_status == NODE_PLACEHOLDER) {
    node->SetEntry(entry);
  } else {
    bool old_server = node->IsServer();
    // The merged entry is a new change: the worker's hold on the old one no
    // longer counts, and the hand-out of the merged entry takes it again.
    if (old_status == NODE_PROCESSING) AdjustRefs(parent, old_server, -1);
    AdjustCount(node, -1);
    node->SetEntry(Merge(node->Entry(), std::move(entry)));
  }
  bool processing = old_status == NODE_PROCESSING || old_status == NODE_PROCESSING_DIRTY;
  node->m_status = processing ? NODE_PROCESSING_DIRTY : NODE_WAITING;
  Account(node, +1);
  AdjustCount(node, +1);
}

bool EventTree::CoveredByPendingRemoval(const EventNodeEntry& entry) {
  std::string_view parent, name;
  if (!SplitPath(entry.m_path, &parent, &name)) return false;
  bool server = entry.IsServer();
  // The same test as the pruning below a removal: had this removal been
  // pending when the ancestor's arrived, it would have been pruned.
  auto covers = [&](const DirNode* dir) {
    return dir->m_status == NODE_WAITING && dir->Op() == ENTRY_OP_REMOVE && dir->IsServer() == server &&
           (!server || entry.m_sync_id < dir->SyncId());
  };
  bool covered = false;
  DirNode* dir = m_root;
  std::string_view component;
  while (NextComponent(&parent, &component)) {
    auto it = dir->m_child_index.find(component);
    if (it == dir->m_child_index.end()) return covered;
    dir = it->second;
    covered = covered || covers(dir);
  }
  if (!covered) return false;
  // Something pending at the path itself was made after the ancestor's
  // removal: this removal supersedes it, which is a merge, not a drop.
  return dir->m_child_index.find(name) == dir->m_child_index.end() && !dir->m_file_index.Find(name);
}

int EventTree::InsertLocked(EventNodeEntry&& entry) {
  if (entry.m_op == ENTRY_OP_REMOVE && CoveredByPendingRemoval(entry)) {
    TLOG_DEBUG("[Merged into Dir Removal] = [%s]", entry.m_path.c_str());
    return 0;
  }
  std::string_view name;
  DirNode* dir = WalkParent(entry.m_path, true, &name);
  if (!dir) {
    TLOG_ERROR("invalid event path '%s'", entry.m_path.c_str());
    return -1;
  }
  if (!entry.IsDir()) {
    FileNode* file = dir->m_file_index.Find(name);
    if (!file) {
      file = AddFile(dir, entry);
      file->m_status = NODE_WAITING;
      Account(file, +1);
      AdjustCount(file, +1);
      return 0;
    }
    MergeIntoNode(dir, file, std::move(entry));
    TouchFile(dir, file);
    return 0;
  }
  DirNode* child;
  auto it = dir->m_child_index.find(name);
  if (it == dir->m_child_index.end()) {
    child = AddChild(dir, name, NODE_WAITING);
    child->SetEntry(entry);
    Account(child, +1);
    AdjustCount(child, +1);
  } else {
    child = it->second;
    MergeIntoNode(dir, child, std::move(entry));
    TouchChild(dir, child);
  }
  if (child->Op() == ENTRY_OP_REMOVE) {
    PruneBelow(child, child->IsServer(), child->SyncId());
  }
  return 0;
}

int EventTree::PruneBelow(DirNode* dir, bool server, uint64_t limit) {
  // Entries of the removal's side that the removal supersedes: every local
  // one for a local removal, server ones older than it for a server one.
  auto covered = [&](const NodeBase* node) {
    return node->IsServer() == server && (!server || node->SyncId() < limit);
  };
  int kept = 0;
  for (DirNode* child = dir->m_first_child; child;) {
    DirNode* next = child->m_next;
    int child_kept = PruneBelow(child, server, limit);
    bool waiting_covered = child->m_status == NODE_WAITING && covered(child);
    if (child_kept == 0 && (child->m_status == NODE_PLACEHOLDER || waiting_covered)) {
      TLOG_DEBUG("[Remove Dir Node] = [%s]", child->m_name.c_str());
      if (child->m_status == NODE_WAITING) AdjustCount(child, -1);
      Account(child, -1);
      UnlinkChild(dir, child);
      DeleteTree(child, false);
    } else {
      TLOG_DEBUG("[Cannot Remove Dir Node] = [%s],refTemp = [%d],status = [%d], event_mode_equal[%d]",
                 child->m_name.c_str(), child_kept, child->m_status, child->IsServer() == server ? 1 : 0);
      if (waiting_covered) {
        AdjustCount(child, -1);
        Account(child, -1);
        child->m_status = NODE_PLACEHOLDER;
        child->ClearEntry();
        TouchChild(dir, child);
      }
      kept += child_kept + 1;
    }
    child = next;
  }
  for (FileNode* file = dir->m_first_file; file;) {
    FileNode* next = file->m_next;
    bool processing = file->m_status == NODE_PROCESSING || file->m_status == NODE_PROCESSING_DIRTY;
    if (processing || !covered(file)) {
      TLOG_DEBUG("[Cannot Remove File Node] = [%.*s]", static_cast<int>(file->Name().size()), file->Name().data());
      ++kept;
    } else {
      TLOG_DEBUG("[Remove File Node] = [%.*s]", static_cast<int>(file->Name().size()), file->Name().data());
      if (file->m_status == NODE_WAITING) AdjustCount(file, -1);
      Account(file, -1);
      RemoveFile(dir, file);
    }
    file = next;
  }
  return kept;
}

void EventTree::NoteRemovalPush(const EventNodeEntry& entry) {
  if (m_settle_quiet_ms <= 0 || entry.m_op != ENTRY_OP_REMOVE || entry.IsServer()) return;
  int64_t now = m_clock();
  // A removal after a quiet spell starts a new burst.
  if (m_waiting_local_removals == 0 || now - m_last_removal_ms >= m_settle_quiet_ms) m_burst_start_ms = now;
  m_last_removal_ms = now;
}

bool EventTree::HoldingRemovals() {
  if (m_settle_quiet_ms <= 0 || m_waiting_local_removals == 0) return false;
  int64_t now = m_clock();
  return now - m_last_removal_ms < m_settle_quiet_ms && now - m_burst_start_ms < m_settle_max_ms;
}

void EventTree::SetRemovalSettle(int64_t quiet_ms, int64_t max_ms) {
  MutexLock lock(&m_mutex);
  m_settle_quiet_ms = quiet_ms;
  m_settle_max_ms = max_ms;
}

void EventTree::SetClock(Clock clock) {
  MutexLock lock(&m_mutex);
  m_clock = clock;
}

int EventTree::Push(const Event& event) {
  TLOG_INFO("[Push Event] = [%s]", event.ToString().c_str());
  if (event.m_flags & EVENT_FLAG_EXCEPT) return PushExcepEvent(event);
  if (!event.IsNormalEvent()) {
    TLOG_ERROR("event type %d cannot be queued in the event tree", event.m_type);
    return -1;
  }
  EventNodeEntry entry = EventNodeEntry::FromEvent(event);
  MutexLock lock(&m_mutex);
  NoteRemovalPush(entry);
  return InsertLocked(std::move(entry));
}

int EventTree::PushExcepEvent(const Event& event) {
  TLOG_INFO("PushExcepEvent '%s'", event.m_path.c_str());
  MutexLock lock(&m_mutex);
  m_waiting_except[event.m_path] = event;
  return 0;
}

// ---------------------------------------------------------------------------
// Hand-out

bool EventTree::HasPendingNonRemovalBelow(const DirNode* dir) const {
  for (const FileNode* file = dir->m_first_file; file; file = file->m_next) {
    if (file->m_status != NODE_PLACEHOLDER && file->Op() != ENTRY_OP_REMOVE) return true;
  }
  for (const DirNode* child = dir->m_first_child; child; child = child->m_next) {
    if (child->m_status != NODE_PLACEHOLDER && child->Op() != ENTRY_OP_REMOVE) return true;
    if (HasPendingNonRemovalBelow(child)) return true;
  }
  return false;
}

bool EventTree::HasEntryBelow(const DirNode* dir) const {
  if (dir->m_server_refs != 0 || dir->m_local_refs != 0) return true;
  for (const FileNode* file = dir->m_first_file; file; file = file->m_next) {
    if (file->m_status != NODE_PLACEHOLDER) return true;
  }
  for (const DirNode* child = dir->m_first_child; child; child = child->m_next) {
    if (child->m_status != NODE_PLACEHOLDER || HasEntryBelow(child)) return true;
  }
  return false;
}

bool EventTree::AllProcessingBelowAreRemovals(const DirNode* dir) const {
  auto processing = [](const NodeBase* node) {
    return node->m_status == NODE_PROCESSING || node->m_status == NODE_PROCESSING_DIRTY;
  };
  for (const FileNode* file = dir->m_first_file; file; file = file->m_next) {
    if (processing(file) && file->Op() != ENTRY_OP_REMOVE) {
      TLOG_INFO("file '%s' is processing with event type [%d]", file->Path(), EventTypeOf(file->Entry()));
      return false;
    }
  }
  for (const DirNode* child = dir->m_first_child; child; child = child->m_next) {
    if (processing(child) && child->Op() != ENTRY_OP_REMOVE) {
      TLOG_INFO("Dir '%s' is processing with event type [%d]", child->Path(), EventTypeOf(child->Entry()));
      return false;
    }
    if (!AllProcessingBelowAreRemovals(child)) return false;
  }
  return true;
}

int EventTree::PopFrom(DirNode* dir, Event* event) {
  FileNode* file = dir->m_file_cursor;
  while (file && file->m_status != NODE_WAITING) file = file->m_next;
  dir->m_file_cursor = file;
  // Held removals stay waiting where they are; the cursor stops at the
  // first of them, so they are found again once the hold ends.
  while (file && (file->m_status != NODE_WAITING || Held(file))) {
    if (file->m_status == NODE_WAITING) m_pop_skipped_held = true;
    file = file->m_next;
  }
  if (file) {
    Account(file, -1);
    file->m_status = NODE_PROCESSING;
    if (dir->m_file_cursor == file) dir->m_file_cursor = file->m_next;
    AdjustRefs(dir, file->IsServer(), +1);
    file->ToEvent(event);
    TLOG_INFO("[Pop File Event] = [%.*s], server = [%d], type = [%d], path = [%s]",
              static_cast<int>(file->Name().size()), file->Name().data(), SideServer(*file), event->m_type,
              file->Path());
    return 0;
  }

  DirNode* child = dir->m_child_cursor;
  while (child && PopSkipsQuietly(child)) child = child->m_next;
  dir->m_child_cursor = child;
  for (; child; child = child->m_next) {
    if (child->m_status == NODE_PROCESSING || child->m_status == NODE_PROCESSING_DIRTY) continue;
    // The first placeholder decides the pop: its subtree is served before
    // any later sibling. When all it holds back is held removals, the
    // later siblings are served meanwhile.
    if (child->m_status == NODE_PLACEHOLDER) {
      bool skipped_before = m_pop_skipped_held;
      m_pop_skipped_held = false;
      int found = PopFrom(child, event);
      bool skipped_inside = m_pop_skipped_held;
      m_pop_skipped_held = skipped_before || skipped_inside;
      if (found == 0) return 0;
      if (skipped_inside) continue;
      return -1;
    }
    if (Held(child)) {
      m_pop_skipped_held = true;
      continue;
    }
    bool server = child->IsServer();
    bool removal = child->Op() == ENTRY_OP_REMOVE;
    if (removal && (child->m_flags & NODE_FLAG_AFTER_SUBTREE) && HasEntryBelow(child)) {
      // Its subtree first, as below a placeholder; the removal itself
      // waits until nothing below it is pending or carried out.
      bool skipped_before = m_pop_skipped_held;
      int found = PopFrom(child, event);
      m_pop_skipped_held = skipped_before || m_pop_skipped_held;
      if (found == 0) return 0;
      continue;
    }
    if (child->m_server_refs == 0 && child->m_local_refs == 0) {
      if (removal && !child->IsEmpty() && HasPendingNonRemovalBelow(child)) {
        // The removal goes first; what still waits below it must be found
        // again by a rescan afterwards.
        if (!server) {
          TLOG_INFO("Mark node to be SetLocalSubDirRescanWithStat(sub-node not empty) [%s].", child->Path());
          child->m_flags |= NODE_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT;
        } else {
          TLOG_INFO("Mark node to be SetServerSubDirRescanWithStat(sub-node not empty) [%s].", child->Path());
          child->m_flags |= NODE_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT;
        }
      }
      Account(child, -1);
      child->m_status = NODE_PROCESSING;
      AdjustRefs(dir, server, +1);
      child->ToEvent(event);
      TLOG_INFO("[Pop Dir Event] = [%s], server = [%d], type = [%d], path = [%s]", child->m_name.c_str(),
                SideServer(*child), event->m_type, child->Path());
      return 0;
    }
    if (!removal) continue;
    if (AllProcessingBelowAreRemovals(child)) continue;
    TLOG_INFO("AllSubProcessingNode are not Delete Event '%s'.", child->Path());
    if (server && child->m_local_refs != 0) {
      TLOG_INFO("Mark node to be SetServerSubDirRescanWithStat(sub-node processing) [%s].", child->Path());
      child->m_flags |= NODE_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT;
    } else if (!server && child->m_server_refs != 0) {
      TLOG_INFO("Mark node to be SetLocalSubDirRescanWithStat(sub-node processing) [%s].", child->Path());
      child->m_flags |= NODE_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT;
    }
  }
  return -1;
}

int EventTree::Pop(Event* event) {
  MutexLock lock(&m_mutex);
  Event out;
  m_hold = HoldingRemovals();
  m_pop_skipped_held = false;
  // Everything waiting is held back: nothing to walk for.
  bool all_held = m_hold && m_waiting == m_waiting_local_removals;
  int found = all_held ? -1 : PopFrom(m_root, &out);
  m_hold = false;
  if (found == 0) {
    *event = std::move(out);
    return 0;
  }
  TLOG_DEBUG("Failed to pop event from event tree, local event = %d, server event = %d.", LocalEventCount(),
             ServerEventCount());
  // The first waiting except event whose path is not being worked on: a
  // path is never in two workers' hands at once.
  auto it = m_waiting_except.begin();
  while (it != m_waiting_except.end() && m_processing_except.count(it->first)) ++it;
  if (it == m_waiting_except.end()) return -1;
  *event = it->second;
  m_processing_except[it->first] = it->second;
  m_waiting_except.erase(it);
  return 0;
}

int EventTree::PopEvent(const std::string& path, Event* event) {
  MutexLock lock(&m_mutex);
  TLOG_DEBUG("Event tree current status local_evnet: %d, server_event:%d.", LocalEventCount(), ServerEventCount());
  static constexpr int32_t PREFER[] = {NODE_PROCESSING_DIRTY, NODE_PROCESSING, NODE_WAITING};
  DirNode* parent = nullptr;
  bool is_dir = false;
  NodeBase* node = FindNode(path, PREFER, 3, &parent, &is_dir);
  int result = -1;
  // A placeholder has no entry to hand out.
  if (node && node->m_status != NODE_PLACEHOLDER) {
    Event out;
    node->ToEvent(&out);
    *event = std::move(out);
    // A node still processing keeps the hold it took when handed out.
    if (node->m_status != NODE_PROCESSING) AdjustRefs(parent, node->IsServer(), +1);
    Account(node, -1);
    node->m_status = NODE_PROCESSING;
    result = 0;
  } else {
    TLOG_DEBUG("Failed to pop event from event tree, local event = %d, server event = %d.", LocalEventCount(),
               ServerEventCount());
    auto it = m_waiting_except.find(path);
    if (it != m_waiting_except.end()) {
      *event = it->second;
      m_processing_except[it->first] = it->second;
      m_waiting_except.erase(it);
      result = 0;
    }
  }
  TLOG_INFO("[Pop Event] = [%s]", event->ToString().c_str());
  return result;
}

// ---------------------------------------------------------------------------
// Done and reset

int EventTree::UpdateFileDoneEvent(const std::string& path, const EventNodeEntry& entry) {
  std::string_view name;
  DirNode* dir = WalkParent(path, false, &name);
  if (!dir) {
    TLOG_ERROR("Failed to UpdateFileDoneEvent(parent not found) [%s]", path.c_str());
    return -1;
  }
  FileNode* file = dir->m_file_index.Find(name);
  if (!file) {
    TLOG_DEBUG("Failed to UpdateFileDoneEvent(FileNode not found) [%s].", path.c_str());
    return -1;
  }
  if (file->IsServer() != entry.IsServer()) {
    TLOG_DEBUG("Failed to UpdateFileDoneEvent(attr mode is diff) [%s].", path.c_str());
    return -1;
  }
  if (file->m_status != NODE_PROCESSING) {
    TLOG_DEBUG("Failed to UpdateFileDoneEvent(NOT PROCESSING) [%s] in status[%d].", path.c_str(),
               file->m_status);
    return -1;
  }
  bool server = file->IsServer();
  AdjustRefs(dir, server, -1);
  AdjustCount(file, -1);
  RemoveFile(dir, file);
  RemoveEmptyPlaceholders(dir);
  return 0;
}

int EventTree::UpdateDirDoneEvent(const std::string& path, const EventNodeEntry& entry) {
  std::string_view name;
  DirNode* dir = WalkParent(path, false, &name);
  if (!dir) {
    TLOG_DEBUG("Failed to UpdateDirDoneEvent(parent not found) [%s].", path.c_str());
    return -1;
  }
  auto it = dir->m_child_index.find(name);
  if (it == dir->m_child_index.end()) {
    TLOG_DEBUG("Failed to UpdateDirDoneEvent(DirNode not found) [%s].", path.c_str());
    return -1;
  }
  DirNode* child = it->second;
  if (child->IsServer() != entry.IsServer()) {
    TLOG_DEBUG("Failed to UpdateDirDoneEvent(attr mode is diff) [%s].", path.c_str());
    return -1;
  }
  if (child->m_status != NODE_PROCESSING) {
    TLOG_DEBUG("Failed to UpdateDirDoneEvent(NOT PROCESSING) [%s] in status[%d].", path.c_str(),
               child->m_status);
    return -1;
  }
  bool server = child->IsServer();
  AdjustRefs(dir, server, -1);
  AdjustCount(child, -1);
  if (child->IsEmpty()) {
    UnlinkChild(dir, child);
    delete child;
    RemoveEmptyPlaceholders(dir);
  } else {
    child->m_status = NODE_PLACEHOLDER;
    child->ClearEntry();
    TouchChild(dir, child);
  }
  return 0;
}

int EventTree::DoneEvent(const Event& event) {
  if (event.m_flags & EVENT_FLAG_EXCEPT) {
    MutexLock lock(&m_mutex);
    m_processing_except.erase(event.m_path);
    return 0;
  }
  // Only the path, the kind and the side matter here: no copy of the
  // event's texts.
  EventNodeEntry entry;
  if (IsServerEventType(event.m_type)) entry.m_node_flags |= NODE_FLAG_SERVER;
  if (event.m_flags & EVENT_FLAG_DIR) entry.m_node_flags |= NODE_FLAG_DIR;
  int result;
  {
    MutexLock lock(&m_mutex);
    result = entry.IsDir() ? UpdateDirDoneEvent(event.m_path, entry) : UpdateFileDoneEvent(event.m_path, entry);
  }
  TLOG_DEBUG("DoneEvent ret = [%d], %s.", result, event.ToString().c_str());
  TLOG_DEBUG("DoneEvent local event = [%d], server event = [%d]", LocalEventCount(), ServerEventCount());
  return result;
}

int EventTree::ResetEventStatus(const std::string& path) {
  MutexLock lock(&m_mutex);
  static constexpr int32_t PREFER[] = {NODE_PROCESSING, NODE_PROCESSING_DIRTY, NODE_WAITING};
  DirNode* parent = nullptr;
  bool is_dir = false;
  NodeBase* node = FindNode(path, PREFER, 3, &parent, &is_dir);
  // A placeholder has no entry that could wait again.
  if (!node || node->m_status == NODE_PLACEHOLDER) return -1;
  if (node->m_status == NODE_PROCESSING) AdjustRefs(parent, node->IsServer(), -1);
  Account(node, -1);
  node->m_status = NODE_WAITING;
  Account(node, +1);
  if (is_dir) {
    TouchChild(parent, static_cast<DirNode*>(node));
  } else {
    TouchFile(parent, static_cast<FileNode*>(node));
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Except queues, state and diagnostics

bool EventTree::IsEmpty() {
  MutexLock lock(&m_mutex);
  return m_root->IsEmpty() && m_processing_except.empty() && m_waiting_except.empty();
}

int EventTree::ExceptCount() {
  MutexLock lock(&m_mutex);
  return static_cast<int>(m_processing_except.size() + m_waiting_except.size());
}

int EventTree::RemoveExcept(const std::string& path) {
  MutexLock lock(&m_mutex);
  return m_processing_except.erase(path) ? 0 : -1;
}

int EventTree::RemoveExceptEverywhere(const std::string& path) {
  MutexLock lock(&m_mutex);
  size_t erased = m_processing_except.erase(path) + m_waiting_except.erase(path);
  return erased ? 0 : -1;
}

int EventTree::RedoExcept(const std::string& path) {
  MutexLock lock(&m_mutex);
  auto it = m_processing_except.find(path);
  if (it == m_processing_except.end()) return -1;
  // A newer event for the path that arrived meanwhile stays the one queued.
  m_waiting_except.emplace(it->first, std::move(it->second));
  m_processing_except.erase(it);
  return 0;
}

int EventTree::FindWaitingExcept(const std::string& path, Event* event) {
  MutexLock lock(&m_mutex);
  auto it = m_waiting_except.find(path);
  if (it == m_waiting_except.end()) return 0;
  if (event) *event = it->second;
  return 1;
}

void EventTree::Clear() {
  TLOG_INFO("========Clear=========");
  MutexLock lock(&m_mutex);
  DeleteTree(m_root, true);
  m_server_count.store(0, std::memory_order_relaxed);
  m_local_count.store(0, std::memory_order_relaxed);
  m_pending_bytes.store(0, std::memory_order_relaxed);
  m_waiting = m_waiting_local_removals = 0;
  m_root = new DirNode;
  m_root->m_name = "/";
  m_root->m_status = NODE_PLACEHOLDER;
  m_processing_except.clear();
  m_waiting_except.clear();
}

void EventTree::TraverseDir(const DirNode* dir) {
  EventNodeEntry e = dir->Entry();
  TLOG_INFO(
      "[Dir] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%s],status =[%d],type[%d],refSerCount=[%d],"
      "refLocCount=[%d],path=[%s]",
      SideServer(e), (e.m_node_flags & NODE_FLAG_CONFLICT) ? 1 : 0, (e.m_node_flags & NODE_FLAG_SUBDIR_RESCAN) ? 1 : 0,
      dir->m_name.c_str(), dir->m_status, EventTypeOf(e), dir->m_server_refs, dir->m_local_refs, e.m_path.c_str());
  for (const FileNode* file = dir->m_first_file; file; file = file->m_next) {
    EventNodeEntry f = file->Entry();
    std::string name(file->Name());
    TLOG_INFO("[File] server=[%d],Conflict=[%d],SubDirRescan=[%d],name=[%s],status=[%d],type=[%d],path=[%s]",
              SideServer(f), (f.m_node_flags & NODE_FLAG_CONFLICT) ? 1 : 0,
              (f.m_node_flags & NODE_FLAG_SUBDIR_RESCAN) ? 1 : 0, name.c_str(), file->m_status, EventTypeOf(f),
              f.m_path.c_str());
  }
  for (const DirNode* child = dir->m_first_child; child; child = child->m_next) TraverseDir(child);
}

void EventTree::TraverseTree() {
  MutexLock lock(&m_mutex);
  TLOG_INFO("========TraverseTree , server_event_count = [%d], local_event_count=[%d] =========", ServerEventCount(),
            LocalEventCount());
  TraverseDir(m_root);
  TLOG_INFO("========TraverseProcessingExceptQueue=========");
  for (const auto& [path, event] : m_processing_except) TLOG_INFO("[Except Event] %s.", event.ToString().c_str());
  TLOG_INFO("========TraverseWaitingExceptQueue=========");
  for (const auto& [path, event] : m_waiting_except) TLOG_INFO("[Except Event] %s.", event.ToString().c_str());
}

int EventTree::GetNodeInfo(const std::string& path, bool is_dir, EventNodeInfo* info) {
  MutexLock lock(&m_mutex);
  std::string_view name;
  DirNode* dir = WalkParent(path, false, &name);
  if (!dir) return 0;
  if (is_dir) {
    auto it = dir->m_child_index.find(name);
    if (it == dir->m_child_index.end()) return 0;
    if (info) *info = EventNodeInfo{it->second->m_status, it->second->Entry(), it->second->m_server_refs,
                                    it->second->m_local_refs};
    return 1;
  }
  FileNode* file = dir->m_file_index.Find(name);
  if (!file) return 0;
  if (info) *info = EventNodeInfo{file->m_status, file->Entry(), 0, 0};
  return 1;
}

int EventTree::VerifyDir(const DirNode* dir, int32_t* server_processing, int32_t* local_processing,
                         int32_t* server_pending, int32_t* local_pending, std::string* problem) {
  auto fail = [&](const std::string& what) {
    if (problem) *problem = what;
    return -1;
  };
  auto pending = [](int32_t status) { return status == NODE_WAITING || status == NODE_PROCESSING || status == NODE_PROCESSING_DIRTY; };
  // The counters are reached through pointers: the lock analysis does
  // not see into a lambda, but VerifyDir itself runs under m_mutex.
  int32_t* waiting = &m_verify_waiting;
  int32_t* waiting_local_removals = &m_verify_waiting_local_removals;
  uint64_t* bytes = &m_verify_bytes;
  auto count_waiting = [&](const NodeBase* node) {
    if (node->m_status != NODE_WAITING) return;
    ++*waiting;
    if (node->IsLocalRemoval()) ++*waiting_local_removals;
  };
  *server_processing = *local_processing = 0;
  size_t files = 0;
  bool before_cursor = dir->m_file_cursor != nullptr;
  bool cursor_seen = dir->m_file_cursor == nullptr;
  const FileNode* previous_file = nullptr;
  for (const FileNode* file = dir->m_first_file; file; file = file->m_next) {
    ++files;
    std::string name(file->Name());
    if (file->m_prev != previous_file) return fail("broken file links in " + dir->m_name);
    previous_file = file;
    if (file == dir->m_file_cursor) before_cursor = false, cursor_seen = true;
    if (before_cursor && file->m_status == NODE_WAITING) return fail("waiting file before cursor: " + name);
    if (dir->m_file_index.Find(file->Name()) != file) return fail("file index misses " + name);
    if (file->m_status == NODE_PLACEHOLDER) return fail("file placeholder " + name);
    if (file->Op() == ENTRY_OP_NONE) return fail("file without entry " + name);
    if (file->m_status == NODE_PROCESSING) ++(file->IsServer() ? *server_processing : *local_processing);
    if (pending(file->m_status)) {
      ++(file->IsServer() ? *server_pending : *local_pending);
      *bytes += file->TransferBytes();
    }
    count_waiting(file);
  }
  if (previous_file != dir->m_last_file) return fail("broken last file in " + dir->m_name);
  if (!cursor_seen) return fail("file cursor outside its list in " + dir->m_name);
  if (files != dir->m_file_index.size()) return fail("file index size in " + dir->m_name);

  size_t children = 0;
  before_cursor = dir->m_child_cursor != nullptr;
  cursor_seen = dir->m_child_cursor == nullptr;
  const DirNode* previous_child = nullptr;
  for (const DirNode* child = dir->m_first_child; child; child = child->m_next) {
    ++children;
    if (child->m_prev != previous_child || child->m_parent != dir) return fail("broken child links " + child->m_name);
    previous_child = child;
    if (child == dir->m_child_cursor) before_cursor = false, cursor_seen = true;
    if (before_cursor && !PopSkipsQuietly(child)) return fail("child before cursor is not skippable: " + child->m_name);
    auto it = dir->m_child_index.find(child->m_name);
    if (it == dir->m_child_index.end() || it->second != child) return fail("child index misses " + child->m_name);
    if (child->m_status == NODE_PLACEHOLDER && child->IsEmpty()) return fail("empty placeholder " + child->m_name);
    if (child->m_status != NODE_PLACEHOLDER && child->Op() == ENTRY_OP_NONE)
      return fail("directory without entry " + child->m_name);
    count_waiting(child);
    int32_t below_server = 0, below_local = 0;
    if (VerifyDir(child, &below_server, &below_local, server_pending, local_pending, problem) < 0) return -1;
    if (below_server != child->m_server_refs || below_local != child->m_local_refs) {
      return fail("reference counts of " + child->m_name + ": " + std::to_string(child->m_server_refs) + "/" +
                  std::to_string(child->m_local_refs) + " but recount " + std::to_string(below_server) + "/" +
                  std::to_string(below_local));
    }
    *server_processing += below_server;
    *local_processing += below_local;
    if (child->m_status == NODE_PROCESSING) ++(child->IsServer() ? *server_processing : *local_processing);
    if (pending(child->m_status)) {
      ++(child->IsServer() ? *server_pending : *local_pending);
      *bytes += child->TransferBytes();
    }
  }
  if (previous_child != dir->m_last_child) return fail("broken last child in " + dir->m_name);
  if (!cursor_seen) return fail("child cursor outside its list in " + dir->m_name);
  if (children != dir->m_child_index.size()) return fail("child index size in " + dir->m_name);
  return 0;
}

int EventTree::Verify(std::string* problem) {
  MutexLock lock(&m_mutex);
  int32_t server_processing = 0, local_processing = 0, server_pending = 0, local_pending = 0;
  m_verify_waiting = m_verify_waiting_local_removals = 0;
  m_verify_bytes = 0;
  if (VerifyDir(m_root, &server_processing, &local_processing, &server_pending, &local_pending, problem) < 0)
    return -1;
  if (m_root->m_server_refs != 0 || m_root->m_local_refs != 0) {
    if (problem) *problem = "root holds reference counts";
    return -1;
  }
  if (server_pending != ServerEventCount() || local_pending != LocalEventCount()) {
    if (problem) {
      *problem = "tree counters " + std::to_string(ServerEventCount()) + "/" + std::to_string(LocalEventCount()) +
                 " but recount " + std::to_string(server_pending) + "/" + std::to_string(local_pending);
    }
    return -1;
  }
  if (m_verify_waiting != m_waiting || m_verify_waiting_local_removals != m_waiting_local_removals) {
    if (problem) {
      *problem = "waiting counters " + std::to_string(m_waiting) + "/" + std::to_string(m_waiting_local_removals) +
                 " but recount " + std::to_string(m_verify_waiting) + "/" +
                 std::to_string(m_verify_waiting_local_removals);
    }
    return -1;
  }
  if (m_verify_bytes != PendingBytes()) {
    if (problem) {
      *problem = "pending bytes " + std::to_string(PendingBytes()) + " but recount " + std::to_string(m_verify_bytes);
    }
    return -1;
  }
  return 0;
}

}  // namespace tide
