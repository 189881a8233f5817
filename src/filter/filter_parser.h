// Reader and writer of the filter file: a sectioned text file of
//   [Section]
//   key = 12
//   key = "string"
//   key = "one", "two",
//         "three"
// with '#' comments. The reader reports the first error as
// "parser: <NAME> at line <n>" on standard error and warns about unknown
// keys on standard output.
#pragma once

#include <cstddef>
#include <string>

#include "filter/filter_config.h"

namespace tide {

// Scoped: the names are printed as they are and would clash elsewhere.
enum class FilterParseError : int {
  NO_ERROR = 0,
  SECTION_MISSING_LEFT_BRACKET = 1,
  SECTION_MISSING_RIGHT_BRACKET = 2,
  SECTION_MISSING_SECTION = 3,
  SECTION_ILLEGAL_CHARACTER = 4,
  SECTION_TOO_LONG = 5,
  SECTION_UNDEFINED_SECTION = 6,
  KEY_MISSING_KEY = 7,
  KEY_ILLEGAL_CHARACTER = 8,
  KEY_TOO_LONG = 9,
  KEY_UNDEFINED_KEY = 10,
  VALUE_NUMERIC_MISSING_INTEGER_PART = 11,
  VALUE_NUMERIC_MISSING_FRACTIONAL_PART = 12,
  VALUE_NUMERIC_MISSING_VALUE = 13,
  VALUE_NUMERIC_ILLEGAL_SYNTAX = 14,
  VALUE_STRING_MISSING_LEFT_QUOTE = 15,
  VALUE_STRING_MISSING_RIGHT_QUOTE = 16,
  VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE = 17,
  VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE = 18,
  VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE = 19,
  VALUE_STRING_ILLEGAL_CHARACTER = 20,
  VALUE_STRING_EMPTY = 21,
  VALUE_SET_MISSING_SEPARATER = 22,
  VALUE_TOO_LONG = 23,
  LINE_NOT_ENDED = 24,
  LINE_NOT_EXPECTED = 25,
  INTERNAL_ERROR = 26,
};

// Parse outcomes.
constexpr int FILTER_PARSE_OK = 0;
constexpr int FILTER_PARSE_WARNINGS = 1;  // unknown keys were skipped
constexpr int FILTER_PARSE_FAILED = 2;

// Limits of the format.
constexpr size_t FILTER_IDENT_MAX = 32;    // section and key names
constexpr size_t FILTER_STRING_MAX = 512;  // bytes of a quoted string
constexpr size_t FILTER_NUMBER_MAX = 511;  // characters of a number

// The error's name ("Unknown error" outside the table).
const char* FilterParseErrorName(int error);
inline const char* FilterParseErrorName(FilterParseError error) {
  return FilterParseErrorName(static_cast<int>(error));
}

// Parses `size` bytes of filter text into *config (which should start from
// defaults). FILTER_PARSE_OK, _WARNINGS or _FAILED; on failure *error and
// *line (when given) say what and where.
int ParseFilterText(const char* data, size_t size, FilterConfig* config, FilterParseError* error = nullptr,
                    int* line = nullptr);

// Reads the file at `path`; a file that cannot be opened is FILTER_PARSE_FAILED
// without a message.
int ParseFilterFile(const std::string& path, FilterConfig* config);

// The file text for `config`.
std::string WriteFilterText(const FilterConfig& config);

// Whether a parse outcome is good enough to use the rules: a clean parse,
// or one with warnings from a file of version 1.1 or later.
bool FilterParseAccepted(int result, const FilterConfig& config);

}  // namespace tide
