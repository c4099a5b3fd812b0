// User defaults: domain files, suites, the global domain and the Java
// preferences store.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

using platform::Dictionary;
using platform::UserDefaults;
using platform::Value;
using test_support::ScopedEnv;
using test_support::TemporaryDirectory;
using test_support::writeFile;

namespace {

class UserDefaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string app = dir_ / "App.app";
    writeFile(app + "/Contents/Info.plist",
              Value(Dictionary{{"CFBundleIdentifier", Value("com.example.app")}}).toXML());
    platform::Bundle::setMainBundlePathForTesting(app);
  }
  void TearDown() override { platform::Bundle::setMainBundlePathForTesting(std::nullopt); }

  void writeDomain(const std::string& domain, Dictionary entries) {
    writeFile(dir_ / ("config/" + domain + ".plist"), Value(std::move(entries)).toXML());
  }
  void writePrefs(const std::string& node, const std::string& xml) {
    writeFile(dir_ / ("home/.java/.userPrefs/" + node + "/prefs.xml"), xml);
  }

  // Defaults whose domain files lie in config/ and whose home is home/.
  UserDefaults userDefaults() const {
    UserDefaults defaults;
    defaults.configDirectoryOverride = dir_ / "config";
    defaults.homeDirectoryOverride = dir_ / "home";
    return defaults;
  }

  TemporaryDirectory dir_;
};

}  // namespace

TEST_F(UserDefaultsTest, SearchesApplicationSuitesThenGlobalDomain) {
  writeDomain(".GlobalPreferences", {{"AppleLocale", Value("de_CH")}, {"shared", Value("global")}});
  writeDomain("com.example.suite", {{"shared", Value("suite")}, {"suiteOnly", Value("s")}});
  writeDomain("com.example.app", {{"appOnly", Value("a")}});

  UserDefaults defaults = userDefaults();
  EXPECT_EQ(defaults.stringForKey("AppleLocale"), "de_CH");
  EXPECT_EQ(defaults.stringForKey("shared"), "global");
  EXPECT_EQ(defaults.stringForKey("suiteOnly"), std::nullopt);
  EXPECT_EQ(defaults.stringForKey("appOnly"), "a");

  defaults.addSuiteNamed("com.example.suite");
  EXPECT_EQ(defaults.stringForKey("shared"), "suite");
  EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);

  writeDomain("com.example.app", {{"shared", Value("app")}});
  EXPECT_EQ(defaults.stringForKey("shared"), "app") << "files are read afresh at each lookup";
}

