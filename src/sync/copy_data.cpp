#include "sync/copy_data.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace tide {

namespace {

bool Aborted(const std::atomic<int>* abort_flag) {
  return abort_flag && abort_flag->load(std::memory_order_relaxed) != 0;
}

int WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = ENOSPC;
      return -1;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

int ReadWriteLoop(int in_fd, int out_fd, const std::atomic<int>* abort_flag) {
  // A first small read spares the big buffer for empty files.
  char first[4096];
  ssize_t got;
  do {
    got = read(in_fd, first, sizeof first);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return COPY_DATA_READ_ERROR;
  if (got == 0) return COPY_DATA_OK;
  if (WriteAll(out_fd, first, static_cast<size_t>(got)) < 0) return COPY_DATA_WRITE_ERROR;

  std::unique_ptr<char, decltype(&free)> buffer(static_cast<char*>(malloc(COPY_DATA_CHUNK)), &free);
  if (!buffer) return COPY_DATA_NO_MEMORY;
  for (;;) {
    if (Aborted(abort_flag)) {
      errno = ECANCELED;
      return COPY_DATA_ABORTED;
    }
    got = read(in_fd, buffer.get(), COPY_DATA_CHUNK);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return COPY_DATA_READ_ERROR;
    if (got == 0) return COPY_DATA_OK;
    if (WriteAll(out_fd, buffer.get(), static_cast<size_t>(got)) < 0) return COPY_DATA_WRITE_ERROR;
  }
}

}  // namespace

int CopyData(int in_fd, int out_fd, const std::atomic<int>* abort_flag) {
  bool copied_any = false;
  for (;;) {
    if (Aborted(abort_flag)) {
      errno = ECANCELED;
      return COPY_DATA_ABORTED;
    }
    ssize_t moved = copy_file_range(in_fd, nullptr, out_fd, nullptr, COPY_DATA_CHUNK, 0);
    if (moved > 0) {
      copied_any = true;
      continue;
    }
    if (moved == 0) {
      // Some files (proc and the like) report nothing to copy_file_range
      // but can be read; the loop confirms the end either way.
      if (copied_any) return COPY_DATA_OK;
      return ReadWriteLoop(in_fd, out_fd, abort_flag);
    }
    if (errno == EINTR) continue;
    if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) return COPY_DATA_WRITE_ERROR;
    // Nothing was written by the failing call: the offsets are where the
    // last good piece left them, so the loop goes on from there. Where the
    // kernel merely refused, the loop does the work; a real I/O error meets
    // the loop again and is then put down to the side it came from.
    return ReadWriteLoop(in_fd, out_fd, abort_flag);
  }
}

}  // namespace tide
