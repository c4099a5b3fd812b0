// The built program as a child process: mode dispatch from the arguments,
// and the diagnostic-log switch QUORVANE_LOG.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "TestSupport.h"

namespace fs = std::filesystem;
using test_support::countOf;
using test_support::RunOptions;
using ChildRun = test_support::Run;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::HasSubstr;
using testing::Not;

namespace {

class MainDispatchTest : public testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_ / "Dispatch Test.app";
    program_ = (app_ / "Contents/MacOS/DispatchTest").string();
    fs::create_directories(app_ / "Contents/MacOS");
    fs::copy_file(MI_PROGRAM_PATH, program_);
    fs::permissions(program_, fs::perms::owner_all, fs::perm_options::add);
    // No runtime can satisfy "99", so neither mode starts Java.
    writeFile(app_ / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleName</key><string>Dispatch Test</string>"
              "<key>CFBundleExecutable</key><string>DispatchTest</string>"
              "<key>qvr.baseDir</key><string>$APP_PACKAGE/Contents/Resources</string>"
              "<key>qvr.minVersion</key><string>99</string>"
              "<key>qvr.initialProgress</key><false/>"
              "<key>JavaVM</key><dict><key>MainClass</key><string>Missing</string></dict>"
              "</dict></plist>");
    writeFile(
        app_ / "Contents/Resources/.quorvane/Messages.bundle/Contents/Resources/en.lproj/Localizable.strings",
        "\"AppleJavaMinVersionError\" = \"%2$@ needs Java %1$@.\";\n");
    fs::create_directories(dir_ / "home");
  }

  // A plain environment: no display, a private home, and the log setting.
  // args: the program path, then its arguments.
  ChildRun run(const std::vector<std::string>& args, const std::optional<std::string>& log = "yes") {
    RunOptions options;
    options.arguments.assign(args.begin() + 1, args.end());
    options.inheritEnvironment = false;
    options.environment = {{"PATH", "/usr/bin:/bin"},
                           {"HOME", (dir_ / "home").string()},
                           {"TMPDIR", dir_.string()},
                           {"LANG", "en_US.UTF-8"}};
    if (log) options.environment["QUORVANE_LOG"] = *log;
    options.timeout = std::chrono::seconds(60);
    return test_support::runProgram(program_, dir_ / "run", options);
  }

  TemporaryDirectory directory_;
  const fs::path dir_ = directory_.path();
  fs::path app_;
  std::string program_;
};

const char* kMarker = "__qvr_invoke_other";

}  // namespace

TEST_F(MainDispatchTest, ThreeArgumentsWithTheMarkerTakeTheInvokeOtherPath) {
  std::string argFile = (dir_ / "no-such-argument-file").string();
  ChildRun r = run({program_, kMarker, argFile, "extra argument"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("app started 4"));
  EXPECT_THAT(r.err, HasSubstr("] invoke other " + argFile + " 0x"));
  EXPECT_THAT(r.err, HasSubstr("launcher_main 4"));
  // No runtime from the argument file: the catalogue's text, with the
  // minimum version and the name, under the bundle name as title.
  EXPECT_THAT(r.err, HasSubstr("Dispatch Test: Dispatch Test needs Java 99.\n"));
  // Before it, the failure report says why.
  size_t report = r.err.find(
      "No suitable Java runtime was found. Constraints: minimum none, maximum none, "
      "pre-releases allowed, identifier prefix none, architecture ");
  EXPECT_NE(report, std::string::npos) << r.err;
  EXPECT_THAT(r.err,
              HasSubstr("\n  argument file " + argFile + ": cannot be read\nRun with QUORVANE_LOG=yes"));
  EXPECT_LT(report, r.err.find("Dispatch Test: Dispatch Test needs Java 99."));
}

TEST_F(MainDispatchTest, EveryArgumentIsLoggedOnceBeforeTheDecision) {
  std::vector<std::string> args = {program_, kMarker, (dir_ / "args").string(), "a b", ""};
  ChildRun r = run(args);
  size_t decision = r.err.find("] invoke other ");
  ASSERT_NE(decision, std::string::npos) << r.err;
  size_t previous = 0;
  for (const auto& a : args) {
    std::string line = "] arg " + a + "\n";
    EXPECT_EQ(countOf(r.err, line), 1u) << line << r.err;
    size_t at = r.err.find(line);
    EXPECT_LT(at, decision);
    EXPECT_GT(at, previous);
    previous = at;
  }
  // The line convention and the platform log's prefix: date, time with
  // milliseconds, process name and identifiers.
  std::regex started(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [^ ]+\[\d+:\d+\] main \[Line \d+\] app started 5\n)");
  EXPECT_TRUE(std::regex_search(r.err, started)) << r.err;
}

TEST_F(MainDispatchTest, AnythingButTheExactMarkerWithThreeArgumentsIsTheFrontEnd) {
  const std::vector<std::vector<std::string>> frontEnd = {
      {program_, kMarker},
      {program_, "__QVR_INVOKE_OTHER", "file"},
      {program_, "__qvr_invoke_other ", "file"},
      {program_, " __qvr_invoke_other", "file"},
      {program_, "__qvr_invoke_othe", "file"},
      {program_, "-c", kMarker, "file"},
      {program_},
  };
  for (const auto& args : frontEnd) {
    ChildRun r = run(args);
    std::string shown = args.size() > 1 ? "'" + args[1] + "'" : "(no arguments)";
    EXPECT_THAT(r.err, HasSubstr("app started " + std::to_string(args.size()))) << shown;
    EXPECT_THAT(r.err, Not(HasSubstr("launcher_main"))) << shown << r.err;
    EXPECT_THAT(r.err, Not(HasSubstr("] invoke other"))) << shown << r.err;
    EXPECT_EQ(r.status, 1) << shown << r.err;  // no runtime can be found
  }
}

TEST_F(MainDispatchTest, OnlyTheExactWordYesTurnsTheLogOn) {
  const std::vector<std::optional<std::string>> off = {std::nullopt, "YES", "yes ", " yes",
                                                       "Yes",        "",    "1",    "true"};
  for (const auto& value : off) {
    for (const auto& args : {std::vector<std::string>{program_, kMarker, (dir_ / "none").string()},
                             std::vector<std::string>{program_, kMarker}}) {
      ChildRun r = run(args, value);
      std::string shown = value ? "'" + *value + "'" : "unset";
      EXPECT_THAT(r.err, Not(HasSubstr("[Line "))) << shown << r.err;
      EXPECT_EQ(r.status, 1) << shown;
    }
    // The notice is no log line: it is written whatever the setting.
    ChildRun r = run({program_, kMarker, (dir_ / "none").string()}, value);
    EXPECT_THAT(r.err, HasSubstr("Dispatch Test: Dispatch Test needs Java 99.\n"));
  }
}

TEST_F(MainDispatchTest, UnconditionalLinesAreWrittenWithTheLogOff) {
  // A base directory without the catalogue: the not-found line is written
  // whatever the log setting, and no notice appears.
  writeFile(app_ / "Contents/Info.plist",
            "<plist><dict><key>CFBundleName</key><string>Dispatch Test</string>"
            "<key>qvr.baseDir</key><string>" +
                (dir_ / "nowhere").string() + "</string></dict></plist>");
  ChildRun r = run({program_, kMarker, (dir_ / "none").string()}, std::nullopt);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(countOf(r.err, "[Line "), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("message AppleJavaMinVersionError not found\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("Dispatch Test:")));
}
