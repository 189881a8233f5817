// The one question the control socket answers: what the running daemon
// knows of one path that nobody else can see (its queue and its workers),
// asked by `tide-clientctl explain`. Every other instruction stays
// unanswered, and older clients never send this one.
//
//   request: {"action": "explain", "view_id": 10, "path": "/docs/a.txt"}
//   reply:   {"known_view": 1, "paused": 0, "frozen": 0, "catching_up": 0,
//             "queue": "waiting", "event": "UPLOAD_LOCAL",
//             "through": "/docs", "position": 3}
//
// "queue" is "none", "waiting" or "in_progress"; "through" names the folder
// whose walk or removal covers the path (absent when the event is the
// path's own); "position" is the place of a walk in the view's queue of
// walks (absent for other events). A reply to a request that does not
// parse carries only "error".
#pragma once

#include <cstdint>
#include <string>

#include "proto/pobject.h"

namespace tide {

constexpr const char* EXPLAIN_ACTION = "explain";
// Paths longer than any a view can hold are refused before anything looks
// them up.
constexpr size_t EXPLAIN_PATH_MAX = 4096;

struct ExplainRequest {
  uint64_t m_view_id = 0;
  std::string m_path;  // below the view, starting with "/"

  bool operator==(const ExplainRequest&) const = default;
};

struct ExplainReply {
  std::string m_error;  // set when the request was refused; nothing else is
  bool m_known_view = false;
  bool m_paused = false;
  bool m_frozen = false;
  bool m_catching_up = false;
  std::string m_queue = "none";  // "none", "waiting", "in_progress"
  std::string m_event;           // event type name, empty with "none"
  std::string m_through;
  int64_t m_position = -1;

  bool operator==(const ExplainReply&) const = default;
};

PObject BuildExplainRequest(const ExplainRequest& request);
// 0, or -1 with the reason in *error: a missing or zero view id, a path
// that is not a clean absolute path (empty, ".", ".." or empty components,
// a NUL byte) or is longer than EXPLAIN_PATH_MAX.
int ParseExplainRequest(const PObject& message, ExplainRequest* request, std::string* error);

PObject BuildExplainReply(const ExplainReply& reply);
// 0, or -1 when the message is not a reply (not a map, or a "queue" that
// is not one of the three).
int ParseExplainReply(const PObject& message, ExplainReply* reply);

}  // namespace tide
