// Event tree throughput: a first scan pushing many file events, then workers
// taking them out and reporting them done, spread over many directories and
// in one flat directory; and the memory one pending event costs.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <time.h>

#include <cstdio>
#include <string>

#include "event/event_tree.h"

namespace {

constexpr int WORKERS = 6;

// A 60-byte path: /share-folder-DDDD/sub/document-NNNNNNNNN-padding....txt
void FillPath(tide::Event* event, int dir, int file) {
  char path[64];
  snprintf(path, sizeof(path), "/share-folder-%04d/sub/document-%09d-padpadpadpadpa.txt", dir, file);
  event->m_path.assign(path, 60);
}

// CPU time of this thread: the machine is shared, and time spent waiting for
// a core says nothing about the tree.
double ThreadSeconds() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Pushes `count` uploads over `dirs` directories, then pops and finishes
// them in rounds of one event per worker. Returns CPU seconds.
double RunSession(int count, int dirs) {
  tide::EventTree tree;
  tide::Event event;
  event.m_type = tide::UPLOAD_LOCAL;
  event.m_view_id = 1;
  double start = ThreadSeconds();
  for (int i = 0; i < count; ++i) {
    FillPath(&event, i % dirs, i);
    tree.Push(event);
  }
  tide::Event held[WORKERS];
  for (;;) {
    int n = 0;
    while (n < WORKERS && tree.Pop(&held[n]) == 0) ++n;
    if (n == 0) break;
    for (int i = 0; i < n; ++i) tree.DoneEvent(held[i]);
  }
  double seconds = ThreadSeconds() - start;
  if (!tree.IsEmpty()) fprintf(stderr, "tree not drained\n");
  return seconds;
}

void BM_Spread(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  for (auto _ : state) state.SetIterationTime(RunSession(count, 1000));
  state.SetItemsProcessed(state.iterations() * count);
}
// Warmed up first: a single cold run of a million events mostly measures
// the kernel handing the heap its first pages (in a virtual machine about
// 2 s per GiB touched), not the tree, and would make the 1M/100k ratio say
// nothing about how the tree scales.
BENCHMARK(BM_Spread)
    ->Name("Spread")
    ->Arg(100000)
    ->Arg(1000000)
    ->MinWarmUpTime(1.0)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void BM_Flat(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  for (auto _ : state) state.SetIterationTime(RunSession(count, 1));
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_Flat)->Name("Flat")->Arg(200000)->UseManualTime()->Unit(benchmark::kMillisecond);

long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* fp = fopen("/proc/self/statm", "r");
  if (fp) {
    if (fscanf(fp, "%ld %ld", &pages, &resident) != 2) resident = 0;
    fclose(fp);
  }
  return resident * 4096;
}

// Heap and resident growth per pending file event with 60-byte paths.
void BM_MemoryPerPendingEvent(benchmark::State& state) {
  int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    malloc_trim(0);
    size_t heap_before = mallinfo2().uordblks;
    long rss_before = ResidentBytes();
    auto* tree = new tide::EventTree;
    tide::Event event;
    event.m_type = tide::UPLOAD_LOCAL;
    for (int i = 0; i < count; ++i) {
      FillPath(&event, i % 1000, i);
      tree->Push(event);
    }
    state.counters["heap_bytes_per_event"] =
        static_cast<double>(mallinfo2().uordblks - heap_before) / count;
    state.counters["rss_bytes_per_event"] = static_cast<double>(ResidentBytes() - rss_before) / count;
    state.PauseTiming();
    delete tree;
    state.ResumeTiming();
  }
}
BENCHMARK(BM_MemoryPerPendingEvent)->Name("MemoryPerPendingEvent")->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
