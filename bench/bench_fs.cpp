// What resolving beneath a view costs, against plain path calls, on a tree
// of 100,000 files in 1,000 folders (10 x 100 x 100) under $TIDE_BENCH_DIR
// (default /dev/shm):
//   BM_List*: a rescan's listing of the whole tree (what the rescan and
//     delete expansions read);
//   BM_Stat*: one lstat per file by its path below the view (what every
//     handler does first for its event).
// Each comes as Plain (path calls, no protection), Kernel (openat2 with
// RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) and Walk (component by component
// with O_NOFOLLOW, the fallback of older kernels).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "event/file_list.h"
#include "fs/beneath.h"
#include "fs/view_dir.h"
#include "sync/local_list.h"

namespace {

constexpr int TOP = 10, MIDDLE = 100, FILES = 100;

std::string Root() {
  const char* dir = getenv("TIDE_BENCH_DIR");
  return std::string(dir ? dir : "/dev/shm") + "/tide-bench-fs";
}

std::vector<std::string>& RelativePaths() {
  static std::vector<std::string> paths;
  return paths;
}

void MakeTree() {
  std::string root = Root();
  if (system(("rm -rf '" + root + "'").c_str()) != 0) return;
  mkdir(root.c_str(), 0755);
  for (int t = 0; t < TOP; ++t) {
    std::string top = "/t" + std::to_string(t);
    mkdir((root + top).c_str(), 0755);
    for (int m = 0; m < MIDDLE; ++m) {
      std::string middle = top + "/m" + std::to_string(m);
      mkdir((root + middle).c_str(), 0755);
      for (int f = 0; f < FILES; ++f) {
        std::string file = middle + "/file-" + std::to_string(f) + ".dat";
        int fd = open((root + file).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
          (void)!write(fd, "0123456789abcdef", 16);
          close(fd);
        }
        RelativePaths().push_back(file);
      }
    }
  }
}

size_t ListPlain(const std::string& path) {
  DIR* dir = opendir(path.c_str());
  if (!dir) return 0;
  std::vector<std::string> subdirs;
  size_t count = 0;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = path + "/" + entry->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) < 0) continue;
    ++count;
    if (S_ISDIR(st.st_mode)) subdirs.push_back(child);
  }
  closedir(dir);
  for (const std::string& sub : subdirs) count += ListPlain(sub);
  return count;
}

void BM_ListPlain(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ListPlain(Root()));
}

void ListBeneath(benchmark::State& state, bool walk) {
  tide::ForceComponentWalk(walk);
  tide::ViewDir view;
  if (view.Open(Root()) < 0) state.SkipWithError("cannot open the tree");
  for (auto _ : state) {
    tide::FileList list;
    if (tide::BuildLocalFileList(view, "/", &list, nullptr, 0) < 0) state.SkipWithError("listing failed");
  }
  tide::ForceComponentWalk(false);
}

void BM_ListKernel(benchmark::State& state) { ListBeneath(state, false); }
void BM_ListWalk(benchmark::State& state) { ListBeneath(state, true); }

void BM_StatPlain(benchmark::State& state) {
  std::string root = Root();
  for (auto _ : state) {
    for (const std::string& relative : RelativePaths()) {
      struct stat st;
      benchmark::DoNotOptimize(lstat((root + relative).c_str(), &st));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * RelativePaths().size()));
}

void StatBeneath(benchmark::State& state, bool walk) {
  tide::ForceComponentWalk(walk);
  tide::ViewDir view;
  if (view.Open(Root()) < 0) state.SkipWithError("cannot open the tree");
  for (auto _ : state) {
    for (const std::string& relative : RelativePaths()) {
      tide::FileInfo info;
      benchmark::DoNotOptimize(view.Stat(relative, &info));
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * RelativePaths().size()));
  tide::ForceComponentWalk(false);
}

void BM_StatKernel(benchmark::State& state) { StatBeneath(state, false); }
void BM_StatWalk(benchmark::State& state) { StatBeneath(state, true); }

}  // namespace

int main(int argc, char** argv) {
  MakeTree();
  if (!tide::KernelResolvesBeneath()) fprintf(stderr, "note: this kernel has no openat2; Kernel runs the walk too\n");
  benchmark::RegisterBenchmark("BM_ListPlain", BM_ListPlain)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ListKernel", BM_ListKernel)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_ListWalk", BM_ListWalk)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_StatPlain", BM_StatPlain)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_StatKernel", BM_StatKernel)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_StatWalk", BM_StatWalk)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (system(("rm -rf '" + Root() + "'").c_str()) != 0) return 1;
  return 0;
}
