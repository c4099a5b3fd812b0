// Runtime archives that cannot be installed, end to end: damaged archives of
// each kind in the bundle, a disk that fills during the extraction and
// during the download (a small tmpfs in a private mount namespace), and the
// download's SHA-256 check, with a stand-in runtime whose bin/java is a
// shell script.
#include <gtest/gtest.h>
#include <sha2.h>

#include <random>

#include "../LoopbackServer.h"
#include "FrontEndSupport.h"

namespace fs = std::filesystem;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using test_support::gzipped;

namespace {

constexpr const char* kNetworkError =
    "The Java runtime could not be downloaded. Check your network connection and try again.";

class RuntimeArchiveTest : public e2e::ProgramTest {
 protected:
  void SetUp() override { e2e::ProgramTest::SetUp(); }

  // A plain tar made by GNU tar of a stand-in runtime: Contents/, Home/,
  // bin/, bin/java (one data block), lib/, then lib/data (dataBytes of
  // random bytes), in that order, so lib/data's header is at 3072.
  std::string runtimeTar(size_t dataBytes, bool withHome = true) {
    fs::path stage = root_ / ("stage" + std::to_string(++stages_));
    fs::path home = stage / "Contents/Home";
    fs::create_directories(home / "bin");
    fs::create_directories(home / "lib");
    std::ofstream(home / "bin/java") << "#!/bin/sh\necho \"stand-in java $*\"\n";
    fs::permissions(home / "bin/java", fs::perms(0755));
    std::string data(dataBytes, '\0');
    std::mt19937 random(7);
    for (char& c : data) c = static_cast<char>(random());
    std::ofstream(home / "lib/data", std::ios::binary) << data;
    fs::path tar = stage.string() + ".tar";
    std::vector<std::string> command = {"tar", "--format=ustar", "--no-recursion", "-cf", tar.string(),
                                        "-C",  stage.string()};
    if (withHome) {
      for (const char* entry : {"Contents/", "Contents/Home/", "Contents/Home/bin/", "Contents/Home/bin/java",
                                "Contents/Home/lib/", "Contents/Home/lib/data"})
        command.push_back(entry);
    } else {
      command[6] = home.string();
      command.push_back("lib/");
      command.push_back("lib/data");
    }
    EXPECT_EQ(e2e::runCommand(command), 0);
    return e2e::slurp(tar);
  }

  fs::path bundleWithArchive(const std::string& bytes, Dictionary info = {}) {
    fs::path app = e2e::makeBundle(root_, info, "Test" + std::to_string(++bundles_));
    std::ofstream(app / "Contents/Resources/app/jre.tar.gz", std::ios::binary) << bytes;
    return app;
  }
  fs::path bundleDownloading(const std::string& url, std::optional<std::string> sha256 = std::nullopt) {
    Dictionary info = {{"JavaVM", Value(Dictionary{{"SearchSequence", Value(Array{})}})},
                       {"qvr.minVersion", Value("99")},
                       {"qvr.jreLocation", Value(url)}};
    if (sha256) info["qvr.jreSha256"] = Value(*sha256);
    return e2e::makeBundle(root_, info, "Test" + std::to_string(++bundles_));
  }

  // The program run inside a private mount namespace whose TMPDIR is a
  // tmpfs of the given size; the temporary directory's listing after the
  // run is returned in listing. Absent when such a namespace cannot be made.
  std::optional<e2e::Run> runWithSmallDisk(const fs::path& app, const std::string& size,
                                           std::string& listing) {
    if (e2e::runCommand({"unshare", "-m", "--propagation", "private", "sh", "-c",
                         "mount -t tmpfs -o size=1m none \"$0\"", tmp().string()}) != 0)
      return std::nullopt;
    fs::path list = root_ / "listing";
    std::string script = "mount -t tmpfs -o size=" + size +
                         " none \"$TMPDIR\" || exit 97\n"
                         "\"$0\"; status=$?\n"
                         "ls -A \"$TMPDIR\" > '" +
                         list.string() +
                         "'\n"
                         "exit $status\n";
    e2e::RunOptions o = options();
    o.arguments = {"-m", "--propagation", "private", "sh", "-c", script, e2e::executableOf(app)};
    e2e::Run run = e2e::runProgram("/usr/bin/unshare", root_ / "run", o);
    if (run.status == 97) return std::nullopt;
    listing = e2e::slurp(list);
    return run;
  }

