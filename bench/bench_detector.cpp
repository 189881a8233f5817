// Change detection figures.
//
//   bench_detector setup DIR            time to watch every directory below DIR
//                                       with the detector's mask (one line:
//                                       "setup_ms <ms> watches <n> ...", with
//                                       the kernel's unreclaimable slab growth
//                                       and the watch count of the descriptor);
//                                       setup-all-events: every event type
//   bench_detector setup-varn DIR       the same for the volume watch: one
//                                       kernel mark for DIR's file system
//   bench_detector latency [N] [varn]   close-to-push latency over N single-file
//                                       writes (default 1000): median and p99,
//                                       of the inotify detector or (varn) the
//                                       volume-wide one
//   bench_detector burst [MAX]          largest `tar -x` of N small files (N
//                                       doubling up to MAX) absorbed without a
//                                       queue overflow
//   bench_detector [benchmark flags]    the Google Benchmark cases below
//
// bench/watch_setup.sh compares "setup" with inotifywait -r on the same tree.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/native_client_db.h"
#include "detect/detector.h"
#include "detect/inotify_watch_tree.h"
#include "detect/varn_detector.h"
#include "event/event_manager.h"
#include "platform/varnotify.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/tide-bench-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    exit(1);
  }
  return pattern;
}

// Records when each event reached the event manager.
template <class Base>
class Timed : public Base {
 public:
  Timed() : Base(0, 0) {}
  std::atomic<long> m_rescans{0};
  std::atomic<long> m_delivered{0};
  std::mutex m_lock;
  std::unordered_map<std::string, Clock::time_point> m_pushed;  // guarded by m_lock

 protected:
  void Deliver(const tide::Event& event) override {
    Base::Deliver(event);
    Clock::time_point now = Clock::now();
    if (event.m_type == tide::RESCAN_SYNC) ++m_rescans;
    ++m_delivered;
    std::lock_guard<std::mutex> guard(m_lock);
    m_pushed.emplace(event.m_path, now);
  }
};

using TimedDetector = Timed<tide::Detector>;
using TimedVarnDetector = Timed<tide::VARNDetector>;

struct Scratch {
  Scratch() : m_path(ScratchDir()) {
    tide::NativeClientDb::Instance().Initialize(m_path + "/db/db.sqlite");
    fs::create_directories(m_path + "/volume1/view");
  }
  ~Scratch() {
    tide::NativeClientDb::Instance().Close();
    std::error_code ignored;
    fs::remove_all(m_path, ignored);
  }
  std::string View() const { return m_path + "/volume1/view"; }
  std::string m_path;
};

// Unreclaimable kernel slab in KiB (watches and marks live there); other
// programs' activity makes it noisy, so it is reported, never compared
// closely.
long SlabUnreclaimKb() {
  FILE* f = fopen("/proc/meminfo", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (fgets(line, sizeof(line), f)) {
    if (sscanf(line, "SUnreclaim: %ld kB", &kb) == 1) break;
  }
  fclose(f);
  return kb;
}

// Lines of the descriptor's fdinfo starting with `prefix`: one per inotify
// watch ("inotify wd:") or file-system mark ("fanotify sdev:").
long FdinfoLines(int fd, const char* prefix) {
  FILE* f = fopen(("/proc/self/fdinfo/" + std::to_string(fd)).c_str(), "r");
  if (!f) return -1;
  char line[512];
  long count = 0;
  while (fgets(line, sizeof(line), f)) count += strncmp(line, prefix, strlen(prefix)) == 0;
  fclose(f);
  return count;
}

int Setup(const std::string& dir, uint32_t mask) {
  long slab_before = SlabUnreclaimKb();
  auto start = Clock::now();
  tide::InotifyWatchTree tree(mask);
  int root = tree.AddRoot(dir);
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (root < 0) return 1;
  long slab_after = SlabUnreclaimKb();
  printf("setup_ms %.1f watches %u fdinfo_watches %ld slab_growth_kb %ld\n", ms, tree.WatchCount(),
         FdinfoLines(tree.Descriptor(), "inotify wd:"), slab_after - slab_before);
  fflush(stdout);
  return 0;
}

int SetupVarn(const std::string& dir) {
  long slab_before = SlabUnreclaimKb();
  auto start = Clock::now();
  int fd = tide::VarnotifyInit(0);
  if (fd < 0 || tide::VarnotifyAddWatch32(fd, dir.c_str(), tide::VARN_WATCH_MASK) < 0) {
    perror("volume watch");
    return 1;
  }
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  long slab_after = SlabUnreclaimKb();
  printf("setup_ms %.3f marks %ld slab_growth_kb %ld\n", ms, FdinfoLines(fd, "fanotify sdev:"),
         slab_after - slab_before);
  fflush(stdout);
  tide::VarnotifyClose(fd);
  return 0;
}

template <class TimedTask>
int Latency(int writes) {
  Scratch scratch;
  TimedTask detector;
  detector.SetVolumePrefix(scratch.m_path + "/volume");
  if (detector.AddWatch(scratch.View(), 1) < 0) return 1;
  detector.Start();
  std::vector<double> micros;
  for (int i = 0; i < writes; ++i) {
    std::string name = "/f" + std::to_string(i);
    int fd = open((scratch.View() + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, "data\n", 5) != 5) return 1;
    Clock::time_point closed = Clock::now();
    close(fd);
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(detector.m_lock);
        auto it = detector.m_pushed.find(name);
        if (it != detector.m_pushed.end()) {
          micros.push_back(std::chrono::duration<double, std::micro>(it->second - closed).count());
          break;
        }
      }
      std::this_thread::yield();
    }
  }
  detector.Stop();
  detector.Join();
  std::sort(micros.begin(), micros.end());
  printf("close_to_push_us median %.1f p99 %.1f max %.1f over %d writes\n", micros[micros.size() / 2],
         micros[micros.size() * 99 / 100], micros.back(), writes);
  return 0;
}

