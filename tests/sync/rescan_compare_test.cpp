#include "sync/rescan_compare.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "event/file_list.h"
#include "view_fixture.h"

namespace tide {
namespace {

using test::Describe;

// Entries as "d /path mtime" or "f /path mtime size".
void Fill(FileList* list, const std::vector<std::string>& entries) {
  for (const std::string& text : entries) {
    std::istringstream in(text);
    char kind;
    std::string path;
    uint32_t mtime = 0;
    uint64_t size = 0;
    in >> kind >> path >> mtime >> size;
    int result = kind == 'd' ? list->AddDirectory(path, mtime) : list->AddFile(path, mtime, size);
    ASSERT_GE(result, 0) << text;
  }
}

std::vector<std::string> Compare(const std::vector<std::string>& disk, const std::vector<std::string>& index,
                                 bool merge, const std::string& prefix = "") {
  FileList local;
  FileList indexed;
  Fill(&local, disk);
  Fill(&indexed, index);
  std::vector<std::string> out;
  EXPECT_EQ(0, CompareFileLists(local, indexed, prefix, merge, 7, nullptr,
                                [&](const Event& event) {
                                  EXPECT_EQ(7u, event.m_view_id);
                                  out.push_back(Describe(event));
                                }));
  return out;
}

TEST(RescanCompare, OrderFollowsTheListWalk) {
  struct Case {
    const char* m_a;
    const char* m_b;
    int m_sign;  // <0: a first
  } cases[] = {
      {"/b", "/a", -1},     {"/a", "/b", 1},     {"/a/x", "/a", -1},  {"/a", "/a/x", 1},
      {"/a", "/a", 0},      {"", "/a", 1},       {"/a/x", "/b", 1},   {"/ab", "/a/z", -1},
      {"/a/z", "/ab", 1},   {"/\xc3\xa9", "/z", -1},  // bytes compare unsigned
      {"/a b", "/a", -1},   {"/a", "/a b", 1},   {"", "", 0},
  };
  for (const Case& c : cases) {
    int order = FileListOrder(c.m_a, c.m_b);
    EXPECT_EQ(c.m_sign, (order > 0) - (order < 0)) << "'" << c.m_a << "' vs '" << c.m_b << "'";
  }
}

TEST(RescanCompare, TableOfSituations) {
  struct Case {
    const char* m_name;
    std::vector<std::string> m_disk;
    std::vector<std::string> m_index;
    std::vector<std::string> m_merge;  // events in merge mode, in walk order
    std::vector<std::string> m_sync;   // in sync mode
  } cases[] = {
      {"identical trees give nothing",
       {"d /a 5", "f /a/x 6 10", "f /b 7 3"},
       {"d /a 9", "f /a/x 6 10", "f /b 7 3"},
       {},
       {}},
      {"only on disk uploads, with the directory bit",
       {"d /new 5", "f /new/x 6 10"},
       {},
       {"UPLOAD_LOCAL /new/x 8", "UPLOAD_LOCAL /new 9"},
       {"UPLOAD_LOCAL /new/x 8", "UPLOAD_LOCAL /new 9"}},
      {"only in the index downloads (merge) or removes on the server (sync)",
       {},
       {"d /gone 5", "f /gone/x 6 10"},
       {"DOWNLOAD_REMOTE /gone/x 8", "DOWNLOAD_REMOTE /gone 9"},
       {"REMOVE_REMOTE /gone/x 8", "REMOVE_REMOTE /gone 9"}},
      {"a file whose mtime or size differ is uploaded",
       {"f /m 6 10", "f /s 7 11"},
       {"f /m 5 10", "f /s 7 10"},
       {"UPLOAD_LOCAL /s 8", "UPLOAD_LOCAL /m 8"},
       {"UPLOAD_LOCAL /s 8", "UPLOAD_LOCAL /m 8"}},
      {"a kind change is a conflict: download in merge, upload in sync",
       {"d /k 5", "f /k/in 6 1"},
       {"f /k 5 1"},
       {"UPLOAD_LOCAL /k/in 8", "DOWNLOAD_REMOTE /k 12"},
       {"UPLOAD_LOCAL /k/in 8", "UPLOAD_LOCAL /k 12"}},
      {"interleaved names on both sides stay in step",
       {"f /a 1 1", "f /c 1 1", "d /d 1", "f /d/y 1 1", "f /e 1 1"},
       {"f /b 1 1", "f /c 1 1", "d /d 1", "f /d/x 1 1", "f /f 1 1"},
       {"DOWNLOAD_REMOTE /f 8", "UPLOAD_LOCAL /e 8", "UPLOAD_LOCAL /d/y 8", "DOWNLOAD_REMOTE /d/x 8",
        "DOWNLOAD_REMOTE /b 8", "UPLOAD_LOCAL /a 8"},
       {"REMOVE_REMOTE /f 8", "UPLOAD_LOCAL /e 8", "UPLOAD_LOCAL /d/y 8", "REMOVE_REMOTE /d/x 8",
        "REMOVE_REMOTE /b 8", "UPLOAD_LOCAL /a 8"}},
      {"a name that is a prefix of another is a different entry",
       {"d /a 1", "f /a/z 1 1"},
       {"d /ab 1", "f /ab/z 1 1"},
       {"DOWNLOAD_REMOTE /ab/z 8", "DOWNLOAD_REMOTE /ab 9", "UPLOAD_LOCAL /a/z 8", "UPLOAD_LOCAL /a 9"},
       {"REMOVE_REMOTE /ab/z 8", "REMOVE_REMOTE /ab 9", "UPLOAD_LOCAL /a/z 8", "UPLOAD_LOCAL /a 9"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.m_merge, Compare(c.m_disk, c.m_index, true)) << c.m_name;
    EXPECT_EQ(c.m_sync, Compare(c.m_disk, c.m_index, false)) << c.m_name;
  }
}

TEST(RescanCompare, PrefixNamesTheRescannedDirectory) {
  EXPECT_EQ(std::vector<std::string>{"UPLOAD_LOCAL /dir/sub/x 8"}, Compare({"f /x 1 1"}, {}, false, "/dir/sub"));
  EXPECT_EQ("", ListPrefix("/"));
  EXPECT_EQ("/dir", ListPrefix("/dir"));
}

TEST(RescanCompare, AbortStopsTheWalk) {
  FileList local;
  FileList indexed;
  Fill(&local, {"f /a 1 1", "f /b 1 1"});
  std::atomic<int> abort_flag{1};
  int calls = 0;
  EXPECT_EQ(-1, CompareFileLists(local, indexed, "", true, 7, &abort_flag, [&](const Event&) { ++calls; }));
  EXPECT_EQ(0, calls);
}

// Random trees on both sides against a model that compares them as maps:
// the single pass must find exactly the differences the model finds.
TEST(RescanCompare, MatchesAMapModelOnRandomTrees) {
  const char* names[] = {"a", "b", "ab", "a b", "B", "z", "\xc3\xa9"};
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 random(seed);
    struct Node {
      bool m_dir;
      uint32_t m_mtime;
      uint64_t m_size;
    };
    auto make_tree = [&](std::map<std::string, Node>* tree, FileList* list) {
      std::vector<std::string> dirs = {""};
      int count = 1 + static_cast<int>(random() % 25);
      for (int i = 0; i < count; ++i) {
        std::string parent = dirs[random() % dirs.size()];
        std::string path = parent + "/" + names[random() % 7];
        if (tree->count(path)) continue;
        bool dir = random() % 3 == 0;
        Node node{dir, static_cast<uint32_t>(random() % 2), static_cast<uint64_t>(random() % 2)};
        if (dir) {
          ASSERT_GE(list->AddDirectory(path, node.m_mtime), 0);
          dirs.push_back(path);
        } else {
          ASSERT_EQ(0, list->AddFile(path, node.m_mtime, node.m_size));
        }
        (*tree)[path] = node;
      }
    };
    std::map<std::string, Node> disk_tree;
    std::map<std::string, Node> index_tree;
    FileList local;
    FileList indexed;
    make_tree(&disk_tree, &local);
    make_tree(&index_tree, &indexed);

    std::multiset<std::string> expected;
    for (const auto& [path, node] : disk_tree) {
      auto other = index_tree.find(path);
      uint32_t dir_bit = node.m_dir ? 1 : 0;
      if (other == index_tree.end()) {
        expected.insert("UPLOAD_LOCAL " + path + " " + std::to_string(8 | dir_bit));
      } else if (other->second.m_dir != node.m_dir) {
        expected.insert("DOWNLOAD_REMOTE " + path + " 12");
      } else if (!node.m_dir && (other->second.m_mtime != node.m_mtime || other->second.m_size != node.m_size)) {
        expected.insert("UPLOAD_LOCAL " + path + " 8");
      }
    }
    for (const auto& [path, node] : index_tree) {
      if (!disk_tree.count(path)) {
        expected.insert("DOWNLOAD_REMOTE " + path + " " + std::to_string(8 | (node.m_dir ? 1 : 0)));
      }
    }
    std::multiset<std::string> got;
    CompareFileLists(local, indexed, "", true, 7, nullptr, [&](const Event& event) { got.insert(Describe(event)); });
    ASSERT_EQ(expected, got) << "seed " << seed;
  }
}

}  // namespace
}  // namespace tide
