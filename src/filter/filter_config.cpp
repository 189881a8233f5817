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

// The entry of `set` that `name` equals (without regard to case), or none.
const std::string* EqualEntry(std::string_view name, const FilterSet& set) {
  for (const std::string& entry : set) {
    if (EqualsNoCase(name, entry)) return &entry;
  }
  return nullptr;
}

const std::string* PrefixEntry(std::string_view name, const FilterSet& set) {
  for (const std::string& entry : set) {
    if (BeginsNoCase(name, entry)) return &entry;
  }
  return nullptr;
}

// The character of `chars` that `name` holds, or '\0'.
char CharOf(std::string_view name, const FilterString& chars) {
  if (!chars) return '\0';
  size_t found = name.find_first_of(std::string_view(*chars));
  return found == std::string_view::npos ? '\0' : name[found];
}

// The entry the path is, or lies below.
const std::string* DirPrefixEntry(std::string_view path, const FilterSet& set) {
  for (const std::string& entry : set) {
    if (BeginsNoCase(path, entry) && (path.size() == entry.size() || path[entry.size()] == '/')) return &entry;
  }
  return nullptr;
}

// Fills *match (when asked) and returns `code`.
int Matched(int code, FilterMatch* match, const char* section, const char* key, std::string entry) {
  if (match != nullptr) *match = FilterMatch{section, key, std::move(entry)};
  return code;
}

bool Longer(size_t length, int64_t limit) { return limit != 0 && static_cast<int64_t>(length) > limit; }

// The [Common] tests of one name (a file's, or one folder of a path);
// `whole` is the path the black_dir_prefix entries are compared with.
int CommonNameRule(const FilterConfig& config, std::string_view name, std::string_view whole, FilterMatch* match) {
  if (char c = CharOf(name, config.m_common_black_char)) {
    return Matched(FILTER_BLACK_CHAR, match, "Common", "black_char", {c});
  }
  if (auto* entry = PrefixEntry(name, config.m_common_black_prefix)) {
    return Matched(FILTER_BLACK_PREFIX, match, "Common", "black_prefix", *entry);
  }
  if (auto* entry = DirPrefixEntry(whole, config.m_common_black_dir_prefix)) {
    return Matched(FILTER_BLACK_DIR_PREFIX, match, "Common", "black_dir_prefix", *entry);
  }
  if (auto* entry = EqualEntry(name, config.m_common_black_name)) {
    return Matched(FILTER_BLACK_NAME, match, "Common", "black_name", *entry);
  }
  return FILTER_ALLOWED;
}

}  // namespace

FilterConfig::FilterConfig() {
  // Room for the usual handful of entries, as the file format expects.
  for (FilterSet* set : {&m_common_black_prefix, &m_common_black_dir_prefix, &m_common_black_name, &m_file_black_ext,
                         &m_file_black_ext_selective_sync, &m_file_black_name, &m_file_black_prefix}) {
    set->reserve(4);
  }
  for (FilterSet* set : {&m_dir_black_name, &m_dir_black_prefix, &m_black_ea_name}) set->reserve(2);
}

int FilterConfig::IsFilteredFile(const std::string& path, size_t path_length, uint64_t size,
                                 FilterMatch* match) const {
  // Longer paths than any the tests are made for are refused before
  // anything else looks at them.
  if (path.size() >= FILTER_PATH_BUFFER) return Matched(FILTER_BAD_PATH, match, "", "path", "");
  if (Longer(path_length, m_max_path)) {
    return Matched(FILTER_PATH_TOO_LONG, match, "Common", "max_path", std::to_string(m_max_path));
  }
  if (m_max_size != 0 && size > static_cast<uint64_t>(m_max_size)) {
    return Matched(FILTER_FILE_TOO_LARGE, match, "File", "max_size", std::to_string(m_max_size));
  }
  if (path.empty() || path[0] != '/') return Matched(FILTER_BAD_PATH, match, "", "path", "");

  std::string_view whole(path);
  size_t slash = whole.rfind('/');
  std::string_view directory = whole.substr(0, slash + 1);
  std::string_view name = whole.substr(slash + 1);
  size_t dot = name.rfind('.');
  bool has_extension = dot != std::string_view::npos && dot != 0;
  std::string_view extension = has_extension ? name.substr(dot + 1) : std::string_view();
  if (directory.size() >= FILTER_DIR_MAX || name.size() > FILTER_NAME_MAX || extension.size() > FILTER_NAME_MAX) {
    return Matched(FILTER_BAD_PATH, match, "", "path", "");
  }

  if (Longer(name.size(), m_max_length)) {
    return Matched(FILTER_NAME_TOO_LONG, match, "Common", "max_length", std::to_string(m_max_length));
  }
  if (int code = CommonNameRule(*this, name, whole, match)) return code;
  if (char c = CharOf(name, m_file_black_char)) return Matched(FILTER_BLACK_CHAR, match, "File", "black_char", {c});
  if (has_extension) {
    if (auto* entry = EqualEntry(extension, m_file_black_ext)) {
      return Matched(FILTER_BLACK_EXT, match, "File", "black_ext", *entry);
    }
    if (auto* entry = EqualEntry(extension, m_file_black_ext_selective_sync)) {
      return Matched(FILTER_SELECTIVE_SYNC_EXT, match, "File", "black_ext_selective_sync", *entry);
    }
  }
  if (auto* entry = EqualEntry(name, m_file_black_name)) {
    return Matched(FILTER_BLACK_NAME, match, "File", "black_name", *entry);
  }
  if (auto* entry = PrefixEntry(name, m_file_black_prefix)) {
    return Matched(FILTER_BLACK_PREFIX, match, "File", "black_prefix", *entry);
  }
  return WalkDirectories(std::string(directory), match);
}

int FilterConfig::IsFilteredDir(const std::string& path, size_t path_length, FilterMatch* match) const {
  if (path.size() >= FILTER_PATH_BUFFER) return Matched(FILTER_BAD_PATH, match, "", "path", "");
  if (Longer(path_length, m_max_path)) {
    return Matched(FILTER_PATH_TOO_LONG, match, "Common", "max_path", std::to_string(m_max_path));
  }
  return WalkDirectories(path, match);
}

int FilterConfig::WalkDirectories(const std::string& path, FilterMatch* match) const {
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
    if (component.size() > FILTER_NAME_MAX) return Matched(FILTER_BAD_PATH, match, "", "path", "");
    if (int code = CommonNameRule(*this, component, whole, match)) return code;
    if (Longer(component.size(), m_max_length)) {
      return Matched(FILTER_NAME_TOO_LONG, match, "Common", "max_length", std::to_string(m_max_length));
    }
    if (char c = CharOf(component, m_dir_black_char)) {
      return Matched(FILTER_BLACK_CHAR, match, "Directory", "black_char", {c});
    }
    if (auto* entry = EqualEntry(component, m_dir_black_name)) {
      return Matched(FILTER_BLACK_NAME, match, "Directory", "black_name", *entry);
    }
    if (auto* entry = PrefixEntry(component, m_dir_black_prefix)) {
      return Matched(FILTER_BLACK_PREFIX, match, "Directory", "black_prefix", *entry);
    }
  }
  return FILTER_ALLOWED;
}

int FilterConfig::IsFilteredEAName(const std::string& name) const {
  return EqualEntry(name, m_black_ea_name) != nullptr ? FILTER_BLACK_EA_NAME : FILTER_ALLOWED;
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