// One run: 1 when the burst of `files` overflowed the queue.
int BurstOverflows(long files) {
  Scratch scratch;
  std::string source = scratch.m_path + "/src";
  fs::create_directories(source + "/b");
  for (long i = 0; i < files; ++i) {
    FILE* f = fopen((source + "/b/f" + std::to_string(i)).c_str(), "w");
    fputs("x", f);
    fclose(f);
  }
  std::string archive = scratch.m_path + "/b.tar";
  std::string make = "tar -cf '" + archive + "' -C '" + source + "' b";
  if (system(make.c_str()) != 0) return -1;
  fs::create_directories(scratch.View() + "/b");
  TimedDetector detector;
  detector.SetVolumePrefix(scratch.m_path + "/volume");
  if (detector.AddWatch(scratch.View(), 1) < 0) return -1;
  detector.Start();
  // Extracted over an existing, watched folder, so every file makes events.
  std::string extract = "tar -xf '" + archive + "' -C '" + scratch.View() + "'";
  if (system(extract.c_str()) != 0) return -1;
  long last = -1;
  while (detector.m_delivered.load() != last) {  // until a quiet stretch
    last = detector.m_delivered.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  }
  detector.Stop();
  detector.Join();
  tide::EventManager::GetInstance().Reset();
  return detector.m_rescans.load() > 0 ? 1 : 0;
}

int Burst(long max_files) {
  long absorbed = 0;
  for (long files = 1000; files <= max_files; files *= 2) {
    int overflowed = BurstOverflows(files);
    if (overflowed < 0) return 1;
    printf("burst %ld files: %s\n", files, overflowed ? "overflow" : "absorbed");
    fflush(stdout);
    if (overflowed) break;
    absorbed = files;
  }
  // Narrow down between the last absorbed size and twice it.
  long low = absorbed, high = absorbed * 2;
  while (absorbed > 0 && high - low > absorbed / 8) {
    long mid = (low + high) / 2;
    int overflowed = BurstOverflows(mid);
    if (overflowed < 0) return 1;
    printf("burst %ld files: %s\n", mid, overflowed ? "overflow" : "absorbed");
    fflush(stdout);
    (overflowed ? high : low) = mid;
  }
  printf("largest_burst_absorbed %ld files\n", low);
  return 0;
}

// Watch set-up of a small tree, for regressions between runs.
void BM_WatchSetup(benchmark::State& state) {
  Scratch scratch;
  for (int i = 0; i < state.range(0); ++i) fs::create_directories(scratch.View() + "/d" + std::to_string(i % 50) + "/" + std::to_string(i));
  for (auto _ : state) {
    tide::InotifyWatchTree tree(tide::DETECTOR_WATCH_MASK);
    benchmark::DoNotOptimize(tree.AddRoot(scratch.View()));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_WatchSetup)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "setup") == 0 && argc == 3) return Setup(argv[2], tide::DETECTOR_WATCH_MASK);
  if (argc >= 2 && strcmp(argv[1], "setup-all-events") == 0 && argc == 3) {
    return Setup(argv[2], tide::INOTIFY_ALL_EVENTS);
  }
  if (argc >= 2 && strcmp(argv[1], "setup-varn") == 0 && argc == 3) return SetupVarn(argv[2]);
  if (argc >= 2 && strcmp(argv[1], "latency") == 0) {
    int writes = argc > 2 ? atoi(argv[2]) : 1000;
    if (argc > 3 && strcmp(argv[3], "varn") == 0) return Latency<TimedVarnDetector>(writes);
    return Latency<TimedDetector>(writes);
  }
  if (argc >= 2 && strcmp(argv[1], "burst") == 0) return Burst(argc > 2 ? atol(argv[2]) : 256000);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