  static void expectCleanFailure(const e2e::Run& run, const std::string& text) {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("The installer could not start: " + text), std::string::npos) << run.err;
    // An expected failure: no call stack, and no attempt to run a missing java.
    EXPECT_EQ(run.err.find("    \""), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("posix_spawn"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
  }

  int stages_ = 0;
  int bundles_ = 0;
};

TEST_F(RuntimeArchiveTest, DamagedArchivesEndWithTheReasonStatus1AndNoTemporaryDirectory) {
  const std::string tar = runtimeTar(200000);
  const std::string gz = gzipped(tar);
  std::string corrupt = gz;
  for (size_t i = 10; i < 16; ++i) corrupt[i] = '\xff';
  const size_t dataHeader = 3072;
  struct Case {
    const char* what;
    std::string bytes;
    std::string reason;  // the start of it
  };
  const std::vector<Case> cases = {
      {"truncated in a header", gzipped(tar.substr(0, dataHeader + 100)),
       "the archive is damaged (it ends inside an entry header)."},
      {"truncated in data", gzipped(tar.substr(0, dataHeader + 512 + 100000)),
       "the archive is damaged (it ends inside a file)."},
      {"compressed file cut short", gz.substr(0, gz.size() / 2),
       "the archive is damaged (it ends inside a file)."},
      {"corrupt deflate data", corrupt, "the archive is damaged (its compressed data is invalid: "},
      {"empty file", "", "the archive is empty."},
      {"HTML page", "<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head></html>\n",
       "it is not a gzip-compressed tar archive."},
      {"tar without Contents/Home", gzipped(runtimeTar(1000, false)),
       "it holds no Java runtime (no executable Contents/Home/bin/java)."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::path app = bundleWithArchive(c.bytes);
    e2e::Run run = e2e::runProgram(e2e::executableOf(app), root_ / "run", options());
    std::string archive = (app / "Contents/Resources/app/jre.tar.gz").string();
    expectCleanFailure(run, "The Java runtime archive " + archive + " could not be installed: " + c.reason);
    EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";
  }
}

TEST_F(RuntimeArchiveTest, DiskFullDuringExtractionSaysSo) {
  fs::path app = bundleWithArchive(gzipped(runtimeTar(6 << 20)));
  std::string listing;
  std::optional<e2e::Run> run = runWithSmallDisk(app, "2m", listing);
  if (!run) GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root and unshare)";
  std::string archive = (app / "Contents/Resources/app/jre.tar.gz").string();
  expectCleanFailure(
      *run, "The Java runtime archive " + archive + " could not be installed: no space left on device.");
  EXPECT_EQ(listing, "") << "the run's temporary directory is left behind";
}

TEST_F(RuntimeArchiveTest, DiskFullDuringDownloadSaysSoInsteadOfBlamingTheNetwork) {
  fs::path archive = root_ / "served.tar.gz";
  std::ofstream(archive, std::ios::binary) << gzipped(runtimeTar(6 << 20));
  testing_support::LoopbackServer server;
  server.serveFile(archive.string());
  fs::path app = bundleDownloading(server.url("/served"));
  std::string listing;
  std::optional<e2e::Run> run = runWithSmallDisk(app, "2m", listing);
  if (!run) GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root and unshare)";
  EXPECT_NE(run->err.find("Download failed! Error - write("), std::string::npos) << run->err;
  EXPECT_NE(run->err.find("No space left on device " + server.url("/served")), std::string::npos) << run->err;
  expectCleanFailure(
      *run, "The Java runtime could not be downloaded into " + tmp().string() + ": no space left on device.");
  EXPECT_EQ(run->err.find(kNetworkError), std::string::npos) << run->err;
  EXPECT_EQ(listing, "") << "the run's temporary directory is left behind";
}

TEST_F(RuntimeArchiveTest, DownloadIsInstalledOnlyWhenItsSha256Matches) {
  fs::path archive = root_ / "served.tar.gz";
  std::ofstream(archive, std::ios::binary) << gzipped(runtimeTar(100000));
  char digest[SHA256_DIGEST_STRING_LENGTH];
  ASSERT_NE(SHA256File(archive.c_str(), digest), nullptr);
  std::string right = digest, wrong = digest;
  wrong[0] = wrong[0] == '0' ? '1' : '0';
  testing_support::LoopbackServer server;
  server.serveFile(archive.string());
  const std::string url = server.url("/served");

  // Upper-case digits and blanks around the value are fine.
  std::string upper = right;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  e2e::Run run = e2e::runProgram(e2e::executableOf(bundleDownloading(url, " " + upper + "\n")), root_ / "run",
                                 options());
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("stand-in java "), std::string::npos) << run.out;
  EXPECT_TRUE(fs::is_empty(tmp()));

  run = e2e::runProgram(e2e::executableOf(bundleDownloading(url, wrong)), root_ / "run", options());
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Download failed! Error - SHA-256 mismatch: expected " + wrong + ", received " +
                         right + " " + url),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find(kNetworkError), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(fs::is_empty(tmp())) << "the run's temporary directory is left behind";

  int requests = server.requestCount();
  for (const std::string& malformed : {right.substr(1), right + "0", "g" + right.substr(1)}) {
    SCOPED_TRACE(malformed);
    run = e2e::runProgram(e2e::executableOf(bundleDownloading(url, malformed)), root_ / "run", options());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("Download failed! Error - malformed qvr.jreSha256 value " + malformed +
                           ": 64 hexadecimal digits expected " + url),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find(kNetworkError), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(fs::is_empty(tmp()));
  }
  EXPECT_EQ(server.requestCount(), requests) << "nothing is fetched for a malformed digest";
}

}  // namespace
