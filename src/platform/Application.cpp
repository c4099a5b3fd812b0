// The application loop: backend choice, window loading, launch notifications.
#include "platform/Application.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/Bundle.h"
#include "platform/Format.h"
#include "platform/StatusLine.h"

namespace platform {

namespace {

class RunningApplication : public Application {
 public:
  RunningApplication(std::unique_ptr<WindowSystem> system, std::vector<std::string> arguments)
      : system_(std::move(system)), arguments_(std::move(arguments)) {}

  MainQueue& mainQueue() override { return system_->mainQueue(); }
  const std::vector<std::string>& arguments() const override { return arguments_; }
  void activateIgnoringOtherApps() override { system_->activate(); }
  [[noreturn]] void exit(int status) override { exitProcess(status); }
  [[noreturn]] void exitBySignal(int signalNumber) override { exitProcessBySignal(signalNumber); }
  WindowSystem& windowSystem() { return *system_; }

 private:
  std::unique_ptr<WindowSystem> system_;
  std::vector<std::string> arguments_;
};

}  // namespace

namespace {

void finishOutput() {
  retireStatusLine();
  std::fflush(nullptr);
}

}  // namespace

void exitProcess(int status) {
  finishOutput();
  ::_exit(status);
}

void exitProcessBySignal(int signalNumber) {
  finishOutput();
  struct sigaction defaultAction = {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  ::sigaction(signalNumber, &defaultAction, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::raise(signalNumber);
  // Reached only for a signal whose default action does not end a process.
  ::_exit(128 + signalNumber);
}

void applicationMain(int count, char** arguments, const DelegateFactory& makeDelegate,
                     const DiagnosticLog& diagnostic) {
  // The argument list is taken before GTK removes its own options from it.
  std::vector<std::string> all(arguments, arguments + count);
  std::string reason;
  std::unique_ptr<WindowSystem> system = makeWindowSystem(&count, &arguments, &reason);
  if (diagnostic)
    diagnostic(
        format(reason.empty() ? "window backend %s" : "window backend %s (%s)", system->name(), reason));
  // Lives until the process ends, as the delegate does: the worker thread
  // uses both while the main thread runs the loop.
  auto* application = new RunningApplication(std::move(system), std::move(all));
  ApplicationDelegate* delegate = makeDelegate(*application);

  WindowSystem& windows = application->windowSystem();
  WindowOutlets outlets = windows.loadWindow(*Bundle::mainBundle(), [delegate] { delegate->cancel(); });
  delegate->connectOutlets(outlets);
  delegate->applicationWillFinishLaunching();
  windows.showWindow();
  delegate->applicationDidFinishLaunching();
  windows.run();
  std::abort();  // run() never returns
}

}  // namespace platform
