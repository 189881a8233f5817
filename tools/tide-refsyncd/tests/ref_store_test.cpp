#include "ref_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "ref_client.h"
#include "support/temp_dir.h"

namespace tide::test {
namespace {

class RefStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, m_store.Open(m_dir / "history.sqlite", m_dir / "store")); }

  // Uploads `content` as a file; returns the code, the node in *node.
  // `remote`: written as the admin command line writes (forced, by a remote
  // client); otherwise as the daemon uploads.
  uint32_t PutFile(uint64_t view, const std::string& path, uint64_t base, const std::string& content,
                   RefNode* node = nullptr, bool remote = false) {
    RefUpload up;
    up.m_view_id = view;
    up.m_path = path;
    up.m_base_sync_id = base;
    up.m_force = remote;
    up.m_remote = remote;
    up.m_data_path = m_dir.WriteFile("src/" + std::to_string(++m_files), content);
    up.m_hash = FileMD4(up.m_data_path);
    up.m_size = content.size();
    up.m_mtime = 1234;
    RefNode ignored;
    return m_store.Upload(up, node ? node : &ignored);
  }
  uint32_t PutDir(uint64_t view, const std::string& path, uint64_t base, RefNode* node = nullptr) {
    RefUpload up;
    up.m_view_id = view;
    up.m_path = path;
    up.m_base_sync_id = base;
    up.m_is_dir = true;
    RefNode ignored;
    return m_store.Upload(up, node ? node : &ignored);
  }
  uint64_t SyncId() {
    uint64_t id = 0;
    EXPECT_EQ(0, m_store.CurrentSyncId(&id));
    return id;
  }
  std::vector<RefChange> Pull(uint64_t view, uint64_t since, uint32_t limit = 1000) {
    std::vector<RefChange> out;
    EXPECT_EQ(0, m_store.PullChanges(view, since, limit, &out));
    return out;
  }

  TempDir m_dir;
  RefStore m_store;
  int m_files = 0;
};

