// The check of one runtime candidate: identifier prefix, architectures,
// version bounds, pre-release markers, launch and major versions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Value.h"

namespace {

using namespace testing_headers;
using platform::Dictionary;
using platform::Value;
using test_support::TemporaryDirectory;

Runtime identified(std::optional<std::string> identifier) {
  Runtime r;
  r.identifier = std::move(identifier);
  return r;
}
Runtime executing(Bytes executable) {
  Runtime r;
  r.executable = std::move(executable);
  return r;
}

class CandidateCheckTest : public ::testing::Test {
 protected:
  // Assembles a runtime bundle and puts it into the launcher's javaBundle.
  void use(const Runtime& runtime, const std::string& name = "jdk.bundle") {
    launcher.javaBundle = platform::Bundle::open(writeRuntime(dir, name, runtime));
    ASSERT_TRUE(launcher.javaBundle);
  }

  const char* check(std::optional<std::string> min = std::nullopt,
                    std::optional<std::string> max = std::nullopt, bool allowBeta = false,
                    bool plugin = false, std::optional<std::string> prefix = std::nullopt) {
    return launcher.checkJavaVersion(min, max, allowBeta, plugin, prefix);
  }

  TemporaryDirectory dir;
  Launcher launcher;
};

struct ResultRow {
  const char* bundleVersion;
  bool plugin;
  const char* launchVersion;
  std::int32_t major;
};

TEST_F(CandidateCheckTest, ResultsForTypicalBundleVersions) {
  const ResultRow rows[] = {
      {"1.8.0_402", false, "1.8.0", 8},       {"11.0.2+9", false, "11.0.2", 11},
      {"17.0.2", false, "17.0.2", 17},        {"21-ea", false, "21-ea", 21},
      {"1.8.401.10", true, "1.8.401.10", 8},  {"1.8.0.401", true, "1.8.0.401", 8},
      {"1.8.401.10", false, "1.8.401.10", 8}, {"1", false, "1", 1},
  };
  for (const ResultRow& row : rows) {
    Launcher fresh;
    const char* launch = fresh.checkBundleVersion(std::nullopt, std::nullopt, true, row.plugin,
                                                  std::string(row.bundleVersion), std::nullopt, std::nullopt);
    ASSERT_NE(launch, nullptr) << row.bundleVersion;
    EXPECT_STREQ(launch, row.launchVersion) << row.bundleVersion;
    EXPECT_EQ(fresh.javaVersion, row.bundleVersion);
    EXPECT_EQ(fresh.javaMajorVersion, row.major) << row.bundleVersion;
  }
}

TEST_F(CandidateCheckTest, PluginRewriteDecidesTheBounds) {
  // 1.8.401.10 of the plug-in reads as 1.8.0_401; without the rewrite its
  // third component 401 would exceed the maximum.
  auto bounded = [&](bool plugin, const char* version) {
    return launcher.checkBundleVersion("1.8.0_401", "1.8.0_401", true, plugin, std::string(version),
                                       std::nullopt, std::nullopt) != nullptr;
  };
  EXPECT_TRUE(bounded(true, "1.8.401.10"));
  EXPECT_FALSE(bounded(false, "1.8.401.10"));
  EXPECT_TRUE(bounded(true, "1.8.0.401"));    // a third component 0 is left alone
  EXPECT_FALSE(bounded(true, "2.8.401.10"));  // only a 1.x version is rewritten
  EXPECT_FALSE(bounded(true, "1.8.401"));     // only four components are rewritten
}

TEST_F(CandidateCheckTest, MajorVersionSaturatesAtThirtyTwoBits) {
  ASSERT_NE(launcher.checkBundleVersion(std::nullopt, std::nullopt, true, false, std::string("99999999999.0"),
                                        std::nullopt, std::nullopt),
            nullptr);
  EXPECT_EQ(launcher.javaMajorVersion, 2147483647);
  ASSERT_NE(launcher.checkBundleVersion(std::nullopt, std::nullopt, true, false, std::string("1.ea"),
                                        std::nullopt, std::nullopt),
            nullptr);
  EXPECT_EQ(launcher.javaMajorVersion, 0);
}

TEST_F(CandidateCheckTest, BoundsOfOnePointEight) {
  for (const char* accepted : {"1.8.0_402", "1.8"}) {
    use(versioned(accepted));
    const char* launch = check("1.8", "1.8");
    EXPECT_NE(launch, nullptr) << accepted;
  }
  for (const char* refused : {"11.0.2", "1.7.0_80"}) {
    use(versioned(refused));
    EXPECT_EQ(check("1.8", "1.8"), nullptr) << refused;
  }
}

TEST_F(CandidateCheckTest, RefusalLeavesTheRecordedVersionAlone) {
  use(versioned("11.0.2"));
  EXPECT_EQ(check("17"), nullptr);
  EXPECT_EQ(launcher.javaVersion, std::nullopt);
  EXPECT_EQ(launcher.javaMajorVersion, -1);

  use(versioned("1.8.0_402"));
  ASSERT_NE(check("1.8"), nullptr);
  use(versioned("11.0.2"));
  EXPECT_EQ(check(std::nullopt, "1.8"), nullptr);
  EXPECT_EQ(launcher.javaVersion, "1.8.0_402");
  EXPECT_EQ(launcher.javaMajorVersion, 8);
}

TEST_F(CandidateCheckTest, PreReleasesNeedAllowBeta) {
  Runtime byVersion = versioned("17-ea");
  Runtime byEvar = versioned("17.0.2");
  byEvar.extra["EvarVersion"] = Value("17.0.2-rc1");
  Runtime byInfo = versioned("17.0.2");
  byInfo.extra["CFBundleGetInfoString"] = Value("Java SE 17.0.2 release");
  for (const Runtime* runtime : {&byVersion, &byEvar, &byInfo}) {
    use(*runtime);
    EXPECT_EQ(check(std::nullopt, std::nullopt, false), nullptr);
    EXPECT_NE(check(std::nullopt, std::nullopt, true), nullptr);
  }
  Runtime plain = versioned("17.0.2");
  plain.extra["EvarVersion"] = Value("17.0.2");
  plain.extra["CFBundleGetInfoString"] = Value("Java SE 17.0.2");
  use(plain);
  EXPECT_NE(check(std::nullopt, std::nullopt, false), nullptr);
}

TEST_F(CandidateCheckTest, LeadingUnderscoreGivesEmptyLaunchVersion) {
  use(versioned("_402"));
  const char* launch = check();
  ASSERT_NE(launch, nullptr);
  EXPECT_STREQ(launch, "");
  EXPECT_EQ(launcher.javaVersion, "_402");
}

TEST_F(CandidateCheckTest, IdentifierPrefix) {
  use(identified("org.other.jdk"));
  EXPECT_EQ(check(std::nullopt, std::nullopt, false, false, "com.vendor"), nullptr);
  EXPECT_NE(check(std::nullopt, std::nullopt, false, false, ""), nullptr);
  EXPECT_NE(check(std::nullopt, std::nullopt, false, false, std::nullopt), nullptr);

  use(identified("com.vendor.jdk"));
  EXPECT_NE(check(std::nullopt, std::nullopt, false, false, "com.vendor"), nullptr);
  EXPECT_EQ(check(std::nullopt, std::nullopt, false, false, "COM.vendor"), nullptr);

  use(identified(std::nullopt));
  EXPECT_NE(check(std::nullopt, std::nullopt, false, false, "com.vendor"), nullptr);
}

TEST_F(CandidateCheckTest, ArchitectureOfTheExecutable) {
  const std::pair<Bytes, bool> executables[] = {
      {machO(kRequired), true},
      {machO(kRequired, true), true},
      {fat({kOther, kRequired}), true},
      {fat({kRequired, kOther}, true), true},
      {elf(kRequiredElf), true},
      {machO(kOther), false},
      {fat({platform::kCpuTypeX86, 18}), false},  // neither
      {fat({}), false},                           // an empty list
      {elf(kRequired == platform::kCpuTypeArm64 ? kElfX86_64 : kElfAarch64), false},
      {"#!/bin/sh\nexit 0\n", false},
  };
  int i = 0;
  for (const auto& [bytes, passes] : executables) {
    use(executing(bytes), "jdk" + std::to_string(++i));
    EXPECT_EQ(launcher.checkArchitecture(*launcher.javaBundle), passes) << i;
    // A refused architecture is refused whatever the version.
    for (const char* version : {"1.8.0_402", "17.0.2", "21-ea"}) {
      Runtime runtime = executing(bytes);
      runtime.version = version;
      use(runtime, "jdk" + std::to_string(i) + "-" + version);
      EXPECT_EQ(check(std::nullopt, std::nullopt, true) != nullptr, passes) << i << " " << version;
    }
  }
}

TEST_F(CandidateCheckTest, MissingExecutableIsRefused) {
  use({});
  std::filesystem::remove(dir / "jdk.bundle/Contents/MacOS/libjli.dylib");
  EXPECT_FALSE(launcher.checkArchitecture(*launcher.javaBundle));
  EXPECT_EQ(check(), nullptr);
  // A directory in the executable's place is no executable either.
  std::filesystem::create_directory(dir / "jdk.bundle/Contents/MacOS/libjli.dylib");
  EXPECT_EQ(check(), nullptr);
}

TEST_F(CandidateCheckTest, VersionSources) {
  // No JavaVM dictionary: refused, except the plug-in with a CFBundleVersion.
  Runtime plugin = versioned(std::nullopt);
  plugin.extra["CFBundleVersion"] = Value("1.8.401.10");
  use(plugin);
  EXPECT_EQ(check(), nullptr);
  const char* launch = check(std::nullopt, std::nullopt, false, true);
  ASSERT_NE(launch, nullptr);
  EXPECT_STREQ(launch, "1.8.401.10");
  EXPECT_EQ(launcher.javaMajorVersion, 8);

  // JVMVersion wins over CFBundleVersion.
  Runtime both = versioned("11.0.2");
  both.extra["CFBundleVersion"] = Value("1.8.401.10");
  use(both);
  EXPECT_STREQ(check(std::nullopt, std::nullopt, false, true), "11.0.2");
}

TEST_F(CandidateCheckTest, ValuesThatAreNotTextsRefuse) {
  Runtime numberVersion = versioned(std::nullopt);
  Dictionary javaVM;
  javaVM["JVMVersion"] = Value::integer(17);
  numberVersion.extra["JavaVM"] = Value(std::move(javaVM));
  numberVersion.extra["CFBundleVersion"] = Value("17.0.2");
  use(numberVersion);
  EXPECT_EQ(check(), nullptr);
  EXPECT_EQ(check(std::nullopt, std::nullopt, true, true), nullptr);

  Runtime numberEvar{};
  numberEvar.extra["EvarVersion"] = Value::integer(1);
  use(numberEvar);
  EXPECT_EQ(check(std::nullopt, std::nullopt, true), nullptr);

  Runtime numberIdentifier = identified(std::nullopt);
  numberIdentifier.extra["CFBundleIdentifier"] = Value::integer(3);
  use(numberIdentifier);
  EXPECT_EQ(check(std::nullopt, std::nullopt, true, false, "com.vendor"), nullptr);
  EXPECT_EQ(launcher.javaMajorVersion, -1);
}

TEST_F(CandidateCheckTest, NoBundleIsRefused) {
  launcher.javaBundle.reset();
  EXPECT_EQ(check(), nullptr);
}

TEST_F(CandidateCheckTest, LaunchVersionOutlivesTheLauncher) {
  const char* launch = nullptr;
  {
    Launcher other;
    launch = other.checkBundleVersion(std::nullopt, std::nullopt, true, false, std::string("21.0.1+12"),
                                      std::nullopt, std::nullopt);
  }
  for (int i = 0; i < 100; ++i)
    launcher.checkBundleVersion(std::nullopt, std::nullopt, true, false, "1." + std::to_string(i),
                                std::nullopt, std::nullopt);
  ASSERT_NE(launch, nullptr);
  EXPECT_STREQ(launch, "21.0.1");
}

// Log lines ----------------------------------------------------------------------

class CandidateCheckLogTest : public CandidateCheckTest {
 protected:
  void SetUp() override {
    saved = logStatus.exchange(1);
    ::testing::internal::CaptureStderr();
  }
  void TearDown() override {
    if (capturing) ::testing::internal::GetCapturedStderr();
    logStatus.store(saved);
  }
  std::string captured() {
    capturing = false;
    return ::testing::internal::GetCapturedStderr();
  }
  std::int32_t saved = 0;
  bool capturing = true;
};

TEST_F(CandidateCheckLogTest, AcceptedCandidateLogsEveryStep) {
  use(versioned("1.8.0_402"));
  ASSERT_NE(check("1.8", std::nullopt, false, false, "com.vendor"), nullptr);
  std::string log = captured();
  const std::string required = std::to_string(kRequired);
  for (const std::string& line :
       {std::string("] identifier1 com.vendor\n"), std::string("] identifier com.vendor.jdk com.vendor\n"),
        "] checking architectures " + required + " (\n    " + required + "\n)\n",
        std::string("] comparing3 1.8.0_402 (\n    1,\n    8,\n    0,\n    402\n) 1.8 (null)\n"),
        std::string("] comparing4 1 1\n"), std::string("] check returned 1.8.0\n")})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
  EXPECT_NE(log.find("checkJavaVersion"), std::string::npos);
  EXPECT_NE(log.find("[Line "), std::string::npos);
}

TEST_F(CandidateCheckLogTest, IdentifierRefusalLogsNothingFurther) {
  use(identified("org.other"));
  EXPECT_EQ(check(std::nullopt, std::nullopt, false, false, "com.vendor"), nullptr);
  std::string log = captured();
  EXPECT_NE(log.find("] identifier org.other com.vendor\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("checking architectures"), std::string::npos) << log;
  EXPECT_EQ(log.find("check returned"), std::string::npos) << log;
}

TEST_F(CandidateCheckLogTest, RefusalsLogTheirReason) {
  use(versioned("17-ea"));
  EXPECT_EQ(check(), nullptr);
  use(versioned("11.0.2"));
  EXPECT_EQ(check(std::nullopt, "1.8"), nullptr);
  launcher.javaBundle.reset();
  EXPECT_EQ(check(), nullptr);
  std::string log = captured();
  EXPECT_NE(log.find("] beta not allowed 17-ea\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] comparing4 1 0\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] check returned (null)\n"), std::string::npos) << log;
}

TEST_F(CandidateCheckLogTest, MissingArchitectureListLogsNullAndStops) {
  use({});
  std::filesystem::remove(dir / "jdk.bundle/Contents/MacOS/libjli.dylib");
  EXPECT_EQ(check(), nullptr);
  std::string log = captured();
  EXPECT_NE(log.find("] checking architectures " + std::to_string(kRequired) + " (null)\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("check returned"), std::string::npos) << log;
}

// Runtime homes ------------------------------------------------------------------

TEST_F(CandidateCheckTest, RuntimeHomeReadsItsReleaseFile) {
  struct Case {
    Bytes release;
    const char* min;
    const char* launch;  // null: refused
    std::int32_t major;  // -1: refused
  };
  const Case cases[] = {
      {"IMPLEMENTOR=\"X\"\nJAVA_VERSION=\"17.0.15\"\nJAVA_VERSION_DATE=\"2025-04-15\"\n", "17", "17.0.15",
       17},
      {"JAVA_VERSION=21.0.1\r\n", "17", "21.0.1", 21},
      {"JAVA_VERSION=\"25\"\n", "17", "25", 25},
      {"JAVA_VERSION=\"1.8.0_402\"\n", "1.8", "1.8.0", 8},
      {"JAVA_VERSION=\"1.8.0_402\"\n", "17", nullptr, -1},
      {"JAVA_VERSION_DATE=\"2025-04-15\"\n", "17", nullptr, -1},
  };
  int i = 0;
  for (const Case& c : cases) {
    std::string home = "home" + std::to_string(i++);
    dir.write(home + "/release", c.release);
    dir.write(home + "/bin/java", elf(kRequiredElf));
    Launcher fresh;
    fresh.javaBundle = platform::Bundle::open(dir / home);
    ASSERT_TRUE(fresh.javaBundle);
    EXPECT_TRUE(fresh.javaBundle->isRuntimeHome());
    const char* launch = fresh.checkJavaVersion(c.min, std::nullopt, false, false, std::nullopt);
    if (c.launch) {
      ASSERT_NE(launch, nullptr) << c.release;
      EXPECT_STREQ(launch, c.launch) << c.release;
    } else {
      EXPECT_EQ(launch, nullptr) << c.release;
    }
    EXPECT_EQ(fresh.javaMajorVersion, c.major) << c.release;
  }
}

TEST_F(CandidateCheckTest, RuntimeHomeWithPipeForReleaseIsRefusedWithoutBlocking) {
  std::filesystem::create_directories(dir / "home/bin");
  ASSERT_EQ(::mkfifo((dir / "home/release").c_str(), 0600), 0);
  dir.write("home/bin/java", elf(kRequiredElf));
  launcher.javaBundle = platform::Bundle::open(dir / "home");
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_EQ(check(), nullptr);
}

TEST_F(CandidateCheckTest, InstalledRuntimesPassTheCheck) {
  // The launch and major versions of the releases the test machines carry;
  // other releases are only checked to pass.
  const std::map<std::string, std::pair<const char*, std::int32_t>> kKnown = {
      {"1.8.0_402", {"1.8.0", 8}}, {"11.0.2", {"11.0.2", 11}}, {"17.0.15", {"17.0.15", 17}},
      {"21.0.1", {"21.0.1", 21}},  {"25.0.3", {"25.0.3", 25}},
  };
  std::error_code error;
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(platform::kVirtualMachinesDirectory, error)) {
    std::ifstream release(entry.path() / "release");
    std::string line, version;
    while (std::getline(release, line))
      if (line.rfind("JAVA_VERSION=\"", 0) == 0) version = line.substr(14, line.size() - 15);
    if (version.empty()) continue;
    launcher.javaBundle = platform::Bundle::open(entry.path().string());
    ASSERT_TRUE(launcher.javaBundle) << entry.path();
    const char* launch = check("1.8", std::nullopt, false, false, "com.vendor");
    ASSERT_NE(launch, nullptr) << entry.path() << " " << version;
    EXPECT_EQ(launcher.javaVersion, version);
    if (auto known = kKnown.find(version); known != kKnown.end()) {
      EXPECT_STREQ(launch, known->second.first) << version;
      EXPECT_EQ(launcher.javaMajorVersion, known->second.second) << version;
    }
    ++checked;
  }
  if (checked == 0)
    GTEST_SKIP() << "no JDK with a release file under " << platform::kVirtualMachinesDirectory;
}

TEST_F(CandidateCheckTest, MinimumVersionOfTheApplication) {
  dir.write("App.app/Contents/Info.plist", Value(Dictionary{}).toXML());
  Dictionary info;
  info["qvr.minVersion"] = Value("11");
  dir.write("Min.app/Contents/Info.plist", Value(std::move(info)).toXML());

  platform::Bundle::setMainBundlePathForTesting(dir / "App.app");
  EXPECT_EQ(Launcher::getJavaMinVersion(), std::nullopt);
  platform::Bundle::setMainBundlePathForTesting(dir / "Min.app");
  EXPECT_EQ(Launcher::getJavaMinVersion(), "11");
  platform::Bundle::setMainBundlePathForTesting(std::nullopt);
}

}  // namespace
