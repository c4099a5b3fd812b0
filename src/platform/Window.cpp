// The window backends without a toolkit (a text line on a terminal, and
// nothing at all) and the choice of backend at start.
#include "platform/Window.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "platform/RunLoop.h"

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

// The line's state; every control writes here and asks for a redraw, which
// happens at most ten times a second (the loop's tick draws what is left).
class TextLine {
 public:
  explicit TextLine(int fd) : fd_(fd) {}

  void changed() {
    dirty_ = true;
    if (Clock::now() - lastDraw_ >= kRedrawInterval) draw();
  }
  void tick() {
    if (indeterminate_ && visible()) dirty_ = true;
    if (dirty_ && Clock::now() - lastDraw_ >= kRedrawInterval) draw();
  }
  void show() {
    shown_ = true;
    changed();
  }
  void close() {
    if (closed_) return;
    if (visible() && dirty_) draw();
    closed_ = true;
    if (drawn_) put("\n");
  }

  std::string label, progressLabel;
  double value = 0;
  bool indeterminate_ = false;

 private:
  bool visible() const { return shown_ && !closed_; }
  void draw() {
    if (!visible()) return;
    lastDraw_ = Clock::now();
    dirty_ = false;
    std::string bar(kBarWidth, ' ');
    std::string percent;
    if (indeterminate_) {
      int span = kBarWidth - 3;
      int at = phase_++ % (2 * span);
      if (at > span) at = 2 * span - at;
      bar.replace(static_cast<size_t>(at), 3, "<=>");
    } else {
      double v = std::clamp(value, 0.0, 100.0);
      int filled = static_cast<int>(std::lround(v * kBarWidth / 100.0));
      std::fill(bar.begin(), bar.begin() + filled, '#');
      char text[16];
      std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(v));
      percent = text;
    }
    std::string line = label;
    if (!line.empty()) line += ' ';
    line += "[" + bar + "]" + percent;
    if (!progressLabel.empty()) line += " " + progressLabel;
    winsize size{};
    if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
      line.resize(size.ws_col - 1);  // a wrapped line could not be redrawn in place
    put("\r" + line + "\x1b[K");
    drawn_ = true;
  }
  void put(const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
      ssize_t n = ::write(fd_, p, left);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      p += n;
      left -= static_cast<size_t>(n);
    }
  }

  int fd_;
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
  void setStringValue(const std::string& text) override {
    line.*field = text;
    line.changed();
  }
  TextLine& line;
  std::string TextLine::*field;
};
struct TextBar : ProgressIndicator {
  explicit TextBar(TextLine& l) : line(l) {}
  void setDoubleValue(double v) override {
    line.value = v;
    line.changed();
  }
  void setIndeterminate(bool on) override {
    line.indeterminate_ = on;
    line.changed();
  }
  void startAnimation() override {}
  TextLine& line;
};

class TextWindowSystem : public WindowSystem {
 public:
  explicit TextWindowSystem(int fd)
      : line_(fd), window_(line_), label_(line_, &TextLine::label),
        progressLabel_(line_, &TextLine::progressLabel), bar_(line_) {
    loop_.setTick([this] { line_.tick(); }, kRedrawInterval);
  }
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
std::unique_ptr<WindowSystem> makeGtkWindowSystem(int*, char***, std::string* reason) {
  if (reason) *reason = "built without GTK";
  return nullptr;
}
#endif

std::unique_ptr<WindowSystem> makeWindowSystem(int* count, char*** arguments, std::string* reason) {
  if (reason) reason->clear();
  if (auto gtk = makeGtkWindowSystem(count, arguments, reason)) return gtk;
  if (::isatty(STDERR_FILENO)) return makeTextWindowSystem(STDERR_FILENO);
  return makeNullWindowSystem();
}

}  // namespace platform
