// Test helpers: a socket pair with one end in a Channel and the other left
// raw, so that tests can see and forge the exact bytes on the wire.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "proto/channel.h"

namespace tide::test {

inline std::string Hex(const std::string& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out += ' ';
    out += DIGITS[c >> 4];
    out += DIGITS[c & 0xf];
  }
  return out;
}

// "01 02 ff" → bytes.
inline std::string Bytes(const std::string& hex) {
  std::string out;
  unsigned value = 0;
  int digits = 0;
  for (char c : hex) {
    int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (d < 0) continue;
    value = value * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out += static_cast<char>(value);
      value = 0;
      digits = 0;
    }
  }
  return out;
}

// Big-endian builders for expected wire images.
inline std::string U16(uint16_t v) { return std::string{static_cast<char>(v >> 8), static_cast<char>(v)}; }
inline std::string U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)) + U16(static_cast<uint16_t>(v)); }
inline std::string U64(uint64_t v) { return U32(static_cast<uint32_t>(v >> 32)) + U32(static_cast<uint32_t>(v)); }
inline std::string Str16(const std::string& s) { return U16(static_cast<uint16_t>(s.size())) + s; }
inline std::string Str32(const std::string& s) { return U32(static_cast<uint32_t>(s.size())) + s; }

class WirePeer {
 public:
  WirePeer() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    m_raw = fds[1];
    EXPECT_EQ(0, m_channel.Open(fds[0], true));
    m_channel.SetTimeout(10);
  }
  ~WirePeer() {
    m_channel.Close();
    CloseRaw();
  }

  Channel& channel() { return m_channel; }
  int raw() const { return m_raw; }
  void CloseRaw() {
    if (m_raw >= 0) close(m_raw);
    m_raw = -1;
  }

  void SendRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = send(m_raw, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }

  // Everything that arrives within `wait_ms` of quiet.
  std::string Drain(int wait_ms = 200) {
    std::string out;
    char buf[65536];
    for (;;) {
      struct pollfd p = {m_raw, POLLIN, 0};
      if (poll(&p, 1, wait_ms) <= 0) break;
      ssize_t n = recv(m_raw, buf, sizeof(buf), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // Exactly `count` bytes (or fewer if the other end goes quiet for 10 s).
  std::string Receive(size_t count) {
    std::string out;
    char buf[65536];
    while (out.size() < count) {
      struct pollfd p = {m_raw, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) break;
      ssize_t n = recv(m_raw, buf, std::min(sizeof(buf), count - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  Channel m_channel;
  int m_raw = -1;
};

// Two channels joined by a socket pair.
struct ChannelPair {
  ChannelPair() {
    int fds[2];
    EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    EXPECT_EQ(0, m_a.Open(fds[0], true));
    EXPECT_EQ(0, m_b.Open(fds[1], true));
    m_a.SetTimeout(10);
    m_b.SetTimeout(10);
  }
  Channel m_a;
  Channel m_b;
};

}  // namespace tide::test
