// Task 0: the change detector. For now it watches nothing: it keeps the
// task's place and run loop, and records which views would be watched so
// that registration behaves as with real watches, until change detection
// lands.
#pragma once

#include <sys/stat.h>

#include <map>
#include <mutex>

#include "core/idle_task.h"
#include "core/task.h"
#include "detect/watch_interface.h"

namespace tide {

class Detector : public Task, public WatchInterface {
 public:
  Detector(uint32_t context1, uint32_t context2) : Task(context1, context2) {}
  void Run() override { RunIdleLoop(*this); }

  // Like a real watch, only an existing directory can be watched.
  int AddWatch(const std::string& path, uint64_t view_id) override {
    struct stat st;
    if (lstat(path.c_str(), &st) < 0 || !S_ISDIR(st.st_mode)) return -1;
    std::lock_guard<std::mutex> guard(m_mutex);
    auto it = m_roots.find(view_id);
    if (it != m_roots.end()) return it->second;
    int root = m_next_root++;
    m_roots[view_id] = root;
    return root;
  }
  int RemoveWatch(uint64_t view_id) override {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_roots.erase(view_id) == 1 ? 0 : -1;
  }

 private:
  std::mutex m_mutex;
  std::map<uint64_t, int> m_roots;  // view id → root id; guarded by m_mutex
  int m_next_root = 0;              // guarded by m_mutex
};

}  // namespace tide
