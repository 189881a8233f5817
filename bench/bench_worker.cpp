// Latency of a worker: from an event's push to its handler starting, with
// the workers idle on their threads as in the daemon. Idle workers sleep
// until new work is announced, so this is a thread wake-up plus a pull and
// a database look-up, not the workers' one-second poll. Also the flow of
// many events through the workers with a handler that does nothing.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/registry.h"
#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "process_engine.h"
#include "sync/worker_native.h"

namespace {

using namespace tide;

constexpr uint64_t VIEW = 7;

std::mutex g_mutex;
std::condition_variable g_handled;
uint64_t g_count = 0;  // guarded by g_mutex

HandlerOutcome CountingHandler(const WorkItem&, EngineContext&) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_count;
  }
  g_handled.notify_all();
  return HandlerOutcome::DONE;
}

void WaitForCount(uint64_t count) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_handled.wait(lock, [&] { return g_count >= count; });
}

// Workers started on their threads over a fresh database and registry.
class Engine {
 public:
  explicit Engine(int workers) {
    char dir[] = "/tmp/bench-worker-XXXXXX";
    m_dir = mkdtemp(dir);
    NativeClientDb::Instance().Initialize(m_dir + "/db.sqlite");
    Registry::Instance().Clear();
    Registry::Instance().Add("alice", 0, "/volume1/homes/alice", VIEW, 0);
    EventManager::GetInstance().Reset();
    WorkerHandlers handlers = DefaultWorkerHandlers();
    handlers.m_upload_local = &CountingHandler;
    for (int i = 0; i < workers; ++i) {
      m_workers.push_back(std::make_unique<WorkerNative>(0, 0, bench::ProcessEngine()));
      m_workers.back()->SetHandlersForTest(handlers);
      m_workers.back()->Start();
    }
  }
  ~Engine() {
    for (auto& worker : m_workers) worker->Stop();
    for (auto& worker : m_workers) worker->Join();
    NativeClientDb::Instance().Close();
    Registry::Instance().Clear();
    EventManager::GetInstance().Reset();
    std::filesystem::remove_all(m_dir);
  }

 private:
  std::string m_dir;
  std::vector<std::unique_ptr<WorkerNative>> m_workers;
};

Event Upload(uint64_t n) {
  Event event;
  event.m_type = UPLOAD_LOCAL;
  event.m_view_id = VIEW;
  event.m_path = "/file" + std::to_string(n);
  return event;
}

void BM_PushToHandler(benchmark::State& state) {
  Engine engine(static_cast<int>(state.range(0)));
  uint64_t n = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_count = 0;
  }
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    EventManager::GetInstance().PushEvent(Upload(n));
    WaitForCount(++n);
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
}
BENCHMARK(BM_PushToHandler)->Arg(1)->Arg(6)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(500);

void BM_EventFlow(benchmark::State& state) {
  Engine engine(static_cast<int>(state.range(0)));
  constexpr uint64_t BATCH = 1000;
  uint64_t n = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_count = 0;
  }
  for (auto _ : state) {
    for (uint64_t i = 0; i < BATCH; ++i) EventManager::GetInstance().PushEvent(Upload(n + i));
    n += BATCH;
    WaitForCount(n);
  }
  state.SetItemsProcessed(static_cast<int64_t>(n));
}
BENCHMARK(BM_EventFlow)->Arg(1)->Arg(6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
