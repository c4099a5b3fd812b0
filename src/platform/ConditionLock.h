// A lock with an integer condition: lockWhenCondition waits until the lock is
// free and holds the condition; unlockWithCondition releases it and sets a
// new one. The lock may be released by a thread other than its holder, as
// the download hand-shake between worker and main thread needs.
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

class ConditionLock {
 public:
  explicit ConditionLock(int condition = 0) : condition_(condition) {}

  void lockWhenCondition(int condition) {
    std::unique_lock<std::mutex> guard(mutex_);
    changed_.wait(guard, [&] { return !locked_ && condition_ == condition; });
    locked_ = true;
  }
  void unlockWithCondition(int condition) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      locked_ = false;
      condition_ = condition;
    }
    changed_.notify_all();
  }
  int condition() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return condition_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool locked_ = false;
  int condition_;
};

}  // namespace platform
