// The plain main loop: a locked task queue and a condition variable.
#include "platform/RunLoop.h"

#include <utility>

namespace platform {

void RunLoop::post(Task task) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    tasks_.push_back(std::move(task));
  }
  posted_.notify_one();
}

int RunLoop::runPending() {
  int count = 0;
  while (true) {
    Task task;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (tasks_.empty()) return count;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    // Run outside the lock: a task may post further tasks. A failing task
    // must not end the loop that every later task needs.
    runMainQueueTask(task);
    ++count;
  }
}

void RunLoop::setTick(std::function<void()> tick, std::chrono::milliseconds tickInterval) {
  tick_ = std::move(tick);
  tickInterval_ = tickInterval;
}

void RunLoop::run() {
  while (true) {
    runPending();
    if (tick_) runMainQueueTask(tick_);
    std::unique_lock<std::mutex> guard(mutex_);
    if (tick_)
      posted_.wait_for(guard, tickInterval_, [&] { return !tasks_.empty(); });
    else
      posted_.wait(guard, [&] { return !tasks_.empty(); });
  }
}

}  // namespace platform
