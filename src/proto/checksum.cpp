#include "proto/checksum.h"

#include <errno.h>
#include <fcntl.h>
#include <librsync.h>
#include <unistd.h>

#include <cstring>

namespace tide {

namespace {

constexpr size_t PIECE = 4096;

// librsync keeps its MD4 state opaque; this is comfortably larger than the
// accumulator (four words, a 64-bit count and a 64-byte tail) and aligned for
// any of its members.
struct alignas(16) MD4State {
  unsigned char m_bytes[256];
};

class FdCloser {
 public:
  explicit FdCloser(int fd) : m_fd(fd) {}
  ~FdCloser() {
    if (m_fd >= 0) close(m_fd);
  }

 private:
  int m_fd;
};

}  // namespace

int RSCalcMD4(const std::string& path, unsigned char digest[MD4_DIGEST_LENGTH_BYTES],
              const std::atomic<int>* abort_flag) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  FdCloser closer(fd);
  MD4State state;
  rs_mdfour_t* md = reinterpret_cast<rs_mdfour_t*>(&state);
  rs_mdfour_begin(md);
  unsigned char buffer[PIECE];
  for (;;) {
    if (abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0) return -1;
    ssize_t n = read(fd, buffer, PIECE);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      rs_mdfour_result(md, digest);
      return 0;
    }
    rs_mdfour_update(md, buffer, static_cast<size_t>(n));
  }
}

std::string MD4ToHex(const unsigned char digest[MD4_DIGEST_LENGTH_BYTES]) {
  static const char HEX[] = "0123456789abcdef";
  std::string text(MD4_DIGEST_LENGTH_BYTES * 2, '0');
  for (int i = 0; i < MD4_DIGEST_LENGTH_BYTES; ++i) {
    text[2 * i] = HEX[digest[i] >> 4];
    text[2 * i + 1] = HEX[digest[i] & 0xf];
  }
  return text;
}

}  // namespace tide
