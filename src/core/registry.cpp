#define TIDE_LOG_TAG "client"
#define TIDE_LOG_COMPONENT "client_debug"
#include "core/registry.h"

#include <syslog.h>

#include <cctype>
#include <cstdio>

#include "core/logger.h"

namespace tide {

int32_t VolumeIdOfPath(const std::string& path, const std::string& prefix) {
  const size_t prefix_len = prefix.size();
  if (path.compare(0, prefix_len, prefix) != 0 || path.size() == prefix_len ||
      !isdigit(static_cast<unsigned char>(path[prefix_len]))) {
    return -1;
  }
  int volume = -1;
  if (sscanf(path.c_str() + prefix_len, "%d", &volume) < 1 || volume < 0) return -1;
  return volume;
}

Registry& Registry::Instance() {
  static Registry registry;
  return registry;
}

int Registry::Add(const std::string& name, uint32_t attribute, const std::string& watch_path, uint64_t view_id,
                  int32_t root_id) {
  int32_t volume = VolumeIdOfPath(watch_path, m_volume_prefix);
  if (volume < 0) return -1;
  MutexLock guard(&m_mutex);
  if (m_by_view_id.count(view_id) != 0) return -1;
  auto entry = std::make_unique<RegistryEntry>();
  entry->m_name = name;
  entry->m_attribute = attribute;
  entry->m_watch_path = watch_path;
  entry->m_view_id = view_id;
  entry->m_root_id = root_id;
  entry->m_volume_id = volume;
  NameIndex& index = (attribute & VIEW_ATTR_SHARE) ? m_shares : m_users;
  index.insert_or_assign(name, entry.get());
  m_by_view_id.emplace(view_id, std::move(entry));
  return 0;
}

int Registry::Remove(uint64_t view_id) {
  MutexLock guard(&m_mutex);
  auto it = m_by_view_id.find(view_id);
  if (it == m_by_view_id.end()) return -1;
  RegistryEntry* entry = it->second.get();
  NameIndex& index = entry->IsShare() ? m_shares : m_users;
  // A newer entry of the same name may have taken the name over; it keeps it.
  auto named = index.find(entry->m_name);
  if (named != index.end() && named->second == entry) index.erase(named);
  m_by_view_id.erase(it);
  return 0;
}

bool Registry::GetByViewId(uint64_t view_id, RegistryEntry* entry) {
  MutexLock guard(&m_mutex);
  auto it = m_by_view_id.find(view_id);
  if (it == m_by_view_id.end()) return false;
  *entry = *it->second;
  return true;
}

bool Registry::GetByName(bool share, const std::string& name, RegistryEntry* entry) {
  MutexLock guard(&m_mutex);
  const NameIndex& index = share ? m_shares : m_users;
  auto it = index.find(name);
  if (it == index.end()) return false;
  *entry = *it->second;
  return true;
}

bool Registry::GetShareByName(const std::string& name, RegistryEntry* entry) { return GetByName(true, name, entry); }

bool Registry::GetUserByName(const std::string& name, RegistryEntry* entry) { return GetByName(false, name, entry); }

bool Registry::GetFirst(RegistryEntry* entry) {
  MutexLock guard(&m_mutex);
  if (m_by_view_id.empty()) return false;
  *entry = *m_by_view_id.begin()->second;
  return true;
}

bool Registry::GetNext(uint64_t view_id, RegistryEntry* entry) {
  MutexLock guard(&m_mutex);
  auto it = m_by_view_id.find(view_id);
  if (it == m_by_view_id.end() || ++it == m_by_view_id.end()) return false;
  *entry = *it->second;
  return true;
}

int Registry::SetAttribute(uint64_t view_id, uint32_t bits, bool on) {
  MutexLock guard(&m_mutex);
  auto it = m_by_view_id.find(view_id);
  if (it == m_by_view_id.end()) return -1;
  if (on) {
    it->second->m_attribute |= bits;
  } else {
    it->second->m_attribute &= ~bits;
  }
  return 0;
}

int Registry::SetPath(bool share, const std::string& name, const std::string& watch_path) {
  int32_t volume = VolumeIdOfPath(watch_path, m_volume_prefix);
  if (volume < 0) return 0;
  MutexLock guard(&m_mutex);
  NameIndex& index = share ? m_shares : m_users;
  auto it = index.find(name);
  if (it != index.end()) {
    it->second->m_watch_path = watch_path;
    it->second->m_volume_id = volume;
  }
  return 0;
}

int Registry::SetSharePath(const std::string& name, const std::string& watch_path) {
  return SetPath(true, name, watch_path);
}

int Registry::SetUserPath(const std::string& name, const std::string& watch_path) {
  return SetPath(false, name, watch_path);
}

size_t Registry::Size() {
  MutexLock guard(&m_mutex);
  return m_by_view_id.size();
}

void Registry::Dump(const std::function<void(const char* line)>& sink) {
  auto emit = [&](const char* format, auto... args) {
    char line[8192];
    snprintf(line, sizeof(line), format, args...);
    if (sink) {
      sink(line);
    } else {
      syslog(LOG_ERR, "%s", line);
    }
  };
  MutexLock guard(&m_mutex);
  emit("%s", "----------------------------");
  for (const auto& [view_id, entry] : m_by_view_id) {
    emit("name: %s", entry->m_name.c_str());
    emit("\t - attribute: %X", entry->m_attribute);
    emit("\t - watch-path: '%s'\n", entry->m_watch_path.c_str());
    emit("\t - view-id: %llu\n", static_cast<unsigned long long>(view_id));
    emit("\t - root-id: %d\n", entry->m_root_id);
    emit("\t - volume-id: %d\n", entry->m_volume_id);
  }
  emit("%s", "----------------------------");
}

void Registry::Clear() {
  MutexLock guard(&m_mutex);
  m_shares.clear();
  m_users.clear();
  m_by_view_id.clear();
}

}  // namespace tide
