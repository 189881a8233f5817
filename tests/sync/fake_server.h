// A small scripted server daemon for the engine's tests: it listens on a
// Unix socket of the test's own, serves one connection at a time on a thread
// of its own, and answers connect, pull and keep-alive from a change
// history the test fills in. Faults are switched on per test (a refused
// greeting, a connection dropped instead of answering a pull).
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proto/channel.h"
#include "proto/messages.h"
#include "sync/server_connection.h"

namespace tide::test {

class FakeServer {
 public:
  explicit FakeServer(const std::string& socket_path) : m_path(socket_path) {
    m_listen = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", m_path.c_str());
    unlink(m_path.c_str());
    m_ok = m_listen >= 0 && bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
           listen(m_listen, 8) == 0;
    m_thread = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    m_stop = 1;
    m_thread.join();
    if (m_listen >= 0) close(m_listen);
    unlink(m_path.c_str());
  }

  bool ok() const { return m_ok; }

  // Appends a change to the history; the pull answers every change after
  // the asked position, and the sync id of the last one (or the asked
  // position when none is newer).
  void AddChange(const NServerEvent& change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_history.push_back(change);
  }
  void SetConnectStatus(uint32_t status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connect_status = status;
  }
  // The next `count` pulls are read and then answered by hanging up.
  void DropPulls(int count) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_drop_pulls = count;
  }

  int Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
  }
  int KeepAlives() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_keep_alives;
  }
  std::vector<uint64_t> PulledFrom() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pulled_from;
  }

 private:
  void Serve() {
    while (!m_stop) {
      pollfd p{m_listen, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      int fd = accept(m_listen, nullptr, nullptr);
      if (fd < 0) continue;
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_connections;
      }
      Channel channel;
      channel.Open(fd, true);
      channel.SetTimeout(0);
      channel.SetAbortFlag(&m_stop);
      while (!m_stop && HandleOne(&channel) == 0) {
      }
      channel.Close();
    }
  }

  // 0: go on with the connection; -1: close it.
  int HandleOne(Channel* channel) {
    uint32_t command = 0;
    if (channel->ReadU32(&command) != 0) return -1;
    std::lock_guard<std::mutex> lock(m_mutex);
    switch (command) {
      case SERVER_CMD_CONNECT: {
        NConnectRequest request;
        if (request.Recv(channel) != 0) return -1;
        NConnectResponse response;
        response.m_error_code = m_connect_status;
        response.m_conn_num = static_cast<uint32_t>(m_connections);
        return response.Send(channel) == 0 && m_connect_status == 0 ? 0 : -1;
      }
      case SERVER_CMD_PULL_EVENTS: {
        NPullEventRequest request;
        if (request.Recv(channel) != 0) return -1;
        m_pulled_from.push_back(request.m_sync_id);
        if (m_drop_pulls > 0) {
          --m_drop_pulls;
          return -1;
        }
        NPullEventResponse response;
        response.m_sync_id = request.m_sync_id;
        for (const NServerEvent& change : m_history) {
          if (change.m_sync_id <= request.m_sync_id) continue;
          response.m_events.push_back(change);
          response.m_sync_id = change.m_sync_id;
        }
        return response.Send(channel) == 0 ? 0 : -1;
      }
      case SERVER_CMD_KEEP_ALIVE:
        ++m_keep_alives;  // no answer: the request has no body either
        return 0;
      default:
        return -1;
    }
  }

  std::string m_path;
  int m_listen = -1;
  bool m_ok = false;
  std::atomic<int> m_stop{0};
  std::thread m_thread;
  std::mutex m_mutex;
  std::vector<NServerEvent> m_history;  // guarded by m_mutex
  uint32_t m_connect_status = 0;        // guarded by m_mutex
  int m_drop_pulls = 0;                 // guarded by m_mutex
  int m_connections = 0;                // guarded by m_mutex
  int m_keep_alives = 0;                // guarded by m_mutex
  std::vector<uint64_t> m_pulled_from;  // guarded by m_mutex
};

inline NServerEvent Change(uint64_t view_id, const std::string& path, uint64_t sync_id, uint64_t node_id,
                           uint32_t flags = 0) {
  NServerEvent e;
  e.m_view_id = view_id;
  e.m_path = path;
  e.m_sync_id = sync_id;
  e.m_node_id = node_id;
  e.m_flags = flags;
  e.m_size = 3;
  e.m_hash = flags & NServerEvent::FLAG_DIR ? "" : "0123456789abcdef0123456789abcdef";
  return e;
}

}  // namespace tide::test
