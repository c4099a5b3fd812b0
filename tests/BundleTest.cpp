// Bundles: opening, information dictionaries, resources, localized strings
// and the main bundle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "PlistSamples.h"
#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/FileManager.h"

namespace fs = std::filesystem;
using platform::Bundle;
using test_support::ScopedEnv;
using test_support::ScopedLanguage;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::HasSubstr;

namespace {

class BundleTest : public testing::Test {
 protected:
  void TearDown() override { Bundle::setMainBundlePathForTesting(std::nullopt); }
  TemporaryDirectory directory_;
  const fs::path dir_ = directory_.path();
  // The user's languages are fixed for every test here.
  ScopedLanguage language_{"de_DE.UTF-8"};
};

}  // namespace

TEST_F(BundleTest, OpensOnlyExistingDirectories) {
  EXPECT_EQ(Bundle::open((dir_ / "missing.app").string()), nullptr);
  EXPECT_EQ(Bundle::open(""), nullptr);
  writeFile(dir_ / "file.app", "not a directory");
  EXPECT_EQ(Bundle::open((dir_ / "file.app").string()), nullptr);

  fs::create_directories(dir_ / "Empty.app");
  auto bundle = Bundle::open((dir_ / "Empty.app").string() + "//");
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->bundlePath(), (dir_ / "Empty.app").string());
  ASSERT_NE(bundle->infoDictionary().asDictionary(), nullptr);
  EXPECT_TRUE(bundle->infoDictionary().asDictionary()->empty());
  EXPECT_FALSE(bundle->identifier());
  EXPECT_FALSE(bundle->executablePath());
}

TEST_F(BundleTest, BinaryAndXmlInfoPlistsReadTheSameDictionary) {
  writeFile(dir_ / "Xml.app/Contents/Info.plist", samples::kInfoXML);
  writeFile(dir_ / "Bin.app/Contents/Info.plist", samples::infoBinary());
  auto xml = Bundle::open((dir_ / "Xml.app").string());
  auto bin = Bundle::open((dir_ / "Bin.app").string());
  ASSERT_TRUE(xml && bin);
  EXPECT_EQ(xml->infoDictionary(), bin->infoDictionary());
  EXPECT_EQ(bin->identifier(), "com.example.demo");
  ASSERT_NE(bin->objectForInfoDictionaryKey("JavaVM"), nullptr);
  EXPECT_EQ(bin->objectForInfoDictionaryKey("JavaVM")->getString("MainClass"), "com.example.Main");
  EXPECT_EQ(bin->objectForInfoDictionaryKey("no such key"), nullptr);
}

TEST_F(BundleTest, DamagedInfoPlistGivesEmptyDictionaryAndLogLine) {
  const std::string xml = samples::kInfoXML;
  const std::string cases[] = {xml.substr(0, xml.size() / 2), samples::infoBinary().substr(0, 100),
                               "garbage \x01\x02", "<plist><string>not a dictionary</string></plist>"};
  int n = 0;
  for (const auto& bytes : cases) {
    fs::path app = dir_ / ("Bad" + std::to_string(n++) + ".app");
    writeFile(app / "Contents/Info.plist", bytes);
    testing::internal::CaptureStderr();
    auto bundle = Bundle::open(app.string());
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(bundle, nullptr);
    EXPECT_TRUE(bundle->infoDictionary().asDictionary()->empty());
    EXPECT_FALSE(bundle->identifier());
    EXPECT_THAT(err, HasSubstr("could not read the information dictionary " +
                               (app / "Contents/Info.plist").string()));
  }
}

TEST_F(BundleTest, FindsResourcesInTheResourcesDirectory) {
  writeFile(dir_ / "A.app/Contents/Resources/app/jre.tar.gz", "x");
  writeFile(dir_ / "A.app/Contents/Resources/MainMenu.ui", "x");
  auto bundle = Bundle::open((dir_ / "A.app").string());
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->resourcePath(), (dir_ / "A.app/Contents/Resources").string());
  EXPECT_EQ(bundle->pathForResource("app/jre.tar", "gz"),
            (dir_ / "A.app/Contents/Resources/app/jre.tar.gz").string());
  EXPECT_EQ(bundle->pathForResource("MainMenu.ui", ""),
            (dir_ / "A.app/Contents/Resources/MainMenu.ui").string());
  EXPECT_FALSE(bundle->pathForResource("MainMenu", "nib"));
}

