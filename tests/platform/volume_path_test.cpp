#include "platform/volume_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/client_config.h"
#include "platform/vendor_system.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class VolumePathTest : public ::testing::Test {
 protected:
  void SetUp() override { config().ResetForTest(); }
  void TearDown() override {
    SetShareListPathForTest("");
    config().ResetForTest();
  }
  ClientConfig& config() { return ClientConfig::Instance(); }
  test::TempDir m_dir;
};

TEST_F(VolumePathTest, VolumeFromHomesShare) {
  // Without the db-path file on this machine the "homes" share decides.
  if (access(DB_PATH_CONF, F_OK) == 0) GTEST_SKIP() << DB_PATH_CONF << " exists here";
  SetShareListPathForTest(m_dir.WriteFile("shares.conf", "public=/volume1/public\nhomes=/volume3/homes\n"));
  EXPECT_EQ(0, LoadVolumePath(config()));
  EXPECT_EQ("/volume3", config().m_volume_path);
  EXPECT_EQ("/volume3/@tidewell/@clientd/db.sqlite", config().DbPath());

  config().ResetForTest();
  SetShareListPathForTest(m_dir.WriteFile("shares.conf", "public=/volume1/public\n"));
  EXPECT_EQ(-1, LoadVolumePath(config()));
  EXPECT_EQ("", config().m_volume_path);
}

}  // namespace
}  // namespace tide
