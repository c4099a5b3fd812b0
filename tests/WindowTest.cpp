// The plain main loop, the window backends without a toolkit, and the
// loading of the toolkit for the GTK backend.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/CallbackGuard.h"
#include "platform/RunLoop.h"
#include "platform/StatusLine.h"
#include "platform/Window.h"

namespace {

TEST(RunLoopTest, RunsTasksFromAnyThreadInPostingOrder) {
  platform::RunLoop loop;
  std::vector<int> seen;
  std::thread poster([&] {
    for (int i = 0; i < 1000; ++i) loop.post([&seen, i] { seen.push_back(i); });
  });
  poster.join();
  loop.post([&] { loop.post([&] { seen.push_back(-1); }); });  // a task posting a task
  EXPECT_EQ(loop.runPending(), 1002);
  ASSERT_EQ(seen.size(), 1001u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(seen.back(), -1);
  EXPECT_EQ(loop.runPending(), 0);
}

TEST(RunLoopTest, AnExceptionOfAnyTypeEndsOnlyItsTask) {
  platform::RunLoop loop;
  bool after = false;
  loop.post([] { throw std::runtime_error("task broke"); });
  loop.post([] { throw 42; });
  loop.post([&] { after = true; });
  testing::internal::CaptureStderr();
  EXPECT_EQ(loop.runPending(), 3);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(after);
  EXPECT_NE(log.find("main queue task failed: task broke"), std::string::npos) << log;
  EXPECT_NE(log.find("main queue task failed: an exception of unknown type"), std::string::npos) << log;
}

// Reads everything written to the text line's descriptor so far.
class TextLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe(fds_), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    system_ = platform::makeTextWindowSystem(fds_[1]);
    bundle_ = platform::Bundle::open("/");
    outlets_ = system_->loadWindow(*bundle_, [] {});
  }
  void TearDown() override {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  std::string output() {
    std::string all;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<size_t>(n));
    return all;
  }
  int fds_[2] = {-1, -1};
  std::unique_ptr<platform::WindowSystem> system_;
  std::shared_ptr<platform::Bundle> bundle_;
  platform::WindowOutlets outlets_;
};

TEST_F(TextLineTest, DrawsLabelBarPercentageAndProgressTextInPlace) {
  system_->showWindow();
  outlets_.label->setStringValue("Preparing");
  outlets_.progressBar->setDoubleValue(50);
  outlets_.progressLabel->setStringValue("5.0 MB of 10.0 MB");
  usleep(120000);
  outlets_.progressLabel->setStringValue("5.0 MB of 10.0 MB");  // past the interval: drawn now
  std::string text = output();
  ASSERT_FALSE(text.empty());
  std::string last = text.substr(text.rfind('\r'));
  EXPECT_EQ(last, "\rPreparing [###############               ]  50% 5.0 MB of 10.0 MB\x1b[K");
  EXPECT_EQ(text.find('\n'), std::string::npos);

  outlets_.window->close();
  EXPECT_EQ(output(), "\r\x1b[K");  // erased: the cursor at the start of an empty line
  outlets_.label->setStringValue("after close");
  usleep(120000);
  outlets_.label->setStringValue("after close");
  EXPECT_EQ(output(), "");
}

TEST_F(TextLineTest, RedrawsAtMostTenTimesASecond) {
  system_->showWindow();
  for (int i = 0; i <= 100; ++i) outlets_.progressBar->setDoubleValue(i);
  std::string text = output();
  size_t draws = 0;
  for (char c : text) draws += c == '\r';
  EXPECT_LE(draws, 2u);
  // The last value reaches the screen with the next draw.
  usleep(120000);
  outlets_.label->setStringValue("");
  text = output();
  EXPECT_NE(text.find("100%"), std::string::npos) << text;
}

