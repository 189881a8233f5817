// Moves the bytes of one open file into another: copy_file_range in pieces
// (a clone where the file system can, an in-kernel copy otherwise), with a
// read/write loop where the kernel refuses. The abort flag, when given, is
// looked at before every piece.
#pragma once

#include <atomic>
#include <cstddef>

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

}  // namespace tide
