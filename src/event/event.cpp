#include "event/event.h"

#include <cinttypes>
#include <cstdio>

namespace tide {

namespace {

const char* const EVENT_TYPE_NAMES[EVENT_TYPE_COUNT] = {
    "EMPTY",       "REMOVE_LOCAL", "DOWNLOAD_REMOTE", "RENAME_LOCAL", "UPLOAD_LOCAL",
    "REMOVE_REMOTE", "RENAME_REMOTE", "EXPAND",        "RESCAN_MERGE", "RESCAN_SYNC",
};

}  // namespace

const char* EventTypeName(int32_t type) {
  // A type outside the table comes only from a corrupt or foreign record; it
  // must still print rather than index past the table.
  if (type < 0 || type >= EVENT_TYPE_COUNT) return "UNKNOWN";
  return EVENT_TYPE_NAMES[type];
}

std::string Event::ToString() const {
  char number[24];
  std::string text;
  text.reserve(64 + m_path.size() + m_hash.size());
  text += "Event<";
  text += EventTypeName(m_type);
  text += ">: [";
  snprintf(number, sizeof(number), "%" PRIu64, m_sync_id);
  text += number;
  text += "] ";
  text += m_path;
  text += IsServerEvent() ? " (server" : " (local";
  text += IsDir() ? ",dir" : ",file";
  if (IsExpandEvent()) text += ",expand";
  text += ")";
  if (!IsDir()) {
    snprintf(number, sizeof(number), "%" PRIu64, m_size);
    text += " size = ";
    text += number;
    text += ", hash = ";
    text += m_hash;
  }
  return text;
}

}  // namespace tide
