// The explain question and its answer as they come off the control socket:
// any bytes a local client may send must decode and parse, or be refused,
// without harm; whatever parses must come back unchanged through the
// builder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "proto/explain_message.h"
#include "proto/pstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tide::fuzz::QuietLogs();
  tide::Channel channel;
  if (!tide::fuzz::Feed(&channel, data, size)) return 0;
  tide::PStream stream;
  tide::PObject message;
  if (stream.Recv(&channel, &message) < 0) return 0;

  tide::ExplainRequest request;
  std::string error;
  if (tide::ParseExplainRequest(message, &request, &error) == 0) {
    tide::ExplainRequest again;
    if (tide::ParseExplainRequest(tide::BuildExplainRequest(request), &again, &error) != 0 || !(again == request)) {
      abort();
    }
  } else if (error.empty()) {
    abort();  // a refusal always says why
  }
  tide::ExplainReply reply;
  if (tide::ParseExplainReply(message, &reply) == 0) {
    tide::ExplainReply again;
    if (tide::ParseExplainReply(tide::BuildExplainReply(reply), &again) != 0 || !(again == reply)) abort();
  }
  return 0;
}
