// The signals that end a program: interrupt (SIGINT), quit (SIGQUIT),
// termination (SIGTERM) and hang-up (SIGHUP). Once they are caught, each one
// that arrives is handed, in order of arrival, to one handler running on a
// relay thread of its own, never inside the signal handler, where almost
// nothing may safely be called. The handler learns who sent the signal: the
// kernel sends the terminal's interrupt and quit keys (and its hang-up) to a
// whole process group, children included, while a process using kill()
// aims at this process alone. Callable from any thread; when the handlers
// cannot be set up, a log line says so and the signals keep their default
// action. Ending the process by a signal is exitProcessBySignal() in
// Application.h.
#pragma once

#include <functional>

namespace platform {

struct CaughtSignal {
  int number = 0;
  // Sent by a process (kill() and the like), as opposed to raised by the
  // kernel for the terminal.
  bool sentByProcess = false;
};

using SignalHandler = std::function<void(const CaughtSignal& caught)>;

// Catches the four signals from now on and hands each to handler. A later
// call replaces the handler.
void catchTerminationSignals(SignalHandler handler);

}  // namespace platform
