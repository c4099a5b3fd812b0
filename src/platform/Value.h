// Property-list values: dictionaries, arrays, strings, numbers, booleans,
// data and dates, read from XML or binary property lists.
// Values are immutable after construction and safe to read from any thread.
// Parsing failures give an absent value, never an exception.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class Value;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

struct Data {
  std::vector<std::uint8_t> bytes;
};

// Seconds since 2001-01-01 00:00:00 UTC, the property-list epoch.
struct Date {
  double secondsSinceReferenceDate = 0;
};

class Value {
 public:
  enum class Type { Null, String, Integer, Real, Boolean, Data, Date, Array, Dictionary };

  Value() = default;
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::make_shared<const Array>(std::move(a))) {}
  Value(Dictionary d) : v_(std::make_shared<const Dictionary>(std::move(d))) {}
  Value(Data d) : v_(std::move(d)) {}
  Value(Date d) : v_(d) {}
  static Value integer(std::int64_t i) { return Value(Tag{}, i); }
  static Value real(double d) { return Value(Tag{}, d); }
  static Value boolean(bool b) { return Value(Tag{}, b); }

  Type type() const { return static_cast<Type>(v_.index()); }
  bool isNull() const { return type() == Type::Null; }
  bool isString() const { return type() == Type::String; }
  bool isNumber() const { return type() == Type::Integer || type() == Type::Real; }

  // Typed access: null (or absent) when the value has another type.
  const std::string* asString() const { return std::get_if<std::string>(&v_); }
  const Array* asArray() const;
  const Dictionary* asDictionary() const;
  std::optional<std::int64_t> asInteger() const;  // integers, and reals truncated
  std::optional<double> asReal() const;           // reals and integers
  std::optional<bool> asBoolean() const;          // booleans only
  const Data* asData() const { return std::get_if<Data>(&v_); }
  const Date* asDate() const { return std::get_if<Date>(&v_); }

  // Dictionary lookup; null when this is not a dictionary or has no such key.
  const Value* get(std::string_view key) const;
  // The string under key, when there is one and it is a string.
  std::optional<std::string> getString(std::string_view key) const;

  // The platform's description form used by "%@": strings as themselves,
  // arrays as "(\n    a,\n    b\n)", dictionaries as "{\n    k = v;\n}".
  std::string description() const;

  // Parses an XML or binary property list; absent on any malformation.
  static std::optional<Value> parse(std::string_view bytes);
  // Reads and parses a property-list file; absent when unreadable or malformed.
  static std::optional<Value> readFile(const std::string& path);
  // Serialises as an XML property list (nulls are left out).
  std::string toXML() const;
  // Serialises as a binary property list (nulls are left out).
  std::string toBinary() const;

  bool operator==(const Value& other) const;

 private:
  struct Tag {};
  Value(Tag, std::int64_t i) : v_(i) {}
  Value(Tag, double d) : v_(d) {}
  Value(Tag, bool b) : v_(b) {}
  void describe(std::string& out, int indent, bool nested) const;

  std::variant<std::monostate, std::string, std::int64_t, double, bool, Data, Date,
               std::shared_ptr<const Array>, std::shared_ptr<const Dictionary>>
      v_;
};

// The truth value of a setting: a boolean; a number (non-zero is true); or a
// text that is true when, after leading white space, an optional sign and
// leading zeros, its first character is Y, y, T, t or 1-9. Absent is false.
bool truthValue(const Value* v);

}  // namespace platform
