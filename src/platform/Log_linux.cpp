// The platform log on Linux: standard error, one write per line.
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/FileDescriptor.h"
#include "platform/Log.h"
#include "platform/StatusLine.h"

namespace platform {

namespace {

// Read without a stream: a first stream would set up the C++ locale, which
// a program that only logs a line and ends does not need.
std::string processName() {
  char buffer[64];
  FileDescriptor file = FileDescriptor::open("/proc/self/comm", O_RDONLY);
  long n = file ? file.read(buffer, sizeof buffer) : -1;
  std::string_view name(buffer, static_cast<size_t>(std::max(n, 0L)));
  name = name.substr(0, name.find('\n'));
  return name.empty() ? "mac_installer" : std::string(name);
}

}  // namespace

std::string formatLogLine(std::string_view fmt, std::vector<FormatArg> args) {
  constexpr std::string_view kRoutinePrefix = "%s [Line %d] ";
  if (fmt.starts_with(kRoutinePrefix) && !args.empty() && args[0].kind() == FormatArg::Kind::Text)
    args[0] = FormatArg(routineName(args[0].text()));
  return formatList(fmt, args);
}

void logLine(std::string_view message) {
  static const std::string name = processName();
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  localtime_r(&tv.tv_sec, &tm);
  char stamp[64];
  size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  char prefix[160];
  std::snprintf(prefix, sizeof prefix, "%.*s.%03ld %s[%ld:%ld] ", static_cast<int>(n), stamp,
                static_cast<long>(tv.tv_usec / 1000), name.c_str(), static_cast<long>(getpid()),
                static_cast<long>(syscall(SYS_gettid)));
  std::string line = prefix;
  line.append(message);
  if (line.empty() || line.back() != '\n') line += '\n';
  // One write, around the terminal's status line when one is shown.
  writeStandardError(line);
}

}  // namespace platform
