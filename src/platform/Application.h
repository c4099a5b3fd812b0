// The application loop of the front end: it owns the main thread, loads the
// progress window, connects its controls to the delegate, sends the two
// launch notifications and then drains the main queue forever. The process
// ends only through exitProcess(), from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/MainQueue.h"
#include "platform/Window.h"

namespace platform {

// What the running application offers its delegate. Tests give a fake.
class Application {
 public:
  virtual ~Application() = default;
  virtual MainQueue& mainQueue() = 0;
  // The process's arguments, the program path first.
  virtual const std::vector<std::string>& arguments() const = 0;
  // Brings the application to the front (main thread only).
  virtual void activateIgnoringOtherApps() = 0;
  // Ends the process with a status; callable from any thread.
  [[noreturn]] virtual void exit(int status) = 0;
  // Ends the process by a signal, as though it had not been caught.
  [[noreturn]] virtual void exitBySignal(int signalNumber) = 0;
};

// The delegate's side: the window's controls are handed over before the
// notifications; cancel is the Cancel button's action. All on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void connectOutlets(const WindowOutlets& outlets) = 0;
  virtual void cancel() = 0;
  virtual void applicationWillFinishLaunching() = 0;
  virtual void applicationDidFinishLaunching() = 0;
};

using DelegateFactory = std::function<ApplicationDelegate*(Application& application)>;
// Receives the lines of the caller's diagnostic log (main thread).
using DiagnosticLog = std::function<void(const std::string& line)>;

// Picks the window backend, creates the delegate (never destroyed), loads
// the main bundle's window, sends the notifications and runs the main loop.
// The backend chosen, and why it is not the GTK window, go to diagnostic.
[[noreturn]] void applicationMain(int count, char** arguments, const DelegateFactory& makeDelegate,
                                  const DiagnosticLog& diagnostic = {});

// Ends the process from any thread: standard streams are flushed, then the
// process ends at once without running static destructors, which could
// otherwise run while another thread still uses the objects they destroy.
// The terminal's status line is retired first.
[[noreturn]] void exitProcess(int status);

// Ends the process the same way, but by signalNumber with the signal's
// default action, as though it had never been caught: the parent sees a
// death by that signal.
[[noreturn]] void exitProcessBySignal(int signalNumber);

}  // namespace platform
