// What both detectors' tests compare and the stand-in they tell about a
// vanished view.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "proto/ipc.h"
#include "event/event.h"
#include "proto/channel.h"
#include "proto/pobject.h"
#include "proto/pstream.h"

namespace tide {

// type, path, view, flags: enough to compare what reached the manager.
struct Seen {
  int32_t m_type;
  std::string m_path;
  uint64_t m_view_id;
  uint32_t m_flags;
  bool operator==(const Seen&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const Seen& s) {
  return out << EventTypeName(s.m_type) << " " << s.m_path << " @" << s.m_view_id << " flags " << s.m_flags;
}

inline std::vector<Seen> Brief(const std::vector<Event>& events) {
  std::vector<Seen> brief;
  for (const Event& e : events) brief.push_back({e.m_type, e.m_path, e.m_view_id, e.m_flags});
  return brief;
}

// A tiny stand-in for the user-database handler: answers one request.
class HandlerStub {
 public:
  explicit HandlerStub(const std::string& path) {
    EXPECT_EQ(0, m_listener.Listen(path));
    m_thread = std::thread([this] {
      if (!m_listener.WaitReadable()) return;
      int fd = m_listener.Accept();
      if (fd < 0) return;
      Channel channel(Channel::BLOCK_SIZE);
      if (channel.Open(fd, true) < 0) return;
      PStream stream;
      if (stream.Recv(&channel, &m_request) < 0) return;
      PObject reply;
      reply["result"] = PObject(int32_t{0});
      PStream().Send(&channel, reply);
    });
  }
  ~HandlerStub() {
    if (m_thread.joinable()) m_thread.join();
  }
  PObject Request() {
    if (m_thread.joinable()) m_thread.join();
    return m_request;
  }

 private:
  IPCListener m_listener;
  std::thread m_thread;
  PObject m_request;
};

}  // namespace tide
