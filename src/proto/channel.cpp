#define TIDE_LOG_TAG "channel"
#define TIDE_LOG_COMPONENT "channel_debug"
#include "core/logger.h"

#include "proto/channel.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>

#include "proto/result_code.h"

namespace tide {

namespace {

std::mutex s_ssl_path_lock;

using Clock = std::chrono::steady_clock;

// True once `timeout` seconds (0 = never) have passed since `since`.
bool TimedOut(uint32_t timeout, Clock::time_point since) {
  return timeout != 0 && Clock::now() - since >= std::chrono::seconds(timeout);
}

int plain_get_fd(void* handle) { return handle == nullptr ? -1 : *static_cast<int*>(handle); }

bool plain_is_invalid(void* handle) { return handle == nullptr || *static_cast<int*>(handle) == -1; }

void plain_close(void* handle) {
  if (handle == nullptr) return;
  int* cell = static_cast<int*>(handle);
  if (*cell != -1) {
    if (shutdown(*cell, SHUT_RDWR) < 0) TLOG_ERROR("Channel: shutdown: %s", strerror(errno));
    close(*cell);
    TLOG_DEBUG("Channel: socket %d closed", *cell);
  }
  delete cell;
}

int ssl_get_fd(void* handle) { return handle == nullptr ? -1 : SSL_get_fd(static_cast<SSL*>(handle)); }

bool ssl_channel_is_invalid(void* handle) { return handle == nullptr; }

void ssl_channel_close(void* handle) {
  TLOG_DEBUG("destroy ssl obj %p", handle);
  if (handle == nullptr) return;
  SSL* ssl = static_cast<SSL*>(handle);
  int fd = SSL_get_fd(ssl);
  SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
  if (fd >= 0) {
    if (shutdown(fd, SHUT_RDWR) < 0) TLOG_ERROR("Channel: shutdown: %s", strerror(errno));
    close(fd);
    TLOG_DEBUG("Channel: socket %d closed", fd);
  }
}

void LogSSLErrors() {
  unsigned long err;
  char text[256];
  while ((err = ERR_get_error()) != 0) {
    ERR_error_string_n(err, text, sizeof(text));
    TLOG_ERROR("ssl-errors: %s", text);
  }
}

// Frees a session that never completed its handshake: no close notify.
void FreeQuietly(SSL* ssl) {
  SSL_CTX* ctx = SSL_get_SSL_CTX(ssl);
  SSL_set_quiet_shutdown(ssl, 1);
  SSL_shutdown(ssl);
  SSL_free(ssl);
  SSL_CTX_free(ctx);
}

// One select() for readability or writability of `fd` → 1 ready, 0 timed
// out, -1 failed (errno set), -2 returned without the descriptor set.
int WaitFd(int fd, bool for_write, const struct timeval& wait) {
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fd, &set);
  struct timeval tv = wait;
  int r = select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &tv);
  if (r < 0) return -1;
  if (r == 0) return 0;
  return FD_ISSET(fd, &set) ? 1 : -2;
}

}  // namespace

std::string Channel::m_cert_path = "/usr/varn/etc/ssl/ssl.crt/server.crt";
std::string Channel::m_key_path = "/usr/varn/etc/ssl/ssl.key/server.key";

void Channel::SetCertPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(s_ssl_path_lock);
  m_cert_path = path;
}
void Channel::SetKeyPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(s_ssl_path_lock);
  m_key_path = path;
}
std::string Channel::GetCertPath() {
  std::lock_guard<std::mutex> lock(s_ssl_path_lock);
  return m_cert_path;
}
std::string Channel::GetKeyPath() {
  std::lock_guard<std::mutex> lock(s_ssl_path_lock);
  return m_key_path;
}

Channel::Channel(uint32_t capacity) : m_capacity(capacity) {
  m_write_buf = new uint8_t[capacity];
  m_read_buf = new uint8_t[capacity];
  SetMode(1);
}

Channel::~Channel() {
  Close();
  delete[] m_write_buf;
  delete[] m_read_buf;
}

void Channel::SetMode(int mode) {
  if (mode == 1)
    m_mode = Mode{&Channel::ReadFd, &Channel::WriteFd, &plain_get_fd, &plain_close, &plain_is_invalid};
  else
    m_mode = Mode{&Channel::SSLReadFd, &Channel::SSLWriteFd, &ssl_get_fd, &ssl_channel_close,
                  &ssl_channel_is_invalid};
}

