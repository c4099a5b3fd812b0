// The installation registry as another installed application leaves it: a
// small Java program writes the preferences node with java.util.prefs under a
// temporary home, and the registry search reads it back.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Environment.h"
#include "platform/Task.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
using test_support::countOf;
using namespace testing_headers;
using platform::Dictionary;
using platform::Value;
using test_support::TemporaryDirectory;

constexpr const char* kWritePrefs = R"(import java.util.prefs.Preferences;

public class WritePrefs {
  public static void main(String[] args) throws Exception {
    Preferences node = Preferences.userRoot().node("/com/quorvane/installations");
    for (int i = 0; i + 1 < args.length; i += 2) node.put(args[i], args[i + 1]);
    node.flush();
  }
}
)";

std::optional<std::string> findJava() {
  std::vector<std::string> candidates;
  if (auto home = platform::getEnvironment("JAVA_HOME")) candidates.push_back(*home + "/bin/java");
  candidates.push_back("/usr/lib/jvm/java-17-openjdk-amd64/bin/java");
  candidates.push_back("/usr/bin/java");
  for (const std::string& java : candidates)
    if (::access(java.c_str(), X_OK) == 0) return java;
  return std::nullopt;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    java = findJava();
    if (!java) GTEST_SKIP() << "no java to write the preferences with";
    fs::create_directories(dir / "home");
    savedLog = logStatus.exchange(1);
    // The user's home (HOME) with the suite's file under its .config, and
    // the home in the password database, where Java keeps its store whatever
    // HOME says: the test's own, not the real user's.
    launcher.userDefaults.homeDirectoryOverride = dir / "home";
    launcher.userDefaults.configDirectoryOverride = dir / "home/.config";
    launcher.userDefaults.userHomeDirectoryOverride = dir / "user";
  }
  void TearDown() override {
    if (capturing) ::testing::internal::GetCapturedStderr();
    logStatus.store(savedLog);
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
    launchJavaVersion = nullptr;
  }

  // Runs the Java program with its user.home at the test's home (by default
  // the one HOME names).
  void writeRegistry(const std::vector<std::string>& keysAndValues, const std::string& home = "home") {
    std::string source = dir.write("WritePrefs.java", kWritePrefs);
    std::vector<std::string> arguments = {"-Duser.home=" + (dir / home), source};
    arguments.insert(arguments.end(), keysAndValues.begin(), keysAndValues.end());
    platform::Task task;
    task.setLaunchPath(*java);
    task.setArguments(arguments);
    task.launch();
    task.waitUntilExit();
    ASSERT_EQ(task.terminationStatus(), 0);
    ASSERT_TRUE(fs::exists(dir / (home + "/.java/.userPrefs/com/quorvane/installations/prefs.xml")));
  }

  void makeApp(const std::string& name, std::optional<std::string> appId,
               std::optional<std::string> min = {}) {
    Dictionary info;
    if (appId) info["qvr.appId"] = Value(*appId);
    if (min) info["qvr.minVersion"] = Value(*min);
    dir.write(name + ".app/Contents/Info.plist", Value(std::move(info)).toXML());
    platform::Bundle::setMainBundlePathForTesting(dir / (name + ".app"));
  }
  std::optional<std::string> searchRegistry() {
    ::testing::internal::CaptureStderr();
    capturing = true;
    std::optional<std::string> found = launcher.findJavaBundle(true);
    log = ::testing::internal::GetCapturedStderr();
    capturing = false;
    return found;
  }

  TemporaryDirectory dir;
  Launcher launcher;
  std::optional<std::string> java;
  std::int32_t savedLog = 0;
  bool capturing = false;
  std::string log;
};

