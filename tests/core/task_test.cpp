#include "core/task.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tide {
namespace {

// Follows the run-loop contract and records what it saw.
class LoopTask : public Task {
 public:
  LoopTask() : Task(0, 0) {}
  void Run() override {
    m_started = true;
    while (GetState() != TASK_STOPPED) {
      if (GetState() == TASK_PAUSED) {
        usleep(10 * 1000);
        continue;
      }
      ++m_passes;
      Wait(1);
    }
  }
  std::atomic<bool> m_started{false};
  std::atomic<int> m_passes{0};
};

class OneShotTask : public Task {
 public:
  OneShotTask() : Task(0, 0) {}
  void Run() override {}
};

class WaitTask : public Task {
 public:
  WaitTask(unsigned seconds) : Task(0, 0), m_seconds(seconds) {}
  void Run() override { m_result = Wait(m_seconds); }
  unsigned m_seconds;
  std::atomic<int> m_result{1};
};

template <typename Predicate>
bool WaitFor(Predicate predicate) {
  for (int i = 0; i < 3000; ++i) {
    if (predicate()) return true;
    usleep(10 * 1000);
  }
  return false;
}

TEST(Task, LifecycleAndJoinRules) {
  LoopTask task;
  EXPECT_EQ(TASK_STOPPED, task.GetState());
  EXPECT_EQ(-1, task.GetId());
  EXPECT_EQ(-1, task.Join());  // no thread yet
  ASSERT_EQ(0, task.Start());
  EXPECT_EQ(-1, task.Start());  // a thread exists
  ASSERT_TRUE(WaitFor([&] { return task.m_started.load(); }));
  EXPECT_EQ(TASK_RUNNING, task.GetState());
  EXPECT_GE(task.GetId(), 0);
  EXPECT_EQ(0, task.Pause());
  EXPECT_EQ(TASK_PAUSED, task.GetState());
  EXPECT_EQ(0, task.Resume());
  EXPECT_EQ(TASK_RUNNING, task.GetState());
  EXPECT_EQ(0, task.Stop());
  EXPECT_EQ(0, task.Join());
  EXPECT_EQ(-1, task.GetId());
  EXPECT_EQ(-1, task.Join());  // second join
}

TEST(Task, StopOrPauseBeforeTheThreadRunsIsKept) {
  // A request that arrives before the new thread is scheduled must not be
  // undone by the thread's start; a lost stop would hang this join.
  for (int i = 0; i < 200; ++i) {
    LoopTask stopped;
    ASSERT_EQ(0, stopped.Start());
    stopped.Stop();
    EXPECT_EQ(0, stopped.Join());
    EXPECT_EQ(TASK_STOPPED, stopped.GetState());

    LoopTask paused;
    ASSERT_EQ(0, paused.Start());
    paused.Pause();
    ASSERT_TRUE(WaitFor([&] { return paused.m_started.load(); }));
    EXPECT_EQ(TASK_PAUSED, paused.GetState());
    paused.Stop();
    paused.Join();
  }
}

TEST(Task, StateIsStoppedWhenRunReturnsOnItsOwn) {
  OneShotTask task;
  ASSERT_EQ(0, task.Start());
  EXPECT_EQ(0, task.Join());
  EXPECT_EQ(TASK_STOPPED, task.GetState());
}

TEST(Task, IdsFollowThreadStartOrder) {
  Task::ResetIdsForTest();
  LoopTask first, second;
  ASSERT_EQ(0, first.Start());
  ASSERT_TRUE(WaitFor([&] { return first.m_started.load(); }));
  ASSERT_EQ(0, second.Start());
  ASSERT_TRUE(WaitFor([&] { return second.m_started.load(); }));
  EXPECT_EQ(0, first.GetId());
  EXPECT_EQ(1, second.GetId());
  first.Stop();
  second.Stop();
  first.Join();
  second.Join();
}

TEST(Task, WaitReturnsEarlyOnPauseAndStop) {
  LoopTask idle;  // never started: state stopped
  EXPECT_EQ(0, idle.Wait(0));
  EXPECT_EQ(-1, idle.Wait(1));

  WaitTask waiting(30);
  ASSERT_EQ(0, waiting.Start());
  ASSERT_TRUE(WaitFor([&] { return waiting.GetState() == TASK_RUNNING; }));
  waiting.Pause();
  ASSERT_TRUE(WaitFor([&] { return waiting.m_result.load() != 1; }));
  EXPECT_EQ(-1, waiting.m_result.load());
  waiting.Join();

  WaitTask short_wait(1);
  ASSERT_EQ(0, short_wait.Start());
  short_wait.Join();
  EXPECT_EQ(0, short_wait.m_result.load());
}

class WorkWaitTask : public Task {
 public:
  WorkWaitTask() : Task(0, 0) {}
  void Run() override {
    m_seen = WorkGeneration();
    m_waiting = true;
    m_result = WaitForWork(60, m_seen);
  }
  uint64_t m_seen = 0;
  std::atomic<bool> m_waiting{false};
  std::atomic<int> m_result{2};
};

TEST(Task, WaitForWorkWakesOnAnnouncedWork) {
  // An announcement between reading the generation and sleeping is not
  // lost: the sleep ends at once.
  LoopTask running;
  running.Resume();
  uint64_t seen = Task::WorkGeneration();
  Task::NotifyWork();
  EXPECT_EQ(1, running.WaitForWork(60, seen));
  EXPECT_EQ(0, running.WaitForWork(0, seen));
  running.Stop();
  EXPECT_EQ(-1, running.WaitForWork(60, Task::WorkGeneration()));

  // A sleeper on another thread: only the announcement can end its
  // 60-second sleep with 1 (time running out gives 0).
  WorkWaitTask sleeper;
  ASSERT_EQ(0, sleeper.Start());
  ASSERT_TRUE(WaitFor([&] { return sleeper.m_waiting.load(); }));
  Task::NotifyWork();
  sleeper.Join();
  EXPECT_EQ(1, sleeper.m_result.load());
}

}  // namespace
}  // namespace tide
