// VM options files: line splitting and trimming, comments, the class-path
// directives, includes and their cycles, and the names of files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "platform/Bundle.h"

using test_support::ScopedEnv;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::ElementsAre;

namespace {

class OptionsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    bundle_ = dir_ / "x/y/Setup.app";
    std::filesystem::create_directories(bundle_);
    platform::Bundle::setMainBundlePathForTesting(bundle_);
  }
  void TearDown() override { platform::Bundle::setMainBundlePathForTesting(std::nullopt); }

  std::optional<std::string> read(const std::string& path,
                                  std::optional<std::string> classPath = std::nullopt) {
    return launcher_.readOptionsFile(path, options_, std::move(classPath), bundle_);
  }

  TemporaryDirectory dir_;
  std::string bundle_;
  Launcher launcher_;
  std::vector<std::string> options_;
  ScopedEnv home_{"HOME", (dir_ / "home").c_str()};
};

}  // namespace

TEST_F(OptionsFileTest, LineEndsBlanksAndCommentsGiveTheSameOptions) {
  writeFile(dir_ / "lf.vmoptions", "-Xmx1g\n\n# a comment\n-Dname=a # b\n-Dlast");
  writeFile(dir_ / "crlf.vmoptions", "-Xmx1g\r\n\r\n# a comment\r\n-Dname=a # b\r\n-Dlast\r\n");
  writeFile(dir_ / "cr.vmoptions", "-Xmx1g\r\r# a comment\r-Dname=a # b\r-Dlast\r");
  // Tab, blank, no-break space (U+00A0) and ideographic space (U+3000).
  writeFile(
      dir_ / "blanks.vmoptions",
      "\t -Xmx1g \t\n\xC2\xA0\xE3\x80\x80\n  \t# a comment\n\xC2\xA0-Dname=a # b\xE3\x80\x80\n -Dlast  ");
  for (const char* name : {"lf", "crlf", "cr", "blanks"}) {
    options_.clear();
    EXPECT_EQ(read(dir_ / (std::string(name) + ".vmoptions"), "keep.jar"), "keep.jar");
    EXPECT_THAT(options_, ElementsAre("-Xmx1g", "-Dname=a # b", "-Dlast")) << name;
  }
}

TEST_F(OptionsFileTest, InnerBlanksAndQuotesStay) {
  writeFile(dir_ / "o.vmoptions", "-Dtitle=\"My App\"   two\n-classpath\n");
  read(dir_ / "o.vmoptions");
  // A directive without its blank is an ordinary option.
  EXPECT_THAT(options_, ElementsAre("-Dtitle=\"My App\"   two", "-classpath"));
}

TEST_F(OptionsFileTest, ClassPathDirectivesBuildOnEachOther) {
  writeFile(dir_ / "cp.vmoptions", "-classpath/a three.jar\n-classpath/p zero.jar\n");
  EXPECT_EQ(read(dir_ / "cp.vmoptions", "one.jar:two.jar"), "zero.jar:one.jar:two.jar:three.jar");

  writeFile(dir_ / "replace.vmoptions",
            "-classpath/a three.jar\n-classpath   new.jar\n-classpath/a  after.jar\n");
  // The rest is taken exactly as written, blanks included.
  EXPECT_EQ(read(dir_ / "replace.vmoptions", "one.jar"), "  new.jar: after.jar");
  EXPECT_TRUE(options_.empty());
}

TEST_F(OptionsFileTest, PrependOrAppendWithoutClassPathAddsNoEmptyEntry) {
  writeFile(dir_ / "a.vmoptions", "-classpath/a a.jar\n-classpath/p p.jar\n");
  EXPECT_EQ(read(dir_ / "a.vmoptions"), "p.jar:a.jar");
  writeFile(dir_ / "p.vmoptions", "-classpath/p p.jar\n");
  EXPECT_EQ(read(dir_ / "p.vmoptions", ""), "p.jar");
  // A rest that substitution left empty changes nothing.
  ScopedEnv empty("MI_TEST_EMPTY", "");
  writeFile(dir_ / "e.vmoptions", "-classpath/a ${MI_TEST_EMPTY}\n");
  EXPECT_EQ(read(dir_ / "e.vmoptions", "x.jar"), "x.jar");
}