TEST_F(TextLineTest, PercentageAndFilledPartShowTheBarsValue) {
  system_->showWindow();
  output();
  const std::vector<std::pair<double, std::string>> cases = {
      {0, "[                              ]   0%"},   {69.99, "[####################          ]  69%"},
      {100, "[##############################] 100%"}, {250, "[##############################] 100%"},
      {-5, "[                              ]   0%"},
  };
  for (const auto& [value, shown] : cases) {
    usleep(110000);
    outlets_.progressBar->setDoubleValue(value);
    std::string text = output();
    EXPECT_EQ(text, "\r" + shown + "\x1b[K") << value;
  }
}

// Log lines and notices come from any thread through the standard-error
// writers: each starts on a clean line and the progress line follows it.
TEST_F(TextLineTest, OtherOutputStartsOnACleanLineAndTheLineIsRedrawnAfterIt) {
  platform::writeStandardError("before it is shown\n");
  EXPECT_EQ(output(), "before it is shown\n");
  system_->showWindow();
  outlets_.label->setStringValue("Preparing");
  output();
  std::thread([] { platform::writeStandardError("a log line\n"); }).join();
  EXPECT_EQ(output(), "\r\x1b[Ka log line\n\rPreparing [                              ]   0%\x1b[K");

  // Retired before a child takes the terminal: erased, never drawn again.
  platform::retireStatusLine();
  EXPECT_EQ(output(), "\r\x1b[K");
  platform::writeStandardError("the child's turn\n");
  usleep(120000);
  outlets_.progressBar->setDoubleValue(50);
  outlets_.window->close();
  EXPECT_EQ(output(), "the child's turn\n");
}

TEST_F(TextLineTest, WindowClosedBeforeShowingPrintsNothing) {
  outlets_.window->close();
  system_->showWindow();
  outlets_.label->setStringValue("hidden");
  outlets_.progressBar->setDoubleValue(30);
  outlets_.window->close();
  EXPECT_EQ(output(), "");
}

TEST(NullWindowTest, EveryOperationIsHarmless) {
  auto system = platform::makeNullWindowSystem();
  auto bundle = platform::Bundle::open("/");
  platform::WindowOutlets o = system->loadWindow(*bundle, [] {});
  ASSERT_TRUE(o.window && o.iconView && o.progressBar && o.cancelButton && o.label && o.progressLabel);
  system->showWindow();
  o.window->setTitle("t");
  o.progressBar->setIndeterminate(true);
  o.progressBar->startAnimation();
  o.cancelButton->setEnabled(false);
  EXPECT_FALSE(o.iconView->setImageFromFile("/nonexistent.png"));
  o.window->close();
  std::atomic<bool> ran{false};
  system->mainQueue().post([&] { ran = true; });
  EXPECT_FALSE(ran);  // posting never runs the task on the poster's thread
}

