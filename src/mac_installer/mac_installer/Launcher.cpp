// The Launcher object, the invoke-other entry and the error dialogs.
#include "mac_installer/Launcher.h"

#include "mac_installer/global.h"
#include "platform/Exception.h"
#include "platform/Notice.h"
#include "platform/Log.h"
#include "platform/Paths.h"

std::int32_t argc = 0;
char** argv = nullptr;
JLI_Launch_t JLI_LaunchFxnPtr = nullptr;
const char* launchJavaVersion = nullptr;

// Launcher object ------------------------------------------------------------

Launcher::Launcher()
    : internetPluginPath(platform::kInternetPluginPath),
      virtualMachinesDirectory(platform::kVirtualMachinesDirectory) {}

std::shared_ptr<Launcher> Launcher::launcher() { return std::make_shared<Launcher>(); }

std::string runtimeHomeOf(const std::string& location, const platform::FileManager& fileManager) {
  std::string home = platform::joinPath(location, "Contents/Home");
  if (!fileManager.fileExists(home)) home = location;
  std::string jre = platform::joinPath(home, "jre");
  return fileManager.fileExists(jre) ? jre : home;
}

// Invoke-other entry -----------------------------------------------------------

int launcher_main(int count, char** arguments) {
  _DLog("%s [Line %d] launcher_main %d", __PRETTY_FUNCTION__, __LINE__, count);
  if (JLI_LaunchFxnPtr) {
    // Re-entry from the runtime library: hand its own vector straight back.
    return JLI_LaunchFxnPtr(count, arguments, 0, nullptr, 0, nullptr, launchJavaVersion,
                            launchJavaVersion, "java", "java", 0, 0, 0, 0);
  }
  int status = 1;
  try {
    _DLog("%s [Line %d] invoke other %s", __PRETTY_FUNCTION__, __LINE__, arguments[2]);
    std::shared_ptr<Launcher> launcher = Launcher::launcher();
    launcher->load(arguments[0], arguments[2]);
    status = launcher->launch();
  } catch (const platform::Exception& e) {
    platform::log("%s [Line %d] %@: %@", __PRETTY_FUNCTION__, __LINE__, e, e.callStackSymbols());
    Launcher::displayError(kInternalError, e.description());
    status = 1;
  }
  return status;
}

// Error dialogs -----------------------------------------------------------------

void Launcher::displayError(std::string_view key) { displayError(key, std::nullopt, std::nullopt); }

void Launcher::displayError(std::string_view key, const std::optional<std::string>& info) {
  displayError(key, info, std::nullopt);
}

void Launcher::displayError(std::string_view key, const std::optional<std::string>& info1,
                            const std::optional<std::string>& info2) {
  std::shared_ptr<platform::Bundle> app = platform::Bundle::mainBundle();
  const platform::Value& info = app->infoDictionary();
  std::optional<std::string> title = info.getString(kBundleNameKey);
  std::optional<std::string> baseDir = info.getString(kBaseDirKey);

  std::shared_ptr<platform::Bundle> catalogue = app;
  if (baseDir) {
    std::string dir = *baseDir;
    const std::string package = app->bundlePath();
    for (size_t at = dir.find(kAppPackageVariable); at != std::string::npos;
         at = dir.find(kAppPackageVariable, at + package.size()))
      dir.replace(at, kAppPackageVariable.size(), package);
    catalogue = platform::Bundle::open(platform::joinPath(dir, ".quorvane/Messages.bundle"));
  }
  if (!catalogue) {
    platform::log("%s [Line %d] message %@ not found", __PRETTY_FUNCTION__, __LINE__, key);
    return;
  }
  std::string text = catalogue->localizedString(std::string(key));

  std::string message;
  if (info1 && info2)
    message = platform::format(text, *info1, *info2);
  else if (info1)
    message = platform::format(text, *info1);
  else
    message = text;
  platform::showNotice(title, message);
}

// In-process start ----------------------------------------------------------------

std::int32_t Launcher::launch() {
  if (!javaBundlePath) {
    displayError(kAppleJavaMinVersionError, getJavaMinVersion(),
                 platform::Bundle::mainBundle()->infoDictionary().getString(kBundleNameKey));
    return 1;
  }
  throw platform::Exception("JavaLaunchError", "Could not load JRE.");
}

// Argument-file intake ----------------------------------------------------------------

Launcher& Launcher::load(const char* programPath, const char* argumentFilePath) {
  (void)programPath;
  (void)argumentFilePath;
  return *this;
}
