// Shared by the fuzz targets: hands one fuzz input to a Channel through a
// socket pair whose far end is closed after the bytes, so that every read
// past the input ends with an I/O error instead of a wait.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "core/logger.h"
#include "proto/channel.h"

namespace tide::fuzz {

// Quiet logger: the targets produce thousands of error lines per second.
inline void QuietLogs() {
  static bool done = false;
  if (done) return;
  done = true;
  char path[] = "/tmp/tide-fuzz-levels-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return;
  static const char LEVELS[] = "channel_debug=0\nproto_common_debug=0\nstream=0\n";
  if (write(fd, LEVELS, sizeof(LEVELS) - 1) < 0) {
  }
  close(fd);
  Logger::Initialize(LOG_TYPE_STDERR, "", path, 10);
  unlink(path);
}

// Opens `channel` on a socket pair holding `data`; false when the pair cannot
// be made. Input beyond the socket buffer is cut (inputs are small anyway).
inline bool Feed(Channel* channel, const uint8_t* data, size_t size) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  size_t done = 0;
  while (done < size) {
    ssize_t n = send(fds[1], data + done, size - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fds[1]);
  channel->Close();
  if (channel->Open(fds[0], true) != 0) {
    close(fds[0]);
    return false;
  }
  channel->SetTimeout(1);
  return true;
}

}  // namespace tide::fuzz
