// Runtime search: the application's own runtime, the search sequence, the
// standard locations (browser plug-in, installed virtual machines) and the
// installation registry of other installed applications.
#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "mac_installer/Launcher.h"
#include "mac_installer/Unpacker.h"
#include "mac_installer/global.h"
#include "platform/Application.h"
#include "platform/Environment.h"
#include "platform/Format.h"
#include "platform/StatusLine.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"

namespace {

// Descriptor key.
constexpr std::string_view kSearchSequenceKey = "SearchSequence";

// The installation registry.
constexpr std::string_view kInstallationsSuite = "com.quorvane.installations";
constexpr std::string_view kInstallationsKey = "/com/quorvane/installations/";
constexpr char kInstallDirectorySeparator = ';';

// The plain runtime directory below the base directory (the runtime bundle
// locations are in Launcher.h), and what marks a location as a runtime.
constexpr const char* kBaseDirJre = ".quorvane/jre";
constexpr const char* kInfoPlist = "Contents/Info.plist";
constexpr const char* kReleaseFile = "release";
constexpr const char* kProbeDirectory = "_qvr_testdir";

// Plug-in vendor test.
constexpr std::string_view kOracleIdentifierPrefix = "com.oracle";
constexpr std::string_view kOracleVendor = "Oracle";

// Environment variables of the standard locations.
constexpr const char* kJavaHomeVariable = "JAVA_HOME";
constexpr const char* kPathVariable = "PATH";

// Search-sequence kinds.
constexpr char kEnvironmentEntry = 'E';
constexpr char kDirectoryEntry = 'R';
constexpr char kStandardLocationsEntry = 'Y';

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

// Whether an own-runtime location holds a runtime at all; an empty
// directory there is not one and does not end the search.
bool holdsRuntime(const std::string& location, const platform::FileManager& fileManager) {
  return fileManager.fileExists(platform::joinPath(location, kInfoPlist)) ||
         fileManager.fileExists(platform::joinPath(location, std::string(kContentsHome))) ||
         fileManager.fileExists(platform::joinPath(location, kReleaseFile));
}

// Why a candidate has no version, in words, for the failure report.
std::string whyNoVersion(const std::string& path, const platform::Bundle* bundle, bool plugin,
                         const platform::FileManager& fileManager) {
  if (!bundle) return fileManager.fileExists(path) ? "not a directory" : "does not exist";
  if (bundle->infoProblem()) return *bundle->infoProblem();
  const platform::Value* javaVM = bundle->objectForInfoDictionaryKey(kJavaVMKey);
  if (javaVM && javaVM->get(kJVMVersionKey)) return "JVMVersion is not a text";
  return plugin ? "no JavaVM/JVMVersion and no CFBundleVersion"
                : "no JavaVM/JVMVersion in Contents/Info.plist";
}

std::string orNone(const std::optional<std::string>& text) {
  return text && !text->empty() ? *text : std::string("none");
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
  searchReport.constraints = constraints;
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

namespace {

// The registry's dictionary. The suite's property list is asked first; the
// Java preferences store next. The first that records this application is
// the registry, so a property list made for other applications does not
// hide the store. Without an application identifier, the first there is.
std::optional<platform::Value> registryInstallations(platform::UserDefaults defaults,
                                                     const std::optional<std::string>& appId) {
  defaults.addSuiteNamed(std::string(kInstallationsSuite));
  if (!appId) return defaults.dictionaryForKey(std::string(kInstallationsKey));
  const std::string key = platform::format("allinstdirs%@", *appId);
  for (platform::Value& dictionary : defaults.dictionariesForKey(std::string(kInstallationsKey)))
    if (dictionary.getString(key)) return std::move(dictionary);
  return std::nullopt;
}

// The runtime bundle the registry records for one installation directory:
// inside the installed application bundle when the registry names it
// (Resources, else PlugIns), else the directory's own ".quorvane/jre.bundle".
std::string registryCandidate(const platform::FileManager& fileManager, const platform::Value& installations,
                              const std::string& appId, const std::string& directory) {
  std::optional<std::string> bundleName =
      installations.getString(platform::format("singleBundleName%@_%@", appId, directory));
  if (!bundleName) return directory + "/" + std::string(kBaseDirJreBundle);
  const std::string application = directory + "/" + *bundleName + "/";
  std::string candidate = application + std::string(kResourcesJreBundle);
  return fileManager.fileExists(candidate) ? candidate : application + std::string(kPlugInsJreBundle);
}

}  // namespace

std::optional<std::string> Launcher::searchRegistry(platform::FileManager& fileManager,
                                                    const platform::Value& info,
                                                    const SearchConstraints& constraints) {
  std::optional<std::string> appId = info.getString(kAppIdKey);
  std::optional<platform::Value> installations = registryInstallations(userDefaults, appId);
  _DLog("%s [Line %d] %@", __PRETTY_FUNCTION__, __LINE__, installations);
  if (!appId) return std::nullopt;
  std::optional<std::string> list =
      installations ? installations->getString(platform::format("allinstdirs%@", *appId)) : std::nullopt;
  if (!list) {
    noteEmptyPlace(platform::format("installation registry: no entry for %@", *appId));
    return std::nullopt;
  }

  for (std::string_view piece : platform::piecesBetween(*list, kInstallDirectorySeparator)) {
    // An empty piece (a stray ";") would otherwise name a runtime at the
    // file-system root.
    if (piece.empty()) continue;
    std::string candidate = registryCandidate(fileManager, *installations, *appId, std::string(piece));
    javaBundlePath = candidate;
    _DLog("%s [Line %d] checking %@", __PRETTY_FUNCTION__, __LINE__, candidate);
    if (!fileManager.fileExists(candidate)) {
      noteEmptyPlace(candidate + ": does not exist");
      continue;
    }
    javaBundle = platform::Bundle::open(candidate);
    launchJavaVersion = checkCandidate(fileManager, candidate, constraints, false);
    if (launchJavaVersion) return candidate;
    javaBundle.reset();
  }
  return std::nullopt;
}

bool Launcher::findOwnRuntime(platform::FileManager& fileManager, const platform::Value& info,
                              const std::string& bundlePath) {
  // A location counts when it holds a runtime with a java to run; then it
  // ends the search. Anything less there is passed over.
  auto bundleAt = [&](const std::string& location) {
    javaBundlePath = location;
    if (!fileManager.isDirectory(location)) return false;
    if (!holdsRuntime(location, fileManager)) {
      _DLog("%s [Line %d] no runtime in %@", __PRETTY_FUNCTION__, __LINE__, location);
      noteEmptyPlace(location + ": holds no runtime");
      return false;
    }
    javaBundle = platform::Bundle::open(location);
    if (!javaBundle) return false;
    if (!fileManager.isExecutableFile(javaExecutableOf(location, fileManager))) {
      checkCandidate(fileManager, location, kAnyVersion, false);
      javaBundle.reset();
      return false;
    }
    return true;
  };
  for (std::string_view inside : {kResourcesJreBundle, kPlugInsJreBundle})
    if (bundleAt(platform::joinPath(bundlePath, std::string(inside)))) return true;
  std::optional<std::string> baseDir = info.getString(kBaseDirKey);
  if (!baseDir) return false;
  std::string base = replacingAppPackage(*baseDir, bundlePath);
  if (bundleAt(platform::joinPath(base, std::string(kBaseDirJreBundle)))) return true;

  // The plain runtime directory is taken without a version check, but only
  // with a java to run.
  javaBundlePath = platform::joinPath(base, kBaseDirJre);
  if (!fileManager.isDirectory(*javaBundlePath)) return false;
  if (fileManager.isExecutableFile(javaExecutableOf(*javaBundlePath, fileManager))) {
    // Not checked: taken as the default version.
    launchJavaVersion = kDefaultLaunchVersion;
    return true;
  }
  _DLog("%s [Line %d] no executable %@", __PRETTY_FUNCTION__, __LINE__,
        javaExecutableOf(*javaBundlePath, fileManager));
  if (searchReport.refusedPaths.insert(*javaBundlePath).second)
    searchReport.refused.push_back(
        {*javaBundlePath, std::nullopt, "a plain runtime directory", "no bin/java"});
  return false;
}

void Launcher::runOwnRuntime(platform::FileManager& fileManager) {
  // The application's own runtime is taken whatever the descriptor's
  // constraints say; the plain runtime directory gets no check at all.
  if (!launchJavaVersion)
    launchJavaVersion = checkCandidate(fileManager, *javaBundlePath, kAnyVersion, false);

  // The home and its "jre" are both unpacked: runtimeHomeOf() is one of them.
  std::string home = contentsHomeOf(*javaBundlePath, fileManager);
  _DLog("%s [Line %d] Running unpacker on %@", __PRETTY_FUNCTION__, __LINE__, fileURL(home));
  // Unpacked even when the check refused it: a packed runtime cannot run.
  if (Unpacker::unpack(platform::joinPath(home, std::string(kJreDirectory)), nullptr) &&
      Unpacker::unpack(home, nullptr))
    return;

  // The probe only chooses the message: a runtime the user cannot write to
  // needs another fix than a tool that would not run.
  std::string probe = platform::joinPath(home, kProbeDirectory);
  if (fileManager.fileExists(probe) || !fileManager.createDirectory(probe, false)) {
    displayError(kNonWritablePackDir);
  } else {
    if (!fileManager.removeEmptyDirectory(probe))
      _DLog("%s [Line %d] could not remove _qvr_testdir", __PRETTY_FUNCTION__, __LINE__);
    displayError(kInternalError, std::string(kUnpackFailure));
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
    // No list (also a value of another type): the standard locations,
    // starting with the runtime the user named in JAVA_HOME.
    findPublicJavaBundle(fileManager, constraints.minVersion, constraints.maxVersion,
                         constraints.requiredVmIdPrefix, constraints.allowBeta, true);
    return;
  }
  if (entries->empty()) noteEmptyPlace("search sequence: empty");
  for (const platform::Value& value : *entries) {
    const std::string* entry = value.asString();
    if (entry && !entry->empty()) {
      const std::string argument = entry->substr(1);
      switch ((*entry)[0]) {
        case kEnvironmentEntry: {
          _DLog("%s [Line %d] checking environment variable %@", __PRETTY_FUNCTION__, __LINE__, argument);
          std::optional<std::string> directory = platform::getEnvironment(argument);
          if (!directory) noteEmptyPlace(platform::format("environment variable %@: not set", argument));
          findDirectoryJavaBundle(directory, fileManager, constraints);
          break;
        }
        case kDirectoryEntry:
          _DLog("%s [Line %d] checking directory %@", __PRETTY_FUNCTION__, __LINE__, argument);
          findDirectoryJavaBundle(argument, fileManager, constraints);
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
                                       const SearchConstraints& constraints) {
  if (!directory) return;
  javaBundlePath = replaceVariables(directory);
  if (!javaBundlePath) return;
  if (!fileManager.fileExists(*javaBundlePath)) {
    noteEmptyPlace(*javaBundlePath + ": does not exist");
    return;
  }
  javaBundle = platform::Bundle::open(*javaBundlePath);
  launchJavaVersion = checkCandidate(fileManager, *javaBundlePath, constraints, false);
  if (!launchJavaVersion) javaBundle.reset();
}

const char* Launcher::checkCandidate(platform::FileManager& fileManager, const std::string& path,
                                     const SearchConstraints& constraints, bool plugin) {
  const char* launchVersion = nullptr;
  // Only a candidate that carries a version gets the executable test; one
  // without is no runtime at all, which the check says.
  if (javaBundle && candidateVersion(*javaBundle, plugin) &&
      !fileManager.isExecutableFile(javaExecutableOf(path, fileManager))) {
    refusalReason = "no bin/java";
    _DLog("%s [Line %d] no executable %@", __PRETTY_FUNCTION__, __LINE__,
          javaExecutableOf(path, fileManager));
  } else {
    launchVersion = checkJavaVersion(constraints.minVersion, constraints.maxVersion, constraints.allowBeta,
                                     plugin, constraints.requiredVmIdPrefix);
  }
  if (launchVersion) return launchVersion;

  // Whatever else the check found: without a version it is no runtime.
  std::optional<std::string> version = javaBundle ? candidateVersion(*javaBundle, plugin) : std::nullopt;
  if (!version) refusalReason = "not a runtime";
  _DLog("%s [Line %d] refused %@: %@", __PRETTY_FUNCTION__, __LINE__, path, refusalReason);
  if (!searchReport.refusedPaths.insert(path).second) return nullptr;
  SearchReport::Refusal refusal{path, version, "", refusalReason};
  if (!version) refusal.noVersion = whyNoVersion(path, javaBundle.get(), plugin, fileManager);
  searchReport.refused.push_back(std::move(refusal));
  return nullptr;
}

std::optional<std::string> Launcher::candidateVersion(const platform::Bundle& bundle, bool plugin) {
  const platform::Value* javaVM = bundle.objectForInfoDictionaryKey(kJavaVMKey);
  const platform::Value* version = javaVM ? javaVM->get(kJVMVersionKey) : nullptr;
  if (!version && plugin) version = bundle.objectForInfoDictionaryKey(kBundleVersionKey);
  const std::string* text = version ? version->asString() : nullptr;
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

// Standard locations ----------------------------------------------------------

namespace {

// One entry of the virtual-machines directory, opened once for its version.
struct Installed {
  std::string name;
  std::string path;
  std::shared_ptr<platform::Bundle> bundle;
  std::optional<std::string> version;
  std::string strippedName;
  std::optional<platform::FileIdentity> identity;
};

// Order of the token reading, highest first.
int descending(Launcher& launcher, const std::string& a, const std::string& b) {
  return launcher.compareVersion(std::string_view(b), std::string_view(a));
}

// Highest version first; candidates without a version last. Equal versions
// are ordered by their names without the vendor prefix, highest first, and
// then by the names themselves, so that the order never depends on the
// directory listing.
void sortByVersion(Launcher& launcher, std::vector<Installed>& entries) {
  std::stable_sort(entries.begin(), entries.end(), [&launcher](const Installed& a, const Installed& b) {
    if (a.version.has_value() != b.version.has_value()) return a.version.has_value();
    if (a.version)
      if (int order = descending(launcher, *a.version, *b.version)) return order < 0;
    if (int order = descending(launcher, a.strippedName, b.strippedName)) return order < 0;
    return a.name < b.name;
  });
}

// Entries that are the same directory (a link to another entry) are kept
// once, at the place of the first, under the real directory's name when one
// of them is not a link.
std::vector<Installed> withoutDuplicates(std::vector<Installed> entries,
                                         const platform::FileManager& fileManager) {
  std::vector<Installed> unique;
  std::map<platform::FileIdentity, std::size_t> firstAt;
  for (Installed& entry : entries) {
    if (entry.identity) {
      auto [at, inserted] = firstAt.emplace(*entry.identity, unique.size());
      if (!inserted) {
        Installed& kept = unique[at->second];
        _DLog("%s [Line %d] %@ is the same runtime as %@", __PRETTY_FUNCTION__, __LINE__, entry.path,
              kept.path);
        if (fileManager.isSymbolicLink(kept.path) && !fileManager.isSymbolicLink(entry.path))
          std::swap(kept, entry);
        continue;
      }
    }
    unique.push_back(std::move(entry));
  }
  return unique;
}

}  // namespace

void Launcher::findPublicJavaBundle(platform::FileManager& fileManager,
                                    const std::optional<std::string>& minVersion,
                                    const std::optional<std::string>& maxVersion,
                                    const std::optional<std::string>& requiredVmIdPrefix, bool allowBeta,
                                    bool javaHomeFirst) {
  const SearchConstraints constraints{minVersion, maxVersion, requiredVmIdPrefix, allowBeta};
  const std::string pluginHome = platform::joinPath(internetPluginPath, std::string(kContentsHome));
  if (fileManager.fileExists(internetPluginPath) &&
      fileManager.fileExists(platform::joinPath(pluginHome, std::string(kJavaExecutable))))
    javaBundle = platform::Bundle::open(internetPluginPath);
  if (javaBundle) {
    std::optional<std::string> infoString = javaBundle->infoDictionary().getString(kInfoStringKey);
    std::optional<std::string> identifier = javaBundle->infoDictionary().getString(kBundleIdentifierKey);
    _DLog("%s [Line %d] JRE %@ %@ %@", __PRETTY_FUNCTION__, __LINE__, internetPluginPath, infoString,
          identifier);
    if ((identifier && identifier->starts_with(kOracleIdentifierPrefix)) ||
        (infoString && infoString->find(kOracleVendor) != std::string::npos)) {
      _DLog("%s [Line %d] Oracle JRE %@", __PRETTY_FUNCTION__, __LINE__, internetPluginPath);
      launchJavaVersion = checkCandidate(fileManager, internetPluginPath, constraints, true);
    }
    if (launchJavaVersion) {
      javaBundlePath = internetPluginPath;
      pluginUsed = true;
      return;
    }
    javaBundle.reset();
  }

  std::set<platform::FileIdentity> checked;
  if (javaHomeFirst && findJavaHomeBundle(fileManager, constraints, checked)) return;
  if (findInstalledJavaBundle(fileManager, constraints, checked)) return;
  findPathJavaBundle(fileManager, constraints, checked);
}

bool Launcher::tryStandardCandidate(platform::FileManager& fileManager, const std::string& path,
                                    std::shared_ptr<platform::Bundle> bundle,
                                    std::optional<platform::FileIdentity> identity,
                                    const SearchConstraints& constraints,
                                    std::set<platform::FileIdentity>& checked) {
  if (!bundle) identity = fileManager.identityOf(path);
  if (identity && !checked.insert(*identity).second) {
    _DLog("%s [Line %d] %@ was checked already", __PRETTY_FUNCTION__, __LINE__, path);
    return false;
  }
  javaBundlePath = path;
  _DLog("%s [Line %d] checking %@", __PRETTY_FUNCTION__, __LINE__, path);
  // Every entry is tried, a plain file included; opening it yields none.
  javaBundle = bundle ? std::move(bundle) : platform::Bundle::open(path);
  launchJavaVersion = checkCandidate(fileManager, path, constraints, false);
  if (launchJavaVersion) return true;
  javaBundle.reset();
  return false;
}

bool Launcher::findJavaHomeBundle(platform::FileManager& fileManager, const SearchConstraints& constraints,
                                  std::set<platform::FileIdentity>& checked) {
  std::optional<std::string> home = platform::getEnvironment(kJavaHomeVariable);
  _DLog("%s [Line %d] checking environment variable %@", __PRETTY_FUNCTION__, __LINE__, kJavaHomeVariable);
  if (!home || home->empty()) {
    noteEmptyPlace(platform::format("environment variable %@: not set", kJavaHomeVariable));
    return false;
  }
  if (!fileManager.fileExists(*home)) {
    noteEmptyPlace(platform::format("%@ (%@): does not exist", *home, kJavaHomeVariable));
    return false;
  }
  return tryStandardCandidate(fileManager, *home, nullptr, std::nullopt, constraints, checked);
}

bool Launcher::findInstalledJavaBundle(platform::FileManager& fileManager,
                                       const SearchConstraints& constraints,
                                       std::set<platform::FileIdentity>& checked) {
  std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(virtualMachinesDirectory);
  if (!names) {
    noteEmptyPlace(virtualMachinesDirectory + ": cannot be read");
    return false;
  }
  std::vector<Installed> entries;
  entries.reserve(names->size());
  for (std::string& name : *names) {
    Installed entry;
    entry.path = platform::joinPath(virtualMachinesDirectory, name);
    entry.bundle = platform::Bundle::open(entry.path);
    if (entry.bundle) entry.version = candidateVersion(*entry.bundle, false);
    entry.strippedName = removeJrePrefix(name);
    entry.identity = fileManager.identityOf(entry.path);
    entry.name = std::move(name);
    entries.push_back(std::move(entry));
  }
  sortByVersion(*this, entries);
  entries = withoutDuplicates(std::move(entries), fileManager);

  std::vector<std::string> sorted;
  sorted.reserve(entries.size());
  for (const Installed& entry : entries) sorted.push_back(entry.name);
  _DLog("%s [Line %d] JDKs %@", __PRETTY_FUNCTION__, __LINE__, sorted);
  if (entries.empty()) noteEmptyPlace(virtualMachinesDirectory + ": empty");

  for (Installed& entry : entries)
    if (tryStandardCandidate(fileManager, entry.path, std::move(entry.bundle), entry.identity, constraints,
                             checked))
      return true;
  return false;
}

bool Launcher::findPathJavaBundle(platform::FileManager& fileManager, const SearchConstraints& constraints,
                                  std::set<platform::FileIdentity>& checked) {
  std::optional<std::string> java;
  if (std::optional<std::string> searchPath = platform::getEnvironment(kPathVariable)) {
    for (std::string_view directory : platform::piecesBetween(*searchPath, ':')) {
      // An empty entry would mean the current directory, which is no place
      // to take a runtime from.
      if (directory.empty() || directory.front() != '/') continue;
      std::string candidate = platform::joinPath(std::string(directory), "java");
      if (!fileManager.isExecutableFile(candidate)) continue;
      java = std::move(candidate);
      break;
    }
  }
  _DLog("%s [Line %d] java on PATH %@", __PRETTY_FUNCTION__, __LINE__, java);
  // The java found exists (links followed), so its real path resolves whole.
  std::optional<std::string> real = java ? std::optional(fileManager.resolvingSymlinks(*java)) : std::nullopt;
  if (!real) {
    noteEmptyPlace("PATH: no java");
    return false;
  }
  // The home is the real file's bin/..; a runtime whose java lies in its
  // nested jre (bin/java of jre/) is the directory around that jre.
  std::string home = platform::deletingLastPathComponent(platform::deletingLastPathComponent(*real));
  if (platform::lastPathComponent(home) == kJreDirectory && !holdsRuntime(home, fileManager)) {
    std::string outer = platform::deletingLastPathComponent(home);
    if (holdsRuntime(outer, fileManager)) home = outer;
  }
  return tryStandardCandidate(fileManager, home, nullptr, std::nullopt, constraints, checked);
}

// Failure report ------------------------------------------------------------------

void Launcher::noteEmptyPlace(const std::string& place) {
  if (std::find(searchReport.nothing.begin(), searchReport.nothing.end(), place) ==
      searchReport.nothing.end())
    searchReport.nothing.push_back(place);
}

std::string Launcher::searchReportText() const {
  const SearchConstraints& c = searchReport.constraints;
  std::string text = platform::format(
      "No suitable Java runtime was found. Constraints: minimum %@, maximum %@, pre-releases %s, "
      "identifier prefix %@, architecture %@.\n",
      orNone(c.minVersion), orNone(c.maxVersion), c.allowBeta ? "allowed" : "not allowed",
      orNone(c.requiredVmIdPrefix), architectureName(platform::kRequiredCpuType));
  if (searchReport.refused.empty() && searchReport.nothing.empty())
    text += "  No place held a runtime to look at.\n";
  for (const SearchReport::Refusal& refusal : searchReport.refused) {
    std::string version =
        refusal.version ? "version " + *refusal.version : "no version: " + refusal.noVersion;
    text += platform::format("  %@ (%@): %@\n", refusal.path, version, refusal.reason);
  }
  for (const std::string& place : searchReport.nothing) text += "  " + place + "\n";
  text += "Run with QUORVANE_LOG=yes for the full trace.\n";
  return text;
}

void Launcher::writeSearchReport() const { platform::writeStandardError(searchReportText()); }

void Launcher::reportMissingRuntime() const {
  writeSearchReport();
  displayError(kAppleJavaMinVersionError, getJavaMinVersion(),
               platform::Bundle::mainBundle()->infoDictionary().getString(kBundleNameKey));
}
