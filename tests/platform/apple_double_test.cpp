#include "platform/apple_double.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tide {
namespace {

const std::string FIXTURES = std::string(TIDE_FIXTURES_DIR) + "/appledouble/";

const uint8_t* U8(const std::string& bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

void Put32(std::string* bytes, size_t at, uint32_t value) {
  AdPut32(reinterpret_cast<uint8_t*>(bytes->data() + at), value);
}

void Put16(std::string* bytes, size_t at, uint16_t value) {
  (*bytes)[at] = static_cast<char>(value >> 8);
  (*bytes)[at + 1] = static_cast<char>(value & 0xff);
}

int Parse(const std::string& bytes, AdContents* contents) { return ParseAppleDouble(U8(bytes), bytes.size(), contents); }

std::string Build(const FinderInfo& info, const std::vector<AdAttribute>& attributes, const std::string& rsrc) {
  std::string out;
  EXPECT_EQ(0, BuildAdPrefix(info, attributes, rsrc.size(), &out));
  return out + rsrc;
}

struct FixtureCase {
  const char* file;
  std::vector<AdAttribute> attributes;  // values given only by their start and size
  std::vector<size_t> value_sizes;
  std::string rsrc;
};

// Every file written by a Mac reads with the names, value sizes and
// resource forks its README documents.
TEST(AppleDouble, ReadsFilesWrittenByMacs) {
  std::vector<FixtureCase> cases = {
      {"mac-gnutar-acl-file.ad", {{"com.apple.acl.text", "!#acl 1\ngroup:"}}, {73}, ""},
      {"mac-gnutar-acl-dir.ad", {{"com.apple.acl.text", "!#acl 1\ngroup:"}}, {73}, ""},
      {"mac-bsdtar-4xattrs-file.ad",
       {{"com.opcoders.a_first", "first"},
        {"com.opcoders.b_second", "second"},
        {"com.opcoders.c_empty", ""},
        {"com.opcoders.d_last", "last"}},
       {5, 6, 0, 4},
       ""},
      {"mac-zip-acl-file.ad", {{"com.apple.acl.text", "!#acl 1\nuser:"}}, {135}, ""},
      {"mac-zip-quarantine-dir.ad", {{"com.apple.quarantine", std::string("q/0083;00000000;;\0", 18)}}, {18}, ""},
      {"mac-zip-rsrc-file.ad", {}, {}, "resource fork\n"},
  };
  for (const FixtureCase& c : cases) {
    SCOPED_TRACE(c.file);
    std::string bytes = test::TempDir::ReadFile(FIXTURES + c.file);
    ASSERT_FALSE(bytes.empty());
    AdContents contents;
    ASSERT_EQ(0, Parse(bytes, &contents));
    EXPECT_EQ(AD_VERSION2, contents.m_header.m_version);
    EXPECT_EQ(FinderInfo{}, contents.m_finder_info);
    ASSERT_EQ(c.attributes.size(), contents.m_attributes.size());
    for (size_t i = 0; i < c.attributes.size(); ++i) {
      EXPECT_EQ(c.attributes[i].m_name, contents.m_attributes[i].m_name);
      EXPECT_EQ(c.value_sizes[i], contents.m_attributes[i].m_value.size());
      EXPECT_EQ(0u, contents.m_attributes[i].m_value.rfind(c.attributes[i].m_value, 0));
    }
    EXPECT_EQ(c.rsrc, bytes.substr(contents.m_rsrc_offset, contents.m_rsrc_length));

    // The file reader finds the same entries.
    AppleDoubleFile file;
    ASSERT_EQ(0, file.Open(FIXTURES + c.file, O_RDONLY));
    std::string rsrc(64, '\0');
    ssize_t n = file.ReadEntry(AD_EID_RFORK, 0, rsrc.data(), rsrc.size());
    ASSERT_GE(n, 0);
    EXPECT_EQ(c.rsrc, rsrc.substr(0, n));
  }
}

// Our writer lays a file out byte for byte as Mac OS X does (the zip
// samples carry a zero debug tag, as we write it).
TEST(AppleDouble, WritesTheLayoutMacsWrite) {
  for (const char* name : {"mac-zip-acl-file.ad", "mac-zip-quarantine-dir.ad", "mac-bsdtar-4xattrs-file.ad"}) {
    SCOPED_TRACE(name);
    std::string mac = test::TempDir::ReadFile(FIXTURES + name);
    AdContents contents;
    ASSERT_EQ(0, Parse(mac, &contents));
    std::string ours = Build(contents.m_finder_info, contents.m_attributes, "");
    Put32(&mac, 88, 0);  // debug tag: the Mac's own file id, meaningless elsewhere
    EXPECT_EQ(mac, ours);
  }
}

TEST(AppleDouble, EmptyFormIsTheFixed82Bytes) {
  static const uint8_t expected[82] = {
      0x00, 0x05, 0x16, 0x07, 0x00, 0x02, 0x00, 0x00, 'M',  'a',  'c',  ' ',  'O',  'S',  ' ',  'X',  ' ',
      ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  ' ',  0x00, 0x02, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x32,
      0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x52, 0x00, 0x00, 0x00, 0x00};
  std::string out;
  ASSERT_EQ(0, BuildAdPrefix(FinderInfo{}, {}, 0, &out));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(expected), sizeof expected), out);
}

