// Property-list values: parsing, description form, truth values.
#include <gtest/gtest.h>

#include <random>

#include "PlistSamples.h"
#include "platform/Value.h"

using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

Value parsed(const std::string& bytes) {
  auto v = Value::parse(bytes);
  EXPECT_TRUE(v.has_value());
  return v ? *v : Value();
}

}  // namespace

TEST(ValueTest, XmlAndBinaryListsReadTheSameDictionary) {
  Value xml = parsed(samples::kInfoXML);
  Value binary = parsed(samples::infoBinary());
  EXPECT_EQ(xml, binary);

  EXPECT_EQ(xml.getString("CFBundleName"), "Demo");
  EXPECT_EQ(xml.get("neg")->asInteger(), -3);
  EXPECT_EQ(xml.get("qvr.jreUncompressedSize")->asInteger(), 123456789);
  EXPECT_EQ(xml.get("ratio")->asReal(), 2.5);
  EXPECT_EQ(xml.get("qvr.initialProgress")->asBoolean(), false);
  EXPECT_EQ(*xml.get("text")->asString(), "Gr\u00fc\u00dfe \u2603");
  ASSERT_NE(xml.get("blob")->asData(), nullptr);
  EXPECT_EQ(xml.get("blob")->asData()->bytes, (std::vector<std::uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(xml.get("when")->description(), "2020-01-02 03:04:05 +0000");
  const Value* javaVM = xml.get("JavaVM");
  ASSERT_NE(javaVM, nullptr);
  EXPECT_EQ(javaVM->getString("MainClass"), "com.example.Main");
  ASSERT_NE(javaVM->get("VMOptionArray")->asArray(), nullptr);
  EXPECT_EQ(javaVM->get("VMOptionArray")->asArray()->size(), 2u);

  // Both writers of this program give back what they were given.
  EXPECT_EQ(parsed(xml.toBinary()), xml);
  EXPECT_EQ(parsed(binary.toXML()), xml);
}

TEST(ValueTest, TypedAccessRefusesOtherTypes) {
  Value text("12");
  EXPECT_FALSE(text.asInteger());
  EXPECT_FALSE(text.asBoolean());
  EXPECT_EQ(text.asDictionary(), nullptr);
  EXPECT_EQ(text.get("x"), nullptr);
  EXPECT_EQ(Value::real(3.9).asInteger(), 3);
  EXPECT_EQ(Value::integer(4).asReal(), 4.0);
  Dictionary d;
  d["n"] = Value::integer(1);
  EXPECT_FALSE(Value(d).getString("n"));  // present, but not a string
  EXPECT_FALSE(Value(d).getString("missing"));
}

TEST(ValueTest, DescriptionFormOfCollections) {
  EXPECT_EQ(Value(Array{}).description(), "(\n)");
  EXPECT_EQ(Value(Dictionary{}).description(), "{\n}");
  EXPECT_EQ(Value().description(), "(null)");
  EXPECT_EQ(Value("plain text").description(), "plain text");  // never quoted at top level

  Dictionary inner;
  inner["b"] = Value(Array{Value("x"), Value::integer(2)});
  Dictionary outer;
  outer["a"] = Value(inner);
  outer["flag"] = Value::boolean(true);
  outer["key with blank"] = Value("");
  outer["path"] = Value("/usr/lib/jvm:-x.y");
  outer["quote"] = Value("say \"hi\"\n");
  outer["ratio"] = Value::real(0.1);
  outer["data"] = Value(platform::Data{{0xde, 0xad, 0xbe, 0xef, 0x01}});
  EXPECT_EQ(Value(outer).description(),
            "{\n"
            "    a = {\n"
            "        b = (\n"
            "            x,\n"
            "            2\n"
            "        );\n"
            "    };\n"
            "    data = <deadbeef 01>;\n"
            "    flag = 1;\n"
            "    \"key with blank\" = \"\";\n"
            "    path = /usr/lib/jvm:-x.y;\n"
            "    quote = \"say \\\"hi\\\"\\n\";\n"
            "    ratio = 0.1;\n"
            "}");
}

TEST(ValueTest, TruthValuesOfSettings) {
  struct Case {
    Value value;
    bool expected;
  };
  const Case cases[] = {
      {Value::boolean(true), true},
      {Value::boolean(false), false},
      {Value::integer(0), false},
      {Value::integer(-7), true},
      {Value::real(0.0), false},
      {Value::real(0.25), true},
      {Value("YES"), true},
      {Value("yes"), true},
      {Value("true"), true},
      {Value("Tuesday"), true},
      {Value("1"), true},
      {Value("  +007"), true},
      {Value("-9"), true},
      {Value("\t\n y"), true},
      {Value("0"), false},
      {Value("000"), false},
      {Value("0x1"), false},
      {Value("no"), false},
      {Value("false"), false},
      {Value(""), false},
      {Value("   "), false},
      {Value("+-1"), false},
      {Value(" - 1"), false},
      {Value("on"), false},
      {Value(Array{Value("yes")}), false},
      {Value(Dictionary{}), false},
      {Value(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::truthValue(&c.value), c.expected) << c.value.description();
  EXPECT_FALSE(platform::truthValue(nullptr));
}

TEST(ValueTest, MalformedListsAreAbsent) {
  const std::string xml = samples::kInfoXML;
  const std::string binary = samples::infoBinary();
  EXPECT_FALSE(Value::parse(""));
  EXPECT_FALSE(Value::parse("not a property list at all"));
  EXPECT_FALSE(Value::parse("<plist><dict><key>a</key></plist>"));
  EXPECT_FALSE(Value::parse("bplist00"));
  // Every cut of either form is refused or read as some value; none crashes.
  for (size_t n = 0; n < binary.size(); n += 3) (void)Value::parse(binary.substr(0, n));
  for (size_t n = 0; n < xml.size(); n += 7) (void)Value::parse(xml.substr(0, n));
  EXPECT_FALSE(Value::parse(binary.substr(0, binary.size() - 10)));
  EXPECT_FALSE(Value::parse(xml.substr(0, xml.size() / 2)));

  // Dictionary keys holding a NUL character (ASCII and UTF-16): the parser
  // library would abort the process on reading them.
  const unsigned char nulKeys[][53] = {
      {0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd1, 0x01, 0x02, 0x53, 0x61,
       0x00, 0x62, 0x51, 0x76, 0x08, 0x0b, 0x0f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11},
      {0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xd1, 0x01, 0x02, 0x62, 0x00, 0xe9,
       0x00, 0x00, 0x51, 0x76, 0x08, 0x0b, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01,
       0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12},
  };
  EXPECT_FALSE(Value::parse(std::string(reinterpret_cast<const char*>(nulKeys[0]), 52)));
  EXPECT_FALSE(Value::parse(std::string(reinterpret_cast<const char*>(nulKeys[1]), 53)));

  // An array that holds itself.
  const unsigned char cycle[] = {
      0x62, 0x70, 0x6c, 0x69, 0x73, 0x74, 0x30, 0x30, 0xa1, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0,   0,
      0,    0,    0,    0,    1,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a};
  EXPECT_FALSE(Value::parse(std::string(reinterpret_cast<const char*>(cycle), sizeof cycle)));

  // Damaged bytes inside an otherwise well-formed binary list.
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::string damaged = binary;
    for (int k = 0; k < 4; ++k) damaged[8 + random() % (damaged.size() - 8)] = static_cast<char>(random());
    (void)Value::parse(damaged);
  }
}

TEST(ValueTest, DeeplyNestedListsDoNotExhaustTheStack) {
  std::string deep;
  for (int i = 0; i < 20000; ++i) deep += "<array>";
  for (int i = 0; i < 20000; ++i) deep += "</array>";
  auto v = Value::parse("<plist>" + deep + "</plist>");
  // Too deep to be a real setting: refused as a whole.
  EXPECT_FALSE(v);
}
