// Walking the components of a relative path such as "/a//b/c".
#pragma once

#include <string_view>

namespace tide {

// Splits off the next non-empty component of `rest` ("a" of "/a//b") and
// leaves the remainder in `rest`; false when no component is left.
inline bool NextComponent(std::string_view* rest, std::string_view* component) {
  size_t start = rest->find_first_not_of('/');
  if (start == std::string_view::npos) {
    *rest = std::string_view();
    return false;
  }
  size_t end = rest->find('/', start);
  if (end == std::string_view::npos) end = rest->size();
  *component = rest->substr(start, end - start);
  *rest = rest->substr(end);
  return true;
}

}  // namespace tide
