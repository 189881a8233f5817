// PStream::Recv on arbitrary bytes; received binaries land in a scratch
// directory and are removed again after every input.
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "fuzz_input.h"
#include "proto/pstream.h"

namespace {

void RemoveBinaries(const tide::PObject& value) {
  if (value.IsBinary()) {
    if (!value.AsBinary().m_path.empty()) unlink(value.AsBinary().m_path.c_str());
  } else if (value.IsMap()) {
    for (const auto& entry : value.AsMap()) RemoveBinaries(entry.second);
  } else if (value.IsArray()) {
    for (const tide::PObject& element : value.AsArray()) RemoveBinaries(element);
  }
}

const std::string& ScratchDir() {
  static std::string dir = [] {
    char pattern[] = "/tmp/tide-fuzz-pstream-XXXXXX";
    const char* made = mkdtemp(pattern);
    return std::string(made == nullptr ? "/tmp" : made);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tide::fuzz::QuietLogs();
  static tide::Channel channel;
  if (!tide::fuzz::Feed(&channel, data, size)) return 0;
  tide::PStream stream;
  stream.SetTempDir(ScratchDir());
  tide::PObject value;
  int r = stream.Recv(&channel, &value);
  // Whatever arrived must still print and copy.
  std::string text = value.ToString();
  tide::PObject copy = value;
  if (r == 0 && !(copy == value)) abort();
  RemoveBinaries(value);
  channel.Close();
  return 0;
}