TEST(RefPathTest, AcceptsOnlyRootedPathsWithoutDotComponents) {
  struct Case {
    const char* path;
    bool valid;
  } cases[] = {
      {"/", true},         {"/a", true},       {"/a/b c/d.txt", true}, {"/..a/b..", true},
      {"", false},         {"a", false},       {"a/b", false},         {"/..", false},
      {"/a/../b", false},  {"/a/..", false},   {"/a/./b", false},      {"/a//b", false},
      {"/a/", false},      {"//", false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.valid, IsValidViewPath(c.path)) << c.path;
}

TEST_F(RefStoreTest, UploadCreatesMissingParentsAsChangesOfTheirOwn) {
  RefNode file;
  ASSERT_EQ(REF_OK, PutFile(100, "/a/b/c.txt", 0, "hello", &file));
  EXPECT_EQ(3u, SyncId());
  EXPECT_EQ(3u, file.m_sync_id);
  EXPECT_EQ("c.txt", file.m_name);

  std::vector<RefChange> changes = Pull(0, 0);
  ASSERT_EQ(3u, changes.size());
  EXPECT_EQ("/a", changes[0].m_path);
  EXPECT_EQ(REF_FLAG_DIR, changes[0].m_flags);
  EXPECT_EQ(100u, changes[0].m_parent_id);  // the view root's node id is the view id
  EXPECT_EQ("/a/b", changes[1].m_path);
  EXPECT_EQ(changes[0].m_node_id, changes[1].m_parent_id);
  EXPECT_EQ("/a/b/c.txt", changes[2].m_path);
  EXPECT_EQ(0u, changes[2].m_flags);
  EXPECT_EQ(changes[1].m_node_id, file.m_parent_id);
  EXPECT_EQ(5u, changes[2].m_size);
  EXPECT_EQ(FileMD4(m_dir / "src/1"), changes[2].m_hash);
  EXPECT_EQ("hello", TempDir::ReadFile(m_store.ObjectPath(changes[2].m_hash)));
}

TEST_F(RefStoreTest, NodeIdsNeverMeetViewIds) {
  ASSERT_EQ(REF_OK, PutFile(5, "/x", 0, "x"));
  uint64_t view = 0;
  ASSERT_EQ(0, m_store.AddView(0, "/volume1/share", &view));  // a new id from the same space
  RefNode x;
  ASSERT_EQ(1, m_store.GetNode(5, "/x", &x));
  EXPECT_NE(view, x.m_node_id);
  EXPECT_NE(5u, x.m_node_id);
  // An explicit view id lifts the counter above it...
  ASSERT_EQ(0, m_store.AddView(500000, "", &view));
  RefNode y;
  ASSERT_EQ(REF_OK, PutFile(5, "/y", 0, "y", &y));
  EXPECT_GT(y.m_node_id, 500000u);
  // ...and an id that already names a node can be no view.
  uint64_t refused = 0;
  EXPECT_EQ(-1, m_store.AddView(y.m_node_id, "", &refused));
  EXPECT_EQ(REF_INVALID_VIEW, PutFile(y.m_node_id, "/z", 0, "z"));
  EXPECT_EQ(REF_INVALID_VIEW, PutFile(0, "/z", 0, "z"));
}

TEST_F(RefStoreTest, BaseSyncIdMustBeTheCurrentOne) {
  RefNode first;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", 0, "v1", &first));
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/f", 0, "v2"));                       // client never saw it
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/f", first.m_sync_id + 1, "v2"));     // from the future
  RefNode second;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", first.m_sync_id, "v2", &second));
  EXPECT_EQ(first.m_node_id, second.m_node_id);
  EXPECT_GT(second.m_sync_id, first.m_sync_id);
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/f", first.m_sync_id, "v3"));         // stale base
  uint64_t before = SyncId();
  EXPECT_EQ(REF_CONFLICT, PutDir(7, "/f", 0));                              // folder over a file
  EXPECT_EQ(before, SyncId());

  // After a removal the path counts as absent: base 0 again, same node id.
  ASSERT_EQ(REF_OK, m_store.Remove(7, "/f", second.m_sync_id, false));
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/f", second.m_sync_id, "v4"));
  RefNode revived;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", 0, "v4", &revived));
  EXPECT_EQ(first.m_node_id, revived.m_node_id);
}

TEST_F(RefStoreTest, ExistingFolderIsAcceptedWithoutANewChange) {
  RefNode made;
  ASSERT_EQ(REF_OK, PutDir(7, "/d", 0, &made));
  uint64_t before = SyncId();
  RefNode again;
  ASSERT_EQ(REF_OK, PutDir(7, "/d", 0, &again));
  EXPECT_EQ(before, SyncId());
  EXPECT_EQ(made.m_sync_id, again.m_sync_id);
  EXPECT_EQ(made.m_node_id, again.m_node_id);
  // A file below a file, or a file over a non-empty folder, conflicts.
  ASSERT_EQ(REF_OK, PutFile(7, "/d/f", 0, "x"));
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/d/f/g", 0, "x"));
  EXPECT_EQ(REF_CONFLICT, PutFile(7, "/d", made.m_sync_id, "x"));
}

TEST_F(RefStoreTest, ContentMustMatchItsHashAndSize) {
  RefUpload up;
  up.m_view_id = 7;
  up.m_path = "/f";
  up.m_data_path = m_dir.WriteFile("data", "content");
  up.m_size = 7;
  up.m_hash = std::string(32, '0');
  RefNode node;
  EXPECT_EQ(REF_SERVER_ERROR, m_store.Upload(up, &node));
  up.m_hash = FileMD4(up.m_data_path);
  up.m_size = 8;
  EXPECT_EQ(REF_SERVER_ERROR, m_store.Upload(up, &node));
  up.m_size = 7;
  up.m_data_path = m_dir / "missing";
  EXPECT_EQ(REF_SERVER_ERROR, m_store.Upload(up, &node));
  EXPECT_EQ(0u, SyncId());
  EXPECT_TRUE(Pull(0, 0).empty());
}

TEST_F(RefStoreTest, ContentEntersTheStoreWithoutASecondCopyOnlyWhereThatIsSafe) {
  struct stat dir_st {}, shm_st {};
  ASSERT_EQ(0, stat(m_dir.Path().c_str(), &dir_st));
  // Another file system, where a hard link cannot reach, when the machine has one.
  bool other_fs = stat("/dev/shm", &shm_st) == 0 && shm_st.st_dev != dir_st.st_dev && access("/dev/shm", W_OK) == 0;
  std::string shm_file = "/dev/shm/refstore-test-" + std::to_string(getpid());
  struct Case {
    const char* name;
    std::string source;
    bool adopt;
    bool second_name;  // somebody else names the file too
    bool linked;
  } cases[] = {
      {"the daemon's throw-away copy", m_dir / "in/a", true, false, true},
      {"a file that has a second name", m_dir / "in/b", true, true, false},
      {"a file somebody goes on using", m_dir / "in/c", false, false, false},
      {"a copy on another file system", other_fs ? shm_file : m_dir / "in/d", true, false, !other_fs},
  };
  for (const Case& c : cases) {
    std::string content = std::string("content of ") + c.name;
    std::filesystem::create_directories(m_dir / "in");
    {
      FILE* f = fopen(c.source.c_str(), "w");
      ASSERT_NE(nullptr, f) << c.name;
      fputs(content.c_str(), f);
      fclose(f);
    }
    if (c.second_name) {
      ASSERT_EQ(0, link(c.source.c_str(), (c.source + ".also").c_str()));
    }
    RefStore::ImportCounts counts = m_store.Imports();
    std::string hash;
    uint64_t size = 0;
    ASSERT_EQ(REF_OK, m_store.ImportContent(c.source, FileMD4(c.source), static_cast<int64_t>(content.size()), c.adopt,
                                            &hash, &size))
        << c.name;
    struct stat source_st {}, object_st {};
    ASSERT_EQ(0, stat(c.source.c_str(), &source_st));
    ASSERT_EQ(0, stat(m_store.ObjectPath(hash).c_str(), &object_st));
    EXPECT_EQ(c.linked, source_st.st_ino == object_st.st_ino && source_st.st_dev == object_st.st_dev) << c.name;
    EXPECT_EQ(counts.m_linked + (c.linked ? 1 : 0), m_store.Imports().m_linked) << c.name;
    EXPECT_EQ(content.size(), size);
    // The source goes away (or is rewritten) as its owner likes; the stored
    // version stays as it was checked.
    if (!c.linked) {
      FILE* f = fopen(c.source.c_str(), "w");
      fputs("rewritten", f);
      fclose(f);
    }
    unlink(c.source.c_str());
    EXPECT_EQ(content, TempDir::ReadFile(m_store.ObjectPath(hash))) << c.name;
  }
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(m_dir / "store/tmp", ec)) << "nothing left behind in the store's tmp";
}

