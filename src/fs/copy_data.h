// Moves the bytes of one open file into another: copy_file_range in pieces
// (a clone where the file system can, an in-kernel copy otherwise), with a
// read/write loop where the kernel refuses. The abort flag, when given, is
// looked at before every piece.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tide {

enum CopyDataResult {
  COPY_DATA_OK = 0,
  COPY_DATA_READ_ERROR = -1,   // errno tells why
  COPY_DATA_WRITE_ERROR = -2,  // errno tells why (ENOSPC: disk full)
  COPY_DATA_NO_MEMORY = -3,    // the fallback buffer could not be had
  COPY_DATA_ABORTED = -4,
};

// Size of each piece and of the fallback buffer.
constexpr size_t COPY_DATA_CHUNK = 33554432;

// Copies from the current offsets of `in_fd` to `out_fd` until the end of
// `in_fd`. errno is left as the failing call set it.
int CopyData(int in_fd, int out_fd, const std::atomic<int>* abort_flag);

// Like CopyData, and takes the MD4 of what it copied in the same pass over
// the data: a clone where the file system shares blocks (the hash is then
// the only read), else read, hash and write in pieces small enough to stay
// in the cache between the three. `size`, when given, receives the size
// of the copy.
int CopyAndHash(int in_fd, int out_fd, const std::atomic<int>* abort_flag, unsigned char digest[16],
                uint64_t* size = nullptr);

// CopyData (CopyAndHash when `digest` is given) from `in_fd` onto `out_fd`,
// then fsync of `out_fd` (data the file system could not place shows up as
// ENOSPC there at the latest). `what` names the copy in the ERROR line of
// a failure. 0, or -1 with errno kept (ENOSPC or EDQUOT: disk full;
// ECANCELED: aborted). `size` as for CopyAndHash, with `digest` only.
int CopyFileContents(int in_fd, int out_fd, const std::string& what, const std::atomic<int>* abort_flag,
                     unsigned char* digest = nullptr, uint64_t* size = nullptr);

}  // namespace tide
