#include "platform/worker_pool.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "platform/crash_dump.h"

namespace lumalib {

namespace {

// Constant-initialised and trivially destroyed, so objects that die late in process exit
// (after the report) still count safely.
constinit std::atomic<long> g_liveCallbacks{0};
constinit std::atomic<long> g_liveBinders{0};

void ReportOne(long count, const char* className) {
  if (count > 0) {
    std::printf("*** Leaked objects detected: %ld instance(s) of class %s\n", count, className);
    std::fflush(stdout);
  }
}

// Binders are counted after the callbacks that own them come into being and are reported
// first, as the counters' own destruction order would have it.
void ReportLeaks() {
  ReportOne(g_liveBinders.load(), "BinderBase");
  ReportOne(g_liveCallbacks.load(), "CBChecker");
}

}  // namespace

namespace detail {

void EnsureLeakReport() noexcept {
  static const bool registered = [] {
    std::atexit(&ReportLeaks);
    return true;
  }();
  (void)registered;
}

void CountCallback(int delta) noexcept { g_liveCallbacks.fetch_add(delta, std::memory_order_relaxed); }
void CountBinder(int delta) noexcept { g_liveBinders.fetch_add(delta, std::memory_order_relaxed); }

}  // namespace detail

long CBChecker::LiveCount() noexcept { return g_liveCallbacks.load(); }
long BinderBase::LiveCount() noexcept { return g_liveBinders.load(); }

// ---- TaskQueue -------------------------------------------------------------------------

TaskQueue::~TaskQueue() {
  Stop();
  std::deque<Task> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(tasks_);
  }
}

void TaskQueue::Push(Task task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

bool TaskQueue::Pop(Task& task) {
  std::unique_lock lock(mutex_);
  wake_.wait(lock, [this] { return stopped_ || !tasks_.empty(); });
  if (stopped_) return false;
  task = std::move(tasks_.front());
  tasks_.pop_front();
  return true;
}

void TaskQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  wake_.notify_all();
}

void TaskQueue::Restart() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
}

// ---- WorkerPool ------------------------------------------------------------------------

WorkerPool& WorkerPool::Instance() {
  // The leak report must be registered before the pool's destruction so that it runs after.
  detail::EnsureLeakReport();
  static WorkerPool pool(std::max(1u, std::thread::hardware_concurrency()));
  return pool;
}

WorkerPool::WorkerPool(unsigned threads) {
  detail::EnsureLeakReport();
  Start(threads);
}

WorkerPool::~WorkerPool() {
  try {
    Stop();
  } catch (const std::system_error&) {
    // Only when the process ends from one of this pool's own tasks: that worker cannot be
    // joined, and the others must still not outlive the pool.
    for (auto& thread : threads_) {
      if (!thread.joinable()) continue;
      if (thread.get_id() == std::this_thread::get_id()) {
        thread.detach();
      } else {
        thread.join();
      }
    }
    threads_.clear();
  }
}

void WorkerPool::Start(unsigned count) {
  std::lock_guard lock(startStopMutex_);
  if (running_.exchange(true)) return;
  queue_.Restart();
  threads_.reserve(count);
  for (unsigned i = 0; i < count; ++i) threads_.emplace_back(&WorkerPool::Run, this);
}

void WorkerPool::Stop() {
  std::lock_guard lock(startStopMutex_);
  if (!running_.exchange(false)) return;
  queue_.Stop();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
}

void WorkerPool::Post(const Callback<void()>& callback) { queue_.Push(TaskQueue::Task(callback)); }

void WorkerPool::Run() {
  // A task's stack overflow still leaves a crash dump.
  platform::PrepareThreadForCrashDump();
  for (;;) {
    TaskQueue::Task task;
    if (queue_.Pop(task)) {
      task();
      // The task's bound state goes before the next wait, not when the next task arrives.
      task = nullptr;
    }
    if (!running_.load()) return;
  }
}

std::size_t WorkerPool::ThreadCount() {
  std::lock_guard lock(startStopMutex_);
  return threads_.size();
}

}  // namespace lumalib
