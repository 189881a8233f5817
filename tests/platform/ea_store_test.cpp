#include "platform/ea_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tide {
namespace {

const std::string FIXTURES = std::string(TIDE_FIXTURES_DIR) + "/appledouble/";

// A stream over the companion at `path`, with the descriptor kept for the
// test to close.
struct OpenStream {
  explicit OpenStream(const std::string& path, int flags = VARN_EAS_CREATE) {
    m_fd = VARNEAOpen(1, path.c_str());
    if (m_fd >= 0) m_stream = VARNEASOpen(m_fd, flags);
  }
  ~OpenStream() {
    if (m_stream) VARNEASClose(m_stream);
    if (m_fd >= 0) close(m_fd);
  }
  int m_fd = -1;
  VarnEAStream* m_stream = nullptr;
};

std::vector<std::string> Names(VarnEAStream* stream) {
  VarnSzList* list = VLIBCSzListAlloc(512);
  int count = VARNEASEnum(stream, list);
  std::vector<std::string> names;
  for (size_t i = 0; i < VLIBCSzListCount(list); ++i) names.push_back(VLIBCSzListGet(list, i));
  EXPECT_EQ(count, static_cast<int>(names.size()));
  EXPECT_EQ(nullptr, VLIBCSzListGet(list, names.size()));
  VLIBCSzListFree(list);
  return names;
}

std::string Value(VarnEAStream* stream, const char* name) {
  ssize_t size = VARNEASRead(stream, name, nullptr, 0, 0, 1);
  if (size < 0) return "<missing>";
  std::string value(static_cast<size_t>(size) + 1, '\0');
  EXPECT_EQ(size, VARNEASRead(stream, name, value.data(), value.size(), 0, 1));
  value.resize(static_cast<size_t>(size));
  return value;
}

TEST(EAStore, ReadsACompanionWrittenByAMac) {
  test::TempDir dir;
  std::string path = dir.WriteFile("f@VarnEAStream", test::TempDir::ReadFile(FIXTURES + "mac-bsdtar-4xattrs-file.ad"));
  OpenStream s(path, 0);
  ASSERT_NE(nullptr, s.m_stream);
  EXPECT_EQ((std::vector<std::string>{"com.opcoders.a_first", "com.opcoders.b_second", "com.opcoders.c_empty",
                                      "com.opcoders.d_last"}),
            Names(s.m_stream));
  EXPECT_EQ("first", Value(s.m_stream, "com.opcoders.a_first"));
  EXPECT_EQ("", Value(s.m_stream, "com.opcoders.c_empty"));
  EXPECT_EQ("last", Value(s.m_stream, "com.opcoders.d_last"));

  char small[3];
  EXPECT_EQ(-1, VARNEASRead(s.m_stream, "com.opcoders.b_second", small, sizeof small, 0, 1));
  EXPECT_EQ(ERANGE, errno);
  EXPECT_EQ(-1, VARNEASRead(s.m_stream, "com.opcoders.none", small, sizeof small, 0, 1));
  EXPECT_EQ(ENODATA, errno);
  EXPECT_EQ(-1, VARNEASRead(s.m_stream, "com.opcoders.a_first", small, sizeof small, 1, 1));
  EXPECT_EQ(EINVAL, errno);
}

TEST(EAStore, NewCompanionStartsAsTheEmptyForm) {
  test::TempDir dir;
  std::string path = dir / "f@VarnEAStream";
  {
    // Without the create flag an empty file is no stream.
    OpenStream s(path, 0);
    ASSERT_GE(s.m_fd, 0);
    EXPECT_EQ(nullptr, s.m_stream);
    EXPECT_EQ(ENODATA, errno);
  }
  OpenStream s(path);
  ASSERT_NE(nullptr, s.m_stream);
  EXPECT_TRUE(Names(s.m_stream).empty());
  ASSERT_EQ(0, VARNEASFlush(s.m_stream));
  std::string expected;
  ASSERT_EQ(0, BuildAdPrefix(FinderInfo{}, {}, 0, &expected));
  EXPECT_EQ(expected, test::TempDir::ReadFile(path));
  EXPECT_EQ(82u, expected.size());
}

TEST(EAStore, WriteRemoveFlushAndReopen) {
  test::TempDir dir;
  std::string path = dir / "f@VarnEAStream";
  FinderInfo info{};
  info[0] = 'T';
  info[4] = 'C';
  std::string binary("\0\x01\xfe\0", 4);
  {
    OpenStream s(path);
    ASSERT_NE(nullptr, s.m_stream);
    EXPECT_EQ(3, VARNEASWrite(s.m_stream, "user.a", "one", 3, 0, 1));
    EXPECT_EQ(4, VARNEASWrite(s.m_stream, "user.b", binary.data(), binary.size(), 0, 1));
    EXPECT_EQ(0, VARNEASWrite(s.m_stream, "user.empty", nullptr, 0, 0, 1));
    EXPECT_EQ(5, VARNEASWrite(s.m_stream, "user.a", "first", 5, 0, 1));  // replaces in place
    EXPECT_EQ(0, VARNEASSetFinderInfo(s.m_stream, info));
    ASSERT_EQ(0, VARNEASFlush(s.m_stream));
  }
  {
    OpenStream s(path, 0);
    ASSERT_NE(nullptr, s.m_stream);
    EXPECT_EQ((std::vector<std::string>{"user.a", "user.b", "user.empty"}), Names(s.m_stream));
    EXPECT_EQ("first", Value(s.m_stream, "user.a"));
    EXPECT_EQ(binary, Value(s.m_stream, "user.b"));
    FinderInfo read{};
    ASSERT_EQ(0, VARNEASGetFinderInfo(s.m_stream, &read));
    EXPECT_EQ(info, read);
    EXPECT_EQ(0, VARNEASRemove(s.m_stream, "user.b"));
    EXPECT_EQ(-1, VARNEASRemove(s.m_stream, "user.b"));
    EXPECT_EQ(ENODATA, errno);
    // Closing without a flush drops the removal.
  }
  {
    OpenStream s(path, 0);
    EXPECT_EQ(3u, Names(s.m_stream).size());
    for (const char* name : {"user.a", "user.b", "user.empty"}) EXPECT_EQ(0, VARNEASRemove(s.m_stream, name));
    ASSERT_EQ(0, VARNEASFlush(s.m_stream));
  }
  // With the last attribute gone the file shrinks to the 82-byte form and
  // keeps its Finder information.
  std::string bytes = test::TempDir::ReadFile(path);
  std::string expected;
  ASSERT_EQ(0, BuildAdPrefix(info, {}, 0, &expected));
  EXPECT_EQ(expected, bytes);
}

TEST(EAStore, KeepsTheCompanionsOwnResourceFork) {
  test::TempDir dir;
  std::string path = dir.WriteFile("f@VarnEAStream", test::TempDir::ReadFile(FIXTURES + "mac-zip-rsrc-file.ad"));
  {
    OpenStream s(path, 0);
    ASSERT_NE(nullptr, s.m_stream);
    EXPECT_TRUE(Names(s.m_stream).empty());
    ASSERT_EQ(7, VARNEASWrite(s.m_stream, "com.apple.x", "payload", 7, 0, 1));
    ASSERT_EQ(0, VARNEASFlush(s.m_stream));
  }
  std::string bytes = test::TempDir::ReadFile(path);
  AdContents contents;
  ASSERT_EQ(0, ParseAppleDouble(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &contents));
  ASSERT_EQ(1u, contents.m_attributes.size());
  EXPECT_EQ("payload", contents.m_attributes[0].m_value);
  EXPECT_EQ("resource fork\n", bytes.substr(contents.m_rsrc_offset, contents.m_rsrc_length));
}

TEST(EAStore, RefusesBadNamesAndBadFiles) {
  test::TempDir dir;
  OpenStream s(dir / "f@VarnEAStream");
  ASSERT_NE(nullptr, s.m_stream);
  EXPECT_EQ(-1, VARNEASWrite(s.m_stream, "", "v", 1, 0, 1));
  EXPECT_EQ(EINVAL, errno);
  EXPECT_EQ(-1, VARNEASWrite(s.m_stream, std::string(255, 'n').c_str(), "v", 1, 0, 1));
  EXPECT_EQ(ENAMETOOLONG, errno);
  EXPECT_EQ(1, VARNEASWrite(s.m_stream, std::string(254, 'n').c_str(), "v", 1, 0, 1));
  EXPECT_EQ(-1, VARNEASWrite(s.m_stream, "user.x", "v", 1, 3, 1));
  EXPECT_EQ(EINVAL, errno);

  // A companion that is not a sound AppleDouble file, e.g. one whose
  // attribute value runs past its end, is not opened.
  std::string lying = test::TempDir::ReadFile(FIXTURES + "mac-zip-quarantine-dir.ad");
  lying[127] = 19;  // value length 18 -> 19, one byte past the data area
  OpenStream bad(dir.WriteFile("g@VarnEAStream", lying), 0);
  EXPECT_EQ(nullptr, bad.m_stream);
  EXPECT_EQ(EINVAL, errno);
  OpenStream text(dir.WriteFile("h@VarnEAStream", "not an AppleDouble file at all, really"), VARN_EAS_CREATE);
  EXPECT_EQ(nullptr, text.m_stream);

  EXPECT_EQ(-1, VARNEAOpen(1, (dir / "no/such/dir/x").c_str()));
  EXPECT_EQ(nullptr, VARNEASOpen(-1, 1));
}

}  // namespace
}  // namespace tide
