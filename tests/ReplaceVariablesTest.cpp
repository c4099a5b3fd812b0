// Variable substitution: the launcher variables, environment references, the
// order of the sweeps and the runtime home.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "platform/Bundle.h"

using test_support::ScopedEnv;
using test_support::TemporaryDirectory;

namespace {

class ReplaceVariablesTest : public testing::Test {
 protected:
  void SetUp() override {
    bundle_ = dir_ / "Setup.app";
    std::filesystem::create_directories(bundle_);
    platform::Bundle::setMainBundlePathForTesting(bundle_);
  }
  void TearDown() override { platform::Bundle::setMainBundlePathForTesting(std::nullopt); }

  std::string replaced(const std::string& text) {
    return launcher_.replaceVariables(text).value_or("(absent)");
  }

  TemporaryDirectory dir_;
  std::string bundle_;
  Launcher launcher_;
  ScopedEnv tmp_{"TMPDIR", "/var/tmp/mi-test"};
  ScopedEnv value_{"MI_TEST_VALUE", "/home/someone"};
  ScopedEnv raw_{"MI_TEST_RAW", "$APP_PACKAGE and ${launcher:sys.pathlistSeparator}"};
  ScopedEnv unset_{"MI_TEST_UNSET", nullptr};
};

}  // namespace

TEST_F(ReplaceVariablesTest, ReplacesEachVariableOfTheTable) {
  struct Case {
    std::string text, expected;
  } cases[] = {
      {"-Xmx${launcher:sys.pathlistSeparator}", "-Xmx:"},
      {"$APP_PACKAGE/Contents/Resources", bundle_ + "/Contents/Resources"},
      {"${launcher:sys.launcherDirectory}/lib", bundle_ + "/lib"},
      {"${launcher:sys.tempDir}x.log", "/var/tmp/mi-test/x.log"},
      {"${MI_TEST_VALUE}/x", "/home/someone/x"},
      {"${MI_TEST_VALUE}${MI_TEST_VALUE}", "/home/someone/home/someone"},
      {"${MI_TEST_UNSET}/x", "${MI_TEST_UNSET}/x"},
      {"$MI_TEST_VALUE/x", "$MI_TEST_VALUE/x"},
      {"${mi_test_value}", "${mi_test_value}"},
      {"$", "$"},
      {"${", "${"},
      {"$APP_PACKAGE$APP_PACKAGE", bundle_ + bundle_},
      {"no variables at all", "no variables at all"},
      {"", ""},
      // Without a chosen runtime the variable stays.
      {"${launcher:sys.jvmHome}/bin", "${launcher:sys.jvmHome}/bin"},
  };
  for (const Case& c : cases) EXPECT_EQ(replaced(c.text), c.expected) << c.text;
}

TEST_F(ReplaceVariablesTest, AbsentTextGivesAbsentResult) {
  EXPECT_EQ(launcher_.replaceVariables(std::nullopt), std::nullopt);
}

TEST_F(ReplaceVariablesTest, InsertedValuesAreSearchedOnlyByLaterSweeps) {
  // The environment is visited last, so its values keep "$APP_PACKAGE" and
  // launcher variables unexpanded.
  EXPECT_EQ(replaced("${MI_TEST_RAW}"), "$APP_PACKAGE and ${launcher:sys.pathlistSeparator}");
  // A reference inside an inserted value is expanded by a later sweep.
  ScopedEnv home("MI_TEST_DIR", "${launcher:sys.tempDir}");
  EXPECT_EQ(replaced("${MI_TEST_DIR}"), "${launcher:sys.tempDir}");
}

TEST_F(ReplaceVariablesTest, BundlePathHoldingAReferenceIsExpandedLater) {
  ScopedEnv name("MI_TEST_NAME", "Installer");
  std::string odd = dir_ / "${MI_TEST_NAME}.app";
  std::filesystem::create_directories(odd);
  platform::Bundle::setMainBundlePathForTesting(odd);
  EXPECT_EQ(replaced("$APP_PACKAGE/x"), dir_ / "Installer.app/x");
}

TEST_F(ReplaceVariablesTest, TemporaryDirectoryIsTakenAsReported) {
  ScopedEnv tmp("TMPDIR", "/var/tmp/other/");
  EXPECT_EQ(replaced("${launcher:sys.tempDir}"), "/var/tmp/other/");
}

TEST_F(ReplaceVariablesTest, RuntimeHomeFollowsTheChosenRuntime) {
  std::string runtime = dir_ / "jre.bundle";
  std::filesystem::create_directories(runtime + "/Contents/Home");
  launcher_.javaBundlePath = runtime;
  EXPECT_EQ(replaced("${launcher:sys.jvmHome}/bin/java"), runtime + "/Contents/Home/bin/java");

  std::filesystem::create_directories(runtime + "/Contents/Home/jre");
  EXPECT_EQ(replaced("${launcher:sys.jvmHome}"), runtime + "/Contents/Home/jre");

  // A Linux JDK home has no Contents/Home: the location itself is the home.
  std::string jdk = dir_ / "jdk";
  std::filesystem::create_directories(jdk + "/bin");
  launcher_.javaBundlePath = jdk;
  EXPECT_EQ(replaced("${launcher:sys.jvmHome}"), jdk);
}

TEST_F(ReplaceVariablesTest, EnvironmentValueWithSeparatorsIsInsertedAsIs) {
  ScopedEnv libs("MI_TEST_LIBS", "a.jar:lib/*");
  EXPECT_EQ(replaced("-cp ${MI_TEST_LIBS}"), "-cp a.jar:lib/*");
}
