// The invoke-other mode end to end: the built program reads an argument file,
// loads a runtime's launcher library and runs Java inside its own process,
// with real JDKs from /usr/lib/jvm and small stand-in libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;
using test_support::RunOptions;
using Outcome = test_support::Run;
using test_support::slurp;
using test_support::TemporaryDirectory;
using test_support::writeFile;

namespace {

bool isJdk(const fs::path& home) {
  return fs::exists(home / "lib/libjli.so") && fs::exists(home / "bin/javac");
}

// The first JDK under /usr/lib/jvm whose directory name starts with prefix.
std::string installedJdk(const std::string& prefix) {
  std::error_code ignored;
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/usr/lib/jvm", ignored))
    if (entry.path().filename().string().starts_with(prefix) && isJdk(entry.path()))
      found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  return found.empty() ? std::string() : found.front();
}

// The main runtime: JAVA_HOME when it names a JDK, else the distribution's
// OpenJDK 17; the second one: a Temurin 25 when installed.
const std::string kJdk = [] {
  const char* home = std::getenv("JAVA_HOME");
  return home && isJdk(home) ? std::string(home) : installedJdk("java-17-openjdk-");
}();
const std::string kSecondJdk = installedJdk("temurin-25-");

// Runs a program (the first argument) with extra environment entries,
// without a display so that notices only go to standard error.
Outcome run(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& extra,
            const fs::path& scratch) {
  RunOptions options;
  options.arguments.assign(arguments.begin() + 1, arguments.end());
  options.environment = {{"DISPLAY", std::nullopt},
                         {"WAYLAND_DISPLAY", std::nullopt},
                         {"QUORVANE_LOG", std::nullopt},
                         {"LANGUAGE", "en"}};
  for (const auto& [name, value] : extra) options.environment[name] = value;
  return test_support::runProgram(arguments.front(), scratch, options);
}

// One call of the recording stand-in library.
struct Call {
  std::vector<std::string> argv;
  std::vector<std::string> rest;  // terminator flag, then positions 3 to 14
};

std::vector<Call> readCalls(const fs::path& record) {
  std::vector<std::string> fields;
  std::string all = slurp(record);
  for (size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1)
    fields.push_back(all.substr(start, end - start));
  std::vector<Call> calls;
  for (size_t i = 0; i < fields.size();) {
    if (fields[i++] != "call") break;
    Call call;
    int count = std::stoi(fields.at(i++));
    for (int k = 0; k < count; ++k) call.argv.push_back(fields.at(i++));
    for (int k = 0; k < 13; ++k) call.rest.push_back(fields.at(i++));
    calls.push_back(call);
  }
  return calls;
}

class InvokeOtherTest : public ::testing::Test {
 protected:
  // The program inside an application bundle with its own message texts, and
  // a Java class compiled once for the whole suite.
  static void SetUpTestSuite() {
    suiteDirectory.emplace();
    suite = suiteDirectory->path();
    const fs::path contents = suite / "Demo.app/Contents";
    writeFile(contents / "Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleName</key><string>Demo</string>"
              "<key>qvr.minVersion</key><string>11</string></dict></plist>\n");
    writeFile(contents / "Resources/en.lproj/Localizable.strings",
              "\"AppleJavaMinVersionError\" = \"needs Java %1$@ for %2$@\";\n"
              "\"marlet.InternalError\" = \"internal failure: %@\";\n");
    fs::create_directories(contents / "MacOS");
    fs::copy_file(MI_PROGRAM_PATH, contents / "MacOS/Demo");
    program = (contents / "MacOS/Demo").string();

    writeFile(suite / "src/Hello.java",
              "public class Hello {\n"
              "  public static void main(String[] args) {\n"
              "    for (String a : args) System.out.println(\"arg[\" + a + \"]\");\n"
              "    System.out.println(\"home=\" + System.getProperty(\"java.home\"));\n"
              "    System.out.println(\"x=\" + System.getProperty(\"x\"));\n"
              "    System.exit(3);\n"
              "  }\n"
              "}\n");
    classes = (suite / "classes").string();
    if (kJdk.empty()) return;
    Outcome compiled =
        run({kJdk + "/bin/javac", "-d", classes, (suite / "src/Hello.java").string()}, {}, suite);
    ASSERT_EQ(compiled.status, 0) << compiled.err;
  }
  static void TearDownTestSuite() { suiteDirectory.reset(); }

  void SetUp() override {
    dir = suite / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(dir);
    argumentFile = dir / "arguments";
  }

  // Writes the argument file from its lines (joined by line feeds, nothing
  // added at the end) and runs the program on it.
  Outcome invoke(const std::vector<std::string>& lines, std::map<std::string, std::string> extra = {}) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
    writeFile(argumentFile, text);
    return run({program, "__qvr_invoke_other", argumentFile.string()}, extra, dir);
  }

  // A runtime directory holding the given library files (relative path ->
  // the shared object copied there).
  fs::path runtimeWith(const std::map<std::string, std::string>& libraries) {
    fs::path runtime = dir / "runtime";
    for (const auto& [relative, library] : libraries) {
      fs::create_directories((runtime / relative).parent_path());
      fs::copy_file(library, runtime / relative);
    }
    fs::create_directories(runtime);
    return runtime;
  }

