// Runtime search: the order of the installed virtual machines, the browser
// plug-in, the own-runtime candidates, the search sequence, the failed
// unpacking of the own runtime and the real JDKs of the machine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "ExecutableHeaders.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Exception.h"
#include "platform/Notice.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_headers;
using platform::Array;
using platform::Dictionary;
using platform::Value;

struct Runtime {
  std::optional<std::string> version = "17.0.2";  // JavaVM/JVMVersion
  std::optional<std::string> identifier = "com.vendor.jdk";
  Bytes executable = machO(kRequired);
  Dictionary extra;  // further top-level keys
};

Runtime versioned(std::string version) {
  Runtime r;
  r.version = std::move(version);
  return r;
}

size_t countOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class LauncherSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLog = logStatus.exchange(1);
    platform::setNoticeHandlerForTesting([this](const std::optional<std::string>&, const std::string& message) {
      notices.push_back(message);
    });
    launcher.internetPluginPath = dir / "plugin/JavaAppletPlugin.plugin";
    launcher.virtualMachinesDirectory = dir / "jvm";
  }
  void TearDown() override {
    if (capturing) ::testing::internal::GetCapturedStderr();
    logStatus.store(savedLog);
    platform::setNoticeHandlerForTesting({});
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
    launchJavaVersion = nullptr;
  }

  // A runtime bundle at dir/relative.
  std::string makeRuntime(const std::string& relative, const Runtime& runtime = {}) {
    Dictionary info = runtime.extra;
    if (runtime.identifier) info["CFBundleIdentifier"] = Value(*runtime.identifier);
    info["CFBundleExecutable"] = Value("libjli.dylib");
    if (runtime.version) {
      Dictionary javaVM;
      javaVM["JVMVersion"] = Value(*runtime.version);
      info["JavaVM"] = Value(std::move(javaVM));
    }
    dir.write(relative + "/Contents/Info.plist", Value(std::move(info)).toXML());
    dir.write(relative + "/Contents/MacOS/libjli.dylib", runtime.executable);
    return dir / relative;
  }
  // An application bundle at dir/name.app, made the main bundle.
  std::string makeApp(const std::string& name, Dictionary info = {}) {
    dir.write(name + ".app/Contents/Info.plist", Value(std::move(info)).toXML());
    std::string path = dir / (name + ".app");
    platform::Bundle::setMainBundlePathForTesting(path);
    return path;
  }
  static Dictionary withSequence(std::vector<Value> entries, Dictionary info = {}) {
    Dictionary javaVM;
    javaVM["SearchSequence"] = Value(Array(std::move(entries)));
    info["JavaVM"] = Value(std::move(javaVM));
    return info;
  }
  // A fake unpack tool in home that copies the packed file and exits with status.
  void makeUnpackTool(const std::string& home, int status = 0) {
    std::string tool = dir.write(home + "/bin/unpack200",
                                 "#!/bin/sh\n[ " + std::to_string(status) +
                                     " = 0 ] || exit " + std::to_string(status) +
                                     "\ncat \"$2\" > \"$3\" && rm \"$2\"\n");
    ::chmod(tool.c_str(), 0755);
  }

  void capture() {
    ::testing::internal::CaptureStderr();
    capturing = true;
  }
  std::string captured() {
    capturing = false;
    return ::testing::internal::GetCapturedStderr();
  }
  // The candidates the standard-locations search tried, in order.
  std::vector<std::string> triedVirtualMachines(const std::string& log) const {
    std::vector<std::string> tried;
    const std::string marker = "] checking " + launcher.virtualMachinesDirectory + "/";
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
      size_t at = line.find(marker);
      if (at != std::string::npos) tried.push_back(line.substr(at + marker.size()));
    }
    return tried;
  }
  void searchPublic(std::optional<std::string> min = std::nullopt, std::optional<std::string> max = std::nullopt) {
    launchJavaVersion = nullptr;
    launcher.javaBundle.reset();
    launcher.findPublicJavaBundle(fileManager, min, max, std::nullopt, false);
  }

  TemporaryDirectory dir;
  Launcher launcher;
  platform::FileManager fileManager;
  std::vector<std::string> notices;
  std::int32_t savedLog = 0;
  bool capturing = false;
};

// Installed virtual machines ---------------------------------------------------------

