// Launch configuration: the Java parameters of the information dictionary, VM
// options files, variable substitution and class-path entry resolution.
#include <algorithm>
#include <cstdint>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Format.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"

namespace {

constexpr std::string_view kWorkingDirectoryKey = "WorkingDirectory";
constexpr std::string_view kClassPathKey = "ClassPath";
constexpr std::string_view kVMOptionArrayKey = "VMOptionArray";
constexpr std::string_view kVersionSpecificVMOptionsKey = "VersionSpecificVMOptions";
constexpr std::string_view kOptionsFileKey = "OptionsFile";
constexpr std::string_view kSplashFileKey = "SplashFile";
constexpr std::string_view kModulePathKey = "ModulePath";
constexpr std::string_view kArgumentArrayKey = "ArgumentArray";
constexpr std::string_view kMainClassKey = "MainClass";
constexpr std::string_view kStartOnMainThreadKey = "StartOnMainThread";
constexpr std::string_view kBundleIconFileKey = "CFBundleIconFile";
constexpr std::string_view kAppleLocaleKey = "AppleLocale";

constexpr std::string_view kLauncherDirectoryVariable = "${launcher:sys.launcherDirectory}";
constexpr std::string_view kPathlistSeparatorVariable = "${launcher:sys.pathlistSeparator}";
constexpr std::string_view kTempDirVariable = "${launcher:sys.tempDir}";
constexpr std::string_view kJvmHomeVariable = "${launcher:sys.jvmHome}";

constexpr std::string_view kClassPathDirective = "-classpath ";
constexpr std::string_view kPrependClassPathDirective = "-classpath/p ";
constexpr std::string_view kAppendClassPathDirective = "-classpath/a ";
constexpr std::string_view kIncludeOptionsDirective = "-include-options ";

// Limits of options-file includes. A file already being read (on the chain
// of files that include one another) is never included again, which ends
// every cycle; the depth bounds how many files are open at once, and the
// total bounds a fan-out of distinct files (each including the next one
// twice would otherwise read 2^depth files).
constexpr size_t kMaxOptionsFileDepth = 32;
constexpr int kMaxIncludesPerLaunch = 1000;

// One left-to-right sweep: every non-overlapping occurrence is replaced and
// the inserted text is not searched again.
void replaceAll(std::string& text, std::string_view what, std::string_view with) {
  if (what.empty()) return;
  size_t at = text.find(what);
  if (at == std::string::npos) return;
  std::string out;
  out.reserve(text.size() + with.size());
  size_t from = 0;
  for (; at != std::string::npos; at = text.find(what, from)) {
    out.append(text, from, at - from);
    out.append(with);
    from = at + what.size();
  }
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

// Removes one pair of enclosing double quotation marks; a lone mark stays.
std::string unquoted(std::string path) {
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"') return path.substr(1, path.size() - 2);
  return path;
}

// The class path with entries put before (prepend) or after it. Neither side
// is joined when empty: an empty entry would put the current directory on
// Java's class path.
std::optional<std::string> withEntries(std::optional<std::string> classPath, std::string entries,
                                       bool prepend) {
  if (!classPath || classPath->empty()) return entries;
  if (entries.empty()) return classPath;
  return prepend ? entries + ":" + *classPath : *classPath + ":" + entries;
}

// "~" names the home directory only as a whole first component.
bool startsWithHome(std::string_view path) { return path == "~" || path.starts_with("~/"); }

bool isAbsolutePath(std::string_view path) { return path.starts_with("/") || startsWithHome(path); }

// The path of the options file a caller names: a leading "~" becomes the
// home directory, then "$APP_PACKAGE" the bundle path. In this order, a "~"
// inside the bundle's own path (a folder "dist~1") stays as it is.
std::string optionsFilePath(std::string name, const std::string& bundlePath) {
  if (startsWithHome(name)) name.replace(0, 1, platform::homeDirectory());
  return replacingAppPackage(std::move(name), bundlePath);
}

// Whole-text match where "*" is any run of characters and "?" exactly one.
bool matchesPattern(std::string_view text, std::string_view pattern) {
  size_t t = 0, p = 0, star = std::string_view::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
      ++t;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string replacingAppPackage(std::string text, const std::string& bundlePath) {
  replaceAll(text, kAppPackageVariable, bundlePath);
  return text;
}

// Variable substitution ------------------------------------------------------------

std::optional<std::string> Launcher::replaceVariables(const std::optional<std::string>& text) {
  _DLog("%s [Line %d] replacing %@", __PRETTY_FUNCTION__, __LINE__, text);
  if (!text) {
    _DLog("%s [Line %d] returning %@", __PRETTY_FUNCTION__, __LINE__, text);
    return std::nullopt;
  }
  const std::string bundlePath = platform::Bundle::mainBundle()->bundlePath();
  std::string result = replacingAppPackage(*text, bundlePath);
  // Every later variable is written "${...}", and a value is only inserted
  // where such a reference stood: without "${" no later sweep can change
  // anything, so the sweeps are skipped.
  if (result.find("${") != std::string::npos) {
    replaceAll(result, kLauncherDirectoryVariable, bundlePath);
    replaceAll(result, kPathlistSeparatorVariable, ":");
    replaceAll(result, kTempDirVariable, platform::temporaryDirectory());
    if (javaBundlePath && result.find(kJvmHomeVariable) != std::string::npos) {
      platform::FileManager fileManager;
      replaceAll(result, kJvmHomeVariable, runtimeHomeOf(*javaBundlePath, fileManager));
    }
    std::string reference;
    for (const auto& [name, value] : platform::environmentEntries()) {
      if (result.find("${") == std::string::npos) break;
      reference.assign("${").append(name).append("}");
      replaceAll(result, reference, value);
    }
  }
  _DLog("%s [Line %d] returning %@", __PRETTY_FUNCTION__, __LINE__, result);
  return result;
}

// Class-path entries ---------------------------------------------------------------

std::optional<std::string> Launcher::resolveArtifactPath(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  std::optional<std::string> result;
  auto add = [&result](std::string_view entry) {
    if (result)
      result->append(":").append(entry);
    else
      result = entry;
  };
  platform::FileManager fileManager;
  for (std::string_view entry : platform::piecesBetween(*path, ':')) {
    if (entry.starts_with("$")) {
      if (std::optional<std::string> value = platform::getEnvironment(std::string(entry.substr(1))))
        add(*value);
    } else if (entry.ends_with("/*")) {
      std::string directory(entry.substr(0, entry.size() - 1));
      _DLog("%s [Line %d] scanning directory %@", __PRETTY_FUNCTION__, __LINE__, directory);
      std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(directory);
      if (!names) continue;
      for (const std::string& name : *names)
        if (name.ends_with(".jar") || name.ends_with(".zip")) add(directory + name);
    } else {
      add(entry);
    }
  }
  return result;
}

// VM options files -----------------------------------------------------------------

std::optional<std::string> Launcher::readOptionsFile(const std::optional<std::string>& name,
                                                     std::vector<std::string>& options,
                                                     std::optional<std::string> classPath,
                                                     const std::string& bundlePath, bool include) {
  if (!name) return classPath;
  const std::string path = optionsFilePath(*name, bundlePath);
  _DLog("%s [Line %d] option file %@", __PRETTY_FUNCTION__, __LINE__, path);
  platform::FileManager fileManager;
  std::string identity = fileManager.resolvingSymlinks(path);
  if (std::find(optionsFileChain.begin(), optionsFileChain.end(), identity) != optionsFileChain.end()) {
    _DLog("%s [Line %d] include not followed: %@ is already being read", __PRETTY_FUNCTION__, __LINE__, path);
    return classPath;
  }
  if (optionsFileChain.size() >= kMaxOptionsFileDepth) {
    _DLog("%s [Line %d] include not followed: options files nested deeper than %d", __PRETTY_FUNCTION__,
          __LINE__, static_cast<int>(kMaxOptionsFileDepth));
    return classPath;
  }
  if (include && includesFollowed >= kMaxIncludesPerLaunch) {
    _DLog("%s [Line %d] include not followed: more than %d includes in one launch", __PRETTY_FUNCTION__,
          __LINE__, kMaxIncludesPerLaunch);
    return classPath;
  }
  if (include) ++includesFollowed;
  std::optional<std::string> text = fileManager.contentsOfRegularFile(path);
  if (!text || !platform::isValidUtf8(*text)) return classPath;

  optionsFileChain.push_back(std::move(identity));
  try {
    classPath = readOptionsLines(*text, platform::deletingLastPathComponent(path), options,
                                 std::move(classPath), bundlePath);
  } catch (...) {
    optionsFileChain.pop_back();
    throw;
  }
  optionsFileChain.pop_back();
  return classPath;
}

std::optional<std::string> Launcher::readOptionsLines(std::string_view text, const std::string& directory,
                                                      std::vector<std::string>& options,
                                                      std::optional<std::string> classPath,
                                                      const std::string& bundlePath) {
  // Blank lines (CR LF gives one) are skipped below, whichever break ends a line.
  for (std::string_view rawLine : platform::linesEndedByCrOrLf(platform::withoutByteOrderMark(text))) {
    std::string line = platform::trimmed(rawLine, platform::WhiteSpace::blanks);
    _DLog("%s [Line %d] option %@", __PRETTY_FUNCTION__, __LINE__, line);
    if (line.empty() || line.front() == '#') continue;
    line = *replaceVariables(line);
    if (line.starts_with(kClassPathDirective)) {
      classPath = line.substr(kClassPathDirective.size());
    } else if (line.starts_with(kPrependClassPathDirective)) {
      classPath = withEntries(std::move(classPath), line.substr(kPrependClassPathDirective.size()), true);
    } else if (line.starts_with(kAppendClassPathDirective)) {
      classPath = withEntries(std::move(classPath), line.substr(kAppendClassPathDirective.size()), false);
    } else if (line.starts_with(kIncludeOptionsDirective)) {
      std::string include = unquoted(line.substr(kIncludeOptionsDirective.size()));
      if (!isAbsolutePath(include)) include = platform::joinPath(directory, include);
      classPath = readOptionsFile(include, options, std::move(classPath), bundlePath, true);
    } else {
      options.push_back(std::move(line));
    }
  }
  return classPath;
}

// Java parameters ------------------------------------------------------------------

std::optional<std::string> Launcher::addPredefinedOptions(const platform::Value* entries,
                                                          std::vector<std::string>& options,
                                                          const std::string& bundlePath,
                                                          std::optional<std::string> classPath) {
  const platform::Array* list = entries ? entries->asArray() : nullptr;
  if (!list) return classPath;
  for (const platform::Value& value : *list) {
    const std::string* entry = value.asString();
    if (!entry) continue;
    if (entry->starts_with(kIncludeOptionsDirective)) {
      // "$APP_PACKAGE" is replaced before the path is judged, so an entry
      // naming a file inside the bundle reaches it as the same options-file
      // line would.
      std::string path =
          replacingAppPackage(unquoted(entry->substr(kIncludeOptionsDirective.size())), bundlePath);
      if (!isAbsolutePath(path))
        path = platform::joinPath(platform::deletingLastPathComponent(bundlePath), path);
      classPath = readOptionsFile(path, options, std::move(classPath), bundlePath, true);
    } else {
      options.push_back(*replaceVariables(*entry));
    }
  }
  return classPath;
}

std::optional<std::string> Launcher::addVersionSpecificOptions(const platform::Value* sets,
                                                               std::vector<std::string>& options,
                                                               const std::string& bundlePath,
                                                               std::optional<std::string> classPath) {
  const platform::Array* list = sets ? sets->asArray() : nullptr;
  if (!list || list->size() < 2) return classPath;
  for (size_t i = 0; i + 1 < list->size(); i += 2) {
    const platform::Value& key = (*list)[i];
    const platform::Value& entries = (*list)[i + 1];
    const std::string* text = key.asString();
    if (text && text->starts_with("*")) {
      if (!javaVersion || !matchesPattern(*javaVersion, std::string_view(*text).substr(1))) continue;
      _DLog("%s [Line %d] using version specific options %@ %@ %@", __PRETTY_FUNCTION__, __LINE__,
            javaVersion, key, entries);
    } else {
      std::vector<std::string_view> bounds =
          text ? platform::piecesBetween(*text, '-') : std::vector<std::string_view>{};
      if (bounds.size() != 2) {
        _DLog("%s [Line %d] ERROR in version specific options %@", __PRETTY_FUNCTION__, __LINE__, key);
        continue;
      }
      std::int32_t low = platform::leadingInt32(bounds[0]);
      std::int32_t high = platform::leadingInt32(bounds[1]);
      if (javaMajorVersion < low || javaMajorVersion > high) continue;
      _DLog("%s [Line %d] using version specific options %@ %@ %@ %d %d %d", __PRETTY_FUNCTION__, __LINE__,
            javaVersion, key, entries, javaMajorVersion, low, high);
    }
    return addPredefinedOptions(&entries, options, bundlePath, std::move(classPath));
  }
  return classPath;
}

void Launcher::readJavaParameters(platform::FileManager& fileManager, std::vector<std::string>& options,
                                  std::optional<std::string>& mainClass, std::vector<std::string>& args,
                                  bool* firstThread) {
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  const std::string bundlePath = bundle->bundlePath();

  if (std::optional<std::string> locale = userDefaults.stringForKey(std::string(kAppleLocaleKey)))
    platform::setEnvironmentIfAbsent("LANG", *locale + ".UTF-8");

  const platform::Value& info = bundle->infoDictionary();
  static const platform::Value kEmptyDictionary{platform::Dictionary{}};
  const platform::Value* found = info.get(kJavaVMKey);
  const platform::Value& javaVM = found && found->asDictionary() ? *found : kEmptyDictionary;

  fileManager.changeCurrentDirectory(
      replacingAppPackage(javaVM.getString(kWorkingDirectoryKey).value_or(bundlePath), bundlePath));

  options.clear();
  std::optional<std::string> classPath = addConfiguredOptions(javaVM, options, bundlePath);
  addLaunchOptions(info, javaVM, classPath, options, bundlePath);
  args.clear();
  addArguments(info, javaVM, options, args);

  mainClass = javaVM.getString(kMainClassKey);
  if (firstThread) *firstThread = platform::truthValue(javaVM.get(kStartOnMainThreadKey));
}

std::optional<std::string> Launcher::addConfiguredOptions(const platform::Value& javaVM,
                                                          std::vector<std::string>& options,
                                                          const std::string& bundlePath) {
  std::optional<std::string> classPath = javaVM.getString(kClassPathKey);
  if (classPath) classPath = replacingAppPackage(std::move(*classPath), bundlePath);
  classPath = addPredefinedOptions(javaVM.get(kVMOptionArrayKey), options, bundlePath, std::move(classPath));
  classPath = addVersionSpecificOptions(javaVM.get(kVersionSpecificVMOptionsKey), options, bundlePath,
                                        std::move(classPath));
  // The options file beside the bundle: "Setup.app" reads "Setup.vmoptions".
  if (bundlePath.size() >= 3) {
    std::string bundleOptionsFile = bundlePath.substr(0, bundlePath.size() - 3) + "vmoptions";
    classPath = readOptionsFile(bundleOptionsFile, options, std::move(classPath), bundlePath);
  }
  return readOptionsFile(javaVM.getString(kOptionsFileKey), options, std::move(classPath), bundlePath);
}

void Launcher::addLaunchOptions(const platform::Value& info, const platform::Value& javaVM,
                                const std::optional<std::string>& classPath,
                                std::vector<std::string>& options, const std::string& bundlePath) {
  if (std::optional<std::string> splash = javaVM.getString(kSplashFileKey))
    options.push_back(platform::format("-splash:%@", replacingAppPackage(std::move(*splash), bundlePath)));
  if (std::optional<std::string> resolved = resolveArtifactPath(classPath); resolved && !resolved->empty())
    options.push_back(platform::format("-Djava.class.path=%@", *resolved));
  std::optional<std::string> modulePath =
      resolveArtifactPath(replaceVariables(javaVM.getString(kModulePathKey)));
  if (modulePath && !modulePath->empty()) {
    options.emplace_back("-p");
    options.push_back(*modulePath);
  }
  if (passDockOptions) {
    if (std::optional<std::string> icon = info.getString(kBundleIconFileKey))
      options.push_back(platform::format("-Xdock:icon=%@/Contents/Resources/%@", bundlePath, *icon));
    std::optional<std::string> name = info.getString(kBundleNameKey);
    if (!name) name = platform::deletingPathExtension(platform::lastPathComponent(bundlePath));
    options.push_back(platform::format("-Xdock:name=%@", *name));
  }
  options.push_back(platform::format("-Dqvr.ownBundlePath=%@", bundlePath));
}

void Launcher::addArguments(const platform::Value& info, const platform::Value& javaVM,
                            std::vector<std::string>& options, std::vector<std::string>& args) {
  if (const platform::Value* entries = javaVM.get(kArgumentArrayKey); entries && entries->asArray())
    for (const platform::Value& entry : *entries->asArray())
      if (const std::string* text = entry.asString()) args.push_back(*replaceVariables(*text));

  // Command-line arguments pass through no substitution.
  const bool passthrough = platform::truthValue(info.get(kAllowPassthroughKey));
  const std::vector<std::string> commandLine =
      commandLineArguments ? *commandLineArguments : platform::processArguments();
  for (size_t i = 1; i < commandLine.size(); ++i) {
    const std::string& argument = commandLine[i];
    if (i == 1 && argument.starts_with("-psn_")) continue;
    _DLog("%s [Line %d] cl arg: %@ ", __PRETTY_FUNCTION__, __LINE__, argument);
    if (passthrough && argument.starts_with("-J"))
      options.push_back(argument.substr(2));
    else
      args.push_back(argument);
  }
}
