// The installer front end: launch notifications, Cancel, and the worker that
// provides a runtime and runs the Java child process.
#include "mac_installer/AppDelegate.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Signals.h"
#include "platform/StatusLine.h"
#include "platform/Task.h"

namespace {

constexpr const char* kIconName = "app";
constexpr const char* kBundledArchive = "app/jre.tar.gz";
constexpr const char* kJreBundleOption = "-Dqvr.jreBundle=%@";
constexpr const char* kStartDirectoryOption = "-Dqvr.startDirectory=%@";
constexpr const char* kTarFileOption = "-Dqvr.tarFile=%@";

// The directory the user started the program from, taken as the process
// starts: the Java parameters later move into the bundle's working
// directory, and an installer needs this one to resolve relative paths the
// user typed. Empty when it cannot be read (a removed directory).
const std::string startDirectory = platform::FileManager().currentDirectory();

// An absolute path without a trailing separator; the child's working
// directory changes before these paths are handed over.
std::string absolutePath(const std::string& path) {
  std::error_code error;
  std::string result = std::filesystem::absolute(path, error).lexically_normal().string();
  if (error) result = path;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

}  // namespace

[[noreturn]] int applicationMain(int count, char** arguments) {
  const char* caller = __PRETTY_FUNCTION__;
  platform::applicationMain(
      count, arguments, [](platform::Application& application) { return new AppDelegate(application); },
      [caller](const std::string& line) { _DLog("%s [Line %d] %@", caller, __LINE__, line); });
}

AppDelegate::AppDelegate(platform::Application& application, std::chrono::microseconds windowCloseDelay)
    : application(application), windowCloseDelay_(windowCloseDelay) {
  installers = defaultInstallers();
}

std::string AppDelegate::bundleText(const std::string& key) {
  return platform::Bundle::mainBundle()->localizedString(key);
}

void AppDelegate::post(std::function<void(AppDelegate&)> change) {
  application.mainQueue().post([this, change = std::move(change)] { change(*this); });
}

// Launch notifications and Cancel -------------------------------------------

void AppDelegate::connectOutlets(const platform::WindowOutlets& outlets) {
  window = outlets.window;
  iconView = outlets.iconView;
  progressBar = outlets.progressBar;
  cancelButton = outlets.cancelButton;
  label = outlets.label;
  progressLabel = outlets.progressLabel;
}

void AppDelegate::applicationWillFinishLaunching() {
  _DLog("%s [Line %d] app will finish launching", __PRETTY_FUNCTION__, __LINE__);
  const platform::Value& info = platform::Bundle::mainBundle()->infoDictionary();
  const platform::Value* initialProgress = info.get(kInitialProgressKey);
  if (initialProgress && !platform::truthValue(initialProgress)) {
    _DLog("%s [Line %d] hiding progress window", __PRETTY_FUNCTION__, __LINE__);
    window->close();
    return;
  }
  bool hide = false;
  bool splash = false;
  const std::vector<std::string>& arguments = application.arguments();
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (arguments[i] == "-c" || arguments[i] == "-q")
      hide = true;
    else if (arguments[i] == "-splash")
      splash = true;
  }
  if (hide && !splash) {
    _DLog("%s [Line %d] hiding progress window", __PRETTY_FUNCTION__, __LINE__);
    window->close();
  }
}

void AppDelegate::applicationDidFinishLaunching() {
  _DLog("%s [Line %d] app finished launching", __PRETTY_FUNCTION__, __LINE__);
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  std::optional<std::string> name = bundle->infoDictionary().getString(kBundleNameKey);
  window->setTitle(bundleText(kWizardCaptionKey));
  label->setStringValue(platform::format(bundleText(kPrepareInstallerKey), name));
  cancelButton->setTitle(bundleText(kButtonCancelKey));
  // A PNG of the same name stands in for the icon where .icns cannot be read.
  std::optional<std::string> icon = bundle->pathForResource(kIconName, "icns");
  if (!icon) icon = bundle->pathForResource(kIconName, "png");
  if (icon) iconView->setImageFromFile(*icon);
  application.activateIgnoringOtherApps();
  startWorker();
}

void AppDelegate::startWorker() {
  // The worker owns the rest of the run and ends the process; never joined.
  std::thread([this] { worker(); }).detach();
}

void AppDelegate::cancel() {
  cancelled = true;
  cancelButton->setEnabled(false);
  if (downloader) {
    downloader->cancel();
    // Once only: a second Cancel (a signal after the button) must not
    // release a lock this thread no longer holds.
    downloader.reset();
    // The main thread has held the lock since the download started.
    downloadConditionLock->unlockWithCondition(1);
  }
}

// Signals ---------------------------------------------------------------------

void AppDelegate::handleSignal(const platform::CaughtSignal& caught) {
  std::lock_guard<std::mutex> guard(childMutex_);
  if (child_) {
    // The terminal's interrupt and quit keys reach the child's process
    // group, child included, without help; only what was aimed at this
    // process alone is handed on.
    bool terminalKey = !caught.sentByProcess && (caught.number == SIGINT || caught.number == SIGQUIT);
    if (terminalKey) return;
    _DLog("%s [Line %d] forwarding signal %d", __PRETTY_FUNCTION__, __LINE__, caught.number);
    child_->signal(caught.number);
    return;
  }
  int none = 0;
  if (!terminatingSignal_.compare_exchange_strong(none, caught.number)) return;
  _DLog("%s [Line %d] cancelled by signal %d", __PRETTY_FUNCTION__, __LINE__, caught.number);
  post([](AppDelegate& d) { d.cancel(); });
}