void Channel::SetWaitTimeout(long seconds, long microseconds) {
  m_wait.tv_sec = seconds;
  m_wait.tv_usec = microseconds;
}

int Channel::GetFd() { return m_mode.m_get_fd(m_handle); }

bool Channel::IsInvalid() { return m_mode.m_is_invalid(m_handle); }

void Channel::SetTimeout(uint32_t seconds) { m_timeout = seconds; }

void Channel::SetAbortFlag(const std::atomic<int>* flag) { m_abort = flag; }

void Channel::ResetReadBuffer() { m_read_head = m_read_size = 0; }

void Channel::ResetWriteBuffer() { m_write_head = m_write_size = 0; }

void Channel::StoreFd(int fd) {
  m_handle = new int(fd);
  ResetReadBuffer();
  ResetWriteBuffer();
}

int Channel::Open(const std::string& unix_path) {
  // Owners close before reopening; closing here too keeps a forgotten Close
  // from leaking the old socket.
  if (m_handle != nullptr) Close();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    TLOG_ERROR("Channel: Can not open socket. %s", strerror(errno));
    return RESULT_SYSTEM_ERROR;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, unix_path.c_str(), sizeof(addr.sun_path) - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
    TLOG_ERROR("Channel: Can not connect to server at '%s'. %s", unix_path.c_str(), strerror(errno));
    close(fd);
    return RESULT_IO_ERROR;
  }
  if (SetNonBlock(fd) < 0) {
    close(fd);
    return RESULT_SYSTEM_ERROR;
  }
  StoreFd(fd);
  return RESULT_OK;
}

int Channel::Open(int fd, bool configure) {
  if (!IsInvalid()) {
    TLOG_ERROR("Open: Channel already opened [%d]", GetFd());
    TLOG_ERROR("Open: %s", ResultText(RESULT_INVALID_ARGUMENT));
    return RESULT_INVALID_ARGUMENT;
  }
  if (configure) {
    if (SetLinger(fd, 1) < 0) {
      TLOG_ERROR("Open: SetLinger to socket [%d] failed, %s", fd, strerror(errno));
      return RESULT_SYSTEM_ERROR;
    }
    if (SetNonBlock(fd) < 0) {
      TLOG_ERROR("Open: SetNonBlock to socket [%d] failed, %s", fd, strerror(errno));
      return RESULT_SYSTEM_ERROR;
    }
  }
  if (fd == -1) return RESULT_INVALID_ARGUMENT;
  StoreFd(fd);
  TLOG_DEBUG("Channel: opening socket %d", fd);
  return RESULT_OK;
}

int Channel::Open(const std::string& ipv4_address, int port) {
  if (ipv4_address.empty() || port < 0) return RESULT_OK;
  if (m_handle != nullptr) Close();
  int fd = CreateSocket();
  if (fd < 0) return RESULT_IO_ERROR;
  if (SetLinger(fd, 1) < 0 || SetNonBlock(fd) < 0 || ConnectWithTimeout(fd, ipv4_address, port) != 0) {
    close(fd);
    return RESULT_SYSTEM_ERROR;
  }
  StoreFd(fd);
  return RESULT_OK;
}

int Channel::Close() {
  if (!IsInvalid()) {
    int r = FlushWrite(0);
    if (r < 0) {
      TLOG_ERROR("FlushWrite: %s", ResultText(r));
      ResetReadBuffer();
      ResetWriteBuffer();
    }
    m_mode.m_close(m_handle);
    m_handle = nullptr;
  } else if (m_handle != nullptr) {
    // A cell holding -1 still has to be freed.
    m_mode.m_close(m_handle);
    m_handle = nullptr;
  }
  m_ssl = 0;
  SetMode(1);
  return RESULT_OK;
}

uint64_t Channel::Swap64(uint64_t value) { return __builtin_bswap64(value); }
uint32_t Channel::Swap32(uint32_t value) { return __builtin_bswap32(value); }
uint16_t Channel::Swap16(uint16_t value) { return __builtin_bswap16(value); }

int Channel::ReadU8(uint8_t* value) {
  uint8_t b;
  int r = Read(&b, 1);
  if (r == 0) *value = b;
  return r;
}