TEST_F(RegistryTest, FirstPassingInstallationIsReturnedInListOrder) {
  const std::string d1 = dir / "d1", d2 = dir / "d2", d3 = dir / "d3";
  fs::create_directories(d1 + "/Old.app/Contents");  // no runtime in either place
  writeRuntime(dir, "d2/.quorvane/jre.bundle", versioned("11.0.2"));
  writeRuntime(dir, "d3/New.app/Contents/Resources/jre.bundle", versioned("21.0.1"));
  writeRegistry({"allinstdirsfirst", d1 + ";;" + d2 + ";" + d3 + ";",  // stray separators
                 "singleBundleNamefirst_" + d1, "Old.app",             //
                 "singleBundleNamefirst_" + d3, "New.app"});

  makeApp("App", "first");
  EXPECT_EQ(searchRegistry(), d2 + "/.quorvane/jre.bundle");
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_EQ(countOf(log, "checking " + d1 + "/Old.app/Contents/PlugIns/jre.bundle"), 1u) << log;
  EXPECT_EQ(countOf(log, "checking /.quorvane/jre.bundle"), 0u) << log;
  EXPECT_EQ(countOf(log, "check returned"), 1u) << "the missing runtime is passed over unchecked";
  EXPECT_EQ(countOf(log, "New.app"), 1u) << "the later, higher runtime is not tried";
}

TEST_F(RegistryTest, BundleNamePathsAndConstraintsDecide) {
  const std::string d1 = dir / "d1", d2 = dir / "d2";
  writeRuntime(dir, "d1/Old.app/Contents/Resources/jre.bundle", versioned("1.8.0_402"));
  writeRuntime(dir, "d2/App.app/Contents/PlugIns/jre.bundle", versioned("17.0.2"));
  writeRegistry({"allinstdirsnamed", d1 + ";" + d2,         //
                 "singleBundleNamenamed_" + d1, "Old.app",  //
                 "singleBundleNamenamed_" + d2, "App.app",  //
                 "allinstdirsother", d1});

  makeApp("Needs9", "named", "9");
  EXPECT_EQ(searchRegistry(), d2 + "/App.app/Contents/PlugIns/jre.bundle");
  EXPECT_EQ(launcher.javaMajorVersion, 17);

  // Another application's list is read by its own id only.
  makeApp("Other", "other", "9");
  EXPECT_EQ(searchRegistry(), std::nullopt);
  EXPECT_FALSE(launcher.javaBundlePath);

  makeApp("Unknown", "unknown");
  EXPECT_EQ(searchRegistry(), std::nullopt);
  makeApp("NoId", std::nullopt);
  EXPECT_EQ(searchRegistry(), std::nullopt);
}

TEST_F(RegistryTest, NoRegistryFindsNothing) {
  writeRuntime(dir, "d1/.quorvane/jre.bundle", versioned("11.0.2"));
  makeApp("App", "first");
  EXPECT_EQ(searchRegistry(), std::nullopt);
  EXPECT_EQ(launchJavaVersion, nullptr);
}

TEST_F(RegistryTest, SuitePropertyListCarriedOverIsReadToo) {
  // A registry kept as the suite's property-list file, as the desktop
  // platform stores it, without any Java preferences node.
  const std::string d1 = dir / "d1";
  writeRuntime(dir, "d1/App.app/Contents/Resources/jre.bundle", versioned("17.0.2"));
  Dictionary registry;
  registry["allinstdirscarried"] = Value(d1);
  registry["singleBundleNamecarried_" + d1] = Value("App.app");
  Dictionary suite;
  suite["/com/quorvane/installations/"] = Value(std::move(registry));
  dir.write("home/.config/com.quorvane.installations.plist", Value(std::move(suite)).toXML());

  makeApp("App", "carried");
  EXPECT_EQ(searchRegistry(), d1 + "/App.app/Contents/Resources/jre.bundle");
}

TEST_F(RegistryTest, StoreIsReadWhereJavaWritesItWhateverHomeSays) {
  // Java writes under its user.home, the password database's home; HOME
  // names another directory, whose store records another installation.
  const std::string d1 = dir / "d1", d2 = dir / "d2";
  writeRuntime(dir, "d1/.quorvane/jre.bundle", versioned("11.0.2"));
  writeRuntime(dir, "d2/.quorvane/jre.bundle", versioned("17.0.2"));
  writeRegistry({"allinstdirsboth", d2}, "user");
  writeRegistry({"allinstdirsboth", d1, "allinstdirshomeonly", d1});
  makeApp("App", "both");
  EXPECT_EQ(searchRegistry(), d2 + "/.quorvane/jre.bundle");
  makeApp("HomeOnly", "homeonly");
  EXPECT_EQ(searchRegistry(), d1 + "/.quorvane/jre.bundle") << "the store under HOME is read too";
}

}  // namespace
