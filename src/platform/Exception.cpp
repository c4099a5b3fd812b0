// Platform exceptions with their call stack.
#include "platform/Exception.h"

#include <execinfo.h>

#include <cstdlib>

namespace platform {

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)) {
  void* frames[64];
  int n = backtrace(frames, 64);
  if (char** names = backtrace_symbols(frames, n)) {
    symbols_.assign(names, names + n);
    std::free(names);
  }
}

}  // namespace platform
