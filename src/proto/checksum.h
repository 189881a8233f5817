// MD4 digest of a whole file with librsync's MD4, interruptible through the
// caller's abort flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace tide {

constexpr int MD4_DIGEST_LENGTH_BYTES = 16;

// 0 with the digest in `digest`, or -1 (unreadable file, read error, abort
// flag set before a read); on -1 `digest` is left untouched. Logs nothing:
// callers log. Re-entrant.
int RSCalcMD4(const std::string& path, unsigned char digest[MD4_DIGEST_LENGTH_BYTES],
              const std::atomic<int>* abort_flag);

// The same for the file open at `fd`, read from its current offset.
int RSCalcMD4Fd(int fd, unsigned char digest[MD4_DIGEST_LENGTH_BYTES], const std::atomic<int>* abort_flag);

// An MD4 taken piece by piece, for callers that see the bytes anyway (a
// copy that hashes what it moves).
class Md4Hasher {
 public:
  Md4Hasher();
  void Update(const void* data, size_t length);
  void Final(unsigned char digest[MD4_DIGEST_LENGTH_BYTES]);

 private:
  // librsync keeps its state opaque; this is comfortably larger than the
  // accumulator (four words, a 64-bit count and a 64-byte tail) and
  // aligned for any of its members.
  alignas(16) unsigned char m_state[256];
};

// 32 lowercase hexadecimal digits of a digest.
std::string MD4ToHex(const unsigned char digest[MD4_DIGEST_LENGTH_BYTES]);

}  // namespace tide
