#define TIDE_LOG_TAG "proto-common"
#define TIDE_LOG_COMPONENT "proto_common_debug"
#include "core/logger.h"

#include "proto/var_data.h"

#include <cstring>

#include "proto/channel.h"
#include "proto/result_code.h"

namespace tide {

int WriteVarData(Channel* channel, const void* data, int64_t length) {
  if (channel == nullptr || data == nullptr || length < 0) return RESULT_INVALID_ARGUMENT;
  // A longer text cannot be described by the count; sending it cut would
  // desynchronise the peer.
  if (length > 0xffff) {
    TLOG_ERROR("WriteVarData: %lld bytes do not fit a 16-bit length", static_cast<long long>(length));
    return RESULT_PROTOCOL_ERROR;
  }
  int r = channel->WriteU16(static_cast<uint16_t>(length));
  if (r < 0) {
    TLOG_DEBUG("WriteVarData: Failed to write length indicator");
    return r;
  }
  if (length == 0) return RESULT_OK;
  r = channel->Write(data, static_cast<uint32_t>(length));
  if (r < 0) {
    TLOG_DEBUG("WriteVarData: Failed to write data");
    return r;
  }
  return RESULT_OK;
}

int WriteString(Channel* channel, const std::string& text) {
  int r = WriteVarData(channel, text.data(), static_cast<int64_t>(text.size()));
  if (r < 0) TLOG_DEBUG("WriteString: %s", ResultText(r));
  return r;
}

int ReadVarData(Channel* channel, void* buffer, uint32_t capacity) {
  if (channel == nullptr || buffer == nullptr || capacity == 0) return RESULT_INVALID_ARGUMENT;
  uint16_t count = 0;
  int r = channel->ReadU16(&count);
  if (r < 0) {
    TLOG_DEBUG("ReadVarData: %s", ResultText(r));
    return r;
  }
  if (count > capacity) {
    TLOG_ERROR("Expect only %d bytes but %d bytes coming in", static_cast<int>(capacity), static_cast<int>(count));
    return RESULT_PROTOCOL_ERROR;
  }
  uint32_t delivered = 0;
  r = channel->Read(buffer, count, &delivered);
  if (r < 0) {
    TLOG_ERROR("ReadVarData: %s", ResultText(r));
    TLOG_ERROR("Expected %d bytes but read only %d bytes", static_cast<int>(count), static_cast<int>(delivered));
    return r;
  }
  return count;
}

int ReadString(Channel* channel, std::string* text) {
  char buffer[MAX_WIRE_STRING + 1];
  int r = ReadVarData(channel, buffer, MAX_WIRE_STRING);
  if (r < 0) {
    TLOG_DEBUG("ReadVarData: %s", ResultText(r));
    return r;
  }
  buffer[r] = '\0';
  text->assign(buffer, strnlen(buffer, static_cast<size_t>(r)));
  return r;
}

}  // namespace tide
