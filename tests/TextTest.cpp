// The shared text rules: UTF-8 checks, the two white-space sets, the two ways
// of cutting lines, leading integers and digit values of any script.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Text.h"

using platform::WhiteSpace;

namespace {

std::vector<std::string> strings(const std::vector<std::string_view>& views) {
  return {views.begin(), views.end()};
}

}  // namespace

TEST(TextTest, IsValidUtf8) {
  struct Case {
    std::string text;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain ascii", true},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
      {std::string("nul\0inside", 10), true},
      {"\xC3", false},              // truncated sequence
      {"\xC0\xAF", false},          // overlong "/"
      {"\xED\xA0\x80", false},      // a surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"ok\xFFok", false},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::isValidUtf8(c.text), c.valid) << c.text;
}

TEST(TextTest, DecodesCharactersAndInvalidBytesOneByOne) {
  std::string text = "a\xC3\xA9\xFF";
  platform::Character a = platform::characterAt(text, 0), e = platform::characterAt(text, 1),
                      bad = platform::characterAt(text, 3);
  EXPECT_EQ(a.codePoint, 'a');
  EXPECT_EQ(e.codePoint, 0xE9);
  EXPECT_EQ(e.length, 2u);
  EXPECT_EQ(bad.codePoint, -1);
  EXPECT_EQ(bad.length, 1u);
  EXPECT_EQ(platform::withoutByteOrderMark("\xEF\xBB\xBFx"), "x");
  EXPECT_EQ(platform::withoutByteOrderMark("x\xEF\xBB\xBF"), "x\xEF\xBB\xBF");
}

TEST(TextTest, EncodesEachSequenceLengthAtItsBounds) {
  struct Case {
    char32_t codePoint;
    std::string expected;
  } cases[] = {
      {0x7F, "\x7F"},
      {0x80, "\xC2\x80"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x10FFFF, "\xF4\x8F\xBF\xBF"},
  };
  for (const Case& c : cases) {
    std::string out = "x";
    platform::appendUtf8(out, c.codePoint);
    EXPECT_EQ(out, "x" + c.expected) << static_cast<unsigned>(c.codePoint);
  }
}

TEST(TextTest, TrimsTheNamedWhiteSpaceSets) {
  struct Case {
    std::string text;
    WhiteSpace set;
    std::string expected;
  } cases[] = {
      {" \t-Xmx1g\t ", WhiteSpace::blanks, "-Xmx1g"},
      {"\xC2\xA0\xE3\x80\x80x y\xE2\x80\x83", WhiteSpace::blanks, "x y"},  // NBSP, ideographic, em space
      {"\r-Xmx1g\n", WhiteSpace::blanks, "\r-Xmx1g\n"},                    // line breaks are no blanks
      {"\xE2\x80\xA8x\xE2\x80\xA9", WhiteSpace::blanks, "\xE2\x80\xA8x\xE2\x80\xA9"},
      {"\r\n\v\f \xC2\x85https://x\xE2\x80\xA8\xE2\x80\xA9\t", WhiteSpace::blanksAndLineBreaks, "https://x"},
      {" \t\n ", WhiteSpace::blanksAndLineBreaks, ""},
      {" \xFF ", WhiteSpace::blanks, "\xFF"},  // an invalid byte is content
      {"", WhiteSpace::blanks, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::trimmed(c.text, c.set), c.expected) << c.text;
}

TEST(TextTest, PiecesBetweenSeparatorsKeepEmptyOnes) {
  struct Case {
    std::string text;
    char separator;
    std::vector<std::string> expected;
  } cases[] = {
      {"", ':', {""}},
      {"a::b", ':', {"a", "", "b"}},
      {":a:", ':', {"", "a", ""}},
      {"/jre\r\n-Dx\n", '\n', {"/jre\r", "-Dx", ""}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(strings(platform::piecesBetween(c.text, c.separator)), c.expected) << c.text;
}

TEST(TextTest, LinesEndedByCrOrLfDropTheFinalEmptyLine) {
  struct Case {
    std::string text;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {}},           {"a", {"a"}},
      {"a\n", {"a"}},     {"a\r\nb\rc", {"a", "", "b", "c"}},
      {"\n\n", {"", ""}}, {"a\nb \t", {"a", "b \t"}},
  };
  for (const Case& c : cases) EXPECT_EQ(strings(platform::linesEndedByCrOrLf(c.text)), c.expected) << c.text;
}

TEST(TextTest, LeadingInteger) {
  constexpr std::int64_t kMax = INT64_MAX, kMin = INT64_MIN;
  struct Case {
    std::string text;
    std::optional<std::int64_t> value;
    std::int32_t as32;
  } cases[] = {
      {"42", 42, 42},
      {" \t\n\v\f\r+17abc", 17, 17},
      {"-8u402", -8, -8},
      {"007", 7, 7},
      {"", std::nullopt, 0},
      {"abc", std::nullopt, 0},
      {"-", std::nullopt, 0},
      {"--5", std::nullopt, 0},
      {"- 5", std::nullopt, 0},
      {"5000000000", 5000000000, INT32_MAX},
      {"-5000000000", -5000000000, INT32_MIN},
      {"99999999999999999999999", kMax, INT32_MAX},
      {"-9223372036854775808", kMin, INT32_MIN},
      {"-99999999999999999999999", kMin, INT32_MIN},
      {"\xC2\xA0"
       "5",
       std::nullopt, 0},  // only ASCII white space leads
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::leadingInteger(c.text), c.value) << c.text;
    EXPECT_EQ(platform::leadingInt32(c.text), c.as32) << c.text;
  }
}

TEST(TextTest, DigitsOfAnyScriptAndTheirClasses) {
  struct Case {
    std::string digits;
    std::int64_t value;
  } cases[] = {
      {"0", 0},
      {"1203", 1203},
      {"\xD9\xA4\xD9\xA2", 42},          // Arabic-Indic four, two
      {"\xEF\xBC\x91\xEF\xBC\x99", 19},  // full-width one, nine
      {"\xE0\xA5\xAF", 9},               // Devanagari nine
      {"99999999999999999999999", INT64_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::valueOfDigits(c.digits), c.value) << c.digits;

  EXPECT_TRUE(platform::isDecimalDigit(0x0664));
  EXPECT_FALSE(platform::isDecimalDigit(0x00B2));  // superscript two is No, not Nd
  EXPECT_FALSE(platform::isDecimalDigit(-1));
  for (std::int32_t mark : {0x2E, 0x2D, 0x5F, 0x20, 0xA0, 0x2028, 0x3001, 0x201C})  // . - _ space
    EXPECT_TRUE(platform::isSeparatorOrPunctuation(mark)) << mark;
  for (std::int32_t other : {0x61, 0x31, 0x2B, 0x24, 0xE9, -1})  // a 1 + $
    EXPECT_FALSE(platform::isSeparatorOrPunctuation(other)) << other;
}
