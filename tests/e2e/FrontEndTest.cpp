// The front end end to end: the built program in assembled bundles, with the
// real JDK 17, archives made by GNU tar, and the GTK window under Xvfb.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>

#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class FrontEndTest : public e2e::ProgramTest {
 protected:
  void SetUp() override { e2e::ProgramTest::SetUp(); }

  static Value javaVM(Dictionary entries) { return Value(std::move(entries)); }
  static Value strings(std::vector<std::string> items) {
    Array a;
    for (auto& s : items) a.push_back(Value(s));
    return Value(a);
  }
  // A bundle whose search finds the JDK 17 directory.
  static Dictionary foundRuntime(std::vector<std::string> arguments = {}) {
    return {{"JavaVM", javaVM({{"SearchSequence", strings({"R" + e2e::jdk17Home()})},
                               {"ArgumentArray", strings(std::move(arguments))}})}};
  }
  static void addArchive(const fs::path& app, const fs::path& archive) {
    fs::path target = app / "Contents/Resources/app/jre.tar.gz";
    std::error_code error;
    fs::create_hard_link(archive, target, error);
    if (error) fs::copy_file(archive, target);
  }
  bool tmpIsEmpty() const { return fs::is_empty(tmp()); }
};

std::string lineWith(const std::string& text, const std::string& prefix) {
  size_t at = text.find("\n" + prefix);
  if (at == std::string::npos)
    at = text.rfind(prefix, 0) == 0 ? 0 : std::string::npos;
  else
    ++at;
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at);
  return text.substr(at + prefix.size(), end - at - prefix.size());
}

TEST_F(FrontEndTest, ArchiveInTheBundleIsInstalledRunAndRemoved) {
  // A runtime on the machine is ignored when the bundle holds an archive.
  fs::path app = e2e::makeBundle(root_, foundRuntime({"--exit=3", "two words"}));
  addArchive(app, e2e::jdkArchive());
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());

  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_NE(run.out.find("arg=--exit=3\narg=two words\n"), std::string::npos) << run.out;
  std::string archive = (app / "Contents/Resources/app/jre.tar.gz").string();
  EXPECT_EQ(lineWith(run.out, "tarFile="), archive);
  std::string bundle = lineWith(run.out, "jreBundle=");
  EXPECT_EQ(fs::path(bundle).filename(), "jre.bundle");
  EXPECT_EQ(fs::path(bundle).parent_path().parent_path(), tmp());
  EXPECT_EQ(lineWith(run.out, "javaHome="), bundle + "/Contents/Home");
  EXPECT_EQ(lineWith(run.out, "ownBundlePath="), app.string());
  EXPECT_EQ(run.err.find("searching for public JREs"), std::string::npos);
  EXPECT_TRUE(tmpIsEmpty()) << "the run's temporary directory is left behind";
  EXPECT_TRUE(fs::exists(archive));
}

