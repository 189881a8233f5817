#include "filter/filter_parser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "filter/filter.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

struct Parsed {
  int result;
  FilterParseError error;
  int line;
  FilterConfig config;
};

Parsed Parse(const std::string& text) {
  Parsed parsed{};
  parsed.result = ParseFilterText(text.data(), text.size(), &parsed.config, &parsed.error, &parsed.line);
  return parsed;
}

TEST(FilterParser, ReadsEveryKindOfValue) {
  Parsed p = Parse(
      "# rules\n"
      "\t [Version]  # trailing comment\n"
      "major = 1\n"
      "minor = +2.75\n"
      "\n"
      "[Common]\n"
      "black_char = \"\\\\/:*\"\n"
      "black_char = \"?<>\"   # a later string replaces the earlier one\n"
      "black_name = \"Thumbs.db\", \"desktop.ini\",\n"
      "   # comments and blank lines may sit inside a continued set\n"
      "\n"
      "  \"@eaDir\"\n"
      "max_length = 255\n"
      "max_path = -0\n"
      "[File]\n"
      "black_ext = \"t\\x6Dp\", \"\\101\\t\\n\\v\\f\\a\\b\\r\\'\\\"\\?\"\r\n"
      "max_size = 9223372036854775807\n"
      "[EA]\n"
      "black_ea_name = \"com.apple.quarantine\"");
  ASSERT_EQ(p.result, FILTER_PARSE_OK) << FilterParseErrorName(p.error) << " line " << p.line;
  EXPECT_EQ(p.config.m_major, 1);
  EXPECT_EQ(p.config.m_minor, 2);
  EXPECT_EQ(p.config.m_common_black_char, "?<>");
  EXPECT_EQ(p.config.m_common_black_name, (FilterSet{"Thumbs.db", "desktop.ini", "@eaDir"}));
  EXPECT_EQ(p.config.m_max_length, 255);
  EXPECT_EQ(p.config.m_max_path, 0);
  EXPECT_EQ(p.config.m_file_black_ext, (FilterSet{"tmp", std::string("A\t\n\v\f\a\b\r'\"?")}));
  EXPECT_EQ(p.config.m_max_size, INT64_MAX);
  EXPECT_EQ(p.config.m_black_ea_name, FilterSet{"com.apple.quarantine"});
  EXPECT_FALSE(p.config.m_file_black_char.has_value());
}

TEST(FilterParser, NumbersSaturateToTheirWidth) {
  Parsed p = Parse("[Version]\nmajor = 99999999999\nminor = -99999999999\n[Common]\nmax_path = "
                   "-999999999999999999999999\n");
  ASSERT_EQ(p.result, FILTER_PARSE_OK);
  EXPECT_EQ(p.config.m_major, INT32_MAX);
  EXPECT_EQ(p.config.m_minor, INT32_MIN);
  EXPECT_EQ(p.config.m_max_path, INT64_MIN);
}

