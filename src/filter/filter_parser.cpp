#include "filter/filter_parser.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace tide {

namespace {

enum ValueType { TYPE_INT32 = 0, TYPE_INT64 = 1, TYPE_STRING = 2, TYPE_SET = 3 };

struct KeySpec {
  const char* m_name;
  ValueType m_type;
  int32_t FilterConfig::*m_int32;
  int64_t FilterConfig::*m_int64;
  FilterString FilterConfig::*m_string;
  FilterSet FilterConfig::*m_set;
};

struct SectionSpec {
  const char* m_name;
  const KeySpec* m_keys;
  size_t m_key_count;
};

constexpr KeySpec Int32Key(const char* name, int32_t FilterConfig::*member) {
  return {name, TYPE_INT32, member, nullptr, nullptr, nullptr};
}
constexpr KeySpec Int64Key(const char* name, int64_t FilterConfig::*member) {
  return {name, TYPE_INT64, nullptr, member, nullptr, nullptr};
}
constexpr KeySpec StringKey(const char* name, FilterString FilterConfig::*member) {
  return {name, TYPE_STRING, nullptr, nullptr, member, nullptr};
}
constexpr KeySpec SetKey(const char* name, FilterSet FilterConfig::*member) {
  return {name, TYPE_SET, nullptr, nullptr, nullptr, member};
}

const KeySpec VERSION_KEYS[] = {
    Int32Key("major", &FilterConfig::m_major),
    Int32Key("minor", &FilterConfig::m_minor),
};
const KeySpec COMMON_KEYS[] = {
    StringKey("black_char", &FilterConfig::m_common_black_char),
    SetKey("black_prefix", &FilterConfig::m_common_black_prefix),
    SetKey("black_dir_prefix", &FilterConfig::m_common_black_dir_prefix),
    SetKey("black_name", &FilterConfig::m_common_black_name),
    Int64Key("max_length", &FilterConfig::m_max_length),
    Int64Key("max_path", &FilterConfig::m_max_path),
};
const KeySpec FILE_KEYS[] = {
    StringKey("black_char", &FilterConfig::m_file_black_char),
    SetKey("black_ext", &FilterConfig::m_file_black_ext),
    SetKey("black_ext_selective_sync", &FilterConfig::m_file_black_ext_selective_sync),
    SetKey("black_name", &FilterConfig::m_file_black_name),
    SetKey("black_prefix", &FilterConfig::m_file_black_prefix),
    Int64Key("max_size", &FilterConfig::m_max_size),
};
const KeySpec DIRECTORY_KEYS[] = {
    StringKey("black_char", &FilterConfig::m_dir_black_char),
    SetKey("black_name", &FilterConfig::m_dir_black_name),
    SetKey("black_prefix", &FilterConfig::m_dir_black_prefix),
};
const KeySpec EA_KEYS[] = {
    SetKey("black_ea_name", &FilterConfig::m_black_ea_name),
};

#define SECTION(name, keys) {name, keys, sizeof(keys) / sizeof(keys[0])}
const SectionSpec SECTIONS[] = {
    SECTION("Version", VERSION_KEYS), SECTION("Common", COMMON_KEYS), SECTION("File", FILE_KEYS),
    SECTION("Directory", DIRECTORY_KEYS), SECTION("EA", EA_KEYS),
};
#undef SECTION

const char* const ERROR_NAMES[] = {
    "NO_ERROR",
    "SECTION_MISSING_LEFT_BRACKET",
    "SECTION_MISSING_RIGHT_BRACKET",
    "SECTION_MISSING_SECTION",
    "SECTION_ILLEGAL_CHARACTER",
    "SECTION_TOO_LONG",
    "SECTION_UNDEFINED_SECTION",
    "KEY_MISSING_KEY",
    "KEY_ILLEGAL_CHARACTER",
    "KEY_TOO_LONG",
    "KEY_UNDEFINED_KEY",
    "VALUE_NUMERIC_MISSING_INTEGER_PART",
    "VALUE_NUMERIC_MISSING_FRACTIONAL_PART",
    "VALUE_NUMERIC_MISSING_VALUE",
    "VALUE_NUMERIC_ILLEGAL_SYNTAX",
    "VALUE_STRING_MISSING_LEFT_QUOTE",
    "VALUE_STRING_MISSING_RIGHT_QUOTE",
    "VALUE_STRING_ESCAPE_ILLEGAL_SEQUENCE",
    "VALUE_STRING_ESCAPE_ILLEGAL_HEX_VALUE",
    "VALUE_STRING_ESCAPE_ILLEGAL_OCT_VALUE",
    "VALUE_STRING_ILLEGAL_CHARACTER",
    "VALUE_STRING_EMPTY",
    "VALUE_SET_MISSING_SEPARATER",
    "VALUE_TOO_LONG",
    "LINE_NOT_ENDED",
    "LINE_NOT_EXPECTED",
    "INTERNAL_ERROR",
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsIdentChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '_';
}
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
int HexValue(char c) { return IsDigit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }

// One line being parsed: its text without the line feed, and whether a
// line feed ended it (the last line of a file may lack one).
class LineParser {
 public:
  LineParser(std::string_view text, bool ended_by_newline) : m_text(text), m_newline(ended_by_newline) {}

