// Launch configuration: the Java parameters of the information dictionary, VM
// options files, variable substitution and class-path entry resolution.
#include <utf8proc.h>

#include <algorithm>
#include <climits>
#include <cstdint>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Format.h"
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

// Editors may start a UTF-8 file with a byte-order mark; it is no text.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

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
  if (path.size() >= 2 && path.front() == '"' && path.back() == '"')
    return path.substr(1, path.size() - 2);
  return path;
}

// "~" names the home directory only as a whole first component.
bool startsWithHome(std::string_view path) { return path == "~" || startsWith(path, "~/"); }

bool isAbsolutePath(std::string_view path) { return startsWith(path, "/") || startsWithHome(path); }

// The path of the options file a caller names: a leading "~" becomes the
// home directory, then "$APP_PACKAGE" the bundle path. In this order, a "~"
// inside the bundle's own path (a folder "dist~1") stays as it is.
std::string optionsFilePath(std::string name, const std::string& bundlePath) {
  if (startsWithHome(name)) name.replace(0, 1, platform::homeDirectory());
  replaceAll(name, kAppPackageVariable, bundlePath);
  return name;
}

// Joins a relative path to a directory; a file without a directory part
// keeps its relative path (an empty directory would otherwise make it absolute).
std::string joinedToDirectory(const std::string& directory, const std::string& path) {
  return platform::joinPath(directory, path);
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

// The integer reading of a range bound: leading white space, an optional
// sign, then decimal digits up to the first other character; no digits is 0.
// Values beyond the 32-bit range saturate.
std::int32_t integerValue(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t(INT32_MAX) + 1) value = std::int64_t(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<std::int32_t>(value);
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t from = 0;
  for (;;) {
    size_t at = text.find(separator, from);
    if (at == std::string::npos) {
      parts.push_back(text.substr(from));
      return parts;
    }
    parts.push_back(text.substr(from, at - from));
    from = at + 1;
  }
}

// Option-file text ---------------------------------------------------------------

bool isValidUtf8(const std::string& text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t length = static_cast<utf8proc_ssize_t>(text.size());
  for (utf8proc_ssize_t at = 0; at < length;) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(bytes + at, length - at, &cp);
    if (n <= 0) return false;
    at += n;
  }
  return true;
}

bool isTrimmed(utf8proc_int32_t cp) {
  return cp == '\t' || utf8proc_category(cp) == UTF8PROC_CATEGORY_ZS;
}

// The line without tabs and Zs spaces at both ends; the text is valid UTF-8.
std::string trimmed(std::string_view line) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(line.data());
  utf8proc_ssize_t length = static_cast<utf8proc_ssize_t>(line.size());
  utf8proc_ssize_t begin = 0, end = 0, at = 0;
  bool seen = false;
  while (at < length) {
    utf8proc_int32_t cp;
    utf8proc_ssize_t n = utf8proc_iterate(bytes + at, length - at, &cp);
    if (n <= 0) break;
    if (!isTrimmed(cp)) {
      if (!seen) begin = at;
      seen = true;
      end = at + n;
    }
    at += n;
  }
  if (!seen) return {};
  return std::string(line.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t from = 0;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text[at] == '\r' || text[at] == '\n') {
      lines.push_back(text.substr(from, at - from));
      from = at + 1;
    }
  }
  if (from < text.size()) lines.push_back(text.substr(from));
  return lines;
}

}  // namespace

// Variable substitution ------------------------------------------------------------

