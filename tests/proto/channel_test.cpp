#include "proto/channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "proto/result_code.h"
#include "wire_peer.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

using test::Bytes;
using test::Hex;
using test::WirePeer;

TEST(proto_ChannelTest, IntegersAreBigEndianBothWays) {
  WirePeer peer;
  Channel& ch = peer.channel();
  ASSERT_EQ(0, ch.WriteU8(0x7f));
  ASSERT_EQ(0, ch.WriteU16(0xabcd));
  ASSERT_EQ(0, ch.WriteU32(0x01020304));
  ASSERT_EQ(0, ch.WriteU64(0x0102030405060708ull));
  ASSERT_EQ(0, ch.FlushWrite(0));
  EXPECT_EQ("7f ab cd 01 02 03 04 01 02 03 04 05 06 07 08", Hex(peer.Receive(15)));

  peer.SendRaw(Bytes("fe ab cd 01 02 03 04 f1 f2 f3 f4 f5 f6 f7 f8"));
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  ASSERT_EQ(0, ch.ReadU8(&u8));
  ASSERT_EQ(0, ch.ReadU16(&u16));
  ASSERT_EQ(0, ch.ReadU32(&u32));
  ASSERT_EQ(0, ch.ReadU64(&u64));
  EXPECT_EQ(0xfe, u8);
  EXPECT_EQ(0xabcd, u16);
  EXPECT_EQ(0x01020304u, u32);
  EXPECT_EQ(0xf1f2f3f4f5f6f7f8ull, u64);
  EXPECT_EQ(0x0807060504030201ull, ch.Swap64(0x0102030405060708ull));
  EXPECT_EQ(0x04030201u, ch.Swap32(0x01020304u));
  EXPECT_EQ(0x0201, ch.Swap16(0x0102));
}

TEST(proto_ChannelTest, FailedReadLeavesValueUntouched) {
  WirePeer peer;
  peer.SendRaw(Bytes("01 02"));
  peer.CloseRaw();
  uint32_t value = 77;
  EXPECT_EQ(RESULT_IO_ERROR, peer.channel().ReadU32(&value));
  EXPECT_EQ(77u, value);
}

TEST(proto_ChannelTest, WriteGathersUntilTheRingOverflows) {
  WirePeer peer;
  Channel& ch = peer.channel();
  std::string block(Channel::BLOCK_SIZE, 'x');
  ASSERT_EQ(0, ch.Write(block.data(), Channel::BLOCK_SIZE));
  EXPECT_EQ(Channel::BLOCK_SIZE, ch.WritePending());
  EXPECT_EQ("", peer.Drain(50));  // nothing sent yet

  ASSERT_EQ(0, ch.Write("y", 1));
  std::string sent = peer.Drain(100);
  EXPECT_GE(sent.size(), 1u);
  EXPECT_LE(ch.WritePending(), Channel::BLOCK_SIZE);
  ASSERT_EQ(0, ch.FlushWrite(0));
  sent += peer.Receive(Channel::BLOCK_SIZE + 1 - sent.size());
  EXPECT_EQ(block + "y", sent);
}

TEST(proto_ChannelTest, OversizedWriteIsRefused) {
  WirePeer peer;
  std::string block(Channel::BLOCK_SIZE + 1, 'x');
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, peer.channel().Write(block.data(), Channel::BLOCK_SIZE + 1));
  EXPECT_EQ(0u, peer.channel().WritePending());
}

TEST(proto_ChannelTest, ShortReadReportsDeliveredCount) {
  WirePeer peer;
  peer.SendRaw("abcd");
  peer.CloseRaw();
  char buf[10];
  uint32_t count = 0;
  EXPECT_EQ(RESULT_IO_ERROR, peer.channel().Read(buf, 10, &count));
  EXPECT_EQ(4u, count);
  EXPECT_EQ("abcd", std::string(buf, 4));
}

TEST(proto_ChannelTest, ClosedChannelRefusesTransfers) {
  Channel ch;
  char buf[4];
  EXPECT_TRUE(ch.IsInvalid());
  EXPECT_EQ(RESULT_IO_ERROR, ch.Write("a", 1));
  EXPECT_EQ(RESULT_IO_ERROR, ch.Read(buf, 4));
  EXPECT_EQ(0, ch.Close());  // closing a closed channel only resets the mode
  std::string address = "x";
  int port = 9;
  EXPECT_EQ(0, ch.GetPeerInfo(&address, &port));
  EXPECT_EQ("", address);
  EXPECT_EQ(0, port);
}

