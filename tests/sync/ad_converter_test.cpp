#include "sync/ad_converter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "filter/filter.h"
#include "platform/vendor_system.h"
#include "platform/apple_double.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

namespace fs = std::filesystem;

const std::string FIXTURES = std::string(TIDE_FIXTURES_DIR) + "/appledouble/";

struct Metadata {
  FinderInfo m_finder_info{};
  std::vector<AdAttribute> m_attributes;
  std::string m_fork;
};

FinderInfo Finder(char tag) {
  FinderInfo info{};
  for (size_t i = 0; i < info.size(); ++i) info[i] = static_cast<uint8_t>(tag + i);
  return info;
}

std::string Encode(const Metadata& m) {
  std::string out;
  EXPECT_EQ(0, BuildAdPrefix(m.m_finder_info, m.m_attributes, m.m_fork.size(), &out));
  return out + m.m_fork;
}

Metadata Decode(const std::string& bytes) {
  AdContents contents;
  Metadata m;
  EXPECT_EQ(0, ParseAppleDouble(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &contents));
  m.m_finder_info = contents.m_finder_info;
  m.m_attributes = contents.m_attributes;
  m.m_fork = bytes.substr(std::min<uint64_t>(contents.m_rsrc_offset, bytes.size()), contents.m_rsrc_length);
  return m;
}

std::vector<std::string> NamesOf(const Metadata& m) {
  std::vector<std::string> names;
  for (const AdAttribute& a : m.m_attributes) names.push_back(a.m_name);
  return names;
}

void ExpectSame(const Metadata& expected, const Metadata& actual) {
  EXPECT_EQ(expected.m_finder_info, actual.m_finder_info);
  ASSERT_EQ(NamesOf(expected), NamesOf(actual));
  for (size_t i = 0; i < expected.m_attributes.size(); ++i) {
    EXPECT_EQ(expected.m_attributes[i].m_value, actual.m_attributes[i].m_value) << expected.m_attributes[i].m_name;
  }
  EXPECT_EQ(expected.m_fork, actual.m_fork);
}

std::string Fork(size_t size) {
  std::string fork(size, '\0');
  for (size_t i = 0; i < size; ++i) fork[i] = static_cast<char>((i * 31) ^ (i >> 8));
  return fork;
}

class AdConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(m_dir / "volume1/share");
    SetFilterConfig(FilterConfig());
  }
  void TearDown() override {
    SetFilterConfig(FilterConfig());
  }

  std::string File(const std::string& name) { return m_dir.WriteFile("volume1/share/" + name, "data of " + name); }
  static std::string Companion(const std::string& path, const char* stream) {
    char buffer[VARN_EA_PATH_MAX];
    EXPECT_EQ(0, VARNEAPath(VARN_EA_KIND, path.c_str(), stream, buffer, sizeof buffer));
    return buffer;
  }
  static std::string Ea(const std::string& path) { return Companion(path, VARN_EA_STREAM_NAME); }
  static std::string Rs(const std::string& path) { return Companion(path, VARN_RESOURCE_STREAM_NAME); }
  static void Write(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    fclose(f);
  }
  static std::string Read(const std::string& path) { return test::TempDir::ReadFile(path); }
  static bool Exists(const std::string& path) { return fs::exists(path); }

  void BlackList(std::vector<std::string> names) {
    FilterConfig config;
    config.m_black_ea_name = std::move(names);
    SetFilterConfig(config);
  }

  int ToMac(const std::string& path, const std::string& out, bool filter = true) {
    LockFilter();
    int result = Varn2MacEAConvert(path, out, m_dir / "volume1/@tmp", filter);
    UnlockFilter();
    return result;
  }
  int ToVarn(const std::string& ad, const std::string& path) {
    LockFilter();
    int result = Mac2VarnEAConvert(ad, path, m_dir / "volume1/@tmp");
    UnlockFilter();
    return result;
  }

  // Regular files left in the volume's temporary folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> files;
    std::string tmp = m_dir / "volume1/@tmp";
    if (!Exists(tmp)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(tmp)) {
      if (!entry.is_directory()) files.push_back(entry.path());
    }
    return files;
  }

  test::TempDir m_dir;
};

