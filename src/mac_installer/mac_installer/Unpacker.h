// Packed-jar unpacking: the ".jar.pack" files of a runtime home's "lib" and
// "lib/ext" are turned back into jars by the runtime's own bin/unpack200, run
// as one child process after another on the caller's thread. Stateless.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileManager.h"

// What the internal-error dialog says when a runtime's packed jars cannot be
// unpacked.
inline constexpr std::string_view kUnpackFailure = "could not run unpack200";

class Unpacker {
 public:
  // Receives the running percentage (0 to 100) after each listed file.
  using Progress = std::function<void(double percent)>;

  // Unpacks every packed file of home's "lib" then "lib/ext" (no recursion).
  // True when all that exist were unpacked, also when there were none; false
  // after the first tool run that ends with a non-zero status, leaving that
  // file and the later ones untouched. A tool that cannot be started raises
  // the platform exception of Task; so does whatever the callback raises.
  static bool unpack(const std::string& home, const Progress& progress);

  // Appends subDir + "/" + name for every entry of jreDir/subDir whose name
  // ends with ".jar.pack" (case-sensitive), in the directory's own order. A
  // missing or unreadable directory adds nothing.
  static void addPackedFiles(std::vector<std::string>& list, const std::string& subDir,
                             const std::string& jreDir, const platform::FileManager& fileManager);
};
