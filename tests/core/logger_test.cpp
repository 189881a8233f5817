#define TIDE_LOG_TAG "worker"
#define TIDE_LOG_COMPONENT "worker_debug"
#include "core/logger.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace tide {
namespace {

class LoggerTest : public testing::Test {
 protected:
  void TearDown() override { Logger::ResetForTest(); }
  std::string LogPath() const { return m_dir / "client.log"; }
  std::string Read() const { return test::TempDir::ReadFile(LogPath()); }
  void InitFile(const std::string& levels = "") {
    std::string level_file = levels.empty() ? "" : m_dir.WriteFile("levels", levels);
    ASSERT_EQ(0, Logger::Initialize(LOG_TYPE_FILE, LogPath(), level_file, 10));
  }

  test::TempDir m_dir;
};

TEST_F(LoggerTest, LineFormat) {
  InitFile();
  int line = __LINE__ + 1;
  TLOG_ERROR("open %s: %s", "/volume1/a", "No such file");
  std::regex format(R"(^[A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \[ERROR\] worker\((\d+)\): open /volume1/a: No such file\n$)");
  std::smatch match;
  std::string text = Read();
  ASSERT_TRUE(std::regex_match(text, match, format)) << text;
  EXPECT_EQ(std::to_string(line), match[1].str());
}

TEST_F(LoggerTest, ThresholdsPerComponent) {
  InitFile("worker_debug=7\nsyncer_debug=0\nchannel_debug=abc\nflist_debug=1\n");
  struct Case {
    const char* m_component;
    int m_level;
    bool m_written;
  } cases[] = {
      {"worker_debug", LOG_LEVEL_DEBUG, true},
      {"client_debug", LOG_LEVEL_WARNING, true},  // no entry: 2..4 only
      {"client_debug", LOG_LEVEL_NOTE, false},
      {"syncer_debug", LOG_LEVEL_CRIT, false},    // 0 suppresses CRIT too
      {"flist_debug", LOG_LEVEL_CRIT, false},
      {"channel_debug", LOG_LEVEL_CRIT, false},   // not a number: 0
  };
  for (const Case& c : cases) {
    std::string before = Read();
    Logger::Log(c.m_level, c.m_component, "[X] t(%d): probe\n", 1);
    EXPECT_EQ(c.m_written, Read().size() > before.size()) << c.m_component << " " << c.m_level;
  }
  EXPECT_EQ(4, Logger::Threshold("default_component"));
}

TEST_F(LoggerTest, CallSiteCacheFollowsReinitialisation) {
  InitFile("worker_debug=3\n");
  auto log_debug = [] { TLOG_DEBUG("debug line"); };
  log_debug();
  EXPECT_EQ("", Read());
  Logger::ResetForTest();
  InitFile("worker_debug=7\n");
  log_debug();
  EXPECT_NE(std::string::npos, Read().find("[DEBUG] worker("));
}

TEST_F(LoggerTest, RotationKeepsNineGenerations) {
  InitFile();
  std::string chunk(100 * 1024, 'x');
  for (int rotation = 0; rotation < 11; ++rotation) {
    for (int i = 0; i < 11; ++i) TLOG_ERROR("%s", chunk.c_str());  // 11 × 100 KiB > 1 MiB
  }
  EXPECT_EQ(0, access(LogPath().c_str(), F_OK));
  for (int k = 0; k <= 8; ++k) EXPECT_EQ(0, access((LogPath() + "_" + std::to_string(k)).c_str(), F_OK)) << k;
  EXPECT_NE(0, access((LogPath() + "_9").c_str(), F_OK));
  // The live file starts empty after a rotation; the crossing message is the
  // last one of the old generation.
  EXPECT_EQ(0u, Read().size());
  struct stat st;
  ASSERT_EQ(0, stat((LogPath() + "_0").c_str(), &st));
  EXPECT_GT(st.st_size, Logger::ROTATE_SIZE);
}

TEST_F(LoggerTest, ExistingContentIsNotCounted) {
  m_dir.WriteFile("client.log", std::string(900 * 1024, 'o'));
  InitFile();
  std::string chunk(100 * 1024, 'x');
  for (int i = 0; i < 10; ++i) TLOG_ERROR("%s", chunk.c_str());  // 1000 KiB: below the limit
  EXPECT_NE(0, access((LogPath() + "_0").c_str(), F_OK));
  for (int i = 0; i < 1; ++i) TLOG_ERROR("%s", chunk.c_str());
  EXPECT_EQ(0, access((LogPath() + "_0").c_str(), F_OK));
}

TEST_F(LoggerTest, FilesGetExplicitModeWhateverTheMask) {
  mode_t old_mask = umask(0);
  InitFile();
  std::string chunk(600 * 1024, 'x');
  TLOG_ERROR("%s", chunk.c_str());
  TLOG_ERROR("%s", chunk.c_str());  // rotates
  TLOG_ERROR("after");
  umask(old_mask);
  for (const std::string& path : {LogPath(), LogPath() + "_0"}) {
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st)) << path;
    EXPECT_EQ(0640u, st.st_mode & 0777) << path;
  }
}