  bool AtEnd() const { return m_pos >= m_text.size(); }
  char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
  void Advance() { ++m_pos; }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(m_text[m_pos])) ++m_pos;
  }
  // Nothing but blanks and perhaps a comment remains.
  bool RestIsEmpty() {
    SkipBlanks();
    return AtEnd() || Peek() == '#';
  }

  // Reads a section or key name. 0, or the error for a name too long.
  size_t ReadIdent(std::string* out) {
    size_t start = m_pos;
    while (!AtEnd() && IsIdentChar(m_text[m_pos])) ++m_pos;
    *out = std::string(m_text.substr(start, m_pos - start));
    return out->size();
  }

  // A quoted string at the current position (which holds the opening quote).
  FilterParseError ReadQuoted(std::string* out) {
    out->clear();
    Advance();
    for (;;) {
      if (AtEnd()) {
        // A line feed inside the string is an error; the very end of the
        // text closes it.
        if (m_newline) return FilterParseError::VALUE_STRING_MISSING_RIGHT_QUOTE;
        break;
      }
      unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
      if (c == '"') break;
      if (c < 0x20 || c == 0x7f) return FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER;
      if (c == '\\') {
        int byte = ReadEscape();
        if (byte < 0) return FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER;
        c = static_cast<unsigned char>(byte);
      }
      if (out->size() >= FILTER_STRING_MAX) return FilterParseError::VALUE_TOO_LONG;
      out->push_back(static_cast<char>(c));
    }
    if (out->empty()) return FilterParseError::VALUE_STRING_EMPTY;
    return FilterParseError::NO_ERROR;
  }

  // A number with optional sign and ignored fraction, converted to
  // [min, max] (saturating).
  FilterParseError ReadNumber(int64_t min, int64_t max, int64_t* value) {
    size_t start = m_pos;
    bool sign = Peek() == '+' || Peek() == '-';
    if (sign) Advance();
    size_t integer_start = m_pos;
    if (Peek() == '0') {
      Advance();
    } else {
      while (IsDigit(Peek())) Advance();
    }
    size_t integer_end = m_pos;
    if (integer_end == integer_start) {
      return sign || Peek() == '.' ? FilterParseError::VALUE_NUMERIC_MISSING_INTEGER_PART
                                   : FilterParseError::VALUE_NUMERIC_MISSING_VALUE;
    }
    if (Peek() == '.') {
      Advance();
      size_t fraction_start = m_pos;
      while (IsDigit(Peek())) Advance();
      if (m_pos == fraction_start) return FilterParseError::VALUE_NUMERIC_MISSING_FRACTIONAL_PART;
    }
    if (m_pos - start > FILTER_NUMBER_MAX) return FilterParseError::VALUE_TOO_LONG;
    if (!AtEnd() && !IsBlank(Peek()) && Peek() != '#') return FilterParseError::VALUE_NUMERIC_ILLEGAL_SYNTAX;

    std::string digits(m_text.substr(start, integer_end - start));
    errno = 0;
    long long parsed = strtoll(digits.c_str(), nullptr, 10);
    if (parsed < min) parsed = min;
    if (parsed > max) parsed = max;
    *value = parsed;
    return FilterParseError::NO_ERROR;
  }

 private:
  // The byte of an escape whose backslash was just read, or -1.
  int ReadEscape() {
    if (AtEnd()) return -1;
    char e = m_text[m_pos++];
    switch (e) {
      case 'a': return '\a';
      case 'b': return '\b';
      case 'f': return '\f';
      case 'n': return '\n';
      case 'r': return '\r';
      case 't': return '\t';
      case 'v': return '\v';
      case '\'': return '\'';
      case '"': return '"';
      case '\\': return '\\';
      case '?': return '?';
      case 'x':
        if (m_pos + 2 > m_text.size() || !IsHex(m_text[m_pos]) || !IsHex(m_text[m_pos + 1])) return -1;
        m_pos += 2;
        return HexValue(m_text[m_pos - 2]) * 16 + HexValue(m_text[m_pos - 1]);
      default:
        break;
    }
    if (e >= '0' && e <= '3' && m_pos + 2 <= m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '7' &&
        m_text[m_pos + 1] >= '0' && m_text[m_pos + 1] <= '7') {
      m_pos += 2;
      return (e - '0') * 64 + (m_text[m_pos - 2] - '0') * 8 + (m_text[m_pos - 1] - '0');
    }
    return -1;
  }

  std::string_view m_text;
  bool m_newline;
  size_t m_pos = 0;
};