std::optional<std::string> Launcher::replaceVariables(const std::optional<std::string>& text) {
  _DLog("%s [Line %d] replacing %@", __PRETTY_FUNCTION__, __LINE__, text);
  if (!text) {
    _DLog("%s [Line %d] returning %@", __PRETTY_FUNCTION__, __LINE__, text);
    return std::nullopt;
  }
  std::string result = *text;
  const std::string bundlePath = platform::Bundle::mainBundle()->bundlePath();
  replaceAll(result, kAppPackageVariable, bundlePath);
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
  auto add = [&result](const std::string& entry) {
    if (result)
      result->append(":").append(entry);
    else
      result = entry;
  };
  platform::FileManager fileManager;
  for (const std::string& entry : splitAt(*path, ':')) {
    if (startsWith(entry, "$")) {
      if (std::optional<std::string> value = platform::getEnvironment(entry.substr(1))) add(*value);
    } else if (endsWith(entry, "/*")) {
      std::string directory = entry.substr(0, entry.size() - 1);
      _DLog("%s [Line %d] scanning directory %@", __PRETTY_FUNCTION__, __LINE__, directory);
      std::optional<std::vector<std::string>> names = fileManager.contentsOfDirectory(directory);
      if (!names) continue;
      for (const std::string& name : *names)
        if (endsWith(name, ".jar") || endsWith(name, ".zip")) add(directory + name);
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
                                                     const std::string& bundlePath) {
  return readOptionsFile(name, options, std::move(classPath), bundlePath, false);
}

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
  if (!text || !isValidUtf8(*text)) return classPath;

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
  if (startsWith(text, kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  for (std::string_view rawLine : splitLines(text)) {
    std::string line = trimmed(rawLine);
    _DLog("%s [Line %d] option %@", __PRETTY_FUNCTION__, __LINE__, line);
    if (line.empty() || line.front() == '#') continue;
    line = *replaceVariables(line);
    if (startsWith(line, kClassPathDirective)) {
      classPath = line.substr(kClassPathDirective.size());
    } else if (startsWith(line, kPrependClassPathDirective)) {
      std::string rest = line.substr(kPrependClassPathDirective.size());
      // An empty entry would put the current directory on Java's class path.
      if (!classPath || classPath->empty())
        classPath = rest;
      else if (!rest.empty())
        classPath = rest + ":" + *classPath;
    } else if (startsWith(line, kAppendClassPathDirective)) {
      std::string rest = line.substr(kAppendClassPathDirective.size());
      if (!classPath || classPath->empty())
        classPath = rest;
      else if (!rest.empty())
        classPath = *classPath + ":" + rest;
    } else if (startsWith(line, kIncludeOptionsDirective)) {
      std::string include = unquoted(line.substr(kIncludeOptionsDirective.size()));
      if (!isAbsolutePath(include)) include = joinedToDirectory(directory, include);
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
    if (startsWith(*entry, kIncludeOptionsDirective)) {
      std::string path = unquoted(entry->substr(kIncludeOptionsDirective.size()));
      // "$APP_PACKAGE" is replaced before the path is judged, so an entry
      // naming a file inside the bundle reaches it as the same options-file
      // line would.
      replaceAll(path, kAppPackageVariable, bundlePath);
      if (!isAbsolutePath(path))
        path = joinedToDirectory(platform::deletingLastPathComponent(bundlePath), path);
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
    if (text && startsWith(*text, "*")) {
      if (!javaVersion || !matchesPattern(*javaVersion, std::string_view(*text).substr(1))) continue;
      _DLog("%s [Line %d] using version specific options %@ %@ %@", __PRETTY_FUNCTION__, __LINE__,
            javaVersion, key, entries);
    } else {
      std::vector<std::string> bounds = text ? splitAt(*text, '-') : std::vector<std::string>{};
      if (bounds.size() != 2) {
        _DLog("%s [Line %d] ERROR in version specific options %@", __PRETTY_FUNCTION__, __LINE__, key);
        continue;
      }
      std::int32_t low = integerValue(bounds[0]);
      std::int32_t high = integerValue(bounds[1]);
      if (javaMajorVersion < low || javaMajorVersion > high) continue;
      _DLog("%s [Line %d] using version specific options %@ %@ %@ %d %d %d", __PRETTY_FUNCTION__,
            __LINE__, javaVersion, key, entries, javaMajorVersion, low, high);
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

  platform::UserDefaults defaults;
  if (std::optional<std::string> locale = defaults.stringForKey(std::string(kAppleLocaleKey)))
    platform::setEnvironmentIfAbsent("LANG", *locale + ".UTF-8");

  const platform::Value& info = bundle->infoDictionary();
  static const platform::Value kEmptyDictionary{platform::Dictionary{}};
  const platform::Value* found = info.get(kJavaVMKey);
  const platform::Value& javaVM = found && found->asDictionary() ? *found : kEmptyDictionary;

  std::string workingDirectory = javaVM.getString(kWorkingDirectoryKey).value_or(bundlePath);
  replaceAll(workingDirectory, kAppPackageVariable, bundlePath);
  fileManager.changeCurrentDirectory(workingDirectory);

  options.clear();
  std::optional<std::string> classPath = javaVM.getString(kClassPathKey);
  if (classPath) replaceAll(*classPath, kAppPackageVariable, bundlePath);
  classPath = addPredefinedOptions(javaVM.get(kVMOptionArrayKey), options, bundlePath, std::move(classPath));
  classPath = addVersionSpecificOptions(javaVM.get(kVersionSpecificVMOptionsKey), options, bundlePath,
                                        std::move(classPath));
  if (bundlePath.size() >= 3) {
    std::string bundleOptionsFile = bundlePath.substr(0, bundlePath.size() - 3) + "vmoptions";
    classPath = readOptionsFile(bundleOptionsFile, options, std::move(classPath), bundlePath);
  }
  classPath = readOptionsFile(javaVM.getString(kOptionsFileKey), options, std::move(classPath), bundlePath);

  if (std::optional<std::string> splash = javaVM.getString(kSplashFileKey)) {
    replaceAll(*splash, kAppPackageVariable, bundlePath);
    options.push_back(platform::format("-splash:%@", *splash));
  }
  if (std::optional<std::string> resolved = resolveArtifactPath(classPath); resolved && !resolved->empty())
    options.push_back(platform::format("-Djava.class.path=%@", *resolved));
  std::optional<std::string> modulePath = resolveArtifactPath(replaceVariables(javaVM.getString(kModulePathKey)));
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

  args.clear();
  if (const platform::Array* entries = javaVM.get(kArgumentArrayKey) ? javaVM.get(kArgumentArrayKey)->asArray() : nullptr)
    for (const platform::Value& entry : *entries)
      if (const std::string* text = entry.asString()) args.push_back(*replaceVariables(*text));

  const bool passthrough = platform::truthValue(info.get(kAllowPassthroughKey));
  const std::vector<std::string> commandLine =
      commandLineArguments ? *commandLineArguments : platform::processArguments();
  for (size_t i = 1; i < commandLine.size(); ++i) {
    const std::string& argument = commandLine[i];
    if (i == 1 && startsWith(argument, "-psn_")) continue;
    _DLog("%s [Line %d] cl arg: %@ ", __PRETTY_FUNCTION__, __LINE__, argument);
    if (passthrough && startsWith(argument, "-J"))
      options.push_back(argument.substr(2));
    else
      args.push_back(argument);
  }

  mainClass = javaVM.getString(kMainClassKey);
  if (firstThread) *firstThread = platform::truthValue(javaVM.get(kStartOnMainThreadKey));
}
