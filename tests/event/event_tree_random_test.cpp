// Long random sessions against the tree, driven the way the event manager
// drives it (dirty follow-ups, redo), checked after every step against a
// full recount, and finally drained to prove nothing is stranded.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "event/event_tree.h"

namespace tide {
namespace {

struct Outstanding {
  Event m_event;
  bool m_dirty = false;
};

class RandomSession {
 public:
  explicit RandomSession(uint32_t seed) : m_rng(seed) {
    // Directory names start with 'd', file names with 'f', so a path is
    // always of one kind.
    std::vector<std::string> dirs{""};
    for (int depth = 0; depth < 3; ++depth) {
      std::vector<std::string> next;
      for (const std::string& dir : dirs) {
        for (const char* name : {"dA", "dB"}) next.push_back(dir + "/" + name);
      }
      for (const std::string& dir : next) m_dirs.push_back(dir);
      dirs = next;
    }
    for (const std::string& dir : std::vector<std::string>{""}) m_files.push_back(dir + "/fA");
    for (const std::string& dir : m_dirs) {
      m_files.push_back(dir + "/fA");
      m_files.push_back(dir + "/fB");
    }
  }

  void Step() {
    int action = Rand(100);
    if (action < 45) {
      PushRandom();
    } else if (action < 70) {
      PopOne();
    } else if (action < 92) {
      if (!m_outstanding.empty()) Finish(Pick(), /*redo=*/false);
    } else if (!m_outstanding.empty()) {
      Finish(Pick(), /*redo=*/true);
    }
    Check();
  }

  void Drain() {
    for (int guard = 0; guard < 100000; ++guard) {
      if (!m_outstanding.empty()) {
        Finish(m_outstanding.begin()->first, false);
      } else if (!PopOne()) {
        break;
      }
      Check();
    }
    EXPECT_TRUE(m_outstanding.empty());
    EXPECT_TRUE(m_tree.IsEmpty()) << "events stranded in the tree";
    EXPECT_EQ(0, m_tree.ServerEventCount());
    EXPECT_EQ(0, m_tree.LocalEventCount());
    EXPECT_EQ(0u, m_tree.PendingBytes());
  }

 private:
  int Rand(int n) { return static_cast<int>(m_rng() % static_cast<uint32_t>(n)); }
  std::string Pick() {
    auto it = m_outstanding.begin();
    std::advance(it, Rand(static_cast<int>(m_outstanding.size())));
    return it->first;
  }

  void PushRandom() {
    static constexpr int32_t TYPES[] = {REMOVE_LOCAL, DOWNLOAD_REMOTE, UPLOAD_LOCAL, REMOVE_REMOTE, RENAME_LOCAL,
                                        RENAME_REMOTE};
    Event event;
    event.m_type = TYPES[Rand(Rand(4) == 0 ? 6 : 4)];
    bool dir = Rand(3) == 0;
    event.m_path = dir ? m_dirs[Rand(static_cast<int>(m_dirs.size()))] : m_files[Rand(static_cast<int>(m_files.size()))];
    event.m_flags = dir ? EVENT_FLAG_DIR : 0;
    // Sizes on every kind, directories and removals too: only what a
    // transfer moves may reach the pending bytes that Verify recounts.
    event.m_size = 1 + Rand(1000);
    if (Rand(30) == 0) event.m_flags |= EVENT_FLAG_EXCEPT;
    // A folder's removal that waits for its subtree must neither strand it
    // nor be stranded.
    if (dir && Rand(4) == 0) event.m_flags |= EVENT_FLAG_AFTER_SUBTREE;
    if (event.IsServerEvent()) event.m_sync_id = 1 + Rand(20);
    // What the manager does with a change to a path a worker holds. Except
    // events live in their own queues and are kept apart here ("X" keys).
    auto it = m_outstanding.find(event.m_path);
    if (it != m_outstanding.end()) it->second.m_dirty = true;
    ASSERT_EQ(0, m_tree.Push(event));
  }