int Channel::ReadU16(uint16_t* value) {
  uint8_t b[2];
  int r = Read(b, 2);
  if (r == 0) *value = static_cast<uint16_t>((b[0] << 8) | b[1]);
  return r;
}

int Channel::ReadU32(uint32_t* value) {
  uint8_t b[4];
  int r = Read(b, 4);
  if (r == 0) *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return r;
}

int Channel::ReadU64(uint64_t* value) {
  uint8_t b[8];
  int r = Read(b, 8);
  if (r == 0) {
    uint64_t v = 0;
    for (uint8_t byte : b) v = (v << 8) | byte;
    *value = v;
  }
  return r;
}

int Channel::WriteU8(uint8_t value) { return Write(&value, 1); }

int Channel::WriteU16(uint16_t value) {
  uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return Write(b, 2);
}

int Channel::WriteU32(uint32_t value) {
  uint8_t b[4];
  for (int i = 3; i >= 0; --i, value >>= 8) b[i] = static_cast<uint8_t>(value);
  return Write(b, 4);
}

int Channel::WriteU64(uint64_t value) {
  uint8_t b[8];
  for (int i = 7; i >= 0; --i, value >>= 8) b[i] = static_cast<uint8_t>(value);
  return Write(b, 8);
}

int Channel::Write(const void* buffer, uint32_t length) {
  if (IsInvalid()) return RESULT_IO_ERROR;
  if (length > m_capacity) {
    TLOG_ERROR("Write: Exceed maximum data block size");
    return RESULT_INVALID_ARGUMENT;
  }
  if (uint64_t{m_write_size} + length > m_capacity) {
    int r = FlushWrite(m_write_size + length - m_capacity);
    if (r < 0) {
      TLOG_ERROR("Write: FlushWrite failed");
      return r;
    }
  }
  const uint8_t* src = static_cast<const uint8_t*>(buffer);
  uint32_t tail = m_write_head + m_write_size;
  if (tail >= m_capacity) tail -= m_capacity;
  uint32_t first = std::min(length, m_capacity - tail);
  if (first > 0) memcpy(m_write_buf + tail, src, first);
  if (length > first) memcpy(m_write_buf, src + first, length - first);
  m_write_size += length;
  TLOG_DEBUG("Write: write %d bytes", static_cast<int>(length));
  return RESULT_OK;
}

int Channel::FlushWrite(uint32_t min_bytes) {
  // Asking for more than is pending can never be satisfied: send it all.
  uint32_t n = (min_bytes == 0 || min_bytes > m_write_size) ? m_write_size : min_bytes;
  Clock::time_point last_progress = Clock::now();
  uint32_t sent = 0;
  while (sent < n) {
    if (Aborted()) return RESULT_INTERRUPTED;
    uint32_t stretch = std::min(m_write_size, m_capacity - m_write_head);
    TLOG_DEBUG("WriteFd: from %d, len %d", static_cast<int>(m_write_head), static_cast<int>(stretch));
    int r = m_mode.m_write(m_handle, m_write_buf + m_write_head, stretch, m_wait);
    if (r == RESULT_TIMEOUT) {
      if (TimedOut(m_timeout, last_progress)) {
        TLOG_ERROR("FlushWrite: Channel timeout for %u seconds", m_timeout);
        return RESULT_TIMEOUT;
      }
      continue;
    }
    if (r < 0) return r;
    last_progress = Clock::now();
    sent += r;
    m_write_head += r;
    m_write_size -= r;
    if (m_write_head >= m_capacity || m_write_size == 0) m_write_head = 0;
  }
  TLOG_DEBUG("FlushWrite: flush at least %d bytes", static_cast<int>(n));
  return RESULT_OK;
}

int Channel::Read(void* buffer, uint32_t length) {
  uint32_t count = 0;
  return Read(buffer, length, &count);
}

