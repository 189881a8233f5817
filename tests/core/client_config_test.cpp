#include "core/client_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace tide {
namespace {

class ClientConfigTest : public testing::Test {
 protected:
  void SetUp() override { config().ResetForTest(); }
  void TearDown() override { config().ResetForTest(); }
  static ClientConfig& config() { return ClientConfig::Instance(); }
  int Load(const std::string& text) { return config().Load(m_dir.WriteFile("client.conf", text)); }

  test::TempDir m_dir;
};

TEST_F(ClientConfigTest, Defaults) {
  EXPECT_EQ("/var/run/tide-clientd.pid", config().m_pid_file_path);
  EXPECT_EQ("/var/log/tdwl/client.log", config().m_log_file_path);
  EXPECT_EQ("tide-clientd.tmp.dir", config().m_work_dir_name);
  EXPECT_EQ(6u, config().m_worker_count);
  EXPECT_TRUE(config().m_is_daemon);
  EXPECT_TRUE(config().m_do_index);
  config().m_volume_path = "/volume2";
  EXPECT_EQ("/volume2/@tidewell/@clientd/db.sqlite", config().DbPath());
}

TEST_F(ClientConfigTest, ValuesByType) {
  struct Case {
    const char* m_text;
    uint32_t m_workers;
    bool m_is_daemon;
    bool m_do_index;
  } cases[] = {
      {"worker_count=2\n", 2, true, true},
      {"worker_count=abc\n", 0, true, true},  // not a number: no workers
      {"worker_count=-3\n", 0, true, true},
      {"is_daemon=yes\n", 6, false, true},    // only "true" is true
      {"is_daemon=True\n", 6, false, true},
      {"is_daemon=false\ndo_index=0\n", 6, false, false},
      {"worker_count=4000000000\n", MAX_WORKER_COUNT, true, true},  // bounded
  };
  for (const Case& c : cases) {
    config().ResetForTest();
    EXPECT_EQ(0, Load(c.m_text)) << c.m_text;
    EXPECT_EQ(c.m_workers, config().m_worker_count) << c.m_text;
    EXPECT_EQ(c.m_is_daemon, config().m_is_daemon) << c.m_text;
    EXPECT_EQ(c.m_do_index, config().m_do_index) << c.m_text;
  }
}

TEST_F(ClientConfigTest, EmptyUnknownAndFixedKeysKeepDefaults) {
  EXPECT_EQ(0, Load("log_file_path=\"\"\nno_such_key=1\nwork_dir_name=other\nfilter_path='/etc/f t'\n"));
  EXPECT_EQ("/var/log/tdwl/client.log", config().m_log_file_path);
  EXPECT_EQ("tide-clientd.tmp.dir", config().m_work_dir_name);
  EXPECT_EQ("/etc/f t", config().m_filter_path);
}

TEST_F(ClientConfigTest, InvalidFileKeepsEveryDefault) {
  EXPECT_EQ(-1, Load("worker_count=2\nis_daemon\n"));
  EXPECT_EQ(6u, config().m_worker_count);
  EXPECT_EQ(-1, config().Load(m_dir / "missing.conf"));
}

}  // namespace
}  // namespace tide
