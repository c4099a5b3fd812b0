// Runtime search: the order of the installed virtual machines, JAVA_HOME and
// the java on PATH, the browser plug-in, the own-runtime candidates, the
// search sequence, the registry, the failed unpacking of the own runtime, the
// failure report and the real JDKs of the machine.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/Exception.h"
#include "platform/Notice.h"
#include "platform/Value.h"

namespace {

namespace fs = std::filesystem;
using test_support::countOf;
using namespace testing_headers;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using test_support::ScopedEnv;
using test_support::TemporaryDirectory;

class LauncherSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedLog = logStatus.exchange(1);
    platform::setNoticeHandlerForTesting([this](const std::optional<std::string>&,
                                                const std::string& message) { notices.push_back(message); });
    launcher.internetPluginPath = dir / "plugin/JavaAppletPlugin.plugin";
    launcher.virtualMachinesDirectory = dir / "jvm";
    fs::create_directories(dir / "path");
  }
  void TearDown() override {
    if (capturing) ::testing::internal::GetCapturedStderr();
    logStatus.store(savedLog);
    platform::setNoticeHandlerForTesting({});
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
    launchJavaVersion = nullptr;
  }

  // An executable file (an ELF header for this machine) at dir/relative.
  std::string makeJava(const std::string& relative) {
    std::string java = dir.write(relative, elf(kRequiredElf));
    ::chmod(java.c_str(), 0755);
    return java;
  }
  // A Linux JDK home at dir/relative: a release file and bin/java.
  std::string makeJdkHome(const std::string& relative, const std::string& version) {
    dir.write(relative + "/release", "IMPLEMENTOR=\"Test\"\nJAVA_VERSION=\"" + version + "\"\n");
    makeJava(relative + "/bin/java");
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
    std::string tool =
        dir.write(home + "/bin/unpack200", "#!/bin/sh\n[ " + std::to_string(status) + " = 0 ] || exit " +
                                               std::to_string(status) +
                                               "\n/bin/cat \"$2\" > \"$3\" && /bin/rm \"$2\"\n");
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
  void searchPublic(std::optional<std::string> min = std::nullopt,
                    std::optional<std::string> max = std::nullopt, bool javaHomeFirst = false) {
    launchJavaVersion = nullptr;
    launcher.javaBundle.reset();
    launcher.findPublicJavaBundle(fileManager, min, max, std::nullopt, false, javaHomeFirst);
  }

  TemporaryDirectory dir;
  // No runtime of the machine takes part unless a test names one.
  ScopedEnv javaHome{"JAVA_HOME", nullptr};
  ScopedEnv path{"PATH", (dir / "path").c_str()};
  Launcher launcher;
  platform::FileManager fileManager;
  std::vector<std::string> notices;
  std::int32_t savedLog = 0;
  bool capturing = false;
};

// Installed virtual machines ---------------------------------------------------------

struct OrderCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> entries;  // name, version ("" for none)
  std::vector<std::string> expected;
};

TEST_F(LauncherSearchTest, VirtualMachinesAreTriedByVersionThenByName) {
  const std::vector<OrderCase> cases = {
      {"Linux vendor folders: the version decides, not the vendor name",
       {{"java-21-openjdk-amd64", "21.0.5"},
        {"temurin-17-jdk-amd64", "17.0.13"},
        {"zulu8-ca-amd64", "1.8.0_402"},
        {"java-25-openjdk-amd64", "25"}},
       {"java-25-openjdk-amd64", "java-21-openjdk-amd64", "temurin-17-jdk-amd64", "zulu8-ca-amd64"}},
      {"versions in the token order: 1.8.0_402 below 11, 17.0.10 above 17.0.9, 21-ea above 21",
       {{"a", "17.0.9"}, {"b", "11"}, {"c", "1.8.0_402"}, {"d", "17.0.10"}, {"e", "21-ea"}, {"f", "21"}},
       {"e", "f", "d", "a", "b", "c"}},
      {"equal versions: names without their vendor prefix, highest first, then the names",
       {{"openjdk-21.jdk", "1.0"},
        {"jdk-17.0.2.jdk", "1.0"},
        {"jdk1.8.0_202.jdk", "1.0"},
        {"zulu-11.jdk", "1.0"},
        {"temurin-17.jdk", "1.0"},
        {"jdk-21.jdk", "1.0"}},
       {"jdk-21.jdk", "openjdk-21.jdk", "jdk-17.0.2.jdk", "jdk1.8.0_202.jdk", "zulu-11.jdk",
        "temurin-17.jdk"}},
      {"entries without a version come last",
       {{"99.txt", ""}, {"empty", ""}, {"jdk-9", "9"}, {"aaa", "0.1"}},
       {"jdk-9", "aaa", "99.txt", "empty"}},
  };
  for (const OrderCase& c : cases) {
    fs::remove_all(dir / "jvm");
    for (const auto& [name, version] : c.entries) {
      if (name == "99.txt")
        dir.write("jvm/99.txt", "not a runtime");
      else if (name == "empty")
        fs::create_directories(dir / "jvm/empty");
      else if (name.starts_with("java-") || name.starts_with("temurin") || name.starts_with("zulu8"))
        makeJdkHome("jvm/" + name, version);
      else
        writeRuntime(dir, "jvm/" + name, versioned(version));
    }
    capture();
    searchPublic(std::nullopt, "0.0.1");  // every candidate is refused, so every one is tried
    std::string log = captured();
    EXPECT_EQ(triedVirtualMachines(log), c.expected) << c.what;
    EXPECT_FALSE(launcher.javaBundle) << c.what;
    EXPECT_EQ(launchJavaVersion, nullptr) << c.what;
  }
}

