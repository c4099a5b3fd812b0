// The runtime download: the worker's step that has the archive downloaded
// and waits for it, the download start on the main thread, and the
// download's callbacks with the progress text.
#include <sys/time.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "mac_installer/AppDelegate.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "platform/URLDownload.h"

namespace {

constexpr const char* kDownloadedArchive = "jre.tar.gz";
constexpr double kDownloadTimeout = 60.0;
constexpr std::int64_t kProgressTextInterval = 500000;  // microseconds
constexpr size_t kSha256Digits = 64;
constexpr const char* kDownloadWriteFailure = "The Java runtime could not be downloaded into %@: %@.";

// A setting's text without white space or line breaks at either end.
std::string trimmed(const std::string& text) {
  return platform::trimmed(text, platform::WhiteSpace::blanksAndLineBreaks);
}

// The expected SHA-256 of the archive as 64 lowercase hexadecimal digits
// (blanks around the value ignored), "" when the setting is absent; absent
// when the value is not 64 hexadecimal digits.
std::optional<std::string> expectedSha256(const platform::Value* value) {
  if (!value) return std::string();
  const std::string* text = value->asString();
  if (!text) return std::nullopt;
  std::string digits = trimmed(*text);
  if (digits.size() != kSha256Digits) return std::nullopt;
  for (char& c : digits) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return std::nullopt;
  }
  return digits;
}

std::int64_t wallClockMicroseconds() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

