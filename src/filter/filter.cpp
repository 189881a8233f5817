#include "filter/filter.h"

#include <cstdio>
#include <mutex>

#include "filter/filter_parser.h"

namespace tide {

namespace {

// The process-wide rules and their mutex. Recursive, so that a caller
// holding LockFilter around a metadata conversion may still use the
// locking tests.
struct FilterInstance {
  std::recursive_mutex m_lock;
  FilterConfig m_config;  // guarded by m_lock
};

FilterInstance& Instance() {
  static FilterInstance* instance = new FilterInstance();
  return *instance;
}

}  // namespace

int InitFilter() {
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  filter.m_config = FilterConfig();
  return 0;
}

int ResetFilter() { return InitFilter(); }

int LoadFilter(const std::string& path) {
  // Parsed aside and swapped in whole, so a test never sees a partly
  // loaded rule set and a rejected file leaves no rules at all.
  FilterConfig loaded;
  int result = ParseFilterFile(path, &loaded);
  bool accepted = FilterParseAccepted(result, loaded);
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  filter.m_config = accepted ? std::move(loaded) : FilterConfig();
  return accepted ? 0 : -1;
}

int SaveFilter(const std::string& path) {
  std::string text;
  {
    FilterInstance& filter = Instance();
    std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
    text = WriteFilterText(filter.m_config);
  }
  FILE* fp = fopen(path.c_str(), "we");
  if (!fp) return -1;
  bool failed = fwrite(text.data(), 1, text.size(), fp) != text.size();
  failed = fclose(fp) != 0 || failed;
  return failed ? -1 : 0;
}

int IsFilteredFile(const std::string& path, size_t path_length, uint64_t size) {
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  return filter.m_config.IsFilteredFile(path, path_length, size);
}

int IsFilteredDir(const std::string& path, size_t path_length) {
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  return filter.m_config.IsFilteredDir(path, path_length);
}

int IsFilteredEAName(const std::string& name) { return Instance().m_config.IsFilteredEAName(name); }

void LockFilter() { Instance().m_lock.lock(); }
void UnlockFilter() { Instance().m_lock.unlock(); }

FilterConfig GetFilterConfig() {
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  return filter.m_config;
}

void SetFilterConfig(const FilterConfig& config) {
  FilterInstance& filter = Instance();
  std::lock_guard<std::recursive_mutex> guard(filter.m_lock);
  filter.m_config = config;
}

}  // namespace tide
