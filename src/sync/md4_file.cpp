#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "core/logger.h"
#include "proto/checksum.h"
#include "sync/worker_handlers.h"

namespace tide {

int CaculateMD4(const std::string& path, std::string* hash, const std::atomic<int>* abort_flag) {
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  if (RSCalcMD4(path, digest, abort_flag) != 0) {
    TLOG_ERROR("CaculateMD4: Failed to calculate checksum for '%s'", path.c_str());
    return -1;
  }
  *hash = MD4ToHex(digest);
  return 0;
}

}  // namespace tide
