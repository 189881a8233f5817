#include "proto/result_code.h"

namespace tide {

namespace {
// The texts are part of the log format other tools grep for: keep them as
// they are, spelling included.
const char* const RESULT_TEXTS[RESULT_TEXT_COUNT] = {
    "Successful",
    "Interrupted",
    "I/O error",
    "System error",
    "Invalid argument",
    "Protocal error",
    "Authentication failure",
    "Server error",
    "Event conflict",
    "Connection timeout",
    "Incompatible version",
    "No such entry",
    "Invalid username",
    "Password and username not matched",
    "HXM disabled",
    "User quota not enough",
    "Disk is full",
    "Sync Folder is miss",
    "View missing/invalid",
    "no permission ",
    "pull event by path, but the path is missing",
    "connection about by setting flag",
    "Local Disk is full",
};
}  // namespace

const char* ResultText(int code) {
  // Widen before negating so INT_MIN does not overflow.
  long long index = code < 0 ? -static_cast<long long>(code) : code;
  if (index >= RESULT_TEXT_COUNT) return "Unknown error";
  return RESULT_TEXTS[index];
}

}  // namespace tide