TEST_F(LauncherSearchTest, NewestFittingVirtualMachineIsChosen) {
  makeJdkHome("jvm/java-21-openjdk-amd64", "21.0.5");
  makeJdkHome("jvm/temurin-17-jdk-amd64", "17.0.13");
  makeJdkHome("jvm/zulu8-ca-amd64", "1.8.0_402");
  searchPublic();
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/java-21-openjdk-amd64");
  EXPECT_STREQ(launchJavaVersion, "21.0.5");

  searchPublic("11", "17");
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/temurin-17-jdk-amd64");
  EXPECT_EQ(launcher.javaMajorVersion, 17);

  searchPublic("1.8", "1.8");
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/zulu8-ca-amd64");
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_EQ(launcher.javaBundle->bundlePath(), dir / "jvm/zulu8-ca-amd64");
  EXPECT_FALSE(launcher.pluginUsed);
}

TEST_F(LauncherSearchTest, EntriesThatAreTheSameDirectoryAreCheckedOnce) {
  std::string real = makeJdkHome("jvm/java-17-openjdk-amd64", "17.0.15");
  fs::create_directory_symlink("java-17-openjdk-amd64", dir / "jvm/java-1.17.0-openjdk-amd64");
  fs::create_directory_symlink(real, dir / "jvm/zz-17");  // sorts before the real one
  fs::create_directory_symlink(dir / "jvm/missing", dir / "jvm/dangling");
  makeJdkHome("jvm/java-11-openjdk-amd64", "11.0.2");
  capture();
  searchPublic(std::nullopt, "1.8");
  std::string log = captured();
  // The real directory's name stands for the links to it.
  EXPECT_EQ(triedVirtualMachines(log),
            (std::vector<std::string>{"java-17-openjdk-amd64", "java-11-openjdk-amd64", "dangling"}));
  EXPECT_EQ(countOf(log, "is the same runtime as"), 2u) << log;
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

TEST_F(LauncherSearchTest, BrokenHomeIsSkippedForTheNextCandidate) {
  // A bundle whose Contents/Home links to a removed JDK, a JDK home without
  // bin/java and one whose bin/java cannot be executed: all newer than the
  // good one, all refused with a log line.
  Runtime dangling = versioned("25.0.1");
  dangling.java = false;
  writeRuntime(dir, "jvm/dangling-25.jdk", dangling);
  fs::create_directory_symlink(dir / "removed-jdk", dir / "jvm/dangling-25.jdk/Contents/Home");
  makeJdkHome("jvm/java-24-openjdk-amd64", "24");
  fs::remove(dir / "jvm/java-24-openjdk-amd64/bin/java");
  makeJdkHome("jvm/java-23-openjdk-amd64", "23");
  fs::permissions(dir / "jvm/java-23-openjdk-amd64/bin/java", fs::perms::owner_read);
  makeJdkHome("jvm/java-21-openjdk-amd64", "21.0.5");
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/java-21-openjdk-amd64");
  EXPECT_EQ(countOf(log, "no executable "), 3u) << log;
  EXPECT_EQ(countOf(log, ": no bin/java"), 3u) << log;
  // The refused candidates left the version fields alone.
  EXPECT_EQ(launcher.javaMajorVersion, 21);
}

// JAVA_HOME and the java on PATH ------------------------------------------------------------

TEST_F(LauncherSearchTest, JavaHomeComesFirstWhenItFits) {
  makeJdkHome("jvm/java-21-openjdk-amd64", "21.0.5");
  std::string custom = makeJdkHome("opt/jdk-11", "11.0.2");
  ScopedEnv home("JAVA_HOME", custom.c_str());
  searchPublic(std::nullopt, std::nullopt, true);
  EXPECT_EQ(launcher.javaBundlePath, custom);

  // Not fitting: the directory follows.
  searchPublic("17", std::nullopt, true);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/java-21-openjdk-amd64");

  // Without a search sequence the public search starts with it; a "Y" entry does not.
  makeApp("Plain");
  EXPECT_EQ(launcher.findJavaBundle(false), custom);
  makeApp("Sequenced", withSequence({Value("Y")}));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "jvm/java-21-openjdk-amd64");
}

