// Rescan of an unchanged view (the disk walk, the database's list and the
// comparison, pushing nothing) against a bare lstat walk of the same tree.
// TIDE_BENCH_FILES sets the number of files (default 100,000, 250 a folder).
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "process_engine.h"
#include "sync/rescan.h"

namespace {

constexpr int FILES_PER_DIR = 250;
std::string g_dir;
std::string g_view;
int g_files = 100000;

void MakeTree() {
  if (const char* files = getenv("TIDE_BENCH_FILES")) g_files = atoi(files);
  char pattern[] = "/tmp/bench-rescan-XXXXXX";
  g_dir = mkdtemp(pattern) ? pattern : "/tmp";
  g_view = g_dir + "/view";
  mkdir(g_view.c_str(), 0777);
  tide::NativeClientDb::Instance().Initialize(g_dir + "/db.sqlite");
  tide::NativeClientDb::Instance().InsertViewRoot(1, 1);
  tide::NativeClientDb::Instance().Close();
  sqlite3* db = nullptr;
  sqlite3_open((g_dir + "/db.sqlite").c_str(), &db);
  sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO node_table (node_id, parent_id, view_id, attribute, mtime, size, name, path) "
                     "VALUES (?, ?, 1, ?, ?, ?, ?, ?);",
                     -1, &st, nullptr);
  int64_t id = 2;
  auto insert = [&](int64_t parent, bool dir, const std::string& path, const struct stat& s) {
    sqlite3_bind_int64(st, 1, id);
    sqlite3_bind_int64(st, 2, parent);
    sqlite3_bind_int(st, 3, dir ? 2 : 0);
    sqlite3_bind_int64(st, 4, s.st_mtime);
    sqlite3_bind_int64(st, 5, dir ? 0 : s.st_size);
    std::string name = path.substr(path.rfind('/') + 1);
    sqlite3_bind_text(st, 6, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 7, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
    return id++;
  };
  for (int d = 0; d * FILES_PER_DIR < g_files; ++d) {
    std::string dir = "/d" + std::to_string(d);
    mkdir((g_view + dir).c_str(), 0777);
    for (int f = 0; f < FILES_PER_DIR && d * FILES_PER_DIR + f < g_files; ++f) {
      std::string path = dir + "/file" + std::to_string(f) + ".txt";
      int fd = open((g_view + path).c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0666);
      if (write(fd, "contents", 1 + f % 8) < 0) perror("write");
      close(fd);
    }
    struct stat s;
    lstat((g_view + dir).c_str(), &s);
    int64_t parent = insert(1, true, dir, s);
    for (int f = 0; f < FILES_PER_DIR && d * FILES_PER_DIR + f < g_files; ++f) {
      std::string path = dir + "/file" + std::to_string(f) + ".txt";
      lstat((g_view + path).c_str(), &s);
      insert(parent, false, path, s);
    }
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  tide::NativeClientDb::Instance().Initialize(g_dir + "/db.sqlite");
}

size_t LstatWalk(const std::string& path) {
  size_t count = 0;
  DIR* dir = opendir(path.c_str());
  if (!dir) return 0;
  std::vector<std::string> subdirs;
  while (struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    std::string child = path + "/" + entry->d_name;
    struct stat st;
    if (lstat(child.c_str(), &st) < 0) continue;
    ++count;
    if (S_ISDIR(st.st_mode)) subdirs.push_back(child);
  }
  closedir(dir);
  for (const std::string& child : subdirs) count += LstatWalk(child);
  return count;
}

void BM_LstatWalk(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(LstatWalk(g_view));
  state.counters["files"] = g_files;
}
BENCHMARK(BM_LstatWalk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RescanUnchanged(benchmark::State& state) {
  tide::WorkItem item;
  item.m_task_id = 3;
  item.m_event.m_type = tide::RESCAN_SYNC;
  item.m_event.m_path = "/";
  item.m_event.m_view_id = 1;
  item.m_event.m_flags = tide::EVENT_FLAG_DIR;
  item.m_entry.m_view_id = 1;
  item.m_entry.m_watch_path = g_view;
  item.m_local_path = g_view;
  for (auto _ : state) tide::RescanDirectoryItem(item, tide::bench::ProcessEngine(), false);
  if (tide::EventManager::GetInstance().GetViewPendingCount(1) != 0) state.SkipWithError("the rescan found changes");
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  state.counters["files"] = g_files;
  state.counters["peak_rss_MiB"] = usage.ru_maxrss / 1024.0;
}
BENCHMARK(BM_RescanUnchanged)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  MakeTree();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  tide::NativeClientDb::Instance().Close();
  std::string cleanup = "rm -rf '" + g_dir + "'";
  return system(cleanup.c_str()) == 0 ? 0 : 1;
}