int Channel::Read(void* buffer, uint32_t length, uint32_t* count) {
  *count = 0;
  if (IsInvalid()) return RESULT_IO_ERROR;
  uint8_t* dst = static_cast<uint8_t*>(buffer);
  // Hands out up to `want` buffered bytes from the ring.
  auto take = [&](uint32_t want) {
    uint32_t n = std::min(want, m_read_size);
    uint32_t first = std::min(n, m_capacity - m_read_head);
    memcpy(dst + *count, m_read_buf + m_read_head, first);
    if (n > first) memcpy(dst + *count + first, m_read_buf, n - first);
    m_read_size -= n;
    m_read_head = m_read_size == 0 ? 0 : (m_read_head + n) % m_capacity;
    *count += n;
  };
  take(length);
  int result = RESULT_OK;
  while (*count < length) {
    uint32_t want = std::min(length - *count, m_capacity);
    TLOG_DEBUG("want = %d, len = %d, total = %d, capacity = %d", static_cast<int>(want), static_cast<int>(length),
               static_cast<int>(*count), static_cast<int>(m_capacity));
    if (want >= m_capacity / 2) {
      // Large pieces go straight into the caller's buffer: staging them in
      // the (empty) ring would only add a copy.
      int r = ReadDirect(dst + *count, want, count);
      if (r < 0) {
        result = r;
        break;
      }
      continue;
    }
    int r = ReadMore(want);
    if (r < 0) {
      take(length - *count);
      result = r;
      break;
    }
    take(want);
  }
  TLOG_DEBUG("Read: read %d bytes, head = %d, size = %d", static_cast<int>(*count), static_cast<int>(m_read_head),
             static_cast<int>(m_read_size));
  return result;
}

int Channel::ReadDirect(uint8_t* buffer, uint32_t length, uint32_t* count) {
  Clock::time_point last_progress = Clock::now();
  uint32_t total = 0;
  while (total < length) {
    if (Aborted()) return RESULT_INTERRUPTED;
    int r = m_mode.m_read(m_handle, buffer + total, length - total, m_wait);
    if (r == RESULT_TIMEOUT) {
      if (TimedOut(m_timeout, last_progress)) {
        TLOG_DEBUG("ReadMore: Channel timeout for %u seconed", m_timeout);
        return RESULT_TIMEOUT;
      }
      continue;
    }
    if (r < 0) return r;
    total += r;
    *count += r;
    last_progress = Clock::now();
  }
  return RESULT_OK;
}

int Channel::ReadMore(uint32_t min_bytes) {
  if (min_bytes < 1) return RESULT_OK;
  Clock::time_point last_progress = Clock::now();
  uint32_t total = 0;
  for (;;) {
    if (Aborted()) return RESULT_INTERRUPTED;
    uint32_t start, len;
    if (m_read_head + m_read_size < m_capacity) {
      start = m_read_head + m_read_size;
      len = m_capacity - start;
    } else {
      start = m_read_head + m_read_size - m_capacity;
      len = m_capacity - m_read_size;
    }
    TLOG_DEBUG("ReadMore: want = %d, total = %d, len = %d, r_head = %d, r_size = %d", static_cast<int>(min_bytes),
               static_cast<int>(total), static_cast<int>(len), static_cast<int>(m_read_head),
               static_cast<int>(m_read_size));
    int r = m_mode.m_read(m_handle, m_read_buf + start, len, m_wait);
    if (r == RESULT_TIMEOUT) {
      if (TimedOut(m_timeout, last_progress)) {
        TLOG_DEBUG("ReadMore: Channel timeout for %u seconed", m_timeout);
        return RESULT_TIMEOUT;
      }
      continue;
    }
    if (r < 0) return r;
    total += r;
    m_read_size += r;
    last_progress = Clock::now();
    if (total >= min_bytes) {
      TLOG_DEBUG("ReadMore: read at least %d bytes", static_cast<int>(min_bytes));
      return RESULT_OK;
    }
  }
}

