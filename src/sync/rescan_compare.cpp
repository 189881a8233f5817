#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/rescan_compare.h"

#include "core/logger.h"
#include "event/event_manager.h"
#include "event/file_list.h"
#include "sync/work_item.h"

namespace tide {

namespace {

// The next component of `path` from `*pos` on (leading slashes skipped);
// false at the end.
bool NextComponent(std::string_view path, size_t* pos, std::string_view* component) {
  size_t start = *pos;
  while (start < path.size() && path[start] == '/') ++start;
  if (start >= path.size()) return false;
  size_t end = path.find('/', start);
  if (end == std::string_view::npos) end = path.size();
  *component = path.substr(start, end - start);
  *pos = end;
  return true;
}

Event TaggedEvent(int32_t type, uint64_t view_id, std::string path, uint32_t flags) {
  Event event;
  event.m_type = type;
  event.m_path = std::move(path);
  event.m_view_id = view_id;
  event.m_flags = flags | EVENT_FLAG_RESERVED8;
  return event;
}

uint32_t DirBit(const FileListEntry& entry) { return entry.m_kind == FILE_LIST_DIR ? EVENT_FLAG_DIR : 0; }

// An upload of a file carries the size the walk's lstat saw: the progress
// display counts the bytes to send with it. The upload itself measures the
// file again when it opens it.
Event WithDiskSize(Event event, const FileListEntry& disk) {
  if (event.m_type == UPLOAD_LOCAL && disk.m_kind == FILE_LIST_FILE) event.m_size = disk.m_size;
  return event;
}

}  // namespace

int FileListOrder(std::string_view a, std::string_view b) {
  size_t pos_a = 0;
  size_t pos_b = 0;
  for (;;) {
    std::string_view name_a;
    std::string_view name_b;
    bool more_a = NextComponent(a, &pos_a, &name_a);
    bool more_b = NextComponent(b, &pos_b, &name_b);
    if (!more_a && !more_b) return 0;
    if (!more_a) return 1;   // `a` is an ancestor of `b`: its contents come first
    if (!more_b) return -1;
    // string_view compares bytes as unsigned, like the lists' strcmp order.
    int order = name_a.compare(name_b);
    if (order != 0) return order > 0 ? -1 : 1;  // greater names come first
  }
}

int CompareFileLists(const FileList& local, const FileList& indexed, const std::string& prefix, bool merge,
                     uint64_t view_id, const std::atomic<int>* abort_flag,
                     const std::function<void(const Event&)>& sink) {
  auto on_disk = local.begin();
  auto in_index = indexed.begin();
  const auto end = local.end();
  while (on_disk != end || in_index != end) {
    if (IsAborted(abort_flag)) {
      TLOG_NOTE("Traversing '%s' ... abort", prefix.empty() ? "/" : prefix.c_str());
      return -1;
    }
    int order;
    if (on_disk == end) {
      order = 1;
    } else if (in_index == end) {
      order = -1;
    } else {
      order = FileListOrder(on_disk->m_path, in_index->m_path);
    }
    if (order < 0) {
      sink(WithDiskSize(TaggedEvent(UPLOAD_LOCAL, view_id, prefix + on_disk->m_path, DirBit(*on_disk)), *on_disk));
      ++on_disk;
    } else if (order > 0) {
      sink(TaggedEvent(merge ? DOWNLOAD_REMOTE : REMOVE_REMOTE, view_id, prefix + in_index->m_path,
                       DirBit(*in_index)));
      ++in_index;
    } else {
      const FileListEntry& disk = *on_disk;
      const FileListEntry& index = *in_index;
      if (disk.m_kind != index.m_kind) {
        sink(WithDiskSize(
            TaggedEvent(merge ? DOWNLOAD_REMOTE : UPLOAD_LOCAL, view_id, prefix + disk.m_path, EVENT_FLAG_CONFLICT), disk));
      } else if (disk.m_kind == FILE_LIST_FILE && (disk.m_mtime != index.m_mtime || disk.m_size != index.m_size)) {
        sink(WithDiskSize(TaggedEvent(UPLOAD_LOCAL, view_id, prefix + disk.m_path, 0), disk));
      } else if (merge) {
        TLOG_DEBUG("skipping: %s", (prefix + disk.m_path).c_str());
      }
      ++on_disk;
      ++in_index;
    }
  }
  return 0;
}

}  // namespace tide
