#pragma once
// The background task runner: worker threads taking Callbacks from one first-in-first-out
// queue.
//
// Concurrency contract:
// - Post may be called from any thread, workers included, at any time, even after Stop (the
//   task is then queued and never run). It never runs the task itself and never blocks on a
//   running task.
// - Start and Stop are serialised by the start/stop mutex. Stop must not be called from a
//   worker (joining oneself raises std::system_error); it waits for the tasks that are
//   running, and tasks still queued are never run: they are destroyed with the pool.
// - Lock order: start/stop mutex, then queue mutex. Workers take only the queue mutex, and
//   never while running a task; `running` is read without a lock after each task.
// - Several tasks run at once, one per worker; beyond taking them in posting order nothing
//   orders them. With one worker they run strictly one after another.
// - The runner catches no exceptions: a task must not let one escape.
//
// Exit: Instance() registers the pool's destruction at process exit (Stop, then the queued
// tasks are destroyed); the leak report of callback.h is registered before it and so runs
// after it, counting only what is still alive then.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/callback.h"

namespace lumalib {

class TaskQueue {
 public:
  using Task = std::function<void()>;

  TaskQueue() = default;
  // Stops the queue (waking every waiter) and destroys the tasks still queued.
  ~TaskQueue();
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Appends at the back, also when stopped, and wakes one waiting worker.
  void Push(Task task);
  // Waits while the queue is empty and not stopped. False once stopped, even with tasks
  // queued; otherwise moves the front task into `task`.
  bool Pop(Task& task);
  // Sets stopped and wakes every waiter.
  void Stop();
  // Clears stopped, so that Pop hands out tasks again.
  void Restart();

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  bool stopped_ = false;
};

class WorkerPool {
 public:
  // The process-wide pool, created on first call (thread-safe) with one worker per logical
  // processor (at least one), destroyed at process exit.
  static WorkerPool& Instance();

  // A pool of its own with `threads` workers, started at once (tests; the installer uses
  // Instance()).
  explicit WorkerPool(unsigned threads);
  // Stop, then the queued tasks are destroyed.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Starts `count` workers unless running.
  void Start(unsigned count);
  // Stops the workers and joins them in creation order; a no-op when not running.
  void Stop();
  // Queues a copy of `callback`; returns at once.
  void Post(const Callback<void()>& callback);
  // The loop of each worker thread.
  void Run();

  bool IsRunning() const { return running_.load(); }
  std::size_t ThreadCount();

 private:
  std::vector<std::thread> threads_;
  TaskQueue queue_;
  std::mutex startStopMutex_;
  std::atomic<bool> running_{false};
};

}  // namespace lumalib
