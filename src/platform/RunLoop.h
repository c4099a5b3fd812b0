// A main queue drained by a plain loop on the main thread, for the backends
// without a GUI toolkit. post() may be called from any thread and never
// waits; run() and runPending() belong to the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/MainQueue.h"

namespace platform {

class RunLoop : public MainQueue {
 public:
  void post(Task task) override;

  // Runs the tasks posted so far (and those they post), in order, each as
  // runMainQueueTask does; returns the number run.
  int runPending();
  // Runs tasks forever. When a tick is set, it is called on the loop's
  // thread at least every tickInterval while the loop waits.
  [[noreturn]] void run();
  void setTick(std::function<void()> tick, std::chrono::milliseconds tickInterval);

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Task> tasks_;
  std::function<void()> tick_;
  std::chrono::milliseconds tickInterval_{100};
};

}  // namespace platform
