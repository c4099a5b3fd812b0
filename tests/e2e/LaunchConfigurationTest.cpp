// The launch configuration end to end with the real JDK 17: options files in
// awkward places and forms, a class path beyond the system's argument limit,
// the version of a runtime installed from the bundle's archive, and a restart
// of the program by the runtime's launcher library.
#include <gtest/gtest.h>

#include <iostream>
#include <set>

#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using test_support::writeFile;

namespace {

// Prints its arguments, the class path, every system property whose name
// begins with "t." and the program's restart record as Java sees it; exits 3.
fs::path probeJar() {
  return e2e::compiledJar("probe.jar", "Probe", R"(
import java.util.*;
public class Probe {
  public static void main(String[] args) {
    for (String a : args) System.out.println("arg=" + a);
    String cp = System.getProperty("java.class.path");
    System.out.println("cp.length=" + cp.length());
    System.out.println("cp=" + cp);
    for (String name : new TreeSet<>(System.getProperties().stringPropertyNames()))
      if (name.startsWith("t.")) System.out.println(name + "=" + System.getProperty(name));
    System.out.println("record=" + System.getenv("QUORVANE_RUNTIME_LIBRARY"));
    System.exit(3);
  }
}
)");
}

Value strings(std::vector<std::string> items) {
  Array a;
  for (auto& s : items) a.push_back(Value(s));
  return Value(a);
}

// The value of the first output line "name=...", or absent.
std::optional<std::string> printed(const std::string& out, const std::string& name) {
  std::string key = "\n" + name + "=";
  std::string text = "\n" + out;
  size_t at = text.find(key);
  if (at == std::string::npos) return std::nullopt;
  at += key.size();
  return text.substr(at, text.find('\n', at) - at);
}

class LaunchConfigurationTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    if (!fs::exists(e2e::jdk17Home() + "/bin/javac")) GTEST_SKIP() << "no JDK 17 at " << e2e::jdk17Home();
    e2e::ProgramTest::SetUp();
  }

  e2e::RunOptions options() const {
    e2e::RunOptions o = e2e::ProgramTest::options();
    o.environment["LD_LIBRARY_PATH"] = std::nullopt;
    return o;
  }

  // A bundle running Probe from its own probe.jar (and the entries after it)
  // with the JDK 17 found by the search.
  fs::path probeBundle(const fs::path& parent, Dictionary javaVM, const std::string& classPathTail = "") {
    javaVM["MainClass"] = Value("Probe");
    javaVM["ClassPath"] = Value("$APP_PACKAGE/Contents/Resources/app/probe.jar" + classPathTail);
    if (!javaVM.count("SearchSequence")) javaVM["SearchSequence"] = strings({"R" + e2e::jdk17Home()});
    fs::path app = e2e::makeBundle(parent, {{"JavaVM", Value(javaVM)}});
    fs::copy_file(probeJar(), app / "Contents/Resources/app/probe.jar");
    return app;
  }

  // Runs the bundle's program in the invoke-other mode on an argument file.
  e2e::Run invoke(const fs::path& app, const std::string& argumentFile, e2e::RunOptions o) {
    writeFile(root_ / "arguments", argumentFile);
    o.arguments = {"__qvr_invoke_other", (root_ / "arguments").string()};
    return e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
  }
};

const std::string kByteOrderMark = "\xEF\xBB\xBF";

TEST_F(LaunchConfigurationTest, OptionsFilesUnderATildeFolderWithMarksAndSelfIncludes) {
  // Beside the bundle: a mark before a comment, and two includes of itself.
  const fs::path folder = root_ / "dist~1";
  fs::path app =
      probeBundle(folder, {{"OptionsFile", Value("$APP_PACKAGE/Contents/Resources/app.vmoptions")}});
  writeFile(folder / "Test.vmoptions", kByteOrderMark +
                                           "# settings\n-Dt.beside=yes\n-include-options Test.vmoptions\n"
                                           "-include-options Test.vmoptions\n-Dt.after=yes\n");
  writeFile(
      app / "Contents/Resources/app.vmoptions",
      kByteOrderMark + "-include-options $APP_PACKAGE/Contents/Resources/inc.vmoptions\n-Dt.named=yes\n");
  writeFile(app / "Contents/Resources/inc.vmoptions", "-Dt.included=$APP_PACKAGE\n");

  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(printed(run.out, "t.beside"), "yes") << run.out;
  EXPECT_EQ(printed(run.out, "t.after"), "yes");
  EXPECT_EQ(printed(run.out, "t.named"), "yes");
  EXPECT_EQ(printed(run.out, "t.included"), app.string());
  EXPECT_NE(run.err.find("include not followed: " + (folder / "Test.vmoptions").string() +
                         " is already being read"),
            std::string::npos)
      << run.err;
}