TEST_F(LauncherSearchTest, JavaHomeInTheDirectoryIsNotCheckedTwice) {
  std::string jdk = makeJdkHome("jvm/java-17-openjdk-amd64", "17.0.15");
  ScopedEnv home("JAVA_HOME", (jdk + "/").c_str());
  capture();
  searchPublic("21", std::nullopt, true);
  std::string log = captured();
  EXPECT_EQ(countOf(log, "check returned"), 1u) << log;
  EXPECT_EQ(countOf(log, "was checked already"), 1u) << log;
}

TEST_F(LauncherSearchTest, JavaOnPathIsTriedLastThroughItsRealPath) {
  // A version manager's layout: PATH holds a link to the current JDK's java.
  std::string jdk = makeJdkHome("manager/candidates/java/22.0.1-tem", "22.0.1");
  fs::create_directory_symlink(jdk, dir / "manager/candidates/java/current");
  fs::create_symlink(dir / "manager/candidates/java/current/bin/java", dir / "path/java");
  makeJdkHome("jvm/java-21-openjdk-amd64", "21.0.5");
  searchPublic();
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/java-21-openjdk-amd64") << "the directory comes first";

  searchPublic("22");
  EXPECT_EQ(launcher.javaBundlePath, jdk);
  EXPECT_STREQ(launchJavaVersion, "22.0.1");

  // A java 8 JDK runs jre/bin/java; its home is the JDK around the jre.
  std::string jdk8 = makeJdkHome("opt/jdk8", "1.8.0_402");
  makeJava("opt/jdk8/jre/bin/java");
  fs::remove(dir / "path/java");
  fs::create_symlink(jdk8 + "/jre/bin/java", dir / "path/java");
  searchPublic("1.8", "1.8");
  EXPECT_EQ(launcher.javaBundlePath, jdk8);
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
    plugin.java = withJava;
    writeRuntime(dir, "plugin/JavaAppletPlugin.plugin", plugin);
  }
};

TEST_F(PluginSearchTest, OraclePluginIsCheckedWithItsRewrittenVersionAndWins) {
  makePlugin("com.oracle.java.JavaAppletPlugin", "Java 8 Update 401");
  writeRuntime(dir, "jvm/jdk-21.jdk", versioned("21.0.1"));
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
  writeRuntime(dir, "jvm/jdk-11.jdk", versioned("11.0.2"));
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
  writeRuntime(dir, "jvm/jdk-11.jdk", versioned("11.0.2"));
  capture();
  searchPublic();
  std::string log = captured();
  EXPECT_EQ(countOf(log, "] JRE "), 0u);
  EXPECT_FALSE(launcher.pluginUsed);
  EXPECT_EQ(launcher.javaBundlePath, dir / "jvm/jdk-11.jdk");
}

TEST_F(PluginSearchTest, RefusedOraclePluginFallsBackToTheDirectory) {
  makePlugin("com.oracle.java.JavaAppletPlugin", "Oracle");
  writeRuntime(dir, "jvm/jdk-11.jdk", versioned("11.0.2"));
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
      writeRuntime(dir, "Plain.app/Contents/Resources/jre.bundle"),
      writeRuntime(dir, "Plain.app/Contents/PlugIns/jre.bundle"),
      writeRuntime(dir, ".quorvane/jre.bundle"),
  };
  makeJava(".quorvane/jre/bin/java");
  writeRuntime(dir, "jvm/jdk-11.jdk", versioned("11.0.2"));

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

  makeApp("Sequenced", withSequence({Value("R" + writeRuntime(dir, "seq/jre.bundle", versioned("9.0.4")))}));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
}