// Attribute sets and resource forks of 0, 1 and 100,000 bytes survive a
// write and a read.
TEST(AppleDouble, RoundTripsAttributeSetsAndForks) {
  FinderInfo info{};
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(0xa0 + i);
  std::vector<std::vector<AdAttribute>> sets = {
      {},
      {{"a", ""}},
      {{"com.apple.FinderInfo.like", std::string("\0\x01\xff\0", 4)}, {"x", "y"}},
      {{std::string(254, 'n'), std::string(5000, 'v')}, {"second", "2"}, {"third-empty", ""}},
  };
  std::string big(100000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const auto& attributes : sets) {
    for (const std::string& rsrc : {std::string(), std::string("R"), big}) {
      SCOPED_TRACE(testing::Message() << attributes.size() << " attributes, fork " << rsrc.size());
      std::string bytes = Build(info, attributes, rsrc);
      AdContents contents;
      ASSERT_EQ(0, Parse(bytes, &contents));
      EXPECT_EQ(info, contents.m_finder_info);
      ASSERT_EQ(attributes.size(), contents.m_attributes.size());
      for (size_t i = 0; i < attributes.size(); ++i) {
        EXPECT_EQ(attributes[i].m_name, contents.m_attributes[i].m_name);
        EXPECT_EQ(attributes[i].m_value, contents.m_attributes[i].m_value);
      }
      EXPECT_EQ(bytes.size(), contents.m_rsrc_offset + contents.m_rsrc_length);
      EXPECT_EQ(rsrc, bytes.substr(contents.m_rsrc_offset));
    }
  }
}

TEST(AppleDouble, RefusesNamesTheFormatCannotHold) {
  std::string out;
  EXPECT_EQ(-1, BuildAdPrefix(FinderInfo{}, {{"", "v"}}, 0, &out));
  EXPECT_EQ(-1, BuildAdPrefix(FinderInfo{}, {{std::string(255, 'n'), "v"}}, 0, &out));
  EXPECT_EQ(-1, BuildAdPrefix(FinderInfo{}, {{std::string("a\0b", 3), "v"}}, 0, &out));
  EXPECT_EQ(-1, BuildAdPrefix(FinderInfo{}, {}, 0xffffffffULL, &out));
}

// The base for the header variants: 2 attributes, a 4-byte fork.
//   entry 9 at 50 (length total-50), entry 2 at `total`; ATTR header at 84;
//   attribute entries at 120 ("one", 16 bytes) and 136 ("two", 16 bytes);
//   values at 152 ("AAAA") and 156 ("BB"); total 158; fork 158..162.
std::string BaseFile() { return Build(FinderInfo{}, {{"one", "AAAA"}, {"two", "BB"}}, "RSRC"); }

struct Variant {
  const char* what;
  std::function<void(std::string*)> mutate;
  int expected;
};

