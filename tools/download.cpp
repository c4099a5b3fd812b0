// download URL FILE: fetches URL into FILE exactly as the front end does it:
// the download start task and the delegate's callbacks on a main queue, the
// progress bar and text updated, and a waiting worker woken through the
// hand-shake lock. Prints the bytes received and the progress updates.
#include <cstdio>
#include <thread>

#include "mac_installer/AppDelegate.h"
#include "platform/Application.h"
#include "platform/RunLoop.h"

namespace {

class ToolApplication : public platform::Application {
 public:
  platform::MainQueue& mainQueue() override { return loop; }
  const std::vector<std::string>& arguments() const override { return arguments_; }
  void activateIgnoringOtherApps() override {}
  [[noreturn]] void exit(int status) override { platform::exitProcess(status); }
  [[noreturn]] void exitBySignal(int signalNumber) override { platform::exitProcessBySignal(signalNumber); }
  platform::RunLoop loop;

 private:
  std::vector<std::string> arguments_;
};

// Counts what the window would show.
struct CountingControls : platform::TextField, platform::ProgressIndicator {
  void setStringValue(const std::string&) override { ++texts; }
  void setDoubleValue(double) override { ++values; }
  void setIndeterminate(bool) override {}
  void startAnimation() override {}
  long texts = 0;
  long values = 0;
};

}  // namespace

int main(int count, char** arguments) {
  if (count != 3) {
    std::fprintf(stderr, "usage: %s URL FILE\n", arguments[0]);
    return 2;
  }
  ToolApplication application;
  static AppDelegate delegate(application, std::chrono::microseconds(0));
  static CountingControls label, progressLabel, bar;
  delegate.label = &label;
  delegate.progressLabel = &progressLabel;
  delegate.progressBar = &bar;
  delegate.downloadConditionLock = std::make_shared<platform::ConditionLock>(0);
  delegate.expectedLength = -1;
  delegate.bytesReceived = 0;

  std::string url = arguments[1], file = arguments[2];
  application.loop.post([url, file] { delegate.startDownload(std::string("download"), url, file); });
  // The worker's side of the hand-shake.
  std::thread([] {
    delegate.downloadConditionLock->lockWhenCondition(1);
    delegate.downloadConditionLock->unlockWithCondition(0);
    std::printf("%lld bytes, %ld bar updates, %ld progress texts\n",
                static_cast<long long>(delegate.bytesReceived), bar.values, progressLabel.texts);
    platform::exitProcess(0);
  }).detach();
  application.loop.run();
}