TEST_F(LauncherSearchTest, RefusedOwnRuntimeEndsTheSearchButIsStillUnpacked) {
  Runtime x86 = versioned("17.0.2");
  x86.executable = machO(kOther);
  makeApp("App", withSequence({Value("R" + writeRuntime(dir, "seq/jre.bundle"))}));
  writeRuntime(dir, "App.app/Contents/Resources/jre.bundle", x86);
  writeRuntime(dir, "App.app/Contents/PlugIns/jre.bundle");
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
  writeRuntime(dir, "App.app/Contents/PlugIns/jre.bundle", versioned("21-ea"));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "App.app/Contents/PlugIns/jre.bundle");
  EXPECT_STREQ(launchJavaVersion, "21-ea");
  EXPECT_EQ(launcher.javaMajorVersion, 21);
}

TEST_F(LauncherSearchTest, PlainBaseDirectoryRuntimeIsTakenUncheckedAndUnpackedInPlace) {
  Dictionary info;
  info["qvr.baseDir"] = Value(dir / "base");
  makeApp("App", info);
  makeUnpackTool("base/.quorvane/jre");
  makeJava("base/.quorvane/jre/bin/java");
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
  EXPECT_EQ(countOf(log, "Running unpacker on file://" + dir.path().string() + "/base/.quorvane/jre/"), 1u)
      << log;
  EXPECT_TRUE(fs::exists(dir / "base/.quorvane/jre/lib/ext/x.jar"));
}

TEST_F(LauncherSearchTest, OwnRuntimeLocationsWithoutARuntimeDoNotEndTheSearch) {
  // Empty directories in all three bundle places, a plain runtime directory
  // without java, and a bundle whose java is missing: all passed over.
  Dictionary info = withSequence({Value("R" + writeRuntime(dir, "seq/jre.bundle"))});
  info["qvr.baseDir"] = Value(dir / "base");
  makeApp("App", info);
  fs::create_directories(dir / "App.app/Contents/Resources/jre.bundle");
  Runtime noJava;
  noJava.java = false;
  writeRuntime(dir, "App.app/Contents/PlugIns/jre.bundle", noJava);
  fs::create_directories(dir / "base/.quorvane/jre.bundle");
  fs::create_directories(dir / "base/.quorvane/jre/lib");
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
  std::string log = captured();
  EXPECT_EQ(countOf(log, "no runtime in "), 2u) << log;
  EXPECT_EQ(countOf(log, "no executable "), 2u) << log;

  // A bundle place that holds only a release file counts as a runtime.
  makeJdkHome("base/.quorvane/jre.bundle", "11.0.2");
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "base/.quorvane/jre.bundle");
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
  writeRuntime(dir, "jvm/jdk-11.jdk");
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  std::string log = captured();
  EXPECT_EQ(countOf(log, "JDKs"), 0u);
  EXPECT_EQ(countOf(log, "search sequence"), 1u);
}

TEST_F(LauncherSearchTest, SequenceEntriesRunInOrderUntilOneIsFound) {
  ScopedEnv jre("MI_SEARCH_TEST_JRE", writeRuntime(dir, "env/jre.bundle", versioned("11.0.2")).c_str());
  ScopedEnv unset("MI_SEARCH_TEST_UNSET", nullptr);
  makeApp("App",
          withSequence({Value(""), Value::integer(5), Value("EMI_SEARCH_TEST_UNSET"),
                        Value("X" + writeRuntime(dir, "other/jre.bundle")), Value("R" + (dir / "missing")),
                        Value("R" + writeRuntime(dir, "refused/jre.bundle", versioned("1.6.0_45"))),
                        Value("EMI_SEARCH_TEST_JRE"), Value("R" + writeRuntime(dir, "later/jre.bundle"))},
                       {{"qvr.minVersion", Value("1.7")}}));
  capture();
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "env/jre.bundle");
  std::string log = captured();
  EXPECT_EQ(countOf(log, "checking environment variable MI_SEARCH_TEST_UNSET"), 1u);
  EXPECT_EQ(countOf(log, "checking directory " + (dir / "missing")), 1u);
  EXPECT_EQ(countOf(log, "checking directory " + (dir / "later")), 0u);
  EXPECT_EQ(countOf(log, "check returned"), 2u) << "the refused and the found one";
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
}