#ifdef MI_HAVE_GTK
// GTK is loaded by the backend choice, and only when a display is set.
TEST(GtkWindowTest, ToolkitIsLoadedOnlyWithADisplay) {
  auto loaded = [] {
    void* handle = ::dlopen("libgtk-3.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (handle) ::dlclose(handle);
    return handle != nullptr;
  };
  ASSERT_FALSE(loaded());
  const char* display = std::getenv("DISPLAY");
  std::optional<std::string> saved = display ? std::optional<std::string>(display) : std::nullopt;
  test_support::ScopedEnv noDisplay("DISPLAY", nullptr);
  test_support::ScopedEnv noWayland("WAYLAND_DISPLAY", nullptr);
  int count = 1;
  char name[] = "unit_tests";
  char* vector[] = {name, nullptr};
  char** arguments = vector;
  std::string reason;
  EXPECT_EQ(platform::makeGtkWindowSystem(&count, &arguments, &reason), nullptr);
  EXPECT_EQ(reason, "no display is set");
  EXPECT_FALSE(loaded());
  if (!saved) GTEST_SKIP() << "no display: run under xvfb-run for the window itself";

  test_support::ScopedEnv withDisplay("DISPLAY", saved->c_str());
  reason.clear();
  auto system = platform::makeGtkWindowSystem(&count, &arguments, &reason);
  ASSERT_NE(system, nullptr) << reason;
  EXPECT_TRUE(loaded());
  EXPECT_STREQ(system->name(), "gtk");
  // The built-in window description: every outlet is a toolkit control.
  auto bundle = platform::Bundle::open("/");
  platform::WindowOutlets o = system->loadWindow(*bundle, [] {});
  ASSERT_TRUE(o.window && o.iconView && o.progressBar && o.cancelButton && o.label && o.progressLabel);
  EXPECT_EQ(dynamic_cast<platform::NullControls*>(o.label), nullptr);
  EXPECT_EQ(dynamic_cast<platform::NullControls*>(o.cancelButton), nullptr);
  o.window->setTitle("Setup");
  o.label->setStringValue("Preparing");
  o.progressBar->setIndeterminate(true);
  o.progressBar->startAnimation();
  o.progressBar->setIndeterminate(false);
  o.progressBar->setDoubleValue(40);
  EXPECT_FALSE(o.iconView->setImageFromFile("/nonexistent.png"));
  system->showWindow();
  o.window->close();
}

// What the Cancel action, a pulse or a main-queue task raises inside a GTK
// callback is logged there and goes no further than the callback.
TEST(GtkWindowTest, ExceptionsStopAtTheToolkitsCallbacks) {
  if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display: run under xvfb-run for the window itself";
  int count = 1;
  char name[] = "unit_tests";
  char* vector[] = {name, nullptr};
  char** arguments = vector;
  std::string reason;
  auto system = platform::makeGtkWindowSystem(&count, &arguments, &reason);
  ASSERT_NE(system, nullptr) << reason;
  auto bundle = platform::Bundle::open("/");
  int cancels = 0;
  std::function<void()> cancelAction = [&] {
    ++cancels;
    throw std::runtime_error("cancel broke");
  };
  platform::WindowOutlets o = system->loadWindow(*bundle, [&] { cancelAction(); });
  system->showWindow();
  auto drive = [&](platform::WindowInput input, int milliseconds) {
    testing::internal::CaptureStderr();
    EXPECT_TRUE(platform::driveGtkWindowForTesting(*system, input, std::chrono::milliseconds(milliseconds)));
    return testing::internal::GetCapturedStderr();
  };

  std::string log = drive(platform::WindowInput::CancelButton, 100);
  EXPECT_EQ(cancels, 1);
  EXPECT_NE(log.find("the Cancel action failed: cancel broke"), std::string::npos) << log;
  cancelAction = [&] {
    ++cancels;
    throw 7;
  };
  log = drive(platform::WindowInput::CloseButton, 200);
  EXPECT_EQ(cancels, 2);
  EXPECT_NE(log.find("the Cancel action failed: an exception of unknown type"), std::string::npos) << log;

  // A failed pulse ends the pulsing instead of failing every 100 ms.
  int pulses = 0;
  platform::setCallbackFaultForTesting([&](std::string_view callback) {
    if (callback != "gtk pulse") return;
    ++pulses;
    throw std::runtime_error("pulse broke");
  });
  o.progressBar->setIndeterminate(true);
  o.progressBar->startAnimation();
  log = drive(platform::WindowInput::None, 450);
  platform::setCallbackFaultForTesting({});
  EXPECT_EQ(pulses, 1);
  EXPECT_NE(log.find("the progress bar stops pulsing: pulse broke"), std::string::npos) << log;

  bool after = false;
  system->mainQueue().post([] { throw std::logic_error("task broke"); });
  system->mainQueue().post([&] { after = true; });
  log = drive(platform::WindowInput::None, 100);
  EXPECT_TRUE(after);
  EXPECT_NE(log.find("main queue task failed: task broke"), std::string::npos) << log;
  o.window->close();
}
#endif

}  // namespace
