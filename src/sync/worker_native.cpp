// Worker run loop: placeholder until dispatch lands; honours pause and stop.
#include "sync/worker_native.h"

#include "core/idle_task.h"

namespace tide {

WorkerNative::WorkerNative(uint32_t context1, uint32_t context2) : Task(context1, context2) {}
WorkerNative::~WorkerNative() = default;

int WorkerNative::Pause() {
  m_abort = 1;
  return Task::Pause();
}
int WorkerNative::Resume() {
  m_abort = 0;
  return Task::Resume();
}
int WorkerNative::Stop() {
  m_abort = 1;
  return Task::Stop();
}
int WorkerNative::SetAbort(bool abort) {
  m_abort = abort ? 1 : 0;
  return 0;
}
void WorkerNative::Run() { RunIdleLoop(*this); }
WorkerPass WorkerNative::RunOnce() { return WORKER_PASS_IDLE; }
int WorkerNative::FetchEvent() { return -1; }
int WorkerNative::PrepareEvent() { return -1; }
int WorkerNative::Dispatch() { return 0; }
int WorkerNative::FinishEvent() { return 0; }
void WorkerNative::Clear() {}

}  // namespace tide
