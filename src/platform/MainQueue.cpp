// The task runner shared by the main loops.
#include "platform/MainQueue.h"

#include <string>

#include "platform/CallbackGuard.h"
#include "platform/Log.h"

namespace platform {

void runMainQueueTask(const MainQueue::Task& task) noexcept {
  std::string reason;
  if (!guardCallback("main queue task", task, &reason))
    log("%s [Line %d] main queue task failed: %@", __PRETTY_FUNCTION__, __LINE__, reason);
}

}  // namespace platform
