// The one connection to the server daemon and the pool that lends it out.
//
// Every task that talks to the server (the server event syncer, the progress
// syncer, every worker) takes the connection for one request/response
// exchange and gives it back, also after a failure. A failed exchange closes
// the channel and marks the connection -1 first, so whoever takes it next
// reconnects.
//
// Thread use: the pool's queue is guarded by its mutex and condition
// variable; a taken connection belongs to its taker alone until given back.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "proto/channel.h"
#include "proto/messages.h"

namespace tide {

constexpr const char* SERVER_SOCKET_PATH = "/tmp/sfsock";

// Command codes of the server protocol.
constexpr uint32_t SERVER_CMD_CONNECT = 1;
constexpr uint32_t SERVER_CMD_UPLOAD = 2;
constexpr uint32_t SERVER_CMD_DOWNLOAD = 3;
constexpr uint32_t SERVER_CMD_REMOVE = 4;
constexpr uint32_t SERVER_CMD_PULL_EVENTS = 5;
constexpr uint32_t SERVER_CMD_KEEP_ALIVE = 6;

struct ServerConnection {
  int32_t m_conn_num = -1;  // -1: not connected
  Channel m_channel;
};

// Who is talking, for the log lines of the shared exchange code: the
// caller's module tag and log-level component.
struct LogModule {
  const char* m_tag;
  const char* m_component;
};

class ConnectionPool {
 public:
  static ConnectionPool& Instance();

  // Fills the pool with `count` fresh, unconnected connections (start-up
  // makes one). Any connections held before are dropped. 0 or -1.
  int Initialize(int count = 1);
  // Blocks until a connection is free.
  ServerConnection* Take();
  void GiveBack(ServerConnection* connection);
  // Closes and frees every connection (shutdown, tests).
  void Destroy();

  // Where connections are opened; tests point it at a server of their own.
  void SetSocketPathForTest(const std::string& path);
  std::string SocketPath();

 private:
  ConnectionPool() = default;
  std::mutex m_mutex;
  std::condition_variable m_available;                  // signalled on GiveBack
  std::deque<ServerConnection*> m_free;                  // guarded by m_mutex
  std::deque<std::unique_ptr<ServerConnection>> m_owned;  // guarded by m_mutex
  std::string m_socket_path = SERVER_SOCKET_PATH;        // guarded by m_mutex
};

// The connect sequence: close, open the server socket, command 1, the
// greeting, the answer. Sets the connection number. 0 or -1.
int Connect(ServerConnection* connection, const LogModule& module);

// The three-step exchange on a taken, connected connection: the command
// code, the request, the response. 0 or -1 (logged as the failing step).
int RunProtocol(ServerConnection* connection, uint32_t command, Serializable* request, Serializable* response,
                const LogModule& module);

// Take, connect when needed, RunProtocol, close and mark -1 on failure, give
// back. `abort_flag`, when given, is set on the channel for the exchange so
// that a pause or stop interrupts it. 0 or -1.
int RunServerExchange(uint32_t command, Serializable* request, Serializable* response,
                      const std::atomic<int>* abort_flag, const LogModule& module);

}  // namespace tide
