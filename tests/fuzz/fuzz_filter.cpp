// Feeds arbitrary bytes to the filter file reader. Whatever it accepts must
// survive the writer: the written text reads back to the same rules, and
// the filter tests run on them without fault.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "filter/filter_config.h"
#include "filter/filter_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tide;
  FilterConfig config;
  int result = ParseFilterText(reinterpret_cast<const char*>(data), size, &config);
  if (result == FILTER_PARSE_FAILED) return 0;

  std::string text = WriteFilterText(config);
  FilterConfig again;
  FilterParseError error = FilterParseError::NO_ERROR;
  int line = 0;
  if (ParseFilterText(text.data(), text.size(), &again, &error, &line) != FILTER_PARSE_OK) {
    fprintf(stderr, "written rules do not read back: %s at line %d\n%s", FilterParseErrorName(error), line,
            text.c_str());
    abort();
  }
  if (!(again == config)) {
    fprintf(stderr, "written rules read back differently:\n%s", text.c_str());
    abort();
  }

  // The tests themselves, on a few paths made from the input.
  std::string path(reinterpret_cast<const char*>(data), size < 1100 ? size : 1100);
  for (const std::string& candidate : {path, "/" + path, std::string("/a/b.c"), std::string("/")}) {
    config.IsFilteredFile(candidate, candidate.size(), size);
    config.IsFilteredDir(candidate, candidate.size());
    config.IsFilteredEAName(candidate);
  }
  return 0;
}
