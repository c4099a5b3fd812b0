// One standard-locations search over a virtual-machine directory of 1,000
// runtime bundles (Info.plist and Mach-O header each) where only the
// last-sorted bundle passes the check: every entry is sorted, opened, its
// dictionary parsed, its executable's header read and its version judged.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Paths.h"
#include "platform/Value.h"

namespace {

constexpr int kBundles = 1000;

std::string machOHeader(std::int32_t cpuType) {
  std::string out;
  for (std::uint32_t v : {0xFEEDFACFu, static_cast<std::uint32_t>(cpuType), 0u, 2u, 0u, 0u, 0u, 0u})
    for (int shift = 0; shift <= 24; shift += 8) out.push_back(static_cast<char>(v >> shift & 0xFF));
  return out;
}

// The directory of installed runtimes, made once and removed at exit.
class VirtualMachines {
 public:
  VirtualMachines() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mi-bench-search-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    root_ = pattern;
    const std::string header = machOHeader(platform::kRequiredCpuType);
    // jdk-1000.jdk sorts last; it alone holds a version the minimum accepts.
    for (int i = 0; i < kBundles; ++i) {
      std::string name = "jdk-" + std::to_string(1000 + i) + ".jdk";
      platform::Dictionary javaVM;
      javaVM["JVMVersion"] = platform::Value(i == 0 ? "17.0.2" : "1.6.0_45");
      platform::Dictionary info;
      info["CFBundleIdentifier"] = platform::Value("com.vendor.jdk");
      info["CFBundleExecutable"] = platform::Value("libjli.dylib");
      info["JavaVM"] = platform::Value(std::move(javaVM));
      std::filesystem::path contents = root_ / name / "Contents";
      std::filesystem::create_directories(contents / "MacOS");
      std::ofstream(contents / "Info.plist") << platform::Value(std::move(info)).toXML();
      std::ofstream(contents / "MacOS/libjli.dylib", std::ios::binary) << header;
    }
  }
  ~VirtualMachines() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string path() const { return root_.string(); }
  std::string expected() const { return (root_ / "jdk-1000.jdk").string(); }

 private:
  std::filesystem::path root_;
};

void BM_StandardLocationsSearch(benchmark::State& state) {
  static VirtualMachines machines;
  logStatus.store(2);  // the diagnostic log is off in ordinary runs
  Launcher launcher;
  launcher.internetPluginPath = machines.path() + "/no-plugin";
  launcher.virtualMachinesDirectory = machines.path();
  platform::FileManager fileManager;
  const std::optional<std::string> minimum = "1.7";
  for (auto _ : state) {
    launchJavaVersion = nullptr;
    launcher.javaBundle.reset();
    launcher.findPublicJavaBundle(fileManager, minimum, std::nullopt, std::nullopt, false);
    if (!launchJavaVersion || launcher.javaBundlePath != machines.expected()) {
      state.SkipWithError("the last-sorted bundle was not the one found");
      break;
    }
  }
  state.counters["bundles"] = kBundles;
}
BENCHMARK(BM_StandardLocationsSearch)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
