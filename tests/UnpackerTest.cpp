// Packed-jar unpacking: which files are found, the tool's command line, the
// progress reports and the stop at the first failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "mac_installer/Unpacker.h"
#include "platform/Exception.h"

namespace {

using test_support::countOf;
using test_support::slurp;
using test_support::TemporaryDirectory;

class UnpackerTest : public ::testing::Test {
 protected:
  std::string home() const { return dir / "home"; }
  std::string pack(const std::string& relative) {
    return dir.write("home/" + relative, "packed:" + relative);
  }

  // A fake tool: records its arguments one per line, writes the jar from the
  // packed file, removes the packed file when given "-r", and exits with
  // failStatus when the packed file's name is failName.
  void writeTool(const std::string& failName = "", int failStatus = 3) {
    std::string script =
        "#!/bin/sh\n"
        "printf '%s\\n' \"$@\" >> '" +
        calls() +
        "'\n"
        "case \"$2\" in */" +
        (failName.empty() ? std::string("\\0never") : failName) + ") exit " + std::to_string(failStatus) +
        ";; esac\n"
        "cat \"$2\" > \"$3\" || exit 9\n"
        "[ \"$1\" = -r ] && rm \"$2\"\n"
        "exit 0\n";
    std::string tool = dir.write("home/bin/unpack200", script);
    ::chmod(tool.c_str(), 0755);
  }
  std::string calls() const { return dir / "calls"; }
  std::vector<std::string> callLines() const {
    std::vector<std::string> lines;
    std::istringstream in(slurp(calls()));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  bool run(std::vector<double>* reports = nullptr) {
    Unpacker::Progress progress;
    if (reports) progress = [reports](double p) { reports->push_back(p); };
    return Unpacker::unpack(home(), progress);
  }

  TemporaryDirectory dir;
};

TEST_F(UnpackerTest, NothingPackedNeverStartsTheToolAndReportsNoProgress) {
  dir.write("home/lib/rt.jar", "jar");
  dir.write("home/lib/ext/a.jar", "jar");
  std::vector<double> reports;
  // There is no bin/unpack200 at all: starting it would raise.
  EXPECT_TRUE(run(&reports));
  EXPECT_TRUE(reports.empty());
  EXPECT_TRUE(Unpacker::unpack(dir / "missing-home", nullptr));
}

TEST_F(UnpackerTest, UnpacksLibBeforeLibExtWithEvenProgress) {
  writeTool();
  pack("lib/a.jar.pack");
  pack("lib/b.jar.pack");
  pack("lib/c.jar.pack");
  pack("lib/ext/d.jar.pack");
  std::vector<double> reports;
  ASSERT_TRUE(run(&reports));

  ASSERT_EQ(reports.size(), 4u);
  const double expected[] = {25, 50, 75, 100};
  for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(reports[i], expected[i], 1e-9);

  std::vector<std::string> lines = callLines();
  ASSERT_EQ(lines.size(), 12u);  // three arguments per run
  for (size_t run = 0; run < 3; ++run) {
    EXPECT_EQ(lines[run * 3], "-r");
    EXPECT_EQ(lines[run * 3 + 1].substr(0, home().size() + 5), home() + "/lib/");
    EXPECT_EQ(lines[run * 3 + 2], lines[run * 3 + 1].substr(0, lines[run * 3 + 1].size() - 5));
  }
  EXPECT_EQ(lines[10], home() + "/lib/ext/d.jar.pack");
  EXPECT_EQ(lines[11], home() + "/lib/ext/d.jar");

  for (std::string name : {"lib/a", "lib/b", "lib/c", "lib/ext/d"}) {
    EXPECT_EQ(slurp(dir / ("home/" + name + ".jar")), "packed:" + name + ".jar.pack") << name;
    EXPECT_FALSE(std::filesystem::exists(dir / ("home/" + name + ".jar.pack"))) << name;
  }
}

TEST_F(UnpackerTest, IgnoresCapitalSuffixOtherDirectoriesAndSubdirectories) {
  writeTool();
  pack("lib/X.JAR.PACK");
  pack("lib/y.jar.pack.bak");
  pack("lib/ext/deeper/z.jar.pack");
  pack("lib/security/s.jar.pack");
  pack("w.jar.pack");
  pack("lib/one.jar.pack");
  std::vector<double> reports;
  ASSERT_TRUE(run(&reports));
  std::vector<std::string> lines = callLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], home() + "/lib/one.jar.pack");
  EXPECT_EQ(reports, std::vector<double>{100});
  EXPECT_TRUE(std::filesystem::exists(dir / "home/lib/X.JAR.PACK"));
  EXPECT_TRUE(std::filesystem::exists(dir / "home/lib/ext/deeper/z.jar.pack"));
}

