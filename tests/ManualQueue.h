// A main queue that a test drains by hand on its own thread, which then
// plays the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/MainQueue.h"

namespace testing_support {

class ManualQueue : public platform::MainQueue {
 public:
  void post(Task task) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      tasks_.push_back(std::move(task));
    }
    posted_.notify_all();
  }

  // Runs tasks as they come until done() holds or the time is up; returns
  // done().
  bool runUntil(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      Task task;
      {
        std::unique_lock<std::mutex> guard(mutex_);
        if (!posted_.wait_until(guard, deadline, [&] { return !tasks_.empty(); })) return done();
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      task();
    }
    return true;
  }
  // Runs whatever arrives during the given time.
  void runFor(std::chrono::milliseconds duration) {
    runUntil([] { return false; }, duration);
  }

  // One queue for the whole test binary, never destroyed: a helper thread
  // of an earlier test may still post into it.
  static ManualQueue& shared() {
    static ManualQueue* queue = new ManualQueue;
    return *queue;
  }

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<Task> tasks_;
};

}  // namespace testing_support
