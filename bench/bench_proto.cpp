// Throughput of the wire layer: the channel against bare send/recv on the
// same kind of socket pair, value-stream encode/decode, and the file checksum
// against a bare loop over librsync's MD4.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <librsync.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/logger.h"
#include "proto/channel.h"
#include "proto/checksum.h"
#include "proto/pstream.h"

namespace {

constexpr size_t CHUNK = 64 * 1024;
constexpr size_t STREAM_BYTES = 64 * 1024 * 1024;

void WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void ReadAll(int fd, char* data, size_t size) {
  while (size > 0) {
    ssize_t n = recv(fd, data, size, 0);
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// 64 MiB in 64 KiB writes and reads, plain sockets.
void BM_SocketPairBare(benchmark::State& state) {
  std::vector<char> out(CHUNK, 'x'), in(CHUNK);
  for (auto _ : state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    std::thread writer([&] {
      for (size_t done = 0; done < STREAM_BYTES; done += CHUNK) WriteAll(fds[0], out.data(), CHUNK);
    });
    for (size_t done = 0; done < STREAM_BYTES; done += CHUNK) ReadAll(fds[1], in.data(), CHUNK);
    writer.join();
    close(fds[0]);
    close(fds[1]);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * STREAM_BYTES));
}
BENCHMARK(BM_SocketPairBare)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same through two channels: Write + FlushWrite per chunk, Read per chunk.
void BM_SocketPairChannel(benchmark::State& state) {
  std::vector<char> out(CHUNK, 'x'), in(CHUNK);
  for (auto _ : state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    tide::Channel a, b;
    a.Open(fds[0], true);
    b.Open(fds[1], true);
    std::thread writer([&] {
      for (size_t done = 0; done < STREAM_BYTES; done += CHUNK) {
        a.Write(out.data(), CHUNK);
        a.FlushWrite(0);
      }
    });
    for (size_t done = 0; done < STREAM_BYTES; done += CHUNK) b.Read(in.data(), CHUNK);
    writer.join();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * STREAM_BYTES));
}
BENCHMARK(BM_SocketPairChannel)->Unit(benchmark::kMillisecond)->UseRealTime();

tide::PObject ControlMessage() {
  tide::PObject msg;
  msg["action"] = "enable";
  msg["user_list"] = tide::PObject(tide::PArray{});
  for (uint32_t i = 0; i < 3; ++i) {
    tide::PObject user;
    user["name"] = "user" + std::to_string(i);
    user["uid"] = 1000u + i;
    msg["user_list"].AsArray().push_back(user);
  }
  return msg;
}

tide::PObject BigMap() {
  tide::PObject map;
  for (uint32_t i = 0; i < 10000; ++i) map["key" + std::to_string(i)] = i;
  return map;
}

// Encode: Send into a channel whose far end a thread drains.
void EncodeBench(benchmark::State& state, const tide::PObject& value) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  std::atomic<bool> done{false};
  std::thread drain([&] {
    std::vector<char> sink(1 << 20);
    while (!done) {
      struct pollfd p = {fds[1], POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && recv(fds[1], sink.data(), sink.size(), 0) <= 0) break;
    }
  });
  tide::Channel channel;
  channel.Open(fds[0], true);
  tide::PStream stream;
  for (auto _ : state) stream.Send(&channel, value);
  done = true;
  drain.join();
  channel.Close();
  close(fds[1]);
}

// Decode: Recv from a channel that a thread keeps feeding with the encoding.
void DecodeBench(benchmark::State& state, const tide::PObject& value) {
  int enc[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, enc);
  std::string bytes;
  {
    tide::Channel c;
    c.Open(enc[0], true);
    std::thread collect([&] {
      char buf[65536];
      ssize_t n;
      while ((n = recv(enc[1], buf, sizeof(buf), 0)) > 0) bytes.append(buf, static_cast<size_t>(n));
    });
    tide::PStream().Send(&c, value);
    c.Close();
    collect.join();
    close(enc[1]);
  }
  int fds[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
  std::atomic<bool> done{false};
  std::thread feed([&] {
    while (!done) WriteAll(fds[1], bytes.data(), bytes.size());
  });
  tide::Channel channel;
  channel.Open(fds[0], true);
  tide::PStream stream;
  for (auto _ : state) {
    tide::PObject got;
    stream.Recv(&channel, &got);
  }
  done = true;
  shutdown(fds[0], SHUT_RDWR);
  feed.join();
  channel.Close();
  close(fds[1]);
}

void BM_PStreamEncodeControl(benchmark::State& state) { EncodeBench(state, ControlMessage()); }
void BM_PStreamDecodeControl(benchmark::State& state) { DecodeBench(state, ControlMessage()); }
void BM_PStreamEncodeMap10k(benchmark::State& state) { EncodeBench(state, BigMap()); }
void BM_PStreamDecodeMap10k(benchmark::State& state) { DecodeBench(state, BigMap()); }
BENCHMARK(BM_PStreamEncodeControl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PStreamDecodeControl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PStreamEncodeMap10k)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PStreamDecodeMap10k)->Unit(benchmark::kMicrosecond);

constexpr size_t MD4_FILE_BYTES = size_t{1} << 30;

const std::string& Md4File() {
  static std::string path = [] {
    std::string p = "/tmp/tide-bench-md4-1g";
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char> block(1 << 20);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131 + 7);
    for (size_t done = 0; done < MD4_FILE_BYTES; done += block.size())
      if (write(fd, block.data(), block.size()) < 0) break;
    close(fd);
    return p;
  }();
  return path;
}

void BM_RSCalcMD4_1GiB(benchmark::State& state) {
  const std::string& path = Md4File();
  unsigned char digest[16];
  for (auto _ : state) tide::RSCalcMD4(path, digest, nullptr);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MD4_FILE_BYTES));
}
BENCHMARK(BM_RSCalcMD4_1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);

// Bare loop: read 4096-byte pieces, feed librsync's MD4.
void BM_BareMD4Loop_1GiB(benchmark::State& state) {
  const std::string& path = Md4File();
  alignas(16) unsigned char md_state[256];
  rs_mdfour_t* md = reinterpret_cast<rs_mdfour_t*>(md_state);
  unsigned char digest[16];
  unsigned char buf[4096];
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY);
    rs_mdfour_begin(md);
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) rs_mdfour_update(md, buf, static_cast<size_t>(n));
    rs_mdfour_result(md, digest);
    close(fd);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * MD4_FILE_BYTES));
}
BENCHMARK(BM_BareMD4Loop_1GiB)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink("/tmp/tide-bench-md4-1g");
  return 0;
}
