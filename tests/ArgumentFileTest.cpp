// The argument-file intake: line splitting, consumption of the file, the
// runtime taken from line 0 and the argument vector built for the runtime.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "mac_installer/Launcher.h"

namespace {

using namespace testing_headers;
using test_support::TemporaryDirectory;

class ArgumentFileTest : public ::testing::Test {
 protected:
  void SetUp() override { reset(); }
  void TearDown() override { reset(); }
  // The intake's vectors live for the rest of the process; they stay
  // reachable here so that a leak checker does not count them.
  static void keep() {
    static auto* kept = new std::vector<char**>();  // never destroyed, like argv itself
    if (argv) kept->push_back(argv);
  }
  static void reset() {
    keep();
    argc = 0;
    argv = nullptr;
    launchJavaVersion = nullptr;
  }

  // Writes the argument file and runs the intake on it.
  void load(const Bytes& content) {
    keep();
    launcher.load("/path/of/program", dir.write("arguments", content).c_str());
  }

  std::vector<std::string> vector() const {
    std::vector<std::string> entries;
    for (std::int32_t i = 0; i < argc; ++i) entries.emplace_back(argv[i]);
    return entries;
  }

  TemporaryDirectory dir;
  Launcher launcher;
};

struct SplitRow {
  const char* name;
  Bytes content;
  std::vector<std::string> expected;  // argv after the program path
};

TEST_F(ArgumentFileTest, SplitsAtLineFeedsOnlyAndKeepsEverythingElse) {
  const SplitRow rows[] = {
      {"final line feed", "/rt\n", {""}},
      {"carriage returns stay", "/rt\r\n-Dx=1\r\nMain\r\n", {"-Dx=1\r", "Main\r", ""}},
      {"blanks and empty lines",
       "/rt\n  -Xmx1g \n\n\nMain\n two  words ",
       {"  -Xmx1g ", "", "", "Main", " two  words "}},
      {"four lines",
       "/rt/jre.bundle\n-Dp=q\ncom.example.Main\nan argument",
       {"-Dp=q", "com.example.Main", "an argument"}},
      {"no quoting or comments",
       "/rt\n\"quoted\"\n# not a comment\n\\\n@file",
       {"\"quoted\"", "# not a comment", "\\", "@file"}},
      {"byte-order mark at the start only", "\xEF\xBB\xBF/rt\n\xEF\xBB\xBFMain", {"\xEF\xBB\xBFMain"}},
      {"multi-byte text",
       "/rt\ncaf\xc3\xa9\n\xe2\x82\xac \xf0\x9f\x98\x80",
       {"caf\xc3\xa9", "\xe2\x82\xac \xf0\x9f\x98\x80"}},
  };
  for (const SplitRow& row : rows) {
    reset();
    launcher = Launcher();
    load(row.content);
    std::vector<std::string> expected = {"/path/of/program"};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(vector(), expected) << row.name;
    EXPECT_EQ(argc, static_cast<std::int32_t>(expected.size())) << row.name;
    ASSERT_NE(argv, nullptr) << row.name;
    EXPECT_EQ(argv[argc], nullptr) << row.name;
    std::string runtime = row.content.substr(0, row.content.find('\n'));
    if (runtime.starts_with("\xEF\xBB\xBF")) runtime.erase(0, 3);
    EXPECT_EQ(launcher.javaBundlePath, runtime) << row.name;
  }
}

TEST_F(ArgumentFileTest, FewerThanTwoLinesTakeNoRuntime) {
  const Bytes contents[] = {
      "/usr/lib/jvm/some-jdk", "", "\xc3(\n-Dx=1", "/rt\n\x80", "/rt\n\xc0\xaf", "/rt\n\xed\xa0\x80",
      "/rt\nMain\n\xe2\x82"};
  for (const Bytes& content : contents) {
    load(content);
    EXPECT_FALSE(launcher.javaBundlePath) << content;
    EXPECT_FALSE(launcher.javaBundle) << content;
    EXPECT_EQ(argc, 0) << content;
    EXPECT_EQ(argv, nullptr) << content;
    EXPECT_FALSE(std::filesystem::exists(dir / "arguments")) << content;
  }
}

TEST_F(ArgumentFileTest, ConsumesTheFileButNeverADirectory) {
  load("/rt\nMain\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "arguments"));

  // A missing file is no failure; a directory named by mistake keeps its contents.
  launcher.load("/path/of/program", (dir / "absent").c_str());
  dir.write("named/keep", "data");
  launcher.load("/path/of/program", (dir / "named").c_str());
  EXPECT_TRUE(std::filesystem::exists(dir / "named/keep"));
  EXPECT_EQ(vector(), (std::vector<std::string>{"/path/of/program", "Main", ""}));
}

TEST_F(ArgumentFileTest, TakesTheVersionOfTheRuntimeOnLineZero) {
  dir.write("jdk/release", "JAVA_VERSION=\"11.0.2+9\"\n");
  dir.write("jdk/bin/java", elf(kRequiredElf));
  load(dir / "jdk" + "\nMain");
  ASSERT_TRUE(launcher.javaBundle);
  EXPECT_EQ(launcher.javaBundle->bundlePath(), dir / "jdk");
  ASSERT_NE(launchJavaVersion, nullptr);
  EXPECT_STREQ(launchJavaVersion, "11.0.2");
  EXPECT_EQ(launcher.javaVersion, "11.0.2+9");
  EXPECT_EQ(launcher.javaMajorVersion, 11);
  EXPECT_EQ(vector(), (std::vector<std::string>{"/path/of/program", "Main"}));
}

TEST_F(ArgumentFileTest, RuntimeThatFailsTheCheckIsStillTaken) {
  // Built for another processor: refused by the check, so no version, but the
  // path stays and the start goes on to the library.
  dir.write("jdk/release", "JAVA_VERSION=\"17.0.2\"\n");
  dir.write("jdk/bin/java", elf(kRequiredElf == kElfX86_64 ? kElfAarch64 : kElfX86_64));
  launchJavaVersion = "stale";
  load(dir / "jdk" + "\nMain");
  EXPECT_EQ(launcher.javaBundlePath, dir / "jdk");
  EXPECT_TRUE(launcher.javaBundle);
  EXPECT_EQ(launchJavaVersion, nullptr);
  EXPECT_FALSE(launcher.javaVersion);

  load("/does/not/exist\nMain");
  EXPECT_EQ(launcher.javaBundlePath, "/does/not/exist");
  EXPECT_FALSE(launcher.javaBundle);
  EXPECT_EQ(launchJavaVersion, nullptr);
  EXPECT_EQ(vector(), (std::vector<std::string>{"/path/of/program", "Main"}));
}

}  // namespace
