// Error dialogs through the message catalogue, and the Launcher object.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "platform/Bundle.h"
#include "platform/Notice.h"

namespace fs = std::filesystem;
using test_support::countOf;
using test_support::ScopedLanguage;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::HasSubstr;
using testing::Not;

namespace {

struct Notice {
  std::optional<std::string> title;
  std::string message;
};

class LauncherDialogTest : public testing::Test {
 protected:
  void SetUp() override {
    app_ = dir_ / "Demo Installer.app";
    platform::setNoticeHandlerForTesting(
        [this](const std::optional<std::string>& title, const std::string& message) {
          notices_.push_back({title, message});
        });
  }
  void TearDown() override {
    platform::setNoticeHandlerForTesting({});
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
  }

  // The application bundle with the given top-level dictionary entries.
  void makeApp(const std::string& entries) {
    writeFile(app_ / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries +
                  "</dict></plist>");
    platform::Bundle::setMainBundlePathForTesting(app_.string());
  }
  void makeCatalogue(const fs::path& baseDir, const std::string& strings) {
    writeFile(baseDir / ".quorvane/Messages.bundle/Contents/Resources/en.lproj/Localizable.strings", strings);
  }
  // Runs a dialog call and returns what it wrote to standard error.
  template <typename F>
  std::string stderrOf(F call) {
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
  }

  TemporaryDirectory directory_;
  const fs::path dir_ = directory_.path();
  // The user's languages are fixed for every test here.
  ScopedLanguage language_{"en_US.UTF-8"};
  fs::path app_;
  std::vector<Notice> notices_;
};

const char* kName = "<key>CFBundleName</key><string>Demo</string>";
const char* kBaseDirInApp = "<key>qvr.baseDir</key><string>$APP_PACKAGE/Contents/Resources</string>";

}  // namespace

TEST_F(LauncherDialogTest, CatalogueUnderAppPackageBaseDirFormatsTwoValues) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(app_ / "Contents/Resources",
                "\"AppleJavaMinVersionError\" = \"%@ needs Java %@ or later.\";\n"
                "\"Swapped\" = \"%2$@ needs Java %1$@.\";\n");
  std::string err = stderrOf([] { Launcher::displayError(kAppleJavaMinVersionError, "11", "Demo"); });
  Launcher::displayError("Swapped", "17", "Demo");
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[0].title, "Demo");
  EXPECT_EQ(notices_[0].message, "11 needs Java Demo or later.");
  EXPECT_EQ(notices_[1].message, "Demo needs Java 17.");
  // The notice is also written to standard error as "<title>: <message>".
  EXPECT_EQ(err, "Demo: 11 needs Java Demo or later.\n");
}

TEST_F(LauncherDialogTest, OneValueAndNoValue) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(
      app_ / "Contents/Resources",
      "\"marlet.InternalError\" = \"Failed: %@\";\n\"DownloadJreError\" = \"No download (100%).\";\n");
  Launcher::displayError(kInternalError, "Could not load JRE.");
  Launcher::displayError(kDownloadJreError);
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[0].message, "Failed: Could not load JRE.");
  EXPECT_EQ(notices_[1].message, "No download (100%).");  // not used as a format
}

TEST_F(LauncherDialogTest, LoneSecondValueIsIgnored) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(app_ / "Contents/Resources", "\"k\" = \"raw %@ text %d\";");
  Launcher::displayError("k", std::nullopt, "ignored");
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].message, "raw %@ text %d");
}

TEST_F(LauncherDialogTest, KeyMissingFromTheCatalogueIsShownAsTheKey) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(app_ / "Contents/Resources", "\"other\" = \"x\";");
  Launcher::displayError(kNonWritablePackDir);
  Launcher::displayError(kInternalError, "reason");
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[0].message, "NonWritablePackDir");
  EXPECT_EQ(notices_[1].message, "marlet.InternalError");
}

TEST_F(LauncherDialogTest, BaseDirWithoutCatalogueLogsNotFoundAndShowsNothing) {
  fs::create_directories(dir_ / "base");
  makeApp(std::string(kName) + "<key>qvr.baseDir</key><string>" + (dir_ / "base").string() + "</string>");
  std::string err = stderrOf([] { Launcher::displayError(kAppleJavaMinVersionError, "11", "Demo"); });
  EXPECT_TRUE(notices_.empty());
  EXPECT_EQ(countOf(err, "message AppleJavaMinVersionError not found"), 1u) << err;
  EXPECT_EQ(countOf(err, "\n"), 1u) << err;
  EXPECT_THAT(err, HasSubstr(" [Line "));
}

TEST_F(LauncherDialogTest, WithoutBaseDirTheApplicationsOwnTableServes) {
  makeApp(kName);
  writeFile(app_ / "Contents/Resources/en.lproj/Localizable.strings",
            "\"DownloadJreError\" = \"own table\";");
  Launcher::displayError(kDownloadJreError);
  Launcher::displayError("NotInTable");
  ASSERT_EQ(notices_.size(), 2u);
  EXPECT_EQ(notices_[0].message, "own table");
  EXPECT_EQ(notices_[1].message, "NotInTable");
}

TEST_F(LauncherDialogTest, NoTitleMeansNoHeader) {
  makeApp("");
  std::string err = stderrOf([] { Launcher::displayError("Plain"); });
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_FALSE(notices_[0].title);
  EXPECT_EQ(notices_[0].message, "Plain");
  EXPECT_EQ(err, "Plain\n");
}

TEST_F(LauncherDialogTest, DamagedCatalogueShowsTheKeyAndLogs) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(app_ / "Contents/Resources", "\"AppleJavaMinVersionError\" = \"cut off");
  std::string err = stderrOf([] { Launcher::displayError(kAppleJavaMinVersionError, "11", "Demo"); });
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].message, "AppleJavaMinVersionError");
  EXPECT_THAT(err, HasSubstr("could not read the strings table"));
}

TEST_F(LauncherDialogTest, HostileCatalogueFormatsAreMarkedNotObeyed) {
  makeApp(std::string(kName) + kBaseDirInApp);
  makeCatalogue(app_ / "Contents/Resources", "\"k\" = \"%99999999999999999999$@ %n %s %d %@ %@ %@\";");
  Launcher::displayError("k", "one", "two");
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_EQ(notices_[0].message,
            "(bad format) (bad format) two (bad format) (bad format) (bad format) (bad format)");
}

TEST_F(LauncherDialogTest, DamagedInfoPlistStillShowsTheKey) {
  writeFile(app_ / "Contents/Info.plist", "<plist><dict><key>CFBundleName</key>");
  platform::Bundle::setMainBundlePathForTesting(app_.string());
  std::string err = stderrOf([] { Launcher::displayError(kDownloadJreError); });
  ASSERT_EQ(notices_.size(), 1u);
  EXPECT_FALSE(notices_[0].title);
  EXPECT_EQ(notices_[0].message, "DownloadJreError");
  EXPECT_THAT(err, HasSubstr("could not read the information dictionary"));
}

TEST(LauncherObjectTest, NewObjectsHaveNoRuntimeAndAreDistinct) {
  std::shared_ptr<Launcher> first = Launcher::launcher();
  std::shared_ptr<Launcher> second = Launcher::launcher();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(first->javaBundle, nullptr);
  EXPECT_FALSE(first->javaBundlePath);
  EXPECT_FALSE(first->javaVersion);
  EXPECT_EQ(first->javaMajorVersion, -1);
  EXPECT_FALSE(first->pluginUsed);
  first->javaMajorVersion = 17;
  EXPECT_EQ(second->javaMajorVersion, -1);
}
