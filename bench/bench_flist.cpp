// File lists of 1,000,000 entries: built from the database, built through the
// index-based adds a directory walk makes, and iterated.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "db/native_client_db.h"
#include "event/file_list.h"
#include "sync/file_list_builders.h"

namespace {

constexpr int ENTRIES = 1000000;
constexpr int FILES_PER_DIR = 1000;
constexpr int DIRS = ENTRIES / (FILES_PER_DIR + 1);

std::string g_dir;

// One view of DIRS folders holding FILES_PER_DIR files each, written in one
// transaction (the setup, not what is measured).
void FillDatabase() {
  char pattern[] = "/tmp/bench-flist-XXXXXX";
  g_dir = mkdtemp(pattern) ? pattern : "/tmp";
  tide::NativeClientDb::Instance().Initialize(g_dir + "/db.sqlite");
  tide::NativeClientDb::Instance().InsertViewRoot(1, 1);
  tide::NativeClientDb::Instance().Close();
  sqlite3* db = nullptr;
  sqlite3_open((g_dir + "/db.sqlite").c_str(), &db);
  sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO node_table (node_id, parent_id, view_id, attribute, mtime, size, name, path) "
                     "VALUES (?, ?, 1, ?, 1700000000, ?, ?, ?);",
                     -1, &st, nullptr);
  int64_t id = 2;
  for (int d = 0; d < DIRS; ++d) {
    std::string dir_name = "folder-" + std::to_string(d);
    int64_t dir_id = id++;
    auto row = [&](int64_t node, int64_t parent, int attribute, int64_t size, const std::string& name,
                   const std::string& path) {
      sqlite3_bind_int64(st, 1, node);
      sqlite3_bind_int64(st, 2, parent);
      sqlite3_bind_int(st, 3, attribute);
      sqlite3_bind_int64(st, 4, size);
      sqlite3_bind_text(st, 5, name.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 6, path.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(st);
      sqlite3_reset(st);
    };
    row(dir_id, 1, 2, 0, dir_name, "/" + dir_name);
    for (int f = 0; f < FILES_PER_DIR; ++f) {
      std::string name = "document-" + std::to_string(f) + ".txt";
      row(id++, dir_id, 0, f * 10, name, "/" + dir_name + "/" + name);
    }
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  tide::NativeClientDb::Instance().Initialize(g_dir + "/db.sqlite");
}

void BM_BuildFromDatabase(benchmark::State& state) {
  if (g_dir.empty()) FillDatabase();
  for (auto _ : state) {
    malloc_trim(0);
    size_t before = mallinfo2().uordblks;
    auto list = std::make_unique<tide::FileList>();
    tide::BuildFileList(tide::NativeClientDb::Instance(), 1, "/", list.get());
    state.counters["bytes_per_entry"] = static_cast<double>(mallinfo2().uordblks - before) / ENTRIES;
    state.counters["entries"] = static_cast<double>(list->FileCount() + list->DirectoryCount());
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * ENTRIES);
}
BENCHMARK(BM_BuildFromDatabase)->Name("BuildFromDatabase/1000000")->Iterations(2)->Unit(benchmark::kMillisecond);

// The calls a traversal makes: one AddDirectoryAt per folder, one AddFileAt
// per file, names as readdir hands them out.
std::unique_ptr<tide::FileList> BuildLikeAWalk() {
  auto list = std::make_unique<tide::FileList>();
  for (int d = 0; d < DIRS; ++d) {
    int number = 0;
    list->AddDirectoryAt(0, "folder-" + std::to_string(d), 1700000000, &number);
    for (int f = 0; f < FILES_PER_DIR; ++f) {
      list->AddFileAt(number, "document-" + std::to_string(f) + ".txt", 1700000000, f * 10);
    }
  }
  return list;
}

void BM_BuildLikeADirectoryWalk(benchmark::State& state) {
  for (auto _ : state) {
    malloc_trim(0);
    size_t before = mallinfo2().uordblks;
    auto list = BuildLikeAWalk();
    state.counters["bytes_per_entry"] = static_cast<double>(mallinfo2().uordblks - before) / ENTRIES;
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * ENTRIES);
}
BENCHMARK(BM_BuildLikeADirectoryWalk)->Name("BuildLikeADirectoryWalk/1000000")->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_Iterate(benchmark::State& state) {
  auto list = BuildLikeAWalk();
  for (auto _ : state) {
    size_t count = 0;
    for (const tide::FileListEntry& entry : *list) count += entry.m_path.size() > 0;
    benchmark::DoNotOptimize(count);
  }
  state.SetItemsProcessed(state.iterations() * ENTRIES);
}
BENCHMARK(BM_Iterate)->Name("Iterate/1000000")->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tide::NativeClientDb::Instance().Close();
  if (!g_dir.empty()) {
    std::string cleanup = "rm -rf '" + g_dir + "'";
    if (system(cleanup.c_str()) != 0) fprintf(stderr, "cleanup failed\n");
  }
  return 0;
}