TEST_F(RefStoreTest, DownloadCodes) {
  RefNode file;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", 0, "abc", &file));
  RefNode out;
  EXPECT_EQ(REF_OK, m_store.Download(7, "/f", 0, &out));
  EXPECT_EQ(file.m_hash, out.m_hash);
  EXPECT_EQ(REF_NOT_MODIFIED, m_store.Download(7, "/f", file.m_sync_id, &out));
  EXPECT_EQ(REF_NO_ENTRY, m_store.Download(7, "/g", 0, &out));
  EXPECT_EQ(REF_NO_ENTRY, m_store.Download(8, "/f", 0, &out));
  EXPECT_EQ(REF_REFUSED_PATH, m_store.Download(7, "f", 0, &out));
  ASSERT_EQ(REF_OK, m_store.Remove(7, "/f", file.m_sync_id, false));
  EXPECT_EQ(REF_NO_ENTRY, m_store.Download(7, "/f", 0, &out));
}

TEST_F(RefStoreTest, RemovingASynchronisedTreeTakesItAllThoughTheFolderRecordIsOlder) {
  // The daemon uploads a folder before its contents, so the folder's record
  // is older than everything below it; the removal is based on that record.
  RefNode d, f, g;
  ASSERT_EQ(REF_OK, PutDir(7, "/d", 0, &d));
  ASSERT_EQ(REF_OK, PutFile(7, "/d/f", 0, "f", &f));
  ASSERT_EQ(REF_OK, PutFile(7, "/d/e/g", 0, "g", &g));
  ASSERT_EQ(REF_OK, PutFile(7, "/dx", 0, "not below /d"));
  uint64_t before = SyncId();

  // The node's own newer version is still refused, and nothing changes.
  EXPECT_EQ(REF_MODIFIED, m_store.Remove(7, "/d/f", f.m_sync_id - 1, false));
  EXPECT_EQ(before, SyncId());

  // A folder goes with everything below it, each node a change of its own,
  // the folder first.
  size_t removed = 0;
  ASSERT_EQ(REF_OK, m_store.Remove(7, "/d", d.m_sync_id, false, &removed));
  EXPECT_EQ(4u, removed);
  std::vector<RefChange> tail = Pull(7, before);
  ASSERT_EQ(4u, tail.size());
  EXPECT_EQ("/d", tail[0].m_path);
  EXPECT_EQ(REF_FLAG_DIR | REF_FLAG_DELETED, tail[0].m_flags);
  EXPECT_EQ("/d/e/g", tail[2].m_path);
  EXPECT_EQ(REF_FLAG_DELETED, tail[2].m_flags);
  EXPECT_EQ(before + 4, tail[3].m_sync_id);

  EXPECT_EQ(REF_NO_ENTRY, m_store.Remove(7, "/d", SyncId(), false));
  EXPECT_EQ(REF_REFUSED_PATH, m_store.Remove(7, "/", SyncId(), false));
  EXPECT_EQ(REF_REFUSED_PATH, m_store.Remove(7, "/dx/..", SyncId(), false));
  std::vector<RefNode> live;
  ASSERT_EQ(0, m_store.ListNodes(7, "/", true, &live));
  ASSERT_EQ(1u, live.size());
  EXPECT_EQ("/dx", live[0].m_path);
}

