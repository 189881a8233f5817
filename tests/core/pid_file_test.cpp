#include "core/pid_file.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"

namespace tide {
namespace {

TEST(PidFile, ReadsTheNumberOrZero) {
  test::TempDir dir;
  EXPECT_EQ(1234, ReadPidFile(dir.WriteFile("pid", "1234\n")));
  EXPECT_EQ(0, ReadPidFile(dir.WriteFile("garbage", "not a pid\n")));
  EXPECT_EQ(0, ReadPidFile(dir.WriteFile("empty", "")));
  EXPECT_EQ(0, ReadPidFile(dir.Path() + "/missing"));
}

TEST(PidFile, AnExitedChildIsNotRunningEvenBeforeItIsReaped) {
  EXPECT_TRUE(ProcessRunning(getpid()));
  EXPECT_FALSE(ProcessRunning(0));
  EXPECT_FALSE(ProcessRunning(-1));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  // Until it is collected the child is a zombie that still answers signal 0.
  for (int i = 0; i < 5000 && ProcessRunning(child); ++i) usleep(1000);
  EXPECT_FALSE(ProcessRunning(child));
  ASSERT_EQ(child, waitpid(child, nullptr, 0));
  EXPECT_FALSE(ProcessRunning(child));
}

}  // namespace
}  // namespace tide
