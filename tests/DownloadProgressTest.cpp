// The front end's download: progress bar and text from the callbacks, the
// start on the main thread against a loopback server, completion, failure
// and Cancel with the worker's hand-shake lock.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "LoopbackServer.h"
#include "ManualQueue.h"
#include "TestSupport.h"
#include "mac_installer/AppDelegate.h"
#include "platform/Bundle.h"
#include "platform/Notice.h"
#include "platform/URLDownload.h"

namespace fs = std::filesystem;
using platform::Value;
using test_support::ExitBySignalCalled;
using test_support::ExitCalled;
using test_support::FakeApplication;
using test_support::FakeDownload;
using test_support::ScopedEnv;
using test_support::TemporaryDirectory;
using testing_support::LoopbackServer;
using testing_support::ManualQueue;

namespace {

struct Label : platform::TextField {
  void setStringValue(const std::string& text) override { texts.push_back(text); }
  std::vector<std::string> texts;
};

struct Bar : platform::ProgressIndicator {
  void setDoubleValue(double value) override { values.push_back(value); }
  void setIndeterminate(bool on) override { indeterminate += on ? 1 : 0; }
  void startAnimation() override { ++animations; }
  std::vector<double> values;
  int indeterminate = 0;
  int animations = 0;
};

struct Button : platform::Button {
  void setTitle(const std::string&) override {}
  void setEnabled(bool enabled) override { this->enabled = enabled; }
  bool enabled = true;
};

constexpr std::int64_t kStart = 1'700'000'000'000'000;

class DownloadProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_.otherQueue = &ManualQueue::shared();
    fs::path bundle = root_ / "Test.app";
    fs::create_directories(bundle / "Contents/Resources/en.lproj");
    std::ofstream(bundle / "Contents/Info.plist")
        << Value(platform::Dictionary{{"CFBundleName", Value("Demo")}}).toXML();
    std::ofstream(bundle / "Contents/Resources/en.lproj/Localizable.strings")
        << "\"DownloadingJre\" = \"Downloading for %@\";\n"
           "\"DownloadProgress\" = \"%@ MB of %@ MB (%@%%), %@ KB/s\";\n"
           "\"DownloadJreError\" = \"The runtime could not be downloaded.\";\n";
    platform::Bundle::setMainBundlePathForTesting(bundle.string());
    platform::setNoticeHandlerForTesting([this](const std::optional<std::string>&,
                                                const std::string& message) { notices_.push_back(message); });

    delegate_ = std::make_unique<AppDelegate>(app_, std::chrono::microseconds(0));
    delegate_->label = &label_;
    delegate_->progressLabel = &progressLabel_;
    delegate_->progressBar = &bar_;
    delegate_->cancelButton = &button_;
    delegate_->downloadClock = [this] { return now_; };
    fs::create_directories(root_ / "run");
    delegate_->tempDir = (root_ / "run").string();
    archive_ = (root_ / "run/jre.tar.gz").string();
  }
  void TearDown() override {
    platform::setNoticeHandlerForTesting({});
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
  }

  void respond(std::int64_t length) {
    platform::URLResponse response;
    response.expectedContentLength = length;
    delegate_->download(fake_, response);
  }
  void data(std::uint64_t length, std::int64_t at) {
    now_ = at;
    delegate_->download(fake_, length);
  }

  // Posts the download start as the worker does and runs the main queue
  // until the hand-shake lock shows condition 1; the exit status when the
  // main thread ended the run instead.
  std::optional<int> runDownload(const std::string& url, const std::function<void()>& onData = {}) {
    delegate_->downloadConditionLock = std::make_shared<platform::ConditionLock>(0);
    AppDelegate* d = delegate_.get();
    queue().post([d, url, this] { d->startDownload(std::string("Demo"), url, archive_); });
    try {
      queue().runUntil([&] {
        if (onData && !bar_.values.empty()) onData();
        return delegate_->downloadConditionLock->condition() == 1;
      });
    } catch (const ExitCalled& exit) {
      return exit.status;
    }
    return std::nullopt;
  }
  static ManualQueue& queue() { return ManualQueue::shared(); }

  TemporaryDirectory directory_;
  const fs::path root_ = directory_.path();
  FakeApplication app_;
  std::unique_ptr<AppDelegate> delegate_;
  Label label_, progressLabel_;
  Bar bar_;
  Button button_;
  FakeDownload fake_;
  std::int64_t now_ = kStart;
  std::string archive_;
  std::vector<std::string> notices_;
};

