// The application loop: backend choice, window loading, launch notifications.
#include "platform/Application.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/Bundle.h"
#include "platform/Format.h"

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
  WindowSystem& windowSystem() { return *system_; }

 private:
  std::unique_ptr<WindowSystem> system_;
  std::vector<std::string> arguments_;
};

}  // namespace

void exitProcess(int status) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  ::_exit(status);
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
  WindowOutlets outlets =
      windows.loadWindow(*Bundle::mainBundle(), [delegate] { delegate->cancel(); });
  delegate->connectOutlets(outlets);
  delegate->applicationWillFinishLaunching();
  windows.showWindow();
  delegate->applicationDidFinishLaunching();
  windows.run();
  std::abort();  // run() never returns
}

}  // namespace platform
