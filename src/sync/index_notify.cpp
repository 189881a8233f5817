#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "sync/index_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/logger.h"

namespace tide {

namespace {

int SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return -1;
    data += sent;
    length -= static_cast<size_t>(sent);
  }
  return 0;
}

}  // namespace

int IndexNotifier::Notify(char letter, const std::string& path) const {
  if (!m_enabled) return 0;
  const std::string& socket_path = m_socket_path;
  struct sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof address.sun_path) return -1;
  memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int result = 0;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) < 0) {
    TLOG_DEBUG("NotifyIndex: connect(%s): %s", socket_path.c_str(), strerror(errno));
    result = -1;
  } else {
    // One message: the letter, then the path's bytes; the receiver reads
    // to the end of the connection.
    std::string message(1, letter);
    message += path;
    if (SendAll(fd, message.data(), message.size()) < 0) {
      TLOG_DEBUG("NotifyIndex: send: %s", strerror(errno));
      result = -2;
    }
  }
  close(fd);
  return result;
}

}  // namespace tide
