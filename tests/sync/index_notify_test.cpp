#include "sync/index_notify.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tide {
namespace {

// A stand-in for the indexing service: collects one message per connection.
class IndexListener {
 public:
  explicit IndexListener(const std::string& path) : m_path(path) {
    // Non-blocking: Notify has connected before it returns, so every
    // message is queued by the time the test drains them.
    m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(m_fd, 64);
  }
  ~IndexListener() { close(m_fd); }
  // Messages already queued (the sender closes each connection after
  // writing, so reading to the end never waits long).
  std::vector<std::string> Drain() {
    std::vector<std::string> messages;
    for (;;) {
      int client = accept4(m_fd, nullptr, nullptr, SOCK_NONBLOCK);
      if (client < 0) break;
      std::string message;
      char buffer[512];
      for (;;) {
        ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got > 0) {
          message.append(buffer, static_cast<size_t>(got));
          continue;
        }
        if (got < 0 && errno == EAGAIN) {
          usleep(1000);
          continue;
        }
        break;
      }
      close(client);
      messages.push_back(message);
    }
    return messages;
  }

 private:
  std::string m_path;
  int m_fd;
};

TEST(IndexNotifier, SendsOneMessageOrNothing) {
  test::TempDir m_dir;
  IndexNotifier notifier{true, m_dir / "index.sock"};
  {
    IndexListener listener(notifier.m_socket_path);
    EXPECT_EQ(notifier.Notify(INDEX_DIRECTORY_REMOVED, "/volume1/share/dir"), 0);
    EXPECT_EQ(notifier.Notify(INDEX_FILE_REMOVED, "/volume1/share/f"), 0);
    EXPECT_EQ(listener.Drain(), (std::vector<std::string>{"D/volume1/share/dir", "d/volume1/share/f"}));

    IndexNotifier off{false, notifier.m_socket_path};
    EXPECT_EQ(off.Notify(INDEX_ADDED, "/x"), 0);
    EXPECT_TRUE(listener.Drain().empty());
  }
  notifier.m_socket_path = m_dir / "nobody-listens";
  EXPECT_LT(notifier.Notify(INDEX_ADDED, "/x"), 0);
}

}  // namespace
}  // namespace tide
