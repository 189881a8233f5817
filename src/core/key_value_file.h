// Reader of the key/value file syntax shared by the configuration file, the
// log level file and the platform's small key/value files:
//
//   # comment
//   key = value          value ends at the first blank or control character
//   key = "two words"    or is quoted with " or '
//   key='x'  # comment   only blanks and a comment may follow the value
//
// Keys are runs of letters, digits, '-' and '_'. A key alone at the very end
// of the file, or directly followed by '#', is ignored. Any other malformed
// line invalidates the whole file. A key given twice keeps its last value.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace tide {

using KeyValueMap = std::map<std::string, std::string>;

// Parses `text`; 0 and the pairs in *out, or -1 and an empty map.
int ParseKeyValueText(std::string_view text, KeyValueMap* out);
// Reads the file at `path`; -1 and an empty map when it cannot be read or is
// invalid. Lines are taken at most 8191 characters at a time.
int ReadKeyValueFile(const std::string& path, KeyValueMap* out);

}  // namespace tide