TEST_F(UserDefaultsTest, TypedLookupsRefuseOtherTypes) {
  writeDomain(".GlobalPreferences",
              {{"AppleLocale", Value::integer(5)}, {"dict", Value(Dictionary{{"k", Value("v")}})}});
  UserDefaults defaults = userDefaults();
  EXPECT_EQ(defaults.stringForKey("AppleLocale"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("AppleLocale"), std::nullopt);
  ASSERT_TRUE(defaults.dictionaryForKey("dict"));
  EXPECT_EQ(defaults.dictionaryForKey("dict")->getString("k"), "v");
}

TEST_F(UserDefaultsTest, ConfigDirectoryDefaultsToHomeConfig) {
  ScopedEnv home("HOME", (dir_ / "home").c_str());
  ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
  writeFile(dir_ / "home/.config/.GlobalPreferences.plist",
            Value(Dictionary{{"AppleLocale", Value("fr_FR")}}).toXML());
  EXPECT_EQ(UserDefaults().stringForKey("AppleLocale"), "fr_FR");

  UserDefaults overridden;
  overridden.configDirectoryOverride = dir_ / "nowhere";
  EXPECT_EQ(overridden.stringForKey("AppleLocale"), std::nullopt);
}

TEST_F(UserDefaultsTest, MalformedDomainFileIsAnEmptyDomain) {
  writeFile(dir_ / "config/.GlobalPreferences.plist", "<plist><dict><key>x");
  EXPECT_EQ(userDefaults().stringForKey("x"), std::nullopt);
}

TEST_F(UserDefaultsTest, ReadsJavaPreferencesNode) {
  writePrefs("com/quorvane/installations",
             "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\n"
             "<!DOCTYPE map SYSTEM \"http://java.sun.com/dtd/preferences.dtd\">\n"
             "<map MAP_XML_VERSION=\"1.0\">\n"
             "  <entry key=\"allinstdirsAPP\" value=\"/opt/a;/opt/b &amp; c\"/>\n"
             "  <entry key=\"empty\" value=\"\"/>\n"
             "  <entry value=\"no key\"/>\n"
             "</map>\n");
  UserDefaults defaults = userDefaults();
  defaults.userHomeDirectoryOverride = dir_ / "user";  // no store there
  defaults.addSuiteNamed("com.quorvane.installations");
  std::optional<Value> node = defaults.dictionaryForKey("/com/quorvane/installations/");
  ASSERT_TRUE(node);
  EXPECT_EQ(node->getString("allinstdirsAPP"), "/opt/a;/opt/b & c");
  EXPECT_EQ(node->getString("empty"), "");
  EXPECT_EQ(node->asDictionary()->size(), 2u);
  EXPECT_TRUE(defaults.dictionaryForKey("/com/quorvane/installations"));
}

TEST_F(UserDefaultsTest, JavaPreferencesRefusesBadNodesAndFiles) {
  writePrefs("broken", "<map><entry key=\"a\"");
  writePrefs("other", "<root/>");
  writeFile(dir_ / "home/.java/escape/prefs.xml", "<map><entry key=\"a\" value=\"b\"/></map>");
  UserDefaults defaults = userDefaults();
  defaults.userHomeDirectoryOverride = dir_ / "user";  // no store there
  EXPECT_EQ(defaults.dictionaryForKey("/broken/"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("/other/"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("/missing/"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("/../escape/"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("//"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("relative/"), std::nullopt);
  EXPECT_EQ(defaults.javaPreferencesFileOf("/a//b/"), std::nullopt);
  defaults.userHomeDirectoryOverride = dir_ / "user";
  EXPECT_EQ(defaults.javaPreferencesFileOf("/a/b/"), dir_ / "user/.java/.userPrefs/a/b/prefs.xml");
  EXPECT_EQ(defaults.javaPreferencesFileOf("/a/b/", dir_ / "home"),
            dir_ / "home/.java/.userPrefs/a/b/prefs.xml");
}

TEST_F(UserDefaultsTest, JavaStoresOfThePasswordHomeAndOfHomeAreBothRead) {
  // Java writes its store under the password database's home whatever $HOME
  // says; a store under $HOME is read after it.
  writeDomain("com.quorvane.installations",
              {{"/com/quorvane/installations/", Value(Dictionary{{"from", Value("suite")}})}});
  writePrefs("com/quorvane/installations", "<map><entry key=\"from\" value=\"home\"/></map>");
  writeFile(dir_ / "user/.java/.userPrefs/com/quorvane/installations/prefs.xml",
            "<map><entry key=\"from\" value=\"user\"/></map>");
  UserDefaults defaults = userDefaults();
  defaults.userHomeDirectoryOverride = dir_ / "user";
  EXPECT_EQ(defaults.javaPreferencesHomes(), (std::vector<std::string>{dir_ / "user", dir_ / "home"}));
  EXPECT_EQ(defaults.dictionaryForKey("/com/quorvane/installations/")->getString("from"), "user")
      << "without the suite, the store Java writes";
  defaults.addSuiteNamed("com.quorvane.installations");
  std::vector<Value> found = defaults.dictionariesForKey("/com/quorvane/installations/");
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].getString("from"), "suite");
  EXPECT_EQ(found[1].getString("from"), "user");
  EXPECT_EQ(found[2].getString("from"), "home");

  // One home under two names is read once.
  defaults.userHomeDirectoryOverride = dir_ / "home/";
  EXPECT_EQ(defaults.javaPreferencesHomes(), (std::vector<std::string>{dir_ / "home"}));
  std::filesystem::create_directory_symlink(dir_ / "home", dir_.path() / "alias");
  defaults.userHomeDirectoryOverride = dir_ / "alias";
  EXPECT_EQ(defaults.javaPreferencesHomes(), (std::vector<std::string>{dir_ / "alias"}));
  EXPECT_EQ(defaults.dictionariesForKey("/com/quorvane/installations/").size(), 2u);
}
