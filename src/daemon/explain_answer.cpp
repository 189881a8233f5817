#include "daemon/explain_answer.h"

#include "core/freeze_file.h"
#include "core/registry.h"
#include "event/event_manager.h"
#include "proto/explain_message.h"

namespace tide {

namespace {

const char* QueueName(int32_t state) {
  switch (state) {
    case PATH_WAITING: return "waiting";
    case PATH_IN_PROGRESS: return "in_progress";
    default: return "none";
  }
}

}  // namespace

PObject AnswerExplain(const PObject& request, bool all_paused) {
  ExplainRequest parsed;
  ExplainReply reply;
  if (ParseExplainRequest(request, &parsed, &reply.m_error) < 0) return BuildExplainReply(reply);
  RegistryEntry entry;
  reply.m_known_view = Registry::Instance().GetByViewId(parsed.m_view_id, &entry);
  if (reply.m_known_view) {
    reply.m_paused = all_paused || (entry.m_attribute & VIEW_ATTR_PAUSED) != 0;
    reply.m_catching_up = (entry.m_attribute & VIEW_ATTR_CATCHING_UP) != 0;
    reply.m_frozen = IsViewFrozen(parsed.m_view_id);
  }
  PathActivity activity = EventManager::GetInstance().DescribePath(parsed.m_view_id, parsed.m_path);
  reply.m_queue = QueueName(activity.m_state);
  if (activity.m_state != PATH_NOT_QUEUED) reply.m_event = EventTypeName(activity.m_event_type);
  reply.m_through = activity.m_through;
  reply.m_position = activity.m_position;
  return BuildExplainReply(reply);
}

}  // namespace tide
