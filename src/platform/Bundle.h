// Bundles: a directory with an information dictionary (Contents/Info.plist),
// resources (Contents/Resources) and localized strings tables (<lang>.lproj).
// A Linux JDK home (a "release" file and no Contents/Info.plist) opens as a
// runtime bundle whose JavaVM/JVMVersion is its JAVA_VERSION and whose
// executable is bin/java; so does a runtime bundle without Contents/Info.plist
// whose Contents/Home is such a JDK home. Bundles are immutable once opened; safe to read
// from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace platform {

class Bundle {
 public:
  // Opens a directory as a bundle; null when path does not exist or is not a
  // directory. A missing or malformed Info.plist gives an empty dictionary.
  static std::shared_ptr<Bundle> open(const std::string& path);

  // The running program's bundle: an executable in X.app/Contents/MacOS/
  // belongs to X.app; otherwise its own directory is the bundle.
  static std::shared_ptr<Bundle> mainBundle();
  // True when the running program stands in an application bundle: its
  // folder is X.app/Contents/MacOS.
  static bool mainExecutableIsInBundle();
  // Tests replace the main bundle; absent restores the real one.
  static void setMainBundlePathForTesting(std::optional<std::string> path);

  // The bundle's path, without a trailing "/".
  const std::string& bundlePath() const { return path_; }
  std::optional<std::string> identifier() const;
  // Always a dictionary (empty when the bundle has none).
  const Value& infoDictionary() const { return info_; }
  const Value* objectForInfoDictionaryKey(std::string_view key) const { return info_.get(key); }

  std::string resourcePath() const;
  // The path of resource name.ext (ext may be empty), searched in the
  // resources directory; absent when there is no such file.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& ext) const;

  // The text for key in table (default "Localizable") for the user's
  // preferred language. A missing key yields value when it is non-empty,
  // otherwise the key itself.
  std::string localizedString(const std::string& key, const std::string& value = "",
                              const std::string& table = "Localizable") const;
  // The same lookup, absent when the key is in no table.
  std::optional<std::string> findLocalizedString(const std::string& key,
                                                 const std::string& table = "Localizable") const;

  // Path of the bundle's executable: CFBundleExecutable under
  // Contents/MacOS/, or bin/java of the JDK home, or, for a bundle that names
  // none, Contents/Home/bin/java when that exists; absent otherwise.
  std::optional<std::string> executablePath() const;
  // The executable's processor types (Mach-O CPU type numbers). Absent when
  // the executable is missing or unreadable; empty when it is neither a
  // Mach-O nor an ELF file.
  std::optional<std::vector<std::int32_t>> executableArchitectures() const;

  // True when the bundle is a plain Linux JDK home opened through "release".
  bool isRuntimeHome() const { return !releaseHome_.empty() && releaseHome_ == path_; }
  // Why the dictionary is empty or lacks a runtime version, in words ("no
  // Contents/Info.plist and no release file", "release file without
  // JAVA_VERSION", ...); absent when a dictionary or version was read.
  const std::optional<std::string>& infoProblem() const { return infoProblem_; }

 private:
  Bundle() = default;
  std::string path_;
  Value info_{Dictionary{}};
  // The JDK home whose release file gave the dictionary: the bundle itself
  // or its Contents/Home; empty for a bundle with its own dictionary.
  std::string releaseHome_;
  std::optional<std::string> infoProblem_;
};

// Reads the processor types of an executable file: Mach-O (thin or fat, 32 or
// 64 bit, either byte order) or ELF (mapped onto Mach-O CPU types). Absent
// when the file cannot be read; empty when it is of neither kind.
std::optional<std::vector<std::int32_t>> readExecutableArchitectures(const std::string& path);

// The user's preferred languages, most preferred first (from LANGUAGE,
// LC_ALL, LC_MESSAGES, LANG), as language codes such as "de" or "pt_BR".
std::vector<std::string> preferredLanguages();

}  // namespace platform
