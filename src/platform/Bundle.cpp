// Bundles on Linux: directories with Contents/Info.plist, and JDK homes.
#include "platform/Bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <sstream>

#include "platform/Environment.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/StringsTable.h"

namespace platform {

namespace {

std::mutex mainMutex;
std::optional<std::string> mainOverride;
std::shared_ptr<Bundle> mainOverridden;  // opened from mainOverride

std::string trimTrailingSlashes(std::string p) {
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

// JAVA_VERSION="17.0.15" from the text of a JDK's release file.
std::optional<std::string> releaseJavaVersion(const std::string& release) {
  std::istringstream in(release);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("JAVA_VERSION=", 0) != 0) continue;
    std::string v = line.substr(13);
    while (!v.empty() && (v.back() == '\r' || v.back() == ' ')) v.pop_back();
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    return v;
  }
  return std::nullopt;
}

// The running program's own path; absent when it cannot be read.
std::optional<std::string> executablePathOfProcess() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

// X.app/Contents/MacOS/exe belongs to X.app: the bundle of an executable in
// such a folder, absent otherwise.
std::optional<std::string> enclosingBundle(const std::string& exe) {
  std::string dir = deletingLastPathComponent(exe);
  if (lastPathComponent(dir) != "MacOS") return std::nullopt;
  std::string contents = deletingLastPathComponent(dir);
  if (lastPathComponent(contents) != "Contents") return std::nullopt;
  return deletingLastPathComponent(contents);
}

std::string executableDirectoryBundle() {
  std::optional<std::string> exe = executablePathOfProcess();
  if (!exe) return FileManager().currentDirectory();
  return enclosingBundle(*exe).value_or(deletingLastPathComponent(*exe));
}

}  // namespace

std::shared_ptr<Bundle> Bundle::open(const std::string& path) {
  FileManager fm;
  if (path.empty() || !fm.isDirectory(path)) return nullptr;
  std::shared_ptr<Bundle> b(new Bundle());
  b->path_ = trimTrailingSlashes(path);
  std::string plist = joinPath(b->path_, "Contents/Info.plist");
  if (fm.fileExists(plist)) {
    // A damaged dictionary leaves the bundle without settings; say so, since
    // every setting then silently takes its default.
    if (auto v = Value::readFile(plist); v && v->asDictionary()) {
      b->info_ = std::move(*v);
    } else {
      platform::log("%s [Line %d] could not read the information dictionary %s", __PRETTY_FUNCTION__,
                    __LINE__, plist);
      b->infoProblem_ = "Contents/Info.plist could not be read";
    }
  } else {
    // A JDK home, or a runtime bundle around one without a dictionary of its
    // own (a JDK packed under Contents/Home): the home's release file tells
    // the version.
    for (std::string home : {b->path_, joinPath(b->path_, "Contents/Home")}) {
      std::string release = joinPath(home, "release");
      if (!fm.fileExists(release)) continue;
      Dictionary info;
      info["CFBundleExecutable"] = Value("java");
      std::optional<std::string> text = fm.contentsOfRegularFile(release);
      if (std::optional<std::string> version = text ? releaseJavaVersion(*text) : std::nullopt) {
        Dictionary javaVM;
        javaVM["JVMVersion"] = Value(*version);
        info["JavaVM"] = Value(std::move(javaVM));
      } else {
        b->infoProblem_ = text ? "release file without JAVA_VERSION" : "release file could not be read";
      }
      b->info_ = Value(std::move(info));
      b->releaseHome_ = std::move(home);
      break;
    }
    if (b->releaseHome_.empty()) b->infoProblem_ = "no Contents/Info.plist and no release file";
  }
  return b;
}