class FilterParser {
 public:
  explicit FilterParser(FilterConfig* config) : m_config(config) {}

  FilterParseError ParseLine(std::string_view text, bool newline) {
    LineParser line(text, newline);
    line.SkipBlanks();
    if (line.AtEnd() || line.Peek() == '#') return FilterParseError::NO_ERROR;
    if (m_continuation) {
      if (line.Peek() != '"') return FilterParseError::LINE_NOT_EXPECTED;
      m_continuation = false;
      return ParseSet(line, m_set);
    }
    if (line.Peek() == '[') return ParseHeader(line);
    if (!m_section) return FilterParseError::LINE_NOT_EXPECTED;
    return ParseKey(line);
  }

  int Warnings() const { return m_warnings; }

 private:
  FilterParseError ParseHeader(LineParser& line) {
    line.Advance();
    std::string name;
    size_t length = line.ReadIdent(&name);
    if (length > FILTER_IDENT_MAX) return FilterParseError::SECTION_TOO_LONG;
    if (line.AtEnd()) return FilterParseError::SECTION_MISSING_RIGHT_BRACKET;
    if (line.Peek() != ']') return FilterParseError::SECTION_ILLEGAL_CHARACTER;
    if (length == 0) return FilterParseError::SECTION_MISSING_SECTION;
    line.Advance();
    if (!line.RestIsEmpty()) return FilterParseError::LINE_NOT_ENDED;
    for (const SectionSpec& section : SECTIONS) {
      if (name == section.m_name) {
        m_section = &section;
        return FilterParseError::NO_ERROR;
      }
    }
    return FilterParseError::SECTION_UNDEFINED_SECTION;
  }

