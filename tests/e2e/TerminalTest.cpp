// The front end in a terminal and under signals, end to end: the built
// program in assembled bundles with the real JDK 17, in tmux panes (a real
// pseudo-terminal whose screen is read back), with closed standard input,
// and signalled during the extraction and the download.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <regex>

#include "../LoopbackServer.h"
#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

// A console installer in miniature: "prompt" asks for a directory on its
// input and says whether it has a console; "quick" prints the time and
// exits at once.
fs::path probeJar() {
  return e2e::cached("terminal-probe.jar", [](const fs::path& out) {
    fs::path src = out.string() + ".src";
    fs::create_directories(src);
    std::ofstream(src / "Probe.java") << R"(
import java.io.*;
public class Probe {
  public static void main(String[] args) throws Exception {
    if (args[0].equals("quick")) {
      System.out.println("exitAt=" + System.currentTimeMillis());
      System.out.flush();
      return;
    }
    System.out.println("console=" + (System.console() != null));
    System.out.print("Install directory [/opt/x]: ");
    System.out.flush();
    String line = new BufferedReader(new InputStreamReader(System.in)).readLine();
    System.out.println("answer=" + line);
  }
}
)";
    std::string bin = e2e::jdk17Home() + "/bin/";
    if (e2e::runCommand({bin + "javac", "-d", src.string(), (src / "Probe.java").string()}) != 0)
      throw std::runtime_error("javac failed");
    if (e2e::runCommand({bin + "jar", "cf", out.string(), "-C", src.string(), "Probe.class"}) != 0)
      throw std::runtime_error("jar failed");
    fs::remove_all(src);
  });
}

// Runs a command and returns what it printed on standard output.
std::string outputOf(const std::vector<std::string>& command, const fs::path& scratch) {
  fs::path file = scratch / "command-output";
  std::vector<std::string> shell = {"sh", "-c", "exec \"$@\" > '" + file.string() + "' 2>&1", "sh"};
  shell.insert(shell.end(), command.begin(), command.end());
  e2e::runCommand(shell);
  return e2e::slurp(file);
}

// One tmux server of the test's own, with one pane; killed at the end.
class Pane {
 public:
  Pane(const fs::path& scratch, const std::string& command)
      : scratch_(scratch), socket_(scratch / "tmux.sock") {
    started_ = e2e::runCommand({"tmux", "-S", socket_.string(), "-f", "/dev/null", "new-session", "-d", "-x",
                                "120", "-y", "40", command}) == 0;
  }
  ~Pane() {
    if (started_) e2e::runCommand({"tmux", "-S", socket_.string(), "kill-server"});
  }
  bool started() const { return started_; }
  std::string screen() const {
    return outputOf({"tmux", "-S", socket_.string(), "capture-pane", "-p"}, scratch_);
  }
  std::vector<std::string> rows() const {
    std::vector<std::string> rows;
    std::istringstream in(screen());
    for (std::string row; std::getline(in, row);) rows.push_back(row);
    return rows;
  }
  bool hasRow(const std::string& row) const {
    auto all = rows();
    return std::find(all.begin(), all.end(), row) != all.end();
  }
  // Waits until the screen shows text; false after the time-out.
  bool waitFor(const std::string& text, std::chrono::seconds timeout = std::chrono::seconds(90)) const {
    return waitUntil([&] { return screen().find(text) != std::string::npos; }, timeout);
  }
  static bool waitUntil(const std::function<bool()>& condition, std::chrono::seconds timeout) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      if (condition()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  void type(const std::vector<std::string>& keys) const {
    std::vector<std::string> command = {"tmux", "-S", socket_.string(), "send-keys"};
    command.insert(command.end(), keys.begin(), keys.end());
    e2e::runCommand(command);
  }

 private:
  fs::path scratch_, socket_;
  bool started_ = false;
};

class TerminalTest : public e2e::ProgramTest {
 protected:
  void SetUp() override { e2e::ProgramTest::SetUp(); }
  bool tmpIsEmpty() const { return fs::is_empty(tmp()); }

  // The same environment as a shell prefix, without a display and, unless
  // asked, without the diagnostic log.
  std::string shellEnvironment(bool log = false) const {
    return "unset DISPLAY WAYLAND_DISPLAY QUORVANE_LOG JAVA_HOME LC_ALL; export TERM=xterm TMPDIR='" +
           tmp().string() + "' HOME='" + (root_ / "home").string() + "' XDG_CONFIG_HOME='" +
           (root_ / "home/.config").string() + "' LANGUAGE=en" + (log ? " QUORVANE_LOG=yes" : "") + "; ";
  }

