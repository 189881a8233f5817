#include "core/status_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/log_capture.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

using Clock = StatusFileWriter::Clock;
using test::TempDir;

DaemonStatus Sample() {
  DaemonStatus status;
  status.m_pid = 4242;
  status.m_paused = true;
  status.m_views = {{10, 0, 3, 1, 7, 4096, 1u << 20, true, 7200, 65536},
                    {20, 0x5, 0, 0, 0, 0, 0, false, 0, 0},
                    {18446744073709551615ull, 0x2, 2147483647, 6, 99, 18446744073709551615ull,
                     18446744073709551615ull, true, 0, 0}};
  return status;
}

TEST(StatusFile, FormatAndParseAgree) {
  DaemonStatus parsed;
  ASSERT_EQ(0, ParseStatus(FormatStatus(Sample()), &parsed));
  EXPECT_EQ(Sample(), parsed);

  // Later fields and comments are skipped; a file without a pid, or with a
  // number that does not parse, is no status file.
  ASSERT_EQ(0, ParseStatus("# note\npid 7\nview 5 waiting 2 shiny 9\nfuture 1\n", &parsed));
  EXPECT_EQ(7, parsed.m_pid);
  ASSERT_EQ(1u, parsed.m_views.size());
  EXPECT_EQ(2, parsed.m_views[0].m_waiting);
  // A line of an older daemon has no bytes and no rate; a rate of 0 is a
  // rate (the work has stalled), not the absence of one.
  ASSERT_EQ(0, ParseStatus("pid 7\nview 5 attribute 0 waiting 2 working 0 done 3\n"
                           "view 6 done 1 bytes_done 5 bytes_found 9 files_per_hour 0 bytes_per_second 0\n",
                           &parsed));
  ASSERT_EQ(2u, parsed.m_views.size());
  EXPECT_EQ((StatusView{5, 0, 2, 0, 3, 0, 0, false, 0, 0}), parsed.m_views[0]);
  EXPECT_EQ((StatusView{6, 0, 0, 0, 1, 5, 9, true, 0, 0}), parsed.m_views[1]);
  // Without a rate the line has no rate keys.
  EXPECT_NE(std::string::npos, FormatStatus(Sample()).find("view 20 attribute 5 waiting 0 working 0 done 0 bytes_done 0 "
                                                           "bytes_found 0\n"));
  for (const char* bad : {"", "paused 0\n", "pid x\n", "pid 0\n", "pid 1\nview 1 waiting -3\n",
                          "pid 99999999999999999999999\n", "pid 1\nview\n"}) {
    EXPECT_EQ(-1, ParseStatus(bad, &parsed)) << bad;
  }
}

TEST(StatusFile, WritesOnChangeAtMostOnceASecond) {
  TempDir dir;
  std::string path = dir / "status";
  StatusFileWriter writer(path);
  DaemonStatus status = Sample();
  Clock::time_point start = Clock::now();
  EXPECT_EQ(1, writer.Update(status, start));
  EXPECT_EQ(FormatStatus(status), TempDir::ReadFile(path));
  EXPECT_EQ(0, writer.Update(status, start + std::chrono::seconds(5)));  // unchanged

  status.m_views[0].m_waiting = 2;
  EXPECT_EQ(0, writer.Update(status, start + std::chrono::milliseconds(500)));
  EXPECT_EQ(FormatStatus(Sample()), TempDir::ReadFile(path));
  EXPECT_EQ(1, writer.Update(status, start + std::chrono::milliseconds(1000)));
  EXPECT_EQ(FormatStatus(status), TempDir::ReadFile(path));
  EXPECT_NE(0, access((path + ".tmp").c_str(), F_OK));

  writer.Remove();
  EXPECT_NE(0, access(path.c_str(), F_OK));
  // After a removal the next update writes again, whatever the time.
  EXPECT_EQ(1, writer.Update(status, start + std::chrono::milliseconds(1001)));
}

TEST(StatusFile, FailureIsLoggedOnceAndRetried) {
  test::LogCapture log;
  TempDir dir;
  std::string folder = dir / "run";
  StatusFileWriter writer(folder + "/status");
  Clock::time_point now = Clock::now();
  EXPECT_EQ(-1, writer.Update(Sample(), now));
  EXPECT_EQ(-1, writer.Update(Sample(), now + std::chrono::seconds(3)));
  std::string text = log.Text();
  size_t first = text.find("cannot write the status file");
  ASSERT_NE(std::string::npos, first) << text;
  EXPECT_EQ(std::string::npos, text.find("cannot write the status file", first + 1)) << text;
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  EXPECT_EQ(1, writer.Update(Sample(), now + std::chrono::seconds(4)));
}

}  // namespace
}  // namespace tide
