// The volume notification records on arbitrary bytes: the record reader
// alone (every record it accepts lies inside the input and holds its path),
// then the volume-wide detector fed the same bytes as one kernel read, with
// a view at a fixed scratch folder so that paths in the corpus can hit it.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "core/logger.h"
#include "db/native_client_db.h"
#include "detect/varn_detector.h"
#include "platform/varnotify_record.h"

namespace {

constexpr const char* SCRATCH = "/tmp/tide-fuzz-varnotify";
constexpr const char* VIEW = "/tmp/tide-fuzz-varnotify/volume1/view";

std::string g_input;  // what the stand-in kernel hands out next
int g_null_fd = -1;   // always readable: the detector never waits

const tide::VarnotifyCalls CALLS = {
    [](int) { return g_null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC); },
    [](int, const char*, uint64_t) { return 0; },
    [](int, const char*, uint64_t) { return 0; },
    [](int, const char*, uint32_t) { return 0; },
    [](int, const char*, uint32_t) { return 0; },
    [](int, char* buffer, size_t size) -> long {
      if (g_input.empty()) {
        errno = EAGAIN;
        return -1;
      }
      size_t n = std::min(size, g_input.size());
      memcpy(buffer, g_input.data(), n);
      g_input.erase(0, n);
      return static_cast<long>(n);
    },
    [](int fd) { return close(fd); },
};

class QuietDetector : public tide::VARNDetector {
 public:
  QuietDetector() : VARNDetector(0, 0, CALLS) {}

 protected:
  void Deliver(const tide::Event&) override {}
};

QuietDetector* Setup() {
  std::filesystem::create_directories(VIEW);
  char levels[] = "/tmp/tide-fuzz-levels-XXXXXX";
  int fd = mkstemp(levels);
  if (fd >= 0) {
    static const char LEVELS[] = "detector_debug=0\nclient_debug=0\ndb_debug=0\nstream=0\nchannel_debug=0\n";
    if (write(fd, LEVELS, sizeof(LEVELS) - 1) < 0) {
    }
    close(fd);
    tide::Logger::Initialize(tide::LOG_TYPE_STDERR, "", levels, 10);
    unlink(levels);
  }
  tide::NativeClientDb::Instance().Initialize(std::string(SCRATCH) + "/db.sqlite");
  auto* detector = new QuietDetector();
  detector->SetVolumePrefix(std::string(SCRATCH) + "/volume");
  detector->SetUserDbHandlerSocket(std::string(SCRATCH) + "/no-handler.sock");
  return detector;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static QuietDetector* detector = Setup();
  const char* bytes = reinterpret_cast<const char*>(data);
  size_t pos = 0;
  tide::VarnotifyRecord record;
  for (long length; (length = tide::ReadVarnotifyRecord(bytes + pos, size - pos, &record)) > 0;) {
    if (static_cast<size_t>(length) < tide::VARN_RECORD_HEADER_SIZE || static_cast<size_t>(length) > size - pos ||
        (static_cast<size_t>(length) > tide::VARN_RECORD_HEADER_SIZE &&
         record.m_path.size() + tide::VARN_RECORD_HEADER_SIZE >= static_cast<size_t>(length)) ||
        record.m_path.find('\0') != std::string::npos) {
      abort();
    }
    pos += static_cast<size_t>(length);
  }

  // A deleted view folder withdraws the view; bring it back for the next input.
  if (detector->Views().empty()) detector->AddWatch(VIEW, 1);
  g_input.assign(bytes, size);
  for (int passes = 0; passes < 100000 && detector->RunOnce().m_outcome == tide::DETECTOR_PASS_HANDLED; ++passes) {
  }
  g_input.clear();
  return 0;
}