TEST_F(FrontEndTest, FoundRuntimeRunsWithoutTemporaryDirectoryOrArchiveProperty) {
  fs::path app = e2e::makeBundle(root_, foundRuntime());
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(lineWith(run.out, "tarFile="), "null");
  EXPECT_EQ(lineWith(run.out, "jreBundle="), e2e::jdk17Home());
  EXPECT_EQ(lineWith(run.out, "javaHome="), e2e::jdk17Home());
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(FrontEndTest, StandardInputReachesTheChildInOrderAndItsEndIsPassedOn) {
  fs::path app = e2e::makeBundle(root_, foundRuntime({"--stdin"}));
  e2e::RunOptions o = options();
  std::string lines;
  for (int i = 0; i < 2000; ++i) lines += "line " + std::to_string(i) + "\n";
  o.input = lines;
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
  EXPECT_EQ(run.status, 0) << run.err;
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "in=line " + std::to_string(i) + "\n";
  expected += "eof\n";
  EXPECT_NE(run.out.find(expected), std::string::npos) << run.out.substr(0, 500);
}

TEST_F(FrontEndTest, ChildThatNeverReadsItsInputDoesNotEndTheLauncherBySigpipe) {
  fs::path app = e2e::makeBundle(root_, foundRuntime({"--exit=4"}));
  e2e::RunOptions o = options();
  o.input = std::string(4 << 20, 'x');  // far more than the pipes hold
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
  EXPECT_EQ(run.status, 4) << run.err;
}

TEST_F(FrontEndTest, NoRuntimeAndABlankDownloadLocationShowMinimumVersionError) {
  fs::path app = e2e::makeBundle(root_, {{"JavaVM", javaVM({{"SearchSequence", strings({})}})},
                                         {"qvr.minVersion", Value("17")},
                                         {"qvr.jreLocation", Value(" \n\t \n ")}});
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Test needs Java 17 or later, and no suitable Java runtime was found"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(tmpIsEmpty());
}

// A runtime with a packed jar whose unpack tool fails, is missing, or
// cannot be started: the same dialog each time, and nothing left behind.
TEST_F(FrontEndTest, FailedUnpackingShowsInternalErrorAndLeavesNothing) {
  for (const std::string tool : {"fails", "missing", "not executable"}) {
    SCOPED_TRACE(tool);
    fs::path runtime = root_ / "fake";
    fs::remove_all(runtime);
    fs::remove_all(root_ / "Test.app");
    fs::create_directories(runtime / "Contents/Home/bin");
    fs::create_directories(runtime / "Contents/Home/lib");
    if (tool != "missing") {
      std::ofstream(runtime / "Contents/Home/bin/unpack200") << "#!/bin/sh\nexit 1\n";
      fs::permissions(
          runtime / "Contents/Home/bin/unpack200",
          tool == "fails" ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write);
    }
    std::ofstream(runtime / "Contents/Home/bin/java") << "#!/bin/sh\n";
    fs::permissions(runtime / "Contents/Home/bin/java", fs::perms::owner_all);
    std::ofstream(runtime / "Contents/Home/lib/rt.jar.pack") << "packed";
    fs::path archive = root_ / "fake.tar.gz";
    ASSERT_EQ(e2e::runCommand({"tar", "-czf", archive.string(), "-C", runtime.string(), "Contents"}), 0);
    fs::path app = e2e::makeBundle(root_, {});
    addArchive(app, archive);
    e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("The installer could not start: could not run unpack200"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(tmpIsEmpty()) << "the extracted runtime is left behind";
  }
}

// Signals aimed at the launcher alone, with kill, are handed on to the
// child: quit makes the virtual machine print its threads and go on,
// termination and interrupt end it through its shutdown hooks.
TEST_F(FrontEndTest, SignalsSentToTheLauncherReachTheChildAndItsStatusIsKept) {
  for (int last : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(last);
    fs::remove_all(root_ / "Test.app");
    fs::path app = e2e::makeBundle(root_, foundRuntime({"--sleep=60000"}));
    addArchive(app, e2e::jdkArchive());
    e2e::RunOptions o = options();
    bool dumped = false;
    o.whileRunning = [&](pid_t pid, const fs::path& out) {
      ASSERT_TRUE(e2e::waitForText(out, "sleeping"));
      ::kill(pid, SIGQUIT);
      dumped = e2e::waitForText(out, "Full thread dump", std::chrono::seconds(30));
      ::kill(pid, last);
    };
    e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", o);
    EXPECT_TRUE(dumped) << run.out;
    EXPECT_NE(run.out.find("shutdown hook"), std::string::npos) << run.out;
    EXPECT_EQ(run.status, 128 + last) << run.err;  // the JVM's own status after the signal
    EXPECT_EQ(run.signal, 0);
    EXPECT_TRUE(tmpIsEmpty());
  }
}

// The window under Xvfb: the archive is a named pipe fed by the test, so the
// extraction waits half-way while the screen is captured.
TEST_F(FrontEndTest, GtkWindowShowsTheBundleTextsDuringExtraction) {
  if (e2e::runCommand({"sh", "-c", "command -v xvfb-run && command -v xprop && command -v import"}) != 0)
    GTEST_SKIP() << "xvfb-run, xprop or import missing";
  Dictionary info = foundRuntime();
  info["qvr.jreUncompressedSize"] = Value::integer(e2e::gzipUncompressedSize(e2e::jdkArchive()));
  fs::path app = e2e::makeBundle(root_, info);
  std::ofstream(app / "Contents/Resources/en.lproj/Localizable.strings")
      << "\"WizardCaption\" = \"Test Setup Wizard\";\n"
         "\"PrepareInstaller\" = \"Preparing the %@ installer...\";\n"
         "\"ButtonCancel\" = \"Cancel\";\n";
  // The Linux form of the icon, beside where app.icns would be.
  e2e::runCommand({"convert", "-size", "64x64", "gradient:steelblue-navy",
                   "png:" + (app / "Contents/Resources/app.png").string()});
  fs::path fifo = app / "Contents/Resources/app/jre.tar.gz";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  fs::path shot = root_ / "window.png", title = root_ / "title.txt";
  // Fixed location so the screenshot can be looked at after the test.
  fs::path keep = e2e::cacheDirectory() / "front-end-window.png";

  std::string script =
      "for i in $(seq 100); do xwininfo -root > /dev/null 2>&1 && break; sleep 0.1; done\n"
      "\"$0\" & pid=$!\n"
      "for i in $(seq 300); do xwininfo -name 'Test Setup Wizard' 2>/dev/null | grep -q IsViewable && break; "
      "sleep 0.1; done\n"
      "xprop -name 'Test Setup Wizard' WM_NAME > '" +
      title.string() +
      "'\n"
      // Until the window is drawn: a picture of the empty screen is far smaller.
      "for i in $(seq 100); do import -window root 'png:" +
      shot.string() +
      ".tmp'; "
      "[ $(stat -c %s '" +
      shot.string() +
      ".tmp') -gt 2000 ] && break; sleep 0.1; done\n"
      "mv '" +
      shot.string() + ".tmp' '" + shot.string() +
      "'\n"
      "wait $pid\n";
  e2e::RunOptions o = options();
  o.timeout = std::chrono::seconds(180);
  std::thread feeder([&] {
    std::string bytes = e2e::slurp(e2e::jdkArchive());
    // Opening without blocking, so a program that never reads cannot hang the test.
    int fd = -1;
    for (int i = 0; i < 1200 && fd < 0; ++i) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    auto feed = [fd](const char* p, size_t n) {
      while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
      }
    };
    size_t part = bytes.size() * 3 / 10;
    feed(bytes.data(), part);
    e2e::waitForText(shot, "PNG", std::chrono::seconds(60));
    feed(bytes.data() + part, bytes.size() - part);
    ::close(fd);
  });
  // xvfb-run runs the script with the display set; the program is argument 0.
  std::vector<std::string> command = {"-a", "-s",   "-screen 0 800x600x24", "sh",
                                      "-c", script, e2e::executableOf(app)};
  o.arguments = command;
  e2e::Run run = e2e::runProgram("/usr/bin/xvfb-run", root_ / "run", o);
  feeder.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(e2e::slurp(title).find("\"Test Setup Wizard\""), std::string::npos) << e2e::slurp(title);
  ASSERT_TRUE(fs::exists(shot)) << run.err;
  EXPECT_GT(fs::file_size(shot), 2000u);
  fs::copy_file(shot, keep, fs::copy_options::overwrite_existing);
  // The bar was between 0 and 70 when the picture was taken: extraction
  // had read less than half of the archive.
  EXPECT_NE(run.err.find("jre destination"), std::string::npos);
}

}  // namespace
