// The application delegate with a recording window and a manual main queue:
// the hide decision, the window texts, Cancel, and the archive installation's
// progress, cancellation and failure paths.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "TestSupport.h"
#include "mac_installer/AppDelegate.h"
#include "mac_installer/Launcher.h"
#include "platform/Bundle.h"
#include "platform/Exception.h"
#include "platform/Notice.h"
#include "platform/RunLoop.h"
#include "platform/URLDownload.h"

namespace fs = std::filesystem;
using platform::Value;
using test_support::ExitBySignalCalled;
using test_support::ExitCalled;
using test_support::FakeApplication;
using test_support::FakeDownload;
using test_support::ScopedEnv;
using test_support::TemporaryDirectory;

namespace {

// Every control records what was done to it, in one shared journal.
struct RecordingWindow : platform::Window,
                         platform::TextField,
                         platform::Button,
                         platform::ProgressIndicator,
                         platform::ImageView {
  void setTitle(const std::string& t) override { journal.push_back("title=" + t); }
  void close() override { journal.push_back("close"); }
  void setStringValue(const std::string& t) override { journal.push_back("text=" + t); }
  void setEnabled(bool e) override { journal.push_back(e ? "enabled" : "disabled"); }
  void setDoubleValue(double v) override { bar.push_back(v); }
  void setIndeterminate(bool i) override { journal.push_back(i ? "indeterminate" : "determinate"); }
  void startAnimation() override { journal.push_back("animate"); }
  bool setImageFromFile(const std::string& path) override {
    journal.push_back("image=" + fs::path(path).filename().string());
    return true;
  }
  bool has(const std::string& entry) const {
    return std::find(journal.begin(), journal.end(), entry) != journal.end();
  }
  std::vector<std::string> journal;
  std::vector<double> bar;
};

// Separate recorders per outlet, so the tests can tell the controls apart.
struct Outlets {
  RecordingWindow window, icon, bar, button, label, progressLabel;
  platform::WindowOutlets outlets() { return {&window, &icon, &bar, &button, &label, &progressLabel}; }
};

class TestDelegate : public AppDelegate {
 public:
  using AppDelegate::AppDelegate;
  int workersStarted = 0;

 protected:
  void startWorker() override { ++workersStarted; }
};

// What an extraction leaves when it produced a runtime: an executable
// bin/java under home (relative to the destination).
UnTar::Result fakeRuntime(const std::string& destination, const std::string& home = "Contents/Home") {
  fs::path bin = fs::path(destination) / home / "bin";
  fs::create_directories(bin);
  std::ofstream(bin / "java") << "#!/bin/sh\n";
  fs::permissions(bin / "java", fs::perms::owner_all);
  return {};
}

class AppDelegateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(root_ / "tmp");
    useBundle(Value(platform::Dictionary{{"CFBundleName", Value("Demo")}}));
    platform::setNoticeHandlerForTesting([this](const std::optional<std::string>&,
                                                const std::string& message) { notices_.push_back(message); });
  }
  void TearDown() override {
    platform::setNoticeHandlerForTesting({});
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
  }

  // Makes a new bundle (a fresh path, so no cached one is reused) the main one.
  fs::path useBundle(const Value& info, bool withTexts = true) {
    fs::path bundle = root_ / ("Test" + std::to_string(++bundles_) + ".app");
    fs::create_directories(bundle / "Contents/Resources/en.lproj");
    std::ofstream(bundle / "Contents/Info.plist") << info.toXML();
    if (withTexts) {
      std::ofstream(bundle / "Contents/Resources/en.lproj/Localizable.strings")
          << "\"WizardCaption\" = \"Setup\";\n"
             "\"PrepareInstaller\" = \"Preparing the %@ installer...\";\n"
             "\"ButtonCancel\" = \"Stop\";\n"
             "\"marlet.InternalError\" = \"Internal error: %@\";\n";
    }
    platform::Bundle::setMainBundlePathForTesting(bundle.string());
    return bundle;
  }

  std::unique_ptr<TestDelegate> makeDelegate() {
    auto delegate = std::make_unique<TestDelegate>(app_, std::chrono::microseconds(0));
    delegate->connectOutlets(outlets_.outlets());
    return delegate;
  }

  TemporaryDirectory directory_;
  const fs::path root_ = directory_.path();
  ScopedEnv tmpDir_{"TMPDIR", (root_ / "tmp").c_str()};
  int bundles_ = 0;
  FakeApplication app_;
  Outlets outlets_;
  std::vector<std::string> notices_;
};

