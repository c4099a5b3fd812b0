// The property-list readers and writers behind Value: XML corner cases, every
// kind of binary object, hostile binary lists, and round trips.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "platform/Value.h"

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;
using namespace std::string_literals;

namespace {

// XML ---------------------------------------------------------------------

std::string inPlist(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

std::string describe(const std::optional<Value>& v) { return v ? v->description() : "(absent)"; }

TEST(PropertyListTest, XmlListsReadAsBefore) {
  struct Case {
    std::string xml;
    std::optional<Value> expected;
  };
  const Case cases[] = {
      {inPlist("<string>  a b \n c </string>"), Value("  a b \n c ")},
      {inPlist("<string>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&#x1F600;</string>"),
       Value("&<>\"'AB\U0001F600")},
      {inPlist("<string><![CDATA[x<y&z]]> &amp;</string>"), Value("x<y&z &")},
      {inPlist("<string>a<!-- note -->b</string>"), Value("ab")},
      {inPlist("<string>line\r\nbreak</string>"), Value("line\nbreak")},
      {inPlist("<string/>"), Value("")},
      {inPlist("<key>k</key>"), Value("k")},
      {inPlist("<integer>42</integer>"), Value::integer(42)},
      {inPlist("<integer> \n -3 </integer>"), Value::integer(-3)},
      {inPlist("<integer>+5</integer>"), Value::integer(5)},
      {inPlist("<integer>0x1F</integer>"), Value::integer(31)},
      {inPlist("<integer>010</integer>"), Value::integer(10)},
      {inPlist("<integer>12abc</integer>"), Value::integer(12)},
      {inPlist("<integer></integer>"), Value::integer(0)},
      {inPlist("<integer>18446744073709551615</integer>"), Value::integer(-1)},
      {inPlist("<integer>-9223372036854775808</integer>"), Value::integer(INT64_MIN)},
      {inPlist("<integer>99999999999999999999</integer>"), Value::integer(-1)},
      {inPlist("<real>2.5</real>"), Value::real(2.5)},
      {inPlist("<real> 1e3 </real>"), Value::real(1000)},
      {inPlist("<real>2</real>"), Value::real(2)},
      {inPlist("<real>junk</real>"), Value::real(0)},
      {inPlist("<date>2020-01-02T03:04:05Z</date>"), Value(Date{599627045})},
      {inPlist("<date> 2020-01-02T03:04:05.75 </date>"), Value(Date{599627045})},
      {inPlist("<date>2020-01-02T04:04:05+01:00</date>"), Value(Date{599627045})},
      {inPlist("<date>1900-01-01T00:00:00Z</date>"), Value(Date{-3187296000})},
      {inPlist("<date>garbage</date>"), Value(Date{-978307200})},
      {inPlist("<date>2020-13-01T00:00:00Z</date>"), Value(Date{-978307200})},
      {inPlist("<data>\n\tAQID\n\tBAU=\n</data>"), Value(Data{{1, 2, 3, 4, 5}})},
      {inPlist("<data>AQIDBA</data>"), Value(Data{{1, 2, 3, 4}})},
      {inPlist("<data></data>"), Value(Data{})},
      {inPlist("<true/>"), Value::boolean(true)},
      {inPlist("<false></false>"), Value::boolean(false)},
      {inPlist("<dict/>"), Value(Dictionary{})},
      {inPlist("<array>\n</array>"), Value(Array{})},
      {inPlist("<dict><key>a</key><integer>1</integer><key>a</key><integer>2</integer></dict>"),
       Value(Dictionary{{"a", Value::integer(2)}})},
      {inPlist("<dict><key></key><string>e</string><key>tail</key></dict>"),
       Value(Dictionary{{"", Value("e")}})},
      {inPlist("<array><string>a</string><!-- c --><array/></array>"),
       Value(Array{Value("a"), Value(Array{})})},
      {inPlist("<string>first</string><string>second</string>"), Value("first")},
      {"<dict><key>bare</key><true/></dict>", Value(Dictionary{{"bare", Value::boolean(true)}})},
      {"\xEF\xBB\xBF" + inPlist("<string>after a byte-order mark</string>"),
       Value("after a byte-order mark")},
      {inPlist("<string>x</string>") + "trailing text", Value("x")},
      // Malformed: absent.
      {inPlist("<string>&unknown;</string>"), std::nullopt},
      {"<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>", std::nullopt},
      {inPlist("<string>a & b</string>"), std::nullopt},
      {inPlist("<string>&#0;</string>"), std::nullopt},
      {inPlist("<string>&#xD800;</string>"), std::nullopt},
      {inPlist("<string>&#x110000;</string>"), std::nullopt},
      {inPlist(std::string("<string>a\0b</string>", 20)), std::nullopt},
      {inPlist("<string>a<b/></string>"), std::nullopt},
      {inPlist("<string>x</strin>"), std::nullopt},
      {inPlist("<dict><integer>1</integer></dict>"), std::nullopt},
      {inPlist("<dict><key>a</key><key>b</key><string>x</string></dict>"), std::nullopt},
      {inPlist("<dict>text<key>a</key><string>x</string></dict>"), std::nullopt},
      {inPlist("<array><string>a</string>text</array>"), std::nullopt},
      {"<plist>text<string>x</string></plist>", std::nullopt},
      {inPlist("<TRUE/>"), std::nullopt},
      {inPlist(""), std::nullopt},
      {"<other><string>x</string></other>", std::nullopt},
      {"<plist>", std::nullopt},
  };
  for (const Case& c : cases) {
    auto v = Value::parse(c.xml);
    EXPECT_EQ(v.has_value(), c.expected.has_value()) << c.xml << "\nreads as " << describe(v);
    if (v && c.expected) {
      EXPECT_EQ(*v, *c.expected) << c.xml << "\nreads as " << describe(v);
    }
  }
}

// Binary ------------------------------------------------------------------

std::string bigEndian(std::uint64_t v, size_t width) {
  std::string out;
  for (size_t i = width; i-- > 0;) out += static_cast<char>(i < 8 ? v >> (8 * i) & 0xFF : 0);
  return out;
}

// A binary list laid out from its objects' bytes; the trailer's fields can
// be replaced to make it hostile.
struct Layout {
  std::vector<std::string> objects;
  size_t offsetWidth = 1, referenceWidth = 1;
  std::uint64_t top = 0;
  std::optional<std::vector<std::uint64_t>> offsets = std::nullopt;
  std::optional<std::uint64_t> objectCount = std::nullopt, tableOffset = std::nullopt;

  std::string bytes() const {
    std::string out = "bplist00";
    std::vector<std::uint64_t> at;
    for (const std::string& o : objects) {
      at.push_back(out.size());
      out += o;
    }
    const std::uint64_t table = out.size();
    for (std::uint64_t offset : offsets.value_or(at)) out += bigEndian(offset, offsetWidth);
    out += std::string(6, '\0') + static_cast<char>(offsetWidth) + static_cast<char>(referenceWidth);
    out += bigEndian(objectCount.value_or(objects.size()), 8) + bigEndian(top, 8) +
           bigEndian(tableOffset.value_or(table), 8);
    return out;
  }
};

std::string marker(unsigned char m) { return std::string(1, static_cast<char>(m)); }

// A container object: its marker, then references of the given width.
std::string container(unsigned char m, std::initializer_list<std::uint64_t> references, size_t width) {
  std::string out = marker(m);
  for (std::uint64_t r : references) out += bigEndian(r, width);
  return out;
}

TEST(PropertyListTest, BinaryReaderReadsEveryKindOfObject) {
  const std::string wide(20, 'w');
  Layout list;
  list.objects = {
      marker(0xAF) + "\x10\x0F" +
          std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 15),
      "\x10\xC8",
      "\x11\xFF\xFE",
      "\x12\x80\x00\x00\x01"s,
      "\x13" + bigEndian(static_cast<std::uint64_t>(-5), 8),
      "\x14" + bigEndian(7, 8) + bigEndian(static_cast<std::uint64_t>(-2), 8),  // 16 bytes: low 64 kept
      "\x22" + bigEndian(0x40200000, 4),                                        // 2.5 as 4 bytes
      "\x23" + bigEndian(0x3FB999999999999A, 8),                                // 0.1
      "\x33" + bigEndian(0x41C1DECA92C00000, 8),                                // 599627045.5
      "\x43\x00\xFF\x7F"s,
      "\x5F\x10\x14" + wide,
      "\x67\x00G\x00r\x00\xFC\xD8\x3D\xDE\x00\x26\x03\x00!"s,
      "\x09",
      "\x08",
      "\xD1\x10\x0F",  // { "k": "v" }
      "\x51v",
  };
  list.objects.push_back("\x51k");
  const Value expected(Array{Value::integer(200), Value::integer(65534), Value::integer(0x80000001),
                             Value::integer(-5), Value::integer(-2), Value::real(2.5), Value::real(0.1),
                             Value(Date{599627045.5}), Value(Data{{0, 0xFF, 0x7F}}), Value(wide),
                             Value("Gr\u00fc\U0001F600\u2603!"), Value::boolean(true), Value::boolean(false),
                             Value(Dictionary{{"k", Value("v")}}), Value("v")});
  auto v = Value::parse(list.bytes());
  ASSERT_TRUE(v);
  EXPECT_EQ(*v, expected) << v->description();

  // Text: a surrogate without its partner becomes U+FFFD; NUL refuses the list.
  auto text = [](const std::string& object) { return Layout{{object}}.bytes(); };
  EXPECT_EQ(Value::parse(text("\x63\x00"
                              "a\xD8\x00\x00"
                              "b"s)),
            Value("a\uFFFDb"));
  EXPECT_EQ(Value::parse(text("\x61\xDC\x00"s)), Value("\uFFFD"));
  EXPECT_EQ(Value::parse(text("\x61\xD8\x3D"s)), Value("\uFFFD"));
  EXPECT_FALSE(
      Value::parse(text("\x53"
                        "a\0b"s)));
  EXPECT_FALSE(
      Value::parse(text("\x62\x00"
                        "a\x00\x00"s)));
}

TEST(PropertyListTest, HostileBinaryListsAreAbsent) {
  const Layout good{{"\xA1\x01", "\x51x"}};
  ASSERT_EQ(Value::parse(good.bytes()), Value(Array{Value("x")}));
  auto with = [&](auto change) {
    Layout l = good;
    change(l);
    return l.bytes();
  };
  std::vector<std::pair<std::string, std::string>> cases = {
      {"truncated trailer", good.bytes().substr(0, good.bytes().size() - 1)},
      {"trailer only", "bplist00" + good.bytes().substr(good.bytes().size() - 32)},
      {"offset width 0", with([](Layout& l) { l.offsetWidth = 0; })},
      {"offset width 9", with([](Layout& l) { l.offsetWidth = 9; })},
      {"reference width 0", with([](Layout& l) { l.referenceWidth = 0; })},
      {"no objects", with([](Layout& l) { l.objectCount = 0; })},
      {"more objects than the table holds", with([](Layout& l) { l.objectCount = 3; })},
      {"object count overflowing the table size", with([](Layout& l) { l.objectCount = 1ULL << 62; })},
      {"top object past the count", with([](Layout& l) { l.top = 2; })},
      {"table inside the magic", with([](Layout& l) { l.tableOffset = 4; })},
      {"table past the end", with([](Layout& l) { l.tableOffset = ~0ULL; })},
      {"offset into the table", with([](Layout& l) {
         l.offsets = {{8, 12}};
       })},
      {"offset past the end", with([](Layout& l) {
         l.offsets = {{8, 0xFF}};
       })},
      {"offset into the magic", with([](Layout& l) {
         l.offsets = {{8, 3}};
       })},
      {"reference past the count", with([](Layout& l) { l.objects[0] = "\xA1\x02"; })},
      {"array holding itself", with([](Layout& l) { l.objects[0] = "\xA2\x01\x00"; })},
      {"dictionary cycle", Layout{{"\xD1\x01\x02", "\x51k", "\xA1\x00"}}.bytes()},
      {"key that is no string", Layout{{"\xD1\x01\x02", "\x10\x01", "\x51v"}}.bytes()},
      {"huge array count",
       with([](Layout& l) { l.objects[0] = "\xAF\x13" + bigEndian(1ULL << 62, 8) + "\x01"; })},
      {"huge dictionary count",
       with([](Layout& l) { l.objects[0] = "\xDF\x13" + bigEndian(~0ULL, 8) + "\x01"; })},
      {"huge string count", with([](Layout& l) { l.objects[1] = "\x5F\x13" + bigEndian(~0ULL, 8) + "x"; })},
      {"huge UTF-16 count",
       with([](Layout& l) { l.objects[1] = "\x6F\x13" + bigEndian(1ULL << 63, 8) + "x"; })},
      {"count that is no integer", with([](Layout& l) { l.objects[1] = "\x5F\x51x"; })},
      {"count of 16 bytes",
       with([](Layout& l) { l.objects[1] = "\x5F\x14" + std::string(15, '\0') + "\x01x"; })},
      {"integer of 32 bytes", with([](Layout& l) { l.objects[1] = "\x15" + std::string(32, '\0'); })},
      {"integer cut by the table", with([](Layout& l) { l.objects[1] = "\x13\x00\x01"s; })},
      {"real of 2 bytes", with([](Layout& l) { l.objects[1] = "\x21\x00\x01"s; })},
      {"date of 4 bytes", with([](Layout& l) { l.objects[1] = "\x32" + std::string(4, '\0'); })},
      {"null", with([](Layout& l) { l.objects[1] = std::string(1, '\0'); })},
      {"fill", with([](Layout& l) { l.objects[1] = "\x0F"; })},
      {"identifier", with([](Layout& l) { l.objects[1] = "\x80\x01"; })},
      {"set", with([](Layout& l) { l.objects[1] = "\xC0"; })},
      {"two objects at one offset", Layout{{"\xA2\x01\x02", "\x51x"}, 1, 1, 0, {{8, 11, 11}}, 3}.bytes()},
      {"string running over the next object", Layout{{"\xA2\x01\x02", "\x52x", "\x51y"}}.bytes()},
  };
  // Nesting deeper than 512 levels, and a list of 40 levels whose every
  // level names the next twice (2^40 values once expanded).
  Layout deep, doubling;
  for (int i = 0; i < 600; ++i) deep.objects.push_back(container(0xA1, {i + 1ULL}, 2));
  deep.objects.push_back("\x08");
  deep.referenceWidth = 2;
  deep.offsetWidth = 2;
  cases.emplace_back("600 levels", deep.bytes());
  for (int i = 0; i < 40; ++i) doubling.objects.push_back(container(0xA2, {i + 1ULL, i + 1ULL}, 1));
  doubling.objects.push_back("\x51x");
  cases.emplace_back("expansion bomb", doubling.bytes());
  for (const auto& [what, bytes] : cases) EXPECT_FALSE(Value::parse(bytes)) << what;

  // 512 levels are still read.
  deep.objects.erase(deep.objects.begin(), deep.objects.begin() + 88);
  for (size_t i = 0; i + 1 < deep.objects.size(); ++i) deep.objects[i] = container(0xA1, {i + 1}, 2);
  EXPECT_TRUE(Value::parse(deep.bytes()));
}

// Writers -----------------------------------------------------------------

TEST(PropertyListTest, WritersKeepWhatTheirFormatCanHold) {
  const Value tricky(Dictionary{
      {"controls", Value("cr\r tab\t lf\n bell\x07")},
      {"markup", Value("a&b<c>]]>")},
      {"key & <key>", Value::integer(-1)},
      {"fraction", Value(Date{0.25})},
      {"reals", Value(Array{Value::real(-0.0), Value::real(1e-310), Value::real(3.0)})},
      {"null", Value()},
      {"array with null", Value(Array{Value(), Value::integer(1)})},
  });
  const Value kept(Dictionary{
      {"controls", Value("cr\r tab\t lf\n bell\x07")},
      {"markup", Value("a&b<c>]]>")},
      {"key & <key>", Value::integer(-1)},
      {"fraction", Value(Date{0.25})},
      {"reals", Value(Array{Value::real(-0.0), Value::real(1e-310), Value::real(3.0)})},
      {"array with null", Value(Array{Value::integer(1)})},
  });
  EXPECT_EQ(Value::parse(tricky.toBinary()), kept);
  // XML dates hold whole seconds.
  Dictionary xmlKept = *kept.asDictionary();
  xmlKept["fraction"] = Value(Date{0});
  EXPECT_EQ(Value::parse(tricky.toXML()), Value(xmlKept));
  EXPECT_EQ(Value().toXML(), "");
  EXPECT_EQ(Value().toBinary(), "");

  // Text that is not UTF-8 survives XML as it is; binary lists hold Unicode
  // text, so the bytes that start no character become U+FFFD.
  const Value latin1("caf\xE9!");
  EXPECT_EQ(Value::parse(latin1.toXML()), latin1);
  EXPECT_EQ(Value::parse(latin1.toBinary()), Value("caf\uFFFD!"));

  // Dates beyond four-digit years are written as the nearest one.
  EXPECT_EQ(Value::parse(Value(Date{1e15}).toXML()), Value(Date{252423993599}));
}

}  // namespace
