// Fuzz target: the VM options-file reader. The input is cut at NUL bytes into
// up to four files, main.vmoptions and inc1..inc3.vmoptions, written into one
// temporary directory, so lines may include each other (also in cycles).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"

namespace {

const std::string& directory() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_options.XXXXXX";
    if (!::mkdtemp(tmpl)) std::abort();
    ::setenv("MI_FUZZ_VAR", "a.jar:lib/*", 1);
    return std::string(tmpl);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  logStatus.store(2);  // the log is off; formatting it would dominate the run
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string& dir = directory();
  for (int i = 0; i < 4; ++i) {
    size_t end = bytes.find('\0');
    std::string_view part = bytes.substr(0, end);
    std::string name = dir + (i == 0 ? "/main.vmoptions" : "/inc" + std::to_string(i) + ".vmoptions");
    std::ofstream(name, std::ios::binary | std::ios::trunc) << part;
    bytes = end == std::string_view::npos ? std::string_view() : bytes.substr(end + 1);
  }
  Launcher launcher;
  std::vector<std::string> options;
  std::optional<std::string> classPath =
      launcher.readOptionsFile(dir + "/main.vmoptions", options, std::string("base.jar"), dir + "/App.app");
  (void)launcher.resolveArtifactPath(classPath);
  return 0;
}
