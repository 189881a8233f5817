// ReadVarData and ReadString on arbitrary bytes. The first byte picks the
// reader; for ReadVarData the next two give the capacity.
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "proto/var_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  tide::fuzz::QuietLogs();
  static tide::Channel channel;
  if (!tide::fuzz::Feed(&channel, data + 3, size - 3)) return 0;
  if (data[0] & 1) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
      int r = tide::ReadString(&channel, &text);
      if (r < 0) break;
      if (text.size() > static_cast<size_t>(r)) abort();
    }
  } else {
    uint32_t capacity = (static_cast<uint32_t>(data[1]) << 8) | data[2];
    std::vector<uint8_t> buffer(capacity);
    for (int i = 0; i < 4; ++i) {
      int r = tide::ReadVarData(&channel, buffer.data(), capacity);
      if (r < 0) break;
      if (static_cast<uint32_t>(r) > capacity) abort();
    }
  }
  channel.Close();
  return 0;
}
