#include "filter/filter_config.h"

#include <strings.h>

#include <algorithm>
#include <string_view>

namespace tide {

namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool BeginsNoCase(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() && EqualsNoCase(name.substr(0, prefix.size()), prefix);
}

bool AnyEquals(std::string_view name, const FilterSet& set) {
  return std::any_of(set.begin(), set.end(), [&](const std::string& entry) { return EqualsNoCase(name, entry); });
}

bool AnyPrefix(std::string_view name, const FilterSet& set) {
  return std::any_of(set.begin(), set.end(), [&](const std::string& entry) { return BeginsNoCase(name, entry); });
}

bool HasCharOf(std::string_view name, const FilterString& chars) {
  return chars && name.find_first_of(std::string_view(*chars)) != std::string_view::npos;
}

// The path is the entry itself, or lies below it.
bool UnderDirPrefix(std::string_view path, const FilterSet& set) {
  return std::any_of(set.begin(), set.end(), [&](const std::string& entry) {
    if (!BeginsNoCase(path, entry)) return false;
    return path.size() == entry.size() || path[entry.size()] == '/';
  });
}

bool Longer(size_t length, int64_t limit) { return limit != 0 && static_cast<int64_t>(length) > limit; }

}  // namespace

FilterConfig::FilterConfig() {
  // Room for the usual handful of entries, as the file format expects.
  for (FilterSet* set : {&m_common_black_prefix, &m_common_black_dir_prefix, &m_common_black_name, &m_file_black_ext,
                         &m_file_black_ext_selective_sync, &m_file_black_name, &m_file_black_prefix}) {
    set->reserve(4);
  }
  for (FilterSet* set : {&m_dir_black_name, &m_dir_black_prefix, &m_black_ea_name}) set->reserve(2);
}

int FilterConfig::IsFilteredFile(const std::string& path, size_t path_length, uint64_t size) const {
  // Longer paths than any the tests are made for are refused before
  // anything else looks at them.
  if (path.size() >= FILTER_PATH_BUFFER) return FILTER_BAD_PATH;
  if (Longer(path_length, m_max_path)) return FILTER_PATH_TOO_LONG;
  if (m_max_size != 0 && size > static_cast<uint64_t>(m_max_size)) return FILTER_FILE_TOO_LARGE;
  if (path.empty() || path[0] != '/') return FILTER_BAD_PATH;

  std::string_view whole(path);
  size_t slash = whole.rfind('/');
  std::string_view directory = whole.substr(0, slash + 1);
  std::string_view name = whole.substr(slash + 1);
  size_t dot = name.rfind('.');
  bool has_extension = dot != std::string_view::npos && dot != 0;
  std::string_view extension = has_extension ? name.substr(dot + 1) : std::string_view();
  if (directory.size() >= FILTER_DIR_MAX || name.size() > FILTER_NAME_MAX || extension.size() > FILTER_NAME_MAX) {
    return FILTER_BAD_PATH;
  }

  if (Longer(name.size(), m_max_length)) return FILTER_NAME_TOO_LONG;
  if (HasCharOf(name, m_common_black_char)) return FILTER_BLACK_CHAR;
  if (AnyPrefix(name, m_common_black_prefix)) return FILTER_BLACK_PREFIX;
  if (UnderDirPrefix(whole, m_common_black_dir_prefix)) return FILTER_BLACK_DIR_PREFIX;
  if (AnyEquals(name, m_common_black_name)) return FILTER_BLACK_NAME;
  if (HasCharOf(name, m_file_black_char)) return FILTER_BLACK_CHAR;
  if (has_extension && AnyEquals(extension, m_file_black_ext)) return FILTER_BLACK_EXT;
  if (has_extension && AnyEquals(extension, m_file_black_ext_selective_sync)) return FILTER_SELECTIVE_SYNC_EXT;
  if (AnyEquals(name, m_file_black_name)) return FILTER_BLACK_NAME;
  if (AnyPrefix(name, m_file_black_prefix)) return FILTER_BLACK_PREFIX;
  return WalkDirectories(std::string(directory));
}

int FilterConfig::IsFilteredDir(const std::string& path, size_t path_length) const {
  if (path.size() >= FILTER_PATH_BUFFER) return FILTER_BAD_PATH;
  if (Longer(path_length, m_max_path)) return FILTER_PATH_TOO_LONG;
  return WalkDirectories(path);
}

int FilterConfig::WalkDirectories(const std::string& path) const {
  std::string_view whole(path);
  size_t pos = 0;
  while (pos < whole.size()) {
    size_t end = whole.find('/', pos);
    if (end == std::string_view::npos) end = whole.size();
    std::string_view component = whole.substr(pos, end - pos);
    pos = end + 1;
    if (component.empty()) continue;
    // Components longer than any name the tests are made for are refused
    // rather than tested in pieces.
    if (component.size() > FILTER_NAME_MAX) return FILTER_BAD_PATH;
    if (HasCharOf(component, m_common_black_char)) return FILTER_BLACK_CHAR;
    if (AnyPrefix(component, m_common_black_prefix)) return FILTER_BLACK_PREFIX;
    if (UnderDirPrefix(whole, m_common_black_dir_prefix)) return FILTER_BLACK_DIR_PREFIX;
    if (AnyEquals(component, m_common_black_name)) return FILTER_BLACK_NAME;
    if (Longer(component.size(), m_max_length)) return FILTER_NAME_TOO_LONG;
    if (HasCharOf(component, m_dir_black_char)) return FILTER_BLACK_CHAR;
    if (AnyEquals(component, m_dir_black_name)) return FILTER_BLACK_NAME;
    if (AnyPrefix(component, m_dir_black_prefix)) return FILTER_BLACK_PREFIX;
  }
  return FILTER_ALLOWED;
}

int FilterConfig::IsFilteredEAName(const std::string& name) const {
  return AnyEquals(name, m_black_ea_name) ? FILTER_BLACK_EA_NAME : FILTER_ALLOWED;
}

void FilterSetAppend(FilterSet* set, const std::string& value) {
  // Capacity doubles when full, as the file format's sets expect.
  if (set->size() == set->capacity()) set->reserve(std::max<size_t>(2, set->capacity() * 2));
  set->push_back(value);
}

int FilterSetRemove(FilterSet* set, const std::string& value) {
  auto found = std::find(set->begin(), set->end(), value);
  if (found == set->end()) return -1;
  if (found != set->end() - 1) *found = std::move(set->back());
  set->pop_back();
  return 0;
}

void FilterStringReplace(FilterString* target, const std::string& value) { *target = value; }

}  // namespace tide