  static Value strings(std::vector<std::string> items) {
    Array a;
    for (auto& s : items) a.push_back(Value(s));
    return Value(a);
  }
  // A bundle running the probe or the echo program with arguments, with the
  // JDK 17 found on the machine or, with an archive, installed from it.
  fs::path bundle(const std::string& mainClass, std::vector<std::string> arguments,
                  std::optional<fs::path> archive = std::nullopt, Dictionary extra = {}) {
    Dictionary javaVM = {{"SearchSequence", strings({"R" + e2e::jdk17Home()})},
                         {"ArgumentArray", strings(std::move(arguments))},
                         {"MainClass", Value(mainClass)}};
    if (mainClass == "Probe") javaVM["ClassPath"] = Value("$APP_PACKAGE/Contents/Resources/app/probe.jar");
    extra["JavaVM"] = Value(javaVM);
    fs::path app = e2e::makeBundle(root_, extra);
    fs::copy_file(probeJar(), app / "Contents/Resources/app/probe.jar", fs::copy_options::overwrite_existing);
    if (archive) {
      std::error_code error;
      fs::create_hard_link(*archive, app / "Contents/Resources/app/jre.tar.gz", error);
      if (error) fs::copy_file(*archive, app / "Contents/Resources/app/jre.tar.gz");
    }
    return app;
  }
  // The runtime being extracted into the run's temporary directory.
  bool extracting() const {
    for (const auto& entry : fs::directory_iterator(tmp()))
      if (fs::exists(entry.path() / "jre.bundle/Contents/Home")) return true;
    return false;
  }
  // Bytes of the archive downloaded so far into the run's temporary directory.
  bool downloading() const {
    for (const auto& entry : fs::directory_iterator(tmp())) {
      std::error_code error;
      if (fs::file_size(entry.path() / "jre.tar.gz", error) > 0 && !error) return true;
    }
    return false;
  }
};

bool hasTmux() { return e2e::runCommand({"sh", "-c", "command -v tmux > /dev/null"}) == 0; }

// Under a terminal the child has the terminal itself: a console, its prompt
// on a line of its own, nothing of the progress line left over, and the
// shell's next line at the start of an empty row.
TEST_F(TerminalTest, ConsoleInstallerPromptStaysVisibleAndTheScreenEndsOnACleanLine) {
  if (!hasTmux()) GTEST_SKIP() << "tmux missing";
  Dictionary info = {
      {"qvr.jreUncompressedSize", Value::integer(e2e::gzipUncompressedSize(e2e::jdkArchive()))}};
  fs::path app = bundle("Probe", {"prompt"}, e2e::jdkArchive(), info);
  Pane pane(root_, "sh -c \"" + shellEnvironment() + "'" + e2e::executableOf(app) +
                       "'; echo \\\"[exit \\$?]\\\"; exec sleep 600\"");
  ASSERT_TRUE(pane.started());
  const std::regex bar(R"(\[[# ]*\] +\d+%)");
  bool barSeen =
      Pane::waitUntil([&] { return std::regex_search(pane.screen(), bar); }, std::chrono::seconds(90));
  ASSERT_TRUE(pane.waitFor("Install directory [/opt/x]:")) << pane.screen();
  pane.type({"/srv/app", "Enter"});
  ASSERT_TRUE(pane.waitFor("[exit 0]", std::chrono::seconds(30))) << pane.screen();

  std::string screen = pane.screen();
  EXPECT_TRUE(barSeen) << "the progress line was never drawn: the test would prove nothing";
  EXPECT_TRUE(pane.hasRow("console=true")) << screen;
  EXPECT_TRUE(pane.hasRow("Install directory [/opt/x]: /srv/app")) << screen;
  EXPECT_TRUE(pane.hasRow("answer=/srv/app")) << screen;
  EXPECT_TRUE(pane.hasRow("[exit 0]")) << screen;
  EXPECT_FALSE(std::regex_search(screen, bar)) << screen;
  EXPECT_TRUE(tmpIsEmpty());
}

// Ctrl-C reaches the child from the terminal; the launcher does not send it
// a second one, and ends with the child's status.
TEST_F(TerminalTest, InterruptKeyIsLeftToTheChild) {
  if (!hasTmux()) GTEST_SKIP() << "tmux missing";
  fs::path app = bundle("Echo", {"--sleep=60000"});
  fs::path out = root_ / "out", err = root_ / "err";
  // The shell survives the key (a trap, unlike an ignored signal, is not
  // passed on to the programs it starts).
  Pane pane(root_, "sh -c \"trap : INT; " + shellEnvironment(true) + "'" + e2e::executableOf(app) + "' > '" +
                       out.string() + "' 2> '" + err.string() +
                       "'; echo \\\"[exit \\$?]\\\"; exec sleep 600\"");
  ASSERT_TRUE(pane.started());
  ASSERT_TRUE(e2e::waitForText(out, "sleeping"));
  pane.type({"C-c"});
  ASSERT_TRUE(pane.waitFor("[exit ", std::chrono::seconds(30))) << pane.screen();
  EXPECT_NE(pane.screen().find("[exit 130]"), std::string::npos) << pane.screen();  // after the echoed ^C
  EXPECT_NE(e2e::slurp(out).find("shutdown hook"), std::string::npos);
  EXPECT_EQ(e2e::slurp(err).find("forwarding signal"), std::string::npos) << e2e::slurp(err);
}

// A background job never reads the terminal, so it is not stopped.
TEST_F(TerminalTest, BackgroundJobInAnInteractiveShellFinishes) {
  if (!hasTmux()) GTEST_SKIP() << "tmux missing";
  fs::path app = bundle("Echo", {"--exit=5"});
  fs::path done = root_ / "done";
  Pane pane(root_, "bash --norc --noprofile -i");
  ASSERT_TRUE(pane.started());
  pane.type({shellEnvironment() + "'" + e2e::executableOf(app) + "' > '" + (root_ / "out").string() +
                 "' 2>&1 & wait $!; echo \"status=$?\" > '" + done.string() + "'",
             "Enter"});
  ASSERT_TRUE(e2e::waitForText(done, "status=", std::chrono::seconds(60))) << pane.screen();
  EXPECT_EQ(e2e::slurp(done), "status=5\n") << pane.screen();  // a stopped job gives 149
}

TEST_F(TerminalTest, ClosedStandardInputGivesTheChildEndOfInput) {
  fs::path app = bundle("Echo", {"--stdin"});
  e2e::RunOptions o = options();
  o.arguments = {"-c", "exec \"$0\" <&-", e2e::executableOf(app)};
  o.timeout = std::chrono::seconds(60);
  e2e::Run run = e2e::runProgram("/bin/sh", root_ / "run", o);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\neof\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("in="), std::string::npos) << run.out;
}

