// The installer front end: the application loop's delegate, the worker that
// provides a runtime and runs the Java child process, and the installation
// of a runtime archive.
//
// Threads: the notifications, cancel() and every window change run on the
// main thread; worker(), handleTar() and its progress callbacks run on the
// worker thread, which changes the window only through tasks posted to the
// main queue and never waits for them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mac_installer/UnTar.h"
#include "platform/Application.h"
#include "platform/ConditionLock.h"
#include "platform/FileManager.h"
#include "platform/Signals.h"
#include "platform/URLDownload.h"
#include "platform/Value.h"
#include "platform/Window.h"

class Launcher;
namespace platform {
class Exception;
class Task;
}  // namespace platform

// Runs the front-end mode with the process's own arguments. It does not
// return: the front end ends the process itself.
[[noreturn]] int applicationMain(int count, char** arguments);

// The name of the failure a Cancel turns into.
inline constexpr const char* kCancelledExceptionName = "QuorvaneCancelled";

class AppDelegate : public platform::ApplicationDelegate, public platform::URLDownloadDelegate {
 public:
  // A progress report: a percentage, nominally 0 to 100.
  using Progress = std::function<void(double percent)>;
  // The archive extraction and the packed-jar unpacking the installation
  // uses; tests replace them.
  struct Installers {
    std::function<UnTar::Result(const std::string& archive, const std::string& destination,
                                std::int32_t uncompressedLength, const Progress& progress)>
        untar;
    std::function<bool(const std::string& home, const Progress& progress)> unpack;
  };

  // windowCloseDelay: the pause between the child's launch and the closing
  // of the window (five seconds in the program).
  explicit AppDelegate(platform::Application& application,
                       std::chrono::microseconds windowCloseDelay = std::chrono::seconds(5));

  // The window's controls, connected from the window description; plain
  // references that neither own nor release anything.
  platform::ImageView* iconView = nullptr;
  platform::Window* window = nullptr;
  platform::ProgressIndicator* progressBar = nullptr;
  platform::Button* cancelButton = nullptr;
  platform::TextField* label = nullptr;
  // Written by the main thread, read by the worker at fixed points.
  std::atomic<bool> cancelled{false};
  // The run's temporary directory; set by the worker before anything that
  // the main thread could read it from is posted.
  std::optional<std::string> tempDir;
  // The running download; absent when none runs (main thread only).
  std::shared_ptr<platform::URLDownload> downloader;
  // Download hand-shake between worker and main thread.
  std::shared_ptr<platform::ConditionLock> downloadConditionLock;
  std::int64_t expectedLength = 0;
  std::int64_t bytesReceived = 0;
  std::int64_t downloadStartTime = 0;
  std::int64_t lastProgressUpdate = 0;
  platform::TextField* progressLabel = nullptr;

  // Launch notifications and the Cancel action (main thread) ---------------
  void connectOutlets(const platform::WindowOutlets& outlets) override;
  void applicationWillFinishLaunching() override;
  void applicationDidFinishLaunching() override;
  void cancel() override;
  // A termination signal (on the signal relay's thread). Before the child
  // runs it ends the run as Cancel does, and the process then ends by the
  // same signal; while the child runs it is handed on to the child, except
  // the terminal's interrupt and quit keys, which reach the child directly.
  void handleSignal(const platform::CaughtSignal& caught);

  // Worker ---------------------------------------------------------------------
  // The whole front-end run on its own thread; ends the process.
  [[noreturn]] void worker();

  // Archive installation ---------------------------------------------------------
  // A new directory directly inside the user's temporary directory, with a
  // unique name; absent when it cannot be created.
  // error, when given, receives the reason of a failure.
  static std::optional<std::string> createTemporaryDirectory(platform::FileManager& fileManager,
                                                             std::string* error = nullptr);
  // The run's temporary directory: tempDir, made first when the run has none.
  // Raises NSInternalInconsistencyException when it cannot be made.
  const std::string& ensureTemporaryDirectory(platform::FileManager& fileManager);
  // Installs the archive as "jre.bundle" in the run's temporary directory
  // (made when tempDir is absent) and returns its path. Raises the
  // cancellation failure; ends the process when the archive cannot be
  // extracted completely, holds no runtime, or unpacking fails.
  std::string handleTar(const std::string& archive, platform::FileManager& fileManager);

  // The uncompressed size setting as handed to the extraction: the default
  // for absent, unreadable, zero or negative values, clamped to 32 bits.
  static constexpr std::int32_t kDefaultUncompressedSize = 6000000;
  static std::int32_t uncompressedSizeSetting(const platform::Value* value);

