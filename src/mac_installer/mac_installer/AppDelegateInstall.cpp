// Installation of a runtime archive into the run's temporary directory, the
// temporary directory itself, and the runtime home of a runtime bundle.
#include <climits>

#include "mac_installer/AppDelegate.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/UnTar.h"
#include "mac_installer/Unpacker.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "platform/UniqueName.h"

namespace {

constexpr double kExtractionShare = 0.7;
constexpr double kUnpackStart = 70;
constexpr double kUnpackShare = 0.3;
constexpr const char* kInstallFailure = "The Java runtime archive %@ could not be installed: %@.";

}  // namespace

AppDelegate::Installers AppDelegate::defaultInstallers() {
  Installers installers;
  installers.untar = [](const std::string& archive, const std::string& destination, std::int32_t length,
                        const Progress& progress) {
    return UnTar::untar(archive, destination, length, progress);
  };
  installers.unpack = [](const std::string& home, const Progress& progress) {
    return Unpacker::unpack(home, progress);
  };
  return installers;
}

std::optional<std::string> AppDelegate::createTemporaryDirectory(platform::FileManager& fileManager,
                                                                 std::string* error) {
  std::string path = platform::joinPath(platform::temporaryDirectory(), platform::globallyUniqueString());
  if (!fileManager.createDirectory(path, false, error)) return std::nullopt;
  return path;
}

const std::string& AppDelegate::ensureTemporaryDirectory(platform::FileManager& fileManager) {
  if (tempDir) return *tempDir;
  std::string error;
  tempDir = createTemporaryDirectory(fileManager, &error);
  if (!tempDir)
    throw platform::Exception(platform::kInternalInconsistencyException,
                              platform::format("cannot create a temporary directory in %@: %@",
                                               platform::temporaryDirectory(), error));
  return *tempDir;
}

std::int32_t AppDelegate::uncompressedSizeSetting(const platform::Value* value) {
  std::optional<std::int64_t> size;
  if (value && value->isNumber())
    size = value->asInteger();
  else if (value && value->isString())
    size = platform::leadingInteger(*value->asString());
  if (!size || *size <= 0) return kDefaultUncompressedSize;
  return *size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(*size);
}

void AppDelegate::reportInstallProgress(double barValue) {
  checkCancelled();
  post([barValue](AppDelegate& d) { d.progressBar->setDoubleValue(barValue); });
}

std::string AppDelegate::handleTar(const std::string& archive, platform::FileManager& fileManager) {
  std::string destination =
      platform::joinPath(ensureTemporaryDirectory(fileManager), std::string(kJreBundleName));
  const platform::Value& info = platform::Bundle::mainBundle()->infoDictionary();
  std::int32_t size = uncompressedSizeSetting(info.get(kJreUncompressedSizeKey));
  fileManager.createDirectory(destination, false);

  UnTar::Result extracted = installers.untar(archive, destination, size, [this](double percent) {
    reportInstallProgress(percent * kExtractionShare);
  });
  _DLog("%s [Line %d] jre destination %@", __PRETTY_FUNCTION__, __LINE__, destination);
  if (!extracted.complete()) failInstallation(archive, *extracted.failure, fileManager);

  std::string unpackDirectory = runtimeHomeOf(destination, fileManager);
  // The executable the worker runs; without it the archive held something else.
  std::string java = platform::joinPath(unpackDirectory, std::string(kJavaExecutable));
  if (!fileManager.isExecutableFile(java)) {
    // A bundle without Contents/Home is its own home; the runtime belongs there.
    std::string expected = unpackDirectory == destination
                               ? platform::joinPath(std::string(kContentsHome), std::string(kJavaExecutable))
                               : java.substr(destination.size() + 1);
    failInstallation(archive, "it holds no Java runtime (no executable " + expected + ")", fileManager);
  }
  std::string jre = platform::joinPath(unpackDirectory, std::string(kJreDirectory));
  if (fileManager.fileExists(jre)) unpackDirectory = jre;
  checkCancelled();

  bool unpacked = false;
  try {
    unpacked = installers.unpack(unpackDirectory, [this](double percent) {
      reportInstallProgress(kUnpackStart + percent * kUnpackShare);
    });
  } catch (const platform::Exception& failure) {
    if (failure.name() == kCancelledExceptionName) throw;
    // A tool that cannot even be started is the same failure as one that fails.
    platform::log("%s [Line %d] %@: %@", __PRETTY_FUNCTION__, __LINE__, failure, failure.callStackSymbols());
  }
  if (unpacked) return destination;
  // A signal or Cancel that stopped the tool is no failure to report.
  checkCancelled();
  Launcher::displayError(kInternalError, std::string(kUnpackFailure));
  // The half-installed runtime is of no use to anyone.
  fileManager.removeItem(*tempDir);
  tempDir.reset();
  endProcess(1);
}

void AppDelegate::failInstallation(const std::string& archive, const std::string& reason,
                                   platform::FileManager& fileManager) {
  std::string text = platform::format(kInstallFailure, archive, reason);
  platform::log("%s [Line %d] %@", __PRETTY_FUNCTION__, __LINE__, text);
  if (tempDir) fileManager.removeItem(*tempDir);
  Launcher::displayError(kInternalError, text);
  endProcess(1);
}
