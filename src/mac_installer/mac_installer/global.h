// The diagnostic log: _DLog writes a line through the platform log when the
// environment variable QUORVANE_LOG was "yes" at the first call, and costs one
// integer test otherwise. Callable from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "platform/Log.h"

// 0 = not decided yet, 1 = logging on, 2 = logging off.
extern std::atomic<std::int32_t> logStatus;

// Decides the switch from the environment (once) and returns it.
std::int32_t decideLogStatus();

template <typename... A>
inline void _DLog(std::string_view format, const A&... args) {
  std::int32_t status = logStatus.load(std::memory_order_relaxed);
  if (status == 2) return;
  if (status == 0) status = decideLogStatus();
  if (status == 1) platform::log(format, args...);
}
