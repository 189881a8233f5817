// Recv of every message class on arbitrary bytes. The first input byte picks
// the class (responses, and the requests a peer playing the server reads).
#include <memory>

#include "fuzz_input.h"
#include "proto/messages.h"

namespace {

std::unique_ptr<tide::Serializable> Pick(uint8_t selector) {
  switch (selector % 13) {
    case 0: return std::make_unique<tide::NConnectResponse>();
    case 1: return std::make_unique<tide::NUploadResponse>();
    case 2: return std::make_unique<tide::NDownloadResponse>();
    case 3: return std::make_unique<tide::NRemoveResponse>();
    case 4: return std::make_unique<tide::NPullEventResponse>();
    case 5: return std::make_unique<tide::NKeepAliveResponse>();
    case 6: return std::make_unique<tide::NServerEvent>();
    case 7: return std::make_unique<tide::NConnectRequest>();
    case 8: return std::make_unique<tide::NUploadRequest>();
    case 9: return std::make_unique<tide::NDownloadRequest>();
    case 10: return std::make_unique<tide::NRemoveRequest>();
    case 11: return std::make_unique<tide::NPullEventRequest>();
    default: return std::make_unique<tide::NKeepAliveRequest>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  tide::fuzz::QuietLogs();
  static tide::Channel channel;
  if (!tide::fuzz::Feed(&channel, data + 1, size - 1)) return 0;
  std::unique_ptr<tide::Serializable> message = Pick(data[0]);
  message->Recv(&channel);
  channel.Close();
  return 0;
}
