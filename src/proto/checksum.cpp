#include "proto/checksum.h"

#include <errno.h>
#include <fcntl.h>
#include <librsync.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

namespace tide {

namespace {

// Large pieces: a read system call per 4 KiB cost more than the hashing.
constexpr size_t PIECE = 1 << 20;
constexpr size_t SMALL_PIECE = 64 << 10;

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
  return RSCalcMD4Fd(fd, digest, abort_flag);
}

Md4Hasher::Md4Hasher() {
  rs_mdfour_begin(reinterpret_cast<rs_mdfour_t*>(m_state));
}

void Md4Hasher::Update(const void* data, size_t length) {
  rs_mdfour_update(reinterpret_cast<rs_mdfour_t*>(m_state), data, length);
}

void Md4Hasher::Final(unsigned char digest[MD4_DIGEST_LENGTH_BYTES]) {
  rs_mdfour_result(reinterpret_cast<rs_mdfour_t*>(m_state), digest);
}

int RSCalcMD4Fd(int fd, unsigned char digest[MD4_DIGEST_LENGTH_BYTES], const std::atomic<int>* abort_flag) {
  Md4Hasher hasher;
  // Most files of a share are small: they are read into the stack, and the
  // large buffer (a fresh mapping, paged in and given back) is had only for
  // a file that does not fit.
  unsigned char small[SMALL_PIECE];
  std::unique_ptr<unsigned char[]> large;
  unsigned char* buffer = small;
  size_t piece = sizeof small;
  for (;;) {
    if (abort_flag != nullptr && abort_flag->load(std::memory_order_relaxed) != 0) return -1;
    ssize_t n = read(fd, buffer, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      hasher.Final(digest);
      return 0;
    }
    hasher.Update(buffer, static_cast<size_t>(n));
    if (!large && static_cast<size_t>(n) == piece) {
      large.reset(new (std::nothrow) unsigned char[PIECE]);
      if (!large) return -1;
      buffer = large.get();
      piece = PIECE;
    }
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
