#include "fs/copy_data.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "fs/unique_fd.h"
#include "proto/checksum.h"
#include "support/private_mount.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

int Copy(const std::string& from, const std::string& to, const std::atomic<int>* abort_flag) {
  UniqueFd in(open(from.c_str(), O_RDONLY));
  UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  if (!in.Valid() || !out.Valid()) return -100;
  return CopyFileContents(in.Get(), out.Get(), to, abort_flag);
}

TEST(CopyFileContents, CopiesAndHonoursTheAbortFlag) {
  test::TempDir dir;
  std::string data(5 * 1024 * 1024 + 3, 'c');
  for (size_t i = 0; i < data.size(); i += 4096) data[i] = static_cast<char>(i / 4096);
  std::string source = dir.WriteFile("src", data);
  std::atomic<int> abort_flag{0};
  ASSERT_EQ(0, Copy(source, dir / "dst", &abort_flag));
  EXPECT_EQ(data, test::TempDir::ReadFile(dir / "dst"));
  dir.WriteFile("longer", std::string(8 * 1024 * 1024, 'z'));
  ASSERT_EQ(0, Copy(source, dir / "longer", nullptr));  // truncated by the open, then filled
  EXPECT_EQ(data, test::TempDir::ReadFile(dir / "longer"));
  dir.WriteFile("empty", "");
  ASSERT_EQ(0, Copy(dir / "empty", dir / "empty2", nullptr));
  EXPECT_EQ("", test::TempDir::ReadFile(dir / "empty2"));

  abort_flag = 1;
  errno = 0;
  EXPECT_EQ(-1, Copy(source, dir / "aborted", &abort_flag));
  EXPECT_EQ(ECANCELED, errno);
  EXPECT_EQ("", test::TempDir::ReadFile(dir / "aborted"));  // not one piece was copied
}

TEST(CopyFileContents, CopyAndItsMD4InOnePassWhateverTheSize) {
  test::TempDir dir;
  // Around the first piece (read into the stack) and the large ones after.
  for (size_t size : {size_t{0}, size_t{4096}, size_t{65535}, size_t{65536}, size_t{65537},
                      size_t{(1 << 20) + 65536 + 7}}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    std::string source = dir.WriteFile("src" + std::to_string(size), data);
    std::string target = dir / ("dst" + std::to_string(size));
    UniqueFd in(open(source.c_str(), O_RDONLY));
    UniqueFd out(open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    unsigned char digest[MD4_DIGEST_LENGTH_BYTES];
    ASSERT_EQ(0, CopyFileContents(in.Get(), out.Get(), target, nullptr, digest)) << size;
    EXPECT_EQ(data, test::TempDir::ReadFile(target)) << size;
    unsigned char expected[MD4_DIGEST_LENGTH_BYTES];
    ASSERT_EQ(0, RSCalcMD4(source, expected, nullptr));
    EXPECT_EQ(MD4ToHex(expected), MD4ToHex(digest)) << size;
  }
}

TEST(CopyFileContents, AFullDiskLeavesENOSPC) {
  test::TempDir dir;
  std::string source = dir.WriteFile("big", std::string(3 * 1024 * 1024, 'b'));
  ASSERT_EQ(0, mkdir((dir / "small").c_str(), 0755));
  std::string target = dir / "small/copy";
  int status = test::RunWithSmallTmpfs(dir / "small", "1m", [&] {
    errno = 0;
    if (Copy(source, target, nullptr) != -1) return 1;
    if (errno != ENOSPC) return 2;
    return 0;
  });
  if (status == test::MOUNT_NOT_PERMITTED) GTEST_SKIP() << "no private mounts here";
  EXPECT_EQ(0, status);
}

}  // namespace
}  // namespace tide
