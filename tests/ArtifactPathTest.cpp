// Class-path entry resolution: environment references, directory wildcards
// and plain entries, with empty entries preserved.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "platform/FileManager.h"

using test_support::ScopedEnv;
using test_support::TemporaryDirectory;
using test_support::writeFile;

namespace {

class ArtifactPathTest : public testing::Test {
 protected:
  std::string resolved(const std::string& path) {
    return launcher_.resolveArtifactPath(path).value_or("(absent)");
  }
  TemporaryDirectory dir_;
  Launcher launcher_;
  ScopedEnv libs_{"MI_TEST_LIBS", "x.jar:lib/*:$MI_TEST_LIBS"};
  ScopedEnv unset_{"MI_TEST_UNSET", nullptr};
};

}  // namespace

TEST_F(ArtifactPathTest, ResolvesEntryFormsInOrder) {
  struct Case {
    std::string path, expected;
  } cases[] = {
      {"a.jar", "a.jar"},
      {"a::b", "a::b"},
      {":a", ":a"},
      {"a:", "a:"},
      {"", ""},
      {"$", "(absent)"},
      {"$MI_TEST_UNSET", "(absent)"},
      {"$MI_TEST_UNSET:a", "a"},
      {"a:$MI_TEST_UNSET:b", "a:b"},
      // The value's entries are not resolved again.
      {"$MI_TEST_LIBS", "x.jar:lib/*:$MI_TEST_LIBS"},
      {"first:$MI_TEST_LIBS", "first:x.jar:lib/*:$MI_TEST_LIBS"},
      // The whole rest names the variable.
      {"$MI_TEST_LIBS/x.jar", "(absent)"},
      // Only a trailing "/*" is a wildcard.
      {"*", "*"},
      {"lib/*.jar", "lib/*.jar"},
      {"${MI_TEST_LIBS}", "(absent)"},
  };
  for (const Case& c : cases) EXPECT_EQ(resolved(c.path), c.expected) << c.path;
  EXPECT_EQ(launcher_.resolveArtifactPath(std::nullopt), std::nullopt);
}

TEST_F(ArtifactPathTest, WildcardTakesJarAndZipNamesInListingOrder) {
  std::string lib = dir_ / "lib";
  for (const char* name : {"a.jar", "b.zip", "c.txt", "D.JAR", "e.jar.bak"}) writeFile(lib + "/" + name, "x");
  std::filesystem::create_directories(lib + "/x.jar");

  std::string expected;
  std::optional<std::vector<std::string>> listing = platform::FileManager().contentsOfDirectory(lib);
  ASSERT_TRUE(listing);
  for (const std::string& name : *listing) {
    if (name == "a.jar" || name == "b.zip" || name == "x.jar")
      expected += (expected.empty() ? "" : ":") + lib + "/" + name;
  }
  EXPECT_EQ(resolved(lib + "/*"), expected);
  EXPECT_EQ(resolved("first.jar:" + lib + "/*:last.jar"), "first.jar:" + expected + ":last.jar");
}

TEST_F(ArtifactPathTest, EmptyOrMissingDirectoryContributesNothing) {
  std::filesystem::create_directories(dir_ / "empty");
  EXPECT_EQ(resolved("a:" + (dir_ / "empty") + "/*:b"), "a:b");
  EXPECT_EQ(resolved("a:" + (dir_ / "missing") + "/*:b"), "a:b");
  EXPECT_EQ(resolved((dir_ / "missing") + "/*"), "(absent)");
}

TEST_F(ArtifactPathTest, RelativeWildcardIsRelativeToTheCurrentDirectory) {
  writeFile(dir_ / "lib/only.jar", "x");
  test_support::runInChild([&] {
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(resolved("lib/*"), "lib/only.jar");
  });
}
