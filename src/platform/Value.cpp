// Property-list values through libplist, and their description form.
#include "platform/Value.h"

#include <plist/plist.h>

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

namespace platform {

namespace {

struct PlistDeleter {
  void operator()(plist_t p) const {
    if (p) plist_free(p);
  }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Guards against hostile, deeply nested input blowing the stack.
constexpr int kMaxDepth = 512;

std::optional<Value> fromNode(plist_t node, int depth) {
  if (!node || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t b = 0;
      plist_get_bool_val(node, &b);
      return Value::boolean(b != 0);
    }
    case PLIST_UINT: {
      uint64_t u = 0;
      plist_get_uint_val(node, &u);
      return Value::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      return Value::real(d);
    }
    case PLIST_STRING: {
      // The pointer form: the copying getter asserts (and aborts) on a
      // string holding a NUL byte, which a damaged binary list can carry.
      uint64_t len = 0;
      const char* s = plist_get_string_ptr(node, &len);
      return Value(s ? std::string(s, len) : std::string());
    }
    case PLIST_DATA: {
      uint64_t len = 0;
      const char* d = plist_get_data_ptr(node, &len);
      Data data;
      if (d) data.bytes.assign(d, d + len);
      return Value(std::move(data));
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Value(Date{sec + usec / 1e6});
    }
    case PLIST_ARRAY: {
      Array a;
      uint32_t n = plist_array_get_size(node);
      a.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto item = fromNode(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        a.push_back(std::move(*item));
      }
      return Value(std::move(a));
    }
    case PLIST_DICT: {
      Dictionary d;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      if (!it) return Value(std::move(d));
      for (;;) {
        char* key = nullptr;
        plist_t val = nullptr;
        plist_dict_next_item(node, it, &key, &val);
        if (!val) {
          std::free(key);
          break;
        }
        auto item = fromNode(val, depth + 1);
        std::string k = key ? key : "";
        std::free(key);
        if (!item) {
          std::free(it);
          return std::nullopt;
        }
        d.insert_or_assign(std::move(k), std::move(*item));
      }
      std::free(it);
      return Value(std::move(d));
    }
    default:
      return std::nullopt;
  }
}

plist_t toNode(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null:
      return nullptr;
    case Value::Type::String:
      return plist_new_string(v.asString()->c_str());
    case Value::Type::Integer:
      return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Value::Type::Real:
      return plist_new_real(*v.asReal());
    case Value::Type::Boolean:
      return plist_new_bool(*v.asBoolean() ? 1 : 0);
    case Value::Type::Data: {
      const auto& b = v.asData()->bytes;
      return plist_new_data(reinterpret_cast<const char*>(b.data()), b.size());
    }
    case Value::Type::Date: {
      double s = v.asDate()->secondsSinceReferenceDate;
      // The writer holds 32-bit seconds: dates beyond its range are clamped.
      if (!(s >= -2147483648.0)) s = -2147483648.0;  // also NaN
      if (s > 2147483647.0) s = 2147483647.0;
      double whole = std::floor(s);
      return plist_new_date(static_cast<int32_t>(whole), static_cast<int32_t>((s - whole) * 1e6));
    }
    case Value::Type::Array: {
      plist_t a = plist_new_array();
      for (const auto& item : *v.asArray())
        if (plist_t n = toNode(item)) plist_array_append_item(a, n);
      return a;
    }
    case Value::Type::Dictionary: {
      plist_t d = plist_new_dict();
      for (const auto& [k, item] : *v.asDictionary())
        if (plist_t n = toNode(item)) plist_dict_set_item(d, k.c_str(), n);
      return d;
    }
  }
  return nullptr;
}

// Strings inside collections are quoted unless made only of characters that
// the description form leaves bare.
bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-')
      continue;
    if (c >= 0x80) continue;
    return true;
  }
  return false;
}

void appendQuoted(std::string& out, const std::string& s) {
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
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

std::uint64_t readBigEndian(const unsigned char* p, size_t size) {
  std::uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) v = v << 8 | p[i];
  return v;
}