  FilterParseError ParseKey(LineParser& line) {
    std::string name;
    size_t length = line.ReadIdent(&name);
    if (length == 0) return FilterParseError::KEY_MISSING_KEY;
    if (length > FILTER_IDENT_MAX) return FilterParseError::KEY_TOO_LONG;
    line.SkipBlanks();
    if (line.Peek() != '=' || line.AtEnd()) return FilterParseError::KEY_ILLEGAL_CHARACTER;
    line.Advance();
    line.SkipBlanks();

    const KeySpec* key = nullptr;
    for (size_t i = 0; i < m_section->m_key_count; ++i) {
      if (name == m_section->m_keys[i].m_name) key = &m_section->m_keys[i];
    }
    if (!key) {
      printf("warning: unknown key (%s)\n", name.c_str());
      fflush(stdout);
      ++m_warnings;
      return FilterParseError::NO_ERROR;
    }
    switch (key->m_type) {
      case TYPE_INT32: {
        int64_t value = 0;
        FilterParseError error = line.ReadNumber(INT32_MIN, INT32_MAX, &value);
        if (error != FilterParseError::NO_ERROR) return error;
        if (!line.RestIsEmpty()) return FilterParseError::LINE_NOT_ENDED;
        m_config->*(key->m_int32) = static_cast<int32_t>(value);
        return FilterParseError::NO_ERROR;
      }
      case TYPE_INT64: {
        int64_t value = 0;
        FilterParseError error = line.ReadNumber(INT64_MIN, INT64_MAX, &value);
        if (error != FilterParseError::NO_ERROR) return error;
        if (!line.RestIsEmpty()) return FilterParseError::LINE_NOT_ENDED;
        m_config->*(key->m_int64) = value;
        return FilterParseError::NO_ERROR;
      }
      case TYPE_STRING: {
        if (line.Peek() != '"' || line.AtEnd()) return FilterParseError::VALUE_STRING_MISSING_LEFT_QUOTE;
        std::string value;
        FilterParseError error = line.ReadQuoted(&value);
        if (error != FilterParseError::NO_ERROR) return error;
        if (!line.RestIsEmpty()) return FilterParseError::LINE_NOT_ENDED;
        FilterStringReplace(&(m_config->*(key->m_string)), value);
        return FilterParseError::NO_ERROR;
      }
      case TYPE_SET:
        return ParseSet(line, &(m_config->*(key->m_set)));
    }
    return FilterParseError::INTERNAL_ERROR;
  }

  // Quoted strings separated by ","; a "," at the end of the line carries
  // the set on to the next line.
  FilterParseError ParseSet(LineParser& line, FilterSet* set) {
    for (;;) {
      if (line.Peek() != '"' || line.AtEnd()) return FilterParseError::VALUE_STRING_MISSING_LEFT_QUOTE;
      std::string value;
      FilterParseError error = line.ReadQuoted(&value);
      if (error != FilterParseError::NO_ERROR) return error;
      FilterSetAppend(set, value);
      if (line.RestIsEmpty()) return FilterParseError::NO_ERROR;
      if (line.Peek() == '"') return FilterParseError::VALUE_SET_MISSING_SEPARATER;
      if (line.Peek() != ',') return FilterParseError::LINE_NOT_ENDED;
      line.Advance();
      if (line.RestIsEmpty()) {
        m_continuation = true;
        m_set = set;
        return FilterParseError::NO_ERROR;
      }
    }
  }

  FilterConfig* m_config;
  const SectionSpec* m_section = nullptr;
  bool m_continuation = false;
  FilterSet* m_set = nullptr;
  int m_warnings = 0;
};

void AppendQuoted(const std::string& value, std::string* out) {
  out->push_back('"');
  for (unsigned char c : value) {
    if (c >= 0x20 && c <= 0x7e && c != '$' && c != '@' && c != '`') {
      if (c == '\\' || c == '"') out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c == '\t') {
      out->append("\\t");
    } else if (c == '\n') {
      out->append("\\n");
    } else if (c == '\v') {
      out->append("\\v");
    } else if (c == '\f') {
      out->append("\\f");
    } else {
      char escaped[5];
      snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out->append(escaped);
    }
  }
  out->push_back('"');
}

void AppendString(const char* key, const FilterString& value, std::string* out) {
  if (!value) return;
  out->append(key).append(" = ");
  AppendQuoted(*value, out);
  out->push_back('\n');
}

// Five entries per line; a line that continues ends with ", ".
void AppendSet(const char* key, const FilterSet& set, std::string* out) {
  if (set.empty()) return;
  out->append(key).append(" = ");
  for (size_t i = 0; i < set.size(); ++i) {
    AppendQuoted(set[i], out);
    if (i + 1 == set.size()) break;
    out->append(", ");
    if ((i + 1) % 5 == 0) out->push_back('\n');
  }
  out->push_back('\n');
}