// Launch --------------------------------------------------------------------------

TEST_F(AppDelegateTest, HideDecisionTable) {
  struct Case {
    std::optional<Value> initialProgress;
    std::vector<std::string> arguments;
    bool closed;
  };
  const std::vector<Case> cases = {
      {std::nullopt, {}, false},
      {std::nullopt, {"-q"}, true},
      {std::nullopt, {"-c"}, true},
      {std::nullopt, {"-q", "-splash"}, false},
      {std::nullopt, {"-splash", "-c"}, false},
      {std::nullopt, {"-Q", "-quiet", "--q", "q", "-c "}, false},
      {Value::boolean(true), {"-q"}, true},
      {Value::boolean(false), {}, true},
      {Value::boolean(false), {"-splash"}, true},
      {Value("no"), {}, true},
      {Value("yes"), {}, false},
      {Value::integer(0), {"-splash"}, true},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    platform::Dictionary info;
    if (c.initialProgress) info["qvr.initialProgress"] = *c.initialProgress;
    useBundle(Value(info));
    app_.args = {"-q"};  // the program path is never taken as an option
    app_.args.insert(app_.args.end(), c.arguments.begin(), c.arguments.end());
    outlets_.window.journal.clear();
    auto delegate = makeDelegate();
    delegate->applicationWillFinishLaunching();
    EXPECT_EQ(outlets_.window.has("close"), c.closed) << "case " << i;
  }
}

TEST_F(AppDelegateTest, FinishLaunchingFillsTextsIconActivatesAndStartsWorker) {
  fs::path bundle = useBundle(Value(platform::Dictionary{{"CFBundleName", Value("Demo")}}));
  std::ofstream(bundle / "Contents/Resources/app.png") << "png";
  auto delegate = makeDelegate();
  delegate->applicationDidFinishLaunching();
  EXPECT_EQ(outlets_.window.journal, std::vector<std::string>{"title=Setup"});
  EXPECT_EQ(outlets_.label.journal, std::vector<std::string>{"text=Preparing the Demo installer..."});
  EXPECT_EQ(outlets_.button.journal, std::vector<std::string>{"title=Stop"});
  EXPECT_EQ(outlets_.icon.journal, std::vector<std::string>{"image=app.png"});
  EXPECT_EQ(app_.activations, 1);
  EXPECT_EQ(delegate->workersStarted, 1);

  // The .icns is preferred when both exist; keys without a text show as keys.
  bundle = useBundle(Value(platform::Dictionary{}), false);
  std::ofstream(bundle / "Contents/Resources/app.icns") << "icns";
  std::ofstream(bundle / "Contents/Resources/app.png") << "png";
  Outlets fresh;
  auto second = std::make_unique<TestDelegate>(app_, std::chrono::microseconds(0));
  second->connectOutlets(fresh.outlets());
  second->applicationWillFinishLaunching();
  second->applicationDidFinishLaunching();
  EXPECT_EQ(fresh.window.journal, std::vector<std::string>{"title=WizardCaption"});
  EXPECT_EQ(fresh.button.journal, std::vector<std::string>{"title=ButtonCancel"});
  EXPECT_EQ(fresh.icon.journal, std::vector<std::string>{"image=app.icns"});
  EXPECT_EQ(second->workersStarted, 1);
}