TEST_F(LauncherSearchTest, VirtualMachinesAreTriedHighestNameFirst) {
  for (std::string name : {"jdk-17.0.2.jdk", "jdk1.8.0_202.jdk", "openjdk-21.jdk", "zulu-11.jdk", "temurin-17.jdk"})
    makeRuntime("jvm/" + name, versioned("1.0"));  // all refused by the maximum below
  capture();
  searchPublic(std::nullopt, "0.9");
  std::string log = captured();
  EXPECT_EQ(triedVirtualMachines(log), (std::vector<std::string>{"openjdk-21.jdk", "jdk-17.0.2.jdk",
                                                                  "jdk1.8.0_202.jdk", "zulu-11.jdk",
                                                                  "temurin-17.jdk"}));
  EXPECT_FALSE(launcher.javaBundle);
  EXPECT_EQ(launchJavaVersion, nullptr);
  // The last candidate's path stays for the caller's End step to clear.
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/temurin-17.jdk");
}

TEST_F(LauncherSearchTest, FirstPassingVirtualMachineIsChosenByNameNotByItsVersion) {
  makeRuntime("jvm/jdk1.8.0_202.jdk", versioned("1.8.0_202"));
  makeRuntime("jvm/zulu-21.jdk", versioned("21.0.1"));
  makeRuntime("jvm/jdk-17.jdk", versioned("17.0.9"));
  searchPublic("1.8", "1.8");
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk1.8.0_202.jdk");
  EXPECT_STREQ(launchJavaVersion, "1.8.0");

  // Without a maximum the higher name wins, although zulu-21 holds 21.
  searchPublic("1.8");
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-17.jdk");
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_EQ(launcher.javaBundle->bundlePath(), dir / "jvm/jdk-17.jdk");
  EXPECT_FALSE(launcher.pluginUsed);
}

TEST_F(LauncherSearchTest, PlainFileAmongVirtualMachinesIsTriedAndRefused) {
  dir.write("jvm/99.txt", "not a runtime");
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2+9"));
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(triedVirtualMachines(log), (std::vector<std::string>{"99.txt", "jdk-11.jdk"}));
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
}

TEST_F(LauncherSearchTest, MissingOrEmptyVirtualMachineDirectoryFindsNothing) {
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(countOf(log, "JDKs"), 0u) << log;
  EXPECT_FALSE(launcher.javaBundlePath);

  fs::create_directories(dir / "jvm");
  capture();
  searchPublic();
  log = captured();
  EXPECT_EQ(countOf(log, "JDKs"), 1u) << log;
  EXPECT_FALSE(launcher.javaBundle);
  EXPECT_EQ(launchJavaVersion, nullptr);
}

TEST_F(LauncherSearchTest, SortingHandlesEmptyListsAndEqualVersions) {
  EXPECT_TRUE(launcher.sortedByVersionDescending({}).empty());
  std::vector<std::string> sorted = launcher.sortedByVersionDescending({"jdk-17.jdk", "jdk-9.jdk", "openjdk-17.jdk"});
  ASSERT_EQ(sorted.size(), 3u);
  EXPECT_EQ(sorted.back(), "jdk-9.jdk");
}

// Browser plug-in -------------------------------------------------------------------------

class PluginSearchTest : public LauncherSearchTest {
 protected:
  void makePlugin(std::string identifier, std::string infoString, bool withJava = true) {
    Runtime plugin;
    plugin.version.reset();  // the plug-in's version is its CFBundleVersion
    plugin.identifier = std::move(identifier);
    plugin.extra["CFBundleVersion"] = Value("1.8.401.10");
    plugin.extra["CFBundleGetInfoString"] = Value(std::move(infoString));
    makeRuntime("plugin/JavaAppletPlugin.plugin", plugin);
    if (withJava) dir.write("plugin/JavaAppletPlugin.plugin/Contents/Home/bin/java", "");
  }
};

TEST_F(PluginSearchTest, OraclePluginIsCheckedWithItsRewrittenVersionAndWins) {
  makePlugin("com.oracle.java.JavaAppletPlugin", "Java 8 Update 401");
  makeRuntime("jvm/jdk-21.jdk", versioned("21.0.1"));
  capture();
  searchPublic(std::nullopt, "1.8");
  std::string log = captured();
  EXPECT_TRUE(launcher.pluginUsed);
  EXPECT_EQ(launcher.javaBundlePath, launcher.internetPluginPath);
  EXPECT_STREQ(launchJavaVersion, "1.8.401.10");
  EXPECT_EQ(launcher.javaMajorVersion, 8);
  EXPECT_EQ(countOf(log, "Oracle JRE"), 1u);
  EXPECT_EQ(countOf(log, "JDKs"), 0u) << "the directory must not be listed";
}