// Random-sized writes and reads through both rings, wrapping many times.
TEST(proto_ChannelTest, RingsCarryAStreamIntact) {
  test::ChannelPair pair;
  std::mt19937 rng(7);
  std::string data(3 * 1024 * 1024, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  std::thread writer([&] {
    std::mt19937 sizes(11);
    size_t done = 0;
    while (done < data.size()) {
      uint32_t n = std::min<uint32_t>(sizes() % Channel::BLOCK_SIZE + 1, static_cast<uint32_t>(data.size() - done));
      ASSERT_EQ(0, pair.m_a.Write(data.data() + done, n));
      done += n;
    }
    ASSERT_EQ(0, pair.m_a.FlushWrite(0));
  });
  std::string got(data.size(), '\0');
  std::mt19937 sizes(13);
  size_t done = 0;
  while (done < data.size()) {
    uint32_t n = std::min<uint32_t>(sizes() % (2 * Channel::BLOCK_SIZE) + 1, static_cast<uint32_t>(data.size() - done));
    ASSERT_EQ(0, pair.m_b.Read(got.data() + done, n));
    done += n;
  }
  writer.join();
  EXPECT_TRUE(got == data);
}

TEST(proto_ChannelTest, SilentPeerTimesOut) {
  WirePeer peer;
  Channel& ch = peer.channel();
  ch.SetWaitTimeout(0, 100000);
  ch.SetTimeout(1);
  char buf[4];
  uint32_t count = 0;
  EXPECT_EQ(RESULT_TIMEOUT, ch.Read(buf, 4, &count));
  EXPECT_EQ(0u, count);
}

TEST(proto_ChannelTest, ProgressRestartsTheTimeoutClock) {
  WirePeer peer;
  Channel& ch = peer.channel();
  ch.SetWaitTimeout(0, 100000);
  ch.SetTimeout(2);
  // Five bytes over about 2.5 s, never more than 0.5 s apart.
  std::thread trickle([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      peer.SendRaw(std::string(1, static_cast<char>('a' + i)));
    }
  });
  char buf[5];
  EXPECT_EQ(0, ch.Read(buf, 5));
  trickle.join();
  EXPECT_EQ("abcde", std::string(buf, 5));
}

TEST(proto_ChannelTest, AbortFlagStopsAReadWithoutTimeout) {
  WirePeer peer;
  Channel& ch = peer.channel();
  std::atomic<int> abort{0};
  ch.SetTimeout(0);
  ch.SetWaitTimeout(0, 50000);
  ch.SetAbortFlag(&abort);
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    abort = 1;
  });
  char buf[4];
  EXPECT_EQ(RESULT_INTERRUPTED, ch.Read(buf, 4));
  setter.join();
  // The flag also stops a flush with something pending.
  ASSERT_EQ(0, ch.Write("abc", 3));
  EXPECT_EQ(RESULT_INTERRUPTED, ch.FlushWrite(0));
  ch.SetAbortFlag(nullptr);
}

TEST(proto_ChannelTest, SecondOpenIsRefusedAndKeepsTheFirstConnection) {
  WirePeer peer;
  int fds[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, peer.channel().Open(fds[0], true));
  close(fds[0]);
  close(fds[1]);
  ASSERT_EQ(0, peer.channel().WriteU8(5));
  ASSERT_EQ(0, peer.channel().FlushWrite(0));
  EXPECT_EQ("05", Hex(peer.Receive(1)));
  Channel fresh;
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, fresh.Open(-1, false));
}

TEST(proto_ChannelTest, OpenUnixPath) {
  test::TempDir dir;
  std::string path = dir / "sock";
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(listener, 1));

  Channel ch;
  ASSERT_EQ(0, ch.Open(path));
  int server_fd = accept(listener, nullptr, nullptr);
  ASSERT_GE(server_fd, 0);
  Channel server;
  ASSERT_EQ(0, server.Open(server_fd, true));
  ASSERT_EQ(0, ch.WriteU32(6));
  ASSERT_EQ(0, ch.FlushWrite(0));
  uint32_t command = 0;
  ASSERT_EQ(0, server.ReadU32(&command));
  EXPECT_EQ(6u, command);
  std::string address = "x";
  int port = -1;
  EXPECT_EQ(0, ch.GetPeerInfo(&address, &port));  // not IPv4: nothing to give
  EXPECT_EQ("", address);
  close(listener);

  Channel missing;
  EXPECT_EQ(RESULT_IO_ERROR, missing.Open(dir / "nobody"));
  EXPECT_TRUE(missing.IsInvalid());
}

