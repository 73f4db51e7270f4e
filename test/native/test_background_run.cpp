// The hand-over between an operation's thread and the thread waiting for it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "archive/background_run.h"

namespace {

using Event = BackgroundRun::Event;

// The next event other than the periodic wake-up.
Event next_event(BackgroundRun& run) {
  Event event;
  do {
    event = run.wait();
  } while (event == Event::woken);
  return event;
}

// Work that reports `count` times and counts how far it got.
BackgroundRun::Work reporting_work(int count, std::atomic<int>* reached) {
  return [count, reached](Progress& progress) {
    progress.set_total(count);
    for (int i = 1; i <= count; ++i) {
      const std::string entry = "entry" + std::to_string(i);
      progress.add(entry, 1);
      if (!progress.finish_entry(entry)) return false;
      *reached = i;
    }
    return true;
  };
}

TEST(BackgroundRun, EveryReportWaitsForItsAnswerInOrder) {
  std::atomic<int> reached{0};
  BackgroundRun run(true);
  ASSERT_TRUE(run.start(reporting_work(5, &reached)));
  std::vector<int64_t> seen;
  for (Event event = next_event(run); event != Event::finished; event = next_event(run)) {
    ASSERT_EQ(Event::report, event);
    EXPECT_EQ(static_cast<int>(seen.size()), reached.load()) << "the work ran ahead of its answer";
    seen.push_back(run.report().done);
    EXPECT_EQ("entry" + std::to_string(seen.size()), run.report().entry);
    run.resume();
  }
  EXPECT_TRUE(run.finish());
  EXPECT_EQ((std::vector<int64_t>{1, 2, 3, 4, 5}), seen);
}

TEST(BackgroundRun, StopEndsTheWorkAtItsNextReport) {
  std::atomic<int> reached{0};
  BackgroundRun run(true);
  ASSERT_TRUE(run.start(reporting_work(1000, &reached)));
  ASSERT_EQ(Event::report, next_event(run));
  run.resume();
  ASSERT_EQ(Event::report, next_event(run));
  run.stop();
  EXPECT_EQ(Event::finished, next_event(run));
  EXPECT_FALSE(run.finish());
  EXPECT_EQ(1, reached.load());
}

TEST(BackgroundRun, WithoutReportsTheWorkRunsThroughUnlessStopped) {
  std::atomic<int> reached{0};
  BackgroundRun run(false);
  ASSERT_TRUE(run.start(reporting_work(100000, &reached)));
  EXPECT_EQ(Event::finished, next_event(run));
  EXPECT_TRUE(run.finish());
  EXPECT_EQ(100000, reached.load());

  std::atomic<bool> go{false};
  BackgroundRun stopped(false);
  ASSERT_TRUE(stopped.start([&go](Progress& progress) {
    while (!go) std::this_thread::yield();
    return progress.finish_entry("x");
  }));
  stopped.stop();
  go = true;
  EXPECT_FALSE(stopped.finish());
}

TEST(BackgroundRun, WakeFromAnotherThreadEndsAWait) {
  std::atomic<bool> release{false};
  BackgroundRun run(true);
  ASSERT_TRUE(run.start([&release](Progress&) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }));
  std::thread waker([&run] { run.wake(); });
  EXPECT_EQ(Event::woken, run.wait());
  waker.join();
  release = true;
  EXPECT_EQ(Event::finished, next_event(run));
  EXPECT_TRUE(run.finish());
}

// Signals reach Ruby's main thread only when it looks for them, so a wait
// must end by itself while the work goes on.
TEST(BackgroundRun, AWaitEndsByItselfWhileNothingHappens) {
  std::atomic<bool> release{false};
  BackgroundRun run(false);
  ASSERT_TRUE(run.start([&release](Progress&) {
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }));
  EXPECT_EQ(Event::woken, run.wait());
  release = true;
  EXPECT_TRUE(run.finish());
}

TEST(BackgroundRun, DestroyingAWaitingRunStopsAndJoinsIt) {
  std::atomic<int> reached{0};
  {
    BackgroundRun run(true);
    ASSERT_TRUE(run.start(reporting_work(10, &reached)));
    ASSERT_EQ(Event::report, next_event(run));
  }
  EXPECT_EQ(0, reached.load());
}

}  // namespace