std::shared_ptr<Bundle> Bundle::mainBundle() {
  std::lock_guard<std::mutex> lock(mainMutex);
  static std::shared_ptr<Bundle> real;
  if (mainOverride) {
    if (!mainOverridden) mainOverridden = open(*mainOverride);
    if (mainOverridden) return mainOverridden;
  }
  if (!real) real = open(executableDirectoryBundle());
  if (!real) real = std::shared_ptr<Bundle>(new Bundle());
  return real;
}

bool Bundle::mainExecutableIsInBundle() {
  std::optional<std::string> exe = executablePathOfProcess();
  if (!exe) return false;
  std::optional<std::string> bundle = enclosingBundle(*exe);
  return bundle && bundle->ends_with(".app");
}

void Bundle::setMainBundlePathForTesting(std::optional<std::string> path) {
  std::lock_guard<std::mutex> lock(mainMutex);
  mainOverride = std::move(path);
  // Opened again on the next call: a test may have rewritten the bundle.
  mainOverridden.reset();
}

std::optional<std::string> Bundle::identifier() const { return info_.getString("CFBundleIdentifier"); }

std::string Bundle::resourcePath() const { return joinPath(path_, "Contents/Resources"); }

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& ext) const {
  std::string file = ext.empty() ? name : name + "." + ext;
  std::string p = joinPath(resourcePath(), file);
  if (FileManager().fileExists(p)) return p;
  return std::nullopt;
}

std::optional<std::string> Bundle::findLocalizedString(const std::string& key,
                                                       const std::string& table) const {
  FileManager fm;
  std::vector<std::string> languages = preferredLanguages();
  if (auto dev = info_.getString("CFBundleDevelopmentRegion")) languages.push_back(*dev);
  languages.push_back("en");
  languages.push_back("English");
  languages.push_back("Base");
  const std::string roots[] = {resourcePath(), joinPath(path_, "Resources"), path_};
  for (const auto& lang : languages) {
    for (const auto& root : roots) {
      std::string file = joinPath(joinPath(root, lang + ".lproj"), table + ".strings");
      if (!fm.fileExists(file)) continue;
      // The first table found for the most preferred language decides.
      auto parsed = readStringsTable(file);
      if (!parsed) {
        platform::log("%s [Line %d] could not read the strings table %s", __PRETTY_FUNCTION__, __LINE__,
                      file);
        continue;
      }
      auto it = parsed->find(key);
      if (it != parsed->end()) return it->second;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string Bundle::localizedString(const std::string& key, const std::string& value,
                                    const std::string& table) const {
  if (auto s = findLocalizedString(key, table)) return *s;
  return value.empty() ? key : value;
}

std::optional<std::string> Bundle::executablePath() const {
  if (!releaseHome_.empty()) return joinPath(releaseHome_, "bin/java");
  auto name = info_.getString("CFBundleExecutable");
  if (name && !name->empty()) return joinPath(joinPath(path_, "Contents/MacOS"), *name);
  // A runtime bundle that names no executable (its dictionary only gives the
  // version) is judged by its Java.
  std::string java = joinPath(path_, "Contents/Home/bin/java");
  if (FileManager().fileExists(java)) return java;
  return std::nullopt;
}

std::optional<std::vector<std::int32_t>> Bundle::executableArchitectures() const {
  auto exe = executablePath();
  if (!exe) return std::nullopt;
  return readExecutableArchitectures(*exe);
}

std::vector<std::string> preferredLanguages() {
  std::vector<std::string> out;
  auto add = [&](std::string code) {
    auto cut = code.find_first_of(".@");
    if (cut != std::string::npos) code.resize(cut);
    if (code.empty() || code == "C" || code == "POSIX") return;
    for (const auto& c : {code, code.substr(0, code.find('_'))})
      if (std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
  };
  if (auto language = getEnvironment("LANGUAGE")) {
    std::string l = *language;
    size_t start = 0;
    while (start <= l.size()) {
      size_t colon = l.find(':', start);
      add(l.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (auto v = getEnvironment(name); v && !v->empty()) {
      add(*v);
      break;
    }
  }
  return out;
}

}  // namespace platform
