// What both detectors' tests compare and the stand-in they tell about a
// vanished view.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
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

// Either detector, keeping what it hands to the event manager, in order.
template <typename DetectorType>
class Capturing : public DetectorType {
 public:
  using DetectorType::DetectorType;
  std::vector<Event> Take() {
    std::lock_guard<std::mutex> guard(m_lock);
    return std::exchange(m_events, {});
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_events.size();
  }

 protected:
  void Deliver(const Event& event) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(event);
  }

 private:
  std::mutex m_lock;
  std::vector<Event> m_events;
};

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
