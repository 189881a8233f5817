#include "filter/filter_config.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "filter/filter.h"

namespace tide {
namespace {

enum Kind { FILE_TEST, DIR_TEST };

struct Case {
  const char* rules;  // what the case sets up, for the failure message
  FilterConfig config;
  Kind kind;
  std::string path;
  uint64_t size;
  int expected;
};

FilterConfig With(void (*setup)(FilterConfig&)) {
  FilterConfig c;
  setup(c);
  return c;
}

int RunCase(const Case& c) {
  return c.kind == FILE_TEST ? c.config.IsFilteredFile(c.path, c.path.size(), c.size)
                             : c.config.IsFilteredDir(c.path, c.path.size());
}

TEST(FilterTests, TableOfRules) {
  auto thumbs = With([](FilterConfig& c) { c.m_common_black_name = {"Thumbs.db"}; });
  auto tmp_ext = With([](FilterConfig& c) { c.m_file_black_ext = {"tmp"}; });
  auto photos = With([](FilterConfig& c) { c.m_common_black_dir_prefix = {"/photos"}; });
  auto len3 = With([](FilterConfig& c) { c.m_max_length = 3; });
  auto size100 = With([](FilterConfig& c) {
    c.m_max_size = 100;
    c.m_common_black_name = {"x"};
  });
  auto chars = With([](FilterConfig& c) {
    c.m_common_black_char = std::string("?");
    c.m_file_black_char = std::string("#");
    c.m_dir_black_char = std::string("%");
  });
  auto prefixes = With([](FilterConfig& c) {
    c.m_common_black_prefix = {"~$"};
    c.m_file_black_prefix = {".~lock."};
    c.m_dir_black_prefix = {"tmp-"};
  });
  auto names = With([](FilterConfig& c) {
    c.m_file_black_name = {"core"};
    c.m_dir_black_name = {"@tmp"};
    c.m_file_black_ext_selective_sync = {"iso"};
  });
  auto path9 = With([](FilterConfig& c) { c.m_max_path = 9; });
  // Order: the first matching test decides.
  auto order = With([](FilterConfig& c) {
    c.m_common_black_char = std::string("!");
    c.m_common_black_name = {"a!"};
    c.m_file_black_ext = {"b"};
    c.m_file_black_ext_selective_sync = {"b"};
  });
  const FilterConfig none;
  const std::string long_name(512, 'n');
  const std::string long_path = "/" + std::string(1023, 'p');

  const Case cases[] = {
      {"black_name Thumbs.db", thumbs, FILE_TEST, "/a/THUMBS.DB", 0, FILTER_BLACK_NAME},
      {"black_name Thumbs.db", thumbs, DIR_TEST, "/x/thumbs.db/y", 0, FILTER_BLACK_NAME},
      {"black_name Thumbs.db", thumbs, FILE_TEST, "/x/thumbs.db/y", 0, FILTER_BLACK_NAME},
      {"black_name Thumbs.db", thumbs, FILE_TEST, "/a/Thumbs.dbx", 0, FILTER_ALLOWED},
      {"black_ext tmp", tmp_ext, FILE_TEST, "/a/b.TMP", 0, FILTER_BLACK_EXT},
      {"black_ext tmp", tmp_ext, FILE_TEST, "/a/.tmp", 0, FILTER_ALLOWED},
      {"black_ext tmp", tmp_ext, FILE_TEST, "/a/.x.tmp", 0, FILTER_BLACK_EXT},
      {"black_ext tmp", tmp_ext, FILE_TEST, "/a/b.tmp.gz", 0, FILTER_ALLOWED},
      {"black_ext tmp", tmp_ext, FILE_TEST, "/a/b.", 0, FILTER_ALLOWED},
      {"black_ext tmp", tmp_ext, DIR_TEST, "/a/b.tmp", 0, FILTER_ALLOWED},
      {"dir_prefix /photos", photos, DIR_TEST, "/photos", 0, FILTER_BLACK_DIR_PREFIX},
      {"dir_prefix /photos", photos, FILE_TEST, "/Photos/x.jpg", 0, FILTER_BLACK_DIR_PREFIX},
      {"dir_prefix /photos", photos, FILE_TEST, "/photos2/x.jpg", 0, FILTER_ALLOWED},
      {"dir_prefix /photos", photos, DIR_TEST, "/photos2", 0, FILTER_ALLOWED},
      {"dir_prefix /photos", photos, DIR_TEST, "/a/photos", 0, FILTER_ALLOWED},
      {"max_length 3", len3, FILE_TEST, "/abcd", 0, FILTER_NAME_TOO_LONG},
      {"max_length 3", len3, FILE_TEST, "/abc/x", 0, FILTER_ALLOWED},
      {"max_length 3", len3, FILE_TEST, "/abcd/x", 0, FILTER_NAME_TOO_LONG},
      {"max_length 3", len3, DIR_TEST, "/abc/abcd", 0, FILTER_NAME_TOO_LONG},
      {"max_size 100", size100, FILE_TEST, "/x", 101, FILTER_FILE_TOO_LARGE},
      {"max_size 100", size100, FILE_TEST, "/y", 100, FILTER_ALLOWED},
      {"max_size 100", size100, FILE_TEST, "no-slash", 101, FILTER_FILE_TOO_LARGE},
      {"max_path 9", path9, FILE_TEST, "/123456789", 0, FILTER_PATH_TOO_LONG},
      {"max_path 9", path9, DIR_TEST, "/12345678", 0, FILTER_ALLOWED},
      {"max_path 9", path9, DIR_TEST, "/123456789", 0, FILTER_PATH_TOO_LONG},
      {"none", none, FILE_TEST, "a/b", 0, FILTER_BAD_PATH},
      {"none", none, FILE_TEST, "", 0, FILTER_BAD_PATH},
      {"none", none, DIR_TEST, "a/b", 0, FILTER_ALLOWED},
      {"none", none, FILE_TEST, "/" + long_name, 0, FILTER_BAD_PATH},
      {"none", none, FILE_TEST, "/" + long_name.substr(1), 0, FILTER_ALLOWED},
      {"none", none, DIR_TEST, "/" + long_name + "/x", 0, FILTER_BAD_PATH},
      {"none", none, FILE_TEST, long_path, 0, FILTER_BAD_PATH},
      {"none", none, DIR_TEST, long_path, 0, FILTER_BAD_PATH},
      {"none", none, FILE_TEST, long_path.substr(1), 0, FILTER_BAD_PATH},
      {"none", none, DIR_TEST, long_path.substr(0, 1023), 0, FILTER_BAD_PATH},
      {"chars", chars, FILE_TEST, "/a/b?c", 0, FILTER_BLACK_CHAR},
      {"chars", chars, FILE_TEST, "/a/b#c", 0, FILTER_BLACK_CHAR},
      {"chars", chars, FILE_TEST, "/a/b%c", 0, FILTER_ALLOWED},
      {"chars", chars, FILE_TEST, "/a%/bc", 0, FILTER_BLACK_CHAR},
      {"chars", chars, DIR_TEST, "/a#/b", 0, FILTER_ALLOWED},
      {"chars", chars, DIR_TEST, "/a/b?", 0, FILTER_BLACK_CHAR},
      {"prefixes", prefixes, FILE_TEST, "/~$doc.docx", 0, FILTER_BLACK_PREFIX},
      {"prefixes", prefixes, FILE_TEST, "/.~LOCK.x#", 0, FILTER_BLACK_PREFIX},
      {"prefixes", prefixes, FILE_TEST, "/tmp-x", 0, FILTER_ALLOWED},
      {"prefixes", prefixes, FILE_TEST, "/TMP-a/x", 0, FILTER_BLACK_PREFIX},
      {"prefixes", prefixes, DIR_TEST, "/~$a", 0, FILTER_BLACK_PREFIX},
      {"names", names, FILE_TEST, "/a/CORE", 0, FILTER_BLACK_NAME},
      {"names", names, DIR_TEST, "/a/core", 0, FILTER_ALLOWED},
      {"names", names, FILE_TEST, "/@tmp", 0, FILTER_ALLOWED},
      {"names", names, FILE_TEST, "/@TMP/x", 0, FILTER_BLACK_NAME},
      {"names", names, FILE_TEST, "/d/x.iso", 0, FILTER_SELECTIVE_SYNC_EXT},
      {"order", order, FILE_TEST, "/a!", 0, FILTER_BLACK_CHAR},
      {"order", order, FILE_TEST, "/x.b", 0, FILTER_BLACK_EXT},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RunCase(c), c.expected) << c.rules << (c.kind == FILE_TEST ? " file " : " dir ") << c.path.substr(0, 40);
  }
}

// `explain` names the rule that refused a path.
TEST(FilterTests, TheRuleThatMatchedIsNamed) {
  FilterConfig config;
  config.m_common_black_name = {"Thumbs.db"};
  config.m_file_black_ext = {"tmp"};
  config.m_dir_black_name = {"@tmp"};
  config.m_common_black_char = std::string("?*");
  config.m_max_size = 100;
  struct Row {
    Kind m_kind;
    std::string m_path;
    uint64_t m_size;
    FilterMatch m_match;
  };
  const Row rows[] = {
      {FILE_TEST, "/a/thumbs.DB", 1, {"Common", "black_name", "Thumbs.db"}},
      {FILE_TEST, "/a/x.TMP", 1, {"File", "black_ext", "tmp"}},
      {FILE_TEST, "/a/@tmp/x", 1, {"Directory", "black_name", "@tmp"}},
      {DIR_TEST, "/a/@tmp", 0, {"Directory", "black_name", "@tmp"}},
      {FILE_TEST, "/a/wh*t", 1, {"Common", "black_char", "*"}},
      {FILE_TEST, "/a/big", 101, {"File", "max_size", "100"}},
      {FILE_TEST, "/a/fine", 1, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.m_path);
    FilterMatch match;
    int code = row.m_kind == FILE_TEST ? config.IsFilteredFile(row.m_path, row.m_path.size(), row.m_size, &match)
                                       : config.IsFilteredDir(row.m_path, row.m_path.size(), &match);
    EXPECT_EQ(row.m_match.m_key.empty(), code == FILTER_ALLOWED);
    EXPECT_EQ(row.m_match, match);
  }
}

TEST(FilterTests, PathLengthArgumentIsWhatMaxPathSees) {
  FilterConfig c;
  c.m_max_path = 20;
  // The caller passes the length of the whole local path.
  EXPECT_EQ(c.IsFilteredFile("/a", 21, 0), FILTER_PATH_TOO_LONG);
  EXPECT_EQ(c.IsFilteredDir("/a", 20), FILTER_ALLOWED);
}

TEST(FilterTests, EANames) {
  FilterConfig c;
  EXPECT_EQ(c.IsFilteredEAName("com.apple.quarantine"), FILTER_ALLOWED);
  c.m_black_ea_name = {"com.apple.quarantine"};
  EXPECT_EQ(c.IsFilteredEAName("COM.apple.Quarantine"), FILTER_BLACK_EA_NAME);
  EXPECT_EQ(c.IsFilteredEAName("com.apple.quarantine2"), FILTER_ALLOWED);
}

TEST(FilterSets, EditingKeepsEntries) {
  FilterSet set;
  for (int i = 0; i < 9; ++i) FilterSetAppend(&set, "e" + std::to_string(i));
  EXPECT_EQ(set.size(), 9u);
  EXPECT_EQ(FilterSetRemove(&set, "E1"), -1);  // case-sensitive
  EXPECT_EQ(FilterSetRemove(&set, "e1"), 0);
  EXPECT_EQ(set[1], "e8");  // the last entry moves into the gap
  EXPECT_EQ(set.size(), 8u);
  EXPECT_EQ(FilterSetRemove(&set, "e8"), 0);
  EXPECT_EQ(FilterSetRemove(&set, "e7"), 0);
  EXPECT_EQ(set.size(), 6u);
  FilterString s;
  FilterStringReplace(&s, "ab");
  FilterStringReplace(&s, "cd");
  EXPECT_EQ(s, "cd");
}

TEST(FilterInstance, TestsNeverSeeAPartlyReplacedRuleSet) {
  FilterConfig a;
  a.m_common_black_name = {"x"};
  a.m_file_black_ext = {"y"};
  FilterConfig b;
  SetFilterConfig(a);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) SetFilterConfig(i % 2 ? a : b);
    done = true;
  });
  while (!done) {
    LockFilter();
    int name = IsFilteredFile("/x", 2, 0);
    int ext = IsFilteredFile("/a.y", 4, 0);
    UnlockFilter();
    ASSERT_EQ(name == FILTER_BLACK_NAME, ext == FILTER_BLACK_EXT);
  }
  writer.join();
  ResetFilter();
}

}  // namespace
}  // namespace tide
