// The reference server's request handling on arbitrary client bytes: command
// codes, request records and the store operations they reach, over one
// connection per input. The history and store persist across inputs (in a
// scratch directory), so later inputs meet the nodes earlier ones made.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "fuzz_input.h"
#include "ref_server.h"
#include "ref_store.h"

namespace {

struct Fixture {
  Fixture() {
    tide::fuzz::QuietLogs();
    {
      std::lock_guard<std::mutex> lock(tide::Logger::log_lock);
      tide::Logger::log_level["refsyncd_debug"] = 0;
    }
    char pattern[] = "/tmp/tide-fuzz-refsyncd-XXXXXX";
    std::string dir = mkdtemp(pattern);
    if (m_store.Open(dir + "/history.sqlite", dir + "/store") != 0) abort();
    tide::RefServerOptions options;
    options.m_socket_path = dir + "/unused";
    options.m_batch = 50;
    m_server = std::make_unique<tide::RefServer>(&m_store, options);
  }
  tide::RefStore m_store;
  std::unique_ptr<tide::RefServer> m_server;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(fds[1], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  // Answers are read away so that a large one never blocks the server.
  std::thread drain([fd = fds[1]] {
    char buffer[65536];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    close(fd);
  });
  fixture.m_server->ServeConnection(fds[0]);
  drain.join();
  return 0;
}
