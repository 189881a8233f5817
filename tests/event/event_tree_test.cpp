#include "event/event_tree.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace tide {
namespace {

Event MakeEvent(int32_t type, const std::string& path, bool dir, uint64_t sync_id = 0, uint32_t flags = 0) {
  Event event;
  event.m_type = type;
  event.m_path = path;
  event.m_view_id = 7;
  event.m_flags = flags | (dir ? EVENT_FLAG_DIR : 0);
  event.m_sync_id = sync_id;
  event.m_size = dir ? 0 : 100;
  event.m_hash = IsServerEventType(type) && !dir ? "h" + std::to_string(sync_id) : "";
  return event;
}

// One step of a scripted session, with the tree counters expected after it.
enum StepKind { PUSH, POP, POP_NONE, POP_PATH, DONE, DONE_FAILS, RESET };
struct Step {
  StepKind m_kind;
  int32_t m_type;  // PUSH: the type pushed; POP, POP_PATH: the type expected
  std::string m_path;
  bool m_dir;
  uint64_t m_sync_id;
  uint32_t m_flags;  // PUSH: flags pushed; POP, POP_PATH: flags expected set
  int m_server;
  int m_local;
};

Step Push(int32_t type, const std::string& path, uint64_t sync_id, int server, int local, uint32_t flags = 0) {
  return {PUSH, type, path, false, sync_id, flags, server, local};
}
Step PushDir(int32_t type, const std::string& path, uint64_t sync_id, int server, int local) {
  return {PUSH, type, path, true, sync_id, 0, server, local};
}
Step Pop(int32_t type, const std::string& path, int server, int local, uint32_t flags = 0) {
  return {POP, type, path, false, 0, flags, server, local};
}
Step PopNone(int server, int local) { return {POP_NONE, 0, "", false, 0, 0, server, local}; }
Step PopPath(int32_t type, const std::string& path, int server, int local, uint32_t flags = 0) {
  return {POP_PATH, type, path, false, 0, flags, server, local};
}
Step Done(const std::string& path, int server, int local) { return {DONE, 0, path, false, 0, 0, server, local}; }
Step DoneFails(const std::string& path, int server, int local) {
  return {DONE_FAILS, 0, path, false, 0, 0, server, local};
}
Step Reset(const std::string& path, int server, int local) { return {RESET, 0, path, false, 0, 0, server, local}; }

struct Script {
  const char* m_name;
  std::vector<Step> m_steps;
};

// Runs a script; handed-out events are kept by path so DONE can report the
// very event a worker would.
void RunScript(EventTree& tree, const Script& script) {
  std::map<std::string, Event> handed_out;
  for (size_t i = 0; i < script.m_steps.size(); ++i) {
    const Step& step = script.m_steps[i];
    SCOPED_TRACE(std::string(script.m_name) + " step " + std::to_string(i) + " " + step.m_path);
    Event event;
    switch (step.m_kind) {
      case PUSH:
        ASSERT_EQ(0, tree.Push(MakeEvent(step.m_type, step.m_path, step.m_dir, step.m_sync_id, step.m_flags)));
        break;
      case POP:
      case POP_PATH:
        ASSERT_EQ(0, step.m_kind == POP ? tree.Pop(&event) : tree.PopEvent(step.m_path, &event));
        EXPECT_EQ(step.m_path, event.m_path);
        EXPECT_EQ(step.m_type, event.m_type);
        EXPECT_EQ(step.m_flags, event.m_flags & step.m_flags) << std::hex << event.m_flags;
        handed_out[event.m_path] = event;
        break;
      case POP_NONE:
        ASSERT_EQ(-1, tree.Pop(&event)) << event.ToString();
        break;
      case DONE:
      case DONE_FAILS:
        ASSERT_TRUE(handed_out.count(step.m_path));
        EXPECT_EQ(step.m_kind == DONE ? 0 : -1, tree.DoneEvent(handed_out[step.m_path]));
        if (step.m_kind == DONE) handed_out.erase(step.m_path);
        break;
      case RESET:
        EXPECT_EQ(0, tree.ResetEventStatus(step.m_path));
        handed_out.erase(step.m_path);
        break;
    }
    EXPECT_EQ(step.m_server, tree.ServerEventCount());
    EXPECT_EQ(step.m_local, tree.LocalEventCount());
    std::string problem;
    ASSERT_EQ(0, tree.Verify(&problem)) << problem;
  }
}

class EventTreeTest : public testing::Test {
 protected:
  int Status(const std::string& path, bool dir) {
    EventNodeInfo info;
    return tree.GetNodeInfo(path, dir, &info) ? info.m_status : -1;
  }
  EventTree tree;
};

TEST_F(EventTreeTest, ScriptedSessions) {
  const Script scripts[] = {
      {"nested file then placeholders vanish",
       {Push(UPLOAD_LOCAL, "/a/b/c.txt", 0, 0, 1), Pop(UPLOAD_LOCAL, "/a/b/c.txt", 0, 1), PopNone(0, 1),
        Done("/a/b/c.txt", 0, 0)}},
      {"files of a directory before its subdirectories, in insertion order",
       {Push(UPLOAD_LOCAL, "/x/sub/f1", 0, 0, 1), Push(UPLOAD_LOCAL, "/x/g2", 0, 0, 2),
        Push(DOWNLOAD_REMOTE, "/x/g1", 5, 1, 2), Pop(UPLOAD_LOCAL, "/x/g2", 1, 2),
        Pop(DOWNLOAD_REMOTE, "/x/g1", 1, 2), Pop(UPLOAD_LOCAL, "/x/sub/f1", 1, 2), PopNone(1, 2),
        Done("/x/g1", 0, 2), Done("/x/sub/f1", 0, 1), Done("/x/g2", 0, 0)}},
      {"the first placeholder decides the pop",
       {Push(UPLOAD_LOCAL, "/a/f1", 0, 0, 1), Push(UPLOAD_LOCAL, "/b/f2", 0, 0, 2), Pop(UPLOAD_LOCAL, "/a/f1", 0, 2),
        PopNone(0, 2), Done("/a/f1", 0, 1), Pop(UPLOAD_LOCAL, "/b/f2", 0, 1), Done("/b/f2", 0, 0)}},
      {"parent directory before its contents",
       {PushDir(UPLOAD_LOCAL, "/d", 0, 0, 1), Push(UPLOAD_LOCAL, "/d/f", 0, 0, 2), Pop(UPLOAD_LOCAL, "/d", 0, 2),
        PopNone(0, 2), Done("/d", 0, 1), Pop(UPLOAD_LOCAL, "/d/f", 0, 1), Done("/d/f", 0, 0)}},
      {"directory with processing work below waits for it",
       {Push(UPLOAD_LOCAL, "/d/f", 0, 0, 1), Pop(UPLOAD_LOCAL, "/d/f", 0, 1), PushDir(UPLOAD_LOCAL, "/d", 0, 0, 2),
        PopNone(0, 2), Done("/d/f", 0, 1), Pop(UPLOAD_LOCAL, "/d", 0, 1), Done("/d", 0, 0)}},
      {"local then server change: server entry with conflict",
       {Push(UPLOAD_LOCAL, "/f", 0, 0, 1), Push(DOWNLOAD_REMOTE, "/f", 9, 1, 0),
        Pop(DOWNLOAD_REMOTE, "/f", 1, 0, EVENT_FLAG_CONFLICT), Done("/f", 0, 0)}},
      {"server then local change: server entry with conflict",
       {Push(DOWNLOAD_REMOTE, "/f", 9, 1, 0), Push(UPLOAD_LOCAL, "/f", 0, 1, 0),
        Pop(DOWNLOAD_REMOTE, "/f", 1, 0, EVENT_FLAG_CONFLICT), Done("/f", 0, 0)}},
      {"server removal over a pending upload keeps the upload",
       {Push(UPLOAD_LOCAL, "/f", 0, 0, 1), Push(REMOVE_LOCAL, "/f", 4, 0, 1), Pop(UPLOAD_LOCAL, "/f", 0, 1),
        Done("/f", 0, 0)}},
      {"local removal under a pending download is dropped",
       {Push(DOWNLOAD_REMOTE, "/f", 4, 1, 0), Push(REMOVE_REMOTE, "/f", 0, 1, 0), Pop(DOWNLOAD_REMOTE, "/f", 1, 0),
        Done("/f", 0, 0)}},
      {"newer local change replaces an older one",
       {Push(UPLOAD_LOCAL, "/f", 0, 0, 1), Push(REMOVE_REMOTE, "/f", 0, 0, 1), Pop(REMOVE_REMOTE, "/f", 0, 1),
        Done("/f", 0, 0)}},
      {"stale server change is dropped, newer one replaces",
       {Push(DOWNLOAD_REMOTE, "/f", 10, 1, 0), Push(REMOVE_LOCAL, "/f", 10, 1, 0), Push(REMOVE_LOCAL, "/f", 3, 1, 0),
        Pop(DOWNLOAD_REMOTE, "/f", 1, 0), Done("/f", 0, 0), Push(DOWNLOAD_REMOTE, "/g", 10, 1, 0),
        Push(REMOVE_LOCAL, "/g", 11, 1, 0), Pop(REMOVE_LOCAL, "/g", 1, 0), Done("/g", 0, 0)}},
      {"an unbounded server entry always yields to a newer one",
       {Push(DOWNLOAD_REMOTE, "/f", SYNC_ID_UNBOUNDED, 1, 0), Push(REMOVE_LOCAL, "/f", 1, 1, 0),
        Pop(REMOVE_LOCAL, "/f", 1, 0), Done("/f", 0, 0)}},
      {"directory removal prunes its side below, keeps the other side",
       {Push(UPLOAD_LOCAL, "/d/a", 0, 0, 1), PushDir(UPLOAD_LOCAL, "/d/s", 0, 0, 2),
        Push(UPLOAD_LOCAL, "/d/s/t/u", 0, 0, 3), Push(DOWNLOAD_REMOTE, "/d/b", 5, 1, 3),
        PushDir(REMOVE_REMOTE, "/d", 0, 1, 1),
        // The server download below survives: the removal goes out marked
        // for a local rescan of what is left.
        Pop(REMOVE_REMOTE, "/d", 1, 1, EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT), PopNone(1, 1), Done("/d", 1, 0),
        Pop(DOWNLOAD_REMOTE, "/d/b", 1, 0), Done("/d/b", 0, 0)}},
      {"server directory removal prunes only older server entries",
       {Push(DOWNLOAD_REMOTE, "/d/old", 3, 1, 0), Push(DOWNLOAD_REMOTE, "/d/new", 9, 2, 0),
        PushDir(REMOVE_LOCAL, "/d", 5, 2, 0), Pop(REMOVE_LOCAL, "/d", 2, 0, EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT),
        Done("/d", 1, 0), Pop(DOWNLOAD_REMOTE, "/d/new", 1, 0), Done("/d/new", 0, 0)}},
      {"removal keeps processing entries below and waits for them",
       {Push(UPLOAD_LOCAL, "/d/f", 0, 0, 1), Push(UPLOAD_LOCAL, "/d/g", 0, 0, 2), Pop(UPLOAD_LOCAL, "/d/f", 0, 2),
        PushDir(REMOVE_LOCAL, "/d", 8, 1, 2),
        // A server removal over local work in progress is held back and
        // marked so the server side gets rescanned.
        PopNone(1, 2), Done("/d/f", 1, 1), Pop(REMOVE_LOCAL, "/d", 1, 1, EVENT_FLAG_SERVER_SUBDIR_RESCAN_WITH_STAT),
        Done("/d", 0, 1), Pop(UPLOAD_LOCAL, "/d/g", 0, 1), Done("/d/g", 0, 0)}},
      {"removal over processing removals below is skipped quietly",
       {Push(REMOVE_REMOTE, "/d/f", 0, 0, 1), Pop(REMOVE_REMOTE, "/d/f", 0, 1), PushDir(REMOVE_REMOTE, "/d", 0, 0, 2),
        PopNone(0, 2), Done("/d/f", 0, 1), Pop(REMOVE_REMOTE, "/d", 0, 1), Done("/d", 0, 0)}},
      {"directory made again after its removal is marked for rescan",
       {PushDir(REMOVE_REMOTE, "/d", 0, 0, 1), PushDir(UPLOAD_LOCAL, "/d", 0, 0, 1),
        Pop(UPLOAD_LOCAL, "/d", 0, 1, EVENT_FLAG_LOCAL_SUBDIR_RESCAN), Done("/d", 0, 0),
        PushDir(REMOVE_LOCAL, "/e", 4, 1, 0), PushDir(DOWNLOAD_REMOTE, "/e", 6, 1, 0),
        Pop(DOWNLOAD_REMOTE, "/e", 1, 0, EVENT_FLAG_SERVER_SUBDIR_RESCAN), Done("/e", 0, 0)}},
      {"change merged while processing: done fails, hand-out again",
       {Push(UPLOAD_LOCAL, "/a/f", 0, 0, 1), Pop(UPLOAD_LOCAL, "/a/f", 0, 1), Push(REMOVE_REMOTE, "/a/f", 0, 0, 1),
        PopNone(0, 1), DoneFails("/a/f", 0, 1), PopPath(REMOVE_REMOTE, "/a/f", 0, 1), Done("/a/f", 0, 0)}},
      {"side changes while processing",
       {Push(UPLOAD_LOCAL, "/f", 0, 0, 1), Pop(UPLOAD_LOCAL, "/f", 0, 1), Push(DOWNLOAD_REMOTE, "/f", 3, 1, 0),
        DoneFails("/f", 1, 0), PopPath(DOWNLOAD_REMOTE, "/f", 1, 0, EVENT_FLAG_CONFLICT), Done("/f", 0, 0)}},
      {"reset puts a processing path back in line",
       {Push(UPLOAD_LOCAL, "/a/f", 0, 0, 1), Push(UPLOAD_LOCAL, "/a/g", 0, 0, 2), Pop(UPLOAD_LOCAL, "/a/f", 0, 2),
        Reset("/a/f", 0, 2), Pop(UPLOAD_LOCAL, "/a/f", 0, 2), Pop(UPLOAD_LOCAL, "/a/g", 0, 2), Done("/a/g", 0, 1),
        Done("/a/f", 0, 0)}},
      {"reset of a dirty node makes it wait with the merged entry",
       {Push(UPLOAD_LOCAL, "/f", 0, 0, 1), Pop(UPLOAD_LOCAL, "/f", 0, 1), Push(REMOVE_REMOTE, "/f", 0, 0, 1),
        Reset("/f", 0, 1), Pop(REMOVE_REMOTE, "/f", 0, 1), Done("/f", 0, 0)}},
      {"removals below a waiting folder removal merge into it",
       {PushDir(REMOVE_REMOTE, "/top", 0, 0, 1), Push(REMOVE_REMOTE, "/top/a", 0, 0, 1),
        PushDir(REMOVE_REMOTE, "/top/d", 0, 0, 1), Push(REMOVE_REMOTE, "/top/d/f", 0, 0, 1),
        Pop(REMOVE_REMOTE, "/top", 0, 1), PopNone(0, 1), Done("/top", 0, 0)}},
      {"an upload below a waiting folder removal survives it, a removal there does not",
       {PushDir(REMOVE_REMOTE, "/top", 0, 0, 1), Push(UPLOAD_LOCAL, "/top/new", 0, 0, 2),
        Push(REMOVE_REMOTE, "/top/gone", 0, 0, 2),
        Pop(REMOVE_REMOTE, "/top", 0, 2, EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT), PopNone(0, 2), Done("/top", 0, 1),
        Pop(UPLOAD_LOCAL, "/top/new", 0, 1), Done("/top/new", 0, 0)}},
      {"a removal of a path made again below a waiting folder removal replaces its upload",
       {PushDir(REMOVE_REMOTE, "/top", 0, 0, 1), Push(UPLOAD_LOCAL, "/top/new", 0, 0, 2),
        Push(REMOVE_REMOTE, "/top/new", 0, 0, 2), Pop(REMOVE_REMOTE, "/top", 0, 2), PopNone(0, 2), Done("/top", 0, 1),
        Pop(REMOVE_REMOTE, "/top/new", 0, 1), Done("/top/new", 0, 0)}},
      {"server removals below a waiting server folder removal merge when older",
       {PushDir(REMOVE_LOCAL, "/s", 9, 1, 0), Push(REMOVE_LOCAL, "/s/a", 5, 1, 0), Push(REMOVE_LOCAL, "/s/b", 12, 2, 0),
        Push(REMOVE_REMOTE, "/s/c", 0, 2, 1), Pop(REMOVE_LOCAL, "/s", 2, 1), PopNone(2, 1), Done("/s", 1, 1),
        Pop(REMOVE_LOCAL, "/s/b", 1, 1), Pop(REMOVE_REMOTE, "/s/c", 1, 1), Done("/s/b", 0, 1), Done("/s/c", 0, 0)}},
      {"done of a non-empty directory leaves a placeholder",
       {PushDir(UPLOAD_LOCAL, "/d", 0, 0, 1), Pop(UPLOAD_LOCAL, "/d", 0, 1), Push(DOWNLOAD_REMOTE, "/d/f", 2, 1, 1),
        PopNone(1, 1), Done("/d", 1, 0), Pop(DOWNLOAD_REMOTE, "/d/f", 1, 0), Done("/d/f", 0, 0)}},
  };
  for (const Script& script : scripts) {
    tree.Clear();
    RunScript(tree, script);
    EXPECT_TRUE(tree.IsEmpty()) << script.m_name;
  }
}

int64_t g_now_ms = 0;
int64_t FakeNow() { return g_now_ms; }

// `rm -r` reports a folder's contents before the folder: the local
// removals are held back while more keep coming, and the folder's removal
// then stands for everything below it.
TEST_F(EventTreeTest, RemovalsOfATreeMergeIntoTheFolderChildrenFirst) {
  g_now_ms = 0;
  tree.SetClock(&FakeNow);
  tree.SetRemovalSettle(1000, 15000);
  const Script script = {
      "children first",
      {Push(REMOVE_REMOTE, "/top/d1/f1", 0, 0, 1), Push(REMOVE_REMOTE, "/top/d1/f2", 0, 0, 2),
       PopNone(0, 2),  // held: more may come
       PushDir(REMOVE_REMOTE, "/top/d1", 0, 0, 1), Push(REMOVE_REMOTE, "/top/f3", 0, 0, 2),
       Push(REMOVE_REMOTE, "/top/d2/f4", 0, 0, 3),
       // Other work is handed out meanwhile.
       Push(UPLOAD_LOCAL, "/other/u", 0, 0, 4), Pop(UPLOAD_LOCAL, "/other/u", 0, 4), PopNone(0, 4),
       PushDir(REMOVE_REMOTE, "/top", 0, 0, 2), Done("/other/u", 0, 1)}};
  RunScript(tree, script);
  g_now_ms = 999;
  Event event;
  EXPECT_EQ(-1, tree.Pop(&event));
  g_now_ms = 1000;  // a second without a new removal
  ASSERT_EQ(0, tree.Pop(&event));
  EXPECT_EQ("/top", event.m_path);
  EXPECT_EQ(REMOVE_REMOTE, event.m_type);
  EXPECT_EQ(0u, event.m_flags & EVENT_FLAG_LOCAL_SUBDIR_RESCAN_WITH_STAT);
  EXPECT_EQ(-1, tree.Pop(&event));
  ASSERT_EQ(0, tree.DoneEvent(event));
  EXPECT_TRUE(tree.IsEmpty());
}

TEST_F(EventTreeTest, AHeldRemovalGivesWayToTheFolderMadeAgain) {
  g_now_ms = 0;
  tree.SetClock(&FakeNow);
  tree.SetRemovalSettle(1000, 15000);
  // rm -r, then the folder and one file made again at once.
  const Script script = {
      "made again",
      {Push(REMOVE_REMOTE, "/top/a", 0, 0, 1), PushDir(REMOVE_REMOTE, "/top", 0, 0, 1),
       PushDir(UPLOAD_LOCAL, "/top", 0, 0, 1), Push(UPLOAD_LOCAL, "/top/a", 0, 0, 2),
       // Nothing is held any more: the folder goes first, marked so that
       // what stood below it before is looked at again.
       Pop(UPLOAD_LOCAL, "/top", 0, 2, EVENT_FLAG_LOCAL_SUBDIR_RESCAN), PopNone(0, 2), Done("/top", 0, 1),
       Pop(UPLOAD_LOCAL, "/top/a", 0, 1), Done("/top/a", 0, 0)}};
  RunScript(tree, script);
  EXPECT_TRUE(tree.IsEmpty());
}

TEST_F(EventTreeTest, RemovalsAreHeldNoLongerThanTheLimit) {
  g_now_ms = 0;
  tree.SetClock(&FakeNow);
  tree.SetRemovalSettle(1000, 15000);
  Event event;
  int pushed = 0;
  for (; g_now_ms < 15000; g_now_ms += 500) {
    ASSERT_EQ(0, tree.Push(MakeEvent(REMOVE_REMOTE, "/a/f" + std::to_string(pushed++), false)));
    ASSERT_EQ(-1, tree.Pop(&event)) << g_now_ms;
  }
  ASSERT_EQ(0, tree.Push(MakeEvent(REMOVE_REMOTE, "/a/f" + std::to_string(pushed++), false)));
  int popped = 0;
  while (tree.Pop(&event) == 0) ++popped;
  EXPECT_EQ(pushed, popped);
  std::string problem;
  EXPECT_EQ(0, tree.Verify(&problem)) << problem;
}

TEST_F(EventTreeTest, PlaceholdersAndStatuses) {
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/a/b/c.txt", false)));
  EXPECT_EQ(NODE_PLACEHOLDER, Status("/a", true));
  EXPECT_EQ(NODE_PLACEHOLDER, Status("/a/b", true));
  EXPECT_EQ(NODE_WAITING, Status("/a/b/c.txt", false));
  Event event;
  ASSERT_EQ(0, tree.Pop(&event));
  EXPECT_EQ(NODE_PROCESSING, Status("/a/b/c.txt", false));
  EventNodeInfo info;
  ASSERT_EQ(1, tree.GetNodeInfo("/a", true, &info));
  EXPECT_EQ(1, info.m_local_refs);
  EXPECT_EQ(0, info.m_server_refs);
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/a/b/c.txt", false)));
  EXPECT_EQ(NODE_PROCESSING_DIRTY, Status("/a/b/c.txt", false));
  ASSERT_EQ(1, tree.GetNodeInfo("/a", true, &info));
  EXPECT_EQ(0, info.m_local_refs);  // released by the merge, taken again by PopEvent
  ASSERT_EQ(0, tree.PopEvent("/a/b/c.txt", &event));
  ASSERT_EQ(1, tree.GetNodeInfo("/a/b", true, &info));
  EXPECT_EQ(1, info.m_local_refs);
  ASSERT_EQ(0, tree.DoneEvent(event));
  EXPECT_EQ(-1, Status("/a", true));
  EXPECT_TRUE(tree.IsEmpty());
}

TEST_F(EventTreeTest, RejectedInput) {
  EXPECT_EQ(-1, tree.Push(MakeEvent(UPLOAD_LOCAL, "/a/", false)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(UPLOAD_LOCAL, "/", true)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(UPLOAD_LOCAL, "", false)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(UPLOAD_LOCAL, "/" + std::string(1024, 'n'), false)));
  EXPECT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/" + std::string(1023, 'n'), false)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(UPLOAD_LOCAL, std::string(4096, 'p') + "/n", false)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(EXPAND, "/x", true)));
  EXPECT_EQ(-1, tree.Push(MakeEvent(EMPTY, "/x", false)));
  EXPECT_EQ(1, tree.LocalEventCount());  // only the 1023-byte name
  tree.Clear();
  // Done, reset and hand-out of paths the tree does not hold.
  Event event = MakeEvent(UPLOAD_LOCAL, "/nowhere/f", false);
  EXPECT_EQ(-1, tree.DoneEvent(event));
  EXPECT_EQ(-1, tree.ResetEventStatus("/nowhere/f"));
  EXPECT_EQ(-1, tree.PopEvent("/nowhere/f", &event));
  // A placeholder has nothing to reset or hand out.
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/p/f", false)));
  EXPECT_EQ(-1, tree.ResetEventStatus("/p"));
  EXPECT_EQ(-1, tree.PopEvent("/p", &event));
  // Done of a waiting path, and done from the wrong side.
  EXPECT_EQ(-1, tree.DoneEvent(MakeEvent(UPLOAD_LOCAL, "/p/f", false)));
  ASSERT_EQ(0, tree.Pop(&event));
  EXPECT_EQ(-1, tree.DoneEvent(MakeEvent(DOWNLOAD_REMOTE, "/p/f", false, 3)));
  EXPECT_EQ(0, tree.DoneEvent(event));
  std::string problem;
  EXPECT_EQ(0, tree.Verify(&problem)) << problem;
}

TEST_F(EventTreeTest, ExceptQueues) {
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/z", false, 0, EVENT_FLAG_EXCEPT)));
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/b", false, 0, EVENT_FLAG_EXCEPT)));
  ASSERT_EQ(0, tree.Push(MakeEvent(REMOVE_REMOTE, "/b", false, 0, EVENT_FLAG_EXCEPT)));  // replaces
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/m", false)));
  EXPECT_EQ(2, tree.ExceptCount());
  EXPECT_EQ(1, tree.LocalEventCount());  // except events are not counted
  Event event;
  EXPECT_EQ(1, tree.FindWaitingExcept("/b", &event));
  EXPECT_EQ(REMOVE_REMOTE, event.m_type);
  // The hierarchy first, then the except queue by path order.
  ASSERT_EQ(0, tree.Pop(&event));
  EXPECT_EQ("/m", event.m_path);
  ASSERT_EQ(0, tree.Pop(&event));
  EXPECT_EQ("/b", event.m_path);
  EXPECT_EQ(0, tree.FindWaitingExcept("/b", nullptr));
  EXPECT_EQ(2, tree.ExceptCount());
  EXPECT_EQ(0, tree.RedoExcept("/b"));
  EXPECT_EQ(1, tree.FindWaitingExcept("/b", nullptr));
  ASSERT_EQ(0, tree.PopEvent("/z", &event));
  EXPECT_EQ("/z", event.m_path);
  EXPECT_EQ(0, tree.DoneEvent(event));
  EXPECT_EQ(-1, tree.RemoveExcept("/z"));
  EXPECT_EQ(0, tree.RemoveExceptEverywhere("/b"));
  EXPECT_EQ(0, tree.ExceptCount());
  EXPECT_FALSE(tree.IsEmpty());  // /m is still processing
  tree.TraverseTree();
  tree.Clear();
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(-1, tree.Pop(&event));
}

// The pending bytes follow the entries through merges, pruning and dones
// (MakeEvent gives every file 100 bytes).
TEST_F(EventTreeTest, PendingBytesFollowTheEntries) {
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/d/x", false)));
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/d/y", false)));
  Event bigger = MakeEvent(DOWNLOAD_REMOTE, "/d/y", false, 9);
  bigger.m_size = 250;
  ASSERT_EQ(0, tree.Push(bigger));  // the server's version wins the conflict, with its size
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/f", false)));
  EXPECT_EQ(450u, tree.PendingBytes());
  // A local removal of the folder prunes the local upload below it only.
  ASSERT_EQ(0, tree.Push(MakeEvent(REMOVE_REMOTE, "/d", true)));
  EXPECT_EQ(350u, tree.PendingBytes());
  Event event;
  ASSERT_EQ(0, tree.Pop(&event));
  ASSERT_EQ("/f", event.m_path);
  EXPECT_EQ(350u, tree.PendingBytes());  // with a worker is still pending
  ASSERT_EQ(0, tree.DoneEvent(event));
  EXPECT_EQ(250u, tree.PendingBytes());
  std::string problem;
  EXPECT_EQ(0, tree.Verify(&problem)) << problem;
  tree.Clear();
  EXPECT_EQ(0u, tree.PendingBytes());
}

TEST_F(EventTreeTest, ClearResetsEverything) {
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(0, tree.Push(MakeEvent(i % 2 ? UPLOAD_LOCAL : DOWNLOAD_REMOTE, "/d" + std::to_string(i % 5) + "/f" +
                                                                               std::to_string(i), false, i + 1)));
  }
  Event event;
  ASSERT_EQ(0, tree.Pop(&event));
  ASSERT_EQ(0, tree.Push(MakeEvent(UPLOAD_LOCAL, "/x", false, 0, EVENT_FLAG_EXCEPT)));
  tree.Clear();
  EXPECT_TRUE(tree.IsEmpty());
  EXPECT_EQ(0, tree.ServerEventCount() + tree.LocalEventCount() + tree.ExceptCount());
  EXPECT_EQ(-1, tree.DoneEvent(event));
  std::string problem;
  EXPECT_EQ(0, tree.Verify(&problem)) << problem;
}