TEST_F(AppDelegateTest, WorkerStartsEvenWhenTheWindowWasClosed) {
  useBundle(Value(platform::Dictionary{{"qvr.initialProgress", Value::boolean(false)}}));
  auto delegate = makeDelegate();
  delegate->applicationWillFinishLaunching();
  delegate->applicationDidFinishLaunching();
  EXPECT_TRUE(outlets_.window.has("close"));
  EXPECT_EQ(delegate->workersStarted, 1);
}

// Cancel ----------------------------------------------------------------------------

TEST_F(AppDelegateTest, CancelWithoutDownloadOnlySetsFlagAndDisablesButton) {
  auto delegate = makeDelegate();
  delegate->downloadConditionLock = std::make_shared<platform::ConditionLock>(0);
  delegate->cancel();
  EXPECT_TRUE(delegate->cancelled);
  EXPECT_EQ(outlets_.button.journal, std::vector<std::string>{"disabled"});
  EXPECT_EQ(delegate->downloadConditionLock->condition(), 0);
}

TEST_F(AppDelegateTest, CancelDuringDownloadStopsItAndReleasesTheWaitingWorker) {
  auto delegate = makeDelegate();
  auto download = std::make_shared<FakeDownload>();
  delegate->downloader = download;
  delegate->downloadConditionLock = std::make_shared<platform::ConditionLock>(0);
  delegate->downloadConditionLock->lockWhenCondition(0);  // as the download start does
  std::atomic<bool> released{false};
  std::thread worker([&] {
    delegate->downloadConditionLock->lockWhenCondition(1);
    delegate->downloadConditionLock->unlockWithCondition(0);
    released = true;
  });
  delegate->cancel();
  worker.join();
  EXPECT_TRUE(released);
  EXPECT_EQ(download->cancels, 1);
  EXPECT_TRUE(delegate->cancelled);
  // A second Cancel (a signal after the button) finds nothing more to stop.
  delegate->cancel();
  EXPECT_EQ(download->cancels, 1);
  EXPECT_EQ(delegate->downloadConditionLock->condition(), 0);
}

// Signals before the child runs: the run ends as Cancel ends it ----------------------

TEST_F(AppDelegateTest, SignalCancelsOnceAndStopsTheInstallationAtItsNextReport) {
  auto delegate = makeDelegate();
  std::vector<double> reported;
  delegate->installers.untar = [&](const std::string&, const std::string&, std::int32_t,
                                   const AppDelegate::Progress& progress) {
    progress(10);
    // From the relay thread; the installation stops before the posted
    // Cancel has even run on the main thread.
    delegate->handleSignal({SIGTERM, true});
    delegate->handleSignal({SIGINT, false});
    reported.push_back(20);
    progress(20);
    reported.push_back(30);
    return UnTar::Result{};
  };
  platform::FileManager fileManager;
  try {
    delegate->handleTar("/a.tar.gz", fileManager);
    ADD_FAILURE() << "returned";
  } catch (const platform::Exception& failure) {
    EXPECT_EQ(failure.name(), kCancelledExceptionName);
  }
  EXPECT_EQ(reported, std::vector<double>{20});
  EXPECT_EQ(app_.queue.runPending(), 2);  // one bar value, one Cancel
  EXPECT_TRUE(delegate->cancelled);
  EXPECT_EQ(outlets_.button.journal, std::vector<std::string>{"disabled"});
}

TEST_F(AppDelegateTest, UnpackToolStoppedBySignalIsNoFailureToReport) {
  auto delegate = makeDelegate();
  delegate->installers.untar = [](const std::string&, const std::string& destination, std::int32_t,
                                  const AppDelegate::Progress&) { return fakeRuntime(destination); };
  delegate->installers.unpack = [&](const std::string&, const AppDelegate::Progress&) {
    delegate->handleSignal({SIGINT, false});  // the terminal's key reached the tool too
    return false;
  };
  platform::FileManager fileManager;
  EXPECT_THROW(delegate->handleTar("/a.tar.gz", fileManager), platform::Exception);
  EXPECT_TRUE(notices_.empty());
}

