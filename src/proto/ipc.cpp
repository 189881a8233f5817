#define TIDE_LOG_TAG "ipc"
#define TIDE_LOG_COMPONENT "ipc"
#include "proto/ipc.h"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"
#include "proto/pstream.h"

namespace tide {

namespace {

constexpr int LISTEN_BACKLOG = 8;
// Only root and the daemon's own user may connect: the instructions stop
// the daemon and delete views' records.
constexpr mode_t CONTROL_SOCKET_MODE = 0600;

}  // namespace

int IPCListener::Listen(const std::string& path) {
  if (m_fd >= 0 || path.empty()) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    TLOG_ERROR("socket: %s (%d)", strerror(errno), errno);
    return -1;
  }
  unlink(path.c_str());
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));

  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    // Cut short it would bind somewhere else entirely.
    TLOG_ERROR("bind: %s (%d)", strerror(ENAMETOOLONG), ENAMETOOLONG);
    close(fd);
    return -1;
  }
  memcpy(address.sun_path, path.c_str(), path.size());
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) < 0) {
    TLOG_ERROR("bind: %s (%d)", strerror(errno), errno);
    close(fd);
    return -1;
  }
  // The daemon's file-creation mask is 0, so bind() made the file
  // world-writable; nobody can connect before listen(), so tightening it
  // here leaves no window.
  if (chmod(path.c_str(), CONTROL_SOCKET_MODE) < 0) {
    TLOG_ERROR("chmod: %s (%d)", strerror(errno), errno);
    m_fd = fd;
    Close();
    return -1;
  }
  if (listen(fd, LISTEN_BACKLOG) < 0) {
    TLOG_ERROR("listen: %s (%d)", strerror(errno), errno);
    m_fd = fd;
    Close();
    return -1;
  }
  TLOG_DEBUG("listening on domain socket '%s'", path.c_str());
  m_fd = fd;
  return 0;
}

bool IPCListener::WaitReadable() {
  if (m_fd < 0) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(m_fd, &readable);
  struct timeval timeout = {static_cast<time_t>(m_timeout_seconds), static_cast<suseconds_t>(m_timeout_microseconds)};
  return select(m_fd + 1, &readable, nullptr, nullptr, &timeout) > 0 && FD_ISSET(m_fd, &readable);
}

int IPCListener::Accept() {
  if (m_fd < 0) return -1;
  return accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void IPCListener::Close() {
  if (m_fd < 0) return;
  struct sockaddr_un address = {};
  socklen_t length = sizeof(address);
  if (getsockname(m_fd, reinterpret_cast<struct sockaddr*>(&address), &length) < 0) {
    TLOG_ERROR("getsockname: %s (%d).", strerror(errno), errno);
    shutdown(m_fd, SHUT_RDWR);
    close(m_fd);
  } else {
    shutdown(m_fd, SHUT_RDWR);
    close(m_fd);
    if (length > offsetof(struct sockaddr_un, sun_path) && address.sun_path[0] != '\0') unlink(address.sun_path);
  }
  m_fd = -1;
}

bool IPCListener::PeerAllowed(int fd, uid_t* uid, pid_t* pid) {
  struct ucred credentials = {};
  socklen_t length = sizeof(credentials);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0) {
    TLOG_ERROR("getsockopt(SO_PEERCRED): %s (%d)", strerror(errno), errno);
    *uid = static_cast<uid_t>(-1);
    *pid = -1;
    return false;
  }
  *uid = credentials.uid;
  *pid = credentials.pid;
  return credentials.uid == 0 || credentials.uid == geteuid();
}

int IPCSender::Connect(const std::string& path) { return m_channel.Open(path) == 0 ? 0 : -1; }

int IPCSender::Close() {
  m_channel.Close();
  return 0;
}

int IPCSender::Request(const PObject& value, bool wait_reply, PObject* reply) {
  if (Send(value) < 0) return -1;
  return wait_reply ? Receive(reply) : 0;
}

int IPCSender::Send(const PObject& value) {
  PStream stream;
  return stream.Send(&m_channel, value) == 0 ? 0 : -1;
}

int IPCSender::Receive(PObject* value) {
  PStream stream;
  return stream.Recv(&m_channel, value) == 0 ? 0 : -1;
}

}  // namespace tide