  static inline std::optional<TemporaryDirectory> suiteDirectory;
  static inline fs::path suite;
  static inline std::string program;
  static inline std::string classes;
  fs::path dir;
  fs::path argumentFile;
};

// Real runtimes --------------------------------------------------------------------

class InvokeOtherJavaTest : public InvokeOtherTest {
 protected:
  void SetUp() override {
    if (kJdk.empty()) GTEST_SKIP() << "no JDK under /usr/lib/jvm or in JAVA_HOME";
    InvokeOtherTest::SetUp();
  }
};

TEST_F(InvokeOtherJavaTest, RunsJavaFromJdkHomeWithArgumentsUnchanged) {
  Outcome o = invoke({kJdk, "-cp", classes, "Hello", "two words", "", " padded ", "crlf\r", "last"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out, "arg[two words]\narg[]\narg[ padded ]\narg[crlf\r]\narg[last]\nhome=" +
                       fs::canonical(kJdk).string() + "\nx=null\n");
  EXPECT_FALSE(fs::exists(argumentFile));
}

TEST_F(InvokeOtherJavaTest, RunsJavaFromRuntimeBundleLinkingToJdk) {
  fs::create_directories(dir / "jre.bundle/Contents");
  fs::create_directory_symlink(kJdk, dir / "jre.bundle/Contents/Home");
  Outcome o =
      invoke({(dir / "jre.bundle").string(), "-cp", classes, "Hello", "bundled"}, {{"QUORVANE_LOG", "yes"}});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_NE(o.out.find("arg[bundled]\nhome=" + fs::canonical(kJdk).string() + "\n"), std::string::npos)
      << o.out;
  EXPECT_NE(o.err.find("] load library " + (dir / "jre.bundle/Contents/Home/lib/libjli.so").string() + ".\n"),
            std::string::npos)
      << o.err;
  EXPECT_FALSE(fs::exists(argumentFile));
}

TEST_F(InvokeOtherJavaTest, ExpandsAtFilesWithTheRuntimeLibrary) {
  writeFile(dir / "options", "-Dx=1\nHello\n");
  Outcome o = invoke({kJdk, "-cp", classes, "@" + (dir / "options").string(), "after"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out, "arg[after]\nhome=" + fs::canonical(kJdk).string() + "\nx=1\n");
}

TEST_F(InvokeOtherJavaTest, LeavesApplicationArgumentsWithAtAlone) {
  writeFile(dir / "options", "-Dx=2\nHello\n");
  const std::string options = "@" + (dir / "options").string();
  Outcome o = invoke({kJdk, "-cp", classes, options, "@no-such-file", options, "@"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out, "arg[@no-such-file]\narg[" + options + "]\narg[@]\nhome=" + fs::canonical(kJdk).string() +
                       "\nx=2\n");
}

TEST_F(InvokeOtherJavaTest, StaysInProcessWithAnotherVmOnTheLibraryPath) {
  // A directory with some libjvm on LD_LIBRARY_PATH makes the runtime library
  // restart the executable unless the path begins with the runtime's own VM.
  writeFile(dir / "other/lib/server/libjvm.so", "");
  Outcome o = invoke({kJdk, "-cp", classes, "Hello", "kept"},
                     {{"LD_LIBRARY_PATH", (dir / "other/lib/server").string()}});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out, "arg[kept]\nhome=" + fs::canonical(kJdk).string() + "\nx=null\n");
}

TEST_F(InvokeOtherJavaTest, RunsOnASecondRuntimeVersion) {
  if (kSecondJdk.empty()) GTEST_SKIP() << "no second JDK under /usr/lib/jvm";
  writeFile(dir / "options", "-Dx=25");
  Outcome o = invoke({kSecondJdk, "-cp", classes, "@" + (dir / "options").string(), "Hello", "second"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(o.out, "arg[second]\nhome=" + fs::canonical(kSecondJdk).string() + "\nx=25\n");
  EXPECT_FALSE(fs::exists(argumentFile));
}

// Failures ----------------------------------------------------------------------------

TEST_F(InvokeOtherTest, OneLineFileReportsNoRuntime) {
  Outcome o = invoke({"/usr/lib/jvm/some-jdk"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Demo: needs Java 11 for Demo"), std::string::npos) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_FALSE(fs::exists(argumentFile));
}

TEST_F(InvokeOtherTest, MissingArgumentFileReportsNoRuntime) {
  Outcome o = run({program, "__qvr_invoke_other", (dir / "absent").string()}, {}, dir);
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Demo: needs Java 11 for Demo"), std::string::npos) << o.err;
}

TEST_F(InvokeOtherTest, DirectoryWithoutLibraryCannotLoadRuntime) {
  fs::path runtime = runtimeWith({});
  Outcome o = invoke({runtime.string(), "Hello"}, {{"QUORVANE_LOG", "yes"}});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("] load library " + (runtime / "lib/libjli.so").string() + ".\n"), std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("Demo: internal failure: Could not load JRE.\n"), std::string::npos) << o.err;
  EXPECT_FALSE(fs::exists(argumentFile));
}

TEST_F(InvokeOtherTest, LibraryWithoutLaunchFunctionIsRefused) {
  fs::path runtime = runtimeWith({{"lib/libjli.so", MI_JLI_WITHOUT_LAUNCH}});
  Outcome o = invoke({runtime.string(), "Hello"});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Demo: internal failure: Could not get function pointer for JLI_Launch.\n"),
            std::string::npos)
      << o.err;
  // The failure line with the call stack is written without the diagnostic log.
  EXPECT_NE(o.err.find("Could not get function pointer for JLI_Launch.: ("), std::string::npos) << o.err;
}

// The stand-in library ------------------------------------------------------------------

TEST_F(InvokeOtherTest, PassesTheFourteenArgumentsWithDefaultVersion) {
  fs::path runtime = runtimeWith({{"lib/jli/libjli.so", MI_JLI_SUBSTITUTE}});
  Outcome o = invoke({runtime.string(), "-Xmx64m", "Main", "an argument", ""},
                     {{"MI_JLI_RECORD", (dir / "record").string()}});
  EXPECT_EQ(o.status, 42) << o.err;
  std::vector<Call> calls = readCalls(dir / "record");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{program, "-Xmx64m", "Main", "an argument", ""}));
  EXPECT_EQ(calls[0].rest, (std::vector<std::string>{"terminated", "0", "<null>", "0", "<null>", "1.7.0",
                                                     "1.7.0", "java", "java", "0", "0", "0", "0"}));
}

TEST_F(InvokeOtherTest, PassesTheRuntimeVersionAndReentersThroughTheShortcut) {
  // A plain runtime home: its release file gives the version, bin/java (any
  // executable of this machine, here the program itself) the architecture.
  fs::path runtime = runtimeWith({{"lib/libjli.so", MI_JLI_SUBSTITUTE}});
  writeFile(runtime / "release", "JAVA_VERSION=\"11.0.2+9\"\n");
  fs::create_directories(runtime / "bin");
  fs::create_symlink(MI_PROGRAM_PATH, runtime / "bin/java");
  Outcome o = invoke({runtime.string(), "Main"},
                     {{"MI_JLI_RECORD", (dir / "record").string()}, {"MI_JLI_REENTER", "1"}});
  EXPECT_EQ(o.status, 142) << o.err;
  std::vector<Call> calls = readCalls(dir / "record");
  ASSERT_EQ(calls.size(), 2u);
  const std::vector<std::string> fixed = {"terminated", "0",    "<null>", "0", "<null>", "11.0.2", "11.0.2",
                                          "java",       "java", "0",      "0", "0",      "0"};
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{program, "Main"}));
  EXPECT_EQ(calls[0].rest, fixed);
  // The second entry hands over its own vector; no argument file is read and no dialog shown.
  EXPECT_EQ(calls[1].argv,
            (std::vector<std::string>{program, "__qvr_invoke_other", "/nonexistent/argument-file", "extra"}));
  EXPECT_EQ(calls[1].rest, fixed);
  EXPECT_EQ(o.err.find("Demo:"), std::string::npos) << o.err;
}

