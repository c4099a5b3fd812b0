// The exception barrier of C callbacks and its fault injection for tests.
#include "platform/CallbackGuard.h"

#include <atomic>
#include <exception>
#include <mutex>

namespace platform {

namespace {

// Never destroyed: a helper thread may run a callback while the process ends.
std::mutex& faultLock() {
  static auto* lock = new std::mutex;
  return *lock;
}
std::function<void(std::string_view)>& currentFault() {
  static auto* fault = new std::function<void(std::string_view)>;
  return *fault;
}
// Checked first, so that callbacks take no lock when no fault is set.
std::atomic<bool> faultSet{false};

}  // namespace

void injectCallbackFault(std::string_view callback) {
  if (!faultSet.load(std::memory_order_acquire)) return;
  std::function<void(std::string_view)> fault;
  {
    std::lock_guard<std::mutex> guard(faultLock());
    fault = currentFault();
  }
  if (fault) fault(callback);
}

std::string currentExceptionInWords() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

void setCallbackFaultForTesting(std::function<void(std::string_view callback)> fault) {
  std::lock_guard<std::mutex> guard(faultLock());
  faultSet.store(static_cast<bool>(fault), std::memory_order_release);
  currentFault() = std::move(fault);
}

}  // namespace platform
