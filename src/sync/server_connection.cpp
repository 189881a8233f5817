// Server connection pool: placeholder until the exchange code lands.
#include "sync/server_connection.h"

namespace tide {

ConnectionPool& ConnectionPool::Instance() {
  static ConnectionPool pool;
  return pool;
}
int ConnectionPool::Initialize(int) { return 0; }
ServerConnection* ConnectionPool::Take() { return nullptr; }
void ConnectionPool::GiveBack(ServerConnection*) {}
void ConnectionPool::Destroy() {}
void ConnectionPool::SetSocketPathForTest(const std::string&) {}
std::string ConnectionPool::SocketPath() { return m_socket_path; }
int Connect(ServerConnection*, const LogModule&) { return -1; }
int RunProtocol(ServerConnection*, uint32_t, Serializable*, Serializable*, const LogModule&) { return -1; }
int RunServerExchange(uint32_t, Serializable*, Serializable*, const std::atomic<int>*, const LogModule&) { return -1; }

}  // namespace tide