// libplist aborts the process (an assertion) when it reads a dictionary key
// that holds a NUL character, which a damaged binary list can carry. Such a
// list is refused before it is parsed: no real setting holds a NUL. Only the
// string objects of the object table are looked at; any other damage is left
// to libplist, which refuses it. Lists crafted to make the scan slow (many
// objects overlapping one long string) are refused as well.
bool binaryListHoldsNulCharacter(std::string_view list) {
  const auto* p = reinterpret_cast<const unsigned char*>(list.data());
  const size_t n = list.size();
  if (n < 8 + 32) return false;
  const unsigned char* trailer = p + n - 32;
  const size_t offsetSize = trailer[6];
  const std::uint64_t objects = readBigEndian(trailer + 8, 8);
  const std::uint64_t table = readBigEndian(trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || table >= n || objects > (n - table) / offsetSize) return false;
  std::uint64_t budget = 64u << 20;  // bytes scanned at most
  for (std::uint64_t i = 0; i < objects; ++i) {
    std::uint64_t at = readBigEndian(p + table + i * offsetSize, offsetSize);
    if (at >= n) continue;
    const unsigned type = p[at] >> 4;
    std::uint64_t count = p[at] & 0xF;
    size_t pos = static_cast<size_t>(at) + 1;
    if (type != 5 && type != 6) continue;  // ASCII and UTF-16 strings
    if (count == 0xF) {
      if (pos >= n || (p[pos] >> 4) != 1) continue;
      const size_t intSize = size_t{1} << (p[pos] & 0xF);
      if (intSize > 8 || pos + 1 + intSize > n) continue;
      count = readBigEndian(p + pos + 1, intSize);
      pos += 1 + intSize;
    }
    const std::uint64_t unit = type == 5 ? 1 : 2;
    if (count > n || pos + count * unit > n) continue;
    if (count * unit > budget) return true;
    budget -= count * unit;
    for (std::uint64_t k = 0; k < count; ++k) {
      const unsigned char* c = p + pos + k * unit;
      if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
    }
  }
  return false;
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
      if (nested && needsQuotes(*asString()))
        appendQuoted(out, *asString());
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
    case Type::Data: {
      static const char* hex = "0123456789abcdef";
      out += '<';
      const auto& b = asData()->bytes;
      for (size_t i = 0; i < b.size(); ++i) {
        if (i && i % 4 == 0) out += ' ';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 15];
      }
      out += '>';
      break;
    }
    case Type::Date: {
      // 978307200 is the Unix time of the property-list epoch.
      double seconds = asDate()->secondsSinceReferenceDate;
      if (!(seconds > -1e12)) seconds = -1e12;  // keeps the conversion defined; also NaN
      if (seconds > 1e12) seconds = 1e12;
      std::time_t t = static_cast<std::time_t>(std::floor(seconds)) + 978307200;
      std::tm tm{};
      gmtime_r(&t, &tm);
      char buf[64];
      std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
      out += buf;
      break;
    }
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
        if (needsQuotes(k))
          appendQuoted(out, k);
        else
          out += k;
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
  if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  plist_t root = nullptr;
  const auto len = static_cast<uint32_t>(bytes.size());
  if (plist_is_binary(bytes.data(), len)) {
    if (binaryListHoldsNulCharacter(bytes)) return std::nullopt;
    plist_from_bin(bytes.data(), len, &root);
  } else {
    plist_from_xml(bytes.data(), len, &root);
  }
  PlistPtr owner(root);
  return fromNode(root, 0);
}

std::optional<Value> Value::readFile(const std::string& path) {
  std::optional<std::string> bytes = FileManager().contentsOfRegularFile(path);
  if (!bytes) return std::nullopt;
  return parse(*bytes);
}

std::string Value::toXML() const {
  PlistPtr node(toNode(*this));
  if (!node) return {};
  char* xml = nullptr;
  uint32_t len = 0;
  plist_to_xml(node.get(), &xml, &len);
  std::string out(xml ? xml : "", len);
  std::free(xml);
  return out;
}

std::string Value::toBinary() const {
  PlistPtr node(toNode(*this));
  if (!node) return {};
  char* bin = nullptr;
  uint32_t len = 0;
  plist_to_bin(node.get(), &bin, &len);
  std::string out(bin ? bin : "", len);
  std::free(bin);
  return out;
}

bool Value::operator==(const Value& other) const {
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Null: return true;
    case Type::String: return *asString() == *other.asString();
    case Type::Integer: return *asInteger() == *other.asInteger();
    case Type::Real: return *asReal() == *other.asReal();
    case Type::Boolean: return *asBoolean() == *other.asBoolean();
    case Type::Data: return asData()->bytes == other.asData()->bytes;
    case Type::Date:
      return asDate()->secondsSinceReferenceDate == other.asDate()->secondsSinceReferenceDate;
    case Type::Array: return *asArray() == *other.asArray();
    case Type::Dictionary: return *asDictionary() == *other.asDictionary();
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
