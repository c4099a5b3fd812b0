// Java parameters from the information dictionary: the order of the VM
// options, the version-specific sets, the command line, "LANG" and the
// working directory. Every case runs in a child process, since the operation
// changes the environment and the current directory of the whole process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "platform/Bundle.h"
#include "platform/FileManager.h"
#include "platform/Task.h"

using platform::Array;
using platform::Dictionary;
using platform::Value;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

struct Result {
  std::vector<std::string> options;
  std::optional<std::string> mainClass;
  std::vector<std::string> args;
  bool firstThread = false;
};

class JavaParametersTest : public testing::Test {
 protected:
  void SetUp() override {
    bundle_ = dir_ / "x/Setup.app";
    launcher_.userDefaults.configDirectoryOverride = dir_ / "config";
  }

  // Writes the bundle and the user's global defaults, which the launcher's
  // defaults read from the temporary directory.
  void makeBundle(Dictionary info, std::optional<std::string> appleLocale = "de_CH") {
    writeFile(bundle_ + "/Contents/Info.plist", Value(std::move(info)).toXML());
    if (appleLocale)
      writeFile(dir_ / "config/.GlobalPreferences.plist",
                Value(Dictionary{{"AppleLocale", Value(*appleLocale)}}).toXML());
    else
      std::filesystem::remove(dir_ / "config/.GlobalPreferences.plist");
  }

  // In the child: isolates the process state the operation reads (the home
  // directory is that of "~" in options files).
  void enterChild() {
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    ::unsetenv("LANG");
    platform::Bundle::setMainBundlePathForTesting(bundle_);
  }

  Result run(std::vector<std::string> commandLine = {"/prog"}) {
    launcher_.commandLineArguments = std::move(commandLine);
    Result r;
    platform::FileManager fileManager;
    launcher_.readJavaParameters(fileManager, r.options, r.mainClass, r.args, &r.firstThread);
    return r;
  }

  TemporaryDirectory dir_;
  std::string bundle_;
  Launcher launcher_;
};

Value strings(std::initializer_list<const char*> items) {
  Array a;
  for (const char* s : items) a.emplace_back(s);
  return Value(std::move(a));
}

// A descriptor with every key present.
Dictionary fullDescriptor() {
  Dictionary javaVM{
      {"WorkingDirectory", Value("$APP_PACKAGE/Contents")},
      {"ClassPath", Value("$APP_PACKAGE/a.jar:${MI_TEST_UNSET}")},
      {"VMOptionArray", strings({"-Da=$APP_PACKAGE", "-include-options \"inc.vmoptions\""})},
      {"VersionSpecificVMOptions",
       Value(Array{Value("*1.8*"), strings({"-Dv8"}), Value("9-11"), strings({"-Dv11"})})},
      {"OptionsFile", Value("$APP_PACKAGE/Contents/opts.vmoptions")},
      {"SplashFile", Value("$APP_PACKAGE/splash.png")},
      {"ModulePath", Value("${launcher:sys.launcherDirectory}/mods")},
      {"ArgumentArray", strings({"$APP_PACKAGE/arg", "${launcher:sys.pathlistSeparator}"})},
      {"MainClass", Value("com.example.$APP_PACKAGE")},
      {"StartOnMainThread", Value::boolean(true)},
  };
  return Dictionary{{"JavaVM", Value(std::move(javaVM))},
                    {"CFBundleIconFile", Value("icon.icns")},
                    {"CFBundleName", Value("Setup Tool")},
                    {"qvr.allowPassthrough", Value("YES")}};
}

}  // namespace

TEST_F(JavaParametersTest, EveryKeyPresentGivesTheFullOrder) {
  makeBundle(fullDescriptor());
  writeFile(dir_ / "x/inc.vmoptions", "-Dinc\n-classpath/a inc.jar\n");
  writeFile(dir_ / "x/Setup.vmoptions", "-Dbundlefile\n");
  writeFile(bundle_ + "/Contents/opts.vmoptions", "-Doptsfile\n");
  test_support::runInChild([&] {
    enterChild();
    ::unsetenv("MI_TEST_UNSET");
    launcher_.javaVersion = "11.0.2";
    launcher_.javaMajorVersion = 11;
    launcher_.passDockOptions = true;
    Result r = run({"/prog", "-psn_0_1", "-J-Xmx512m", "app", "-psn_2", "${HOME}", "-J"});
    const std::string& b = bundle_;
    EXPECT_THAT(
        r.options,
        ElementsAreArray({"-Da=" + b, std::string("-Dinc"), std::string("-Dv11"), std::string("-Dbundlefile"),
                          std::string("-Doptsfile"), "-splash:" + b + "/splash.png",
                          "-Djava.class.path=" + b + "/a.jar:inc.jar", std::string("-p"), b + "/mods",
                          "-Xdock:icon=" + b + "/Contents/Resources/icon.icns",
                          std::string("-Xdock:name=Setup Tool"), "-Dqvr.ownBundlePath=" + b,
                          std::string("-Xmx512m"), std::string("")}));
    EXPECT_THAT(r.args, ElementsAre(b + "/arg", ":", "app", "-psn_2", "${HOME}"));
    EXPECT_EQ(r.mainClass, "com.example.$APP_PACKAGE");
    EXPECT_TRUE(r.firstThread);
    EXPECT_EQ(platform::FileManager().currentDirectory(), b + "/Contents");
    EXPECT_STREQ(std::getenv("LANG"), "de_CH.UTF-8");
  });
}