  bool PopOne() {
    Event event;
    if (m_tree.Pop(&event) < 0) return false;
    std::string key = Key(event);
    EXPECT_EQ(0u, m_outstanding.count(key)) << "handed out twice at once: " << event.ToString();
    m_outstanding[key] = Outstanding{event, false};
    return true;
  }

  static std::string Key(const Event& event) {
    return (event.m_flags & EVENT_FLAG_EXCEPT) ? "X" + event.m_path : event.m_path;
  }

  void Finish(const std::string& key, bool redo) {
    Outstanding& held = m_outstanding[key];
    std::string path = held.m_event.m_path;
    if (held.m_event.m_flags & EVENT_FLAG_EXCEPT) {
      if (redo) {
        EXPECT_EQ(0, m_tree.RedoExcept(path));
      } else {
        EXPECT_EQ(0, m_tree.DoneEvent(held.m_event));
      }
      m_outstanding.erase(key);
      return;
    }
    if (redo) {
      EXPECT_EQ(0, m_tree.ResetEventStatus(path)) << held.m_event.ToString();
      m_outstanding.erase(key);
      return;
    }
    if (held.m_dirty) {
      Event next;
      ASSERT_EQ(0, m_tree.PopEvent(path, &next)) << held.m_event.ToString();
      EXPECT_EQ(path, next.m_path);
      held = Outstanding{next, false};
      return;
    }
    EXPECT_EQ(0, m_tree.DoneEvent(held.m_event)) << held.m_event.ToString();
    m_outstanding.erase(key);
  }

  void Check() {
    std::string problem;
    ASSERT_EQ(0, m_tree.Verify(&problem)) << problem;
  }

  std::mt19937 m_rng;
  EventTree m_tree;
  std::vector<std::string> m_dirs;
  std::vector<std::string> m_files;
  std::map<std::string, Outstanding> m_outstanding;
};

TEST(EventTreeRandomTest, CountersReferenceCountsAndHandOutStayConsistent) {
  for (uint32_t seed = 1; seed <= 300; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    RandomSession session(seed);
    for (int step = 0; step < 1500; ++step) {
      session.Step();
      if (testing::Test::HasFatalFailure()) return;
    }
    session.Drain();
    if (testing::Test::HasFailure()) return;
  }
}

// Producers and workers on their own threads, as detector, syncer and
// workers meet in one tree.
TEST(EventTreeThreadTest, ConcurrentPushPopDone) {
  EventTree tree;
  constexpr int PRODUCERS = 2;
  constexpr int WORKERS = 3;
  constexpr int PER_PRODUCER = 3000;
  std::atomic<int> producers_left{PRODUCERS};
  std::atomic<int> done{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < PRODUCERS; ++p) {
    threads.emplace_back([&, p] {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        Event event;
        event.m_type = p == 0 ? UPLOAD_LOCAL : DOWNLOAD_REMOTE;
        event.m_sync_id = p == 0 ? 0 : i + 1;
        event.m_path = "/p" + std::to_string(p) + "/d" + std::to_string(i % 17) + "/f" + std::to_string(i);
        EXPECT_EQ(0, tree.Push(event));
      }
      producers_left.fetch_sub(1);
    });
  }
  std::mutex seen_mutex;
  std::set<std::string> seen;
  for (int w = 0; w < WORKERS; ++w) {
    threads.emplace_back([&] {
      for (;;) {
        Event event;
        if (tree.Pop(&event) == 0) {
          {
            std::lock_guard<std::mutex> lock(seen_mutex);
            EXPECT_TRUE(seen.insert(event.m_path).second) << event.m_path;
          }
          EXPECT_EQ(0, tree.DoneEvent(event));
          done.fetch_add(1);
        } else if (producers_left.load() == 0 && tree.IsEmpty()) {
          return;
        } else {
          std::this_thread::yield();
        }
        (void)(tree.ServerEventCount() + tree.LocalEventCount());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(PRODUCERS * PER_PRODUCER, done.load());
  std::string problem;
  EXPECT_EQ(0, tree.Verify(&problem)) << problem;
  EXPECT_TRUE(tree.IsEmpty());
}

}  // namespace
}  // namespace tide