TEST_F(LauncherSearchTest, SequenceDirectoriesGetTheirVariablesReplaced) {
  writeRuntime(dir, "seq/jre.bundle");
  ScopedEnv sequence("MI_SEARCH_TEST_DIR", (dir / "seq").c_str());
  makeApp("App",
          withSequence({Value("R$APP_PACKAGE/../missing"), Value("R${MI_SEARCH_TEST_DIR}/jre.bundle")}));
  EXPECT_EQ(launcher.findJavaBundle(false), dir / "seq/jre.bundle");
}

TEST_F(LauncherSearchTest, MissingSequenceDirectoryIsClearedAtTheEnd) {
  makeApp("App", withSequence({Value("R" + (dir / "missing"))}));
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  EXPECT_FALSE(launcher.javaBundlePath);
}

TEST_F(LauncherSearchTest, EachStandardLocationsEntrySearchesAgain) {
  makeApp("App",
          withSequence({Value("Y"), Value("Yignored"), Value("R" + writeRuntime(dir, "seq/jre.bundle"))}));
  writeRuntime(dir, "jvm/jdk-11.jdk", versioned("11.0.2"));
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

// Installation registry -----------------------------------------------------------------------

TEST_F(LauncherSearchTest, RegistryIsReadFromTheSuiteThenFromBothJavaStores) {
  makeApp("App", {{"qvr.appId", Value("APP")}});
  launcher.userDefaults.configDirectoryOverride = dir / "config";
  launcher.userDefaults.homeDirectoryOverride = dir / "home";      // $HOME
  launcher.userDefaults.userHomeDirectoryOverride = dir / "user";  // the password database's home
  writeRuntime(dir, "d1/.quorvane/jre.bundle", versioned("11.0.2"));
  writeRuntime(dir, "d2/.quorvane/jre.bundle", versioned("17.0.2"));
  auto writeSuite = [&](const std::string& appId, const std::string& directory) {
    Dictionary registry{{"allinstdirs" + appId, Value(directory)}};
    dir.write("config/com.quorvane.installations.plist",
              Value(Dictionary{{"/com/quorvane/installations/", Value(registry)}}).toXML());
  };
  auto writeStore = [&](const std::string& home, const std::string& directory) {
    dir.write(home + "/.java/.userPrefs/com/quorvane/installations/prefs.xml",
              "<map><entry key=\"allinstdirsAPP\" value=\"" + directory + "\"/></map>");
  };

  // The suite's list records another application only: it hides nothing.
  writeSuite("OTHER", dir / "d2");
  writeStore("home", dir / "d1");
  EXPECT_EQ(launcher.findJavaBundle(true), dir / "d1/.quorvane/jre.bundle") << "the store under $HOME";
  writeStore("user", dir / "d2");
  EXPECT_EQ(launcher.findJavaBundle(true), dir / "d2/.quorvane/jre.bundle")
      << "the store Java writes comes first";
  writeSuite("APP", dir / "d1");
  EXPECT_EQ(launcher.findJavaBundle(true), dir / "d1/.quorvane/jre.bundle") << "the suite's own entry wins";

  fs::remove_all(dir / "config");
  fs::remove_all(dir / "user");
  fs::remove_all(dir / "home");
  EXPECT_EQ(launcher.findJavaBundle(true), std::nullopt);
  EXPECT_NE(launcher.searchReportText().find("\n  installation registry: no entry for APP\n"),
            std::string::npos)
      << launcher.searchReportText();
}

// Failure report --------------------------------------------------------------------------------

TEST_F(LauncherSearchTest, FailureReportGivesTheConstraintsAndEachRefusalInWords) {
  Runtime arm = versioned("21.0.1");
  arm.executable = machO(kOther);
  Runtime otherVendor = versioned("21.0.1");
  otherVendor.identifier = "org.x.jdk";
  Runtime noJava = versioned("22");
  noJava.java = false;
  fs::create_directories(dir / "empty");
  ScopedEnv unset("MI_REPORT_UNSET", nullptr);
  makeApp("App", withSequence(
                     {Value("R" + makeJdkHome("old", "17.0.13")), Value("R" + makeJdkHome("new", "31")),
                      Value("R" + makeJdkHome("ea", "22-ea")),
                      Value("R" + writeRuntime(dir, "other.bundle", otherVendor)),
                      Value("R" + writeRuntime(dir, "arm.bundle", arm)),
                      Value("R" + writeRuntime(dir, "nojava.bundle", noJava)), Value("R" + (dir / "empty")),
                      Value("R" + (dir / "missing")), Value("EMI_REPORT_UNSET"), Value("R" + (dir / "old"))},
                     {{"qvr.minVersion", Value("21")},
                      {"qvr.maxVersion", Value("30")},
                      {"qvr.vmIdPrefix", Value("com.vendor")}}));
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);
  EXPECT_EQ(launcher.findJavaBundle(true), std::nullopt);  // no qvr.appId: the registry adds nothing

  const std::string d = dir.path();
  const std::string expected =
      "No suitable Java runtime was found. Constraints: minimum 21, maximum 30, pre-releases not allowed, "
      "identifier prefix com.vendor, architecture " +
      architectureName(kRequired) +
      ".\n"
      "  " +
      d +
      "/old (version 17.0.13): below the minimum 21\n"
      "  " +
      d +
      "/new (version 31): above the maximum 30\n"
      "  " +
      d +
      "/ea (version 22-ea): pre-release\n"
      "  " +
      d +
      "/other.bundle (version 21.0.1): identifier org.x.jdk does not start with com.vendor\n"
      "  " +
      d + "/arm.bundle (version 21.0.1): built for " + architectureName(kOther) +
      " only\n"
      "  " +
      d +
      "/nojava.bundle (version 22): no bin/java\n"
      "  " +
      d +
      "/empty (no version: no Contents/Info.plist and no release file): not a runtime\n"
      "  " +
      d +
      "/missing: does not exist\n"
      "  environment variable MI_REPORT_UNSET: not set\n"
      "Run with QUORVANE_LOG=yes for the full trace.\n";
  EXPECT_EQ(launcher.searchReportText(), expected);

  capture();
  launcher.writeSearchReport();
  EXPECT_EQ(captured(), expected) << "written whole, without a log prefix";
}

