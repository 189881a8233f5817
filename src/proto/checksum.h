// MD4 digest of a whole file with librsync's MD4, interruptible through the
// caller's abort flag.
#pragma once

#include <atomic>
#include <string>

namespace tide {

constexpr int MD4_DIGEST_LENGTH_BYTES = 16;

// 0 with the digest in `digest`, or -1 (unreadable file, read error, abort
// flag set before a read); on -1 `digest` is left untouched. Logs nothing:
// callers log. Re-entrant.
int RSCalcMD4(const std::string& path, unsigned char digest[MD4_DIGEST_LENGTH_BYTES],
              const std::atomic<int>* abort_flag);

// 32 lowercase hexadecimal digits of a digest.
std::string MD4ToHex(const unsigned char digest[MD4_DIGEST_LENGTH_BYTES]);

}  // namespace tide
