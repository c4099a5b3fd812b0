// The runtime download end to end: the built program in a bundle without a
// runtime, fetching the JDK 17 archive from a loopback server in the test
// process; failures, and Cancel through the GTK window under Xvfb.
#include <gtest/gtest.h>

#include "../LoopbackServer.h"
#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kDownloadError =
    "The Java runtime could not be downloaded. Check your network connection and try again.";

class DownloadTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    e2e::ProgramTest::SetUp();
    server_.serveFile(e2e::jdkArchive().string());
  }

  // A bundle for which no installed runtime qualifies, downloading from url.
  fs::path bundleDownloading(const std::string& url) {
    Dictionary info = {
        {"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})},
        {"qvr.minVersion", Value("99")},
        {"qvr.jreLocation", Value(url)},
        {"qvr.jreUncompressedSize", Value::integer(e2e::gzipUncompressedSize(e2e::jdkArchive()))}};
    return e2e::makeBundle(root_, info);
  }
  static std::string lineWith(const std::string& text, const std::string& prefix) {
    size_t at = text.find(prefix);
    if (at == std::string::npos) return "";
    size_t end = text.find('\n', at);
    return text.substr(at + prefix.size(), end - at - prefix.size());
  }
  void expectFailurePath(const e2e::Run& run, const std::string& url) {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("Download failed! Error - "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(url), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(kDownloadError), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
  }

  testing_support::LoopbackServer server_;
};

TEST_F(DownloadTest, DownloadedArchiveIsInstalledBesideItRunAndRemoved) {
  // Blanks and line breaks around the location are not part of it.
  fs::path app = bundleDownloading("  \n" + server_.url("/served") + "\t\n");
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  ASSERT_EQ(run.status, 0) << run.err;
  std::string tarFile = lineWith(run.out, "tarFile=");
  std::string bundle = lineWith(run.out, "jreBundle=");
  EXPECT_EQ(fs::path(tarFile).filename(), "jre.tar.gz");
  EXPECT_EQ(fs::path(tarFile).parent_path().parent_path(), tmp()) << tarFile;
  EXPECT_EQ(bundle, fs::path(tarFile).parent_path() / "jre.bundle");
  EXPECT_EQ(lineWith(run.out, "javaHome="), bundle + "/Contents/Home");
  EXPECT_NE(run.err.find("waiting for download to finish"), std::string::npos);
  EXPECT_NE(run.err.find("downloadDidFinish"), std::string::npos);
  EXPECT_NE(run.err.find("download returned"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
}

TEST_F(DownloadTest, ArchiveWithoutAnnouncedLengthStillInstalls) {
  fs::path app = bundleDownloading(server_.url("/served-chunked"));
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(fs::path(lineWith(run.out, "tarFile=")).filename(), "jre.tar.gz");
  EXPECT_TRUE(fs::is_empty(tmp()));
}

TEST_F(DownloadTest, FailedTransfersEndWithTheDownloadErrorAndNoLeftovers) {
  for (const std::string& url : {server_.url("/served-half"), server_.url("/status/404"),
                                 std::string("http://127.0.0.1:1/jre.tar.gz")}) {
    fs::remove_all(root_ / "Test.app");
    fs::path app = bundleDownloading(url);
    e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
    SCOPED_TRACE(url);
    expectFailurePath(run, url);
  }
}

TEST_F(DownloadTest, LocationThatIsNoURLEndsWithTheDownloadError) {
  fs::path app = bundleDownloading("not a url");
  e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
  expectFailurePath(run, "not a url");
}

// Cancel pressed in the real window while the server trickles the archive.
TEST_F(DownloadTest, CancelInTheWindowEndsQuietlyWithStatus1) {
  if (e2e::runCommand({"sh", "-c", "command -v xvfb-run && command -v xdotool"}) != 0)
    GTEST_SKIP() << "xvfb-run or xdotool missing";
  fs::path app = bundleDownloading(server_.url("/trickle"));
  std::ofstream(app / "Contents/Resources/en.lproj/Localizable.strings")
      << "\"WizardCaption\" = \"Download Cancel Test\";\n"
         "\"DownloadingJre\" = \"Downloading for %@\";\n";
  // The window shows, the server is asked for the archive (the test marks
  // that with a file), then the window's only button (the focused one) is
  // pressed with the keyboard while the transfer runs.
  fs::path requested = root_ / "requested";
  std::string script =
      "\"$0\" & pid=$!\n"
      "for i in $(seq 600); do xdotool search --onlyvisible --name 'Download Cancel Test' > /dev/null 2>&1 "
      "&& "
      "[ -e '" +
      requested.string() +
      "' ] && break; sleep 0.1; done\n"
      "wid=$(xdotool search --onlyvisible --name 'Download Cancel Test' | head -1)\n"
      "xdotool windowfocus --sync \"$wid\" key --window \"$wid\" space\n"
      "wait $pid\n";
  e2e::RunOptions o = options();
  o.timeout = std::chrono::seconds(60);
  o.whileRunning = [&](pid_t, const fs::path&) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (server_.requestCount() == 0 && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ofstream{requested};
  };
  o.arguments = {"-a", "-s", "-screen 0 800x600x24", "sh", "-c", script, e2e::executableOf(app)};
  e2e::Run run = e2e::runProgram("/usr/bin/xvfb-run", root_ / "run", o);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Cancelled"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(kDownloadError), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Download failed!"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
}

}  // namespace
