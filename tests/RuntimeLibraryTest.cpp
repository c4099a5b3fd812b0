// Preparing LD_LIBRARY_PATH so that a runtime's launcher library does not
// restart the program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "ExecutableHeaders.h"
#include "TestSupport.h"
#include "platform/RuntimeLibrary.h"

namespace {

using test_support::ScopedEnv;
using test_support::TemporaryDirectory;

class RuntimeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("jdk/lib/libjli.so", "");
    dir.write("jdk/lib/server/libjvm.so", "");
    dir.write("other/lib/server/libjvm.so", "");
    jdkLib = std::filesystem::canonical(dir / "jdk/lib").string();
  }
  // Sets the variable (absent: unsets it), prepares, returns the result.
  std::optional<std::string> prepared(const std::optional<std::string>& value, const std::string& library) {
    ScopedEnv variable("LD_LIBRARY_PATH", value ? value->c_str() : nullptr);
    platform::prepareForRuntimeLibrary(library);
    const char* now = std::getenv("LD_LIBRARY_PATH");
    return now ? std::optional<std::string>(now) : std::nullopt;
  }

  TemporaryDirectory dir;
  std::string jdkLib;
};

TEST_F(RuntimeLibraryTest, PutsTheRuntimesVmFirstOnlyWhenAnotherVmIsNamed) {
  const std::string library = dir / "jdk/lib/libjli.so";
  const std::string other = dir / "other/lib/server";
  EXPECT_EQ(prepared(std::nullopt, library), std::nullopt);
  EXPECT_EQ(prepared("", library), "");
  EXPECT_EQ(prepared("/usr/local/lib:" + dir / "other", library), "/usr/local/lib:" + dir / "other");
  EXPECT_EQ(prepared("/no/lib/server", library), "/no/lib/server");
  EXPECT_EQ(prepared("/usr/local/lib:" + other, library),
            jdkLib + "/server:" + jdkLib + ":/usr/local/lib:" + other);
  const std::string first = jdkLib + "/server:" + other;
  EXPECT_EQ(prepared(first, library), first);
}

TEST_F(RuntimeLibraryTest, FollowsTheDefaultVmOfTheRuntimeAndItsLinks) {
  dir.write("jdk/lib/jvm.cfg", "# comment\n-zero IGNORE\n-client KNOWN\n-server KNOWN\n");
  std::filesystem::create_directory_symlink(dir / "jdk", dir / "linked");
  const std::string other = dir / "other/lib/server";
  EXPECT_EQ(prepared(other, dir / "linked/lib/libjli.so"), jdkLib + "/client:" + jdkLib + ":" + other);
}

}  // namespace