namespace {

int ReadFdResult(ssize_t n) {
  if (n < 0) {
    TLOG_ERROR("read: %s", strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (n == 0) {
    // A zero read sets no errno: name what happened instead of whatever an
    // earlier call left there.
    TLOG_ERROR("read: %s", "connection closed by peer");
    TLOG_ERROR("Diagnose: select says the socket is readable but actually we can't read ... connection closed?");
    return RESULT_IO_ERROR;
  }
  TLOG_DEBUG("ReadFd: read %d bytes", static_cast<int>(n));
  return static_cast<int>(n);
}

int WriteFdResult(ssize_t n) {
  if (n < 0) {
    TLOG_ERROR("write: %s", strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (n == 0) {
    TLOG_ERROR("write: %s", "nothing written");
    TLOG_ERROR("Diagnose: select says the socket is writeable but actually we can't write ... connection closed?");
    return RESULT_IO_ERROR;
  }
  TLOG_DEBUG("WriteFd: write %d bytes", static_cast<int>(n));
  return static_cast<int>(n);
}

}  // namespace

int Channel::ReadFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait) {
  if (length == 0) {
    TLOG_ERROR("ReadFd: request 0");
    return RESULT_INVALID_ARGUMENT;
  }
  int fd = plain_get_fd(handle);
  // The socket is non-blocking: try first and wait only when nothing is
  // there, which saves a select per block on a busy stream.
  ssize_t n = recv(fd, buffer, length, 0);
  if (n > 0) {
    TLOG_DEBUG("ReadFd: read %d bytes", static_cast<int>(n));
    return static_cast<int>(n);
  }
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return ReadFdResult(n);
  int w = WaitFd(fd, false, wait);
  if (w == -1) {
    TLOG_ERROR("select: [%d] %s", w, strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (w == 0) {
    TLOG_DEBUG("select: timeout");
    return RESULT_TIMEOUT;
  }
  if (w == -2) {
    TLOG_ERROR("ReadFd: select but fd [%d] not ready", fd);
    return RESULT_SYSTEM_ERROR;
  }
  n = recv(fd, buffer, length, 0);
  // A readiness report that races with another reader is not a failure.
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return RESULT_TIMEOUT;
  return ReadFdResult(n);
}

int Channel::WriteFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait) {
  int fd = plain_get_fd(handle);
  // No SIGPIPE: a peer that went away is an I/O error of this channel, not a
  // reason to end the process. As for reading, try before waiting.
  ssize_t n = send(fd, buffer, length, MSG_NOSIGNAL);
  if (n > 0) {
    TLOG_DEBUG("WriteFd: write %d bytes", static_cast<int>(n));
    return static_cast<int>(n);
  }
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return WriteFdResult(n);
  int w = WaitFd(fd, true, wait);
  if (w == -1) {
    TLOG_ERROR("select: %s", strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (w == 0) {
    TLOG_DEBUG("select: timeout");
    return RESULT_TIMEOUT;
  }
  if (w == -2) {
    TLOG_ERROR("WriteFd: select but fd [%d] not ready", fd);
    return RESULT_SYSTEM_ERROR;
  }
  n = send(fd, buffer, length, MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return RESULT_TIMEOUT;
  return WriteFdResult(n);
}

int Channel::SSLReadFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait) {
  SSL* ssl = static_cast<SSL*>(handle);
  int pending = SSL_pending(ssl);
  if (pending > 0) {
    int want = static_cast<int>(std::min<uint32_t>(length, static_cast<uint32_t>(pending)));
    int n = SSL_read(ssl, buffer, want);
    if (n > 0) {
      TLOG_DEBUG("ReadFd: read %d bytes", n);
      return n;
    }
    TLOG_ERROR("Diagnose: SSL_read failed");
    LogSSLErrors();
    return RESULT_IO_ERROR;
  }
  int fd = SSL_get_fd(ssl);
  int w = WaitFd(fd, false, wait);
  if (w == -1) {
    TLOG_ERROR("select: [%d] %s", w, strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (w == 0) return RESULT_TIMEOUT;
  if (w == -2) {
    TLOG_ERROR("ReadFd: select but fd [%d] not ready", fd);
    return RESULT_SYSTEM_ERROR;
  }
  int n = SSL_read(ssl, buffer, static_cast<int>(length));
  if (n > 0) {
    TLOG_DEBUG("ReadFd: read %d bytes", n);
    return n;
  }
  int err = SSL_get_error(ssl, n);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    TLOG_DEBUG("SSL want read");
    return RESULT_TIMEOUT;
  }
  TLOG_ERROR("Diagnose: SSL_read failed");
  LogSSLErrors();
  return RESULT_IO_ERROR;
}

int Channel::SSLWriteFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait) {
  SSL* ssl = static_cast<SSL*>(handle);
  int fd = SSL_get_fd(ssl);
  int w = WaitFd(fd, true, wait);
  if (w == -1) {
    TLOG_ERROR("select: %s", strerror(errno));
    return RESULT_IO_ERROR;
  }
  if (w == 0) return RESULT_TIMEOUT;
  if (w == -2) {
    TLOG_ERROR("WriteFd: select but fd [%d] not ready", fd);
    return RESULT_SYSTEM_ERROR;
  }
  ERR_clear_error();
  errno = 0;
  int n = SSL_write(ssl, buffer, static_cast<int>(length));
  if (n > 0) {
    TLOG_DEBUG("WriteFd: write %d bytes", n);
    return n;
  }
  int err = SSL_get_error(ssl, n);
  if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
    TLOG_DEBUG("SSL want write");
    return RESULT_TIMEOUT;
  }
  if (err == SSL_ERROR_SYSCALL) {
    TLOG_ERROR("syscall error: n = %d, ssl_ret = %d, errno = %d, err = %s", n, err, errno, strerror(errno));
    return RESULT_SYSTEM_ERROR;
  }
  TLOG_ERROR("misc error: n = %d, ssl_ret = %d, errno = %d", n, err, errno);
  LogSSLErrors();
  return RESULT_IO_ERROR;
}

int Channel::GetPeerInfo(std::string* address, int* port) {
  if (IsInvalid()) {
    TLOG_WARNING("GetPeerInfo: Attempting to get info of an uninitialized channel");
    address->clear();
    *port = 0;
    return RESULT_OK;
  }
  struct sockaddr_storage ss;
  socklen_t len = sizeof(ss);
  if (getpeername(GetFd(), reinterpret_cast<struct sockaddr*>(&ss), &len) < 0) {
    TLOG_ERROR("GetPeerInfo: getpeername: %s", strerror(errno));
    return RESULT_SYSTEM_ERROR;
  }
  address->clear();
  *port = 0;
  if (ss.ss_family == AF_INET) {
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(&ss);
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) != nullptr) *address = text;
    *port = ntohs(in->sin_port);
  }
  return RESULT_OK;
}

int Channel::CreateSocket() { return socket(AF_INET, SOCK_STREAM, 0); }

int Channel::SetLinger(int fd, int seconds) {
  struct linger lg;
  lg.l_onoff = 1;
  lg.l_linger = seconds;
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) < 0) {
    TLOG_ERROR("setsockopt: %s", strerror(errno));
    return -1;
  }
  return 0;
}

int Channel::SetNonBlock(int fd) {
  if (fd == -1) return -1;
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    TLOG_ERROR("fcntl: %s", strerror(errno));
    return -1;
  }
  if ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    TLOG_ERROR("fcntl: %s", strerror(errno));
    return -1;
  }
  return 0;
}

