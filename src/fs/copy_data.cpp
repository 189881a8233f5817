#define TIDE_LOG_TAG "file-op"
#define TIDE_LOG_COMPONENT "file_op_debug"
#include "fs/copy_data.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "core/logger.h"
#include "proto/checksum.h"

namespace tide {

namespace {

bool Aborted(const std::atomic<int>* abort_flag) {
  return abort_flag && abort_flag->load(std::memory_order_relaxed) != 0;
}

// The pieces CopyAndHash reads: the first (on the stack) holds most files
// whole; a larger file goes on in large ones.
constexpr size_t SMALL_PIECE = 64 << 10;
constexpr size_t LARGE_PIECE = 1 << 20;

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

// Every copy ends with an fsync. Started only there, the write-back of a
// big file makes the fsync wait as long as the copy took again; asked for
// piece by piece while the copy goes on, the disk writes while the next
// pieces are read and hashed, and the fsync finds little left. Only the
// start of the write-back is asked for (no waiting here); a file system
// that does not know the call simply leaves it all to the fsync.
class EarlyWriteBack {
 public:
  explicit EarlyWriteBack(int fd) : m_fd(fd) {}
  void Written(size_t length) {
    m_written += length;
    if (m_failed || m_written - m_started < STEP) return;
    if (sync_file_range(m_fd, static_cast<off64_t>(m_started), static_cast<off64_t>(m_written - m_started),
                        SYNC_FILE_RANGE_WRITE) != 0) {
      m_failed = true;
      return;
    }
    m_started = m_written;
  }

 private:
  static constexpr uint64_t STEP = 8u << 20;
  int m_fd;
  uint64_t m_written = 0;  // from the offset the copy began at (0 for every caller)
  uint64_t m_started = 0;
  bool m_failed = false;
};

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
  EarlyWriteBack write_back(out_fd);
  for (;;) {
    if (Aborted(abort_flag)) {
      errno = ECANCELED;
      return COPY_DATA_ABORTED;
    }
    ssize_t moved = copy_file_range(in_fd, nullptr, out_fd, nullptr, COPY_DATA_CHUNK, 0);
    if (moved > 0) {
      copied_any = true;
      write_back.Written(static_cast<size_t>(moved));
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

int CopyAndHash(int in_fd, int out_fd, const std::atomic<int>* abort_flag, unsigned char digest[16]) {
  if (Aborted(abort_flag)) {
    errno = ECANCELED;
    return COPY_DATA_ABORTED;
  }
  // Most files of a share are small: read whole into the stack, copied and
  // hashed without the large buffer, and without trying a clone, which
  // pays only for files of some size.
  char first[SMALL_PIECE];
  ssize_t got;
  do {
    got = read(in_fd, first, sizeof first);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return COPY_DATA_READ_ERROR;
  if (static_cast<size_t>(got) == sizeof first && ioctl(out_fd, FICLONE, in_fd) == 0) {
    // Shared blocks: the copy cost nothing; hash it (it is what gets sent).
    if (lseek(out_fd, 0, SEEK_SET) < 0) return COPY_DATA_READ_ERROR;
    if (RSCalcMD4Fd(out_fd, digest, abort_flag) < 0) {
      if (Aborted(abort_flag)) {
        errno = ECANCELED;
        return COPY_DATA_ABORTED;
      }
      return COPY_DATA_READ_ERROR;
    }
    return lseek(out_fd, 0, SEEK_END) < 0 ? COPY_DATA_WRITE_ERROR : COPY_DATA_OK;
  }
  Md4Hasher hasher;
  EarlyWriteBack write_back(out_fd);
  std::unique_ptr<char, decltype(&free)> large(nullptr, &free);
  char* buffer = first;
  size_t piece = sizeof first;
  for (;;) {
    if (got == 0) {
      hasher.Final(digest);
      return COPY_DATA_OK;
    }
    hasher.Update(buffer, static_cast<size_t>(got));
    if (WriteAll(out_fd, buffer, static_cast<size_t>(got)) < 0) return COPY_DATA_WRITE_ERROR;
    write_back.Written(static_cast<size_t>(got));
    if (!large && static_cast<size_t>(got) == piece) {
      // A file that fills the small piece goes on in pieces small enough
      // to stay in the cache between read, hash and write.
      large.reset(static_cast<char*>(malloc(LARGE_PIECE)));
      if (!large) return COPY_DATA_NO_MEMORY;
      buffer = large.get();
      piece = LARGE_PIECE;
    }
    if (Aborted(abort_flag)) {
      errno = ECANCELED;
      return COPY_DATA_ABORTED;
    }
    do {
      got = read(in_fd, buffer, piece);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return COPY_DATA_READ_ERROR;
  }
}

int CopyFileContents(int in_fd, int out_fd, const std::string& what, const std::atomic<int>* abort_flag,
                     unsigned char* digest) {
  int copied = digest ? CopyAndHash(in_fd, out_fd, abort_flag, digest) : CopyData(in_fd, out_fd, abort_flag);
  int error = errno;
  switch (copied) {
    case COPY_DATA_OK:
      break;
    case COPY_DATA_ABORTED:
      TLOG_INFO("CopyFile: %s: interrupted by abort flag", what.c_str());
      break;
    case COPY_DATA_NO_MEMORY:
      TLOG_ERROR("CopyFile: %s: malloc(%d): %s (%d)", what.c_str(), static_cast<int>(COPY_DATA_CHUNK),
                 strerror(error), error);
      break;
    case COPY_DATA_WRITE_ERROR:
      TLOG_ERROR("CopyFile: %s: write: %s (%d)", what.c_str(), strerror(error), error);
      break;
    default:
      TLOG_ERROR("CopyFile: %s: read: %s (%d)", what.c_str(), strerror(error), error);
      break;
  }
  if (copied == COPY_DATA_OK && fsync(out_fd) < 0 && (errno == ENOSPC || errno == EDQUOT)) {
    error = errno;
    TLOG_ERROR("CopyFile: %s: write: %s (%d)", what.c_str(), strerror(error), error);
    copied = COPY_DATA_WRITE_ERROR;
  }
  errno = error;
  return copied == COPY_DATA_OK ? 0 : -1;
}

}  // namespace tide
