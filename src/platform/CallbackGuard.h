// Code that a C library calls back (libcurl's transfer callbacks, GLib's
// sources and signal handlers, the main loops' task drains) must not let an
// exception unwind through the library's frames: that is undefined
// behaviour. Each such callback is noexcept and runs its work through
// guardCallback, which catches everything and hands the reason to the
// callback's own failure path (a failed download, a logged failure).
// Callable from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace platform {

// Calls the fault set for tests, if any, with the callback's name.
void injectCallbackFault(std::string_view callback);

// The exception being handled in words: what() of a standard exception, a
// fixed text for any other. Only inside a catch block.
std::string currentExceptionInWords();

// Runs work() and returns true when it returns. When it raises anything,
// the result is false and *reason, when given, says what was raised.
template <typename Work>
bool guardCallback(std::string_view callback, Work&& work, std::string* reason = nullptr) noexcept {
  try {
    injectCallbackFault(callback);
    std::forward<Work>(work)();
    return true;
  } catch (...) {
    if (reason) *reason = currentExceptionInWords();
    return false;
  }
}

// For tests: fault runs inside the guard at the start of every guarded
// callback, with the callback's name ("curl data", "gtk pulse", ...), so a
// test can make a callback throw where the C library called it. An empty
// function (the default) injects nothing.
void setCallbackFaultForTesting(std::function<void(std::string_view callback)> fault);

}  // namespace platform