void AppendNumber(const char* key, long long value, std::string* out) {
  char line[96];
  snprintf(line, sizeof line, "%s = %lld\n", key, value);
  out->append(line);
}

}  // namespace

const char* FilterParseErrorName(int error) {
  if (error < 0 || static_cast<size_t>(error) >= sizeof(ERROR_NAMES) / sizeof(ERROR_NAMES[0])) {
    return "Unknown error";
  }
  return ERROR_NAMES[error];
}

int ParseFilterText(const char* data, size_t size, FilterConfig* config, FilterParseError* error_out,
                    int* line_out) {
  FilterParser parser(config);
  std::string_view text(data, size);
  FilterParseError error = FilterParseError::NO_ERROR;
  int line_number = 0;
  size_t pos = 0;
  try {
    while (pos < text.size()) {
      ++line_number;
      size_t newline = text.find('\n', pos);
      bool ended = newline != std::string_view::npos;
      size_t end = ended ? newline : text.size();
      error = parser.ParseLine(text.substr(pos, end - pos), ended);
      if (error != FilterParseError::NO_ERROR) break;
      pos = ended ? newline + 1 : text.size();
    }
  } catch (const std::bad_alloc&) {
    error = FilterParseError::INTERNAL_ERROR;
  }
  if (error_out) *error_out = error;
  if (line_out) *line_out = line_number;
  if (error != FilterParseError::NO_ERROR) {
    fprintf(stderr, "parser: %s at line %d\n", FilterParseErrorName(error), line_number);
    return FILTER_PARSE_FAILED;
  }
  return parser.Warnings() > 0 ? FILTER_PARSE_WARNINGS : FILTER_PARSE_OK;
}

int ParseFilterFile(const std::string& path, FilterConfig* config) {
  FILE* fp = fopen(path.c_str(), "re");
  if (!fp) return FILTER_PARSE_FAILED;
  std::string text;
  char buffer[8192];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, fp)) > 0) text.append(buffer, got);
  bool failed = ferror(fp) != 0;
  fclose(fp);
  if (failed) return FILTER_PARSE_FAILED;
  return ParseFilterText(text.data(), text.size(), config);
}

std::string WriteFilterText(const FilterConfig& config) {
  std::string out;
  out.append("[Version]\n");
  AppendNumber("major", config.m_major, &out);
  AppendNumber("minor", config.m_minor, &out);
  out.append("\n[Common]\n");
  AppendString("black_char", config.m_common_black_char, &out);
  AppendSet("black_prefix", config.m_common_black_prefix, &out);
  AppendSet("black_dir_prefix", config.m_common_black_dir_prefix, &out);
  AppendSet("black_name", config.m_common_black_name, &out);
  // Signed, so that every value that can be read back is written as it is.
  AppendNumber("max_length", config.m_max_length, &out);
  AppendNumber("max_path", config.m_max_path, &out);
  out.append("\n[File]\n");
  AppendString("black_char", config.m_file_black_char, &out);
  AppendSet("black_ext", config.m_file_black_ext, &out);
  AppendSet("black_ext_selective_sync", config.m_file_black_ext_selective_sync, &out);
  AppendSet("black_name", config.m_file_black_name, &out);
  AppendSet("black_prefix", config.m_file_black_prefix, &out);
  AppendNumber("max_size", config.m_max_size, &out);
  out.append("\n[Directory]\n");
  AppendString("black_char", config.m_dir_black_char, &out);
  AppendSet("black_name", config.m_dir_black_name, &out);
  AppendSet("black_prefix", config.m_dir_black_prefix, &out);
  out.append("\n[EA]\n");
  AppendSet("black_ea_name", config.m_black_ea_name, &out);
  out.append("\n");
  return out;
}

bool FilterParseAccepted(int result, const FilterConfig& config) {
  if (result == FILTER_PARSE_OK) return true;
  return result == FILTER_PARSE_WARNINGS && config.m_major == 1 && config.m_minor >= 1;
}

}  // namespace tide
