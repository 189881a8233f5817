#include "db/progress_cache.h"

namespace tide {

ProgressCache& ProgressCache::Instance() {
  static ProgressCache instance;
  return instance;
}

void ProgressCache::Add(uint64_t view_id, uint64_t sync_id) {
  MutexLock lock(&m_mutex);
  m_views[view_id] = Progress{sync_id, 0};
}

void ProgressCache::Remove(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  m_views.erase(view_id);
}

bool ProgressCache::Contains(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  return m_views.count(view_id) != 0;
}

uint64_t ProgressCache::GetSyncId(uint64_t view_id) {
  MutexLock lock(&m_mutex);
  auto it = m_views.find(view_id);
  return it == m_views.end() ? 0 : it->second.m_sync_id;
}

void ProgressCache::SetSyncId(uint64_t view_id, uint64_t sync_id) {
  MutexLock lock(&m_mutex);
  auto it = m_views.find(view_id);
  if (it != m_views.end()) it->second.m_sync_id = sync_id;
}

void ProgressCache::SetNextSyncId(uint64_t view_id, uint64_t next_sync_id) {
  MutexLock lock(&m_mutex);
  auto it = m_views.find(view_id);
  if (it != m_views.end()) it->second.m_next_sync_id = next_sync_id;
}

bool ProgressCache::Next(uint64_t view_id, uint64_t* next_view_id, uint64_t* sync_id, uint64_t* next_sync_id) {
  MutexLock lock(&m_mutex);
  if (m_views.empty()) return false;
  auto it = m_views.find(view_id);
  if (it == m_views.end() || ++it == m_views.end()) it = m_views.begin();
  if (next_view_id) *next_view_id = it->first;
  if (sync_id) *sync_id = it->second.m_sync_id;
  if (next_sync_id) *next_sync_id = it->second.m_next_sync_id;
  return true;
}

size_t ProgressCache::Size() {
  MutexLock lock(&m_mutex);
  return m_views.size();
}

void ProgressCache::Clear() {
  MutexLock lock(&m_mutex);
  m_views.clear();
}

}  // namespace tide
