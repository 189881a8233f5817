#include "platform/vendor_system.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "support/temp_dir.h"

namespace tide {
namespace {

TEST(VendorSystem, KeyValueRead) {
  test::TempDir dir;
  std::string path = dir.WriteFile("db-path.conf", "# volume of the databases\ndb-vol=/volume2\n");
  char buffer[256];
  EXPECT_EQ(9, VLIBCFileGetKeyValue(path.c_str(), "db-vol", buffer, sizeof buffer, 1));
  EXPECT_STREQ("/volume2", buffer);
  EXPECT_EQ(0, VLIBCFileGetKeyValue(path.c_str(), "other", buffer, sizeof buffer, 1));
  EXPECT_EQ(-1, VLIBCFileGetKeyValue((dir / "missing").c_str(), "db-vol", buffer, sizeof buffer, 1));
  char small[4];
  EXPECT_EQ(4, VLIBCFileGetKeyValue(path.c_str(), "db-vol", small, sizeof small, 1));
  EXPECT_STREQ("/vo", small);
}

TEST(VendorSystem, ShareLookUp) {
  test::TempDir dir;
  SetShareListPathForTest(dir.WriteFile("shares.conf", "homes=/volume2/homes\nphotos=relative/not/allowed\n"));
  VarnShare* share = nullptr;
  ASSERT_EQ(0, VARNShareGet("HOMES", &share));
  EXPECT_EQ("/volume2/homes", share->m_path);
  VARNShareFree(share);
  EXPECT_EQ(-1, VARNShareGet("photos", &share));
  EXPECT_EQ(nullptr, share);
  EXPECT_EQ(-1, VARNShareGet("missing", &share));
  SetShareListPathForTest(dir / "none.conf");
  EXPECT_EQ(-1, VARNShareGet("homes", &share));
  SetShareListPathForTest("");
}

TEST(VendorSystem, CompanionPaths) {
  struct Case {
    const char* m_file;
    const char* m_stream;
    const char* m_path;
    const char* m_dir;
  } cases[] = {
      {"/volume1/homes/a/photo.jpg", "VarnEAStream", "/volume1/homes/a/@eaDir/photo.jpg@VarnEAStream",
       "/volume1/homes/a/@eaDir"},
      {"/volume1/share/dir/", "VarnResource", "/volume1/share/@eaDir/dir@VarnResource", "/volume1/share/@eaDir"},
      {"name", "VarnEAStream", "@eaDir/name@VarnEAStream", "@eaDir"},
  };
  for (const Case& c : cases) {
    char buffer[VARN_EA_PATH_MAX];
    ASSERT_EQ(0, VARNEAPath(VARN_EA_KIND, c.m_file, c.m_stream, buffer, sizeof buffer)) << c.m_file;
    EXPECT_STREQ(c.m_path, buffer);
    ASSERT_EQ(0, VARNEADirPath(VARN_EA_KIND, c.m_file, buffer, sizeof buffer)) << c.m_file;
    EXPECT_STREQ(c.m_dir, buffer);
  }
  char tiny[8];
  EXPECT_EQ(-1, VARNEAPath(VARN_EA_KIND, "/volume1/x", "VarnEAStream", tiny, sizeof tiny));
  char buffer[64];
  EXPECT_EQ(-1, VARNEAPath(VARN_EA_KIND, "/", "VarnEAStream", buffer, sizeof buffer));
}

}  // namespace
}  // namespace tide