TEST(FilterParser, ReportsEachErrorWithItsLine) {
  struct Case {
    const char* text;
    FilterParseError error;
    int line;
  };
  const std::string long_name(33, 'a');
  const std::string long_string = "\"" + std::string(513, 'x') + "\"";
  const std::string long_number(512, '1');
  const std::string s33 = "[" + long_name + "]\n";
  const std::string k33 = "[Common]\n" + long_name + " = 1\n";
  const std::string v513 = "[Common]\nblack_name = " + long_string + "\n";
  const std::string n512 = "[Common]\nmax_path = " + long_number + "\n";
  const Case cases[] = {
      {"[Common\n", FilterParseError::SECTION_MISSING_RIGHT_BRACKET, 1},
      {"[]\n", FilterParseError::SECTION_MISSING_SECTION, 1},
      {"[Com mon]\n", FilterParseError::SECTION_ILLEGAL_CHARACTER, 1},
      {s33.c_str(), FilterParseError::SECTION_TOO_LONG, 1},
      {"\n[Nowhere]\n", FilterParseError::SECTION_UNDEFINED_SECTION, 2},
      {"[common]\n", FilterParseError::SECTION_UNDEFINED_SECTION, 1},
      {"[Common] x\n", FilterParseError::LINE_NOT_ENDED, 1},
      {"[Common]\n= 1\n", FilterParseError::KEY_MISSING_KEY, 2},
      {"[Common]\nmax_path 1\n", FilterParseError::KEY_ILLEGAL_CHARACTER, 2},
      {k33.c_str(), FilterParseError::KEY_TOO_LONG, 2},
      {"[Common]\nmax_path = -\n", FilterParseError::VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
      {"[Common]\nmax_path = .5\n", FilterParseError::VALUE_NUMERIC_MISSING_INTEGER_PART, 2},
      {"[Common]\nmax_path = 5.\n", FilterParseError::VALUE_NUMERIC_MISSING_FRACTIONAL_PART, 2},
      {"[Common]\nmax_path =\n", FilterParseError::VALUE_NUMERIC_MISSING_VALUE, 2},
      {"[Common]\nmax_path = x\n", FilterParseError::VALUE_NUMERIC_MISSING_VALUE, 2},
      {"[Common]\nmax_path = 12x\n", FilterParseError::VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
      {"[Common]\nmax_path = 012\n", FilterParseError::VALUE_NUMERIC_ILLEGAL_SYNTAX, 2},
      {"[Common]\nmax_path = 12 13\n", FilterParseError::LINE_NOT_ENDED, 2},
      {n512.c_str(), FilterParseError::VALUE_TOO_LONG, 2},
      {"[Common]\nblack_char = abc\n", FilterParseError::VALUE_STRING_MISSING_LEFT_QUOTE, 2},
      {"[Common]\nblack_name = \"a\", b\n", FilterParseError::VALUE_STRING_MISSING_LEFT_QUOTE, 2},
      {"[Common]\nblack_char = \"abc\n", FilterParseError::VALUE_STRING_MISSING_RIGHT_QUOTE, 2},
      {"[Common]\nblack_char = \"a\\qb\"\n", FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[Common]\nblack_char = \"a\\x4\"\n", FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[Common]\nblack_char = \"a\\400\"\n", FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[Common]\nblack_char = \"a\\08\"\n", FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[Common]\nblack_char = \"a\tb\"\n", FilterParseError::VALUE_STRING_ILLEGAL_CHARACTER, 2},
      {"[Common]\nblack_char = \"\"\n", FilterParseError::VALUE_STRING_EMPTY, 2},
      {v513.c_str(), FilterParseError::VALUE_TOO_LONG, 2},
      {"[Common]\nblack_char = \"a\", \"b\"\n", FilterParseError::LINE_NOT_ENDED, 2},
      {"[Common]\nblack_name = \"a\" \"b\"\n", FilterParseError::VALUE_SET_MISSING_SEPARATER, 2},
      {"[Common]\nblack_name = \"a\" ;\n", FilterParseError::LINE_NOT_ENDED, 2},
      {"max_path = 1\n", FilterParseError::LINE_NOT_EXPECTED, 1},
      {"[Common]\nblack_name = \"a\",\nmax_path = 1\n", FilterParseError::LINE_NOT_EXPECTED, 3},
      {"[Common]\nblack_name = \"a\",\n[File]\n", FilterParseError::LINE_NOT_EXPECTED, 3},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.text);
    EXPECT_EQ(p.result, FILTER_PARSE_FAILED) << c.text;
    EXPECT_EQ(p.error, c.error) << c.text << " gave " << FilterParseErrorName(p.error);
    EXPECT_EQ(p.line, c.line) << c.text;
  }
}

TEST(FilterParser, PrintsTheErrorNameAndLine) {
  testing::internal::CaptureStderr();
  Parsed p = Parse("[Common]\nblack_name = \"Thumbs.db\" \"desktop.ini\"\n");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "parser: VALUE_SET_MISSING_SEPARATER at line 2\n");
  EXPECT_EQ(p.result, FILTER_PARSE_FAILED);
  EXPECT_STREQ(FilterParseErrorName(27), "Unknown error");
  EXPECT_STREQ(FilterParseErrorName(-1), "Unknown error");
  EXPECT_STREQ(FilterParseErrorName(FilterParseError::INTERNAL_ERROR), "INTERNAL_ERROR");
}

