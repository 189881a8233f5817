// Cost of handing out events with few and with many views holding work: a
// pull takes the pool at the front of the ready queue, so its cost must not
// grow with the number of views.
#include <benchmark/benchmark.h>

#include <string>

#include "core/registry.h"
#include "core/task.h"
#include "event/event_manager.h"

namespace {

using tide::Event;
using tide::EventManager;

class BenchWorker : public tide::Task {
 public:
  BenchWorker() : Task(0, 0) {}
};

// Every view holds `per_view` uploads in two folders.
void Fill(EventManager& manager, int views, int per_view) {
  manager.Reset();
  for (int view = 1; view <= views; ++view) {
    for (int i = 0; i < per_view; ++i) {
      Event event;
      event.m_type = tide::UPLOAD_LOCAL;
      event.m_view_id = static_cast<uint64_t>(view);
      event.m_path = "/dir" + std::to_string(i % 2) + "/file" + std::to_string(i);
      manager.PushEvent(event);
    }
  }
}

// One pull, measured alone; the done and the re-push that keep the views
// loaded run outside the timing in batches.
void BM_PullEvent(benchmark::State& state) {
  const int views = static_cast<int>(state.range(0));
  EventManager& manager = EventManager::GetInstance();
  Fill(manager, views, 4);
  // At most half of what is queued is out at a time, so pulls never run dry.
  constexpr int MAX_BATCH = 256;
  const int batch = views * 2 < MAX_BATCH ? views * 2 : MAX_BATCH;
  BenchWorker workers[MAX_BATCH];
  Event events[MAX_BATCH];
  int count = 0;
  for (auto _ : state) {
    if (manager.PullEvent(&workers[count], &events[count]) < 0) state.SkipWithError("nothing to pull");
    if (++count == batch) {
      state.PauseTiming();
      for (int i = 0; i < batch; ++i) {
        manager.DoneEvent(&workers[i], &events[i]);
        manager.PushEvent(events[i]);
      }
      count = 0;
      state.ResumeTiming();
    }
  }
  for (int i = 0; i < count; ++i) manager.DoneEvent(&workers[i], &events[i]);
  manager.Reset();
}
BENCHMARK(BM_PullEvent)->Arg(10)->Arg(1000)->Arg(10000);

// 10,000 views with pools, of which only 10 hold events: what a pull costs
// does not depend on how many views exist, only on where its pool lies in
// memory (with all 10,000 views busy every pull meets a cold pool).
void BM_PullEventTenBusyOfMany(benchmark::State& state) {
  EventManager& manager = EventManager::GetInstance();
  Fill(manager, 10000, 1);
  BenchWorker drain;
  Event event;
  while (manager.ReadyQueueSize() != 0) {
    if (manager.PullEvent(&drain, &event) == 0) manager.DoneEvent(&drain, &event);
  }
  for (int view = 1; view <= 10; ++view) {
    for (int i = 0; i < 4; ++i) {
      Event busy;
      busy.m_type = tide::UPLOAD_LOCAL;
      busy.m_view_id = static_cast<uint64_t>(view);
      busy.m_path = "/dir" + std::to_string(i % 2) + "/file" + std::to_string(i);
      manager.PushEvent(busy);
    }
  }
  BenchWorker workers[20];
  Event events[20];
  int count = 0;
  for (auto _ : state) {
    if (manager.PullEvent(&workers[count], &events[count]) < 0) state.SkipWithError("nothing to pull");
    if (++count == 20) {
      state.PauseTiming();
      for (int i = 0; i < 20; ++i) {
        manager.DoneEvent(&workers[i], &events[i]);
        manager.PushEvent(events[i]);
      }
      count = 0;
      state.ResumeTiming();
    }
  }
  for (int i = 0; i < count; ++i) manager.DoneEvent(&workers[i], &events[i]);
  manager.Reset();
}
BENCHMARK(BM_PullEventTenBusyOfMany);

// A worker's whole round: pull, done, and the producer's push of a new
// change for the same path.
void BM_PullDonePush(benchmark::State& state) {
  const int views = static_cast<int>(state.range(0));
  EventManager& manager = EventManager::GetInstance();
  Fill(manager, views, 4);
  BenchWorker worker;
  for (auto _ : state) {
    Event event;
    manager.PullEvent(&worker, &event);
    manager.DoneEvent(&worker, &event);
    manager.PushEvent(event);
  }
  manager.Reset();
}
BENCHMARK(BM_PullDonePush)->Arg(10)->Arg(1000)->Arg(10000);

// The syncer's wait for workers walks every pool: linear in the views.
void BM_PendingServerCount(benchmark::State& state) {
  EventManager& manager = EventManager::GetInstance();
  Fill(manager, static_cast<int>(state.range(0)), 1);
  for (auto _ : state) benchmark::DoNotOptimize(manager.GetPendingServerEventCount(tide::Registry::Instance()));
  manager.Reset();
}
BENCHMARK(BM_PendingServerCount)->Arg(10)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
