#include "daemon/status_file.h"

#include <unistd.h>

#include <map>

#include "core/registry.h"
#include "event/event_manager.h"

namespace tide {

DaemonStatus CollectStatus(bool paused) {
  DaemonStatus status;
  status.m_pid = static_cast<int>(getpid());
  status.m_paused = paused;
  std::map<uint64_t, ViewLoad> loads;
  for (const ViewLoad& load : EventManager::GetInstance().Snapshot()) loads[load.m_view_id] = load;
  Registry& registry = Registry::Instance();
  RegistryEntry entry;
  for (bool found = registry.GetFirst(&entry); found; found = registry.GetNext(entry.m_view_id, &entry)) {
    StatusView view;
    view.m_view_id = entry.m_view_id;
    view.m_attribute = entry.m_attribute;
    auto load = loads.find(entry.m_view_id);
    if (load != loads.end()) {
      view.m_waiting = load->second.m_waiting;
      view.m_working = load->second.m_working;
      view.m_done = load->second.m_done;
    }
    status.m_views.push_back(view);
  }
  return status;
}

}  // namespace tide
