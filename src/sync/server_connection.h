// The one connection to the server daemon and the pool that lends it out.
//
// Every task that talks to the server (the server event syncer, the progress
// syncer, every worker) takes the connection for one request/response
// exchange and gives it back, also after a failure. A failed exchange closes
// the channel and marks the connection -1 first, so whoever takes it next
// reconnects.
//
// Thread use: the pool's queue is guarded by its mutex and condition
// variable; a taken connection belongs to its taker alone until given back
// (a ConnectionLease holds it for one exchange).
//
// Exchanges that need nothing done between the answer and the next
// exchange queue up instead (ConnectionPool::Exchange): whoever finds the
// connection free carries the queued exchanges one after the other, each
// request sent only once the previous answer is read, and wakes each
// caller with its answer. The server then meets the next request at once,
// instead of after the next worker has been woken and scheduled.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "core/mutex.h"
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

// One request/response exchange waiting for the connection; it lives on its
// caller's stack until m_done.
struct QueuedExchange {
  QueuedExchange(uint32_t command, Serializable* request, Serializable* response,
                 const std::atomic<int>* abort_flag, const LogModule& module)
      : m_command(command), m_request(request), m_response(response), m_abort_flag(abort_flag), m_module(module) {}

  const uint32_t m_command;
  Serializable* const m_request;
  Serializable* const m_response;
  const std::atomic<int>* const m_abort_flag;
  const LogModule& m_module;
  int m_result = -1;
  bool m_done = false;                 // guarded by the pool's mutex
  std::condition_variable_any m_wake;  // answered, or the connection is free
};

class ConnectionPool {
 public:
  // The daemon's pool, for start-up; the parts that use it are handed it.
  static ConnectionPool& Instance();

  // An empty pool of its own (Initialize fills it).
  ConnectionPool() = default;
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Fills the pool with `count` fresh, unconnected connections (start-up
  // makes one). Any connections held before are dropped. 0 or -1.
  int Initialize(int count = 1);
  // Blocks until a connection is free.
  ServerConnection* Take();
  // Runs the exchange, queued behind the others that wait: connect when
  // needed, RunProtocol, close and mark -1 on failure. 0,
  // EXCHANGE_CALLED_OFF or -1.
  int Exchange(QueuedExchange* exchange);
  void GiveBack(ServerConnection* connection);
  // Closes and frees every connection (shutdown, tests).
  void Destroy();

  // Where connections are opened (the server daemon's socket unless set).
  void SetSocketPath(const std::string& path);
  std::string SocketPath();

 private:
  // How many exchanges a caller carries for the others once its own is
  // answered, before it hands the connection on: its own work waits
  // meanwhile.
  static constexpr int MAX_CARRIED = 32;

  int CarryExchange(ServerConnection* connection, QueuedExchange* exchange);
  // Lets the first queued exchange carry, when the connection is free.
  void WakeFirstQueuedLocked() REQUIRES(m_mutex);

  Mutex m_mutex;
  std::condition_variable_any m_available;  // signalled on GiveBack
  std::deque<ServerConnection*> m_free GUARDED_BY(m_mutex);
  std::deque<QueuedExchange*> m_queued GUARDED_BY(m_mutex);
  int m_takers_waiting GUARDED_BY(m_mutex) = 0;
  std::deque<std::unique_ptr<ServerConnection>> m_owned GUARDED_BY(m_mutex);
  std::string m_socket_path GUARDED_BY(m_mutex) = SERVER_SOCKET_PATH;
};

// The pooled connection for the length of one exchange: taken (waiting
// until it is free) when the lease is made, given back when it ends. Unless
// the holder declares the exchange finished (Finished()), the connection
// is closed and marked -1 before it goes back: a half-finished exchange
// leaves the stream out of step with the server, and whoever takes it next
// must reconnect. An early return therefore never hands on a broken stream.
class ConnectionLease {
 public:
  explicit ConnectionLease(ConnectionPool& pool);
  ~ConnectionLease();
  ConnectionLease(const ConnectionLease&) = delete;
  ConnectionLease& operator=(const ConnectionLease&) = delete;

  ServerConnection* Get() const { return m_connection; }
  ServerConnection* operator->() const { return m_connection; }
  // Runs the connect sequence when the connection is not connected. 0 or -1.
  int EnsureConnected(const LogModule& module);
  // The exchange ran to its end: the connection goes back as it is.
  void Finished() { m_finished = true; }

 private:
  ConnectionPool& m_pool;
  ServerConnection* const m_connection;
  bool m_finished = false;
};

// The connect sequence: close, open the server socket at `socket_path`,
// command 1, the greeting, the answer. Sets the connection number. 0 or -1.
int Connect(ServerConnection* connection, const std::string& socket_path, const LogModule& module);

// An exchange called off by its abort flag (a pause, a stop, or a newer
// change of the path) before the request was out: nobody has to look at
// it, so it is logged at INFO only. The connection is closed all the same.
constexpr int EXCHANGE_CALLED_OFF = -2;

// The three-step exchange on a taken, connected connection: the command
// code, the request, the response. 0, EXCHANGE_CALLED_OFF, or -1 (logged
// as the failing step).
int RunProtocol(ServerConnection* connection, uint32_t command, Serializable* request, Serializable* response,
                const LogModule& module);

// Take from `pool`, connect when needed, RunProtocol, close and mark -1 on failure, give
// back. `abort_flag`, when given, is set on the channel for the exchange so
// that a pause or stop interrupts it. `on_answer`, when given, runs after a
// received answer while the connection is still held, so that no other
// exchange slips in between the answer and what the caller does with it.
// 0, EXCHANGE_CALLED_OFF or -1 (the exchange failed; `on_answer` did not
// run in either case).
int RunServerExchange(ConnectionPool& pool, uint32_t command, Serializable* request, Serializable* response,
                      const std::atomic<int>* abort_flag, const LogModule& module,
                      const std::function<void()>& on_answer = nullptr);

}  // namespace tide
