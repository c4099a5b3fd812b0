// Child processes: started with an argument vector (never a shell), an
// optional pipe on the child's standard input, awaited by the thread that
// started them. A child that cannot be started raises the platform exception
// "NSInvalidArgumentException" with a reason naming the program and errno.
// One Task object is used by one thread, except that signal() may be called
// from any thread, and one other thread may feed the input pipe
// (writeToStandardInput, closeStandardInput) while waitUntilExit() runs.
// The forwarding of this process's standard input runs on a thread of its
// own, which needs nothing of the Task and may outlive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Task {
 public:
  Task();
  ~Task();
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;

  void setLaunchPath(std::string path);
  void setArguments(std::vector<std::string> arguments);
  // When set before launch, the child's standard input is a pipe written
  // through writeToStandardInput()/closeStandardInput().
  void setStandardInputPipe(bool pipe);
  // When set before launch, the child reads this process's standard input.
  // A terminal is inherited as it is: the child owns it as any program
  // started from the shell does (its console, echo control, job control),
  // and this process never reads it. Anything else (file, pipe, /dev/null)
  // is copied into a pipe on the child's input as it arrives, in order; its
  // end closes the pipe, and so does a child that stops reading.
  void setForwardsStandardInput(bool forward);

  // Starts the child; throws platform::Exception when it cannot be started.
  void launch();
  // Writes all bytes to the child's input pipe; false once the child has
  // closed its end (EPIPE) or no pipe exists. Never raises SIGPIPE.
  bool writeToStandardInput(std::string_view bytes);
  void closeStandardInput();
  // Sends a signal to the running child; false when it is not running.
  bool signal(int signalNumber);
  // Waits for the child (retrying on EINTR).
  void waitUntilExit();
  // Waits at most timeout; true when the child has ended (and is then
  // reaped as by waitUntilExit()).
  bool waitUntilExit(std::chrono::milliseconds timeout);
  bool isRunning() const;
  // The exit status, or the signal number for a child ended by a signal.
  int terminationStatus() const;

  // The room a new program's arguments and environment share on this system
  // (sysconf(_SC_ARG_MAX)), and what a child with this path and these
  // arguments would take of it with this process's environment, counted as
  // the system counts it (every string with its NUL, and its pointer).
  static std::size_t commandLineSpace();
  static std::size_t commandLineSize(const std::string& path, const std::vector<std::string>& arguments);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