TEST_F(LaunchConfigurationTest, LongClassPathReachesJavaThroughAnArgumentFile) {
  // 3,000 jars of long names in an ordinary home-folder path: far beyond the
  // 128 KiB one argument may have.
  const fs::path folder = root_ / "home/firstname.lastname/Downloads/Example Corporation Product Suite 2024";
  fs::path app = probeBundle(folder, {{"VMOptionArray", strings({"-Dt.quoted=\"a # b\" \\ 'c'"})}},
                             ":$APP_PACKAGE/Contents/Resources/lib/*");
  std::set<std::string> jars = {(app / "Contents/Resources/app/probe.jar").string()};
  for (int i = 0; i < 3000; ++i) {
    std::string name =
        "com.example.product.module-with-a-descriptive-name-" + std::to_string(i) + "-1.2.3.jar";
    writeFile(app / "Contents/Resources/lib" / name, "");
    jars.insert((app / "Contents/Resources/lib" / name).string());
  }
  e2e::RunOptions o = options();
  o.arguments = {"two words", "", "@not-a-file"};
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);

  ASSERT_EQ(run.status, 3) << run.err.substr(run.err.size() > 4000 ? run.err.size() - 4000 : 0);
  std::optional<std::string> classPath = printed(run.out, "cp");
  ASSERT_TRUE(classPath);
  std::set<std::string> seen;
  for (size_t from = 0, to; from <= classPath->size(); from = to + 1) {
    to = classPath->find(':', from);
    if (to == std::string::npos) to = classPath->size();
    seen.insert(classPath->substr(from, to - from));
  }
  EXPECT_EQ(seen, jars);
  EXPECT_GT(classPath->size(), 3 * 128 * 1024u);
  std::cout << "class path length reached: " << classPath->size() << " bytes\n";
  EXPECT_NE(run.out.find("arg=two words\narg=\narg=@not-a-file\n"), std::string::npos)
      << run.out.substr(0, 200);
  EXPECT_EQ(printed(run.out, "t.quoted"), "\"a # b\" \\ 'c'");
  EXPECT_NE(run.err.find(" arguments ("), std::string::npos);
  // The run's temporary directory, made for the argument file, is gone.
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(LaunchConfigurationTest, LongClassPathForAnOlderRuntimeNamesTheLimit) {
  // The application's own runtime claims Java 8, which has no argument files.
  fs::path app = probeBundle(root_, {{"SearchSequence", strings({})}}, ":" + std::string(200 * 1024, 'x'));
  const fs::path jre = app / "Contents/Resources/jre.bundle/Contents";
  writeFile(jre / "Info.plist",
            Value(Dictionary{{"CFBundleExecutable", Value("libjli.so")},
                             {"JavaVM", Value(Dictionary{{"JVMVersion", Value("1.8.0_202")}})}})
                .toXML());
  fs::create_directories(jre / "MacOS");
  fs::create_symlink(e2e::jdk17Home() + "/lib/libjli.so", jre / "MacOS/libjli.so");
  fs::create_directory_symlink(e2e::jdk17Home(), jre / "Home");

  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 1);
  const std::string option = "-Djava.class.path=" + (app / "Contents/Resources/app/probe.jar").string() + ":";
  EXPECT_NE(run.err.find("is " + std::to_string(option.size() + 200 * 1024) +
                         " bytes long, and the system passes at most 131071 bytes in one argument; "
                         "Java 8 cannot read its arguments from a file (Java 9 or later can)"),
            std::string::npos)
      << run.err.substr(run.err.size() > 3000 ? run.err.size() - 3000 : 0);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(LaunchConfigurationTest, RuntimeFromTheBundlesArchiveHasItsVersion) {
  Dictionary javaVM = {
      {"VMOptionArray", strings({"-Dt.jvmhome=${launcher:sys.jvmHome}"})},
      {"VersionSpecificVMOptions", Value(Array{Value("1-8"), strings({"-Dt.versioned=old"}), Value("0-99"),
                                               strings({"-Dt.versioned=yes"})})}};
  fs::path app = probeBundle(root_, javaVM);
  std::error_code error;
  fs::create_hard_link(e2e::jdkArchive(), app / "Contents/Resources/app/jre.tar.gz", error);
  if (error) fs::copy_file(e2e::jdkArchive(), app / "Contents/Resources/app/jre.tar.gz");

  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(printed(run.out, "t.versioned"), "yes") << run.out;
  std::optional<std::string> home = printed(run.out, "t.jvmhome");
  ASSERT_TRUE(home);
  EXPECT_TRUE(home->starts_with(tmp().string() + "/")) << *home;
  EXPECT_TRUE(home->ends_with("/jre.bundle/Contents/Home")) << *home;
}