TEST_F(UnpackerTest, AddPackedFilesBuildsRelativePathsAndSkipsMissingDirectories) {
  pack("lib/ext/a.jar.pack");
  pack("lib/ext/b.jar");
  platform::FileManager fileManager;
  std::vector<std::string> list = {"kept"};
  Unpacker::addPackedFiles(list, "lib/ext", home(), fileManager);
  Unpacker::addPackedFiles(list, "lib/none", home(), fileManager);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "lib/ext/a.jar.pack"}));
}

TEST_F(UnpackerTest, SecondOfThreeFailingStopsWithOneFailureLine) {
  pack("lib/a.jar.pack");
  pack("lib/b.jar.pack");
  pack("lib/c.jar.pack");
  // The listing order is the file system's: make the second listed fail.
  platform::FileManager fileManager;
  std::vector<std::string> order;
  Unpacker::addPackedFiles(order, "lib", home(), fileManager);
  ASSERT_EQ(order.size(), 3u);
  std::string second = platform::lastPathComponent(order[1]);
  writeTool(second, 42);

  std::vector<double> reports;
  ::testing::internal::CaptureStderr();
  bool result = run(&reports);
  std::string log = ::testing::internal::GetCapturedStderr();

  EXPECT_FALSE(result);
  EXPECT_EQ(countOf(log, "Unpack task failed."), 1u) << log;
  EXPECT_EQ(reports.size(), 1u);
  EXPECT_EQ(callLines().size(), 6u);  // the third was never started
  auto jar = [&](size_t i) { return home() + "/" + order[i].substr(0, order[i].size() - 5); };
  EXPECT_TRUE(std::filesystem::exists(jar(0)));
  EXPECT_FALSE(std::filesystem::exists(home() + "/" + order[0]));
  for (size_t i : {1u, 2u}) {
    EXPECT_TRUE(std::filesystem::exists(home() + "/" + order[i])) << order[i];
    EXPECT_FALSE(std::filesystem::exists(jar(i))) << order[i];
  }
}

TEST_F(UnpackerTest, PackedFileGoneBeforeItsTurnStillAdvancesProgress) {
  writeTool();
  pack("lib/a.jar.pack");
  pack("lib/ext/b.jar.pack");
  // The tool run for the first file removes the other one as well.
  std::string tool = dir.write("home/bin/unpack200", "#!/bin/sh\ncat \"$2\" > \"$3\"; rm -f \"$2\" '" +
                                                         (dir / "home/lib/ext/b.jar.pack") +
                                                         "'\necho run >> '" + calls() + "'\n");
  ::chmod(tool.c_str(), 0755);
  std::vector<double> reports;
  EXPECT_TRUE(run(&reports));
  EXPECT_EQ(callLines().size(), 1u);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_NEAR(reports[1], 100, 1e-9);
}

TEST_F(UnpackerTest, ToolThatCannotBeStartedRaisesThePlatformException) {
  pack("lib/a.jar.pack");
  EXPECT_THROW(run(), platform::Exception);
}

TEST_F(UnpackerTest, FailureRaisedByTheCallbackEndsTheUnpacking) {
  writeTool();
  pack("lib/a.jar.pack");
  pack("lib/ext/b.jar.pack");
  auto cancel = [](double) { throw platform::Exception("QuorvaneCancelled", "cancelled"); };
  EXPECT_THROW(Unpacker::unpack(home(), cancel), platform::Exception);
  EXPECT_EQ(callLines().size(), 3u);
  EXPECT_TRUE(std::filesystem::exists(dir / "home/lib/ext/b.jar.pack"));
}

}  // namespace