TEST_F(AdConverterTest, EmptyStreamFileAndContentCheck) {
  std::string path = m_dir / "volume1/s";
  EXPECT_FALSE(VarnEACheck(path));
  ASSERT_EQ(0, CreatEmptyEAS(path));
  std::string expected;
  ASSERT_EQ(0, BuildAdPrefix(FinderInfo{}, {}, 0, &expected));
  EXPECT_EQ(expected, Read(path));
  EXPECT_FALSE(VarnEACheck(path));  // exactly 82 bytes is empty
  Write(path, expected + "x");
  EXPECT_TRUE(VarnEACheck(path));
  EXPECT_EQ(-1, CreatEmptyEAS(m_dir / "no/such/dir/s"));
}

TEST_F(AdConverterTest, RmBlackEALeavesOnlyPermittedAttributes) {
  BlackList({"COM.apple.quarantine", "user.secret"});
  struct Case {
    const char* what;
    Metadata in;
    std::vector<std::string> kept;
  } cases[] = {
      {"some black-listed",
       {Finder('a'), {{"user.keep", "1"}, {"com.apple.quarantine", "q"}, {"user.secret", "s"}, {"user.more", ""}}, ""},
       {"user.keep", "user.more"}},
      {"none black-listed", {FinderInfo{}, {{"user.keep", "1"}}, ""}, {"user.keep"}},
      {"all black-listed, Finder information kept", {Finder('b'), {{"user.secret", "s"}}, ""}, {}},
      {"all black-listed", {FinderInfo{}, {{"user.secret", "s"}, {"com.apple.quarantine", "q"}}, ""}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = m_dir / "volume1/stream";
    Write(path, Encode(c.in));
    LockFilter();
    ASSERT_EQ(0, rmBlackEA(path));
    UnlockFilter();
    Metadata out = Decode(Read(path));
    EXPECT_EQ(c.kept, NamesOf(out));
    EXPECT_EQ(c.in.m_finder_info, out.m_finder_info);
    if (c.kept.empty() && c.in.m_finder_info == FinderInfo{}) {
      EXPECT_EQ(82u, Read(path).size());
    }
  }
  Write(m_dir / "volume1/bad", "this is no stream file, just text long enough");
  EXPECT_EQ(-1, rmBlackEA(m_dir / "volume1/bad"));
}

// Companions of a local file become one AppleDouble file: the stream's
// attributes (black-listed ones left out), the resource companion's Finder
// information and fork, the fork's length big-endian at 46.
TEST_F(AdConverterTest, CompanionsBecomeOneAppleDoubleFile) {
  BlackList({"com.apple.quarantine"});
  for (size_t fork_size : {0, 1, 100000}) {
    SCOPED_TRACE(fork_size);
    std::string file = File("doc.txt");
    Metadata stream{Finder('s'), {{"user.a", "alpha"}, {"com.apple.quarantine", "q"}, {"user.empty", ""}}, ""};
    Metadata resource{Finder('r'), {}, Fork(fork_size)};
    Write(Ea(file), Encode(stream));
    Write(Rs(file), Encode(resource));
    std::string stream_before = Read(Ea(file));
    std::string out = m_dir / "volume1/out.ad";
    Write(out, "");

    ASSERT_EQ(0, ToMac(file, out));
    std::string bytes = Read(out);
    Metadata expected{Finder('r'), {{"user.a", "alpha"}, {"user.empty", ""}}, Fork(fork_size)};
    ExpectSame(expected, Decode(bytes));
    ASSERT_GE(bytes.size(), 50u);
    EXPECT_EQ(fork_size, AdGet32(reinterpret_cast<const uint8_t*>(bytes.data()) + 46));
    EXPECT_EQ(stream_before, Read(Ea(file)));  // the local companion is not touched
    EXPECT_TRUE(Leftovers().empty());
  }
}

TEST_F(AdConverterTest, OneCompanionIsEnough) {
  BlackList({"user.secret"});
  // Only a stream: its Finder information stays, and everything
  // black-listed leaves an empty attribute section.
  std::string a = File("a");
  Write(Ea(a), Encode({Finder('s'), {{"user.secret", "x"}}, ""}));
  std::string out = m_dir / "volume1/a.ad";
  ASSERT_EQ(0, ToMac(a, out));
  std::string expected;
  ASSERT_EQ(0, BuildAdPrefix(Finder('s'), {}, 0, &expected));
  EXPECT_EQ(expected, Read(out));

  // Only a resource companion: the empty stream file plus the fork.
  std::string b = File("b");
  Write(Rs(b), Encode({Finder('r'), {}, "fork bytes"}));
  ASSERT_EQ(0, ToMac(b, out));
  ExpectSame({Finder('r'), {}, "fork bytes"}, Decode(Read(out)));
  EXPECT_EQ(82u + 10u, Read(out).size());

  // Neither: the empty stream file.
  std::string c = File("c");
  ASSERT_EQ(0, ToMac(c, out));
  ASSERT_EQ(0, BuildAdPrefix(FinderInfo{}, {}, 0, &expected));
  EXPECT_EQ(expected, Read(out));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AdConverterTest, Varn2MacFailuresLeaveNoWorkingFiles) {
  std::string out = m_dir / "volume1/out.ad";
  EXPECT_EQ(-1, ToMac(m_dir / "volume1/share/missing", out));

  std::string corrupt = File("corrupt");
  Write(Ea(corrupt), std::string(100, 'x'));  // over 82 bytes: counts as content
  EXPECT_EQ(-1, ToMac(corrupt, out));
  EXPECT_EQ(-1, ToMac(corrupt, out, false));

  std::string lying = File("lying");
  std::string resource = Encode({Finder('r'), {}, "0123456789"});
  AdPut32(reinterpret_cast<uint8_t*>(resource.data()) + 46, 11);  // one byte more than there is
  Write(Rs(lying), resource);
  EXPECT_EQ(-1, ToMac(lying, out));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(AdConverterTest, MacFilesBecomeCompanions) {
  for (const char* name : {"mac-bsdtar-4xattrs-file.ad", "mac-zip-quarantine-dir.ad", "mac-zip-rsrc-file.ad",
                           "mac-gnutar-acl-file.ad"}) {
    SCOPED_TRACE(name);
    std::string mac = Read(FIXTURES + name);
    Metadata expected = Decode(mac);
    std::string file = File("from-mac");
    ASSERT_EQ(0, ToVarn(FIXTURES + name, file));
    Metadata stream = Decode(Read(Ea(file)));
    Metadata resource = Decode(Read(Rs(file)));
    ExpectSame({expected.m_finder_info, expected.m_attributes, ""}, stream);
    ExpectSame({expected.m_finder_info, {}, expected.m_fork}, resource);

    // And back: what a Mac wrote is what the server gets again.
    std::string out = m_dir / "volume1/back.ad";
    ASSERT_EQ(0, ToMac(file, out));
    ExpectSame(expected, Decode(Read(out)));
    EXPECT_TRUE(Leftovers().empty());
    fs::remove(Ea(file));
    fs::remove(Rs(file));
  }
}

// AppleDouble -> companions -> AppleDouble gives the same metadata, and
// companions -> AppleDouble -> companions the same companions.
TEST_F(AdConverterTest, RoundTripsBothWays) {
  std::vector<std::vector<AdAttribute>> sets = {
      {},
      {{"user.only", std::string("\0\xff", 2)}},
      {{"com.apple.FinderComment", "hello"}, {std::string(200, 'n'), std::string(70000, 'v')}, {"user.empty", ""}},
  };
  for (const auto& attributes : sets) {
    for (size_t fork_size : {0, 1, 100000}) {
      SCOPED_TRACE(testing::Message() << attributes.size() << " attributes, fork " << fork_size);
      Metadata original{Finder('F'), attributes, Fork(fork_size)};
      std::string ad = m_dir / "volume1/in.ad";
      Write(ad, Encode(original));
      std::string a = File("a");
      ASSERT_EQ(0, ToVarn(ad, a));
      std::string out = m_dir / "volume1/out.ad";
      ASSERT_EQ(0, ToMac(a, out));
      ExpectSame(original, Decode(Read(out)));

      std::string b = File("b");
      ASSERT_EQ(0, ToVarn(out, b));
      EXPECT_EQ(Read(Ea(a)), Read(Ea(b)));
      EXPECT_EQ(Read(Rs(a)), Read(Rs(b)));
      EXPECT_TRUE(Leftovers().empty());
      for (const std::string& f : {a, b}) fs::remove(Ea(f)), fs::remove(Rs(f));
    }
  }
}

TEST_F(AdConverterTest, IncomingMetadataReplacesTheOld) {
  std::string file = File("doc");
  Write(Ea(file), Encode({Finder('o'), {{"user.old", "gone"}, {"user.shared", "old"}}, ""}));
  Write(Rs(file), Encode({Finder('o'), {}, "old fork"}));
  Metadata incoming{Finder('n'), {{"user.shared", "new"}, {"user.new", "here"}}, "new fork!"};
  std::string ad = m_dir / "volume1/in.ad";
  Write(ad, Encode(incoming));
  ASSERT_EQ(0, ToVarn(ad, file));
  ExpectSame({Finder('n'), incoming.m_attributes, ""}, Decode(Read(Ea(file))));
  ExpectSame({Finder('n'), {}, "new fork!"}, Decode(Read(Rs(file))));

  // An AppleDouble file without attributes clears them.
  Write(ad, Encode({Finder('n'), {}, ""}));
  ASSERT_EQ(0, ToVarn(ad, file));
  EXPECT_TRUE(Decode(Read(Ea(file))).m_attributes.empty());
  EXPECT_TRUE(Leftovers().empty());
}

// A file that lies about its offsets or lengths is refused before anything
// of the destination changes.
TEST_F(AdConverterTest, LyingAppleDoubleFilesAreRefused) {
  Metadata good{Finder('g'), {{"user.a", "AAAA"}}, "FORK"};
  // Layout: entry 9 at 26, entry 2 at 38; ATTR at 84; attribute entry at 120
  // (value offset 120, length 124); value at 140; fork at 144.
  struct Case {
    const char* what;
    std::function<void(std::string*)> mutate;
  } cases[] = {
      {"fork length past the end", [](std::string* b) { AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 46, 5); }},
      {"fork offset past the end", [](std::string* b) { AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 42, 0x7fffffff); }},
      {"Finder info past the end", [](std::string* b) { AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 34, 1000); }},
      {"value past the data", [](std::string* b) { AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 124, 0x10000); }},
      {"entry count", [](std::string* b) { (*b)[24] = 0x7f; }},
      {"cut short", [](std::string* b) { b->resize(b->size() - 1); }},
      {"Finder info past the fork", [](std::string* b) { AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 42, 100), AdPut32(reinterpret_cast<uint8_t*>(b->data()) + 46, 0); }},
  };
  std::string file = File("doc");
  Write(Ea(file), Encode({Finder('o'), {{"user.old", "kept"}}, ""}));
  Write(Rs(file), Encode({Finder('o'), {}, "old fork"}));
  std::string ea_before = Read(Ea(file));
  std::string rs_before = Read(Rs(file));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = Encode(good);
    c.mutate(&bytes);
    std::string ad = m_dir / "volume1/in.ad";
    Write(ad, bytes);
    EXPECT_EQ(-1, ToVarn(ad, file));
    EXPECT_EQ(ea_before, Read(Ea(file)));
    EXPECT_EQ(rs_before, Read(Rs(file)));
    EXPECT_TRUE(Leftovers().empty());
  }
  EXPECT_EQ(-1, ToVarn(m_dir / "volume1/in.ad", m_dir / "volume1/share/missing"));
}

}  // namespace
}  // namespace tide
