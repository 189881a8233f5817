#include "sync/rescan.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "event/file_list.h"
#include "sync/local_list.h"
#include "view_fixture.h"

namespace tide {
namespace {

using test::Describe;

class RescanTest : public test::ViewFixture {
 protected:
  // A view that was in sync, then changed while nobody watched.
  void MakeDriftedView() {
    AddSyncedDir("/docs");
    AddSyncedFile("/docs/same.txt", "same");
    AddSyncedFile("/docs/edited.txt", "old");
    WriteLocal("/docs/edited.txt", "new contents", 2000);
    AddRow("/docs/only-in-db.txt", false, 1000, 3);
    AddRow("/gone", true);
    AddRow("/gone/inside", false, 1000, 1);
    WriteLocal("/docs/new.txt", "n");
    WriteLocal("/docs/@eaDir/new.txt@VarnEAStream", "metadata");
    WriteLocal("/@EADIR/x", "metadata");
  }
};

TEST_F(RescanTest, MergeAndSyncModesOverADriftedView) {
  MakeDriftedView();
  const std::vector<std::string> both = {"UPLOAD_LOCAL /docs/edited.txt 8", "UPLOAD_LOCAL /docs/new.txt 8"};
  struct Case {
    bool m_merge;
    const char* m_missing;  // type for what only the database knows
  } cases[] = {{true, "DOWNLOAD_REMOTE"}, {false, "REMOVE_REMOTE"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_merge ? "merge" : "sync");
    EXPECT_EQ(
        0, RescanDirectoryItem(Item(c.m_merge ? RESCAN_MERGE : RESCAN_SYNC, "/", EVENT_FLAG_DIR), Engine(), c.m_merge));
    std::vector<std::string> expected = {
        std::string(c.m_missing) + " /docs/only-in-db.txt 8",
        both[0],
        both[1],
        std::string(c.m_missing) + " /gone 9",
    };
    // The event tree folds a removal below a removed directory into it.
    if (c.m_merge) expected.push_back(std::string(c.m_missing) + " /gone/inside 8");
    std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
      return a.substr(a.find(' ')) < b.substr(b.find(' '));
    });
    EXPECT_EQ(expected, Describe(Drain()));
  }
}

TEST_F(RescanTest, SubdirectoryRescanUsesViewPaths) {
  MakeDriftedView();
  EXPECT_EQ(0, RescanDirectoryItem(Item(RESCAN_SYNC, "/docs", EVENT_FLAG_DIR), Engine(), false));
  EXPECT_EQ((std::vector<std::string>{"UPLOAD_LOCAL /docs/edited.txt 8", "UPLOAD_LOCAL /docs/new.txt 8",
                                      "REMOVE_REMOTE /docs/only-in-db.txt 8"}),
            Describe(Drain()));
}

// A rescan of a directory that is missing (a volume not mounted, a
// replaced link) must not read as "everything was deleted".
TEST_F(RescanTest, UnreadableDirectoryDeletesNothing) {
  AddRow("/a", false);
  ASSERT_EQ(0, rmdir(Root().c_str()));
  EXPECT_EQ(0, RescanDirectoryItem(Item(RESCAN_SYNC, "/", EVENT_FLAG_DIR), Engine(), false));
  ASSERT_EQ(0, symlink(TmpDir().c_str(), Root().c_str()));
  EXPECT_EQ(0, RescanDirectoryItem(Item(RESCAN_SYNC, "/", EVENT_FLAG_DIR), Engine(), false));
  EXPECT_TRUE(Drain().empty());
}