// Worker ----------------------------------------------------------------------

void AppDelegate::worker() {
  platform::FileManager fileManager;
  tempDir.reset();
  cancelled = false;
  platform::catchTerminationSignals([this](const platform::CaughtSignal& caught) { handleSignal(caught); });
  _DLog("%s [Line %d] worker started", __PRETTY_FUNCTION__, __LINE__);
  int status = 1;
  try {
    status = runWorker(fileManager);
  } catch (const platform::Exception& failure) {
    handleFailure(failure, fileManager);
  } catch (const std::exception& failure) {
    handleFailure(platform::Exception(platform::kGenericException, failure.what()), fileManager);
  }
  endProcess(status);
}

void AppDelegate::handleFailure(const platform::Exception& failure, platform::FileManager& fileManager) {
  if (failure.name() == kCancelledExceptionName) {
    _DLog("%s [Line %d] Cancelled", __PRETTY_FUNCTION__, __LINE__);
  } else {
    Launcher::displayError(kInternalError, failure.description());
    platform::log("%s [Line %d] %@: %@", __PRETTY_FUNCTION__, __LINE__, failure, failure.callStackSymbols());
  }
  if (tempDir) fileManager.removeItem(*tempDir);
}

int AppDelegate::runWorker(platform::FileManager& fileManager) {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  std::string archive = absolutePath(platform::joinPath(bundle->resourcePath(), kBundledArchive));
  std::shared_ptr<Launcher> launcher = Launcher::launcher();

  std::string runtimeBundle = provideRuntime(*launcher, fileManager, archive);
  if (tempDir) launcher->checkInstalledRuntime(runtimeBundle);

  post([](AppDelegate& d) {
    d.progressBar->setIndeterminate(true);
    d.progressBar->startAnimation();
    d.cancelButton->setEnabled(false);
  });

  std::vector<std::string> options;
  std::optional<std::string> mainClass;
  std::vector<std::string> arguments;
  launcher->readJavaParameters(fileManager, options, mainClass, arguments, nullptr);
  if (!mainClass)
    throw platform::Exception(platform::kInvalidArgumentException,
                              "no main class: the information dictionary's JavaVM has no MainClass");

  std::vector<std::string> child = options;
  child.push_back(platform::format(kJreBundleOption, runtimeBundle));
  if (!startDirectory.empty()) child.push_back(platform::format(kStartDirectoryOption, startDirectory));
  if (tempDir) child.push_back(platform::format(kTarFileOption, archive));
  child.push_back(*mainClass);
  child.insert(child.end(), arguments.begin(), arguments.end());
  _DLog("%s [Line %d] args: %@", __PRETTY_FUNCTION__, __LINE__, child);

  std::string java = javaExecutableOf(runtimeBundle, fileManager);
  child = fitCommandLine(java, std::move(child), launcher->javaMajorVersion, fileManager);
  return runChild(java, child, fileManager);
}

std::string AppDelegate::provideRuntime(Launcher& launcher, platform::FileManager& fileManager,
                                        std::string& archive) {
  // An archive in the bundle is always installed; nothing is searched then.
  if (fileManager.fileExists(archive)) return handleTar(archive, fileManager);

  _DLog("%s [Line %d] searching for public JREs", __PRETTY_FUNCTION__, __LINE__);
  std::optional<std::string> found = launcher.findJavaBundle(false);
  if (!found) {
    _DLog("%s [Line %d] searching for other JREs", __PRETTY_FUNCTION__, __LINE__);
    found = launcher.findJavaBundle(true);
  }
  if (found) return absolutePath(*found);
  if (std::optional<std::string> downloaded = downloadRuntime(fileManager, archive)) return *downloaded;
  reportMissingRuntime(launcher);
}

void AppDelegate::reportMissingRuntime(const Launcher& launcher) {
  launcher.reportMissingRuntime();
  endProcess(1);
}

int AppDelegate::runChild(const std::string& java, const std::vector<std::string>& arguments,
                          platform::FileManager& fileManager) {
  // Shared with the signal relay, which hands signals on while it runs.
  auto task = std::make_shared<platform::Task>();
  task->setLaunchPath(java);
  task->setArguments(arguments);
  task->setForwardsStandardInput(true);
  // The child's output must never meet the progress line.
  platform::retireStatusLine();
  {
    std::lock_guard<std::mutex> guard(childMutex_);
    // A signal after the last test of Cancel still ends the run here; from
    // the launch on, signals belong to the child.
    if (terminatingSignal_) throw platform::Exception(kCancelledExceptionName, "");
    task->launch();
    child_ = task;
  }

  std::optional<std::string> runDirectory = std::move(tempDir);
  tempDir.reset();
  // The window goes five seconds after the launch, or with a child that
  // ended sooner; the process does not outlast the child.
  bool ended = task->waitUntilExit(std::chrono::duration_cast<std::chrono::milliseconds>(windowCloseDelay_));
  post([](AppDelegate& d) { d.window->close(); });
  if (!ended) task->waitUntilExit();
  int status = task->terminationStatus();
  if (runDirectory) fileManager.removeItem(*runDirectory);
  return status;
}

void AppDelegate::endProcess(int status) {
  // A run ended by a signal ends the process by that signal.
  if (int signalNumber = terminatingSignal_) application.exitBySignal(signalNumber);
  application.exit(status);
  std::abort();  // exit() never returns; a fake that does is a broken test
}

void AppDelegate::checkCancelled() const {
  if (cancelled || terminatingSignal_) throw platform::Exception(kCancelledExceptionName, "");
}