TEST(proto_ChannelTest, OpenIPv4Loopback) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
  ASSERT_EQ(0, listen(listener, 1));
  socklen_t len = sizeof(addr);
  ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len));
  int port = ntohs(addr.sin_port);

  Channel ch;
  ASSERT_EQ(0, ch.Open(std::string("127.0.0.1"), port));
  std::string address;
  int peer_port = 0;
  ASSERT_EQ(0, ch.GetPeerInfo(&address, &peer_port));
  EXPECT_EQ("127.0.0.1", address);
  EXPECT_EQ(port, peer_port);
  close(listener);

  // Nothing listens there any more.
  Channel refused;
  EXPECT_EQ(RESULT_SYSTEM_ERROR, refused.Open(std::string("127.0.0.1"), port));
  EXPECT_TRUE(refused.IsInvalid());
  // No address: nothing to do, the channel stays closed.
  Channel none;
  EXPECT_EQ(0, none.Open(std::string(), 80));
  EXPECT_TRUE(none.IsInvalid());
  EXPECT_EQ(RESULT_INVALID_ARGUMENT, none.ConnectWithTimeout(-1, "127.0.0.1", 80));
}

class proto_SslChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    m_cert = m_dir / "server.crt";
    m_key = m_dir / "server.key";
    std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=tide-test -keyout '" + m_key +
                      "' -out '" + m_cert + "' >/dev/null 2>&1";
    ASSERT_EQ(0, system(cmd.c_str()));
    Channel::SetCertPath(m_cert);
    Channel::SetKeyPath(m_key);
  }
  void TearDown() override {
    Channel::SetCertPath("/usr/varn/etc/ssl/ssl.crt/server.crt");
    Channel::SetKeyPath("/usr/varn/etc/ssl/ssl.key/server.key");
  }

  test::TempDir m_dir;
  std::string m_cert;
  std::string m_key;
};

TEST_F(proto_SslChannelTest, ClientAndServerExchangeData) {
  test::ChannelPair pair;
  int server_result = 1;
  std::thread server([&] { server_result = pair.m_b.ConvertToSSLChannel(true); });
  ASSERT_EQ(0, pair.m_a.ConvertToSSLChannel(false));
  server.join();
  ASSERT_EQ(0, server_result);
  EXPECT_TRUE(pair.m_a.IsSSL());
  EXPECT_EQ(0, pair.m_a.ConvertToSSLChannel(false));  // already SSL

  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
  std::thread writer([&] {
    for (size_t done = 0; done < data.size(); done += 50000) ASSERT_EQ(0, pair.m_a.Write(data.data() + done, 50000));
    ASSERT_EQ(0, pair.m_a.FlushWrite(0));
  });
  std::string got(data.size(), '\0');
  ASSERT_EQ(0, pair.m_b.Read(got.data(), static_cast<uint32_t>(got.size())));
  writer.join();
  EXPECT_TRUE(got == data);

  ASSERT_EQ(0, pair.m_b.WriteU32(0xdeadbeef));
  ASSERT_EQ(0, pair.m_b.FlushWrite(0));
  uint32_t v = 0;
  ASSERT_EQ(0, pair.m_a.ReadU32(&v));
  EXPECT_EQ(0xdeadbeefu, v);

  EXPECT_EQ(0, pair.m_a.Close());
  EXPECT_FALSE(pair.m_a.IsSSL());
  char c;
  EXPECT_LT(pair.m_b.Read(&c, 1), 0);
}

TEST_F(proto_SslChannelTest, ServerWithoutCertificateFails) {
  Channel::SetCertPath(m_dir / "missing.crt");
  test::ChannelPair pair;
  EXPECT_EQ(RESULT_IO_ERROR, pair.m_b.ConvertToSSLChannel(true));
  EXPECT_FALSE(pair.m_b.IsSSL());
  EXPECT_FALSE(pair.m_b.IsInvalid());  // still usable as a plain channel
}

TEST_F(proto_SslChannelTest, HandshakeWithSilentPeerTimesOut) {
  test::ChannelPair pair;
  pair.m_a.SetWaitTimeout(1, 0);
  pair.m_a.SetTimeout(2);
  EXPECT_EQ(RESULT_IO_ERROR, pair.m_a.ConvertToSSLChannel(false));
  EXPECT_FALSE(pair.m_a.IsSSL());
}

}  // namespace
}  // namespace tide
