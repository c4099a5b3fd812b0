// Version strings: character classes, tokens, the two orderings, pre-release
// markers and vendor prefixes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "mac_installer/Launcher.h"

namespace {

struct OrderRow {
  const char* a;
  const char* b;
  int result;
};

// Every row is also checked with its arguments swapped: the order must be
// antisymmetric.
const OrderRow kOrderRows[] = {
    {"1.8.0_151", "1.8.0_92", 1},
    {"1.10", "1.9", 1},
    {"9", "10", -1},
    {"010", "10", 0},
    {"11.0.2", "11", 1},
    {"11", "11.0", -1},
    {"17-ea", "17", 1},
    {"17ea", "17", -1},
    {"17-ea", "17.0", -1},
    {"17.0.1", "17-0-1", 0},
    {"1.8.0_402", "1.8.0-402", 0},
    {"1.8.0_202", "17.0.2", -1},
    {"zulu-17", "17", -1},
    {"17.0.2", "17..0.2", 1},
    {"11.0.2+9", "11.0.2", -1},
    {"11.0.2+9", "11.0.2+10", -1},
    {"A", "a", -1},
    {"", "", 0},
    {"", "1", -1},
    {"", "ea", 1},
};

TEST(LauncherVersionsTest, OrderOfVersionStrings) {
  Launcher launcher;
  for (const OrderRow& row : kOrderRows) {
    EXPECT_EQ(launcher.compareVersion(std::string_view(row.a), std::string_view(row.b)), row.result)
        << "'" << row.a << "' vs '" << row.b << "'";
    EXPECT_EQ(launcher.compareVersion(std::string_view(row.b), std::string_view(row.a)), -row.result)
        << "'" << row.b << "' vs '" << row.a << "'";
  }
}

struct ConstraintRow {
  std::optional<std::string> constraint;
  bool max;
  const char* candidate;
  bool result;
};

const ConstraintRow kConstraintRows[] = {
    {"1.8", false, "1.8.0_402", true},
    {"1.8", false, "11.0.2", true},
    {"11", false, "1.8.0_402", false},
    {"1.8.0_300", false, "1.8", false},
    {"17", false, "17-ea", true},
    {"1.8", true, "1.8.0_402", true},
    {"1.8", true, "11.0.2", false},
    {"1.8", true, "1.7.0_80", true},
    {"17.0.1", true, "17.0.2", false},
    {"1.8.0", true, "1.8", true},
    {"1..8", false, "1.0.8", true},
    // Absent or empty constraint, either flag, anything.
    {std::nullopt, false, "1.8.0_402", true},
    {std::nullopt, true, "", true},
    {"", false, "ea", true},
    {"", true, "99", true},
};

TEST(LauncherVersionsTest, ConstraintTest) {
  for (const ConstraintRow& row : kConstraintRows) {
    EXPECT_EQ(Launcher::compareVersion(row.constraint, Launcher::versionList(row.candidate), row.max),
              row.result)
        << (row.constraint ? *row.constraint : "(absent)") << (row.max ? " max " : " min ") << row.candidate;
  }
}

TEST(LauncherVersionsTest, ConstraintValuesSkipSpaceAndSaturate) {
  // Only the leading integer of a component counts, after white space.
  EXPECT_TRUE(Launcher::compareVersion("8", {" 8u"}, true));
  EXPECT_TRUE(Launcher::compareVersion("8", {" 8u"}, false));
  EXPECT_FALSE(Launcher::compareVersion("1", {"0ea"}, false));
  // Values beyond 64 bits saturate instead of wrapping round.
  EXPECT_TRUE(Launcher::compareVersion("99999999999999999999", {"9223372036854775807"}, false));
  EXPECT_TRUE(Launcher::compareVersion("99999999999999999999", {"9223372036854775807"}, true));
  EXPECT_FALSE(Launcher::compareVersion("99999999999999999999", {"1"}, false));
}

TEST(LauncherVersionsTest, VersionListCutsAtEveryMarker) {
  using List = std::vector<std::string>;
  EXPECT_EQ(Launcher::versionList("11.0.2+9"), (List{"11", "0", "2", "9"}));
  EXPECT_EQ(Launcher::versionList("1.8.0_402"), (List{"1", "8", "0", "402"}));
  EXPECT_EQ(Launcher::versionList("1..8-"), (List{"1", "", "8", ""}));
  EXPECT_EQ(Launcher::versionList("_x"), (List{"", "x"}));
  EXPECT_EQ(Launcher::versionList(""), (List{""}));
  EXPECT_EQ(Launcher::versionList("21ea"), (List{"21ea"}));
}

TEST(LauncherVersionsTest, PreReleaseMarkers) {
  Launcher launcher;
  for (const char* beta : {"17-ea", "12-beta", "11.0.2-rc", "release", "source"})
    EXPECT_TRUE(launcher.isBetaVersion(std::string(beta))) << beta;
  for (const char* plain : {"1.8.0_402", "", "17-EA"})
    EXPECT_FALSE(launcher.isBetaVersion(std::string(plain))) << plain;
  EXPECT_FALSE(launcher.isBetaVersion(std::nullopt));
}

TEST(LauncherVersionsTest, PrefixStripping) {
  Launcher launcher;
  const std::pair<const char*, const char*> rows[] = {
      {"openjdk-17.0.2.jdk", "17.0.2.jdk"},
      {"openjdk17.jdk", "17.jdk"},
      {"jdk-21.jdk", "21.jdk"},
      {"jdk1.8.0_202.jdk", "1.8.0_202.jdk"},
      {"jre-1.8.jre", "1.8.jre"},
      {"openjdk-jdk-11", "11"},
      {"jdk", ""},
      {"adoptopenjdk-11.jdk", "adoptopenjdk-11.jdk"},
      {"zulu-17.jdk", "zulu-17.jdk"},
      {"temurin-17.jdk", "temurin-17.jdk"},
      {"JDK-17", "JDK-17"},
  };
  for (const auto& [name, stripped] : rows) EXPECT_EQ(launcher.removeJrePrefix(name), stripped) << name;
}

TEST(LauncherVersionsTest, TokensOfVersionStrings) {
  Launcher launcher;
  using List = std::vector<std::string>;
  EXPECT_EQ(launcher.splitVersionString("1.8.0_151"), (List{"1", ".", "8", ".", "0", "_", "151"}));
  EXPECT_EQ(launcher.splitVersionString("11.0.2+9"), (List{"11", ".", "0", ".", "2", "+", "9"}));
  EXPECT_EQ(launcher.splitVersionString("17-ea"), (List{"17", "-", "ea"}));
  EXPECT_EQ(launcher.splitVersionString("zulu-17.jdk"), (List{"zulu", "-", "17", ".", "jdk"}));
  // Adjacent separators are tokens of their own; other characters run on.
  EXPECT_EQ(launcher.splitVersionString("1..a+b$"), (List{"1", ".", ".", "a+b$"}));
  EXPECT_EQ(launcher.splitVersionString(""), List{});
  // A multi-byte character is never cut.
  EXPECT_EQ(launcher.splitVersionString("17\u00e9\u00e9-\u0661\u0662"),
            (List{"17", "\u00e9\u00e9", "-", "\u0661\u0662"}));
}

TEST(LauncherVersionsTest, AsciiCharacterClasses) {
  Launcher launcher;
  const std::string separators = "_-,;:./\\!?#%&*@'\"()[]{} \t\n\v\f\r";
  const std::string others = "+$<=>^`|~aZ\x01\x7f";
  for (char c = '0'; c <= '9'; ++c) EXPECT_EQ(launcher.typeOfCharacter(std::string(1, c)), 0) << c;
  for (char c : separators) EXPECT_EQ(launcher.typeOfCharacter(std::string(1, c)), 2) << int(c);
  for (char c : others) EXPECT_EQ(launcher.typeOfCharacter(std::string(1, c)), 1) << int(c);
  // A whole token is classed by its first character.
  EXPECT_EQ(launcher.typeOfCharacter("17ea"), 0);
  EXPECT_EQ(launcher.typeOfCharacter("ea17"), 1);
  EXPECT_EQ(launcher.typeOfCharacter("."), 2);
}

TEST(LauncherVersionsTest, NonAsciiCharacterClasses) {
  Launcher launcher;
  EXPECT_EQ(launcher.typeOfCharacter("\u0663"), 0);  // Arabic-Indic digit three (Nd)
  EXPECT_EQ(launcher.typeOfCharacter("\u00a0"), 2);  // no-break space (Zs)
  EXPECT_EQ(launcher.typeOfCharacter("\u2028"), 2);  // line separator (Zl)
  EXPECT_EQ(launcher.typeOfCharacter("\u0085"), 2);  // next line
  EXPECT_EQ(launcher.typeOfCharacter("\u2014"), 2);  // em dash (Pd)
  EXPECT_EQ(launcher.typeOfCharacter("\u00bf"), 2);  // inverted question mark (Po)
  EXPECT_EQ(launcher.typeOfCharacter("\u00e9"), 1);  // letter
  EXPECT_EQ(launcher.typeOfCharacter("\u20ac"), 1);  // euro sign (Sc)
  EXPECT_EQ(launcher.typeOfCharacter("\u0080"), 1);  // control other than white space
  // Beyond U+FFFF a character is a surrogate pair, so never a digit.
  EXPECT_EQ(launcher.typeOfCharacter("\U0001D7CE"), 1);  // mathematical bold digit zero
  EXPECT_EQ(launcher.typeOfCharacter("\xff"), 1);        // a byte that is no UTF-8
}

TEST(LauncherVersionsTest, DigitAndTextTokensCompareByValueAndCodeUnit) {
  Launcher launcher;
  // Non-ASCII digits count by their digit value: Arabic-Indic 10 is ten.
  EXPECT_EQ(launcher.compareVersion("\u0661\u0660", "9"), 1);
  EXPECT_EQ(launcher.compareVersion("\u0661\u0660", "10"), 0);
  // Digit tokens beyond 64 bits saturate and so compare equal.
  EXPECT_EQ(launcher.compareVersion("99999999999999999999", "9223372036854775807"), 0);
  EXPECT_EQ(launcher.compareVersion("99999999999999999999", "9223372036854775806"), 1);
  // Other tokens: a proper prefix is lower; order is by UTF-16 code unit, in
  // which a surrogate pair sorts below U+FF21.
  EXPECT_EQ(launcher.compareVersion("ea", "eab"), -1);
  EXPECT_EQ(launcher.compareVersion("\uff21", "\U0001F600"), 1);
  EXPECT_EQ(launcher.compareVersion("a\u00e9", "a\u00e8"), 1);
}

}  // namespace
