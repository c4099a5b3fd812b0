// Runtime search: the application's own runtime, the search sequence, the
// standard locations (browser plug-in, installed virtual machines) and the
// installation registry of other installed applications.
#include <algorithm>
#include <exception>
#include <utility>

#include "mac_installer/Launcher.h"
#include "mac_installer/Unpacker.h"
#include "mac_installer/global.h"
#include "platform/Application.h"
#include "platform/Environment.h"
#include "platform/Format.h"
#include "platform/UserDefaults.h"

namespace {

// Descriptor and candidate dictionary keys.
constexpr std::string_view kSearchSequenceKey = "SearchSequence";
constexpr std::string_view kBundleIdentifierKey = "CFBundleIdentifier";
constexpr std::string_view kInfoStringKey = "CFBundleGetInfoString";

// The installation registry.
constexpr std::string_view kInstallationsSuite = "com.quorvane.installations";
constexpr std::string_view kInstallationsKey = "/com/quorvane/installations/";
constexpr char kInstallDirectorySeparator = ';';

// Candidate locations relative to the application bundle, its base
// directory and the directories of the installation registry.
constexpr const char* kResourcesJreBundle = "Contents/Resources/jre.bundle";
constexpr const char* kPlugInsJreBundle = "Contents/PlugIns/jre.bundle";
constexpr const char* kBaseDirJreBundle = ".quorvane/jre.bundle";
constexpr const char* kBaseDirJre = ".quorvane/jre";
constexpr const char* kContentsHome = "Contents/Home";
constexpr const char* kJreDirectory = "jre";
constexpr const char* kPluginJava = "Contents/Home/bin/java";
constexpr const char* kProbeDirectory = "_qvr_testdir";

// A plain runtime directory is not checked; it is taken as this version.
constexpr const char* kPlainRuntimeLaunchVersion = "1.7.0";
constexpr const char* kUnpackFailureDetail = "could not run unpack200";

// Plug-in vendor test.
constexpr std::string_view kOracleIdentifierPrefix = "com.oracle";
constexpr std::string_view kOracleVendor = "Oracle";

// Search-sequence kinds.
constexpr char kEnvironmentEntry = 'E';
constexpr char kDirectoryEntry = 'R';
constexpr char kStandardLocationsEntry = 'Y';

std::string replacingAppPackage(std::string text, const std::string& bundlePath) {
  for (size_t at = text.find(kAppPackageVariable); at != std::string::npos;
       at = text.find(kAppPackageVariable, at + bundlePath.size()))
    text.replace(at, kAppPackageVariable.size(), bundlePath);
  return text;
}

// The directory whose "jre" and itself get unpacked: "Contents/Home" of a
// location that has one, else the location. runtimeHomeOf() is this
// directory or its "jre", so the unpacking covers the home that is used.
std::string javaHomeOf(const std::string& location, const platform::FileManager& fileManager) {
  std::string home = platform::joinPath(location, kContentsHome);
  return fileManager.fileExists(home) ? home : location;
}

// The form a directory path takes in the log: a file URL.
std::string fileURL(const std::string& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 std::string_view("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
  if (url.back() != '/') url += '/';
  return url;
}

std::vector<std::string> splitInstallDirectories(const std::string& list) {
  std::vector<std::string> directories;
  size_t start = 0;
  for (size_t at = 0; at <= list.size(); ++at) {
    if (at < list.size() && list[at] != kInstallDirectorySeparator) continue;
    directories.push_back(list.substr(start, at - start));
    start = at + 1;
  }
  return directories;
}

}  // namespace

// Runtime search --------------------------------------------------------------

std::optional<std::string> Launcher::findJavaBundle(bool registry) {
  launchJavaVersion = nullptr;
  javaBundle.reset();
  pluginUsed = false;
  javaBundlePath.reset();
  platform::FileManager fileManager;

  std::shared_ptr<platform::Bundle> app = platform::Bundle::mainBundle();
  const platform::Value& info = app->infoDictionary();
  SearchConstraints constraints{info.getString(kMinVersionKey), info.getString(kMaxVersionKey),
                                info.getString(kVmIdPrefixKey),
                                platform::truthValue(info.get(kAllowBetaKey))};
  const std::string& bundlePath = app->bundlePath();

  if (registry) {
    if (std::optional<std::string> found = searchRegistry(fileManager, info, constraints)) return found;
  } else if (findOwnRuntime(fileManager, info, bundlePath)) {
    runOwnRuntime(fileManager);
  } else {
    searchSequence(fileManager, info, constraints);
  }

  if (!launchJavaVersion) javaBundlePath.reset();
  return javaBundlePath;
}

std::optional<std::string> Launcher::searchRegistry(platform::FileManager& fileManager,
                                                    const platform::Value& info,
                                                    const SearchConstraints& constraints) {
  std::optional<std::string> appId = info.getString(kAppIdKey);
  platform::UserDefaults defaults;
  defaults.addSuiteNamed(std::string(kInstallationsSuite));
  std::optional<platform::Value> installations = defaults.dictionaryForKey(std::string(kInstallationsKey));
  _DLog("%s [Line %d] %@", __PRETTY_FUNCTION__, __LINE__, installations);
  if (!appId || !installations) return std::nullopt;
  std::optional<std::string> list = installations->getString(platform::format("allinstdirs%@", *appId));
  if (!list) return std::nullopt;

  for (const std::string& directory : splitInstallDirectories(*list)) {
    // An empty piece (a stray ";") would otherwise name a runtime at the
    // file-system root.
    if (directory.empty()) continue;
    std::optional<std::string> bundleName =
        installations->getString(platform::format("singleBundleName%@_%@", *appId, directory));
    std::string candidate;
    if (bundleName) {
      candidate = platform::format("%@/%@/Contents/Resources/jre.bundle", directory, *bundleName);
      if (!fileManager.fileExists(candidate))
        candidate = platform::format("%@/%@/Contents/PlugIns/jre.bundle", directory, *bundleName);
    } else {
      candidate = platform::format("%@/.quorvane/jre.bundle", directory);
    }
    javaBundlePath = candidate;
    _DLog("%s [Line %d] checking %@", __PRETTY_FUNCTION__, __LINE__, candidate);
    if (!fileManager.fileExists(candidate)) continue;
    javaBundle = platform::Bundle::open(candidate);
    launchJavaVersion = checkJavaVersion(constraints.minVersion, constraints.maxVersion,
                                         constraints.allowBeta, false, constraints.requiredVmIdPrefix);
    if (launchJavaVersion) return candidate;
    javaBundle.reset();
  }
  return std::nullopt;
}

bool Launcher::findOwnRuntime(platform::FileManager& fileManager, const platform::Value& info,
                              const std::string& bundlePath) {
  for (const char* inside : {kResourcesJreBundle, kPlugInsJreBundle}) {
    javaBundlePath = platform::joinPath(bundlePath, inside);
    if (fileManager.fileExists(*javaBundlePath) && (javaBundle = platform::Bundle::open(*javaBundlePath)))
      return true;
  }
  std::optional<std::string> baseDir = info.getString(kBaseDirKey);
  if (!baseDir) return false;
  std::string base = replacingAppPackage(*baseDir, bundlePath);

  bool isDirectory = false;
  javaBundlePath = platform::joinPath(base, kBaseDirJreBundle);
  if (fileManager.fileExists(*javaBundlePath, &isDirectory) && isDirectory) {
    // Opening may yield none; the plain directory beside it is then not tried.
    javaBundle = platform::Bundle::open(*javaBundlePath);
  } else {
    javaBundlePath = platform::joinPath(base, kBaseDirJre);
    if (fileManager.fileExists(*javaBundlePath, &isDirectory) && isDirectory)
      launchJavaVersion = kPlainRuntimeLaunchVersion;
  }
  return javaBundle || launchJavaVersion;
}

void Launcher::runOwnRuntime(platform::FileManager& fileManager) {
  // The application's own runtime is taken whatever the descriptor's
  // constraints say; the plain runtime directory gets no check at all.
  if (!launchJavaVersion) launchJavaVersion = checkJavaVersion(std::nullopt, std::nullopt, true, false, std::nullopt);

  std::string home = javaHomeOf(*javaBundlePath, fileManager);
  _DLog("%s [Line %d] Running unpacker on %@", __PRETTY_FUNCTION__, __LINE__, fileURL(home));
  // Unpacked even when the check refused it: a packed runtime cannot run.
  if (Unpacker::unpack(platform::joinPath(home, kJreDirectory), nullptr) && Unpacker::unpack(home, nullptr))
    return;

  // The probe only chooses the message: a runtime the user cannot write to
  // needs another fix than a tool that would not run.
  std::string probe = platform::joinPath(home, kProbeDirectory);
  if (fileManager.fileExists(probe) || !fileManager.createDirectory(probe, false)) {
    displayError(kNonWritablePackDir);
  } else {
    if (!fileManager.removeEmptyDirectory(probe))
      _DLog("%s [Line %d] could not remove _qvr_testdir", __PRETTY_FUNCTION__, __LINE__);
    displayError(kInternalError, std::string(kUnpackFailureDetail));
  }
  platform::exitProcess(1);
}

void Launcher::searchSequence(platform::FileManager& fileManager, const platform::Value& info,
                              const SearchConstraints& constraints) {
  const platform::Value* javaVM = info.get(kJavaVMKey);
  const platform::Value* sequence = javaVM ? javaVM->get(kSearchSequenceKey) : nullptr;
  _DLog("%s [Line %d] search sequence %@", __PRETTY_FUNCTION__, __LINE__, sequence);
  const platform::Array* entries = sequence ? sequence->asArray() : nullptr;
  if (!entries) {
    // No list (also a value of another type): the standard locations.
    findPublicJavaBundle(fileManager, constraints.minVersion, constraints.maxVersion,
                         constraints.requiredVmIdPrefix, constraints.allowBeta);
    return;
  }
  for (const platform::Value& value : *entries) {
    const std::string* entry = value.asString();
    if (entry && !entry->empty()) {
      const std::string argument = entry->substr(1);
      switch ((*entry)[0]) {
        case kEnvironmentEntry:
          _DLog("%s [Line %d] checking environment variable %@", __PRETTY_FUNCTION__, __LINE__, argument);
          findDirectoryJavaBundle(platform::getEnvironment(argument), fileManager, constraints.minVersion,
                                  constraints.maxVersion, constraints.requiredVmIdPrefix,
                                  constraints.allowBeta);
          break;
        case kDirectoryEntry:
          _DLog("%s [Line %d] checking directory %@", __PRETTY_FUNCTION__, __LINE__, argument);
          findDirectoryJavaBundle(argument, fileManager, constraints.minVersion, constraints.maxVersion,
                                  constraints.requiredVmIdPrefix, constraints.allowBeta);
          break;
        case kStandardLocationsEntry:
          _DLog("%s [Line %d] checking standard locations", __PRETTY_FUNCTION__, __LINE__);
          findPublicJavaBundle(fileManager, constraints.minVersion, constraints.maxVersion,
                               constraints.requiredVmIdPrefix, constraints.allowBeta);
          break;
        default:
          break;
      }
    }
    if (javaBundle) return;
  }
}

void Launcher::findDirectoryJavaBundle(const std::optional<std::string>& directory,
                                       platform::FileManager& fileManager,
                                       const std::optional<std::string>& minVersion,
                                       const std::optional<std::string>& maxVersion,
                                       const std::optional<std::string>& requiredVmIdPrefix,
                                       bool allowBeta) {
  if (!directory) return;
  javaBundlePath = replaceVariables(directory);
  if (!javaBundlePath || !fileManager.fileExists(*javaBundlePath)) return;
  javaBundle = platform::Bundle::open(*javaBundlePath);
  launchJavaVersion = checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
  if (!launchJavaVersion) javaBundle.reset();
}

// Standard locations ----------------------------------------------------------

void Launcher::findPublicJavaBundle(platform::FileManager& fileManager,
                                    const std::optional<std::string>& minVersion,
                                    const std::optional<std::string>& maxVersion,
                                    const std::optional<std::string>& requiredVmIdPrefix, bool allowBeta) {
  if (fileManager.fileExists(internetPluginPath) &&
      fileManager.fileExists(platform::joinPath(internetPluginPath, kPluginJava)))
    javaBundle = platform::Bundle::open(internetPluginPath);
  if (javaBundle) {
    std::optional<std::string> infoString = javaBundle->infoDictionary().getString(kInfoStringKey);
    std::optional<std::string> identifier = javaBundle->infoDictionary().getString(kBundleIdentifierKey);
    _DLog("%s [Line %d] JRE %@ %@ %@", __PRETTY_FUNCTION__, __LINE__, internetPluginPath, infoString,
          identifier);
    if ((identifier && identifier->starts_with(kOracleIdentifierPrefix)) ||
        (infoString && infoString->find(kOracleVendor) != std::string::npos)) {
      _DLog("%s [Line %d] Oracle JRE %@", __PRETTY_FUNCTION__, __LINE__, internetPluginPath);
      launchJavaVersion = checkJavaVersion(minVersion, maxVersion, allowBeta, true, requiredVmIdPrefix);
    }
    if (launchJavaVersion) {
      javaBundlePath = internetPluginPath;
      pluginUsed = true;
      return;
    }
    javaBundle.reset();
  }

  std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(virtualMachinesDirectory);
  if (!names) return;
  std::vector<std::string> sorted = sortedByVersionDescending(*names);
  _DLog("%s [Line %d] JDKs %@", __PRETTY_FUNCTION__, __LINE__, sorted);

  for (const std::string& name : sorted) {
    javaBundlePath = platform::joinPath(virtualMachinesDirectory, name);
    _DLog("%s [Line %d] checking %@", __PRETTY_FUNCTION__, __LINE__, *javaBundlePath);
    // Every entry is tried, a plain file included; opening it yields none.
    javaBundle = platform::Bundle::open(*javaBundlePath);
    launchJavaVersion = checkJavaVersion(minVersion, maxVersion, allowBeta, false, requiredVmIdPrefix);
    if (launchJavaVersion) return;
    javaBundle.reset();
  }
}

std::vector<std::string> Launcher::sortedByVersionDescending(const std::vector<std::string>& names) {
  // Each name is stripped once; the comparison then only orders the texts.
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(names.size());
  for (const std::string& name : names) keyed.emplace_back(removeJrePrefix(name), name);
  auto order = [this](const std::string& a, const std::string& b) -> int {
    try {
      return compareVersion(b, a);
    } catch (const std::exception&) {
      return 0;  // a pair that cannot be compared counts as equal
    }
  };
  // A stable merge sort stays within bounds even if the order is not a
  // strict weak ordering for some odd pair of names.
  std::stable_sort(keyed.begin(), keyed.end(),
                   [&order](const auto& a, const auto& b) { return order(a.first, b.first) < 0; });
  std::vector<std::string> sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}
