// The format language: printf conversions, "%@", positional forms.
#include <gtest/gtest.h>

#include "platform/Format.h"

using platform::format;
using platform::Value;

TEST(FormatTest, PrintfConversionsAndDescriptions) {
  EXPECT_EQ(format("%s [Line %d] app started %d", "main", 12, 3), "main [Line 12] app started 3");
  EXPECT_EQ(format("%@", std::string("text")), "text");
  EXPECT_EQ(format("%@", static_cast<const Value*>(nullptr)), "(null)");
  EXPECT_EQ(format("%@", std::optional<std::string>()), "(null)");
  EXPECT_EQ(format("%5.1f|%-4d|%%", 2.25, 7), "  2.2|7   |%");
  EXPECT_EQ(format("%2$@ %1$@", "a", "b"), "b a");
  EXPECT_EQ(format("%@ MB, %@%%", 2.5, 40), "2.5 MB, 40%");
}

TEST(FormatTest, WidthPrecisionAndFlagsOfEachConversion) {
  EXPECT_EQ(format("%8s|%-8s|%.2s", "abc", "abc", "abcdef"), "     abc|abc     |ab");
  EXPECT_EQ(format("%6@|%-6@|%4@", 42, std::string("ab"), 2.5), "    42|ab    | 2.5");
  EXPECT_EQ(format("%x %X %o %u", 255, 255u, 8, -1), "ff FF 10 18446744073709551615");
  EXPECT_EQ(format("%c%c", 'h', 105), "hi");
  EXPECT_EQ(format("%05d|%+d|%ld|%'d", 42, 5, 123456789012L, 1000), "00042|+5|123456789012|1000");
  EXPECT_EQ(format("%@|%p", static_cast<const void*>(reinterpret_cast<void*>(0x10)), nullptr), "0x10|(nil)");
  EXPECT_EQ(format("%600d", 1), std::string(599, ' ') + "1");
  EXPECT_EQ(format("%s|%c|%p|%u", 5, 2.0, 3, "x"), "(bad format)|(bad format)|(bad format)|(bad format)");
}

TEST(FormatTest, MismatchedArgumentsAreMarkedNotUndefined) {
  EXPECT_EQ(format("%d", "text"), "(bad format)");
  EXPECT_EQ(format("%s %s", "one"), "one (bad format)");
  EXPECT_EQ(format("%f", 3), "(bad format)");
}

TEST(FormatTest, CollectionsUseTheDescriptionForm) {
  std::vector<std::string> list = {"a", "b c"};
  EXPECT_EQ(format("%@", list), "(\n    a,\n    \"b c\"\n)");
  platform::Dictionary d;
  d["key"] = Value("value");
  d["n"] = Value::integer(5);
  EXPECT_EQ(Value(d).description(), "{\n    key = value;\n    n = 5;\n}");
}

TEST(FormatTest, LogLinesNameTheirRoutineNotItsSignature) {
  const std::pair<const char*, const char*> cases[] = {
      {"int main(int, char**)", "main"},
      {"static std::optional<std::__cxx11::basic_string<char> > platform::Bundle::open(const std::string&, "
       "int)",
       "Bundle::open"},
      {"void Launcher::searchSequence(platform::FileManager&, const platform::Value&, const "
       "SearchConstraints&)",
       "Launcher::searchSequence"},
      {"platform::Bundle::open(const std::string&, int)::<lambda(const auto:11&)> [with auto:11 = int]",
       "Bundle::open"},
      {"AppDelegate::worker()::<lambda()>", "AppDelegate::worker"},
      {"void {anonymous}::expandArgumentFiles(const {anonymous}::ListFunctions&)", "expandArgumentFiles"},
      {"void {anonymous}::T::op(X) const [with X = std::map<int, int>]", "T::op"},
      {"int {anonymous}::T::operator()(int)", "T::operator()"},
      {"std::vector<int> Holder<std::pair<int, int> >::items() const", "Holder::items"},
      // The same routines as clang names them.
      {"void (anonymous namespace)::Extraction::onHeader()", "Extraction::onHeader"},
      {"void (anonymous namespace)::expandArgumentFiles(const (anonymous namespace)::ListFunctions &)",
       "expandArgumentFiles"},
      {"auto AppDelegate::worker()::(anonymous class)::operator()() const", "AppDelegate::worker"},
      {"main", "main"},
      {"(null)", "(null)"},
  };
  for (const auto& [signature, name] : cases) EXPECT_EQ(platform::routineName(signature), name) << signature;
}