TEST_F(LoggerTest, FailedRotationStopsLoggingSilently) {
  // The log's folder vanishing makes the rename of the live file fail.
  std::string log_dir = m_dir / "logs";
  ASSERT_EQ(0, mkdir(log_dir.c_str(), 0700));
  ASSERT_EQ(0, Logger::Initialize(LOG_TYPE_FILE, log_dir + "/client.log", "", 10));
  std::string chunk(600 * 1024, 'x');
  TLOG_ERROR("%s", chunk.c_str());
  ASSERT_EQ(0, unlink((log_dir + "/client.log").c_str()));
  ASSERT_EQ(0, rmdir(log_dir.c_str()));
  TLOG_ERROR("%s", chunk.c_str());
  EXPECT_EQ(nullptr, Logger::log_fp);
  TLOG_ERROR("dropped");  // no stream, no crash, nothing written
  EXPECT_NE(0, access(log_dir.c_str(), F_OK));
}

TEST_F(LoggerTest, InitialiseFailuresAndClose) {
  EXPECT_EQ(-1, Logger::Initialize(LOG_TYPE_FILE, "", "", 10));
  EXPECT_EQ(-1, Logger::Initialize(LOG_TYPE_FILE, m_dir / "no/such/dir/log", "", 10));
  InitFile();
  Logger::Close();
  EXPECT_EQ(LOG_TYPE_STDERR, Logger::log_type);
  EXPECT_EQ(stdout, Logger::log_fp);
  EXPECT_EQ("", Logger::log_path);
  testing::internal::CaptureStdout();
  TLOG_ERROR("after close");
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find(" [ERROR] worker(")) << out;
}

// A failed attempt says why with the first line of its most severe level,
// whether or not the thresholds let that line into the log.
TEST_F(LoggerTest, ReasonCaptureKeepsTheFirstMostSevereLine) {
  InitFile("worker_debug=3\n");  // warnings and notes do not reach the file
  {
    ReasonCapture attempt;
    TLOG_INFO("not a reason");
    EXPECT_EQ(0, attempt.Level());
    TLOG_NOTE("a note");
    TLOG_WARNING("connect to %s failed", "/tmp/sfsock");
    TLOG_NOTE("a later note");
    EXPECT_EQ(LOG_LEVEL_WARNING, attempt.Level());
    EXPECT_EQ("connect to /tmp/sfsock failed", attempt.Message());
    TLOG_ERROR("upload of %s refused", "/a.txt");
    TLOG_ERROR("a consequence");
    EXPECT_EQ(LOG_LEVEL_ERROR, attempt.Level());
    EXPECT_EQ("upload of /a.txt refused", attempt.Message());
    {
      ReasonCapture inner;  // a nested capture sees only its own lines
      TLOG_WARNING("inner");
      EXPECT_EQ("inner", inner.Message());
    }
    EXPECT_EQ("upload of /a.txt refused", attempt.Message());
    std::string other_thread;
    std::thread([&] {
      TLOG_CRIT("another thread's line");
      ReasonCapture mine;
      other_thread = std::to_string(mine.Level());
    }).join();
    EXPECT_EQ("0", other_thread);
    EXPECT_EQ(LOG_LEVEL_ERROR, attempt.Level());
  }
  TLOG_ERROR("after the capture");
  std::string text = Read();
  EXPECT_EQ(std::string::npos, text.find("connect to")) << text;  // the threshold still holds
  EXPECT_NE(std::string::npos, text.find("upload of /a.txt refused")) << text;
}

}  // namespace
}  // namespace tide