TEST_F(RefStoreTest, RemovalIsRefusedOnlyForChangesTheDaemonHasNotSeen) {
  // Each case builds "/d" (uploaded by the daemon) in a view of its own,
  // then changes things; the daemon removes "/d" with the base returned.
  struct Case {
    const char* name;
    std::function<uint64_t(uint64_t view, uint64_t d_sync)> change;
    uint32_t expected;
  };
  Case cases[] = {
      {"a file added remotely inside",
       [&](uint64_t view, uint64_t d_sync) {
         EXPECT_EQ(REF_OK, PutFile(view, "/d/new", 0, "remote", nullptr, true));
         return d_sync;
       },
       REF_MODIFIED},
      {"a remote edit deep below",
       [&](uint64_t view, uint64_t d_sync) {
         EXPECT_EQ(REF_OK, PutFile(view, "/d/e/g", 0, "mine"));
         EXPECT_EQ(REF_OK, PutFile(view, "/d/e/g", 0, "theirs", nullptr, true));
         return d_sync;
       },
       REF_MODIFIED},
      {"the folder itself recreated after the base",
       [&](uint64_t view, uint64_t d_sync) {
         EXPECT_EQ(REF_OK, m_store.Remove(view, "/d", d_sync, false));
         RefNode again;
         EXPECT_EQ(REF_OK, PutDir(view, "/d", 0, &again));
         return d_sync;
       },
       REF_MODIFIED},
      {"a remote addition the daemon has pulled (base past it)",
       [&](uint64_t view, uint64_t) {
         EXPECT_EQ(REF_OK, PutFile(view, "/d/new", 0, "remote", nullptr, true));
         return SyncId();
       },
       REF_OK},
      {"a remote version the daemon uploaded over",
       [&](uint64_t view, uint64_t d_sync) {
         RefNode theirs;
         EXPECT_EQ(REF_OK, PutFile(view, "/d/x", 0, "theirs", &theirs, true));
         EXPECT_EQ(REF_OK, PutFile(view, "/d/x", theirs.m_sync_id, "mine"));
         return d_sync;
       },
       REF_OK},
      {"a remote removal below",
       [&](uint64_t view, uint64_t d_sync) {
         EXPECT_EQ(REF_OK, PutFile(view, "/d/f", 0, "f"));
         EXPECT_EQ(REF_OK, m_store.Remove(view, "/d/f", 0, true, nullptr, true));
         return d_sync;
       },
       REF_OK},
      {"a remote file beside, not below",
       [&](uint64_t view, uint64_t d_sync) {
         EXPECT_EQ(REF_OK, PutFile(view, "/dx", 0, "remote", nullptr, true));
         return d_sync;
       },
       REF_OK},
  };
  uint64_t view = 300;
  for (const Case& c : cases) {
    ++view;
    RefNode d;
    ASSERT_EQ(REF_OK, PutDir(view, "/d", 0, &d)) << c.name;
    ASSERT_EQ(REF_OK, PutFile(view, "/d/f0", 0, "daemon's")) << c.name;
    uint64_t base = c.change(view, d.m_sync_id);
    uint64_t before = SyncId();
    EXPECT_EQ(c.expected, m_store.Remove(view, "/d", base, false)) << c.name;
    if (c.expected != REF_OK) {
      EXPECT_EQ(before, SyncId()) << c.name << ": a refusal changes nothing";
    }
  }
}

TEST_F(RefStoreTest, HistoryFromBeforeOriginsWereKeptCountsAsRemote) {
  RefNode d;
  ASSERT_EQ(REF_OK, PutDir(7, "/d", 0, &d));
  ASSERT_EQ(REF_OK, PutFile(7, "/d/f", 0, "f"));
  m_store.Close();
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open((m_dir / "history.sqlite").c_str(), &db));
    EXPECT_EQ(SQLITE_OK, sqlite3_exec(db, "ALTER TABLE nodes DROP COLUMN remote", nullptr, nullptr, nullptr));
    sqlite3_close(db);
  }
  ASSERT_EQ(0, m_store.Open(m_dir / "history.sqlite", m_dir / "store"));
  // Who wrote /d/f is unknown: the removal stays as cautious as before.
  EXPECT_EQ(REF_MODIFIED, m_store.Remove(7, "/d", d.m_sync_id, false));
  ASSERT_EQ(REF_OK, PutFile(7, "/d/g", 0, "g"));
  EXPECT_EQ(REF_OK, m_store.Remove(7, "/d", SyncId(), false));
}

