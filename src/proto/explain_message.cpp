#include "proto/explain_message.h"

namespace tide {

namespace {

// Absolute, no empty, "." or ".." component, no NUL, no trailing slash
// ("/" alone is the view's root).
bool CleanAbsolutePath(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  if (path == "/") return true;
  if (path.find('\0') != std::string::npos) return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const size_t length = end - start;
    if (length == 0) return false;
    if (length <= 2 && path.compare(start, length, std::string(length, '.')) == 0) return false;
    start = end + 1;
  }
  return true;
}

bool Flag(const PObject& message, const char* key) { return message.Find(key).AsUInt64() != 0; }

}  // namespace

PObject BuildExplainRequest(const ExplainRequest& request) {
  PObject message;
  message["action"] = EXPLAIN_ACTION;
  message["view_id"] = static_cast<unsigned long>(request.m_view_id);
  message["path"] = request.m_path;
  return message;
}

int ParseExplainRequest(const PObject& message, ExplainRequest* request, std::string* error) {
  if (!message.IsMap() || message.Find("action").AsString() != EXPLAIN_ACTION) {
    *error = "not an explain request";
    return -1;
  }
  const PObject& view_id = message.Find("view_id");
  if (!view_id.IsInteger() || view_id.AsUInt64() == 0) {
    *error = "no view id";
    return -1;
  }
  const PObject& path = message.Find("path");
  if (!path.IsString()) {
    *error = "no path";
    return -1;
  }
  std::string text = path.AsString();
  if (text.size() > EXPLAIN_PATH_MAX) {
    *error = "path too long";
    return -1;
  }
  if (!CleanAbsolutePath(text)) {
    *error = "not a clean absolute path below the view";
    return -1;
  }
  request->m_view_id = view_id.AsUInt64();
  request->m_path = std::move(text);
  return 0;
}

PObject BuildExplainReply(const ExplainReply& reply) {
  PObject message;
  if (!reply.m_error.empty()) {
    message["error"] = reply.m_error;
    return message;
  }
  message["known_view"] = static_cast<unsigned long>(reply.m_known_view);
  message["paused"] = static_cast<unsigned long>(reply.m_paused);
  message["frozen"] = static_cast<unsigned long>(reply.m_frozen);
  message["catching_up"] = static_cast<unsigned long>(reply.m_catching_up);
  message["queue"] = reply.m_queue;
  if (!reply.m_event.empty()) message["event"] = reply.m_event;
  if (!reply.m_through.empty()) message["through"] = reply.m_through;
  if (reply.m_position >= 0) message["position"] = static_cast<unsigned long>(reply.m_position);
  return message;
}

int ParseExplainReply(const PObject& message, ExplainReply* reply) {
  if (!message.IsMap()) return -1;
  ExplainReply parsed;
  if (message.HasKey("error")) {
    parsed.m_error = message.Find("error").AsString();
    if (parsed.m_error.empty()) parsed.m_error = "refused";
    *reply = std::move(parsed);
    return 0;
  }
  parsed.m_queue = message.Find("queue").AsString();
  if (parsed.m_queue != "none" && parsed.m_queue != "waiting" && parsed.m_queue != "in_progress") return -1;
  parsed.m_known_view = Flag(message, "known_view");
  parsed.m_paused = Flag(message, "paused");
  parsed.m_frozen = Flag(message, "frozen");
  parsed.m_catching_up = Flag(message, "catching_up");
  parsed.m_event = message.Find("event").AsString();
  parsed.m_through = message.Find("through").AsString();
  if (message.HasKey("position") && message.Find("position").IsInteger()) {
    uint64_t position = message.Find("position").AsUInt64();
    parsed.m_position = position > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(position);
  }
  *reply = std::move(parsed);
  return 0;
}

}  // namespace tide