int Channel::ConnectWithTimeout(int fd, const std::string& ipv4_address, int port) {
  if (fd == -1 || ipv4_address.empty()) {
    TLOG_ERROR("Invalid argumants (ip: %s, port: %d", ipv4_address.c_str(), port);
    return RESULT_INVALID_ARGUMENT;
  }
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, ipv4_address.c_str(), &addr.sin_addr) != 1) {
    TLOG_ERROR("Invalid argumants (ip: %s, port: %d", ipv4_address.c_str(), port);
    return RESULT_INVALID_ARGUMENT;
  }
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) return RESULT_OK;
  if (errno != EINPROGRESS) {
    TLOG_ERROR("connect: %s (%d)", strerror(errno), errno);
    return RESULT_SYSTEM_ERROR;
  }
  uint32_t elapsed = 0;
  do {
    int w = WaitFd(fd, true, m_wait);
    if (w == -1) {
      TLOG_ERROR("select: %s (%d)", strerror(errno), errno);
      return RESULT_SYSTEM_ERROR;
    }
    if (w == -2) {
      TLOG_ERROR("Unknown err in connect");
      return RESULT_SYSTEM_ERROR;
    }
    if (w == 1) {
      int so_error = 0;
      socklen_t len = sizeof(so_error);
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) < 0) {
        TLOG_ERROR("getsockopt: %s (%d)", strerror(errno), errno);
        return RESULT_SYSTEM_ERROR;
      }
      if (so_error == 0) return RESULT_OK;
      TLOG_ERROR("Connect error %s (%d). %s (%d)", strerror(so_error), so_error, strerror(errno), errno);
      return RESULT_SYSTEM_ERROR;
    }
    elapsed += 3;
  } while (elapsed < m_timeout);
  TLOG_ERROR("Channel timed out during connect (%d seconds), abort anyway", static_cast<int>(m_timeout));
  return RESULT_TIMEOUT;
}

