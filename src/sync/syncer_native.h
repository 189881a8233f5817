// Task 1: pulls the server's change stream. Keeps its place in the task
// table; the body arrives with the server syncer.
#pragma once

#include <atomic>

#include "core/idle_task.h"
#include "core/task.h"

namespace tide {

class SyncerNative : public Task {
 public:
  SyncerNative(uint32_t context1, uint32_t context2) : Task(context1, context2) {}
  int Stop() override {
    m_stop = 1;
    return Task::Stop();
  }
  void Run() override { RunIdleLoop(*this); }

 protected:
  std::atomic<int> m_stop{0};  // polled by long operations to give up early
};

}  // namespace tide