// A subdirectory that is gone from a view that is there (a removal the
// server refused as modified is rescanned so), or that a file or a link now
// stands in for, is compared with nothing: what the database knew below it
// goes from the server, and the directory itself, which the server kept,
// is fetched again whatever the database says about its version.
TEST_F(RescanTest, GoneSubdirectoryIsComparedWithNothingAndFetchedAgain) {
  struct Case {
    const char* m_name;
    void (*m_replace)(const std::string& local);
  } cases[] = {
      {"removed", [](const std::string&) {}},
      {"a file in its place",
       [](const std::string& local) { ASSERT_EQ(0, close(open(local.c_str(), O_CREAT | O_WRONLY, 0644))); }},
      {"a link in its place", [](const std::string& local) { ASSERT_EQ(0, symlink("/", local.c_str())); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.m_name);
    AddRow("/gone", true);
    AddRow("/gone/a", false);
    std::string local = Local("/gone");
    c.m_replace(local);
    EXPECT_EQ(0, RescanDirectoryItem(Item(RESCAN_SYNC, "/gone", EVENT_FLAG_DIR), Engine(), false));
    std::vector<Event> pushed = Drain();
    EXPECT_EQ((std::vector<std::string>{"DOWNLOAD_REMOTE /gone 9", "REMOVE_REMOTE /gone/a 8"}), Describe(pushed));
    for (const Event& event : pushed) {
      if (event.m_type == DOWNLOAD_REMOTE) {
        EXPECT_EQ(0x7FFFFFFFFFFFFFFFULL, event.m_sync_id);
      }
    }
    unlink(local.c_str());
  }
}

TEST_F(RescanTest, LocalListSkipsLinksAndAttributeDirectories) {
  WriteLocal("/d/f", "12345", 1234);
  WriteLocal("/d/@eaDir/f@VarnEAStream", "x");
  WriteLocal("/@eadir/x", "x");
  ASSERT_EQ(0, symlink(TmpDir().c_str(), Local("/d/link").c_str()));
  ASSERT_EQ(0, mkfifo(Local("/fifo").c_str(), 0666));
  FileList list;
  ViewDir view;
  ASSERT_EQ(0, view.Open(Root()));
  EXPECT_EQ(0, BuildLocalFileList(view, "/", &list, nullptr, 3));
  std::vector<std::string> walked;
  for (const FileListEntry& entry : list) {
    walked.push_back(entry.m_path + (entry.m_kind == FILE_LIST_FILE ? " " + std::to_string(entry.m_size) : ""));
  }
  EXPECT_EQ((std::vector<std::string>{"/d/f 5", "/d", ""}), walked);
  EXPECT_EQ(1234u, list.begin()->m_mtime);
}

TEST_F(RescanTest, ExpanderOffersTheTreeWithoutAttributeDirectories) {
  WriteLocal("/new/a.txt", "a");
  WriteLocal("/new/sub/b.txt", "b");
  WriteLocal("/new/@EaDir/a.txt@VarnEAStream", "x");
  WriteLocal("/new/sub/@eadir/b.txt@VarnEAStream", "x");
  ASSERT_EQ(0, symlink(m_dir.Path().c_str(), Local("/new/escape").c_str()));
  EXPECT_EQ(0, ExpandDirectoryItem(Item(EXPAND, "/new", EVENT_FLAG_DIR), Engine()));
  EXPECT_EQ((std::vector<std::string>{"UPLOAD_LOCAL /new/a.txt 0", "UPLOAD_LOCAL /new/sub 1",
                                      "UPLOAD_LOCAL /new/sub/b.txt 0"}),
            Describe(Drain()));

  // From the view root the paths are still relative to the view.
  EXPECT_EQ(0, ExpandDirectoryItem(Item(EXPAND, "/", EVENT_FLAG_DIR), Engine()));
  EXPECT_EQ(4u, Drain().size());
}

TEST_F(RescanTest, AbortStopsTheExpander) {
  WriteLocal("/new/a.txt", "a");
  m_abort = 1;
  EXPECT_EQ(0, ExpandDirectoryItem(Item(EXPAND, "/new", EVENT_FLAG_DIR), Engine()));
  EXPECT_TRUE(Drain().empty());
}

}  // namespace
}  // namespace tide
