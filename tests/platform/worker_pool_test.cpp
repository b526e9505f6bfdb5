// The task runner: bound callbacks, their instance counters, the worker pool and the
// exit-time leak report (seen from a child process's standard output).
#include "platform/worker_pool.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Task = lumalib::Callback<void()>;
using namespace std::chrono_literals;

// Every wait in these tests is bounded: a fault fails the test instead of hanging it.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit = 20s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(CallbackTest, CopiesShareTheBinderAndMovesEmptyTheSource) {
  const long callbacks = lumalib::CBChecker::LiveCount();
  const long binders = lumalib::BinderBase::LiveCount();
  int calls = 0;
  {
    Task first([&calls] { ++calls; });
    EXPECT_EQ(lumalib::CBChecker::LiveCount(), callbacks + 1);
    EXPECT_EQ(lumalib::BinderBase::LiveCount(), binders + 1);
    Task copy(first);
    EXPECT_EQ(lumalib::CBChecker::LiveCount(), callbacks + 2);
    EXPECT_EQ(lumalib::BinderBase::LiveCount(), binders + 1);
    Task moved(std::move(first));
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from is empty by contract
    first();              // an empty callback does nothing
    EXPECT_EQ(lumalib::CBChecker::LiveCount(), callbacks + 3);
    copy();
    moved();
    EXPECT_EQ(calls, 2);
    {
      Task last(std::move(moved));
      copy = Task();
      EXPECT_EQ(lumalib::BinderBase::LiveCount(), binders + 1);
    }
    // The last reference went with `last`.
    EXPECT_EQ(lumalib::BinderBase::LiveCount(), binders);
  }
  EXPECT_EQ(lumalib::CBChecker::LiveCount(), callbacks);
}

TEST(WorkerPoolTest, OneWorkerRunsTasksInPostingOrderOneAtATime) {
  lumalib::WorkerPool pool(1);
  std::mutex mutex;
  std::vector<int> order;
  std::atomic<int> active{0};
  std::atomic<int> mostActive{0};
  for (int i = 0; i < 50; ++i) {
    pool.Post(Task([&, i] {
      int now = ++active;
      int seen = mostActive.load();
      while (now > seen && !mostActive.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::yield();
      {
        std::lock_guard lock(mutex);
        order.push_back(i);
      }
      --active;
    }));
  }
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(mutex);
    return order.size() == 50;
  }));
  pool.Stop();
  for (int i = 0; i < 50; ++i) EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
  EXPECT_EQ(mostActive.load(), 1);
}

// A report posted while the installation job runs is sent while it still runs.
TEST(WorkerPoolTest, SeveralWorkersRunTasksAtTheSameTime) {
  lumalib::WorkerPool pool(2);
  std::atomic<bool> reportSent{false};
  std::atomic<bool> jobSawReport{false};
  std::atomic<bool> jobDone{false};
  pool.Post(Task([&] {
    jobSawReport = WaitUntil([&] { return reportSent.load(); });
    jobDone = true;
  }));
  pool.Post(Task([&] { reportSent = true; }));
  ASSERT_TRUE(WaitUntil([&] { return jobDone.load(); }, 30s));
  EXPECT_TRUE(jobSawReport.load());
  pool.Stop();
}

TEST(WorkerPoolTest, TasksPostedByTasksRun) {
  lumalib::WorkerPool pool(1);
  std::atomic<bool> inner{false};
  pool.Post(Task([&] { pool.Post(Task([&] { inner = true; })); }));
  EXPECT_TRUE(WaitUntil([&] { return inner.load(); }));
  pool.Stop();
}

TEST(WorkerPoolTest, StopWaitsForTheRunningTaskAndDropsQueuedOnes) {
  auto pool = std::make_unique<lumalib::WorkerPool>(1);
  const long callbacks = lumalib::CBChecker::LiveCount();
  std::atomic<bool> started{false};
  std::atomic<bool> finished{false};
  std::atomic<int> ranAfter{0};
  auto sentinel = std::make_shared<int>(0);
  std::weak_ptr<int> watch = sentinel;
  // The running job notices Stop (running cleared) and only then ends.
  pool->Post(Task([&] {
    started = true;
    WaitUntil([&] { return !pool->IsRunning(); });
    finished = true;
  }));
  for (int i = 0; i < 3; ++i) pool->Post(Task([&ranAfter, sentinel] { ++ranAfter; }));
  ASSERT_TRUE(WaitUntil([&] { return started.load(); }));

  pool->Stop();
  EXPECT_TRUE(finished.load());
  EXPECT_EQ(ranAfter.load(), 0);
  EXPECT_EQ(pool->ThreadCount(), 0u);

  pool->Stop();  // a second Stop does nothing
  pool->Post(Task([&ranAfter, sentinel] { ++ranAfter; }));  // queued, never run
  EXPECT_FALSE(pool->IsRunning());
  sentinel.reset();
  EXPECT_FALSE(watch.expired());  // the queued tasks still hold it

  pool.reset();  // queued tasks are destroyed with the pool
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(ranAfter.load(), 0);
  EXPECT_EQ(lumalib::CBChecker::LiveCount(), callbacks);
}

TEST(WorkerPoolTest, StartAfterStopRunsWithFreshThreads) {
  lumalib::WorkerPool pool(1);
  pool.Stop();
  pool.Start(2);
  EXPECT_EQ(pool.ThreadCount(), 2u);
  pool.Start(5);  // already running
  EXPECT_EQ(pool.ThreadCount(), 2u);
  std::atomic<bool> ran{false};
  pool.Post(Task([&] { ran = true; }));
  EXPECT_TRUE(WaitUntil([&] { return ran.load(); }));
  pool.Stop();
}

TEST(WorkerPoolTest, InstanceIsOneStartedPoolPerProcess) {
  lumalib::WorkerPool* seen[2] = {};
  std::thread other([&] { seen[1] = &lumalib::WorkerPool::Instance(); });
  seen[0] = &lumalib::WorkerPool::Instance();
  other.join();
  EXPECT_EQ(seen[0], seen[1]);
  auto& pool = lumalib::WorkerPool::Instance();
  EXPECT_EQ(pool.ThreadCount(), std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<bool> ran{false};
  pool.Post(Task([&] { ran = true; }));
  EXPECT_TRUE(WaitUntil([&] { return ran.load(); }));
  pool.Stop();
  EXPECT_FALSE(pool.IsRunning());
}

std::string RunHelper(const std::string& mode, int* status) {
  std::string command = std::string(LEAK_REPORT_HELPER) + " " + mode;
  FILE* child = ::popen(command.c_str(), "r");
  if (child == nullptr) return "popen failed";
  std::string out;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, child)) out.append(buffer, n);
  *status = ::pclose(child);
  return out;
}

TEST(LeakReportTest, PrintsOneLinePerKindStillAliveAtExit) {
  const std::string line = "*** Leaked objects detected: ";
  struct Case {
    const char* mode;
    std::string output;
  };
  const Case cases[] = {
      {"none", ""},
      {"dropped-by-stop", ""},
      {"two-empty", line + "2 instance(s) of class CBChecker\n"},
      {"two-copies", line + "1 instance(s) of class BinderBase\n" + line + "2 instance(s) of class CBChecker\n"},
      {"two-separate", line + "2 instance(s) of class BinderBase\n" + line + "2 instance(s) of class CBChecker\n"},
  };
  for (const auto& c : cases) {
    int status = -1;
    EXPECT_EQ(RunHelper(c.mode, &status), c.output) << c.mode;
    EXPECT_EQ(status, 0) << c.mode;
  }
}

}  // namespace