TEST_F(JavaParametersTest, DockTraitOffLeavesTheRestOfTheOrder) {
  makeBundle(fullDescriptor());
  test_support::runInChild([&] {
    enterChild();
    launcher_.javaMajorVersion = 9;
    launcher_.passDockOptions = false;
    Result r = run({"/prog", "-J-Xss1m"});
    const std::string& b = bundle_;
    EXPECT_THAT(r.options,
                ElementsAreArray({"-Da=" + b, std::string("-Dv11"), "-splash:" + b + "/splash.png",
                                  "-Djava.class.path=" + b + "/a.jar", std::string("-p"), b + "/mods",
                                  "-Dqvr.ownBundlePath=" + b, std::string("-Xss1m")}));
  });
}

TEST_F(JavaParametersTest, WithoutJavaVMDictionary) {
  makeBundle(Dictionary{{"CFBundleIconFile", Value("i.icns")}}, std::nullopt);
  writeFile(dir_ / "x/Setup.vmoptions", "-Dfrom.file\n");
  test_support::runInChild([&] {
    enterChild();
    launcher_.passDockOptions = true;
    Result r = run({"/prog", "-J-Xmx1g", "a"});
    const std::string& b = bundle_;
    // Without CFBundleName the dock name is the bundle's name.
    EXPECT_THAT(r.options, ElementsAre("-Dfrom.file", "-Xdock:icon=" + b + "/Contents/Resources/i.icns",
                                       "-Xdock:name=Setup", "-Dqvr.ownBundlePath=" + b));
    EXPECT_THAT(r.args, ElementsAre("-J-Xmx1g", "a"));
    EXPECT_EQ(r.mainClass, std::nullopt);
    EXPECT_FALSE(r.firstThread);
    EXPECT_EQ(platform::FileManager().currentDirectory(), b);
    EXPECT_EQ(std::getenv("LANG"), nullptr) << "no AppleLocale leaves LANG unset";
  });
}

TEST_F(JavaParametersTest, PresentLangIsKeptEvenWhenEmpty) {
  makeBundle({});
  test_support::runInChild([&] {
    enterChild();
    ::setenv("LANG", "", 1);
    run();
    EXPECT_STREQ(std::getenv("LANG"), "");
    ::setenv("LANG", "C", 1);
    run();
    EXPECT_STREQ(std::getenv("LANG"), "C");
  });
}

TEST_F(JavaParametersTest, PsnAndPassthroughOnTheCommandLine) {
  makeBundle({});
  test_support::runInChild([&] {
    enterChild();
    Result r = run({"/prog", "-psn_0_42", "-psn_1", "-J-Xmx1g"});
    EXPECT_THAT(r.args, ElementsAre("-psn_1", "-J-Xmx1g"));
    Result second = run({"/prog", "first", "-psn_0_42"});
    EXPECT_THAT(second.args, ElementsAre("first", "-psn_0_42"));
    EXPECT_EQ(std::count(second.options.begin(), second.options.end(), "-Xmx1g"), 0);
  });
}

