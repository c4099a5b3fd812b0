// The platform log: one line per call to standard error, written whole with a
// single write and prefixed with date, time (milliseconds), process name,
// process id and thread id. Callable from any thread; write failures are
// ignored (there is nowhere left to report them).
#pragma once

#include <string_view>

#include "platform/Format.h"

namespace platform {

// Writes one already formatted message as a log line.
void logLine(std::string_view message);

// The unconditional log call: formats and writes one line.
template <typename... A>
void log(std::string_view fmt, const A&... args) {
  logLine(format(fmt, args...));
}

}  // namespace platform
