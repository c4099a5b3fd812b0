// The diagnostic log switch.
#include "mac_installer/global.h"

#include <cstdlib>
#include <cstring>

std::atomic<std::int32_t> logStatus{0};

std::int32_t decideLogStatus() {
  std::int32_t current = logStatus.load(std::memory_order_acquire);
  if (current != 0) return current;
  const char* value = std::getenv("QUORVANE_LOG");
  std::int32_t decided = (value && std::strcmp(value, "yes") == 0) ? 1 : 2;
  // Two threads deciding at once compute the same value; keep the first.
  logStatus.compare_exchange_strong(current, decided, std::memory_order_acq_rel);
  return logStatus.load(std::memory_order_acquire);
}