// Truncation toward zero into 32 bits; out-of-range values saturate instead
// of being undefined.
std::int32_t truncatedInt32(double value) {
  if (std::isnan(value)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  if (value <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

}  // namespace

// Worker side -------------------------------------------------------------------

std::optional<std::string> AppDelegate::downloadRuntime(platform::FileManager& fileManager,
                                                        std::string& archive) {
  const platform::Value& info = platform::Bundle::mainBundle()->infoDictionary();
  std::optional<std::string> location = info.getString(kJreLocationKey);
  std::string url = location ? trimmed(*location) : std::string();
  if (url.empty()) return std::nullopt;
  std::optional<std::string> name = info.getString(kBundleNameKey);

  downloadConditionLock = std::make_shared<platform::ConditionLock>(0);
  expectedLength = -1;
  bytesReceived = 0;
  archive = platform::joinPath(ensureTemporaryDirectory(fileManager), kDownloadedArchive);

  post([name, url, archive](AppDelegate& d) { d.startDownload(name, url, archive); });
  _DLog("%s [Line %d] waiting for download to finish", __PRETTY_FUNCTION__, __LINE__);
  downloadConditionLock->lockWhenCondition(1);
  downloadConditionLock->unlockWithCondition(0);
  _DLog("%s [Line %d] download returned", __PRETTY_FUNCTION__, __LINE__);
  checkCancelled();
  if (!fileManager.fileExists(archive)) {
    Launcher::displayError(kDownloadJreError);
    endProcess(1);
  }
  post([name](AppDelegate& d) {
    d.progressBar->setDoubleValue(0);
    d.label->setStringValue(platform::format(bundleText(kPrepareInstallerKey), name));
  });
  return handleTar(archive, fileManager);
}

// Main thread -------------------------------------------------------------------

void AppDelegate::startDownload(const std::optional<std::string>& name, const std::string& url,
                                const std::string& archive) {
  // Free with condition 0, so this never waits; held until the download
  // finishes or is cancelled.
  downloadConditionLock->lockWhenCondition(0);
  // Cancel pressed between the worker's post and this task found no
  // download to stop: nothing is fetched, the worker wakes and sees the flag.
  if (cancelled) {
    downloadConditionLock->unlockWithCondition(1);
    return;
  }
  label->setStringValue(platform::format(bundleText(kDownloadingJreKey), name));
  platform::URLRequest request{url, platform::kURLRequestReloadIgnoringLocalAndRemoteCacheData,
                               kDownloadTimeout};
  const platform::Value* digest = platform::Bundle::mainBundle()->infoDictionary().get(kJreSha256Key);
  std::optional<std::string> sha256 = expectedSha256(digest);
  std::string error;
  if (sha256) {
    request.expectedSHA256 = *sha256;
    downloader = platform::makeURLDownload(request, *this, application.mainQueue(), &error);
  } else {
    // Nothing could be verified, so nothing is fetched.
    error = platform::format("malformed %@ value %@: 64 hexadecimal digits expected", kJreSha256Key, digest);
  }
  if (!downloader) {
    platform::log("%s [Line %d] Download failed! Error - %@ %@", __PRETTY_FUNCTION__, __LINE__, error, url);
    // Nothing was written into the run's directory; it goes as well.
    if (tempDir) platform::FileManager().removeItem(*tempDir);
    Launcher::displayError(kDownloadJreError);
    endProcess(1);
  }
  downloader->setDeletesFileUponFailure(true);
  downloader->setDestination(archive, true);
}

bool AppDelegate::download(platform::URLDownload&, const std::string&) {
  // The archive is stored exactly as served.
  return false;
}

void AppDelegate::download(platform::URLDownload&, const platform::URLResponse& response) {
  bytesReceived = 0;
  expectedLength = response.expectedContentLength;
  downloadStartTime = lastProgressUpdate = downloadClock();
}

void AppDelegate::download(platform::URLDownload&, std::uint64_t length) {
  bytesReceived += static_cast<std::int64_t>(length);
  if (expectedLength < 1) {
    progressBar->setIndeterminate(true);
    progressBar->startAnimation();
    return;
  }
  double percent = static_cast<double>(bytesReceived) / static_cast<double>(expectedLength) * 100.0;
  progressBar->setDoubleValue(percent);
  std::int64_t now = downloadClock();
  if (now > lastProgressUpdate + kProgressTextInterval) {
    lastProgressUpdate = now;
    progressLabel->setStringValue(downloadProgressText(now, percent));
  }
}

void AppDelegate::downloadDidFinish(platform::URLDownload&) {
  downloader.reset();
  progressLabel->setStringValue("");
  _DLog("%s [Line %d] downloadDidFinish", __PRETTY_FUNCTION__, __LINE__);
  downloadConditionLock->unlockWithCondition(1);
}

void AppDelegate::download(platform::URLDownload&, const platform::URLError& error) {
  downloader.reset();
  platform::log("%s [Line %d] Download failed! Error - %@ %@", __PRETTY_FUNCTION__, __LINE__,
                error.localizedDescription, error.failingURLString);
  if (tempDir) platform::FileManager().removeItem(*tempDir);
  // A full disk (or another failure to write the file) is no network problem.
  if (error.fileErrorNumber != 0) {
    std::string directory = platform::temporaryDirectory();
    while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
    Launcher::displayError(kInternalError, platform::format(kDownloadWriteFailure, directory,
                                                            platform::errorInWords(error.fileErrorNumber)));
  } else {
    Launcher::displayError(kDownloadJreError);
  }
  endProcess(1);
}

// Progress text -----------------------------------------------------------------

std::string AppDelegate::formatMegabytes(double megabytes) {
  // "##0.0" with "." whatever the locale: to_chars ignores the C locale that
  // the window toolkit may have set from the environment.
  char buffer[64];
  auto [end, status] = std::to_chars(buffer, buffer + sizeof buffer, megabytes, std::chars_format::fixed, 1);
  if (status != std::errc()) return "0.0";
  return std::string(buffer, end);
}

std::string AppDelegate::downloadProgressText(std::int64_t now, double percent) const {
  double rate =
      static_cast<double>(bytesReceived) / 1024.0 * 1000000.0 / static_cast<double>(now - downloadStartTime);
  return platform::format(bundleText(kDownloadProgressKey),
                          formatMegabytes(static_cast<double>(bytesReceived) / 1048576.0),
                          formatMegabytes(static_cast<double>(expectedLength) / 1048576.0),
                          truncatedInt32(percent), truncatedInt32(rate));
}

std::function<std::int64_t()> AppDelegate::defaultDownloadClock() { return wallClockMicroseconds; }
