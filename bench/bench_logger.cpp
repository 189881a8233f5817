// Cost of a log call that its component's threshold filters out (it sits on
// hot paths) and of one that is written to the log file.
#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "core/logger.h"

namespace {

std::string ScratchLog() {
  char dir[] = "/tmp/tide-bench-XXXXXX";
  if (!mkdtemp(dir)) abort();
  return std::string(dir) + "/client.log";
}

void BM_LogFilteredOut(benchmark::State& state) {
  tide::Logger::ResetForTest();
  tide::Logger::Initialize(tide::LOG_TYPE_STDERR, "", "", 10);
  int i = 0;
  for (auto _ : state) {
    TLOG_DEBUG("pull event %d for %s", i++, "/volume1/homes/alice/file.txt");
  }
}
BENCHMARK(BM_LogFilteredOut);

void BM_LogWrittenToFile(benchmark::State& state) {
  tide::Logger::ResetForTest();
  std::string path = ScratchLog();
  tide::Logger::Initialize(tide::LOG_TYPE_FILE, path, "", 10);
  int i = 0;
  for (auto _ : state) {
    TLOG_WARNING("pull event %d for %s", i++, "/volume1/homes/alice/file.txt");
  }
  tide::Logger::ResetForTest();
  for (int k = 0; k < 10; ++k) unlink((path + "_" + std::to_string(k)).c_str());
  unlink(path.c_str());
  rmdir(path.substr(0, path.rfind('/')).c_str());
}
BENCHMARK(BM_LogWrittenToFile);

}  // namespace

BENCHMARK_MAIN();