TEST_F(RefStoreTest, ForcedRemoveSkipsTheBaseCheck) {
  ASSERT_EQ(REF_OK, PutFile(7, "/d/f", 0, "f"));
  size_t removed = 0;
  ASSERT_EQ(REF_OK, m_store.Remove(7, "/d", 0, true, &removed));
  EXPECT_EQ(2u, removed);
}

TEST_F(RefStoreTest, PullIsOrderedBatchedPerViewAndRepeatable) {
  for (int i = 0; i < 5; ++i) ASSERT_EQ(REF_OK, PutFile(i % 2 ? 200 : 100, "/f" + std::to_string(i), 0, "x"));
  std::vector<RefChange> first = Pull(0, 0, 2);
  ASSERT_EQ(2u, first.size());
  EXPECT_EQ(1u, first[0].m_sync_id);
  EXPECT_EQ(2u, first[1].m_sync_id);
  std::vector<RefChange> again = Pull(0, 0, 2);
  ASSERT_EQ(2u, again.size());
  EXPECT_EQ(first[1].m_node_id, again[1].m_node_id);
  EXPECT_EQ(3u, Pull(0, 2, 2)[0].m_sync_id);
  std::vector<RefChange> odd = Pull(200, 0);
  ASSERT_EQ(2u, odd.size());
  EXPECT_EQ("/f1", odd[0].m_path);
  EXPECT_EQ("/f3", odd[1].m_path);
  EXPECT_TRUE(Pull(0, 5).empty());
  EXPECT_TRUE(Pull(0, UINT64_MAX).empty());
  EXPECT_TRUE(Pull(99, 0).empty());
}

TEST_F(RefStoreTest, HistorySurvivesReopeningAndIsSharedBetweenProcesses) {
  RefNode f;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", 0, "one", &f));
  // A second handle (as the admin command line holds) sees and extends the
  // same history while the first stays open.
  RefStore other;
  ASSERT_EQ(0, other.Open(m_dir / "history.sqlite", m_dir / "store"));
  size_t removed = 0;
  ASSERT_EQ(REF_OK, other.Remove(7, "/f", f.m_sync_id, false, &removed));
  EXPECT_EQ(2u, SyncId());
  other.Close();
  m_store.Close();
  ASSERT_EQ(0, m_store.Open(m_dir / "history.sqlite", m_dir / "store"));
  EXPECT_EQ(2u, SyncId());
  RefNode g;
  ASSERT_EQ(REF_OK, PutFile(7, "/g", 0, "two", &g));
  EXPECT_EQ(3u, g.m_sync_id);
  EXPECT_GT(g.m_node_id, f.m_node_id);
}

TEST_F(RefStoreTest, IdsStayAboveTheCountsAnOlderHistoryKept) {
  RefNode f;
  ASSERT_EQ(REF_OK, PutFile(7, "/f", 0, "one", &f));
  m_store.Close();
  // Written when every id was counted in the counters table.
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open((m_dir / "history.sqlite").c_str(), &db));
  ASSERT_EQ(SQLITE_OK, sqlite3_exec(db,
                                    "UPDATE counters SET value = 40 WHERE name = 'sync_id';"
                                    "UPDATE counters SET value = 900000 WHERE name = 'next_id';",
                                    nullptr, nullptr, nullptr));
  sqlite3_close(db);
  ASSERT_EQ(0, m_store.Open(m_dir / "history.sqlite", m_dir / "store"));
  EXPECT_EQ(40u, SyncId());
  RefNode g;
  ASSERT_EQ(REF_OK, PutFile(7, "/g", 0, "two", &g));
  EXPECT_EQ(41u, g.m_sync_id);
  EXPECT_EQ(900001u, g.m_node_id);
  RefNode h;
  ASSERT_EQ(REF_OK, PutFile(7, "/h", 0, "three", &h));
  EXPECT_EQ(42u, h.m_sync_id);
  EXPECT_EQ(g.m_node_id + 1, h.m_node_id);
}

}  // namespace
}  // namespace tide::test