TEST_F(InvokeOtherTest, LeavesAtEntriesAloneWithoutListFunctions) {
  fs::path runtime = runtimeWith({{"lib/libjli.so", MI_JLI_SUBSTITUTE}});
  Outcome o = invoke({runtime.string(), "-cp", "x", "@" + (dir / "options").string(), "@second"},
                     {{"MI_JLI_RECORD", (dir / "record").string()}, {"QUORVANE_LOG", "yes"}});
  EXPECT_EQ(o.status, 42) << o.err;
  EXPECT_NE(o.err.find("] @ argument found\n"), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("] did not find all list functions (nil) (nil) (nil) (nil) (nil) (nil)\n"),
            std::string::npos)
      << o.err;
  std::vector<Call> calls = readCalls(dir / "record");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{program, "-cp", "x", "@" + (dir / "options").string(), "@second"}));
}

TEST_F(InvokeOtherTest, PrefersTheFirstLibraryLocationThatExists) {
  fs::path runtime = runtimeWith({{"Contents/Home/lib/jli/libjli.so", MI_JLI_SUBSTITUTE},
                                  {"Contents/Home/lib/libjli.so", MI_JLI_WITHOUT_LAUNCH},
                                  {"lib/jli/libjli.so", MI_JLI_WITHOUT_LAUNCH}});
  Outcome o = invoke({runtime.string(), "Main"});
  EXPECT_EQ(o.status, 42) << o.err;

  fs::remove(runtime / "Contents/Home/lib/jli/libjli.so");
  fs::create_directories(runtime / "Contents/Home/jre/lib/jli");
  fs::copy_file(MI_JLI_SUBSTITUTE, runtime / "Contents/Home/jre/lib/jli/libjli.so");
  o = invoke({runtime.string(), "Main"});
  EXPECT_EQ(o.status, 42) << o.err;
}

}  // namespace
