// Tasks 3 and up: workers that carry out events. Keeps their place in the
// task table; the body arrives with worker dispatch.
#pragma once

#include <atomic>

#include "core/idle_task.h"
#include "core/task.h"

namespace tide {

class WorkerNative : public Task {
 public:
  WorkerNative(uint32_t context1, uint32_t context2) : Task(context1, context2) {}
  int Pause() override {
    m_abort = 1;
    return Task::Pause();
  }
  int Resume() override {
    m_abort = 0;
    return Task::Resume();
  }
  int Stop() override {
    m_abort = 1;
    return Task::Stop();
  }
  int SetAbort(bool abort) override {
    m_abort = abort ? 1 : 0;
    return 0;
  }
  void Run() override { RunIdleLoop(*this); }

 protected:
  // Raised to make a running copy, checksum or traversal give up early.
  std::atomic<int> m_abort{0};
};

}  // namespace tide