TEST_F(TerminalTest, QuickChildEndsTheProcessAtOnce) {
  fs::path app = bundle("Probe", {"quick"});
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  auto endedAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
  ASSERT_EQ(run.status, 0) << run.err;
  std::smatch printed;
  ASSERT_TRUE(std::regex_search(run.out, printed, std::regex(R"(exitAt=(\d+))"))) << run.out;
  long long afterChild = endedAt - std::stoll(printed[1]);
  EXPECT_LT(afterChild, 1000) << "milliseconds from the child's last line to the end of the process";
  EXPECT_LT(run.seconds, 5.0);
}

// The archive is held at 30 % until the signal is sent, so the signal
// surely comes while the extraction runs.
TEST_F(TerminalTest, SignalsDuringExtractionEndTheRunByThatSignalAndLeaveNothing) {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signalNumber));
    fs::remove_all(root_ / "Test.app");
    fs::path app = bundle("Echo", {});
    std::atomic<bool> signalled{false};
    e2e::Run run;
    {
      e2e::HeldArchive archive(app / "Contents/Resources/app/jre.tar.gz", e2e::jdkArchive(),
                               [&] { return signalled.load(); });
      e2e::RunOptions o = options();
      o.timeout = std::chrono::seconds(60);
      bool sawExtraction = false;
      o.whileRunning = [&](pid_t pid, const fs::path&) {
        sawExtraction = Pane::waitUntil([&] { return extracting(); }, std::chrono::seconds(30));
        ::kill(pid, signalNumber);
        signalled = true;
      };
      run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
      EXPECT_TRUE(sawExtraction);
    }
    EXPECT_EQ(run.signal, signalNumber) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("cancelled by signal"), std::string::npos) << run.err;
    EXPECT_TRUE(tmpIsEmpty()) << "the run's temporary directory is left behind";
  }
}

TEST_F(TerminalTest, SignalsDuringADownloadEndTheRunByThatSignalAndLeaveNothing) {
  testing_support::LoopbackServer server;
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(signalNumber));
    fs::remove_all(root_ / "Test.app");
    fs::path app = e2e::makeBundle(root_, {{"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})},
                                           {"qvr.minVersion", Value("99")},
                                           {"qvr.jreLocation", Value(server.url("/trickle"))}});
    e2e::RunOptions o = options();
    o.timeout = std::chrono::seconds(60);
    bool sawDownload = false;
    o.whileRunning = [&](pid_t pid, const fs::path&) {
      sawDownload = Pane::waitUntil([&] { return downloading(); }, std::chrono::seconds(30));
      ::kill(pid, signalNumber);
    };
    e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
    EXPECT_TRUE(sawDownload);
    EXPECT_EQ(run.signal, signalNumber) << run.err;
    EXPECT_NE(run.err.find("cancelled by signal"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Download failed"), std::string::npos) << run.err;
    EXPECT_TRUE(tmpIsEmpty()) << "the run's temporary directory is left behind";
  }
}

}  // namespace
