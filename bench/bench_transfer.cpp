// Throughput of the worker's upload and download handlers, end to end: one
// event through FetchEvent, PrepareEvent and Dispatch against the reference
// server running in a thread of this process. An upload copies the file
// onto the volume, computes its MD4 and lets the server import it; a
// download copies the server's placed copy, syncs it and moves it into
// place. Needs root: the view lives on a private tmpfs at /volume<pid>.
#include <benchmark/benchmark.h>
#include <sched.h>
#include <sys/mount.h>
#undef BLOCK_SIZE  // <sys/mount.h> defines it; Channel has a member of that name
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/client_config.h"
#include "core/logger.h"
#include "core/registry.h"
#include "db/native_client_db.h"
#include "event/event_manager.h"
#include "filter/filter.h"
#include "process_engine.h"
#include "sync/server_connection.h"
#include "sync/worker_native.h"
#include "tests/ref_client.h"

namespace {

using tide::test::FileMD4;
using tide::test::ServerThread;
namespace fs = std::filesystem;

constexpr uint64_t VIEW = 77;

struct Bench {
  Bench() {
    m_volume = "/volume" + std::to_string(getpid());
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    m_made = mkdir(m_volume.c_str(), 0755) == 0;
    if (mount("tide-bench-volume", m_volume.c_str(), "tmpfs", 0, "size=1g,mode=755") != 0) return;
    m_mounted = true;
    char pattern[] = "/tmp/bench-transfer-XXXXXX";
    m_dir = mkdtemp(pattern);
    m_watch = m_volume + "/share";
    fs::create_directories(m_watch);
    tide::ClientConfig::Instance().m_volume_path = m_volume;
    tide::ClientConfig::Instance().m_do_index = false;
    tide::InitFilter();
    tide::NativeClientDb::Instance().Initialize(m_dir + "/db.sqlite");
    tide::NativeClientDb::Instance().InsertViewRoot(VIEW, VIEW);
    tide::Registry::Instance().Add("share", tide::VIEW_ATTR_SHARE, m_watch, VIEW, 0);
    m_server = std::make_unique<ServerThread>(m_dir);
    m_store = std::make_unique<tide::RefStore>();
    m_store->Open(m_server->DbPath(), m_server->StoreDir());
    uint64_t id = 0;
    m_store->AddView(VIEW, m_watch, &id);
    tide::ConnectionPool::Instance().Initialize(1);
    tide::ConnectionPool::Instance().SetSocketPath(m_server->SocketPath());
    m_worker = std::make_unique<tide::WorkerNative>(0, 0, tide::bench::ProcessEngine());
  }
  ~Bench() {
    m_worker.reset();
    tide::ConnectionPool::Instance().Destroy();
    m_server.reset();
    m_store.reset();
    tide::NativeClientDb::Instance().Close();
    tide::Registry::Instance().Clear();
    tide::EventManager::GetInstance().Reset();
    std::error_code ec;
    if (!m_dir.empty()) fs::remove_all(m_dir, ec);
    if (m_mounted) umount2(m_volume.c_str(), MNT_DETACH);
    if (m_made) rmdir(m_volume.c_str());
  }
  bool Ok() const { return m_mounted; }

  // One event as a worker's pass carries it out; the handler's result.
  int Run(int32_t type, const std::string& path, uint64_t sync_id) {
    tide::Event event;
    event.m_type = type;
    event.m_path = path;
    event.m_view_id = VIEW;
    event.m_sync_id = sync_id;
    tide::EventManager::GetInstance().PushEvent(event);
    if (m_worker->FetchEvent() != 0 || m_worker->PrepareEvent() != 0) return -100;
    if (m_worker->Dispatch() != tide::HandlerOutcome::DONE) return -1;
    m_worker->FinishEvent();
    return 0;
  }

  std::string m_volume;
  std::string m_dir;
  std::string m_watch;
  bool m_made = false;
  bool m_mounted = false;
  std::unique_ptr<ServerThread> m_server;
  std::unique_ptr<tide::RefStore> m_store;
  std::unique_ptr<tide::WorkerNative> m_worker;
};

// Each iteration: the file changes (its first 8 bytes), and the change is
// uploaded on the last recorded version.
void BM_UploadLocal(benchmark::State& state) {
  Bench b;
  if (!b.Ok()) return state.SkipWithError("needs root for a private mount");
  size_t size = static_cast<size_t>(state.range(0));
  std::string local = b.m_watch + "/file.bin";
  std::ofstream(local, std::ios::binary) << std::string(size, 'u');
  FILE* file = fopen(local.c_str(), "r+");
  uint64_t i = 0;
  for (auto _ : state) {
    ++i;
    if (fseek(file, 0, SEEK_SET) != 0 || fwrite(&i, sizeof i, 1, file) != 1 || fflush(file) != 0) {
      return state.SkipWithError("write failed");
    }
    if (b.Run(tide::UPLOAD_LOCAL, "/file.bin", 0) != 0) return state.SkipWithError("upload failed");
  }
  fclose(file);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_UploadLocal)->Arg(4096)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

// Each iteration: another client stores a new version (not timed), and the
// worker downloads it over the file it has.
void BM_DownloadRemote(benchmark::State& state) {
  Bench b;
  if (!b.Ok()) return state.SkipWithError("needs root for a private mount");
  size_t size = static_cast<size_t>(state.range(0));
  std::string data = b.m_dir + "/remote";
  uint64_t i = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ++i;
    std::string contents(size, 'd');
    memcpy(contents.data(), &i, sizeof i);
    std::ofstream(data, std::ios::binary | std::ios::trunc) << contents;
    tide::RefUpload upload;
    upload.m_view_id = VIEW;
    upload.m_path = "/file.bin";
    upload.m_force = true;
    upload.m_mtime = 1600000000;
    upload.m_size = size;
    upload.m_hash = FileMD4(data);
    upload.m_data_path = data;
    tide::RefNode node;
    if (b.m_store->Upload(upload, &node) != tide::REF_OK) return state.SkipWithError("server put failed");
    state.ResumeTiming();
    if (b.Run(tide::DOWNLOAD_REMOTE, "/file.bin", node.m_sync_id) != 0) return state.SkipWithError("download failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_DownloadRemote)->Arg(4096)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
