#include "sync/server_path.h"

#include <gtest/gtest.h>

namespace tide {
namespace {

TEST(ServerPath, AcceptsAndRefuses) {
  struct Case {
    std::string path;
    bool safe;
  };
  const Case cases[] = {
      {"/", true},
      {"/a", true},
      {"/a/b.txt", true},
      {"/.hidden/..dots/...", true},
      {"/a/.b", true},
      {"", false},
      {"a/b", false},
      {"//a", false},
      {"/a//b", false},
      {"/a/", false},
      {"/.", false},
      {"/..", false},
      {"/a/./b", false},
      {"/a/../b", false},
      {"/a/..", false},
      {std::string("/a\0b", 4), false},
      {std::string("/\0", 2), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsSafeServerPath(c.path), c.safe) << "path: " << c.path;
  }
}

}  // namespace
}  // namespace tide
