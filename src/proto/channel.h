// Buffered stream connection (Unix-domain or TCP, optionally SSL) with one
// write ring and one read ring of a fixed block size, big-endian integers and
// time-outs built from short readiness waits.
//
// Use: Open, any number of writes, FlushWrite(0) before waiting for an
// answer, reads, Close. A channel has no lock and belongs to one thread at a
// time; only the abort flag it points to may be written by another thread.
#pragma once

#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace tide {

class Channel {
 public:
  // Block size of every channel of the daemon (0x14000). <sys/mount.h> and
  // <linux/fs.h> define a BLOCK_SIZE macro: #undef it after them.
  static constexpr uint32_t BLOCK_SIZE = 81920;

  // Transfer function of a mode: handle, buffer, length, wait time-out →
  // bytes moved (> 0) or a result code (-9 when the wait timed out).
  using TransferFn = int (*)(void* handle, void* buffer, uint32_t length, const struct timeval& wait);

  explicit Channel(uint32_t capacity = BLOCK_SIZE);
  virtual ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Connects to a Unix-domain stream socket → 0, -2, -3.
  virtual int Open(const std::string& unix_path);
  // Adopts a socket accepted elsewhere; `configure` sets linger 1 s and
  // non-blocking first → 0, -3, -4.
  virtual int Open(int fd, bool configure);
  // Connects over TCP/IPv4 → 0, -2, -3 (-9 propagates as -3). An empty
  // address or a negative port leaves the channel closed and returns 0.
  virtual int Open(const std::string& ipv4_address, int port);
  // Flushes what is pending, closes the connection, back to plain mode → 0.
  virtual int Close();
  // Seconds without progress after which a transfer gives up (0 = never).
  virtual void SetTimeout(uint32_t seconds);
  // While *flag is non-zero, flushing and reading stop with -1. Null clears.
  virtual void SetAbortFlag(const std::atomic<int>* flag);
  // True while the flag given to SetAbortFlag is set.
  bool Aborted() const { return m_abort != nullptr && m_abort->load(std::memory_order_relaxed) != 0; }
  // Wraps the open connection in SSL, as server (certificate and key from
  // m_cert_path / m_key_path) or as client → 0, -2 (the handshake is
  // bounded by the channel time-out).
  virtual int ConvertToSSLChannel(bool server);

  virtual int ReadU8(uint8_t* value);
  virtual int ReadU16(uint16_t* value);
  virtual int ReadU32(uint32_t* value);
  virtual int ReadU64(uint64_t* value);
  virtual int WriteU8(uint8_t value);
  virtual int WriteU16(uint16_t value);
  virtual int WriteU32(uint32_t value);
  virtual int WriteU64(uint64_t value);

  // 0 when all `length` bytes arrived, else the failure code.
  virtual int Read(void* buffer, uint32_t length);
  // As above; *count receives the bytes delivered, also on failure.
  virtual int Read(void* buffer, uint32_t length, uint32_t* count);
  // Queues `length` (<= capacity) bytes, sending only what would overflow.
  virtual int Write(const void* buffer, uint32_t length);
  virtual void ResetReadBuffer();
  virtual void ResetWriteBuffer();
  // Sends at least `min_bytes` of the pending bytes (0 = all of them).
  virtual int FlushWrite(uint32_t min_bytes);
  // Peer's IPv4 address and port → 0, -3. A closed channel (or a peer that
  // is not IPv4) gives an empty address and port 0.
  virtual int GetPeerInfo(std::string* address, int* port);
  virtual bool IsInvalid();
  // Receives at least `min_bytes` more bytes into the read ring.
  virtual int ReadMore(uint32_t min_bytes);
  virtual uint64_t Swap64(uint64_t value);
  virtual uint32_t Swap32(uint32_t value);
  virtual uint16_t Swap16(uint16_t value);
  // New IPv4 stream socket or -1.
  virtual int CreateSocket();
  virtual int SetLinger(int fd, int seconds);
  virtual int SetNonBlock(int fd);
  // Non-blocking connect bounded by the channel time-out → 0, -3, -4, -9.
  virtual int ConnectWithTimeout(int fd, const std::string& ipv4_address, int port);
  // 1 = plain, anything else = SSL.
  virtual void SetMode(int mode);

  // Length of each single readiness wait (default 1 s).
  void SetWaitTimeout(long seconds, long microseconds);
  // Socket descriptor of the connection, -1 when closed.
  int GetFd();
  bool IsSSL() const { return m_ssl != 0; }
  uint32_t Capacity() const { return m_capacity; }
  // Bytes buffered but not yet handed out / not yet sent.
  uint32_t ReadBuffered() const { return m_read_size; }
  uint32_t WritePending() const { return m_write_size; }

  static void SetCertPath(const std::string& path);
  static void SetKeyPath(const std::string& path);
  static std::string GetCertPath();
  static std::string GetKeyPath();

  // The plain transfer functions (handle = heap cell holding the descriptor).
  static int ReadFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait);
  static int WriteFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait);
  // The SSL transfer functions (handle = the SSL session).
  static int SSLReadFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait);
  static int SSLWriteFd(void* handle, void* buffer, uint32_t length, const struct timeval& wait);

 private:
  struct Mode {
    TransferFn m_read;
    TransferFn m_write;
    int (*m_get_fd)(void* handle);
    void (*m_close)(void* handle);
    bool (*m_is_invalid)(void* handle);
  };

  int SSLHandshake(void* ssl);
  // Receives exactly `length` bytes straight into `buffer` (ring empty),
  // adding what arrives to *count.
  int ReadDirect(uint8_t* buffer, uint32_t length, uint32_t* count);
  void StoreFd(int fd);

  void* m_handle = nullptr;
  Mode m_mode{};
  uint8_t* m_write_buf = nullptr;
  uint32_t m_write_head = 0;
  uint32_t m_write_size = 0;
  uint8_t* m_read_buf = nullptr;
  uint32_t m_read_head = 0;
  uint32_t m_read_size = 0;
  uint32_t m_capacity;
  struct timeval m_wait{1, 0};
  uint32_t m_timeout = 60;
  const std::atomic<int>* m_abort = nullptr;
  int m_ssl = 0;

  // Paths of the PEM files a server-side SSL channel loads; guarded by
  // s_ssl_path_lock (set at start-up, read on every server conversion).
  static std::string m_cert_path;
  static std::string m_key_path;
};

}  // namespace tide
