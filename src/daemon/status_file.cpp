#include "daemon/status_file.h"

#include <unistd.h>

#include <cmath>

#include "core/registry.h"
#include "event/event_manager.h"

namespace tide {

DaemonStatus CollectStatus(bool paused, ViewRates* rates, std::chrono::steady_clock::time_point now) {
  DaemonStatus status;
  status.m_pid = static_cast<int>(getpid());
  status.m_paused = paused;
  std::map<uint64_t, ViewLoad> loads;
  for (const ViewLoad& load : EventManager::GetInstance().Snapshot()) loads[load.m_view_id] = load;
  ViewRates measured;
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
      view.m_bytes_done = load->second.m_bytes_done;
      view.m_bytes_found = load->second.m_bytes_found;
    }
    bool busy = view.m_waiting + view.m_working > 0;
    if (busy && !paused && (entry.m_attribute & VIEW_ATTR_PAUSED) == 0) {
      auto kept = rates->find(entry.m_view_id);
      ProgressRate& rate = measured[entry.m_view_id];
      if (kept != rates->end()) rate = kept->second;
      rate.Add(now, view.m_done, view.m_bytes_done);
      double files_per_second = 0;
      double bytes_per_second = 0;
      if (rate.Rate(&files_per_second, &bytes_per_second)) {
        view.m_have_rate = true;
        view.m_files_per_hour = static_cast<uint64_t>(std::llround(files_per_second * 3600));
        view.m_bytes_per_second = static_cast<uint64_t>(std::llround(bytes_per_second));
      }
    }
    status.m_views.push_back(view);
  }
  // Views idle, paused or gone leave their measure behind.
  *rates = std::move(measured);
  return status;
}

DaemonStatus CollectStatus(bool paused) {
  static ViewRates rates;
  return CollectStatus(paused, &rates, std::chrono::steady_clock::now());
}

}  // namespace tide