TEST_F(PluginSearchTest, VendorIsRecognisedByTheInfoStringToo) {
  makePlugin("org.example.plugin", "Java 8 Update 401, Oracle Corporation");
  searchPublic();
  EXPECT_TRUE(launcher.pluginUsed);
}

TEST_F(PluginSearchTest, PluginOfAnotherVendorIsReleasedWithoutCheck) {
  makePlugin("org.example.plugin", "Java 8 Update 401, oracle in lower case");
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2"));
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(countOf(log, "] JRE "), 1u);
  EXPECT_EQ(countOf(log, "Oracle JRE"), 0u);
  EXPECT_EQ(countOf(log, "check returned"), 1u) << "only the directory entry is checked";
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");
}

TEST_F(PluginSearchTest, PluginWithoutJavaIsNotOpened) {
  makePlugin("com.oracle.java.JavaAppletPlugin", "Oracle", false);
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2"));
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(countOf(log, "] JRE "), 0u);
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");
}

TEST_F(PluginSearchTest, RefusedOraclePluginFallsBackToTheDirectory) {
  makePlugin("com.oracle.java.JavaAppletPlugin", "Oracle");
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2"));
  searchPublic("9");
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");
}

// Public search -----------------------------------------------------------------------------

TEST_F(LauncherSearchTest, PublicSearchTakesEachCandidatePositionInTurn) {
  Dictionary info;
  info["qvr.baseDir"] = Value("$APP_PACKAGE/..");  // H is the directory holding the bundle
  std::string app = makeApp("Plain", info);
  const std::string base = app + "/..";
  const std::vector<std::string> own = {
      makeRuntime("Plain.app/Contents/Resources/jre.bundle"),
      makeRuntime("Plain.app/Contents/PlugIns/jre.bundle"),
      makeRuntime(".quorvane/jre.bundle"),
  };
  fs::create_directories(dir / ".quorvane/jre");
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2"));

  const std::vector<std::string> expected = {own[0], own[1], base + "/.quorvane/jre.bundle",
                                             base + "/.quorvane/jre"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(launcher.findJavaBundle(false), expected[i]) << "position " << i + 1;
    EXPECT_EQ(launcher.javaBundlePath, expected[i]);
    fs::remove_all(i < 3 ? own[i] : dir / ".quorvane/jre");
  }
  // Without any own runtime and without a search sequence: the standard locations.
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "jvm/jdk-11.jdk");
  EXPECT_STREQ(launchJavaVersion, "11.0.2");

  makeApp("Sequenced", withSequence({Value("R" + makeRuntime("seq/jre.bundle", versioned("9.0.4")))}));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
}

TEST_F(LauncherSearchTest, RefusedOwnRuntimeEndsTheSearchButIsStillUnpacked) {
  Runtime x86 = versioned("17.0.2");
  x86.executable = machO(kOther);
  makeApp("App", withSequence({Value("R" + makeRuntime("seq/jre.bundle"))}));
  makeRuntime("App.app/Contents/Resources/jre.bundle", x86);
  makeRuntime("App.app/Contents/PlugIns/jre.bundle");
  const std::string home = "App.app/Contents/Resources/jre.bundle/Contents/Home";
  makeUnpackTool(home);
  dir.write(home + "/lib/rt.jar.pack", "rt");

  launcher.pluginUsed = true;
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  EXPECT_FALSE(launcher.javaBundlePath);
  EXPECT_EQ(launchJavaVersion, nullptr);
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_TRUE(fs::exists(dir / (home + "/lib/rt.jar")));
  EXPECT_FALSE(fs::exists(dir / (home + "/lib/rt.jar.pack")));
}

TEST_F(LauncherSearchTest, OwnRuntimeIsAcceptedWhateverTheConstraints) {
  Dictionary info;
  info["qvr.minVersion"] = Value("99");
  info["qvr.maxVersion"] = Value("1.2");
  info["qvr.vmIdPrefix"] = Value("org.other");
  info["qvr.allowBeta"] = Value("no");
  makeApp("App", info);
  makeRuntime("App.app/Contents/PlugIns/jre.bundle", versioned("21-ea"));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "App.app/Contents/PlugIns/jre.bundle");
  EXPECT_STREQ(launchJavaVersion, "21-ea");
  EXPECT_EQ(launcher.javaMajorVersion, 21);
}