TEST_F(OptionsFileTest, LinesAreSubstitutedBeforeTheyAreRead) {
  ScopedEnv lib("MI_TEST_LIB", "/opt/lib");
  writeFile(
      dir_ / "v.vmoptions",
      "-Dapp=$APP_PACKAGE\n-classpath/a ${MI_TEST_LIB}/x.jar\n-Dsep=${launcher:sys.pathlistSeparator}\n");
  EXPECT_EQ(read(dir_ / "v.vmoptions", "a.jar"), "a.jar:/opt/lib/x.jar");
  EXPECT_THAT(options_, ElementsAre("-Dapp=" + bundle_, "-Dsep=:"));
}

TEST_F(OptionsFileTest, QuotedRelativeIncludeIsReadFromTheIncludingFilesDirectory) {
  writeFile(dir_ / "x/y/app.vmoptions", "-Dbefore\n-include-options \"extra.vmoptions\"\n-Dafter\n");
  writeFile(dir_ / "x/y/extra.vmoptions", "-Dextra\n-classpath/a extra.jar\n");
  // A file of the same name in the current directory must not be taken.
  writeFile(dir_ / "extra.vmoptions", "-Dwrong\n");
  test_support::runInChild([&] {
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    EXPECT_EQ(read(dir_ / "x/y/app.vmoptions", "base.jar"), "base.jar:extra.jar");
    EXPECT_THAT(options_, ElementsAre("-Dbefore", "-Dextra", "-Dafter"));
  });
}

TEST_F(OptionsFileTest, IncludesReachHomeAndBundleFiles) {
  writeFile(dir_ / "home/h.vmoptions", "-Dhome\n");
  writeFile(bundle_ + "/Contents/b.vmoptions", "-Dbundle\n");
  writeFile(dir_ / "main.vmoptions",
            "-include-options ~/h.vmoptions\n-include-options $APP_PACKAGE/Contents/b.vmoptions\n"
            "-include-options \"\n-include-options missing.vmoptions\n-Dend\n");
  read(dir_ / "main.vmoptions");
  EXPECT_THAT(options_, ElementsAre("-Dhome", "-Dbundle", "-Dend"));
}

TEST_F(OptionsFileTest, OnlyALeadingTildeIsTheHomeDirectory) {
  writeFile(dir_ / "home/h.vmoptions", "-Dhome\n");
  read("~/h.vmoptions");
  EXPECT_THAT(options_, ElementsAre("-Dhome"));

  // A "~" elsewhere, or before a user name, is part of the name.
  options_.clear();
  writeFile(dir_ / "a~b.vmoptions", "-Dmiddle\n");
  writeFile(dir_ / "~user/u.vmoptions", "-Duser\n");
  test_support::runInChild([&] {
    ASSERT_EQ(::chdir(dir_.path().c_str()), 0);
    read("a~b.vmoptions");
    read("~user/u.vmoptions");
    EXPECT_THAT(options_, ElementsAre("-Dmiddle", "-Duser"));
  });

  options_.clear();
  writeFile(dir_ / "x/y/Setup.app/in.vmoptions", "-Din\n");
  read("$APP_PACKAGE/in.vmoptions");
  EXPECT_THAT(options_, ElementsAre("-Din"));
}

TEST_F(OptionsFileTest, TildeInsideTheBundlePathIsKept) {
  const std::string bundle = dir_ / "dist~1/Setup.app";
  std::filesystem::create_directories(bundle);
  platform::Bundle::setMainBundlePathForTesting(bundle);
  writeFile(dir_ / "dist~1/Setup.app/Contents/in.vmoptions", "-Dinside=$APP_PACKAGE\n");
  writeFile(dir_ / "dist~1/main.vmoptions", "-include-options $APP_PACKAGE/Contents/in.vmoptions\n");
  launcher_.readOptionsFile("$APP_PACKAGE/../main.vmoptions", options_, std::nullopt, bundle);
  EXPECT_THAT(options_, ElementsAre("-Dinside=" + bundle));
}

TEST_F(OptionsFileTest, ByteOrderMarkIsSkipped) {
  writeFile(dir_ / "bom.vmoptions", "\xEF\xBB\xBF# settings\n-Xmx1g\n");
  writeFile(dir_ / "bom-option.vmoptions", "\xEF\xBB\xBF-Dfirst\n\xEF\xBB\xBF-Dsecond\n");
  read(dir_ / "bom.vmoptions");
  read(dir_ / "bom-option.vmoptions");
  // Only the mark that starts the file is skipped.
  EXPECT_THAT(options_, ElementsAre("-Xmx1g", "-Dfirst", "\xEF\xBB\xBF-Dsecond"));
}