TEST_F(AppDelegateTest, ProcessEndedAfterASignalEndsByThatSignal) {
  auto delegate = makeDelegate();
  delegate->handleSignal({SIGHUP, false});
  delegate->handleSignal({SIGTERM, true});  // the first one counts
  try {
    delegate->download(*std::make_shared<FakeDownload>(), platform::URLError{"refused", "http://x"});
    ADD_FAILURE() << "returned";
  } catch (const ExitBySignalCalled& exit) {
    EXPECT_EQ(exit.signal, SIGHUP);
  }
}

// Archive installation ----------------------------------------------------------------

TEST_F(AppDelegateTest, UncompressedSizeSettingDefaultsAndClamps) {
  EXPECT_EQ(AppDelegate::uncompressedSizeSetting(nullptr), 6000000);
  Value values[] = {Value::integer(0), Value::integer(-5), Value("many"), Value(""), Value::boolean(true)};
  for (const Value& v : values)
    EXPECT_EQ(AppDelegate::uncompressedSizeSetting(&v), 6000000) << v.description();
  Value big = Value::integer(5000000000LL), text = Value(" 123456"), huge = Value("99999999999999999999999");
  Value real = Value::real(2.5e6);
  EXPECT_EQ(AppDelegate::uncompressedSizeSetting(&big), 2147483647);
  EXPECT_EQ(AppDelegate::uncompressedSizeSetting(&text), 123456);
  EXPECT_EQ(AppDelegate::uncompressedSizeSetting(&huge), 2147483647);
  EXPECT_EQ(AppDelegate::uncompressedSizeSetting(&real), 2500000);
}

TEST_F(AppDelegateTest, ProgressMapsExtractionOnto0To70AndUnpackingOnto70To100) {
  auto delegate = makeDelegate();
  std::int32_t sizeSeen = 0;
  std::string destinationSeen, unpackSeen;
  delegate->installers.untar = [&](const std::string& archive, const std::string& destination,
                                   std::int32_t size, const AppDelegate::Progress& progress) {
    EXPECT_EQ(archive, "/some/jre.tar.gz");
    destinationSeen = destination;
    sizeSeen = size;
    EXPECT_TRUE(fs::is_directory(destination));
    for (double p : {0.0, 50.0, 100.0, 120.0}) progress(p);
    return fakeRuntime(destination);
  };
  delegate->installers.unpack = [&](const std::string& home, const AppDelegate::Progress& progress) {
    unpackSeen = home;
    for (double p : {50.0, 100.0}) progress(p);
    return true;
  };
  platform::FileManager fileManager;
  std::string result = delegate->handleTar("/some/jre.tar.gz", fileManager);

  ASSERT_TRUE(delegate->tempDir);
  EXPECT_EQ(fs::path(*delegate->tempDir).parent_path(), root_ / "tmp");
  EXPECT_EQ(result, *delegate->tempDir + "/jre.bundle");
  EXPECT_EQ(destinationSeen, result);
  EXPECT_EQ(unpackSeen, result + "/Contents/Home");
  EXPECT_EQ(sizeSeen, 6000000);
  EXPECT_TRUE(outlets_.bar.bar.empty());  // only through the main queue
  app_.queue.runPending();
  EXPECT_EQ(outlets_.bar.bar, (std::vector<double>{0, 35, 70, 84, 85, 100}));
}

TEST_F(AppDelegateTest, ExistingTemporaryDirectoryIsReusedAndJreDirectoryIsUnpacked) {
  useBundle(Value(platform::Dictionary{{"qvr.jreUncompressedSize", Value::integer(1000)}}));
  auto delegate = makeDelegate();
  fs::create_directories(root_ / "tmp/run");
  delegate->tempDir = (root_ / "tmp/run").string();
  std::int32_t sizeSeen = 0;
  std::string unpackSeen;
  delegate->installers.untar = [&](const std::string&, const std::string& destination, std::int32_t size,
                                   const AppDelegate::Progress&) {
    sizeSeen = size;
    return fakeRuntime(destination, "Contents/Home/jre");
  };
  delegate->installers.unpack = [&](const std::string& home, const AppDelegate::Progress&) {
    unpackSeen = home;
    return true;
  };
  platform::FileManager fileManager;
  EXPECT_EQ(delegate->handleTar("/a.tar.gz", fileManager), (root_ / "tmp/run/jre.bundle").string());
  EXPECT_EQ(sizeSeen, 1000);
  EXPECT_EQ(unpackSeen, (root_ / "tmp/run/jre.bundle/Contents/Home/jre").string());
}