TEST(EventNodeEntryTest, ConversionBothWays) {
  struct Case {
    int32_t m_type;
    int32_t m_op;
    uint32_t m_side_flags;
  } cases[] = {
      {REMOVE_LOCAL, ENTRY_OP_REMOVE, NODE_FLAG_SERVER},     {DOWNLOAD_REMOTE, ENTRY_OP_UPDATE, NODE_FLAG_SERVER},
      {RENAME_LOCAL, ENTRY_OP_RENAME, NODE_FLAG_SERVER},     {UPLOAD_LOCAL, ENTRY_OP_UPDATE, 0},
      {REMOVE_REMOTE, ENTRY_OP_REMOVE, 0},                   {RENAME_REMOTE, ENTRY_OP_RENAME, 0},
      {EXPAND, ENTRY_OP_UPDATE, NODE_FLAG_EXPAND},           {RESCAN_MERGE, ENTRY_OP_UPDATE, 0x01C},
      {RESCAN_SYNC, ENTRY_OP_UPDATE, NODE_FLAG_EXPAND | NODE_FLAG_RESCAN}, {EMPTY, ENTRY_OP_NONE, 0},
  };
  for (const Case& c : cases) {
    Event event = MakeEvent(c.m_type, "/p", false, 77);
    event.m_new_path = "/q";
    event.m_node_id = 5;
    event.m_flags = 0xFF;
    EventNodeEntry entry = EventNodeEntry::FromEvent(event);
    EXPECT_EQ(c.m_op, entry.m_op) << c.m_type;
    EXPECT_EQ(c.m_side_flags | 0xFE1u, entry.m_node_flags) << c.m_type;
    EXPECT_TRUE(entry.m_extra_text.empty() && entry.m_extra_number == 0 && entry.m_extra_word == 0);
    Event back;
    back.m_type = 99;
    entry.ToEvent(&back);
    // Expand entries map to no local type; op NONE leaves the type alone.
    int32_t expected = IsExpandEventType(c.m_type) || c.m_type == EMPTY ? 99 : c.m_type;
    EXPECT_EQ(expected, back.m_type) << c.m_type;
    back.m_type = event.m_type;
    EXPECT_EQ(event, back) << c.m_type;
  }
}

}  // namespace
}  // namespace tide
