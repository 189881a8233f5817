// One view on a scratch directory with a fresh local database and an empty
// event manager, for the tests of the removal, expansion and rescan
// handlers: rows and files are made in a line each, handlers are run on a
// WorkItem made from an event, and what they pushed is drained back out.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/task.h"
#include "support/temp_dir.h"
#include "sync/work_item.h"
#include "test_engine.h"

namespace tide::test {

constexpr uint64_t VIEW = 7;

class DrainWorker : public Task {
 public:
  DrainWorker() : Task(0, 0) {}
};

class ViewFixture : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, Db().Initialize(m_dir / "db.sqlite"));
    ASSERT_EQ(0, Db().InsertViewRoot(VIEW, VIEW));
    ASSERT_EQ(0, mkdir(Root().c_str(), 0777));
    ASSERT_EQ(0, mkdir((m_dir / "@tmp").c_str(), 01777));
    ASSERT_EQ(0, mkdir(TmpDir().c_str(), 0700));
  }
  void TearDown() override { Db().Close(); }

  NativeClientDb& Db() { return m_engine.m_db; }
  EngineContext& Engine() { return m_engine.Context(); }
  std::string Root() const { return m_dir / "view"; }
  // The daemon's work folder, where a volume keeps it (m_dir stands for
  // the volume's root).
  std::string TmpDir() const { return m_dir / "@tmp/tide-clientd.tmp.dir"; }
  std::string Local(const std::string& path) const { return path == "/" ? Root() : Root() + path; }

  // A row of the view; files get `mtime` and `size`.
  NodeRecord AddRow(const std::string& path, bool dir, uint32_t mtime = 1000, uint64_t size = 0,
                    uint64_t sync_id = 1) {
    NodeRecord record;
    record.m_node_id = m_next_node_id++;
    // Rows hang below their parent's row, so deleting a directory's row
    // takes its subtree with it as in the daemon.
    std::string parent = path.substr(0, path.rfind('/'));
    NodeRecord parent_record;
    if (Db().GetNodeByPath(VIEW, parent.empty() ? "/" : parent, &parent_record) == 1) {
      record.m_parent_id = parent_record.m_node_id;
    }
    record.m_view_id = VIEW;
    record.m_path = path;
    record.m_name = path.substr(path.rfind('/') + 1);
    record.m_attribute = dir ? NODE_ATTRIBUTE_DIR : 0;
    record.m_sync_id = sync_id;
    record.m_mtime = mtime;
    record.m_size = size;
    EXPECT_EQ(0, Db().UpsertNode(record));
    return record;
  }
  // A file on disk with that mtime, and a row that matches it.
  NodeRecord AddSyncedFile(const std::string& path, const std::string& contents, uint32_t mtime = 1000) {
    WriteLocal(path, contents, mtime);
    return AddRow(path, false, mtime, contents.size());
  }
  NodeRecord AddSyncedDir(const std::string& path) {
    EXPECT_EQ(0, mkdir(Local(path).c_str(), 0777));
    return AddRow(path, true);
  }
  void WriteLocal(const std::string& path, const std::string& contents, uint32_t mtime = 1000) {
    std::string full = m_dir.WriteFile("view" + path, contents);
    struct utimbuf times = {static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
    ASSERT_EQ(0, utime(full.c_str(), &times));
  }
  bool HasRow(const std::string& path) {
    NodeRecord record;
    return Db().GetNodeByPath(VIEW, path, &record) == 1;
  }
  bool ExistsLocal(const std::string& path) const {
    struct stat st;
    return lstat(Local(path).c_str(), &st) == 0;
  }

  // The prepared state a worker would hand its handler for `event`.
  WorkItem Item(int32_t type, const std::string& path, uint32_t flags = 0, uint64_t sync_id = 0) {
    WorkItem item;
    item.m_task_id = 3;
    item.m_event.m_type = type;
    item.m_event.m_path = path;
    item.m_event.m_view_id = VIEW;
    item.m_event.m_flags = flags;
    item.m_event.m_sync_id = sync_id;
    item.m_entry.m_view_id = VIEW;
    item.m_entry.m_watch_path = Root();
    Db().GetNodeByPath(VIEW, path, &item.m_record);
    item.m_local_path = Local(path);
    item.m_tmp_dir = TmpDir();
    item.m_abort = &m_abort;
    return item;
  }

  // Every event queued for the view, each reported done as it comes out,
  // sorted by path then type so tests can compare whole sets.
  std::vector<Event> Drain() {
    std::vector<Event> events;
    DrainWorker worker;
    Event event;
    while (m_engine.m_events.PullEvent(&worker, &event) == 0) {
      events.push_back(event);
      m_engine.m_events.DoneEvent(&worker, &event);
    }
    std::sort(events.begin(), events.end(), [](const Event& a, const Event& b) {
      return a.m_path != b.m_path ? a.m_path < b.m_path : a.m_type < b.m_type;
    });
    return events;
  }

  TempDir m_dir;
  TestEngine m_engine{m_dir.Path()};
  std::atomic<int> m_abort{0};
  uint64_t m_next_node_id = 100;
};

// "TYPE path flags" of an event, for readable comparisons.
inline std::string Describe(const Event& event) {
  return std::string(EventTypeName(event.m_type)) + " " + event.m_path + " " + std::to_string(event.m_flags);
}

inline std::vector<std::string> Describe(const std::vector<Event>& events) {
  std::vector<std::string> out;
  for (const Event& event : events) out.push_back(Describe(event));
  return out;
}

}  // namespace tide::test
