// Result codes shared by the channel, the string helpers, the messages and the
// value streams: 0 or the negative index of a text in the table below.
#pragma once

namespace tide {

enum ResultCode {
  RESULT_OK = 0,
  RESULT_INTERRUPTED = -1,
  RESULT_IO_ERROR = -2,
  RESULT_SYSTEM_ERROR = -3,
  RESULT_INVALID_ARGUMENT = -4,
  RESULT_PROTOCOL_ERROR = -5,
  RESULT_AUTH_FAILURE = -6,
  RESULT_SERVER_ERROR = -7,
  RESULT_EVENT_CONFLICT = -8,
  RESULT_TIMEOUT = -9,
  RESULT_INCOMPATIBLE_VERSION = -10,
  RESULT_NO_SUCH_ENTRY = -11,
  RESULT_INVALID_USERNAME = -12,
  RESULT_PASSWORD_MISMATCH = -13,
  RESULT_HXM_DISABLED = -14,
  RESULT_QUOTA_NOT_ENOUGH = -15,
  RESULT_DISK_FULL = -16,
  RESULT_SYNC_FOLDER_MISSING = -17,
  RESULT_VIEW_MISSING = -18,
  RESULT_NO_PERMISSION = -19,
  RESULT_PULL_PATH_MISSING = -20,
  RESULT_ABORTED_BY_FLAG = -21,
  RESULT_LOCAL_DISK_FULL = -22,
};

constexpr int RESULT_TEXT_COUNT = 23;

// Text of `code` (sign ignored); "Unknown error" past the end of the table.
const char* ResultText(int code);

// Command codes of the exchanges with the server daemon, sent as a u32 before
// the request.
enum CommandCode : unsigned {
  CMD_CONNECT = 1,
  CMD_UPLOAD = 2,
  CMD_DOWNLOAD = 3,
  CMD_REMOVE = 4,
  CMD_PULL_EVENTS = 5,
  CMD_KEEP_ALIVE = 6,
};

}  // namespace tide
