// UpsertNode, one transaction per row, against a bare SQLite loop running the
// same statement text on the same kind of file in the same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "db/native_client_db.h"

namespace {

constexpr int ROWS = 2000;

std::string ScratchDir() {
  char pattern[] = "/tmp/bench-db-XXXXXX";
  return mkdtemp(pattern) ? pattern : "/tmp";
}

tide::NodeRecord Record(uint64_t id) {
  tide::NodeRecord record;
  record.m_node_id = id;
  record.m_parent_id = id / 100;
  record.m_view_id = 1;
  record.m_sync_id = id;
  record.m_mtime = 1700000000;
  record.m_size = id * 7;
  record.m_hash = "0123456789abcdef0123456789abcdef";
  record.m_mode = 0644;
  record.m_path = "/folder-" + std::to_string(id / 100) + "/file-" + std::to_string(id) + ".txt";
  record.m_name = "file-" + std::to_string(id) + ".txt";
  return record;
}

double TimeUpserts(uint64_t first) {
  auto start = std::chrono::steady_clock::now();
  for (uint64_t id = first; id < first + ROWS; ++id) tide::NativeClientDb::Instance().UpsertNode(Record(id));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using ull = unsigned long long;

double TimeBare(sqlite3* db, uint64_t first) {
  auto start = std::chrono::steady_clock::now();
  for (uint64_t id = first; id < first + ROWS; ++id) {
    tide::NodeRecord r = Record(id);
    char* sql = sqlite3_mprintf(tide::UPSERT_NODE_SQL, (ull)r.m_node_id, (ull)r.m_parent_id, (ull)r.m_view_id,
                                r.m_name.c_str(), r.m_path.c_str(), r.m_attribute, (ull)r.m_sync_id, r.m_mtime,
                                (ull)r.m_size, r.m_hash.c_str(), r.m_mode, r.m_mac_hash.c_str(), (ull)r.m_node_id,
                                (ull)r.m_parent_id, (ull)r.m_view_id, r.m_name.c_str(), r.m_path.c_str(),
                                r.m_attribute, (ull)r.m_sync_id, r.m_mtime, (ull)r.m_size, r.m_hash.c_str(), r.m_mode,
                                r.m_mac_hash.c_str(), (ull)r.m_node_id);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_free(sql);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Both loops alternate within each iteration so load on the machine hits
// them alike; the first pass inserts, later passes update the same rows.
void BM_UpsertNodeVersusBareLoop(benchmark::State& state) {
  std::string dir = ScratchDir();
  tide::NativeClientDb::Instance().Close();
  tide::NativeClientDb::Instance().Initialize(dir + "/daemon.sqlite");
  // The bare loop gets a file made by the same schema, opened its own way.
  tide::NativeClientDb::Instance().Close();
  rename((dir + "/daemon.sqlite").c_str(), (dir + "/bare.sqlite").c_str());
  unlink((dir + "/daemon.sqlite-wal").c_str());
  unlink((dir + "/daemon.sqlite-shm").c_str());
  tide::NativeClientDb::Instance().Initialize(dir + "/daemon.sqlite");
  sqlite3* bare = nullptr;
  sqlite3_open((dir + "/bare.sqlite").c_str(), &bare);
  sqlite3_exec(bare, "PRAGMA journal_mode = WAL;PRAGMA synchronous = NORMAL;PRAGMA recursive_triggers = true;",
               nullptr, nullptr, nullptr);
  double daemon_seconds = 0, bare_seconds = 0;
  uint64_t pass = 0;
  for (auto _ : state) {
    uint64_t first = 1 + (pass++ % 2) * ROWS;
    double d = TimeUpserts(first);
    double b = TimeBare(bare, first);
    daemon_seconds += d;
    bare_seconds += b;
    state.SetIterationTime(d);
  }
  state.counters["upsert_rows_per_s"] = state.iterations() * ROWS / daemon_seconds;
  state.counters["bare_rows_per_s"] = state.iterations() * ROWS / bare_seconds;
  state.counters["ratio"] = bare_seconds / daemon_seconds;
  sqlite3_close(bare);
  tide::NativeClientDb::Instance().Close();
  std::string cleanup = "rm -rf '" + dir + "'";
  if (system(cleanup.c_str()) != 0) fprintf(stderr, "cleanup failed\n");
}
BENCHMARK(BM_UpsertNodeVersusBareLoop)->Name("UpsertNodeVersusBareLoop")->UseManualTime()->Iterations(6)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
