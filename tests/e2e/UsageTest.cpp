// --help and --version: answered by the program outside a bundle, handed to
// the Java program inside one.
#include <gtest/gtest.h>

#include <regex>

#include "FrontEndSupport.h"

namespace fs = std::filesystem;

namespace {

class UsageTest : public ::testing::Test {
 protected:
  e2e::Run run(const std::string& program, std::vector<std::string> arguments) {
    e2e::RunOptions options;
    options.arguments = std::move(arguments);
    options.environment = {{"HOME", root_.string()}, {"TMPDIR", root_.string()}, {"JAVA_HOME", std::nullopt}};
    return e2e::runProgram(program, root_ / "run", options);
  }

  test_support::TemporaryDirectory directory_;
  const fs::path root_ = directory_.path();
};

TEST_F(UsageTest, OutsideABundleHelpPrintsTheUsageAndVersionTheVersion) {
  // A folder named like a bundle's, but not inside an .app, is no bundle.
  fs::path loose = root_ / "Tool/Contents/MacOS/mac_installer";
  fs::create_directories(loose.parent_path());
  fs::copy_file(MI_PROGRAM_PATH, loose);
  for (const std::string& program : {std::string(MI_PROGRAM_PATH), loose.string()}) {
    e2e::Run help = run(program, {"--help"});
    EXPECT_EQ(help.status, 0) << help.err;
    for (const char* part : {"usage:", "__qvr_invoke_other ARGFILE", "Contents/Info.plist",
                             "QUORVANE_LOG=yes", "man mac_installer", "-splash"})
      EXPECT_NE(help.out.find(part), std::string::npos) << part << "\n" << help.out;

    e2e::Run version = run(program, {"--version", "ignored"});
    EXPECT_EQ(version.status, 0) << version.err;
    EXPECT_TRUE(std::regex_match(version.out, std::regex("mac_installer [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << version.out;
  }
}

TEST_F(UsageTest, InsideABundleEveryArgumentBelongsToTheJavaProgram) {
  platform::Array search;
  search.push_back(platform::Value("R" + e2e::jdk17Home()));
  fs::path app = e2e::makeBundle(
      root_,
      {{"JavaVM", platform::Value(platform::Dictionary{{"SearchSequence", platform::Value(search)}})}});
  e2e::Run r = run(e2e::executableOf(app), {"--help", "--version"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("arg=--help\narg=--version\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("usage:"), std::string::npos);
}

}  // namespace
