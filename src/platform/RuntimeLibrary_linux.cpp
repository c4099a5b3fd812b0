// Keeps a Linux runtime's launcher library from restarting this executable.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/FileManager.h"
#include "platform/RuntimeLibrary.h"

namespace platform {

namespace {

// The runtime's library directory: the one holding the launcher library, or
// above its "jli" directory. Links are resolved, as the library resolves its
// own location.
std::string libraryDirectory(const std::string& libraryPath) {
  std::error_code error;
  std::filesystem::path resolved = std::filesystem::canonical(libraryPath, error);
  std::string directory = deletingLastPathComponent(error ? libraryPath : resolved.string());
  if (lastPathComponent(directory) == "jli") directory = deletingLastPathComponent(directory);
  return directory;
}

// The default VM of the runtime: the first entry of jvm.cfg marked KNOWN
// ("-server KNOWN"), the server VM when the file says nothing usable.
std::string defaultVmDirectory(const std::string& libDirectory) {
  std::ifstream config(joinPath(libDirectory, "jvm.cfg"));
  for (std::string line; std::getline(config, line);) {
    std::istringstream words(line);
    std::string name, flag;
    if (words >> name >> flag && name.size() > 1 && name[0] == '-' && flag == "KNOWN")
      return joinPath(libDirectory, name.substr(1));
  }
  return joinPath(libDirectory, "server");
}

bool namesSomeVm(const std::string& searchPath) {
  FileManager fileManager;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = searchPath.find(':', start);
    std::string element =
        searchPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // The library only suspects the usual VM directories.
    bool suspect =
        element.find("lib/server") != std::string::npos || element.find("lib/client") != std::string::npos;
    if (suspect && fileManager.fileExists(joinPath(element, "libjvm.so"))) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

}  // namespace

void prepareForRuntimeLibrary(const std::string& libraryPath) {
  const char* current = std::getenv("LD_LIBRARY_PATH");
  if (!current) return;
  const std::string searchPath = current;
  const std::string libDirectory = libraryDirectory(libraryPath);
  const std::string vmDirectory = defaultVmDirectory(libDirectory);
  if (searchPath.starts_with(vmDirectory) || !namesSomeVm(searchPath)) return;
  // The same order the library would set before restarting: its VM, its
  // libraries, then what was there.
  const std::string prepared =
      vmDirectory + ":" + libDirectory + (searchPath.empty() ? "" : ":" + searchPath);
  ::setenv("LD_LIBRARY_PATH", prepared.c_str(), 1);
}

bool runtimeLibraryMayRestart() {
  const char* searchPath = std::getenv("LD_LIBRARY_PATH");
  return searchPath && *searchPath;
}

}  // namespace platform