int Channel::SSLHandshake(void* handle) {
  SSL* ssl = static_cast<SSL*>(handle);
  int fd = SSL_get_fd(ssl);
  uint32_t elapsed = 0;
  for (;;) {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl);
    if (r == 1) return RESULT_OK;
    int err = SSL_get_error(ssl, r);
    if (r == 0 || (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)) {
      TLOG_ERROR("SSLHandshake: SSL error code: %d", err);
      LogSSLErrors();
      return RESULT_IO_ERROR;
    }
    int w = WaitFd(fd, err == SSL_ERROR_WANT_WRITE, m_wait);
    if (w == -1) {
      TLOG_ERROR("SSLHandshake: select: Error Code: %s (%d)", strerror(errno), errno);
      return RESULT_SYSTEM_ERROR;
    }
    if (w == -2) {
      TLOG_ERROR("SSLHandshake: select returns but fd is not set");
      return RESULT_SYSTEM_ERROR;
    }
    if (w == 1) {
      TLOG_DEBUG("SSLHandshake: reset timeout");
      elapsed = 0;
      continue;
    }
    // A wait shorter than a second still has to count, or a sub-second wait
    // time-out would never end the handshake.
    elapsed += m_wait.tv_sec > 0 ? static_cast<uint32_t>(m_wait.tv_sec) : 1;
    if (m_timeout != 0 && elapsed >= m_timeout) {
      TLOG_ERROR("SSLHandshake: timed out during connect (%d seconds), abort anyway", static_cast<int>(m_timeout));
      return RESULT_TIMEOUT;
    }
  }
}

int Channel::ConvertToSSLChannel(bool server) {
  if (m_ssl) {
    TLOG_WARNING("ConvertToSSLChannel: Channel is SSL channel, no need to be converted");
    return RESULT_OK;
  }
  if (IsInvalid()) {
    TLOG_ERROR("Open: init ssl failed");
    return RESULT_IO_ERROR;
  }
  SSL_CTX* ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
  if (ctx == nullptr) {
    TLOG_ERROR("m_ssl_ctx created failed");
    LogSSLErrors();
    TLOG_ERROR("Open: init ssl failed");
    return RESULT_IO_ERROR;
  }
  if (!server && SSL_CTX_set_cipher_list(ctx, "RC4-MD5") != 1) {
    TLOG_WARNING("can't set cipher suit to SSL3_TXT_RSA_RC4_128_MD5");
    ERR_clear_error();
  }
  SSL* ssl = SSL_new(ctx);
  if (ssl == nullptr) {
    TLOG_ERROR("m_ssl created failed");
    LogSSLErrors();
    SSL_CTX_free(ctx);
    TLOG_ERROR("Open: init ssl failed");
    return RESULT_IO_ERROR;
  }
  // The ring hands the same stretch back after a want-write, but it may have
  // moved; and a partial write is progress the ring can account for.
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (server) {
    std::string cert = GetCertPath();
    std::string key = GetKeyPath();
    const char* failure = nullptr;
    if (SSL_use_certificate_file(ssl, cert.c_str(), SSL_FILETYPE_PEM) != 1) {
      TLOG_ERROR("Install certificate failed");
      LogSSLErrors();
      failure = "Open: init ssl certificate failed";
    } else if (SSL_use_PrivateKey_file(ssl, key.c_str(), SSL_FILETYPE_PEM) != 1) {
      TLOG_ERROR("Install private key failed");
      LogSSLErrors();
      failure = "Open: init ssl private key failed";
    }
    if (failure != nullptr) {
      TLOG_ERROR("%s", failure);
      SSL_free(ssl);
      SSL_CTX_free(ctx);
      TLOG_ERROR("Open: init ssl failed");
      return RESULT_IO_ERROR;
    }
    SSL_set_accept_state(ssl);
  } else {
    SSL_set_connect_state(ssl);
  }
  if (SSL_set_fd(ssl, GetFd()) != 1) {
    TLOG_ERROR("set fd failed");
    LogSSLErrors();
    FreeQuietly(ssl);
    return RESULT_IO_ERROR;
  }
  int r = SSLHandshake(ssl);
  if (r != RESULT_OK) {
    TLOG_ERROR("Open to SSL connect to server failed");
    FreeQuietly(ssl);
    return RESULT_IO_ERROR;
  }
  // The session owns the socket from now on; only the cell goes.
  delete static_cast<int*>(m_handle);
  m_handle = ssl;
  SetMode(2);
  m_ssl = 1;
  return RESULT_OK;
}

}  // namespace tide
