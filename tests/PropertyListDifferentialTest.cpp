// Property lists written by other writers (Python's plistlib in both formats,
// libplist in both formats) read to the values they were written from.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "TestSupport.h"
#include "platform/Value.h"

using platform::Array;
using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Value;

namespace {

struct Sample {
  std::string name;
  Value value;
  bool libplistWritesIt = true;  // its writer holds dates as 32-bit seconds
};

std::vector<Sample> samples() {
  std::vector<Sample> out;
  out.push_back({"scalars", Value(Dictionary{
                                {"string", Value("plain")},
                                {"empty", Value("")},
                                {"markup", Value("<a href=\"x\">&amp;</a> ' ]]>")},
                                {"blanks", Value("  two\tlines \n  ")},
                                {"true", Value::boolean(true)},
                                {"false", Value::boolean(false)},
                                {"real", Value::real(0.1)},
                                {"negative real", Value::real(-2.5e-300)},
                                {"huge real", Value::real(1.7976931348623157e308)},
                                {"infinite", Value::real(std::numeric_limits<double>::infinity())},
                                {"date", Value(Date{599627045})},  // 2020-01-02T03:04:05Z
                                {"early date", Value(Date{-978307200})},
                                {"data", Value(Data{{0, 1, 2, 0xfe, 0xff}})},
                                {"empty data", Value(Data{})},
                                {"", Value("empty key")},
                            })});
  Dictionary integers;
  const std::int64_t numbers[] = {0,  1,  255,  256,    65535,     65536,     4294967295,   4294967296,
                                  -1, -3, -256, -65537, INT64_MAX, INT64_MIN, INT64_MIN + 1};
  for (std::int64_t n : numbers) integers[std::string("n").append(std::to_string(n))] = Value::integer(n);
  out.push_back({"integers", Value(std::move(integers))});
  out.push_back({"unicode", Value(Array{Value("Gr\u00fc\u00dfe \u2603"), Value("\u65e5\u672c\u8a9e"),
                                        Value("astral \U0001F600 \U0001D11E"), Value("\u00e9")})});
  out.push_back({"unicode keys", Value(Dictionary{{"cl\u00e9", Value("v")}, {"\U0001F511", Value("k")}})});
  out.push_back({"far dates", Value(Array{Value(Date{-3187296000}), Value(Date{3155760000})}), false});
  out.push_back({"empty array", Value(Array{})});
  out.push_back({"empty dictionary", Value(Dictionary{})});
  out.push_back({"top-level string", Value("just text")});
  Dictionary nested;
  nested["JavaVM"] = Value(Dictionary{{"MainClass", Value("com.example.Main")},
                                      {"VMOptionArray", Value(Array{Value("-Xmx512m"), Value("-Dname=a b")})},
                                      {"Properties", Value(Dictionary{{"k", Value("v")}})},
                                      {"empty", Value(Array{Value(Array{}), Value(Dictionary{})})}});
  nested["deep"] = Value(Array{Value(Array{Value(Array{Value(Dictionary{{"x", Value::integer(1)}})})})});
  out.push_back({"nested", Value(std::move(nested))});
  // More than 255 objects: references of two bytes; more than 14 entries:
  // counts that follow the marker.
  Array many;
  Dictionary wide;
  for (int i = 0; i < 300; ++i) {
    many.push_back(Value(std::string("item ").append(std::to_string(i))));
    if (i < 40) wide[std::string("key ").append(std::to_string(i))] = Value::integer(i * 1000);
  }
  many.push_back(Value(std::move(wide)));
  out.push_back({"many objects", Value(std::move(many))});
  // Objects past 64 KiB: offsets wider than two bytes.
  std::string big(70000, 'x');
  for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);
  out.push_back({"big strings",
                 Value(Array{Value(big), Value(big + "\u00e9"), Value::integer(7), Value(Data{{1, 2, 3}})})});
  return out;
}

// The same value as a libplist node (which takes integers as unsigned).
plist_t nodeOf(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::String:
      return plist_new_string(v.asString()->c_str());
    case Value::Type::Integer:
      return plist_new_uint(static_cast<std::uint64_t>(*v.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*v.asReal());
    case Value::Type::Boolean:
      return plist_new_bool(*v.asBoolean());
    case Value::Type::Data: {
      const auto& b = v.asData()->bytes;
      return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::Type::Date: {
      const double s = v.asDate()->secondsSinceReferenceDate;
      return plist_new_date(static_cast<std::int32_t>(std::floor(s)),
                            static_cast<std::int32_t>((s - std::floor(s)) * 1e6));
    }
    case Value::Type::Array: {
      plist_t a = plist_new_array();
      for (const Value& item : *v.asArray()) plist_array_append_item(a, nodeOf(item));
      return a;
    }
    case Value::Type::Dictionary: {
      plist_t d = plist_new_dict();
      for (const auto& [k, item] : *v.asDictionary()) plist_dict_set_item(d, k.c_str(), nodeOf(item));
      return d;
    }
  }
  return nullptr;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void expectReadsAs(const std::string& bytes, const Value& expected, const std::string& what) {
  auto v = Value::parse(bytes);
  ASSERT_TRUE(v) << what << " is not read";
  EXPECT_EQ(*v, expected) << what << " reads as\n"
                          << v->description() << "\ninstead of\n"
                          << expected.description();
}

}  // namespace

TEST(PropertyListDifferentialTest, ListsWrittenByPlistlibReadAsTheirValues) {
  if (std::system("python3 -c 'import plistlib' >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "python3 with plistlib is not installed: lists written by plistlib are not compared";
  test_support::TemporaryDirectory dir;
  const auto table = samples();
  // Python reads what this program's writers wrote, and writes it again.
  for (const Sample& s : table) {
    test_support::writeFile(dir / (s.name + ".ours.xml"), s.value.toXML());
    test_support::writeFile(dir / (s.name + ".ours.bin"), s.value.toBinary());
  }
  const std::string command =
      "python3 '" MI_SOURCE_DIR "/tests/fixtures/plistlib_rewrite.py' '" + dir.path().string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  for (const Sample& s : table) {
    expectReadsAs(readAll(dir / (s.name + ".py.xml")), s.value, s.name + " (plistlib, XML)");
    expectReadsAs(readAll(dir / (s.name + ".py.bin")), s.value, s.name + " (plistlib, binary)");
  }
  // 2^63 and more: plistlib writes 16-byte integers; their low 64 bits are
  // read, in XML as in binary lists.
  const Value unsigned_(Dictionary{{"top", Value::integer(INT64_MIN)},
                                   {"max", Value::integer(-1)},
                                   {"negative", Value::integer(INT64_MIN)}});
  expectReadsAs(readAll(dir / "unsigned.py.xml"), unsigned_, "unsigned (plistlib, XML)");
  expectReadsAs(readAll(dir / "unsigned.py.bin"), unsigned_, "unsigned (plistlib, binary)");
}

TEST(PropertyListDifferentialTest, ListsWrittenByLibplistReadAsTheirValues) {
  for (const Sample& s : samples()) {
    if (!s.libplistWritesIt) continue;
    plist_t node = nodeOf(s.value);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &bytes, &length);
    expectReadsAs(std::string(bytes, length), s.value, s.name + " (libplist, XML)");
    std::free(bytes);
    bytes = nullptr;  // the writer leaves a pointer that is not null as it is
    plist_to_bin(node, &bytes, &length);
    ASSERT_NE(bytes, nullptr) << s.name << ": libplist wrote no binary list";
    expectReadsAs(std::string(bytes, length), s.value, s.name + " (libplist, binary)");
    std::free(bytes);
    plist_free(node);
  }
}
