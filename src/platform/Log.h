// The platform log: one line per call to standard error, written whole with a
// single write and prefixed with date, time (milliseconds), process name,
// process id and thread id. Callable from any thread; write failures are
// ignored (there is nowhere left to report them).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/Format.h"

namespace platform {

// Writes one already formatted message as a log line.
void logLine(std::string_view message);

// Formats a log line. A format that starts with "%s [Line %d] " takes the
// writing routine's signature first (__PRETTY_FUNCTION__); the line names
// the routine by routineName() instead, so that it reads at once.
std::string formatLogLine(std::string_view fmt, std::vector<FormatArg> args);

// The unconditional log call: formats and writes one line.
template <typename... A>
void log(std::string_view fmt, const A&... args) {
  logLine(formatLogLine(fmt, std::vector<FormatArg>{FormatArg(args)...}));
}

}  // namespace platform
