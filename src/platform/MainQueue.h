// The main thread's task queue. Any thread may post a task; posting never
// waits. The main thread drains the queue in its run loop (the GLib main loop
// when the GTK window is in use). Tasks run in posting order, on the main
// thread only.
#pragma once

#include <functional>

namespace platform {

class MainQueue {
 public:
  using Task = std::function<void()>;
  virtual ~MainQueue() = default;
  // Thread-safe; returns at once.
  virtual void post(Task task) = 0;
};

// Runs one task of a main queue, as every main loop does: an exception of
// any type that the task raises ends that task only. It is logged ("main
// queue task failed") and goes no further, so the loop, and the C library
// it may run inside, go on with the next task.
void runMainQueueTask(const MainQueue::Task& task) noexcept;

}  // namespace platform