TEST_F(LaunchConfigurationTest, RuntimeBundleNamingOnlyItsVersionIsJudgedByItsJava) {
  // A runtime bundle as make-bundle packs one: a dictionary with the version
  // and no executable. Its Java decides the processor type.
  fs::path app = probeBundle(
      root_, {{"SearchSequence", strings({})},
              {"VersionSpecificVMOptions", Value(Array{Value("17-17"), strings({"-Dt.versioned=17"})})}});
  const fs::path jre = app / "Contents/Resources/jre.bundle/Contents";
  writeFile(jre / "Info.plist",
            Value(Dictionary{{"JavaVM", Value(Dictionary{{"JVMVersion", Value("17.0.2")}})}}).toXML());
  fs::create_directory_symlink(e2e::jdk17Home(), jre / "Home");

  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(printed(run.out, "t.versioned"), "17") << run.out;
}

TEST_F(LaunchConfigurationTest, ArgumentFileWithAMarkAndAForeignRestartRecord) {
  fs::path app = e2e::makeBundle(root_, {});
  e2e::RunOptions o = options();
  // A record another process left behind is not this program's restart.
  o.environment["QUORVANE_RUNTIME_LIBRARY"] = "1:17:/nonexistent/libjli.so";
  e2e::Run run =
      invoke(app, kByteOrderMark + e2e::jdk17Home() + "\n-cp\n" + probeJar().string() + "\nProbe\nmarked", o);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(printed(run.out, "arg"), "marked") << run.out;
  EXPECT_EQ(printed(run.out, "record"), "null");
}

TEST_F(LaunchConfigurationTest, RestartByTheRuntimeLibraryGoesBackIntoJava) {
  // An alternative VM directory that is not the start of LD_LIBRARY_PATH makes
  // the runtime library restart the program to change that variable.
  fs::create_directory_symlink(e2e::jdk17Home() + "/lib/server", root_ / "vm");
  fs::path app = e2e::makeBundle(root_, {});
  e2e::RunOptions o = options();
  o.environment["LD_LIBRARY_PATH"] = e2e::jdk17Home() + "/lib/server";
  o.environment["_JAVA_LAUNCHER_DEBUG"] = "1";
  e2e::Run run = invoke(app,
                        e2e::jdk17Home() + "\n-XXaltjvm=" + (root_ / "vm").string() + "\n-cp\n" +
                            probeJar().string() + "\nProbe\nrestarted",
                        o);
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.out.find("mustsetenv: TRUE"), std::string::npos) << run.out.substr(0, 3000);
  EXPECT_EQ(printed(run.out, "arg"), "restarted") << run.err;
  EXPECT_EQ(printed(run.out, "record"), "null");
  EXPECT_NE(run.err.find("restarted by the runtime library"), std::string::npos);
}

}  // namespace
