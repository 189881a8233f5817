// Throughput of the reference server alone: 4 KiB uploads and downloads,
// and full pull batches, each a real exchange over the server's Unix socket
// with the server running in a thread of this process. These are the
// ceilings that whole-system figures are read against.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/ref_client.h"

namespace {

using tide::test::RefClient;
using tide::test::ServerThread;

constexpr size_t FILE_SIZE = 4096;

struct Bench {
  Bench() {
    char pattern[] = "/tmp/bench-refsyncd-XXXXXX";
    m_dir = mkdtemp(pattern);
    m_server = std::make_unique<ServerThread>(m_dir);
    m_client.Open(m_server->SocketPath());
    m_data = m_dir + "/data";
    std::ofstream(m_data, std::ios::binary) << std::string(FILE_SIZE, 'x');
  }
  ~Bench() {
    m_client.Close();
    m_server.reset();
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  std::string m_dir;
  std::string m_data;
  std::unique_ptr<ServerThread> m_server;
  RefClient m_client;
};

// Each iteration: a new file of range(0) bytes (new path, base 0, a new
// folder every 1000 files) handed over the way the daemon does it: a fresh temporary copy
// that the client removes once the answer is in. The server takes it into
// its store, checks its MD4 and size, and commits the change.
void BM_Upload(benchmark::State& state) {
  Bench b;
  const size_t size = static_cast<size_t>(state.range(0));
  tide::NUploadRequest request;
  request.m_view_id = 7;
  request.m_size = size;
  std::string content(size, 'x');
  uint64_t i = 0;
  for (auto _ : state) {
    // New content every time, as real uploads bring; the client's part
    // (write the file, MD4 of it, unlink) is in the figure too.
    memcpy(content.data(), &i, sizeof i);
    std::string data = b.m_dir + "/upload-" + std::to_string(i);
    int fd = open(data.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool written = fd >= 0 && write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    if (fd >= 0) close(fd);
    if (!written) {
      state.SkipWithError("write failed");
      break;
    }
    request.m_hash = tide::test::FileMD4(data);
    request.m_data_path = data;
    request.m_path = "/d" + std::to_string(i / 1000) + "/f" + std::to_string(i);
    ++i;
    tide::NUploadResponse response;
    int rc = b.m_client.Upload(request, &response);
    unlink(data.c_str());
    if (rc != 0 || response.m_error_code != 0) {
      state.SkipWithError("upload failed");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(i));
  state.SetBytesProcessed(static_cast<int64_t>(i * size));
}
BENCHMARK(BM_Upload)->Arg(FILE_SIZE)->Arg(1 << 20)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Each iteration: the current version of one of 1000 files; the server
// places a copy for the client and removes the previous one.
void BM_Download4K(benchmark::State& state) {
  Bench b;
  constexpr int FILES = 1000;
  for (int i = 0; i < FILES; ++i) {
    tide::NUploadResponse response;
    b.m_client.Upload(7, "/f" + std::to_string(i), 0, b.m_data, &response);
  }
  uint64_t i = 0;
  for (auto _ : state) {
    tide::NDownloadResponse response;
    if (b.m_client.Download(7, "/f" + std::to_string(i % FILES), 0, &response) != 0 || response.m_error_code != 0 ||
        response.m_size != FILE_SIZE) {
      state.SkipWithError("download failed");
      break;
    }
    ++i;
  }
  state.SetItemsProcessed(static_cast<int64_t>(i));
}
BENCHMARK(BM_Download4K)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Each iteration: one full pull answer of 1000 changes.
void BM_Pull1000(benchmark::State& state) {
  Bench b;
  for (int i = 0; i < 1000; ++i) {
    tide::NUploadResponse response;
    b.m_client.Upload(7, "/f" + std::to_string(i), 0, b.m_data, &response);
  }
  uint64_t events = 0;
  for (auto _ : state) {
    tide::NPullEventResponse response;
    if (b.m_client.Pull(0, 0, &response) != 0 || response.m_events.size() != 1000) {
      state.SkipWithError("pull failed");
      break;
    }
    events += response.m_events.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(events));
}
BENCHMARK(BM_Pull1000)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
