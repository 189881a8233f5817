#include "proto/checksum.h"

#include <librsync.h>

#include <gtest/gtest.h>

#include <random>

#include "support/temp_dir.h"

namespace tide {
namespace {

// RFC 1320, appendix A.5.
TEST(proto_ChecksumTest, RfcTestSuite) {
  struct Case {
    const char* m_input;
    const char* m_digest;
  } cases[] = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    std::string path = dir.WriteFile("input", c.m_input);
    unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
    ASSERT_EQ(0, RSCalcMD4(path, digest, nullptr)) << c.m_input;
    EXPECT_EQ(c.m_digest, MD4ToHex(digest)) << c.m_input;
  }
}

TEST(proto_ChecksumTest, FileAcrossManyPiecesMatchesOneShotDigest) {
  test::TempDir dir;
  std::mt19937 rng(3);
  // Around the first (small) piece and the large ones after it.
  for (size_t size : {size_t{0}, size_t{3 * 4096 + 123}, size_t{65535}, size_t{65536}, size_t{65537},
                      size_t{(1 << 20) + 65536 + 7}}) {
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    std::string path = dir.WriteFile("file" + std::to_string(size), data);
    unsigned char expected[MD4_DIGEST_LENGTH_BYTES];
    rs_mdfour(expected, data.data(), data.size());
    unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
    std::atomic<int> abort{0};
    ASSERT_EQ(0, RSCalcMD4(path, digest, &abort)) << size;
    EXPECT_EQ(MD4ToHex(expected), MD4ToHex(digest)) << size;
  }
}

TEST(proto_ChecksumTest, FailuresLeaveTheDigestUntouched) {
  test::TempDir dir;
  std::string path = dir.WriteFile("f", "content");
  unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
  memset(digest, 0xaa, sizeof(digest));
  std::atomic<int> abort{1};
  EXPECT_EQ(-1, RSCalcMD4(path, digest, &abort));
  EXPECT_EQ(-1, RSCalcMD4(dir / "removed", digest, nullptr));
  EXPECT_EQ(-1, RSCalcMD4(dir.Path(), digest, nullptr));  // a directory cannot be read
  for (unsigned char b : digest) EXPECT_EQ(0xaa, b);
}

}  // namespace
}  // namespace tide
