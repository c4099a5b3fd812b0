// Property-list values, their description form, and the choice of reader.
#include "platform/Value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>

#include "platform/FileManager.h"
#include "platform/PropertyList.h"

namespace platform {

namespace {

// Strings inside collections are quoted unless made only of characters that
// the description form leaves bare.
bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-') continue;
    if (c >= 0x80) continue;
    return true;
  }
  return false;
}

void appendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  out += '"';
}

std::string formatReal(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

// Bytes as hexadecimal digits in groups of four bytes: "<0a0b0c0d 0e>".
void appendDataDescription(std::string& out, const std::vector<std::uint8_t>& bytes) {
  static const char* hex = "0123456789abcdef";
  out += '<';
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i && i % 4 == 0) out += ' ';
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 15];
  }
  out += '>';
}

// The date in UTC: "2001-01-01 00:00:00 +0000".
void appendDateDescription(std::string& out, double secondsSinceReferenceDate) {
  // 978307200 is the Unix time of the property-list epoch.
  double seconds = secondsSinceReferenceDate;
  if (!(seconds > -1e12)) seconds = -1e12;  // keeps the conversion defined; also NaN
  if (seconds > 1e12) seconds = 1e12;
  std::time_t t = static_cast<std::time_t>(std::floor(seconds)) + 978307200;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
  out += buf;
}

// A string inside a collection (a dictionary key, an item), quoted when needed.
void appendNestedString(std::string& out, const std::string& s) {
  if (needsQuotes(s))
    appendQuoted(out, s);
  else
    out += s;
}

}  // namespace

const Array* Value::asArray() const {
  auto p = std::get_if<std::shared_ptr<const Array>>(&v_);
  return p ? p->get() : nullptr;
}

const Dictionary* Value::asDictionary() const {
  auto p = std::get_if<std::shared_ptr<const Dictionary>>(&v_);
  return p ? p->get() : nullptr;
}

std::optional<std::int64_t> Value::asInteger() const {
  if (auto i = std::get_if<std::int64_t>(&v_)) return *i;
  if (auto d = std::get_if<double>(&v_)) {
    if (std::isnan(*d)) return 0;
    if (*d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
    if (*d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(*d);
  }
  return std::nullopt;
}

std::optional<double> Value::asReal() const {
  if (auto d = std::get_if<double>(&v_)) return *d;
  if (auto i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
  return std::nullopt;
}

std::optional<bool> Value::asBoolean() const {
  if (auto b = std::get_if<bool>(&v_)) return *b;
  return std::nullopt;
}

const Value* Value::get(std::string_view key) const {
  const Dictionary* d = asDictionary();
  if (!d) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

std::optional<std::string> Value::getString(std::string_view key) const {
  const Value* v = get(key);
  if (!v || !v->isString()) return std::nullopt;
  return *v->asString();
}

std::string Value::description() const {
  std::string out;
  describe(out, 0, false);
  return out;
}

void Value::describe(std::string& out, int indent, bool nested) const {
  const std::string pad(static_cast<size_t>(indent) * 4, ' ');
  const std::string inner(static_cast<size_t>(indent + 1) * 4, ' ');
  switch (type()) {
    case Type::Null:
      out += "(null)";
      break;
    case Type::String:
      if (nested)
        appendNestedString(out, *asString());
      else
        out += *asString();
      break;
    case Type::Integer:
      out += std::to_string(*asInteger());
      break;
    case Type::Real:
      out += formatReal(*asReal());
      break;
    case Type::Boolean:
      out += *asBoolean() ? "1" : "0";
      break;
    case Type::Data:
      appendDataDescription(out, asData()->bytes);
      break;
    case Type::Date:
      appendDateDescription(out, asDate()->secondsSinceReferenceDate);
      break;
    case Type::Array: {
      out += "(\n";
      const Array& a = *asArray();
      for (size_t i = 0; i < a.size(); ++i) {
        out += inner;
        a[i].describe(out, indent + 1, true);
        if (i + 1 < a.size()) out += ',';
        out += '\n';
      }
      out += pad + ")";
      break;
    }
    case Type::Dictionary: {
      out += "{\n";
      for (const auto& [k, v] : *asDictionary()) {
        out += inner;
        appendNestedString(out, k);
        out += " = ";
        v.describe(out, indent + 1, true);
        out += ";\n";
      }
      out += pad + "}";
      break;
    }
  }
}

std::optional<Value> Value::parse(std::string_view bytes) {
  if (bytes.substr(0, propertylist::kBinaryMagic.size()) == propertylist::kBinaryMagic)
    return propertylist::readBinary(bytes);
  return propertylist::readXML(bytes);
}

std::optional<Value> Value::readFile(const std::string& path) {
  std::optional<std::string> bytes = FileManager().contentsOfRegularFile(path);
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::string Value::toXML() const { return propertylist::writeXML(*this); }

std::string Value::toBinary() const { return propertylist::writeBinary(*this); }

bool Value::operator==(const Value& other) const {
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Null:
      return true;
    case Type::String:
      return *asString() == *other.asString();
    case Type::Integer:
      return *asInteger() == *other.asInteger();
    case Type::Real:
      return *asReal() == *other.asReal();
    case Type::Boolean:
      return *asBoolean() == *other.asBoolean();
    case Type::Data:
      return asData()->bytes == other.asData()->bytes;
    case Type::Date:
      return asDate()->secondsSinceReferenceDate == other.asDate()->secondsSinceReferenceDate;
    case Type::Array:
      return *asArray() == *other.asArray();
    case Type::Dictionary:
      return *asDictionary() == *other.asDictionary();
  }
  return false;
}

bool truthValue(const Value* v) {
  if (!v) return false;
  if (auto b = v->asBoolean()) return *b;
  if (v->type() == Value::Type::Integer) return *v->asInteger() != 0;
  if (v->type() == Value::Type::Real) return *v->asReal() != 0.0;
  const std::string* s = v->asString();
  if (!s) return false;
  size_t i = 0;
  while (i < s->size() && std::isspace(static_cast<unsigned char>((*s)[i]))) ++i;
  if (i < s->size() && ((*s)[i] == '+' || (*s)[i] == '-')) ++i;
  while (i < s->size() && (*s)[i] == '0') ++i;
  if (i >= s->size()) return false;
  char c = (*s)[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

}  // namespace platform
