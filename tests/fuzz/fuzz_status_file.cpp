// The daemon's status file as tide-clientctl reads it: any bytes must parse
// or be refused without harm, and whatever parses must come back unchanged
// through the writer's format.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/status_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tide::DaemonStatus status;
  if (tide::ParseStatus(text, &status) != 0) return 0;
  tide::DaemonStatus again;
  if (tide::ParseStatus(tide::FormatStatus(status), &again) != 0 || !(again == status)) abort();
  return 0;
}
