#include "sync/server_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"
#include "fake_server.h"

namespace tide {
namespace {

const LogModule TEST_MODULE{"syncer", "syncer_debug"};

class ServerConnectionTest : public test::EngineTest {};

TEST_F(ServerConnectionTest, ConnectTakesTheServersNumberOrFailsClosed) {
  ServerConnection connection;
  // Nobody listens yet.
  EXPECT_EQ(-1, Connect(&connection, SocketPath(), TEST_MODULE));
  EXPECT_EQ(-1, connection.m_conn_num);

  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  EXPECT_EQ(0, Connect(&connection, SocketPath(), TEST_MODULE));
  EXPECT_EQ(1, connection.m_conn_num);

  // A second connect replaces the first connection.
  server.SetConnectStatus(2);
  EXPECT_EQ(-1, Connect(&connection, SocketPath(), TEST_MODULE));
  EXPECT_EQ(-1, connection.m_conn_num);
  EXPECT_EQ(-1, connection.m_channel.GetFd());
  EXPECT_EQ(2, server.Connections());
}

TEST_F(ServerConnectionTest, ExchangeConnectsOnceAndReconnectsAfterAFailure) {
  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  server.AddChange(test::Change(VIEW, "/a", 5, 100));
  NPullEventRequest request;
  for (int i = 0; i < 2; ++i) {
    NPullEventResponse response;
    ASSERT_EQ(0, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &response, nullptr, TEST_MODULE));
    EXPECT_EQ(5u, response.m_sync_id);
  }
  EXPECT_EQ(1, server.Connections());

  server.DropPulls(1);
  NPullEventResponse dropped;
  EXPECT_EQ(-1, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &dropped, nullptr, TEST_MODULE));
  ServerConnection* connection = m_engine.m_pool.Take();
  EXPECT_EQ(-1, connection->m_conn_num);  // given back broken, marked for reconnection
  m_engine.m_pool.GiveBack(connection);

  NPullEventResponse again;
  EXPECT_EQ(0, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &again, nullptr, TEST_MODULE));
  EXPECT_EQ(2, server.Connections());
}

TEST_F(ServerConnectionTest, RaisedAbortFlagFailsOnlyItsOwnExchange) {
  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  std::atomic<int> abort{1};
  NPullEventRequest request;
  NPullEventResponse response;
  // Called off before the request was out: told apart from a failure, so
  // that a pause or a newer change of the path logs no ERROR.
  EXPECT_EQ(EXCHANGE_CALLED_OFF,
            RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &response, &abort, TEST_MODULE));
  // The flag belongs to that exchange only: the next user is not aborted
  // by it (nor reads it after its owner is gone).
  NPullEventResponse next;
  EXPECT_EQ(0, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &next, nullptr, TEST_MODULE));
}

TEST_F(ServerConnectionTest, TakeWaitsForTheConnectionToComeBack) {
  ConnectionPool& pool = m_engine.m_pool;
  ServerConnection* held = pool.Take();
  ASSERT_NE(nullptr, held);
  std::atomic<ServerConnection*> taken{nullptr};
  std::thread other([&] { taken = pool.Take(); });
  pool.GiveBack(held);
  other.join();
  EXPECT_EQ(held, taken.load());
  pool.GiveBack(taken);
}

// A lease gives the connection back as it is only when its exchange was
// declared finished; any other way out closes it for a reconnection.
TEST_F(ServerConnectionTest, LeaseMarksAnUnfinishedExchangeBroken) {
  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  {
    ConnectionLease lease(m_engine.m_pool);
    ASSERT_EQ(0, lease.EnsureConnected(TEST_MODULE));
    EXPECT_EQ(1, lease->m_conn_num);
    lease.Finished();
  }
  {
    ConnectionLease lease(m_engine.m_pool);
    EXPECT_EQ(1, lease->m_conn_num);  // kept: no second connect
    ASSERT_EQ(0, lease.EnsureConnected(TEST_MODULE));
    // Left without Finished(), as an early return would.
  }
  ConnectionLease lease(m_engine.m_pool);
  EXPECT_EQ(-1, lease->m_conn_num);
  EXPECT_EQ(-1, lease->m_channel.GetFd());
  EXPECT_EQ(1, server.Connections());
}

TEST_F(ServerConnectionTest, AnswerIsHandledWhileTheConnectionIsHeld) {
  test::FakeServer server(SocketPath());
  ASSERT_TRUE(server.ok());
  server.AddChange(test::Change(VIEW, "/a", 5, 100));
  NPullEventRequest request;
  NPullEventResponse response;
  // Another taker starts while the answer is being dealt with: it must not
  // get the connection before the exchange gave it back.
  std::atomic<bool> taken{false};
  bool taken_during_answer = true;
  std::thread other;
  auto on_answer = [&] {
    other = std::thread([&] {
      ServerConnection* connection = m_engine.m_pool.Take();
      taken = true;
      m_engine.m_pool.GiveBack(connection);
    });
    usleep(50 * 1000);
    taken_during_answer = taken.load();
  };
  ASSERT_EQ(0, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &response, nullptr, TEST_MODULE,
                                 on_answer));
  other.join();
  EXPECT_FALSE(taken_during_answer);
  EXPECT_TRUE(taken.load());

  // A failed exchange never hands a half-read answer on.
  server.DropPulls(1);
  bool answered = false;
  EXPECT_EQ(-1, RunServerExchange(m_engine.m_pool, SERVER_CMD_PULL_EVENTS, &request, &response, nullptr, TEST_MODULE,
                                  [&] { answered = true; }));
  EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace tide
