// The window backends without a toolkit (a text line on a terminal, and
// nothing at all) and the choice of backend at start.
#include "platform/Window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string_view>

#include "platform/FileDescriptor.h"
#include "platform/RunLoop.h"
#include "platform/StatusLine.h"

namespace platform {

namespace {

WindowOutlets nullOutlets(NullControls& c) { return {&c, &c, &c, &c, &c, &c}; }

class NullWindowSystem : public WindowSystem {
 public:
  WindowOutlets loadWindow(const Bundle&, std::function<void()>) override { return nullOutlets(controls_); }
  void showWindow() override {}
  void activate() override {}
  MainQueue& mainQueue() override { return loop_; }
  [[noreturn]] void run() override { loop_.run(); }
  const char* name() const override { return "none"; }

 private:
  NullControls controls_;
  RunLoop loop_;
};

// Text line -------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;
constexpr std::string_view kEraseLine = "\r\x1b[K";

// The line's state; every control writes here and asks for a redraw, which
// happens at most ten times a second (the loop's tick draws what is left).
// The controls and the tick run on the main thread; writeAbove() and
// retire() come from any thread through the standard-error writers, so the
// state and every write sit under one lock.
class TextLine : public StatusLine {
 public:
  explicit TextLine(int fd) : fd_(fd) {}

  void changed() {
    std::lock_guard<std::mutex> guard(mutex_);
    dirty_ = true;
    if (Clock::now() - lastDraw_ >= kRedrawInterval) draw();
  }
  void tick() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (indeterminate_ && visible()) dirty_ = true;
    if (dirty_ && Clock::now() - lastDraw_ >= kRedrawInterval) draw();
  }
  void show() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      shown_ = true;
    }
    changed();
  }
  // A closed window's line goes for good, as a retired one does.
  void close() {
    std::lock_guard<std::mutex> guard(mutex_);
    erase();
    closed_ = true;
  }

  void writeAbove(std::string_view text) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!drawn_) {
      FileDescriptor::writeAll(fd_, text);
      return;
    }
    std::string all(kEraseLine);
    all.append(text);
    all += render();
    FileDescriptor::writeAll(fd_, all);
  }
  void retire() override { close(); }

  template <typename T>
  void set(T TextLine::*field, T value) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      this->*field = std::move(value);
    }
    changed();
  }

  std::string label, progressLabel;
  double value = 0;
  bool indeterminate_ = false;

 private:
  bool visible() const { return shown_ && !closed_; }
  void erase() {
    if (!drawn_) return;
    FileDescriptor::writeAll(fd_, kEraseLine);
    drawn_ = false;
  }
  void draw() {
    if (!visible()) return;
    lastDraw_ = Clock::now();
    dirty_ = false;
    if (indeterminate_) ++phase_;
    FileDescriptor::writeAll(fd_, render());
    drawn_ = true;
  }
  // The whole line from the start of the terminal's row, clearing what an
  // earlier, longer line left.
  std::string render() const {
    std::string bar(kBarWidth, ' ');
    std::string percent;
    if (indeterminate_) {
      int span = kBarWidth - 3;
      int at = phase_ % (2 * span);
      if (at > span) at = 2 * span - at;
      bar.replace(static_cast<size_t>(at), 3, "<=>");
    } else {
      // The figure and the filled part both show the bar's value.
      int shown = static_cast<int>(std::clamp(value, 0.0, 100.0));
      std::fill(bar.begin(), bar.begin() + shown * kBarWidth / 100, '#');
      char text[16];
      std::snprintf(text, sizeof text, " %3d%%", shown);
      percent = text;
    }
    std::string line = label;
    if (!line.empty()) line += ' ';
    line += "[" + bar + "]" + percent;
    if (!progressLabel.empty()) line += " " + progressLabel;
    winsize size{};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
      line.resize(size.ws_col - 1);  // a wrapped line could not be redrawn in place
    return "\r" + line + "\x1b[K";
  }

  int fd_;
  std::mutex mutex_;
  bool shown_ = false, closed_ = false, dirty_ = false, drawn_ = false;
  int phase_ = 0;
  Clock::time_point lastDraw_{};
};

struct TextWindow : Window {
  explicit TextWindow(TextLine& l) : line(l) {}
  void setTitle(const std::string&) override {}
  void close() override { line.close(); }
  TextLine& line;
};
struct TextLabel : TextField {
  TextLabel(TextLine& l, std::string TextLine::*f) : line(l), field(f) {}
  void setStringValue(const std::string& text) override { line.set(field, text); }
  TextLine& line;
  std::string TextLine::*field;
};
struct TextBar : ProgressIndicator {
  explicit TextBar(TextLine& l) : line(l) {}
  void setDoubleValue(double v) override { line.set(&TextLine::value, v); }
  void setIndeterminate(bool on) override { line.set(&TextLine::indeterminate_, on); }
  void startAnimation() override {}
  TextLine& line;
};

class TextWindowSystem : public WindowSystem {
 public:
  explicit TextWindowSystem(int fd)
      : line_(fd),
        window_(line_),
        label_(line_, &TextLine::label),
        progressLabel_(line_, &TextLine::progressLabel),
        bar_(line_) {
    loop_.setTick([this] { line_.tick(); }, kRedrawInterval);
    setStatusLine(&line_);
  }
  ~TextWindowSystem() override { setStatusLine(nullptr); }
  WindowOutlets loadWindow(const Bundle&, std::function<void()>) override {
    // A terminal line has no button: Cancel is the terminal's interrupt key.
    return {&window_, &nothing_, &bar_, &nothing_, &label_, &progressLabel_};
  }
  void showWindow() override { line_.show(); }
  void activate() override {}
  MainQueue& mainQueue() override { return loop_; }
  [[noreturn]] void run() override { loop_.run(); }
  const char* name() const override { return "text"; }

 private:
  TextLine line_;
  TextWindow window_;
  TextLabel label_, progressLabel_;
  TextBar bar_;
  NullControls nothing_;
  RunLoop loop_;
};

}  // namespace

std::unique_ptr<WindowSystem> makeNullWindowSystem() { return std::make_unique<NullWindowSystem>(); }

std::unique_ptr<WindowSystem> makeTextWindowSystem(int terminalFd) {
  return std::make_unique<TextWindowSystem>(terminalFd);
}

#ifndef MI_HAVE_GTK
bool showToolkitNotice(const std::optional<std::string>&, const std::string&) { return false; }
std::unique_ptr<WindowSystem> makeGtkWindowSystem(int*, char***, std::string* reason) {
  if (reason) *reason = "built without GTK";
  return nullptr;
}
bool driveGtkWindowForTesting(WindowSystem&, WindowInput, std::chrono::milliseconds) { return false; }
#endif

std::unique_ptr<WindowSystem> makeWindowSystem(int* count, char*** arguments, std::string* reason) {
  if (reason) reason->clear();
  if (auto gtk = makeGtkWindowSystem(count, arguments, reason)) return gtk;
  if (::isatty(STDERR_FILENO)) return makeTextWindowSystem(STDERR_FILENO);
  return makeNullWindowSystem();
}

}  // namespace platform
