// Strings tables: the "key" = "value"; form in UTF-8 and UTF-16, and the
// property-list form.
#include <gtest/gtest.h>

#include "platform/StringsTable.h"
#include "platform/Value.h"

using platform::parseStringsTable;
using platform::StringsTable;

namespace {

// UTF-8 text to UTF-16 in the given byte order, with or without a BOM.
std::string utf16(const std::string& utf8, bool bigEndian, bool bom = true) {
  std::u32string code;
  for (size_t i = 0; i < utf8.size();) {
    auto c = static_cast<unsigned char>(utf8[i]);
    int n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t v = n == 1 ? c : n == 2 ? (c & 0x1F) : n == 3 ? (c & 0x0F) : (c & 0x07);
    for (int k = 1; k < n; ++k) v = v << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    code += v;
    i += n;
  }
  std::string out;
  auto unit = [&](char16_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  if (bom) unit(0xFEFF);
  for (char32_t c : code) {
    if (c >= 0x10000) {
      unit(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      unit(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      unit(static_cast<char16_t>(c));
    }
  }
  return out;
}

const std::string kSample =
    "/* Messages shown in error dialogs.\n"
    "   \"quoted\" = \"in a comment\"; */\n"
    "// a line comment with = and ;\n"
    "\"AppleJavaMinVersionError\" = \"%2$@ needs Java %1$@.\";\n"
    "\"escapes\" = \"tab\\there\\nnext \\\"quoted\\\" back\\\\slash\";\n"
    "\"controls\" = \"\\r\\a\\b\\f\\v \\101\\7 \\q\";\n"
    "\"unicode\" = \"caf\\U00e9 \\U2603 \\UD83D\\UDE00\";\n"
    "PlainKey = \"plain key\";\n"
    "marlet.InternalError=\"no blanks: %@\";\n"
    "\"gr\u00fc\u00dfe\" = \"Gr\u00fc\u00dfe \u2603\"; // trailing comment\n"
    "\"self\";\n"
    "\"twice\" = \"first\";\n"
    "\"twice\" = \"second\";\n";

void expectSample(const std::optional<StringsTable>& table) {
  ASSERT_TRUE(table);
  EXPECT_EQ(table->at("AppleJavaMinVersionError"), "%2$@ needs Java %1$@.");
  EXPECT_EQ(table->at("escapes"), "tab\there\nnext \"quoted\" back\\slash");
  EXPECT_EQ(table->at("controls"), "\r\a\b\f\v A\a q");  // octal with up to three digits
  EXPECT_EQ(table->at("unicode"), "caf\u00e9 \u2603 \U0001F600");
  EXPECT_EQ(table->at("PlainKey"), "plain key");
  EXPECT_EQ(table->at("marlet.InternalError"), "no blanks: %@");
  EXPECT_EQ(table->at("gr\u00fc\u00dfe"), "Gr\u00fc\u00dfe \u2603");
  EXPECT_EQ(table->at("self"), "self");
  EXPECT_EQ(table->at("twice"), "second");
  EXPECT_EQ(table->count("quoted"), 0u);
  EXPECT_EQ(table->size(), 9u);
}

}  // namespace

TEST(StringsTableTest, ReadsUtf8WithCommentsAndEscapes) {
  expectSample(parseStringsTable(kSample));
  expectSample(parseStringsTable("\xEF\xBB\xBF" + kSample));
}

TEST(StringsTableTest, ReadsUtf16InEitherByteOrder) {
  expectSample(parseStringsTable(utf16(kSample, true)));
  expectSample(parseStringsTable(utf16(kSample, false)));
  expectSample(parseStringsTable(utf16(kSample, false, false)));
  expectSample(parseStringsTable(utf16(kSample, true, false)));
}

TEST(StringsTableTest, ReadsPropertyListTables) {
  platform::Dictionary d;
  d["WizardCaption"] = platform::Value("Setup");
  d["count"] = platform::Value::integer(3);  // not a text: left out
  platform::Value list(d);
  for (const std::string& bytes : {list.toXML(), list.toBinary()}) {
    auto table = parseStringsTable(bytes);
    ASSERT_TRUE(table);
    EXPECT_EQ(*table, (StringsTable{{"WizardCaption", "Setup"}}));
  }
  EXPECT_FALSE(parseStringsTable(platform::Value("just text").toXML()));
}

TEST(StringsTableTest, EmptyAndCommentOnlyFilesAreEmptyTables) {
  EXPECT_EQ(parseStringsTable(""), StringsTable{});
  EXPECT_EQ(parseStringsTable("  \n/* nothing */ // here\n"), StringsTable{});
  EXPECT_EQ(parseStringsTable(utf16("", false)), StringsTable{});
}

TEST(StringsTableTest, MalformedTablesAreAbsent) {
  const char* broken[] = {
      "\"a\" = \"b\"",              // no semicolon
      "\"a\" = \"b",                // unterminated text
      "\"a\" = ;",                  // no value
      "\"a\" \"b\";",               // no equals sign
      "= \"b\";",                   // no key
      "\"a\" = \"b\"; /* open",     // unterminated comment
      "\"a\" = \"b\\",              // escape at the very end
      "\"a\" = \"\\U\";",           // escape without digits
      "\"a\" = \"\\UD800\\Uzz\";",  // surrogate followed by a broken escape
      "key with blank = \"v\";",
  };
  for (const char* text : broken) EXPECT_FALSE(parseStringsTable(text)) << text;
  std::string odd = utf16("\"a\" = \"b\";", false);
  EXPECT_FALSE(parseStringsTable(odd + "x"));
  std::string loneSurrogate = "\xFF\xFE" + std::string("\x00\xD8\x61\x00", 4);
  EXPECT_FALSE(parseStringsTable(loneSurrogate));
  // Every cut of a good table is refused or read; none crashes.
  for (size_t n = 0; n <= kSample.size(); ++n) (void)parseStringsTable(kSample.substr(0, n));
}

TEST(StringsTableTest, LoneSurrogateEscapesBecomeReplacementCharacters) {
  auto table = parseStringsTable("\"a\" = \"x\\UD800y\\UDC00z\";");
  ASSERT_TRUE(table);
  EXPECT_EQ(table->at("a"), "x\uFFFDy\uFFFDz");
}
