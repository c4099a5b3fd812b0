// Micro-benchmarks of the version rules and of the check of one runtime
// candidate (opening the bundle, parsing its Info.plist, reading the
// executable's header, judging the version).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Paths.h"
#include "platform/Value.h"

namespace {

const std::pair<const char*, const char*> kPairs[] = {
    {"1.8.0_151", "1.8.0_92"}, {"11.0.2+9", "11.0.2+10"},  {"17-ea", "17.0"},
    {"zulu-17", "17"},         {"1.8.0_402", "1.8.0-402"}, {"21.0.1", "21.0.1"},
};

void BM_CompareVersionToVersion(benchmark::State& state) {
  Launcher launcher;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [a, b] = kPairs[i++ % std::size(kPairs)];
    benchmark::DoNotOptimize(launcher.compareVersion(std::string_view(a), std::string_view(b)));
  }
}
BENCHMARK(BM_CompareVersionToVersion);

void BM_SplitVersionString(benchmark::State& state) {
  Launcher launcher;
  for (auto _ : state) benchmark::DoNotOptimize(launcher.splitVersionString("11.0.2+9"));
}
BENCHMARK(BM_SplitVersionString);

void BM_ConstraintTest(benchmark::State& state) {
  const std::optional<std::string> minimum = "1.8.0_300";
  for (auto _ : state)
    benchmark::DoNotOptimize(Launcher::compareVersion(minimum, Launcher::versionList("1.8.0_402"), false));
}
BENCHMARK(BM_ConstraintTest);

// A runtime bundle in a temporary directory: an XML Info.plist and a fat
// executable holding the other architecture first.
class RuntimeBundle {
 public:
  RuntimeBundle() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mi-bench-XXXXXX").string();
    if (char* made = mkdtemp(pattern.data())) root_ = made;
    path_ = root_ + "/jdk-17.0.2.jdk";
    std::filesystem::create_directories(path_ + "/Contents/MacOS");
    platform::Dictionary javaVM;
    javaVM["JVMVersion"] = platform::Value("17.0.2");
    javaVM["JVMPlatformVersion"] = platform::Value("17");
    platform::Dictionary info;
    info["CFBundleIdentifier"] = platform::Value("com.vendor.jdk");
    info["CFBundleExecutable"] = platform::Value("libjli.dylib");
    info["CFBundleGetInfoString"] = platform::Value("Java SE 17.0.2");
    info["CFBundleVersion"] = platform::Value("17.0.2");
    info["JavaVM"] = platform::Value(std::move(javaVM));
    std::ofstream(path_ + "/Contents/Info.plist") << platform::Value(std::move(info)).toXML();
    std::string header;
    auto put = [&header](std::uint32_t v) {
      for (int shift = 24; shift >= 0; shift -= 8) header.push_back(static_cast<char>(v >> shift & 0xFF));
    };
    const std::int32_t other = platform::kRequiredCpuType == platform::kCpuTypeArm64
                                   ? platform::kCpuTypeX86_64
                                   : platform::kCpuTypeArm64;
    put(0xCAFEBABE);
    put(2);
    for (std::int32_t type : {other, platform::kRequiredCpuType}) {
      put(static_cast<std::uint32_t>(type));
      put(0), put(4096), put(32), put(12);
    }
    std::ofstream(path_ + "/Contents/MacOS/libjli.dylib", std::ios::binary) << header;
  }
  ~RuntimeBundle() {
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string root_;
  std::string path_;
};

void checkBundleAt(benchmark::State& state, const std::string& path) {
  Launcher launcher;
  const std::optional<std::string> minimum = "11", maximum = "21", prefix = "com.";
  for (auto _ : state) {
    launcher.javaBundle = platform::Bundle::open(path);
    const char* launch = launcher.checkJavaVersion(minimum, maximum, false, false, prefix);
    if (!launch) {
      state.SkipWithError("the candidate was refused");
      break;
    }
    benchmark::DoNotOptimize(launch);
  }
}

void BM_CheckOneBundle(benchmark::State& state) {
  RuntimeBundle bundle;
  checkBundleAt(state, bundle.path());
}
BENCHMARK(BM_CheckOneBundle);

// The same on an installed JDK home (release file and ELF bin/java).
void BM_CheckInstalledJdkHome(benchmark::State& state) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(platform::kVirtualMachinesDirectory, error)) {
    if (!std::filesystem::exists(entry.path() / "release") || entry.is_symlink()) continue;
    state.SetLabel(entry.path().filename().string());
    Launcher probe;
    probe.javaBundle = platform::Bundle::open(entry.path().string());
    if (!probe.checkJavaVersion(std::string("11"), std::string("21"), false, false, std::nullopt)) continue;
    checkBundleAt(state, entry.path().string());
    return;
  }
  state.SkipWithError("no JDK between 11 and 21 installed");
}
BENCHMARK(BM_CheckInstalledJdkHome);

}  // namespace

int main(int count, char** arguments) {
  // Measure the checks, not the diagnostic log.
  logStatus.store(2);
  benchmark::Initialize(&count, arguments);
  if (benchmark::ReportUnrecognizedArguments(count, arguments)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