TEST_F(LauncherSearchTest, PlainBaseDirectoryRuntimeIsTakenUncheckedAndUnpackedInPlace) {
  Dictionary info;
  info["qvr.baseDir"] = Value(dir / "base");
  makeApp("App", info);
  makeUnpackTool("base/.quorvane/jre");
  dir.write("base/.quorvane/jre/lib/ext/x.jar.pack", "x");
  dir.write("base/.quorvane/jre.bundle", "a plain file is no bundle directory");
  launcher.javaVersion = "untouched";
  launcher.javaMajorVersion = 42;

  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "base/.quorvane/jre");
  std::string log = captured();
  EXPECT_STREQ(launchJavaVersion, "1.7.0");
  EXPECT_FALSE(launcher.javaBundle);
  EXPECT_EQ(launcher.javaVersion, "untouched");
  EXPECT_EQ(launcher.javaMajorVersion, 42);
  EXPECT_EQ(countOf(log, "check returned"), 0u);
  EXPECT_EQ(countOf(log, "Running unpacker on file://" + dir.path() + "/base/.quorvane/jre/"), 1u) << log;
  EXPECT_TRUE(fs::exists(dir / "base/.quorvane/jre/lib/ext/x.jar"));
}

TEST_F(LauncherSearchTest, BaseDirectoryBundleDirectoryHidesThePlainRuntime) {
  // On this platform every directory opens as a bundle; one without a
  // runtime in it is the own runtime, refused, and nothing else is tried.
  Dictionary info = withSequence({Value("R" + makeRuntime("seq/jre.bundle"))});
  info["qvr.baseDir"] = Value(dir / "base");
  makeApp("App", info);
  fs::create_directories(dir / "base/.quorvane/jre.bundle");
  fs::create_directories(dir / "base/.quorvane/jre");
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
}

TEST_F(LauncherSearchTest, NoBaseDirectoryKeySkipsTheBaseDirectoryCandidates) {
  makeApp("App");
  fs::create_directories(dir / "App.app/.quorvane/jre");
  fs::create_directories(dir / ".quorvane/jre");
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
}

// Search sequence ------------------------------------------------------------------------------

TEST_F(LauncherSearchTest, EmptySequenceSearchesNothing) {
  makeApp("App", withSequence({}));
  makeRuntime("jvm/jdk-11.jdk");
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  std::string log = captured();
  EXPECT_EQ(countOf(log, "JDKs"), 0u);
  EXPECT_EQ(countOf(log, "search sequence"), 1u);
}

TEST_F(LauncherSearchTest, SequenceEntriesRunInOrderUntilOneIsFound) {
  ::setenv("MI_SEARCH_TEST_JRE", makeRuntime("env/jre.bundle", versioned("11.0.2")).c_str(), 1);
  ::unsetenv("MI_SEARCH_TEST_UNSET");
  makeApp("App", withSequence({Value(""), Value::integer(5), Value("EMI_SEARCH_TEST_UNSET"),
                               Value("X" + makeRuntime("other/jre.bundle")), Value("R" + (dir / "missing")),
                               Value("R" + makeRuntime("refused/jre.bundle", versioned("1.6.0_45"))),
                               Value("EMI_SEARCH_TEST_JRE"), Value("R" + makeRuntime("later/jre.bundle"))},
                              {{"qvr.minVersion", Value("1.7")}}));
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "env/jre.bundle");
  std::string log = captured();
  ::unsetenv("MI_SEARCH_TEST_JRE");
  EXPECT_EQ(countOf(log, "checking environment variable MI_SEARCH_TEST_UNSET"), 1u);
  EXPECT_EQ(countOf(log, "checking directory " + (dir / "missing")), 1u);
  EXPECT_EQ(countOf(log, "checking directory " + (dir / "later")), 0u);
  EXPECT_EQ(countOf(log, "check returned"), 2u) << "the refused and the found one";
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
}

TEST_F(LauncherSearchTest, SequenceDirectoriesGetTheirVariablesReplaced) {
  makeRuntime("seq/jre.bundle");
  ::setenv("MI_SEARCH_TEST_DIR", (dir / "seq").c_str(), 1);
  makeApp("App", withSequence({Value("R$APP_PACKAGE/../missing"), Value("R${MI_SEARCH_TEST_DIR}/jre.bundle")}));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
  ::unsetenv("MI_SEARCH_TEST_DIR");
}

TEST_F(LauncherSearchTest, MissingSequenceDirectoryIsClearedAtTheEnd) {
  makeApp("App", withSequence({Value("R" + (dir / "missing"))}));
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  EXPECT_FALSE(launcher.javaBundlePath);
}