TEST_F(AppDelegateTest, CancelDuringExtractionRaisesAtTheNextReport) {
  auto delegate = makeDelegate();
  int reportsAfterCancel = 0;
  bool unpacked = false;
  delegate->installers.untar = [&](const std::string&, const std::string&, std::int32_t,
                                   const AppDelegate::Progress& progress) {
    progress(10);
    delegate->cancel();
    progress(20);
    ++reportsAfterCancel;  // not reached: the report raised
    return UnTar::Result{};
  };
  delegate->installers.unpack = [&](const std::string&, const AppDelegate::Progress&) {
    return unpacked = true;
  };
  platform::FileManager fileManager;
  try {
    delegate->handleTar("/a.tar.gz", fileManager);
    ADD_FAILURE() << "no cancellation";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "QuorvaneCancelled");
    EXPECT_EQ(e.reason(), "");
  }
  EXPECT_EQ(reportsAfterCancel, 0);
  EXPECT_FALSE(unpacked);
  app_.queue.runPending();
  EXPECT_EQ(outlets_.bar.bar, std::vector<double>{7});
}

TEST_F(AppDelegateTest, CancelBetweenThePhasesRaisesBeforeUnpacking) {
  auto delegate = makeDelegate();
  bool unpacked = false;
  delegate->installers.untar = [&](const std::string&, const std::string& destination, std::int32_t,
                                   const AppDelegate::Progress& progress) {
    progress(100);
    delegate->cancelled = true;  // after the last report
    return fakeRuntime(destination);
  };
  delegate->installers.unpack = [&](const std::string&, const AppDelegate::Progress&) {
    return unpacked = true;
  };
  platform::FileManager fileManager;
  EXPECT_THROW(delegate->handleTar("/a.tar.gz", fileManager), platform::Exception);
  EXPECT_FALSE(unpacked);

  // During unpacking, the next report raises too.
  auto again = makeDelegate();
  again->installers.untar = [](const std::string&, const std::string& destination, std::int32_t,
                               const AppDelegate::Progress&) { return fakeRuntime(destination); };
  again->installers.unpack = [&](const std::string&, const AppDelegate::Progress& progress) {
    again->cancelled = true;
    progress(50);
    return true;
  };
  EXPECT_THROW(again->handleTar("/a.tar.gz", fileManager), platform::Exception);
}

TEST_F(AppDelegateTest, UnpackFailureShowsInternalErrorRemovesTheRunDirectoryAndEndsWithStatus1) {
  for (bool raises : {false, true}) {
    notices_.clear();
    auto delegate = makeDelegate();
    delegate->installers.untar = [](const std::string&, const std::string& destination, std::int32_t,
                                    const AppDelegate::Progress&) { return fakeRuntime(destination); };
    delegate->installers.unpack = [raises](const std::string&, const AppDelegate::Progress&) -> bool {
      if (raises) throw platform::Exception("NSInvalidArgumentException", "cannot start bin/unpack200");
      return false;
    };
    platform::FileManager fileManager;
    try {
      delegate->handleTar("/a.tar.gz", fileManager);
      ADD_FAILURE() << "returned";
    } catch (const ExitCalled& exit) {
      EXPECT_EQ(exit.status, 1);
    }
    EXPECT_EQ(notices_, std::vector<std::string>{"Internal error: could not run unpack200"});
    EXPECT_FALSE(delegate->tempDir);
    EXPECT_TRUE(fs::is_empty(root_ / "tmp"));
  }
}

