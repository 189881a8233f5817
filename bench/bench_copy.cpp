// FSCopy of a 1 GiB file against cp of the same file, on tmpfs, on an ext4
// image and on a btrfs image (where a copy can be a clone). Needs root: it
// makes a private mount namespace and mounts its own file systems; kinds
// that cannot be mounted are left out.
//
// Counters: copy_ms (FSCopy, fsync included), cp_ms (cp), cp_sync_ms (cp,
// then sync of the copy), ratio = cp_ms / copy_ms, ratio_sync =
// cp_sync_ms / copy_ms (1.0 = as fast as cp; above 1 = faster).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fs/file_ops.h"

namespace {

constexpr size_t FILE_SIZE = size_t{1} << 30;

struct Place {
  std::string m_name;
  std::string m_dir;
};

int Run(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()); }

double Seconds(const std::function<void()>& body) {
  auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int MakeSource(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < FILE_SIZE / block.size(); ++i) {
    for (size_t j = 0; j < block.size(); j += 4096) block[j] = static_cast<char>(i + j);
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
      close(fd);
      return -1;
    }
  }
  fsync(fd);
  close(fd);
  return 0;
}

void BM_CopyFile(benchmark::State& state, const Place& place) {
  std::string source = place.m_dir + "/source";
  std::string copy = place.m_dir + "/copy";
  std::string cp_copy = place.m_dir + "/cp-copy";
  double copy_total = 0, cp_total = 0, cp_sync_total = 0;
  for (auto _ : state) {
    unlink(copy.c_str());
    unlink(cp_copy.c_str());
    Run("sync");
    double copy_seconds = Seconds([&] {
      if (tide::FSCopy(source, copy, false) != 0) state.SkipWithError("FSCopy failed");
    });
    state.SetIterationTime(copy_seconds);
    copy_total += copy_seconds;
    unlink(copy.c_str());
    Run("sync");
    cp_total += Seconds([&] { Run("cp " + source + " " + cp_copy); });
    unlink(cp_copy.c_str());
    Run("sync");
    cp_sync_total += Seconds([&] { Run("cp " + source + " " + cp_copy + " && sync " + cp_copy); });
  }
  double n = static_cast<double>(state.iterations());
  state.counters["copy_ms"] = copy_total / n * 1000;
  state.counters["cp_ms"] = cp_total / n * 1000;
  state.counters["cp_sync_ms"] = cp_sync_total / n * 1000;
  state.counters["ratio"] = cp_total / copy_total;
  state.counters["ratio_sync"] = cp_sync_total / copy_total;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * FILE_SIZE));
  unlink(copy.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  char base_template[] = "/tmp/bench-copy-XXXXXX";
  if (!mkdtemp(base_template)) return 1;
  std::string base = base_template;
  if (unshare(CLONE_NEWNS) < 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) {
    fprintf(stderr, "bench_copy needs root (private mounts)\n");
    return 1;
  }
  // Images live in memory too, so the comparison measures the copy and
  // not the host's disk.
  std::vector<Place> places;
  std::string images = base + "/images";
  mkdir(images.c_str(), 0755);
  if (mount("bench", images.c_str(), "tmpfs", 0, "size=7g") < 0) return 1;
  std::string tmpfs_dir = images + "/tmpfs";
  mkdir(tmpfs_dir.c_str(), 0755);
  places.push_back({"tmpfs", tmpfs_dir});
  for (const char* kind : {"ext4", "btrfs"}) {
    std::string image = images + "/" + kind + ".img";
    std::string dir = base + "/" + kind;
    mkdir(dir.c_str(), 0755);
    if (Run("truncate -s 4G " + image) != 0 || Run(std::string("mkfs.") + kind + " -q " + image) != 0 ||
        Run("mount -o loop " + image + " " + dir) != 0) {
      fprintf(stderr, "bench_copy: no %s here, left out\n", kind);
      continue;
    }
    places.push_back({kind, dir});
  }
  for (const Place& place : places) {
    if (MakeSource(place.m_dir + "/source") < 0) {
      fprintf(stderr, "bench_copy: cannot write the source on %s\n", place.m_name.c_str());
      continue;
    }
    benchmark::RegisterBenchmark(("BM_CopyFile/" + place.m_name).c_str(), BM_CopyFile, place)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(5);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const Place& place : places) {
    if (place.m_name != "tmpfs") umount2(place.m_dir.c_str(), MNT_DETACH);
  }
  umount2(images.c_str(), MNT_DETACH);
  Run("rm -rf " + base);
  return 0;
}