TEST(AppleDouble, HeaderVariants) {
  std::vector<Variant> variants = {
      {"sound file", [](std::string*) {}, 0},
      {"wrong magic", [](std::string* b) { Put32(b, 0, 0x00051600); }, -1},
      {"version 3", [](std::string* b) { Put32(b, 4, 0x00030000); }, -1},
      {"version 1", [](std::string* b) { Put32(b, 4, AD_VERSION1); }, 0},
      {"null v1 magic and version", [](std::string* b) { Put32(b, 0, 0), Put32(b, 4, 0); }, 0},
      {"byte-swapped v1 magic and version", [](std::string* b) { Put32(b, 0, 0x07160500), Put32(b, 4, 0x00000100); }, 0},
      {"byte-swapped magic, v2", [](std::string* b) { Put32(b, 0, 0x07160500); }, -1},
      {"entry count past the file", [](std::string* b) { Put16(b, 24, 20); }, -1},
      {"entry count 0xffff", [](std::string* b) { Put16(b, 24, 0xffff); }, -1},
      {"no entries", [](std::string* b) { Put16(b, 24, 0); }, 0},
      {"fork offset past the end", [](std::string* b) { Put32(b, 42, 163); }, -1},
      {"fork length past the end", [](std::string* b) { Put32(b, 46, 5); }, -1},
      {"fork offset+length wraps 32 bits", [](std::string* b) { Put32(b, 42, 0xfffffff0), Put32(b, 46, 0x20); }, -1},
      {"fork inside the header", [](std::string* b) { Put32(b, 42, 10); }, -1},
      {"Finder info past the end", [](std::string* b) { Put32(b, 34, 200); }, -1},
      {"entry id 0", [](std::string* b) { Put32(b, 26, 0); }, -1},
      {"entry id twice", [](std::string* b) { Put32(b, 38, AD_EID_FINDERINFO); }, -1},
      {"Finder info too short for ATTR: plain Finder info", [](std::string* b) { Put32(b, 34, 32); }, 0},
      {"ATTR total size past the entry", [](std::string* b) { Put32(b, 92, 159); }, -1},
      {"ATTR data area past total", [](std::string* b) { Put32(b, 100, 7); }, -1},
      {"ATTR data area inside its header", [](std::string* b) { Put32(b, 96, 100); }, -1},
      {"attribute count past the entries", [](std::string* b) { Put16(b, 118, 9); }, -1},
      {"fewer attributes than stored", [](std::string* b) { Put16(b, 118, 1); }, 0},
      {"value offset past the data area", [](std::string* b) { Put32(b, 120, 3000); }, -1},
      {"value length past the data area", [](std::string* b) { Put32(b, 124, 7); }, -1},
      {"value length still inside the data area", [](std::string* b) { Put32(b, 124, 6); }, 0},
      {"value offset+length wraps 32 bits", [](std::string* b) { Put32(b, 120, 0xfffffffe), Put32(b, 124, 4); }, -1},
      {"value before the data area", [](std::string* b) { Put32(b, 120, 84); }, -1},
      {"name length 0", [](std::string* b) { (*b)[130] = 0; }, -1},
      {"name length 1 (empty name)", [](std::string* b) { (*b)[130] = 1; }, -1},
      {"name without its NUL", [](std::string* b) { (*b)[134] = 'x'; }, -1},
      {"name running past the entry", [](std::string* b) { (*b)[146] = static_cast<char>(200); }, -1},
      {"same name twice", [](std::string* b) { (*b)[147] = 'o', (*b)[148] = 'n', (*b)[149] = 'e'; }, -1},
      {"no ATTR magic: plain Finder info", [](std::string* b) { (*b)[84] = 'X'; }, 0},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.what);
    std::string bytes = BaseFile();
    v.mutate(&bytes);
    AdContents contents;
    EXPECT_EQ(v.expected, Parse(bytes, &contents));
  }
}

TEST(AppleDouble, RepairedVersionOneKeepsItsEntries) {
  std::string bytes = BaseFile();
  Put32(&bytes, 0, 0x07160500);
  Put32(&bytes, 4, 0x00000100);
  AdContents contents;
  ASSERT_EQ(0, Parse(bytes, &contents));
  EXPECT_EQ(AD_VERSION1, contents.m_header.m_version);
  ASSERT_EQ(2u, contents.m_attributes.size());
  EXPECT_EQ("RSRC", bytes.substr(contents.m_rsrc_offset, contents.m_rsrc_length));
}

// A file cut short anywhere claims bytes it does not have.
TEST(AppleDouble, EveryTruncationIsRejected) {
  for (const std::string& bytes : {BaseFile(), test::TempDir::ReadFile(FIXTURES + "mac-bsdtar-4xattrs-file.ad")}) {
    for (size_t length = 0; length < bytes.size(); ++length) {
      AdContents contents;
      ASSERT_EQ(-1, ParseAppleDouble(U8(bytes), length, &contents)) << "length " << length;
    }
  }
}

TEST(AppleDouble, FileReaderReadsEntriesInPieces) {
  test::TempDir dir;
  FinderInfo info{};
  info[0] = 'T';
  info[31] = 'Z';
  std::string rsrc(3000, 'r');
  rsrc[2999] = 'E';
  std::string path = dir.WriteFile("ad", Build(info, {{"k", "v"}}, rsrc));

  AppleDoubleFile file;
  ASSERT_EQ(0, file.Open(path, O_RDONLY));
  EXPECT_EQ(3000u, file.EntryLength(AD_EID_RFORK));
  FinderInfo read_info;
  ASSERT_EQ(0, file.ReadFinderInfo(&read_info));
  EXPECT_EQ(info, read_info);
  std::string copy;
  char chunk[1024];
  ssize_t n;
  while ((n = file.ReadEntry(AD_EID_RFORK, copy.size(), chunk, sizeof chunk)) > 0) copy.append(chunk, n);
  EXPECT_EQ(0, n);
  EXPECT_EQ(rsrc, copy);
  EXPECT_EQ(-1, file.ReadEntry(3, 0, chunk, sizeof chunk));

  std::string not_ad = dir.WriteFile("plain", "just some text that is long enough to have a header");
  AppleDoubleFile bad;
  EXPECT_EQ(-1, bad.Open(not_ad, O_RDONLY));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, bad.Open(dir / "missing", O_RDONLY));
  EXPECT_EQ(ENOENT, errno);
  EXPECT_EQ(-1, bad.Open(dir.WriteFile("short", "\x00\x05\x16\x07"), O_RDONLY));

  // Attach leaves the descriptor with its owner.
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  {
    AppleDoubleFile attached;
    ASSERT_EQ(0, attached.Attach(fd));
    EXPECT_TRUE(attached.HasEntry(AD_EID_FINDERINFO));
  }
  EXPECT_EQ(0, close(fd));
}

}  // namespace
}  // namespace tide
