// The cost of a _DLog call with logging off, next to what formatting the
// same line costs: with the switch off a call is one integer test, whatever
// its arguments would cost to format.
#include <benchmark/benchmark.h>

#include "mac_installer/global.h"
#include "platform/Format.h"
#include "platform/Value.h"

namespace {

platform::Value sampleDictionary() {
  platform::Dictionary javaVM;
  javaVM["MainClass"] = platform::Value("com.example.Main");
  javaVM["VMOptionArray"] =
      platform::Value(platform::Array{platform::Value("-Xmx512m"), platform::Value("-Dx=y")});
  platform::Dictionary info;
  info["JavaVM"] = platform::Value(javaVM);
  info["CFBundleName"] = platform::Value("Demo");
  return platform::Value(info);
}

void BM_DLogOffText(benchmark::State& state) {
  logStatus = 2;
  const char* arg = "/path/to/Demo.app/Contents/MacOS/Demo";
  for (auto _ : state) _DLog("%s [Line %d] arg %s", __PRETTY_FUNCTION__, __LINE__, arg);
}
BENCHMARK(BM_DLogOffText);

void BM_DLogOffDictionary(benchmark::State& state) {
  logStatus = 2;
  const platform::Value info = sampleDictionary();
  for (auto _ : state) _DLog("%s [Line %d] info %@", __PRETTY_FUNCTION__, __LINE__, info);
}
BENCHMARK(BM_DLogOffDictionary);

// The one integer test on its own, as the floor.
void BM_SwitchTestOnly(benchmark::State& state) {
  logStatus = 2;
  for (auto _ : state) benchmark::DoNotOptimize(logStatus.load(std::memory_order_relaxed) == 2);
}
BENCHMARK(BM_SwitchTestOnly);

// What a call would cost if it formatted its line (the log write excluded).
void BM_FormatText(benchmark::State& state) {
  const char* arg = "/path/to/Demo.app/Contents/MacOS/Demo";
  for (auto _ : state)
    benchmark::DoNotOptimize(platform::format("%s [Line %d] arg %s", __PRETTY_FUNCTION__, __LINE__, arg));
}
BENCHMARK(BM_FormatText);

void BM_FormatDictionary(benchmark::State& state) {
  const platform::Value info = sampleDictionary();
  for (auto _ : state)
    benchmark::DoNotOptimize(platform::format("%s [Line %d] info %@", __PRETTY_FUNCTION__, __LINE__, info));
}
BENCHMARK(BM_FormatDictionary);

}  // namespace

BENCHMARK_MAIN();
