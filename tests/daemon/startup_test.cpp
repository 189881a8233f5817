#include "daemon/startup.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/client_config.h"
#include "platform/varnotify.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { config().ResetForTest(); }
  void TearDown() override { config().ResetForTest(); }
  ClientConfig& config() { return ClientConfig::Instance(); }
  test::TempDir m_dir;
};

TEST_F(StartupTest, NotifyProbeFollowsTheLayerAndTheOverride) {
  int fd = VarnotifyInit(0);
  bool available = fd >= 0;
  if (available) VarnotifyClose(fd);
  config().m_volume_path = m_dir.Path();
  EXPECT_EQ(available, ProbeNotifySupport());
  ASSERT_EQ(0, setenv(DETECTOR_CHOICE_VARIABLE, "inotify", 1));
  EXPECT_FALSE(ProbeNotifySupport());
  ASSERT_EQ(0, setenv(DETECTOR_CHOICE_VARIABLE, "anything else", 1));
  EXPECT_EQ(available, ProbeNotifySupport());
  unsetenv(DETECTOR_CHOICE_VARIABLE);
}

}  // namespace
}  // namespace tide