TEST_F(OptionsFileTest, UnreadableFilesContributeNothing) {
  EXPECT_EQ(read(dir_ / "missing.vmoptions", "cp"), "cp");
  EXPECT_EQ(launcher_.readOptionsFile(std::nullopt, options_, "cp", bundle_), "cp");
  std::filesystem::create_directories(dir_ / "dir.vmoptions");
  EXPECT_EQ(read(dir_ / "dir.vmoptions", "cp"), "cp");
  writeFile(dir_ / "latin1.vmoptions", "-Dname=caf\xE9\n-classpath x.jar\n");
  EXPECT_EQ(read(dir_ / "latin1.vmoptions", "cp"), "cp");
  EXPECT_TRUE(options_.empty());
}

// Include limits -------------------------------------------------------------------

namespace {

// Numbered options files: fN.vmoptions, its option -DN and an include of it.
std::string name(int i) { return std::string("f").append(std::to_string(i)).append(".vmoptions"); }
std::string option(int i) { return std::string("-D").append(std::to_string(i)).append("\n"); }
std::string include(int i) { return std::string("-include-options ").append(name(i)).append("\n"); }

}  // namespace

TEST_F(OptionsFileTest, FileOnTheIncludeChainIsNotIncludedAgain) {
  writeFile(dir_ / "self.vmoptions",
            "-Dself\n-include-options self.vmoptions\n-include-options ./self.vmoptions\n-Dtail\n");
  read(dir_ / "self.vmoptions");
  EXPECT_THAT(options_, ElementsAre("-Dself", "-Dtail"));

  // Through another file, and through a link to the first.
  options_.clear();
  std::filesystem::create_symlink(dir_ / "one.vmoptions", dir_ / "link.vmoptions");
  writeFile(dir_ / "one.vmoptions", "-Done\n-classpath/a one.jar\n-include-options two.vmoptions\n-Dend\n");
  writeFile(dir_ / "two.vmoptions", "-Dtwo\n-include-options \"" + (dir_ / "one.vmoptions") +
                                        "\"\n-include-options link.vmoptions\n");
  EXPECT_EQ(read(dir_ / "one.vmoptions"), "one.jar");
  EXPECT_THAT(options_, ElementsAre("-Done", "-Dtwo", "-Dend"));
}

TEST_F(OptionsFileTest, FileIncludedTwiceSideBySideIsReadTwice) {
  writeFile(dir_ / "main.vmoptions",
            "-Dmain\n-include-options part.vmoptions\n-include-options part.vmoptions\n");
  writeFile(dir_ / "part.vmoptions", "-Dpart\n-classpath/a part.jar\n");
  EXPECT_EQ(read(dir_ / "main.vmoptions"), "part.jar:part.jar");
  EXPECT_THAT(options_, ElementsAre("-Dmain", "-Dpart", "-Dpart"));
}

TEST_F(OptionsFileTest, IncludesNestDeepestThirtyTwoFiles) {
  for (int i = 0; i < 40; ++i) writeFile(dir_ / name(i), option(i) + include(i + 1));
  read(dir_ / "f0.vmoptions");
  ASSERT_EQ(options_.size(), 32u);
  EXPECT_EQ(options_.back(), "-D31");
}

TEST_F(OptionsFileTest, OneLaunchFollowsAtMostAThousandIncludes) {
  // Each file includes the next one twice: 2^12 - 1 includes without a limit.
  for (int i = 0; i < 12; ++i) writeFile(dir_ / name(i), option(i) + include(i + 1) + include(i + 1));
  writeFile(dir_ / name(12), option(12));
  read(dir_ / "f0.vmoptions");
  // The top-level file, then one option for every include followed, depth first.
  ASSERT_EQ(options_.size(), 1001u);
  EXPECT_THAT(std::vector<std::string>(options_.begin(), options_.begin() + 14),
              ElementsAre("-D0", "-D1", "-D2", "-D3", "-D4", "-D5", "-D6", "-D7", "-D8", "-D9", "-D10",
                          "-D11", "-D12", "-D12"));

  // The limit holds for the whole launch, not for each top-level file.
  options_.clear();
  writeFile(dir_ / "later.vmoptions", "-Dlater\n-include-options f12.vmoptions\n");
  read(dir_ / "later.vmoptions");
  EXPECT_THAT(options_, ElementsAre("-Dlater"));
}
