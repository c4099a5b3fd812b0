// The standard locations end to end: the built program runs in a private
// mount namespace where /usr/lib/jvm is a test directory of runtime homes
// whose bin/java links to the real JDK, so that the choice among them, the
// passing over of broken ones and the failure report are those of the real
// program on a real layout.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "FrontEndSupport.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;
using platform::Dictionary;
using platform::Value;
using test_support::countOf;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr const char* kVirtualMachines = "/usr/lib/jvm";

class StandardLocationsTest : public e2e::ProgramTest {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "a private mount namespace needs root";
    if (!fs::exists(e2e::jdk17Home() + "/release")) GTEST_SKIP() << "no JDK at " << e2e::jdk17Home();
    if (e2e::runCommand({"/usr/bin/unshare", "-m", "/bin/true"}) != 0)
      GTEST_SKIP() << "unshare -m is not permitted here";
    e2e::ProgramTest::SetUp();
    for (const char* d : {"jvm", "jdk", "path"}) fs::create_directories(root_ / d);
  }

  // A runtime home named name in the test's virtual-machines directory (or
  // at an absolute path): a release file with the version, and bin/java
  // linking to the real JDK's (seen inside the namespace under root_/jdk).
  fs::path makeHome(const std::string& name, const std::string& version, bool broken = false) {
    fs::path home = name.front() == '/' ? fs::path(name) : root_ / "jvm" / name;
    fs::create_directories(home / "bin");
    std::ofstream(home / "release") << "JAVA_VERSION=\"" << version << "\"\n";
    fs::create_symlink(broken ? root_ / "removed/bin/java" : root_ / "jdk/bin/java", home / "bin/java");
    return home;
  }

  // Runs the bundle's program with /usr/lib/jvm replaced by root_/jvm; the
  // real JDK stays reachable under root_/jdk.
  e2e::Run run(const fs::path& app, std::map<std::string, std::optional<std::string>> environment = {}) {
    e2e::RunOptions o = options();
    o.environment["PATH"] = (root_ / "path").string();
    for (auto& [name, value] : environment) o.environment[name] = value;
    o.arguments = {"-m",
                   "/bin/sh",
                   "-c",
                   "/bin/mount --bind \"$1\" \"$2\" && /bin/mount --bind \"$3\" \"$4\" && exec \"$5\"",
                   "sh",
                   e2e::jdk17Home(),
                   (root_ / "jdk").string(),
                   (root_ / "jvm").string(),
                   kVirtualMachines,
                   e2e::executableOf(app)};
    return e2e::runProgram("/usr/bin/unshare", root_ / "run", o);
  }

  fs::path app(Dictionary limits = {}, const std::string& name = "Test") {
    return e2e::makeBundle(root_, limits, name);
  }
};

std::string lineWith(const std::string& text, const std::string& prefix) {
  size_t at = ("\n" + text).find("\n" + prefix);
  if (at == std::string::npos) return "";
  size_t end = text.find('\n', at);
  return text.substr(at + prefix.size(), end - at - prefix.size());
}

}  // namespace

TEST_F(StandardLocationsTest, NewestRuntimeRunsAndBrokenOnesArePassedOver) {
  makeHome("java-25-openjdk-amd64", "25.0.1", true);  // its JDK was removed
  makeHome("java-21-openjdk-amd64", "21.0.5");
  fs::create_directory_symlink("java-21-openjdk-amd64", root_ / "jvm/java-1.21.0-openjdk-amd64");
  makeHome("temurin-17-jdk-amd64", "17.0.13");
  makeHome("zulu8-ca-amd64", "1.8.0_402");
  e2e::Run r = run(app());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lineWith(r.out, "jreBundle="), std::string(kVirtualMachines) + "/java-21-openjdk-amd64") << r.out;
  EXPECT_THAT(r.err, HasSubstr("] Launcher::checkCandidate [Line "));
  EXPECT_THAT(r.err, HasSubstr("refused /usr/lib/jvm/java-25-openjdk-amd64: no bin/java\n"));
  EXPECT_EQ(countOf(r.err, "] checking /usr/lib/jvm/java-21-openjdk-amd64\n"), 1u) << r.err;
  EXPECT_EQ(countOf(r.err, "] checking /usr/lib/jvm/java-1.21.0"), 0u) << "the link is the same runtime";
  EXPECT_THAT(r.err, Not(HasSubstr("No suitable Java runtime")));
}

TEST_F(StandardLocationsTest, JavaHomeFirstThenTheDirectoryByVersion) {
  makeHome("java-21-openjdk-amd64", "21.0.5");
  makeHome("temurin-17-jdk-amd64", "17.0.13");
  fs::path custom = makeHome((root_ / "custom-11").string(), "11.0.2");
  e2e::Run r = run(app(), {{"JAVA_HOME", custom.string()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lineWith(r.out, "jreBundle="), custom.string()) << r.out;

  // JAVA_HOME below the minimum: the newest runtime within the limits.
  r = run(app({{"qvr.minVersion", Value("12")}, {"qvr.maxVersion", Value("17")}}, "Limited"),
          {{"JAVA_HOME", custom.string()}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(lineWith(r.out, "jreBundle="), std::string(kVirtualMachines) + "/temurin-17-jdk-amd64") << r.out;
}

TEST_F(StandardLocationsTest, FailureReportComesBeforeTheDialogWithTheLogOff) {
  makeHome("java-25-openjdk-amd64", "25.0.1", true);
  makeHome("java-21-openjdk-amd64", "21.0.5");
  makeHome("zulu8-ca-amd64", "1.8.0_402");
  e2e::Run r = run(app({{"qvr.minVersion", Value("99")}}), {{"QUORVANE_LOG", std::nullopt}});
  EXPECT_EQ(r.status, 1);
  const std::string jvm = kVirtualMachines;
  const std::string report =
      "No suitable Java runtime was found. Constraints: minimum 99, maximum none, pre-releases not allowed, "
      "identifier prefix none, architecture x86_64.\n"
      "  " +
      jvm +
      "/java-25-openjdk-amd64 (version 25.0.1): no bin/java\n"
      "  " +
      jvm +
      "/java-21-openjdk-amd64 (version 21.0.5): below the minimum 99\n"
      "  " +
      jvm +
      "/zulu8-ca-amd64 (version 1.8.0_402): below the minimum 99\n"
      "  environment variable JAVA_HOME: not set\n"
      "  PATH: no java\n"
      "Run with QUORVANE_LOG=yes for the full trace.\n"
      "Test: Test needs Java 99 or later, and no suitable Java runtime was found on this computer.\n";
  if (platform::kRequiredCpuType == platform::kCpuTypeX86_64) {
    EXPECT_EQ(r.err, report);
  }
  EXPECT_THAT(r.err, Not(HasSubstr("[Line ")));
}