TEST_F(LauncherSearchTest, EachStandardLocationsEntrySearchesAgain) {
  makeApp("App", withSequence({Value("Y"), Value("Yignored"), Value("R" + makeRuntime("seq/jre.bundle"))}));
  makeRuntime("jvm/jdk-11.jdk", versioned("11.0.2"));
  capture();
  launcher.findJavaBundle(false);
  std::string log = captured();
  // The first "Y" finds the directory's runtime; the search stops there.
  EXPECT_EQ(countOf(log, "checking standard locations"), 1u);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");

  makeApp("Other", withSequence({Value("Y"), Value("Yignored"), Value("R" + (dir / "seq/jre.bundle"))},
                                {{"qvr.minVersion", Value("12")}}));
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
  log = captured();
  EXPECT_EQ(countOf(log, "checking standard locations"), 2u);
  EXPECT_EQ(countOf(log, "JDKs"), 2u);
}

// Failed unpacking of the own runtime ----------------------------------------------------------

class OwnRuntimeUnpackTest : public LauncherSearchTest {
 protected:
  void SetUp() override {
    LauncherSearchTest::SetUp();
    makeApp("App");
    makeRuntime("App.app/Contents/Resources/jre.bundle");
    dir.write(home + "/jre/lib/a.jar.pack", "a");
  }
  const std::string home = "App.app/Contents/Resources/jre.bundle/Contents/Home";
};

TEST_F(OwnRuntimeUnpackTest, FailingToolEndsWithTheInternalErrorAndNoProbeLeft) {
  makeUnpackTool(home + "/jre", 1);
  EXPECT_EXIT(launcher.findJavaBundle(false), ::testing::ExitedWithCode(1), "marlet.InternalError");
  EXPECT_FALSE(fs::exists(dir / (home + "/_qvr_testdir")));
  EXPECT_TRUE(fs::exists(dir / (home + "/jre/lib/a.jar.pack")));
}

TEST_F(OwnRuntimeUnpackTest, LeftoverProbeChoosesTheNonWritableMessage) {
  makeUnpackTool(home + "/jre", 1);
  fs::create_directories(dir / (home + "/_qvr_testdir"));
  EXPECT_EXIT(launcher.findJavaBundle(false), ::testing::ExitedWithCode(1), "NonWritablePackDir");
}

TEST_F(OwnRuntimeUnpackTest, HomeIsUnpackedAfterItsJreDirectory) {
  makeUnpackTool(home + "/jre");
  makeUnpackTool(home);
  dir.write(home + "/lib/b.jar.pack", "b");
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "App.app/Contents/Resources/jre.bundle");
  EXPECT_TRUE(fs::exists(dir / (home + "/jre/lib/a.jar")));
  EXPECT_TRUE(fs::exists(dir / (home + "/lib/b.jar")));
  EXPECT_TRUE(notices.empty());
}

TEST_F(OwnRuntimeUnpackTest, ToolThatCannotStartRaisesThroughTheSearch) {
  EXPECT_THROW(launcher.findJavaBundle(false), platform::Exception);
}

// The machine's own JDKs -------------------------------------------------------------------------

TEST_F(LauncherSearchTest, StandardLocationsFindTheInstalledJdksByConstraint) {
  const std::string jvm = "/usr/lib/jvm";
  const std::string openjdk17 = jvm + "/java-17-openjdk-amd64";
  const std::string temurin25 = jvm + "/temurin-25-jdk-amd64";
  if (!fs::exists(openjdk17 + "/release")) GTEST_SKIP() << "no OpenJDK 17 in " << jvm;
  launcher.virtualMachinesDirectory = jvm;
  launcher.internetPluginPath = dir / "no-plugin";

  searchPublic(std::nullopt, "17");
  EXPECT_EQ(launcher.javaBundlePath, openjdk17);
  EXPECT_EQ(launcher.javaMajorVersion, 17);
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_TRUE(launcher.javaBundle->isRuntimeHome());
  EXPECT_EQ(runtimeHomeOf(*launcher.javaBundlePath, fileManager), openjdk17);

  if (!fs::exists(temurin25 + "/release")) GTEST_SKIP() << "no Temurin 25 in " << jvm;
  searchPublic("20");
  EXPECT_EQ(launcher.javaBundlePath, temurin25);
  EXPECT_EQ(launcher.javaMajorVersion, 25);
}

}  // namespace