TEST_F(JavaParametersTest, VersionSpecificSetsFirstMatchOnly) {
  struct Case {
    const char* name;
    Array sets;
    std::optional<std::string> version;
    int major;
    std::vector<std::string> expected;
  };
  const Value a = strings({"-Da"}), b = strings({"-Db"});
  const std::vector<Case> cases = {
      {"one element", {Value("*")}, "11.0.2", 11, {}},
      {"three elements", {Value("9-11"), a, Value("9-11")}, "10", 10, {"-Da"}},
      {"two matching pairs", {Value("*1.8*"), a, Value("8-8"), b}, "1.8.0_202", 8, {"-Da"}},
      {"asterisk alone", {Value("*"), a, Value("0-99"), b}, "11.0.2", 11, {"-Db"}},
      {"pattern 1.8 on 1.8", {Value("*1.8*"), a}, "1.8.0_202", 8, {"-Da"}},
      {"pattern 1.8 on 11", {Value("*1.8*"), a}, "11.0.2", 11, {}},
      {"pattern whole text", {Value("*1.8"), a}, "1.8.0_202", 8, {}},
      {"question mark", {Value("*11.0.?"), a}, "11.0.2", 11, {"-Da"}},
      {"question mark needs one", {Value("*11.0.2?"), a}, "11.0.2", 11, {}},
      {"case-sensitive", {Value("*17-EA"), a}, "17-ea", 17, {}},
      {"no version", {Value("**"), a}, std::nullopt, -1, {}},
      {"range 9-11 at 9", {Value("9-11"), a}, "9", 9, {"-Da"}},
      {"range 9-11 at 11", {Value("9-11"), a}, "11.0.2", 11, {"-Da"}},
      {"range 9-11 at 12", {Value("9-11"), a}, "12", 12, {}},
      {"range 17-17", {Value("17-17"), a}, "17.0.9", 17, {"-Da"}},
      {"range 17-17 at 16", {Value("17-17"), a}, "16", 16, {}},
      {"key without dash", {Value("11"), a, Value("11-11"), b}, "11.0.2", 11, {"-Db"}},
      {"open high bound", {Value("8-"), a}, "1.8.0_202", 8, {}},
      {"three parts", {Value("8-9-10"), a}, "9", 9, {}},
      {"blanks and sign", {Value(" +9- 11x"), a}, "10", 10, {"-Da"}},
      {"no digits is zero", {Value("x-y"), a}, "0", 0, {"-Da"}},
      {"unknown major", {Value("-1-5"), a}, std::nullopt, -1, {}},
      {"trailing key", {Value("0-0"), a, Value("*")}, "11", 11, {}},
      {"non-array list", {Value("1-99"), Value("-Dnot.a.list")}, "11", 11, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options;
    launcher_.javaVersion = c.version;
    launcher_.javaMajorVersion = c.major;
    const Value sets(c.sets);
    std::optional<std::string> cp = launcher_.addVersionSpecificOptions(&sets, options, bundle_, "keep.jar");
    EXPECT_EQ(options, c.expected) << c.name;
    EXPECT_EQ(cp, "keep.jar") << c.name;
  }
}

TEST_F(JavaParametersTest, PredefinedIncludesResolveAgainstTheBundlesDirectory) {
  makeBundle({});
  writeFile(dir_ / "x/rel.vmoptions", "-Drel\n-classpath/p rel.jar\n");
  writeFile(bundle_ + "/Contents/in.vmoptions", "-Din\n");
  writeFile(dir_ / "home/h.vmoptions", "-Dhome\n");
  test_support::runInChild([&] {
    enterChild();
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    std::vector<std::string> options;
    Value entries =
        strings({"-include-options rel.vmoptions", "-include-options \"$APP_PACKAGE/Contents/in.vmoptions\"",
                 "-include-options ~/h.vmoptions", "-include-options \"",
                 "-Dlast=${launcher:sys.pathlistSeparator}"});
    EXPECT_EQ(launcher_.addPredefinedOptions(&entries, options, bundle_, "base.jar"), "rel.jar:base.jar");
    EXPECT_THAT(options, ElementsAre("-Drel", "-Din", "-Dhome", "-Dlast=:"));
    EXPECT_EQ(launcher_.addPredefinedOptions(nullptr, options, bundle_, std::nullopt), std::nullopt);
  });
}

// The option list of a Linux launch is accepted by a real Java VM.
TEST_F(JavaParametersTest, RealJavaStartsWithTheLinuxOptionList) {
  const std::string java = "/usr/lib/jvm/java-17-openjdk-amd64/bin/java";
  if (!std::filesystem::exists(java)) GTEST_SKIP() << "no " << java;
  Dictionary info = fullDescriptor();
  makeBundle(info);
  writeFile(bundle_ + "/Contents/Check.java",
            "public class Check { public static void main(String[] a) {\n"
            "  String own = System.getProperty(\"qvr.ownBundlePath\");\n"
            "  System.exit(own != null && own.endsWith(\"Setup.app\") && a.length == 2 ? 0 : 3); } }\n");
  test_support::runInChild([&] {
    enterChild();
    ASSERT_TRUE(launcher_.passDockOptions == false) << "the Linux trait leaves the dock options out";
    launcher_.javaMajorVersion = 17;
    Result r = run({"/prog", "-J-Xmx64m"});
    std::vector<std::string> command = r.options;
    command.push_back(bundle_ + "/Contents/Check.java");
    command.insert(command.end(), r.args.begin(), r.args.end());
    platform::Task task;
    task.setLaunchPath(java);
    task.setArguments(command);
    task.launch();
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 0);
  });
}
