// The black-list rules: which names, extensions, sizes, path lengths,
// directory prefixes and extended-attribute names stay out of
// synchronisation. A plain value; the process-wide instance lives in
// filter.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tide {

// Filter codes: 0 means allowed.
enum FilterCode {
  FILTER_ALLOWED = 0,
  FILTER_BAD_PATH = -1,         // no leading "/", or a part too long
  FILTER_BLACK_CHAR = -2,
  FILTER_BLACK_PREFIX = -3,
  FILTER_BLACK_NAME = -4,
  FILTER_BLACK_EXT = -5,
  FILTER_NAME_TOO_LONG = -6,
  FILTER_FILE_TOO_LARGE = -8,
  FILTER_PATH_TOO_LONG = -9,
  FILTER_BLACK_EA_NAME = -10,
  FILTER_BLACK_DIR_PREFIX = -11,
  FILTER_SELECTIVE_SYNC_EXT = -12,
};

// Paths of this many bytes or more are refused outright (FILTER_BAD_PATH).
constexpr size_t FILTER_PATH_BUFFER = 1024;
// Longest name, extension or directory component tested, in bytes.
constexpr size_t FILTER_NAME_MAX = 511;
// A directory part this long or longer is refused.
constexpr size_t FILTER_DIR_MAX = 4095;

using FilterSet = std::vector<std::string>;
using FilterString = std::optional<std::string>;

// Which rule refused a path: its section, key and the entry that matched
// (the character of a black_char, the limit of a max_ key). Section empty
// for a path no rule can test (FILTER_BAD_PATH).
struct FilterMatch {
  std::string m_section;
  std::string m_key;
  std::string m_entry;

  bool operator==(const FilterMatch&) const = default;
};

struct FilterConfig {
  // [Version]
  int32_t m_major = 0;
  int32_t m_minor = 0;
  // [Common]
  FilterString m_common_black_char;
  FilterSet m_common_black_prefix;
  FilterSet m_common_black_dir_prefix;  // relative paths beginning with "/"
  FilterSet m_common_black_name;
  int64_t m_max_length = 0;  // 0 = no limit
  int64_t m_max_path = 0;    // 0 = no limit
  // [File]
  FilterString m_file_black_char;
  FilterSet m_file_black_ext;
  FilterSet m_file_black_ext_selective_sync;
  FilterSet m_file_black_name;
  FilterSet m_file_black_prefix;
  int64_t m_max_size = 0;  // 0 = no limit
  // [Directory]
  FilterString m_dir_black_char;
  FilterSet m_dir_black_name;
  FilterSet m_dir_black_prefix;
  // [EA]
  FilterSet m_black_ea_name;

  FilterConfig();
  bool operator==(const FilterConfig& other) const = default;

  // Tests of a relative path ("/dir/name"). `path_length` is compared with
  // max_path (callers pass the length of the full local path); `size` with
  // max_size. 0 or a FilterCode; `match`, when given, gets the rule that
  // refused the path.
  int IsFilteredFile(const std::string& path, size_t path_length, uint64_t size,
                     FilterMatch* match = nullptr) const;
  int IsFilteredDir(const std::string& path, size_t path_length, FilterMatch* match = nullptr) const;
  int IsFilteredEAName(const std::string& name) const;

 private:
  // The per-component tests of a directory path.
  int WalkDirectories(const std::string& path, FilterMatch* match) const;
};

// Set editing.
void FilterSetAppend(FilterSet* set, const std::string& value);
// Removes the first entry equal (case-sensitively) to `value` by moving the
// last entry into its place. 0, or -1 when there is none.
int FilterSetRemove(FilterSet* set, const std::string& value);
void FilterStringReplace(FilterString* target, const std::string& value);

}  // namespace tide
