// The progress window and its controls, as the application delegate sees
// them: a window, an image view, a progress bar (0 to 100), a button and two
// text fields. Three backends exist, chosen once at start: a GTK window from
// the bundle's window description, a text line on a terminal's standard
// error, and nothing at all. Every control operation runs on the main thread
// only; on a closed window it changes nothing on screen.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

class Bundle;
class MainQueue;

class Window {
 public:
  virtual ~Window() = default;
  virtual void setTitle(const std::string& title) = 0;
  // Hides the window for good; later changes to its controls are not shown.
  virtual void close() = 0;
};

class TextField {
 public:
  virtual ~TextField() = default;
  virtual void setStringValue(const std::string& text) = 0;
};

class Button {
 public:
  virtual ~Button() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setEnabled(bool enabled) = 0;
};

class ProgressIndicator {
 public:
  virtual ~ProgressIndicator() = default;
  // Value on the range 0 to 100; values outside are shown clamped.
  virtual void setDoubleValue(double value) = 0;
  // An indeterminate bar shows activity without a value (a pulsing bar).
  virtual void setIndeterminate(bool indeterminate) = 0;
  virtual void startAnimation() = 0;
};

class ImageView {
 public:
  virtual ~ImageView() = default;
  // Shows the image in a file; false (and no image) when it cannot be read.
  virtual bool setImageFromFile(const std::string& path) = 0;
};

// The controls of one loaded window description, by outlet name. Every
// pointer is valid until the process ends (a description that lacks an
// object gets a control that does nothing).
struct WindowOutlets {
  Window* window = nullptr;
  ImageView* iconView = nullptr;
  ProgressIndicator* progressBar = nullptr;
  Button* cancelButton = nullptr;
  TextField* label = nullptr;
  TextField* progressLabel = nullptr;
};

// A window backend together with the main thread's loop that serves it.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Loads the window description of the bundle ("<NSMainNibFile>.ui" in its
  // resources, or a built-in one), not yet shown; the Cancel button's action
  // calls cancelAction on the main thread.
  virtual WindowOutlets loadWindow(const Bundle& bundle, std::function<void()> cancelAction) = 0;
  // Shows the loaded window unless it was closed meanwhile.
  virtual void showWindow() = 0;
  // Brings the application to the front, even when another one is active.
  virtual void activate() = 0;
  virtual MainQueue& mainQueue() = 0;
  // Runs the main loop on the calling (main) thread; never returns.
  [[noreturn]] virtual void run() = 0;
  // A short name for the log: "gtk", "text" or "none".
  virtual const char* name() const = 0;
};

// Controls that do nothing, for the backend without a window and for
// objects a window description lacks.
struct NullControls : Window, TextField, Button, ProgressIndicator, ImageView {
  void setTitle(const std::string&) override {}
  void close() override {}
  void setStringValue(const std::string&) override {}
  void setEnabled(bool) override {}
  void setDoubleValue(double) override {}
  void setIndeterminate(bool) override {}
  void startAnimation() override {}
  bool setImageFromFile(const std::string&) override { return false; }
};

// Picks the backend: GTK when a display is set and GTK starts, else the text
// line when standard error is a terminal, else nothing. GTK 3 is loaded only
// here, only when a display is set; a machine without it gets the backend it
// would get without a display. arguments may be changed by GTK (its own
// options are removed). reason, when given, receives why GTK is not used
// (empty when it is), for the diagnostic log.
std::unique_ptr<WindowSystem> makeWindowSystem(int* count, char*** arguments, std::string* reason = nullptr);

// The individual backends, for tests and for the choice above.
std::unique_ptr<WindowSystem> makeTextWindowSystem(int terminalFd);
std::unique_ptr<WindowSystem> makeNullWindowSystem();
// Null, with the reason, when GTK is not built in, no display is set, GTK 3
// (or a function the backend calls) cannot be loaded, or it cannot start.
std::unique_ptr<WindowSystem> makeGtkWindowSystem(int* count, char*** arguments,
                                                  std::string* reason = nullptr);

// Shows a notice as a GTK message dialog (the error symbol, the message, an
// OK button; the title as its header) and waits until it is dismissed.
// False when GTK is not built in, no display is set, or GTK cannot be
// loaded or started. For a process that shows no other window.
bool showToolkitNotice(const std::optional<std::string>& title, const std::string& message);

// For tests of the GTK backend, on the thread that made it: delivers one
// input to the loaded, shown window as the toolkit delivers a user's (the
// Cancel button's click, the window manager's close request), then runs the
// main loop for duration (posted tasks, timers, signals). False when system
// is not the GTK backend.
enum class WindowInput { None, CancelButton, CloseButton };
bool driveGtkWindowForTesting(WindowSystem& system, WindowInput input, std::chrono::milliseconds duration);

}  // namespace platform
