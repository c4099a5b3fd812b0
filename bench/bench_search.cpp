// One standard-locations search over a virtual-machine directory of 1,000
// runtime bundles (Info.plist, Mach-O header and Contents/Home/bin/java each)
// where only the lowest version passes the check: every entry is opened, its
// dictionary parsed and its version read, the entries are ordered by version,
// and each is then checked (bin/java, executable header, version) until the
// last one passes. Beside it, the reference: reading the same 1,000
// dictionaries and nothing else.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/FileManager.h"
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
    // jdk-1000.jdk holds the lowest version and is checked last; it alone
    // is within the maximum. By name it would come first.
    for (int i = 0; i < kBundles; ++i) {
      std::string name = "jdk-" + std::to_string(1000 + i) + ".jdk";
      platform::Dictionary javaVM;
      javaVM["JVMVersion"] = platform::Value(i == 0 ? "17.0.2" : "18.0." + std::to_string(i));
      platform::Dictionary info;
      info["CFBundleIdentifier"] = platform::Value("com.vendor.jdk");
      info["CFBundleExecutable"] = platform::Value("libjli.dylib");
      info["JavaVM"] = platform::Value(std::move(javaVM));
      std::filesystem::path contents = root_ / name / "Contents";
      std::filesystem::create_directories(contents / "MacOS");
      std::ofstream(contents / "Info.plist") << platform::Value(std::move(info)).toXML();
      std::ofstream(contents / "MacOS/libjli.dylib", std::ios::binary) << header;
      std::filesystem::create_directories(contents / "Home/bin");
      std::ofstream(contents / "Home/bin/java", std::ios::binary) << header;
      std::filesystem::permissions(contents / "Home/bin/java", std::filesystem::perms::owner_all);
      names_.push_back(name);
    }
  }
  ~VirtualMachines() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string path() const { return root_.string(); }
  std::string expected() const { return (root_ / "jdk-1000.jdk").string(); }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::filesystem::path root_;
  std::vector<std::string> names_;
};

VirtualMachines& machines() {
  static VirtualMachines made;
  return made;
}

void BM_StandardLocationsSearch(benchmark::State& state) {
  VirtualMachines& vms = machines();
  logStatus.store(2);  // the diagnostic log is off in ordinary runs
  Launcher launcher;
  launcher.internetPluginPath = vms.path() + "/no-plugin";
  launcher.virtualMachinesDirectory = vms.path();
  platform::FileManager fileManager;
  const std::optional<std::string> maximum = "17";
  for (auto _ : state) {
    launchJavaVersion = nullptr;
    launcher.javaBundle.reset();
    launcher.searchReport = {};
    launcher.findPublicJavaBundle(fileManager, std::nullopt, maximum, std::nullopt, false);
    if (!launchJavaVersion || launcher.javaBundlePath != vms.expected()) {
      state.SkipWithError("the lowest version was not the one found");
      break;
    }
  }
  state.counters["bundles"] = kBundles;
}
BENCHMARK(BM_StandardLocationsSearch)->Unit(benchmark::kMillisecond);

// The reference: listing the directory and reading each bundle's dictionary.
void BM_ReadEveryInfoPlist(benchmark::State& state) {
  VirtualMachines& vms = machines();
  platform::FileManager fileManager;
  for (auto _ : state) {
    std::size_t bytes = 0;
    std::vector<std::string> names =
        fileManager.contentsOfDirectory(vms.path()).value_or(std::vector<std::string>{});
    for (const std::string& name : names)
      if (auto text = fileManager.contentsOfRegularFile(vms.path() + "/" + name + "/Contents/Info.plist"))
        bytes += text->size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bundles"] = kBundles;
}
BENCHMARK(BM_ReadEveryInfoPlist)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
