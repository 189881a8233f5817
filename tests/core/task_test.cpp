#include "core/task.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace tide {
namespace {

// Counts its steps; each rests a second.
class LoopTask : public Task {
 public:
  LoopTask() : Task(0, 0) {}
  TaskStep RunOnce() override {
    ++m_passes;
    return TaskStep::Rest(1);
  }
  void OnRunStart() override { m_started = true; }
  std::atomic<bool> m_started{false};
  std::atomic<int> m_passes{0};
};

class OneShotTask : public Task {
 public:
  OneShotTask() : Task(0, 0) {}
  TaskStep RunOnce() override { return TaskStep::Finish(); }
};

class WaitTask : public Task {
 public:
  WaitTask(unsigned seconds) : Task(0, 0), m_seconds(seconds) {}
  TaskStep RunOnce() override {
    m_waiting = true;
    m_result = Wait(m_seconds);
    return TaskStep::Finish();
  }
  unsigned m_seconds;
  std::atomic<bool> m_waiting{false};
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
  ASSERT_TRUE(WaitFor([&] { return waiting.m_waiting.load(); }));
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
  TaskStep RunOnce() override {
    m_seen = WorkGeneration();
    m_waiting = true;
    m_result = WaitForWork(60, m_seen);
    return TaskStep::Finish();
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

// Steps that go on at once, the first of them held at a gate so the test
// knows where the thread is when it pauses the task. Records the thread's
// processor-time clock and its name.
class GatedTask : public Task {
 public:
  GatedTask() : Task(0, 0) {}
  TaskStep RunOnce() override {
    if (m_steps.fetch_add(1) == 0) {
      m_at_gate = true;
      while (!m_open.load()) usleep(1000);
    }
    return TaskStep::GoOn();
  }
  void OnRunStart() override {
    pthread_getcpuclockid(pthread_self(), &m_clock);
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    m_name = name;
    m_started = true;
  }
  // Processor time the task's thread has used so far.
  std::chrono::nanoseconds CpuTime() const {
    struct timespec ts;
    clock_gettime(m_clock, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
  }
  std::atomic<int> m_steps{0};
  std::atomic<bool> m_at_gate{false};
  std::atomic<bool> m_open{false};
  std::atomic<bool> m_started{false};
  clockid_t m_clock{};
  std::string m_name;
};

// A paused task blocks in its run loop: it takes no step and its thread uses
// no processor time until it is resumed; a stop ends it from the pause.
TEST(Task, PausedTaskTakesNoStepAndUsesNoProcessor) {
  GatedTask task;
  task.SetThreadName("gated-task");
  ASSERT_EQ(0, task.Start());
  ASSERT_TRUE(WaitFor([&] { return task.m_at_gate.load(); }));
  EXPECT_EQ("gated-task", task.m_name);
  task.Pause();
  task.m_open = true;  // the step in progress ends; the next must not start
  usleep(100 * 1000);  // let it leave the gate and reach the pause
  const int steps = task.m_steps.load();
  EXPECT_EQ(1, steps);
  const std::chrono::nanoseconds cpu_before = task.CpuTime();
  usleep(500 * 1000);
  EXPECT_EQ(steps, task.m_steps.load());
  // A loop that polled the state would have used a good part of the half
  // second; blocked, the thread uses next to nothing.
  EXPECT_LT(task.CpuTime() - cpu_before, std::chrono::milliseconds(20));

  task.Resume();
  ASSERT_TRUE(WaitFor([&] { return task.m_steps.load() > steps; }));
  task.Pause();
  task.Stop();  // from the pause
  EXPECT_EQ(0, task.Join());
}

TEST(Task, WaitWhilePausedEndsOnResumeStopOrTime) {
  LoopTask task;
  task.Resume();
  EXPECT_EQ(TASK_RUNNING, task.WaitWhilePaused());  // not paused: at once
  task.Pause();
  EXPECT_EQ(TASK_PAUSED, task.WaitWhilePaused(0));  // no time to wait
  std::thread resumer([&] {
    usleep(50 * 1000);
    task.Resume();
  });
  EXPECT_EQ(TASK_RUNNING, task.WaitWhilePaused());  // blocks until resumed
  resumer.join();
  task.Pause();
  std::thread stopper([&] {
    usleep(50 * 1000);
    task.Stop();
  });
  EXPECT_EQ(TASK_STOPPED, task.WaitWhilePaused(60));
  stopper.join();
}

}  // namespace
}  // namespace tide