TEST(FilterParser, LastLineWithoutLineFeedClosesItsString) {
  Parsed p = Parse("[EA]\nblack_ea_name = \"a\", \"unterminated");
  ASSERT_EQ(p.result, FILTER_PARSE_OK);
  EXPECT_EQ(p.config.m_black_ea_name, (FilterSet{"a", "unterminated"}));
}

TEST(FilterParser, UnknownKeysWarnAndNeedVersionOneOne) {
  struct Case {
    const char* version;
    bool accepted;
  };
  const Case cases[] = {{"", false}, {"major = 1\nminor = 0\n", false}, {"major = 1\nminor = 1\n", true},
                        {"major = 1\nminor = 7\n", true}, {"major = 2\nminor = 1\n", false}};
  for (const Case& c : cases) {
    std::string text = std::string("[Version]\n") + c.version + "[Common]\nfuture_key = \"x\", \"y\"\nmax_path = 9\n";
    testing::internal::CaptureStdout();
    Parsed p = Parse(text);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "warning: unknown key (future_key)\n");
    EXPECT_EQ(p.result, FILTER_PARSE_WARNINGS);
    EXPECT_EQ(p.config.m_max_path, 9);
    EXPECT_EQ(FilterParseAccepted(p.result, p.config), c.accepted) << c.version;
  }
}

TEST(FilterWriter, WritesTheFileLayout) {
  FilterConfig config;
  config.m_major = 1;
  config.m_minor = 1;
  config.m_common_black_char = "\"\\$@`\t\n\v\f\r\xe9";
  config.m_common_black_name = {"a", "b", "c", "d", "e", "f", "g"};
  config.m_max_length = -5;
  config.m_file_black_ext = {"1", "2", "3", "4", "5"};
  config.m_max_size = 100;
  config.m_black_ea_name = {"com.apple.quarantine"};
  EXPECT_EQ(WriteFilterText(config),
            "[Version]\nmajor = 1\nminor = 1\n\n"
            "[Common]\n"
            "black_char = \"\\\"\\\\\\x24\\x40\\x60\\t\\n\\v\\f\\x0d\\xe9\"\n"
            "black_name = \"a\", \"b\", \"c\", \"d\", \"e\", \n\"f\", \"g\"\n"
            "max_length = -5\nmax_path = 0\n\n"
            "[File]\n"
            "black_ext = \"1\", \"2\", \"3\", \"4\", \"5\"\n"
            "max_size = 100\n\n"
            "[Directory]\n\n"
            "[EA]\n"
            "black_ea_name = \"com.apple.quarantine\"\n\n");
}

// Random rule sets, built the way the reader would build them, written out
// and read back.
FilterConfig RandomConfig(std::mt19937& random) {
  auto random_string = [&random]() {
    std::uniform_int_distribution<int> length(1, 512);
    std::uniform_int_distribution<int> byte(0, 255);
    std::string s(static_cast<size_t>(length(random)), 'x');
    for (char& c : s) c = static_cast<char>(byte(random));
    return s;
  };
  auto random_set = [&](FilterSet* set) {
    int count = std::uniform_int_distribution<int>(0, 12)(random);
    for (int i = 0; i < count; ++i) FilterSetAppend(set, random_string());
  };
  auto maybe_string = [&](FilterString* target) {
    if (random() % 2) FilterStringReplace(target, random_string());
  };
  std::uniform_int_distribution<int64_t> any64(INT64_MIN, INT64_MAX);
  FilterConfig c;
  c.m_major = static_cast<int32_t>(any64(random));
  c.m_minor = static_cast<int32_t>(any64(random));
  maybe_string(&c.m_common_black_char);
  random_set(&c.m_common_black_prefix);
  random_set(&c.m_common_black_dir_prefix);
  random_set(&c.m_common_black_name);
  c.m_max_length = any64(random);
  c.m_max_path = any64(random);
  maybe_string(&c.m_file_black_char);
  random_set(&c.m_file_black_ext);
  random_set(&c.m_file_black_ext_selective_sync);
  random_set(&c.m_file_black_name);
  random_set(&c.m_file_black_prefix);
  c.m_max_size = any64(random);
  maybe_string(&c.m_dir_black_char);
  random_set(&c.m_dir_black_name);
  random_set(&c.m_dir_black_prefix);
  random_set(&c.m_black_ea_name);
  return c;
}

