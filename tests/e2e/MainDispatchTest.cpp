// The built program as a child process: mode dispatch from the arguments,
// and the diagnostic-log switch QUORVANE_LOG.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

namespace {

struct ChildRun {
  int status = -1;  // exit status; -1 when killed or not started
  std::string err;  // standard error
};

// Runs program with args and exactly the environment env, standard input
// from /dev/null, standard error into a file; kills it after 60 seconds.
ChildRun runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const fs::path& errFile) {
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  ChildRun run;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return run;
  int wstatus = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (::waitpid(pid, &wstatus, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wstatus, 0);
      ADD_FAILURE() << "program did not end within 60 s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (WIFEXITED(wstatus)) run.status = WEXITSTATUS(wstatus);
  std::ifstream in(errFile);
  std::stringstream text;
  text << in.rdbuf();
  run.err = text.str();
  return run;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class MainDispatchTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/MainDispatchTest.XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    app_ = dir_ / "Dispatch Test.app";
    program_ = (app_ / "Contents/MacOS/DispatchTest").string();
    fs::create_directories(app_ / "Contents/MacOS");
    fs::copy_file(MI_PROGRAM_PATH, program_);
    fs::permissions(program_, fs::perms::owner_all, fs::perm_options::add);
    // No runtime can satisfy "99", so neither mode starts Java.
    write(app_ / "Contents/Info.plist",
          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
          "<key>CFBundleName</key><string>Dispatch Test</string>"
          "<key>CFBundleExecutable</key><string>DispatchTest</string>"
          "<key>qvr.baseDir</key><string>$APP_PACKAGE/Contents/Resources</string>"
          "<key>qvr.minVersion</key><string>99</string>"
          "<key>qvr.initialProgress</key><false/>"
          "<key>JavaVM</key><dict><key>MainClass</key><string>Missing</string></dict>"
          "</dict></plist>");
    write(app_ / "Contents/Resources/.quorvane/Messages.bundle/Contents/Resources/en.lproj/Localizable.strings",
          "\"AppleJavaMinVersionError\" = \"%2$@ needs Java %1$@.\";\n");
    fs::create_directories(dir_ / "home");
  }
  void TearDown() override { fs::remove_all(dir_); }

  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  // A plain environment: no display, a private home, and the log setting.
  ChildRun run(const std::vector<std::string>& args, const std::optional<std::string>& log = "yes") {
    std::vector<std::string> env = {"PATH=/usr/bin:/bin", "HOME=" + (dir_ / "home").string(),
                                    "TMPDIR=" + dir_.string(), "LANG=en_US.UTF-8"};
    if (log) env.push_back("QUORVANE_LOG=" + *log);
    return runProgram(program_, args, env, dir_ / "stderr.txt");
  }

  fs::path dir_;
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
    EXPECT_EQ(count(r.err, line), 1u) << line << r.err;
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
  const std::vector<std::optional<std::string>> off = {std::nullopt, "YES", "yes ", " yes", "Yes", "", "1", "true"};
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
  write(app_ / "Contents/Info.plist",
        "<plist><dict><key>CFBundleName</key><string>Dispatch Test</string>"
        "<key>qvr.baseDir</key><string>" + (dir_ / "nowhere").string() + "</string></dict></plist>");
  ChildRun r = run({program_, kMarker, (dir_ / "none").string()}, std::nullopt);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count(r.err, "[Line "), 1u) << r.err;
  EXPECT_THAT(r.err, HasSubstr("message AppleJavaMinVersionError not found\n"));
  EXPECT_THAT(r.err, Not(HasSubstr("Dispatch Test:")));
}