TEST_F(LauncherSearchTest, FailureReportOfTheStandardLocations) {
  // The distribution's layout: a JDK, a link to it and its plain .jinfo file.
  makeJdkHome("jvm/java-17-openjdk-amd64", "17.0.15");
  fs::create_directory_symlink("java-17-openjdk-amd64", dir / "jvm/java-1.17.0-openjdk-amd64");
  dir.write("jvm/.java-1.17.0-openjdk-amd64.jinfo", "name=java-1.17.0-openjdk-amd64\n");
  dir.write("jvm/broken/release", "IMPLEMENTOR=\"Test\"\n");
  makeApp("App", {{"qvr.maxVersion", Value("11")}, {"qvr.allowBeta", Value("yes")}});
  EXPECT_EQ(launcher.findJavaBundle(false), std::nullopt);

  const std::string jvm = dir / "jvm";
  EXPECT_EQ(
      launcher.searchReportText(),
      "No suitable Java runtime was found. Constraints: minimum none, maximum 11, pre-releases allowed, "
      "identifier prefix none, architecture " +
          architectureName(kRequired) +
          ".\n"
          "  " +
          jvm +
          "/java-17-openjdk-amd64 (version 17.0.15): above the maximum 11\n"
          "  " +
          jvm +
          "/.java-1.17.0-openjdk-amd64.jinfo (no version: not a directory): not a runtime\n"
          "  " +
          jvm +
          "/broken (no version: release file without JAVA_VERSION): not a runtime\n"
          "  environment variable JAVA_HOME: not set\n"
          "  PATH: no java\n"
          "Run with QUORVANE_LOG=yes for the full trace.\n");
}

// Failed unpacking of the own runtime ----------------------------------------------------------

class OwnRuntimeUnpackTest : public LauncherSearchTest {
 protected:
  void SetUp() override {
    LauncherSearchTest::SetUp();
    makeApp("App");
    writeRuntime(dir, "App.app/Contents/Resources/jre.bundle");
    makeJava(home + "/jre/bin/java");  // a runtime with a nested jre runs that jre's java
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