TEST(FilterWriter, WhatIsWrittenReadsBackTheSame) {
  std::mt19937 random(12345);
  for (int round = 0; round < 200; ++round) {
    FilterConfig original = RandomConfig(random);
    std::string text = WriteFilterText(original);
    Parsed p = Parse(text);
    ASSERT_EQ(p.result, FILTER_PARSE_OK) << "round " << round << ": " << FilterParseErrorName(p.error) << " line "
                                         << p.line;
    ASSERT_TRUE(p.config == original) << "round " << round;
  }
}

TEST(FilterInstance, SaveThenLoadKeepsTheRules) {
  test::TempDir dir;
  std::mt19937 random(7);
  FilterConfig original = RandomConfig(random);
  SetFilterConfig(original);
  ASSERT_EQ(SaveFilter(dir / "filter"), 0);
  ResetFilter();
  ASSERT_EQ(LoadFilter(dir / "filter"), 0);
  EXPECT_TRUE(GetFilterConfig() == original);
  EXPECT_EQ(SaveFilter(dir / "missing/filter"), -1);
  ResetFilter();
}

TEST(FilterInstance, RejectedFileLeavesNoRules) {
  test::TempDir dir;
  dir.WriteFile("good", "[Common]\nblack_name = \"Thumbs.db\"\n");
  dir.WriteFile("bad", "[Common]\nblack_name = \"Thumbs.db\"\nmax_path = x\n");
  dir.WriteFile("old", "[Common]\nblack_name = \"Thumbs.db\"\nnew_key = 1\n");
  ASSERT_EQ(LoadFilter(dir / "good"), 0);
  EXPECT_EQ(IsFilteredFile("/Thumbs.db", 10, 0), FILTER_BLACK_NAME);

  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadFilter(dir / "bad"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "parser: VALUE_NUMERIC_MISSING_VALUE at line 3\n");
  EXPECT_EQ(IsFilteredFile("/Thumbs.db", 10, 0), FILTER_ALLOWED);

  ASSERT_EQ(LoadFilter(dir / "good"), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(LoadFilter(dir / "old"), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(GetFilterConfig() == FilterConfig());

  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadFilter(dir / "absent"), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(FilterInstance, SandboxDefaultFileLoads) {
  // The rules the appliance layout ships with must load as they are.
  test::TempDir dir;
  std::string script = test::TempDir::ReadFile(TIDE_SOURCE_DIR "/scripts/sandbox.sh");
  size_t begin = script.find("<<'FILTER'\n");
  size_t end = script.find("\nFILTER\n", begin);
  ASSERT_NE(begin, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  begin += strlen("<<'FILTER'\n");
  dir.WriteFile("filter", script.substr(begin, end - begin + 1));
  ASSERT_EQ(LoadFilter(dir / "filter"), 0);
  EXPECT_EQ(IsFilteredFile("/a/Thumbs.db", 12, 0), FILTER_BLACK_NAME);
  EXPECT_EQ(IsFilteredFile("/a/b?.txt", 9, 0), FILTER_BLACK_CHAR);
  EXPECT_EQ(IsFilteredDir("/a/@tmp", 7), FILTER_BLACK_NAME);
  LockFilter();
  EXPECT_EQ(IsFilteredEAName("com.apple.quarantine"), FILTER_BLACK_EA_NAME);
  EXPECT_EQ(IsFilteredEAName("com.apple.FinderInfo"), FILTER_ALLOWED);
  UnlockFilter();
  ResetFilter();
}

// The black list an installation starts from must load cleanly: a syntax
// slip there would leave a fresh appliance without rules.
TEST(FilterParser, PackagedDefaultLoads) {
  FilterConfig config;
  ASSERT_EQ(FILTER_PARSE_OK, ParseFilterFile(std::string(TIDE_SOURCE_DIR) + "/packaging/etc/filter", &config));
  EXPECT_EQ(FILTER_BLACK_NAME, config.IsFilteredFile("/a/Thumbs.db", 12, 1));
  EXPECT_EQ(FILTER_ALLOWED, config.IsFilteredFile("/a/report.txt", 13, 1));
}

}  // namespace
}  // namespace tide
