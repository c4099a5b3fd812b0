// Micro-benchmarks of the launch configuration: variable substitution of one
// option in a 60-variable environment, class-path resolution, and reading a
// 500-line options file.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"

namespace {

struct Setup {
  std::string dir;
  Setup() {
    char tmpl[] = "/tmp/bench_configuration.XXXXXX";
    dir = ::mkdtemp(tmpl);
    std::filesystem::create_directories(dir + "/Setup.app");
    platform::Bundle::setMainBundlePathForTesting(dir + "/Setup.app");
    // Exactly 60 variables, in a known order.
    ::clearenv();
    ::setenv("TMPDIR", "/tmp", 1);
    ::setenv("HOME", dir.c_str(), 1);
    for (int i = 0; i < 58; ++i)
      ::setenv(("BENCH_VAR_" + std::to_string(i)).c_str(), ("/opt/value/number/" + std::to_string(i)).c_str(),
               1);
    logStatus.store(2);

    std::ofstream out(dir + "/app.vmoptions");
    for (int i = 0; i < 500; ++i) {
      switch (i % 5) {
        case 0:
          out << "# comment line " << i << "\n";
          break;
        case 1:
          out << "  -Dprop" << i << "=$APP_PACKAGE/Contents/Resources/x" << i << "\t\n";
          break;
        case 2:
          out << "-classpath/a ${BENCH_VAR_" << (i % 58) << "}/lib" << i << ".jar\n";
          break;
        case 3:
          out << "-Xss" << i << "k\r\n";
          break;
        default:
          out << "-Dplain.option.number." << i << "=value\n";
          break;
      }
    }
  }
  ~Setup() { std::filesystem::remove_all(dir); }
};

Setup& setup() {
  static Setup s;
  return s;
}

std::string padded(std::string text) {
  while (text.size() < 200) text += 'x';
  return text.substr(0, 200);
}

void BM_ReplaceVariables200WithReferences(benchmark::State& state) {
  setup();
  Launcher launcher;
  const std::optional<std::string> option = padded(
      "-Dapp=$APP_PACKAGE -Dtmp=${launcher:sys.tempDir} -Dsep=${launcher:sys.pathlistSeparator} "
      "-Dlibs=${BENCH_VAR_57}:${BENCH_VAR_0}:${UNSET_VAR} -Dend=");
  for (auto _ : state) benchmark::DoNotOptimize(launcher.replaceVariables(option));
  state.SetLabel("60 env vars, 200 chars, 5 references");
}
BENCHMARK(BM_ReplaceVariables200WithReferences);

void BM_ReplaceVariables200Plain(benchmark::State& state) {
  setup();
  Launcher launcher;
  const std::optional<std::string> option = padded("-Dplain.option=");
  for (auto _ : state) benchmark::DoNotOptimize(launcher.replaceVariables(option));
  state.SetLabel("60 env vars, 200 chars, no reference");
}
BENCHMARK(BM_ReplaceVariables200Plain);

void BM_ResolveArtifactPath(benchmark::State& state) {
  setup();
  Launcher launcher;
  const std::optional<std::string> path = "a.jar:$BENCH_VAR_3:b.jar::c.jar:$UNSET";
  for (auto _ : state) benchmark::DoNotOptimize(launcher.resolveArtifactPath(path));
}
BENCHMARK(BM_ResolveArtifactPath);

void BM_ReadOptionsFile500Lines(benchmark::State& state) {
  Setup& s = setup();
  Launcher launcher;
  const std::string file = s.dir + "/app.vmoptions";
  for (auto _ : state) {
    std::vector<std::string> options;
    benchmark::DoNotOptimize(
        launcher.readOptionsFile(file, options, std::string("base.jar"), s.dir + "/Setup.app"));
  }
  state.SetLabel("500 lines, 60 env vars");
}
BENCHMARK(BM_ReadOptionsFile500Lines);

}  // namespace

BENCHMARK_MAIN();
