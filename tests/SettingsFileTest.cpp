// Settings files of odd kinds: a directory, a named pipe or an oversized file
// where a property list, a release file, a strings table, an options file or
// the Java preferences store is expected is absent, with a log line; nothing
// throws and nothing waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "TestSupport.h"
#include "mac_installer/Launcher.h"
#include "mac_installer/global.h"
#include "platform/Bundle.h"
#include "platform/FileManager.h"
#include "platform/StringsTable.h"
#include "platform/UserDefaults.h"
#include "platform/Value.h"

using platform::Dictionary;
using platform::Value;
using test_support::TemporaryDirectory;
using test_support::writeFile;
using testing::HasSubstr;

namespace {

namespace fs = std::filesystem;

enum class Kind { Directory, NamedPipe, Oversized };

struct OddKind {
  Kind kind;
  const char* name;
  const char* logged;  // what the log line says
};

const OddKind kOddKinds[] = {
    {Kind::Directory, "directory", "it is a directory"},
    {Kind::NamedPipe, "named pipe", "it is a named pipe"},
    {Kind::Oversized, "oversized file", "16777217 bytes, more than 16777216"},
};

// Puts an odd file at path, in place of what a reader expects there.
void makeOdd(const fs::path& path, Kind kind) {
  fs::remove_all(path);
  fs::create_directories(path.parent_path());
  switch (kind) {
    case Kind::Directory:
      fs::create_directories(path);
      break;
    case Kind::NamedPipe:
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
      break;
    case Kind::Oversized:
      // Sparse: one byte past the limit costs no disk space.
      std::ofstream(path) << "<plist>";
      fs::resize_file(path, platform::kMaxSettingsFileSize + 1);
      break;
  }
}

class SettingsFileTest : public testing::Test {
 protected:
  void SetUp() override {
    // A reader that waits on a named pipe ends the test here instead of
    // hanging the suite.
    ::alarm(60);
    savedLog_ = logStatus.exchange(2);
  }
  void TearDown() override {
    ::alarm(0);
    logStatus.store(savedLog_);
    platform::Bundle::setMainBundlePathForTesting(std::nullopt);
  }

  // Runs read for each odd kind at path; read returns whether the reader
  // treated the file as absent. The log line is checked for each kind.
  void expectAbsentForEachKind(const std::string& what, const fs::path& path,
                               const std::function<bool()>& read) {
    for (const OddKind& odd : kOddKinds) {
      makeOdd(path, odd.kind);
      testing::internal::CaptureStderr();
      bool absent = false;
      EXPECT_NO_THROW(absent = read()) << what << ", " << odd.name;
      std::string log = testing::internal::GetCapturedStderr();
      EXPECT_TRUE(absent) << what << ", " << odd.name;
      EXPECT_THAT(log, HasSubstr("not reading " + path.string() + ": " + odd.logged))
          << what << ", " << odd.name;
      EXPECT_THAT(log, HasSubstr("FileManager::contentsOfRegularFile [Line ")) << log;
    }
  }

  TemporaryDirectory dir_;
  std::int32_t savedLog_ = 0;
};

}  // namespace

TEST_F(SettingsFileTest, RegularFilesWithinTheLimitAreReadWhole) {
  platform::FileManager fileManager;
  std::string bytes(platform::kMaxSettingsFileSize, 'x');
  writeFile(dir_ / "limit", bytes);
  EXPECT_EQ(fileManager.contentsOfRegularFile(dir_ / "limit"), bytes);
  fs::create_symlink(dir_ / "limit", dir_.path() / "link");
  EXPECT_EQ(fileManager.contentsOfRegularFile(dir_ / "link")->size(), bytes.size()) << "links are followed";
  EXPECT_EQ(fileManager.contentsOfRegularFile(dir_ / "limit", 10), std::nullopt);

  testing::internal::CaptureStderr();
  EXPECT_EQ(fileManager.contentsOfRegularFile(dir_ / "missing"), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "a missing file is an ordinary absence";
}

TEST_F(SettingsFileTest, PropertyListsAndStringsTablesOfOddKindsAreAbsent) {
  fs::path file = dir_.path() / "file";
  expectAbsentForEachKind("FileManager", file,
                          [&] { return !platform::FileManager().contentsOfRegularFile(file); });
  expectAbsentForEachKind("property list", file, [&] { return !Value::readFile(file); });
  expectAbsentForEachKind("strings table", file, [&] { return !platform::readStringsTable(file); });
}

TEST_F(SettingsFileTest, BundleFilesOfOddKindsLeaveTheBundleWithoutThem) {
  fs::path app = dir_.path() / "App.app";
  writeFile(app / "Contents/Resources/en.lproj/Other.strings", "\"k\" = \"v\";");
  expectAbsentForEachKind("Info.plist", app / "Contents/Info.plist", [&] {
    std::shared_ptr<platform::Bundle> bundle = platform::Bundle::open(app);
    return bundle && bundle->infoDictionary().asDictionary()->empty() && bundle->infoProblem();
  });
  expectAbsentForEachKind(
      "Localizable.strings", app / "Contents/Resources/en.lproj/Localizable.strings",
      [&] { return platform::Bundle::open(app)->localizedString("key", "", "Localizable") == "key"; });

  fs::path jdk = dir_.path() / "jdk";
  fs::create_directories(jdk / "bin");
  expectAbsentForEachKind("release", jdk / "release", [&] {
    std::shared_ptr<platform::Bundle> home = platform::Bundle::open(jdk);
    return home && home->isRuntimeHome() && !Launcher::candidateVersion(*home, false) &&
           home->infoProblem() == "release file could not be read";
  });
}

TEST_F(SettingsFileTest, UserDefaultsFilesOfOddKindsAreEmptyDomains) {
  platform::UserDefaults defaults;
  defaults.configDirectoryOverride = dir_ / "config";
  defaults.homeDirectoryOverride = dir_ / "home";
  defaults.userHomeDirectoryOverride = dir_ / "home";
  defaults.addSuiteNamed("com.quorvane.installations");
  writeFile(dir_ / "config/com.quorvane.installations.plist",
            Value(Dictionary{{"suite", Value("read")}}).toXML());

  // A bad global domain leaves the other domains readable.
  expectAbsentForEachKind("global preferences", dir_.path() / "config/.GlobalPreferences.plist", [&] {
    return !defaults.stringForKey("AppleLocale") && defaults.stringForKey("suite") == "read";
  });
  expectAbsentForEachKind("suite property list", dir_.path() / "config/com.quorvane.installations.plist",
                          [&] { return !defaults.stringForKey("suite"); });
  expectAbsentForEachKind(
      "prefs.xml", dir_.path() / "home/.java/.userPrefs/com/quorvane/installations/prefs.xml",
      [&] { return defaults.dictionariesForKey("/com/quorvane/installations/").empty(); });
}

TEST_F(SettingsFileTest, OptionsFilesOfOddKindsAddNothing) {
  Launcher launcher;
  fs::path file = dir_.path() / "App.vmoptions";
  expectAbsentForEachKind("options file", file, [&] {
    std::vector<std::string> options;
    std::optional<std::string> classPath =
        launcher.readOptionsFile(file.string(), options, "cp", dir_ / "App.app");
    return options.empty() && classPath == "cp";
  });
}
