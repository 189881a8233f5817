#include "sync/server_connection.h"

#include <cstring>

#include "core/logger.h"

namespace tide {
namespace {

// The exchange code is shared by the syncers and the workers, and every
// line must carry the caller's module tag and obey the caller's log level,
// so the tag is a run-time argument here rather than the usual macro.
#define MLOG(module, level, level_name, fmt, ...)                                                   \
  ::tide::Logger::Log(level, (module).m_component, "[" level_name "] %s(%d): " fmt "\n", (module).m_tag, \
                      __LINE__ __VA_OPT__(, ) __VA_ARGS__)

void MarkBroken(ServerConnection* connection) {
  connection->m_channel.Close();
  connection->m_conn_num = -1;
}

}  // namespace

ConnectionPool& ConnectionPool::Instance() {
  static ConnectionPool pool;
  return pool;
}

int ConnectionPool::Initialize(int count) {
  if (count < 1) return -1;
  MutexLock lock(&m_mutex);
  m_free.clear();
  m_owned.clear();
  for (int i = 0; i < count; ++i) {
    m_owned.push_back(std::make_unique<ServerConnection>());
    m_free.push_back(m_owned.back().get());
  }
  m_available.notify_all();
  return 0;
}

ServerConnection* ConnectionPool::Take() {
  MutexLock lock(&m_mutex);
  ++m_takers_waiting;
  while (m_free.empty()) m_available.wait(m_mutex);
  --m_takers_waiting;
  ServerConnection* connection = m_free.front();
  m_free.pop_front();
  return connection;
}

void ConnectionPool::GiveBack(ServerConnection* connection) {
  if (connection == nullptr) return;
  {
    MutexLock lock(&m_mutex);
    m_free.push_back(connection);
    WakeFirstQueuedLocked();
  }
  m_available.notify_one();
}

void ConnectionPool::WakeFirstQueuedLocked() {
  // Under the mutex: the exchange's caller cannot return (and take its
  // condition variable with it) before the mutex is free.
  if (!m_free.empty() && !m_queued.empty()) m_queued.front()->m_wake.notify_one();
}

int ConnectionPool::Exchange(QueuedExchange* mine) {
  ServerConnection* connection = nullptr;
  {
    MutexLock lock(&m_mutex);
    m_queued.push_back(mine);
    while (!mine->m_done && m_free.empty()) mine->m_wake.wait(m_mutex);
    if (mine->m_done) return mine->m_result;
    connection = m_free.front();
    m_free.pop_front();
  }
  // This caller now carries the queue, its own exchange among it.
  bool mine_done = false;
  int carried_after_mine = 0;
  for (;;) {
    QueuedExchange* next = nullptr;
    {
      MutexLock lock(&m_mutex);
      // Once its own answer is in, a caller carries on only for a while,
      // and not at all when a lease (a syncer) waits for the connection.
      bool carry_on = !mine_done || (carried_after_mine < MAX_CARRIED && m_takers_waiting == 0);
      if (carry_on && !m_queued.empty()) {
        next = m_queued.front();
        m_queued.pop_front();
      } else {
        m_free.push_back(connection);
        WakeFirstQueuedLocked();
      }
    }
    if (next == nullptr) break;
    int result = CarryExchange(connection, next);
    if (next == mine) {
      mine_done = true;
    } else if (mine_done) {
      ++carried_after_mine;
    }
    MutexLock lock(&m_mutex);
    next->m_result = result;
    next->m_done = true;
    next->m_wake.notify_one();
  }
  m_available.notify_one();
  return mine->m_result;
}

int ConnectionPool::CarryExchange(ServerConnection* connection, QueuedExchange* exchange) {
  if (connection->m_conn_num == -1 && Connect(connection, SocketPath(), exchange->m_module) < 0) return -1;
  connection->m_channel.SetAbortFlag(exchange->m_abort_flag);
  int result = RunProtocol(connection, exchange->m_command, exchange->m_request, exchange->m_response,
                           exchange->m_module);
  connection->m_channel.SetAbortFlag(nullptr);
  if (result == 0) return 0;
  // A half-finished exchange leaves the stream out of step with the server.
  MarkBroken(connection);
  return result == EXCHANGE_CALLED_OFF ? EXCHANGE_CALLED_OFF : -1;
}

void ConnectionPool::Destroy() {
  MutexLock lock(&m_mutex);
  // Called once every task that could hold a connection has been joined.
  for (auto& connection : m_owned) connection->m_channel.Close();
  m_free.clear();
  m_owned.clear();
}

void ConnectionPool::SetSocketPath(const std::string& path) {
  MutexLock lock(&m_mutex);
  m_socket_path = path.empty() ? SERVER_SOCKET_PATH : path;
}

std::string ConnectionPool::SocketPath() {
  MutexLock lock(&m_mutex);
  return m_socket_path;
}

int RunProtocol(ServerConnection* connection, uint32_t command, Serializable* request, Serializable* response,
                const LogModule& module) {
  Channel* channel = &connection->m_channel;
  auto called_off = [&] {
    if (!channel->Aborted()) return false;
    MLOG(module, LOG_LEVEL_INFO, "INFO", "RunProtocol: exchange called off before the request was out");
    return true;
  };
  if (channel->WriteU32(command) < 0) {
    if (called_off()) return EXCHANGE_CALLED_OFF;
    // The workers have always logged this line without the error text; the
    // syncers add it. Both forms are what people grep the logs for.
    if (strcmp(module.m_tag, "worker") == 0) {
      MLOG(module, LOG_LEVEL_ERROR, "ERROR", "RunProtocol: fail to send command");
    } else {
      MLOG(module, LOG_LEVEL_ERROR, "ERROR", "RunProtocol: fail to send command (%s)", "I/O error");
    }
    return -1;
  }
  if (request->Send(channel) < 0) {
    if (called_off()) return EXCHANGE_CALLED_OFF;
    MLOG(module, LOG_LEVEL_ERROR, "ERROR", "RunProtocol: fail to send request");
    return -1;
  }
  // Once the request is out, the server acts on it whatever we do: its
  // answer is read even when the work was called off meanwhile (a newer
  // change of the path), or the daemon would not know what the server now
  // holds and the server's copy would come back under the old name. Only
  // the channel's own time-out ends the wait.
  channel->SetAbortFlag(nullptr);
  if (response->Recv(channel) < 0) {
    MLOG(module, LOG_LEVEL_ERROR, "ERROR", "RunProtocol: fail to recv response");
    return -1;
  }
  return 0;
}

int Connect(ServerConnection* connection, const std::string& socket_path, const LogModule& module) {
  NConnectRequest request;
  NConnectResponse response;
  MarkBroken(connection);
  if (connection->m_channel.Open(socket_path) < 0) {
    MLOG(module, LOG_LEVEL_ERROR, "ERROR", "fail to connection to server.");
    return -1;
  }
  if (RunProtocol(connection, SERVER_CMD_CONNECT, &request, &response, module) < 0) {
    MLOG(module, LOG_LEVEL_ERROR, "ERROR", "fail to run connect protocol.");
    MarkBroken(connection);
    return -1;
  }
  if (response.m_error_code != 0) {
    MLOG(module, LOG_LEVEL_ERROR, "ERROR", "connect protocol: response %u", response.m_error_code);
    MarkBroken(connection);
    return -1;
  }
  connection->m_conn_num = static_cast<int32_t>(response.m_conn_num);
  MLOG(module, LOG_LEVEL_INFO, "INFO", "connection with server #%d has been established.", connection->m_conn_num);
  return 0;
}

ConnectionLease::ConnectionLease(ConnectionPool& pool) : m_pool(pool), m_connection(pool.Take()) {}

ConnectionLease::~ConnectionLease() {
  if (!m_finished) MarkBroken(m_connection);
  m_pool.GiveBack(m_connection);
}

int ConnectionLease::EnsureConnected(const LogModule& module) {
  if (m_connection->m_conn_num != -1) return 0;
  return Connect(m_connection, m_pool.SocketPath(), module);
}

int RunServerExchange(ConnectionPool& pool, uint32_t command, Serializable* request, Serializable* response,
                      const std::atomic<int>* abort_flag, const LogModule& module,
                      const std::function<void()>& on_answer) {
  if (!on_answer) {
    QueuedExchange exchange(command, request, response, abort_flag, module);
    return pool.Exchange(&exchange);
  }
  ConnectionLease lease(pool);
  if (lease.EnsureConnected(module) < 0) return -1;
  lease->m_channel.SetAbortFlag(abort_flag);
  int result = RunProtocol(lease.Get(), command, request, response, module);
  lease->m_channel.SetAbortFlag(nullptr);
  if (result < 0) return result == EXCHANGE_CALLED_OFF ? EXCHANGE_CALLED_OFF : -1;
  lease.Finished();
  if (on_answer) on_answer();
  return 0;
}

}  // namespace tide