// Progress text ---------------------------------------------------------------

TEST_F(DownloadProgressTest, HalfwayAfterMoreThanHalfASecondShowsAllFourValues) {
  respond(10'485'760);
  data(5'242'880, kStart + 600'000);
  EXPECT_EQ(bar_.values, std::vector<double>{50.0});
  // 5,120 KB in 0.6 s.
  EXPECT_EQ(progressLabel_.texts, std::vector<std::string>{"5.0 MB of 10.0 MB (50%), 8533 KB/s"});
}

TEST_F(DownloadProgressTest, BarFollowsEveryCallbackAndTextAtMostEveryHalfSecond) {
  respond(10'485'760);
  data(1'048'576, kStart + 100'000);
  data(1'048'576, kStart + 500'000);  // exactly half a second: not yet
  data(1'048'576, kStart + 500'001);
  data(1'048'576, kStart + 900'000);
  data(1'048'576, kStart + 1'000'001);  // exactly half a second after the last text: not yet
  data(1'048'576, kStart + 1'000'002);
  EXPECT_EQ(bar_.values, (std::vector<double>{10, 20, 30, 40, 50, 60}));
  EXPECT_EQ(progressLabel_.texts, (std::vector<std::string>{"3.0 MB of 10.0 MB (30%), 6143 KB/s",
                                                            "6.0 MB of 10.0 MB (60%), 6143 KB/s"}));
}

TEST_F(DownloadProgressTest, UnknownOrZeroLengthMakesTheBarIndeterminateWithoutText) {
  for (std::int64_t announced : {-1, 0}) {
    bar_ = Bar();
    respond(announced);
    data(1000, kStart + 700'000);
    data(1000, kStart + 1'400'000);
    EXPECT_EQ(bar_.indeterminate, 2) << announced;
    EXPECT_EQ(bar_.animations, 2) << announced;
    EXPECT_TRUE(bar_.values.empty()) << announced;
    EXPECT_TRUE(progressLabel_.texts.empty()) << announced;
    EXPECT_EQ(delegate_->bytesReceived, 2000);
  }
}

TEST_F(DownloadProgressTest, MoreBytesThanAnnouncedGoAbove100) {
  respond(1'048'576);
  data(1'572'864, kStart + 2'000'000);
  EXPECT_EQ(bar_.values, std::vector<double>{150.0});
  EXPECT_EQ(progressLabel_.texts, std::vector<std::string>{"1.5 MB of 1.0 MB (150%), 768 KB/s"});
}

TEST_F(DownloadProgressTest, ResponseRestartsTheCountAndTheClock) {
  respond(2'097'152);
  data(1'048'576, kStart + 100'000);
  now_ = kStart + 5'000'000;
  respond(2'097'152);
  EXPECT_EQ(delegate_->bytesReceived, 0);
  EXPECT_EQ(delegate_->downloadStartTime, kStart + 5'000'000);
  data(1'048'576, kStart + 6'000'000);
  EXPECT_EQ(progressLabel_.texts, std::vector<std::string>{"1.0 MB of 2.0 MB (50%), 1024 KB/s"});
}

TEST_F(DownloadProgressTest, MegabytesHaveOneDecimalWithAPointAndNoGrouping) {
  const std::pair<double, const char*> cases[] = {
      {0.0, "0.0"}, {0.04, "0.0"}, {0.06, "0.1"}, {9.96, "10.0"}, {1234.5, "1234.5"}, {123456.78, "123456.8"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(AppDelegate::formatMegabytes(value), text) << value;
}

// The whole download on the main queue ---------------------------------------

TEST_F(DownloadProgressTest, CompletedDownloadWakesTheWorkerWithTheFileInPlace) {
  LoopbackServer server;
  delegate_->downloadClock = AppDelegate::defaultDownloadClock();
  EXPECT_EQ(runDownload(server.url("/file/400000")), std::nullopt);
  EXPECT_EQ(label_.texts.front(), "Downloading for Demo");
  EXPECT_EQ(fs::file_size(archive_), 400000u);
  EXPECT_EQ(delegate_->bytesReceived, 400000);
  EXPECT_EQ(delegate_->expectedLength, 400000);
  EXPECT_EQ(bar_.values.back(), 100.0);
  EXPECT_EQ(progressLabel_.texts.back(), "");
  EXPECT_EQ(delegate_->downloader, nullptr);
  // The main thread released the lock: the worker's acquisition goes through.
  delegate_->downloadConditionLock->lockWhenCondition(1);
  delegate_->downloadConditionLock->unlockWithCondition(0);
  // A later Cancel only sets the flag.
  delegate_->cancel();
  EXPECT_TRUE(delegate_->cancelled);
  EXPECT_EQ(delegate_->downloadConditionLock->condition(), 0);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(DownloadProgressTest, FailedTransfersLogRemoveTheRunDirectoryAndExitWithOne) {
  LoopbackServer server;
  for (const std::string& path : {std::string("/status/404"), std::string("/half/100000")}) {
    fs::create_directories(root_ / "run");
    notices_.clear();
    testing::internal::CaptureStderr();
    std::optional<int> status = runDownload(server.url(path));
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1) << path;
    EXPECT_FALSE(fs::exists(root_ / "run")) << path;
    EXPECT_EQ(notices_, std::vector<std::string>{"The runtime could not be downloaded."}) << path;
    EXPECT_NE(log.find("Download failed! Error - "), std::string::npos) << log;
    EXPECT_NE(log.find(server.url(path)), std::string::npos) << log;
    EXPECT_EQ(delegate_->downloader, nullptr);
    // The lock is never released by a failed download.
    EXPECT_EQ(delegate_->downloadConditionLock->condition(), 0);
  }
}

TEST_F(DownloadProgressTest, UrlThatCannotBeDownloadedEndsTheRunAtTheStart) {
  testing::internal::CaptureStderr();
  std::optional<int> status = runDownload("no url at all");
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(notices_, std::vector<std::string>{"The runtime could not be downloaded."});
  EXPECT_NE(log.find("no url at all"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(root_ / "run"));
}

TEST_F(DownloadProgressTest, CancelStopsTheDownloadDeletesTheFileAndReleasesTheWorker) {
  LoopbackServer server;
  delegate_->downloadClock = AppDelegate::defaultDownloadClock();
  bool pressed = false;
  std::optional<int> status = runDownload(server.url("/trickle"), [&] {
    if (!pressed) delegate_->cancel();
    pressed = true;
  });
  EXPECT_EQ(status, std::nullopt);
  EXPECT_TRUE(delegate_->cancelled);
  EXPECT_FALSE(button_.enabled);
  EXPECT_FALSE(fs::exists(archive_));
  size_t values = bar_.values.size();
  queue().runFor(std::chrono::milliseconds(200));
  EXPECT_EQ(bar_.values.size(), values);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(DownloadProgressTest, CancelBeforeTheStartFetchesNothingAndReleasesTheWorker) {
  LoopbackServer server;
  delegate_->cancel();  // no download yet: only the flag
  EXPECT_EQ(runDownload(server.url("/file/1000")), std::nullopt);
  EXPECT_EQ(server.requestCount(), 0);
  EXPECT_EQ(delegate_->downloader, nullptr);
  EXPECT_FALSE(fs::exists(archive_));
}

// The worker's download step -----------------------------------------------

class DownloadWorkerTest : public DownloadProgressTest {
 protected:
  void SetUp() override {
    DownloadProgressTest::SetUp();
    fs::create_directories(root_ / "tmp");
    delegate_->tempDir.reset();
    delegate_->window = &window_;
  }
  // A bundle for which no installed runtime qualifies, downloading url.
  void useBundle(const std::string& url) {
    fs::path bundle = root_ / "Worker.app";
    fs::create_directories(bundle / "Contents/Resources/en.lproj");
    platform::Dictionary info = {
        {"CFBundleName", Value("Demo")},
        {"qvr.minVersion", Value("99")},
        {"qvr.jreLocation", Value(" " + url + "\n")},
        {"JavaVM", Value(platform::Dictionary{{"SearchSequence", Value(platform::Array{})}})}};
    std::ofstream(bundle / "Contents/Info.plist") << Value(info).toXML();
    std::ofstream(bundle / "Contents/Resources/en.lproj/Localizable.strings")
        << "\"PrepareInstaller\" = \"Preparing %@\";\n"
           "\"DownloadingJre\" = \"Downloading for %@\";\n"
           "\"marlet.InternalError\" = \"Internal error: %@\";\n";
    platform::Bundle::setMainBundlePathForTesting(bundle.string());
  }
  // Runs the worker on its own thread while this one serves the main queue;
  // returns the exit status. onMain runs between the queue's tasks. The run
  // ends with the worker's last task: every change it posted before is made.
  int runWorker(const std::function<void()>& onMain = {}) {
    std::atomic<int> status{-1};
    std::atomic<bool> ended{false};
    std::thread worker([&] {
      try {
        delegate_->worker();
      } catch (const ExitCalled& exit) {
        status = exit.status;
      } catch (const ExitBySignalCalled& exit) {
        status = 128 + exit.signal;
      }
      queue().post([&ended] { ended = true; });
    });
    queue().runUntil(
        [&] {
          if (onMain) onMain();
          return ended.load();
        },
        std::chrono::seconds(30));
    worker.join();
    queue().runUntil([&] { return ended.load(); });
    return status;
  }
  bool tmpIsEmpty() const { return fs::is_empty(root_ / "tmp"); }

  struct NoWindow : platform::Window {
    void setTitle(const std::string&) override {}
    void close() override {}
  } window_;
  ScopedEnv tmpDir_{"TMPDIR", (root_ / "tmp").c_str()};
};

TEST_F(DownloadWorkerTest, DownloadedArchiveIsInstalledInTheSameTemporaryDirectory) {
  LoopbackServer server;
  useBundle(server.url("/file/5000"));
  std::string untarArchive, untarDestination, archiveContent;
  delegate_->installers.untar = [&](const std::string& archive, const std::string& destination, std::int32_t,
                                    const AppDelegate::Progress&) {
    untarArchive = archive;
    untarDestination = destination;
    std::ifstream in(archive, std::ios::binary);
    archiveContent.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    fs::path bin = fs::path(destination) / "Contents/Home/bin";
    fs::create_directories(bin);
    std::ofstream(bin / "java") << "#!/bin/sh\n";
    fs::permissions(bin / "java", fs::perms::owner_all);
    return UnTar::Result{};
  };
  delegate_->installers.unpack = [](const std::string&, const AppDelegate::Progress&) { return true; };
  // The run then stops for want of a main class: an internal error.
  EXPECT_EQ(runWorker(), 1);
  EXPECT_EQ(fs::path(untarArchive).filename(), "jre.tar.gz");
  EXPECT_EQ(fs::path(untarArchive).parent_path().parent_path(), root_ / "tmp");
  EXPECT_EQ(untarDestination, (fs::path(untarArchive).parent_path() / "jre.bundle").string());
  EXPECT_EQ(archiveContent, testing_support::generatedBody(5000));
  EXPECT_EQ(label_.texts, (std::vector<std::string>{"Downloading for Demo", "Preparing Demo"}));
  EXPECT_EQ(bar_.values.back(), 0.0);
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].rfind("Internal error: ", 0), 0u) << notices_[0];
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(DownloadWorkerTest, CancelDuringTheDownloadEndsQuietlyAndRemovesTheDirectory) {
  LoopbackServer server;
  useBundle(server.url("/trickle"));
  bool installed = false;
  delegate_->installers.untar = [&](const std::string&, const std::string&, std::int32_t,
                                    const AppDelegate::Progress&) {
    installed = true;
    return UnTar::Result{};
  };
  bool pressed = false;
  int status = runWorker([&] {
    if (!pressed && delegate_->bytesReceived > 0) {
      pressed = true;
      delegate_->cancel();
    }
  });
  EXPECT_TRUE(pressed);
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(installed);
  EXPECT_TRUE(notices_.empty());
  EXPECT_TRUE(tmpIsEmpty());
}

}  // namespace