TEST_F(AppDelegateTest, ArchiveThatYieldsNoRuntimeEndsWithItsReasonAndNoTemporaryDirectory) {
  struct Case {
    const char* what;
    std::function<UnTar::Result(const std::string& destination)> extract;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"incomplete",
       [](const std::string& destination) {
         fakeRuntime(destination);  // what was extracted does not count
         return UnTar::Result{"the archive is damaged (it ends inside a file)"};
       },
       "the archive is damaged (it ends inside a file)"},
      {"no runtime", [](const std::string&) { return UnTar::Result{}; },
       "it holds no Java runtime (no executable Contents/Home/bin/java)"},
      {"not executable",
       [](const std::string& destination) {
         fakeRuntime(destination);
         fs::permissions(fs::path(destination) / "Contents/Home/bin/java", fs::perms::owner_read);
         return UnTar::Result{};
       },
       "it holds no Java runtime (no executable Contents/Home/bin/java)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    notices_.clear();
    auto delegate = makeDelegate();
    bool unpacked = false;
    delegate->installers.untar = [&](const std::string&, const std::string& destination, std::int32_t,
                                     const AppDelegate::Progress&) { return c.extract(destination); };
    delegate->installers.unpack = [&](const std::string&, const AppDelegate::Progress&) {
      return unpacked = true;
    };
    platform::FileManager fileManager;
    testing::internal::CaptureStderr();
    try {
      delegate->handleTar("/a/jre.tar.gz", fileManager);
      ADD_FAILURE() << "returned";
    } catch (const ExitCalled& exit) {
      EXPECT_EQ(exit.status, 1);
    }
    std::string log = testing::internal::GetCapturedStderr();
    std::string text = "The Java runtime archive /a/jre.tar.gz could not be installed: " + c.reason + ".";
    EXPECT_EQ(notices_, std::vector<std::string>{"Internal error: " + text});
    EXPECT_NE(log.find(text), std::string::npos) << log;
    EXPECT_FALSE(unpacked);
    EXPECT_TRUE(fs::is_empty(root_ / "tmp")) << "the run's temporary directory is left behind";
  }
}

TEST_F(AppDelegateTest, TemporaryDirectoriesAreNewUniqueAndNeverMakeParents) {
  platform::FileManager fileManager;
  auto first = AppDelegate::createTemporaryDirectory(fileManager);
  auto second = AppDelegate::createTemporaryDirectory(fileManager);
  ASSERT_TRUE(first && second);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(fs::path(*first).parent_path(), root_ / "tmp");
  EXPECT_TRUE(fs::is_empty(*first));

  ScopedEnv missing("TMPDIR", (root_ / "missing/deeper").c_str());
  EXPECT_FALSE(AppDelegate::createTemporaryDirectory(fileManager));
  EXPECT_FALSE(fs::exists(root_ / "missing"));
  auto delegate = makeDelegate();
  try {
    delegate->handleTar("/a.tar.gz", fileManager);
    ADD_FAILURE() << "no failure";
  } catch (const platform::Exception& e) {
    EXPECT_NE(e.reason().find((root_ / "missing/deeper").string()), std::string::npos) << e.reason();
  }
}

TEST_F(AppDelegateTest, RuntimeHomeIsContentsHomeOrItsJre) {
  platform::FileManager fileManager;
  fs::create_directories(root_ / "a.bundle/Contents/Home/bin");
  fs::create_directories(root_ / "b.bundle/Contents/Home/jre/bin");
  EXPECT_EQ(runtimeHomeOf((root_ / "a.bundle").string(), fileManager),
            (root_ / "a.bundle/Contents/Home").string());
  EXPECT_EQ(runtimeHomeOf((root_ / "b.bundle").string(), fileManager),
            (root_ / "b.bundle/Contents/Home/jre").string());
  // A plain runtime directory runs its own bin/java.
  fs::create_directories(root_ / "jdk/bin");
  EXPECT_EQ(runtimeHomeOf((root_ / "jdk").string(), fileManager), (root_ / "jdk").string());
}

}  // namespace
