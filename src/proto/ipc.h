// Local Unix-domain sockets carrying PObject values: the listening side of
// the control socket (IPCListener) and the client side other parts use to
// send a value and optionally read one back (IPCSender).
//
// Neither class has a lock: each object belongs to one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "proto/channel.h"
#include "proto/pobject.h"

namespace tide {

class IPCListener {
 public:
  IPCListener() = default;
  ~IPCListener() { Close(); }
  IPCListener(const IPCListener&) = delete;
  IPCListener& operator=(const IPCListener&) = delete;

  // Binds and listens on `path` (any file there is replaced). The socket
  // file is left accessible to its owner only. 0, or -1 after logging.
  int Listen(const std::string& path);
  // Waits up to the time-out (3 s unless set) for a connection to be
  // pending.
  bool WaitReadable();
  void SetWaitTimeout(uint32_t seconds) { m_timeout_seconds = seconds; }
  // An accepted descriptor, or -1.
  int Accept();
  // Stops listening and removes the socket file.
  void Close();
  int GetFd() const { return m_fd; }

  // Whether the peer of an accepted connection may instruct the daemon:
  // root or the daemon's own user. *uid and *pid receive the peer's ids.
  static bool PeerAllowed(int fd, uid_t* uid, pid_t* pid);

 private:
  uint32_t m_timeout_seconds = 3;
  uint32_t m_timeout_microseconds = 0;
  int m_fd = -1;
};

class IPCSender {
 public:
  IPCSender() : m_channel(Channel::BLOCK_SIZE) {}
  virtual ~IPCSender() { Close(); }
  IPCSender(const IPCSender&) = delete;
  IPCSender& operator=(const IPCSender&) = delete;

  // Each of these returns 0 or -1.
  int Connect(const std::string& path);
  int Close();
  // Sends `value`; with `wait_reply` then reads the answer into *reply.
  virtual int Request(const PObject& value, bool wait_reply, PObject* reply);
  virtual int Send(const PObject& value);
  virtual int Receive(PObject* value);

  Channel& GetChannel() { return m_channel; }

 private:
  Channel m_channel;
};

}  // namespace tide