TEST_F(BundleTest, LocalizedStringsFollowTheUsersLanguages) {
  fs::path app = dir_ / "L.app";
  writeFile(app / "Contents/Info.plist",
            "<plist><dict><key>CFBundleDevelopmentRegion</key><string>fr</string></dict></plist>");
  writeFile(app / "Contents/Resources/en.lproj/Localizable.strings",
            "\"k\" = \"english\"; \"only-en\" = \"e\";");
  writeFile(app / "Contents/Resources/fr.lproj/Localizable.strings", "\"k\" = \"fran\\U00e7ais\";");
  writeFile(app / "Contents/Resources/de.lproj/Localizable.strings", "\"k\" = \"deutsch\";");
  writeFile(app / "Contents/Resources/de.lproj/Other.strings", "\"k\" = \"andere Tabelle\";");
  auto bundle = Bundle::open(app.string());
  ASSERT_NE(bundle, nullptr);

  EXPECT_EQ(bundle->localizedString("k"), "deutsch");  // LANG=de_DE.UTF-8
  EXPECT_EQ(bundle->localizedString("k", "", "Other"), "andere Tabelle");
  {
    ScopedEnv language("LANGUAGE", "it:en");
    EXPECT_EQ(bundle->localizedString("k"), "english");
  }
  {
    ScopedEnv lang("LANG", "C.UTF-8");
    EXPECT_EQ(bundle->localizedString("k"), "fran\u00e7ais");  // the development region
  }
  // The chosen table decides: a key it lacks is not taken from another one.
  EXPECT_EQ(bundle->localizedString("only-en"), "only-en");
  EXPECT_EQ(bundle->localizedString("only-en", "fallback"), "fallback");
  EXPECT_FALSE(bundle->findLocalizedString("only-en"));
}

TEST_F(BundleTest, LprojFoldersMayLieInResourcesOrTheBundleRoot) {
  writeFile(dir_ / "R.app/Resources/en.lproj/Localizable.strings", "\"k\" = \"resources\";");
  writeFile(dir_ / "Root.bundle/en.lproj/Localizable.strings", "\"k\" = \"root\";");
  ScopedEnv lang("LANG", nullptr);
  EXPECT_EQ(Bundle::open((dir_ / "R.app").string())->localizedString("k"), "resources");
  EXPECT_EQ(Bundle::open((dir_ / "Root.bundle").string())->localizedString("k"), "root");
}

TEST_F(BundleTest, DamagedStringsTableIsSkippedWithLogLine) {
  fs::path file = dir_ / "D.app/Contents/Resources/de.lproj/Localizable.strings";
  writeFile(file, "\"k\" = \"no end");
  writeFile(dir_ / "D.app/Contents/Resources/en.lproj/Localizable.strings", "\"k\" = \"english\";");
  auto bundle = Bundle::open((dir_ / "D.app").string());
  testing::internal::CaptureStderr();
  std::string text = bundle->localizedString("k");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(text, "english");
  EXPECT_THAT(err, HasSubstr("could not read the strings table " + file.string()));
}

TEST_F(BundleTest, PreferredLanguagesFromTheEnvironment) {
  {
    ScopedEnv language("LANGUAGE", "pt_BR:fr");
    EXPECT_EQ(platform::preferredLanguages(), (std::vector<std::string>{"pt_BR", "pt", "fr", "de_DE", "de"}));
  }
  ScopedEnv all("LC_ALL", "C");
  EXPECT_TRUE(platform::preferredLanguages().empty());  // LC_ALL wins, and names no language
}

TEST_F(BundleTest, MainBundleCanBeReplacedAndReopened) {
  fs::path app = dir_ / "Main.app";
  writeFile(app / "Contents/Info.plist",
            "<plist><dict><key>CFBundleName</key><string>One</string></dict></plist>");
  Bundle::setMainBundlePathForTesting(app.string());
  EXPECT_EQ(Bundle::mainBundle()->infoDictionary().getString("CFBundleName"), "One");
  writeFile(app / "Contents/Info.plist",
            "<plist><dict><key>CFBundleName</key><string>Two</string></dict></plist>");
  Bundle::setMainBundlePathForTesting(app.string());
  EXPECT_EQ(Bundle::mainBundle()->infoDictionary().getString("CFBundleName"), "Two");

  // Without a replacement: the test program is no X.app/Contents/MacOS
  // executable, so its own directory is the bundle.
  Bundle::setMainBundlePathForTesting(std::nullopt);
  EXPECT_EQ(Bundle::mainBundle()->bundlePath(), fs::canonical("/proc/self/exe").parent_path().string());
}
