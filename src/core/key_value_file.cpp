#include "core/key_value_file.h"

#include <cstdio>
#include <memory>

namespace tide {
namespace {

// Longest piece of a line taken at once; a longer line becomes several.
constexpr size_t MAX_LINE_PIECE = 8191;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsKeyChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}
bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

enum LineResult { LINE_IGNORED, LINE_PAIR, LINE_INVALID };

// `line` excludes its newline; `at_end_of_file` says no newline followed it.
LineResult ParseLine(std::string_view line, bool at_end_of_file, std::string* key, std::string* value) {
  // A trailing carriage return (a file written with CRLF line ends) is not
  // part of the line.
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size() || line[i] == '#') return LINE_IGNORED;
  size_t key_start = i;
  while (i < line.size() && IsKeyChar(line[i])) ++i;
  if (i == key_start) return LINE_INVALID;
  *key = std::string(line.substr(key_start, i - key_start));
  if (i == line.size()) return at_end_of_file ? LINE_IGNORED : LINE_INVALID;
  if (line[i] == '#') return LINE_IGNORED;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size() || line[i] != '=') return LINE_INVALID;
  ++i;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size()) return LINE_INVALID;
  if (line[i] == '"' || line[i] == '\'') {
    char quote = line[i++];
    size_t close = line.find(quote, i);
    if (close == std::string_view::npos) return LINE_INVALID;
    *value = std::string(line.substr(i, close - i));
    i = close + 1;
  } else {
    size_t value_start = i;
    while (i < line.size() && !IsBlank(line[i]) && !IsControl(line[i])) ++i;
    if (i == value_start) return LINE_INVALID;
    *value = std::string(line.substr(value_start, i - value_start));
  }
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && line[i] != '#') return LINE_INVALID;
  return LINE_PAIR;
}

}  // namespace

int ParseKeyValueText(std::string_view text, KeyValueMap* out) {
  out->clear();
  KeyValueMap pairs;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t newline = text.find('\n', pos);
    size_t end = newline == std::string_view::npos ? text.size() : newline;
    bool at_end_of_file = newline == std::string_view::npos;
    // A piece longer than the reader's buffer is handled as several lines,
    // each but the last without its newline.
    if (end - pos > MAX_LINE_PIECE) {
      end = pos + MAX_LINE_PIECE;
      at_end_of_file = false;
      newline = end - 1;
    }
    std::string key, value;
    switch (ParseLine(text.substr(pos, end - pos), at_end_of_file && end == text.size(), &key, &value)) {
      case LINE_INVALID:
        return -1;
      case LINE_PAIR:
        pairs[key] = value;
        break;
      case LINE_IGNORED:
        break;
    }
    pos = newline == std::string_view::npos ? text.size() : newline + 1;
  }
  *out = std::move(pairs);
  return 0;
}

int ReadKeyValueFile(const std::string& path, KeyValueMap* out) {
  out->clear();
  std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "re"), fclose);
  if (!file) return -1;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, n);
  if (ferror(file.get())) return -1;
  return ParseKeyValueText(text, out);
}

}  // namespace tide
