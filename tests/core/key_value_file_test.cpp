#include "core/key_value_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace tide {
namespace {

struct KeyValueCase {
  const char* m_name;
  const char* m_text;
  int m_result;
  KeyValueMap m_pairs;
};

class KeyValueText : public testing::TestWithParam<KeyValueCase> {};

TEST_P(KeyValueText, Parses) {
  const KeyValueCase& c = GetParam();
  KeyValueMap pairs{{"stale", "entry"}};
  EXPECT_EQ(c.m_result, ParseKeyValueText(c.m_text, &pairs)) << c.m_text;
  EXPECT_EQ(c.m_pairs, pairs) << c.m_text;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, KeyValueText,
    testing::Values(
        KeyValueCase{"plain", "a=1\nb = two\n", 0, {{"a", "1"}, {"b", "two"}}},
        KeyValueCase{"comments_and_blanks", "# c\n\n   \n  # indented\nk=v # tail\n", 0, {{"k", "v"}}},
        KeyValueCase{"double_quotes", "k = \"two words\"\n", 0, {{"k", "two words"}}},
        KeyValueCase{"single_quotes_hold_hash", "k='a # b'\n", 0, {{"k", "a # b"}}},
        KeyValueCase{"quoted_empty", "log_file_path=\"\"\n", 0, {{"log_file_path", ""}}},
        KeyValueCase{"last_value_wins", "k=1\nk=2\n", 0, {{"k", "2"}}},
        KeyValueCase{"key_chars", "a-b_C9=x\n", 0, {{"a-b_C9", "x"}}},
        KeyValueCase{"key_then_hash_ignored", "k#note\nj=1\n", 0, {{"j", "1"}}},
        KeyValueCase{"key_at_end_of_file_ignored", "j=1\nk", 0, {{"j", "1"}}},
        KeyValueCase{"crlf_line_ends", "a=1\r\nb=\"x y\"\r\n", 0, {{"a", "1"}, {"b", "x y"}}},
        KeyValueCase{"no_final_newline", "a=1", 0, {{"a", "1"}}},
        // One bad line spoils the whole file.
        KeyValueCase{"key_alone_then_newline", "a=1\nk\n", -1, {}},
        KeyValueCase{"equals_without_value", "a=1\nk=\n", -1, {}},
        KeyValueCase{"equals_then_blanks", "k=   \n", -1, {}},
        KeyValueCase{"unterminated_quote", "k=\"open\n", -1, {}},
        KeyValueCase{"text_after_value", "k=a b\n", -1, {}},
        KeyValueCase{"text_after_quote", "k=\"a\"b\n", -1, {}},
        KeyValueCase{"bad_key_char", "k.x=1\n", -1, {}},
        KeyValueCase{"no_key", "=1\n", -1, {}}),
    [](const testing::TestParamInfo<KeyValueCase>& info) { return std::string(info.param.m_name); });

TEST(KeyValueFile, LongLineIsTakenAsSeveralLines) {
  // The first 8191 characters form a line of their own; the rest of the
  // physical line is then a line that must parse by itself.
  std::string value(8191 - 2, 'v');
  KeyValueMap pairs;
  EXPECT_EQ(0, ParseKeyValueText("k=" + value + "j=1\n", &pairs));
  EXPECT_EQ(value, pairs["k"]);
  EXPECT_EQ("1", pairs["j"]);
}

TEST(KeyValueFile, ReadsFileAndFailsOnMissingFile) {
  test::TempDir dir;
  KeyValueMap pairs;
  EXPECT_EQ(0, ReadKeyValueFile(dir.WriteFile("conf", "worker_count=2\n"), &pairs));
  EXPECT_EQ((KeyValueMap{{"worker_count", "2"}}), pairs);
  EXPECT_EQ(-1, ReadKeyValueFile(dir / "missing", &pairs));
  EXPECT_TRUE(pairs.empty());
}

// The installed configuration and log level files are all comments: they
// must read as valid (an invalid file silently drops every setting) and
// change no default.
TEST(KeyValueFile, PackagedDefaultsAreValidAndSetNothing) {
  for (const char* name : {"tide-clientd.conf", "syncfolder_c.debug"}) {
    KeyValueMap pairs;
    EXPECT_EQ(0, ReadKeyValueFile(std::string(TIDE_SOURCE_DIR) + "/packaging/etc/" + name, &pairs)) << name;
    EXPECT_TRUE(pairs.empty()) << name;
  }
}

}  // namespace
}  // namespace tide
