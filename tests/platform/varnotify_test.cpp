#include "platform/varnotify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/varnotify_record.h"
#include "support/temp_dir.h"

namespace tide {
namespace {

namespace fs = std::filesystem;

std::string Le32(uint32_t value) {
  std::string out;
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
  return out;
}

TEST(VarnotifyRecord, RoundTripsAndPadsToFourBytes) {
  std::string bytes;
  EXPECT_EQ(24u, AppendVarnotifyRecord(IN_CLOSE_WRITE, 0, "/volume1/a", &bytes));
  EXPECT_EQ(16u, AppendVarnotifyRecord(IN_Q_OVERFLOW, 0, "", &bytes));
  EXPECT_EQ(20u, AppendVarnotifyRecord(IN_MOVED_TO | IN_ISDIR, 77, "/abc", &bytes));
  std::vector<VarnotifyRecord> records;
  size_t pos = 0;
  VarnotifyRecord record;
  for (long length; (length = ReadVarnotifyRecord(bytes.data() + pos, bytes.size() - pos, &record)) > 0;) {
    EXPECT_EQ(0u, length % 4);
    records.push_back(record);
    pos += length;
  }
  EXPECT_EQ(bytes.size(), pos);
  ASSERT_EQ(3u, records.size());
  EXPECT_EQ("/volume1/a", records[0].m_path);
  EXPECT_EQ(uint32_t{IN_CLOSE_WRITE}, records[0].m_mask);
  EXPECT_EQ("", records[1].m_path);
  EXPECT_EQ(uint32_t{IN_MOVED_TO | IN_ISDIR}, records[2].m_mask);
  EXPECT_EQ(77u, records[2].m_cookie);
  EXPECT_EQ("/abc", records[2].m_path);
}

TEST(VarnotifyRecord, RefusesWhatIsNotOneWholeRecord) {
  const std::string header = Le32(IN_DELETE) + Le32(0);
  struct Case {
    const char* what;
    std::string bytes;
    long expected;
  };
  const Case cases[] = {
      {"nothing", "", 0},
      {"short header", std::string(11, '\0'), -1},
      {"length past the end", header + Le32(8) + std::string("/a\0\0", 4), -1},
      {"length beyond any path", header + Le32(0x10000) + std::string(0x10000, 'a'), -1},
      {"length near 2^32", header + Le32(0xFFFFFFFC) + "/a", -1},
      // The path would end in the next record's bytes.
      {"no terminating zero", header + Le32(4) + "/abc" + header + Le32(0), -1},
      {"zero length", header + Le32(0), 12},
      {"zero inside, junk after", header + Le32(8) + std::string("/a\0junk", 8), 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    VarnotifyRecord record;
    EXPECT_EQ(c.expected, ReadVarnotifyRecord(c.bytes.data(), c.bytes.size(), &record));
    if (c.expected == 20) {
      EXPECT_EQ("/a", record.m_path);
    }
  }
}

// The calls against the running kernel; skipped where it lacks them or we
// lack the privilege.
class VarnotifyKernel : public testing::Test {
 protected:
  void SetUp() override { Open(0); }
  void Open(int flags) {
    if (m_fd >= 0) VarnotifyClose(m_fd);
    m_fd = VarnotifyInit(flags);
    if (m_fd < 0) {
      GTEST_SKIP() << "no volume notification here: " << strerror(errno);
    }
    m_root = fs::canonical(m_dir.Path());
  }
  void TearDown() override {
    if (m_fd >= 0) {
      EXPECT_EQ(0, VarnotifyClose(m_fd));
    }
  }
  // Records below our scratch folder (the mark covers the whole file system,
  // so other programs' changes come too), read until at least `count` have come or
  // the volume is quiet for two seconds.
  std::vector<VarnotifyRecord> Collect(size_t count) {
    std::vector<VarnotifyRecord> mine;
    std::vector<char> buffer(VARN_RECORD_HEADER_SIZE + VARN_RECORD_PATH_MAX + 4096);
    while (mine.size() < count) {
      long got = VarnotifyRead(m_fd, buffer.data(), buffer.size());
      if (got < 0) {
        EXPECT_EQ(EAGAIN, errno);
        struct pollfd p = {m_fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0) break;
        continue;
      }
      for (long pos = 0; pos < got;) {
        VarnotifyRecord record;
        long length = ReadVarnotifyRecord(buffer.data() + pos, got - pos, &record);
        EXPECT_GT(length, 0);
        if (length <= 0) return mine;
        pos += length;
        if (record.m_path.compare(0, m_root.size() + 1, m_root + "/") == 0) mine.push_back(record);
      }
    }
    return mine;
  }
  void ExpectChangesReported();
  test::TempDir m_dir;
  std::string m_root;
  int m_fd = -1;
};

TEST_F(VarnotifyKernel, ReportsChangesAsAbsolutePathsAndPairsMoves) {
  // Whole-rename reports where the kernel has them, and the two halves
  // paired from separate events as older kernels give them.
  for (int flags : {0, VARN_INIT_SEPARATE_MOVES}) {
    SCOPED_TRACE(flags);
    Open(flags);
    ExpectChangesReported();
  }
}

void VarnotifyKernel::ExpectChangesReported() {
  fs::remove_all(m_root + "/d");
  fs::remove(m_root + "/g");
  ASSERT_EQ(0, VarnotifyAddWatch32(m_fd, m_root.c_str(), VARN_WATCH_MASK));
  fs::create_directories(m_root + "/d");
  m_dir.WriteFile("d/f", "x");
  fs::rename(m_root + "/d/f", m_root + "/g");
  fs::remove(m_root + "/g");
  auto records = Collect(6);
  ASSERT_EQ(6u, records.size());
  struct Expected {
    uint32_t m_mask;
    std::string m_path;
  };
  const Expected expected[] = {{IN_CREATE | IN_ISDIR, m_root + "/d"},
                               {IN_CREATE, m_root + "/d/f"},
                               {IN_CLOSE_WRITE, m_root + "/d/f"},
                               {IN_MOVED_FROM, m_root + "/d/f"},
                               {IN_MOVED_TO, m_root + "/g"},
                               {IN_DELETE, m_root + "/g"}};
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(expected[i].m_mask, records[i].m_mask) << i;
    EXPECT_EQ(expected[i].m_path, records[i].m_path) << i;
  }
  EXPECT_NE(0u, records[3].m_cookie);
  EXPECT_EQ(records[3].m_cookie, records[4].m_cookie);
}

TEST_F(VarnotifyKernel, WatchesOnOneFileSystemShareTheirMark) {
  fs::create_directories(m_root + "/a");
  fs::create_directories(m_root + "/b");
  ASSERT_EQ(0, VarnotifyAddWatch32(m_fd, (m_root + "/a").c_str(), VARN_WATCH_MASK));
  ASSERT_EQ(0, VarnotifyAddWatch64(m_fd, (m_root + "/b").c_str(), VARN_WATCH_MASK));
  // Removing one keeps the other's reports, even once its folder is gone.
  ASSERT_EQ(0, VarnotifyRemoveWatch32(m_fd, (m_root + "/a").c_str(), VARN_WATCH_MASK));
  fs::remove(m_root + "/b");
  m_dir.WriteFile("a/f", "x");
  EXPECT_EQ(3u, Collect(3).size());  // b deleted, a/f created and closed
  ASSERT_EQ(0, VarnotifyRemoveWatch64(m_fd, (m_root + "/b").c_str(), VARN_WATCH_MASK));
  m_dir.WriteFile("a/g", "x");
  EXPECT_EQ(0u, Collect(1).size());
}

TEST_F(VarnotifyKernel, RefusedCalls) {
  std::vector<char> buffer(8192);
  const std::string missing = m_root + "/none";
  struct Case {
    const char* what;
    std::function<long()> call;
    int error;
  };
  const Case cases[] = {
      {"unknown descriptor", [&] { return VarnotifyAddWatch32(m_fd + 1000, m_root.c_str(), VARN_WATCH_MASK); }, EBADF},
      {"missing folder", [&] { return VarnotifyAddWatch32(m_fd, missing.c_str(), VARN_WATCH_MASK); }, ENOENT},
      {"empty mask", [&] { return VarnotifyAddWatch32(m_fd, m_root.c_str(), 0); }, EINVAL},
      {"high mask bits",
       [&] { return VarnotifyAddWatch64(m_fd, m_root.c_str(), uint64_t{1} << 32 | VARN_WATCH_MASK); }, EINVAL},
      {"never watched", [&] { return VarnotifyRemoveWatch32(m_fd, m_root.c_str(), VARN_WATCH_MASK); }, ENOENT},
      {"buffer too small for a record", [&] { return VarnotifyRead(m_fd, buffer.data(), 64); }, EINVAL},
      {"nothing queued", [&] { return VarnotifyRead(m_fd, buffer.data(), buffer.size()); }, EAGAIN},
      {"closed twice", [&] { return long{VarnotifyClose(m_fd + 1000)}; }, EBADF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    errno = 0;
    EXPECT_EQ(-1, c.call());
    EXPECT_EQ(c.error, errno);
  }
}

}  // namespace
}  // namespace tide