  // The Java child's command line ------------------------------------------------
  // The text of a Java argument file ("@file") that gives the launcher these
  // arguments, exactly, in order.
  static std::string javaArgumentFileText(const std::vector<std::string>& arguments);
  // Why a command line cannot be passed to a new program (the limit and the
  // length beyond it); absent when it can. commandLineSize is what the whole
  // command line takes with the environment, space the system's room for it.
  static std::optional<std::string> commandLineExcess(const std::vector<std::string>& arguments,
                                                      std::size_t commandLineSize, std::size_t space);

  platform::Application& application;
  Installers installers;

  // Runtime download (main thread) ---------------------------------------------
  // The download start task: takes downloadConditionLock, shows the
  // download label and starts fetching url into archive. Ends the process
  // when url cannot be downloaded.
  void startDownload(const std::optional<std::string>& name, const std::string& url,
                     const std::string& archive);
  bool download(platform::URLDownload& download, const std::string& mimeType) override;
  void download(platform::URLDownload& download, const platform::URLResponse& response) override;
  void download(platform::URLDownload& download, std::uint64_t length) override;
  // Ends the process after removing the run's temporary directory.
  void download(platform::URLDownload& download, const platform::URLError& error) override;
  void downloadDidFinish(platform::URLDownload& download) override;
  // "##0.0": at least one integer digit, one decimal, no grouping, "."
  static std::string formatMegabytes(double megabytes);
  // The "DownloadProgress" text for the counts so far at time now.
  std::string downloadProgressText(std::int64_t now, double percent) const;
  // Microseconds since the epoch, wall clock; tests replace the clock.
  static std::function<std::int64_t()> defaultDownloadClock();
  std::function<std::int64_t()> downloadClock = defaultDownloadClock();

 protected:
  // Starts worker() on a new background thread; tests record it instead.
  virtual void startWorker();

 private:
  // Posts a window change to the main queue without waiting for it.
  void post(std::function<void(AppDelegate&)> change);
  // Keys of the main bundle's default strings table, and the text for a key.
  static constexpr const char* kWizardCaptionKey = "WizardCaption";
  static constexpr const char* kPrepareInstallerKey = "PrepareInstaller";
  static constexpr const char* kButtonCancelKey = "ButtonCancel";
  static constexpr const char* kDownloadingJreKey = "DownloadingJre";
  static constexpr const char* kDownloadProgressKey = "DownloadProgress";
  static std::string bundleText(const std::string& key);
  static Installers defaultInstallers();

  // Steps of the worker; they raise platform exceptions on failure.
  int runWorker(platform::FileManager& fileManager);
  // The runtime bundle to run from: the bundle's archive installed, or a
  // runtime found on the machine. archive is the archive location in use.
  std::string provideRuntime(Launcher& launcher, platform::FileManager& fileManager, std::string& archive);
  [[noreturn]] void reportMissingRuntime(const Launcher& launcher);
  // Has the archive named by "qvr.jreLocation" downloaded into a new
  // temporary directory (archive becomes its path), waits for it and
  // installs it; absent when no location is set.
  std::optional<std::string> downloadRuntime(platform::FileManager& fileManager, std::string& archive);
  int runChild(const std::string& java, const std::vector<std::string>& arguments,
               platform::FileManager& fileManager);
  // The arguments for the child java, or, when they do not fit the system's
  // limits, one "@" argument naming an argument file written into the run's
  // temporary directory (made when the run has none). Raises a failure when
  // they do not fit and the runtime predates argument files.
  std::vector<std::string> fitCommandLine(const std::string& java, std::vector<std::string> arguments,
                                          std::int32_t javaMajorVersion, platform::FileManager& fileManager);
  void handleFailure(const platform::Exception& failure, platform::FileManager& fileManager);
  // Ends the process through the application (never returns), by the
  // signal that ended the run if there was one.
  [[noreturn]] void endProcess(int status);
  // Raises the cancellation failure when Cancel was pressed or a signal
  // ended the run.
  void checkCancelled() const;
  // Posts a bar value from the installation's progress; may raise the
  // cancellation failure.
  void reportInstallProgress(double barValue);
  // An archive that cannot be installed: says why in the internal-error
  // dialog, removes the run's temporary directory and ends with status 1.
  // An expected failure: logged in one line, without a call stack.
  [[noreturn]] void failInstallation(const std::string& archive, const std::string& reason,
                                     platform::FileManager& fileManager);

  std::chrono::microseconds windowCloseDelay_;
  // The first signal that ended the run before the child ran (0: none).
  std::atomic<int> terminatingSignal_{0};
  // The running child, from its launch on; the lock orders the launch
  // against the signals.
  std::mutex childMutex_;
  std::shared_ptr<platform::Task> child_;
};
