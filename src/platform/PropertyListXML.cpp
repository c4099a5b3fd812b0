// XML property lists: the reader (over pugixml's document tree) and the writer.
#include <locale.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>

#include "platform/PropertyList.h"
#include "platform/Text.h"

namespace platform::propertylist {

namespace {

constexpr std::string_view kPlist = "plist";
constexpr std::string_view kKey = "key";
constexpr std::string_view kString = "string";
constexpr std::string_view kInteger = "integer";
constexpr std::string_view kReal = "real";
constexpr std::string_view kTrue = "true";
constexpr std::string_view kFalse = "false";
constexpr std::string_view kDate = "date";
constexpr std::string_view kData = "data";
constexpr std::string_view kArray = "array";
constexpr std::string_view kDict = "dict";

// Seconds from the Unix epoch to the property-list epoch (2001-01-01 UTC).
constexpr std::int64_t kReferenceDateUnixTime = 978307200;

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool allSpace(std::string_view s) {
  for (char c : s)
    if (!isSpace(c)) return false;
  return true;
}

// Reading ---------------------------------------------------------------

// Appends character data with its references decoded: the five predefined
// entities and numeric character references. False on any other entity
// (documents declare none that a list may use) and on references to
// characters XML cannot hold (NUL, surrogates, beyond U+10FFFF).
bool appendDecoded(std::string& out, std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    const size_t semicolon = text.find(';', amp + 1);
    if (semicolon == std::string_view::npos) return false;
    const std::string_view name = text.substr(amp + 1, semicolon - amp - 1);
    if (name == "amp") {
      out += '&';
    } else if (name == "lt") {
      out += '<';
    } else if (name == "gt") {
      out += '>';
    } else if (name == "quot") {
      out += '"';
    } else if (name == "apos") {
      out += '\'';
    } else if (name.size() >= 2 && name[0] == '#') {
      const bool hex = name[1] == 'x';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      if (digits.empty()) return false;
      char32_t c = 0;
      for (char d : digits) {
        int v;
        if (d >= '0' && d <= '9')
          v = d - '0';
        else if (hex && d >= 'a' && d <= 'f')
          v = d - 'a' + 10;
        else if (hex && d >= 'A' && d <= 'F')
          v = d - 'A' + 10;
        else
          return false;
        c = c * (hex ? 16 : 10) + static_cast<char32_t>(v);
        if (c > 0x10FFFF) return false;
      }
      if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) return false;
      appendUtf8(out, c);
    } else {
      return false;
    }
    i = semicolon + 1;
  }
  return true;
}

// The text of an element: its character data and CDATA sections in order;
// absent when it holds an element or a reference that cannot be decoded.
std::optional<std::string> textOf(pugi::xml_node element) {
  std::string out;
  for (pugi::xml_node child : element.children()) {
    if (child.type() == pugi::node_pcdata) {
      if (!appendDecoded(out, child.value())) return std::nullopt;
    } else if (child.type() == pugi::node_cdata) {
      out += child.value();
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// Integers: leading white space, an optional sign (white space may follow
// it), then decimal digits or 0x and hexadecimal digits; whatever follows the
// digits is ignored and no digits at all read as 0. Magnitudes up to 2^64-1
// keep their low 64 bits, as in binary lists; larger ones saturate.
std::int64_t integerFrom(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && isSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
    negative = s[i] == '-';
    ++i;
    while (i < s.size() && isSpace(s[i])) ++i;
  }
  unsigned base = 10;
  if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  std::uint64_t magnitude = 0;
  bool saturated = false;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      break;
    if (magnitude > (UINT64_MAX - digit) / base) saturated = true;
    magnitude = saturated ? UINT64_MAX : magnitude * base + digit;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  if (magnitude >= std::uint64_t{1} << 63) return INT64_MIN;
  return -static_cast<std::int64_t>(magnitude);
}

// Reals as strtod reads them in the C locale, whatever locale the process
// runs in (the window toolkit sets the user's); no number at all reads as 0.
double realFrom(const std::string& s) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return cLocale ? strtod_l(s.c_str(), nullptr, cLocale) : std::strtod(s.c_str(), nullptr);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// Dates written YYYY-MM-DDTHH:MM:SSZ, with white space around, the time, the
// Z and a fraction of seconds (ignored, as the format keeps whole seconds)
// optional; an offset (+HH:MM) in place of the Z is applied. Text that is no such date reads as 1970-01-01
// 00:00:00 UTC rather than refusing the whole list: a damaged date, which no setting reads, must not cost the
// settings next to it.
Date dateFrom(std::string_view s) {
  const Date unreadable{-static_cast<double>(kReferenceDateUnixTime)};
  size_t i = 0;
  auto number = [&](size_t maxDigits, std::int64_t& out) {
    const size_t start = i;
    out = 0;
    while (i < s.size() && i - start < maxDigits && s[i] >= '0' && s[i] <= '9')
      out = out * 10 + (s[i++] - '0');
    return i > start;
  };
  auto expect = [&](char c) { return i < s.size() && s[i++] == c; };
  while (i < s.size() && isSpace(s[i])) ++i;
  std::int64_t year, month, day, hour = 0, minute = 0, second = 0;
  if (!number(6, year) || !expect('-') || !number(2, month) || !expect('-') || !number(2, day))
    return unreadable;
  if (i < s.size() && s[i] == 'T') {
    ++i;
    if (!number(2, hour) || !expect(':') || !number(2, minute) || !expect(':') || !number(2, second))
      return unreadable;
    if (i < s.size() && s[i] == '.') {
      ++i;
      while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    }
  }
  std::int64_t offsetMinutes = 0;
  if (i < s.size() && s[i] == 'Z') {
    ++i;
  } else if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    const bool west = s[i++] == '-';
    std::int64_t offsetHours, minutes = 0;
    if (!number(2, offsetHours)) return unreadable;
    if (i < s.size() && s[i] == ':') ++i;
    if (i < s.size() && !isSpace(s[i]) && !number(2, minutes)) return unreadable;
    offsetMinutes = (west ? -1 : 1) * (offsetHours * 60 + minutes);
  }
  while (i < s.size() && isSpace(s[i])) ++i;
  if (i != s.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60)
    return unreadable;
  const std::int64_t days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  const std::int64_t unixTime = days * 86400 + hour * 3600 + minute * 60 + second - offsetMinutes * 60;
  return Date{static_cast<double>(unixTime - kReferenceDateUnixTime)};
}

// Base64 with white space (and any other character outside the alphabet)
// skipped. Padding ends a group; bits left over at the end are dropped.
Data dataFrom(std::string_view s) {
  Data data;
  data.bytes.reserve(s.size() * 3 / 4);
  std::uint32_t bits = 0;
  int bitCount = 0;
  for (char c : s) {
    if (c == '=') {
      bits = 0;
      bitCount = 0;
      continue;
    }
    const size_t v = kBase64Alphabet.find(c);
    if (v == std::string_view::npos) continue;
    bits = (bits << 6 | static_cast<std::uint32_t>(v)) & 0xFFFFFF;
    bitCount += 6;
    if (bitCount >= 8) {
      bitCount -= 8;
      data.bytes.push_back(static_cast<std::uint8_t>(bits >> bitCount));
    }
  }
  return data;
}

std::optional<Value> valueOf(pugi::xml_node element, int depth);

std::optional<Value> arrayOf(pugi::xml_node element, int depth) {
  Array array;
  for (pugi::xml_node child : element.children()) {
    if (child.type() != pugi::node_element) {
      if (!allSpace(child.value())) return std::nullopt;
      continue;
    }
    auto item = valueOf(child, depth + 1);
    if (!item) return std::nullopt;
    array.push_back(std::move(*item));
  }
  return Value(std::move(array));
}

// Keys and values alternate; a later key replaces an earlier one, and a key
// left without a value at the end is dropped.
std::optional<Value> dictionaryOf(pugi::xml_node element, int depth) {
  Dictionary dictionary;
  std::optional<std::string> key;
  for (pugi::xml_node child : element.children()) {
    if (child.type() != pugi::node_element) {
      if (!allSpace(child.value())) return std::nullopt;
      continue;
    }
    const bool isKey = child.name() == kKey;
    if (!key) {
      if (!isKey || !(key = textOf(child))) return std::nullopt;
      continue;
    }
    if (isKey) return std::nullopt;
    auto item = valueOf(child, depth + 1);
    if (!item) return std::nullopt;
    dictionary.insert_or_assign(std::move(*key), std::move(*item));
    key.reset();
  }
  return Value(std::move(dictionary));
}

std::optional<Value> valueOf(pugi::xml_node element, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  const std::string_view name = element.name();
  if (name == kDict) return dictionaryOf(element, depth);
  if (name == kArray) return arrayOf(element, depth);
  if (name == kTrue) return Value::boolean(true);
  if (name == kFalse) return Value::boolean(false);
  if (name != kString && name != kKey && name != kInteger && name != kReal && name != kDate && name != kData)
    return std::nullopt;
  auto text = textOf(element);
  if (!text) return std::nullopt;
  if (name == kInteger) return Value::integer(integerFrom(*text));
  if (name == kReal) return Value::real(realFrom(*text));
  if (name == kDate) return Value(dateFrom(*text));
  if (name == kData) return Value(dataFrom(*text));
  return Value(std::move(*text));
}

// Writing ---------------------------------------------------------------

void appendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\t':
      case '\n':
        out += c;
        break;
      default:
        // Control characters (a carriage return included, which a reader
        // would turn into a line feed) as references.
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "&#" + std::to_string(static_cast<int>(c)) + ';';
        } else {
          out += c;
        }
    }
  }
}

std::string formatDate(double secondsSinceReferenceDate) {
  // Years 1 to 9999: what the four-digit form can hold.
  constexpr double kEarliest = -63113904000.0, kLatest = 252423993599.0;
  double s = secondsSinceReferenceDate;
  if (!(s >= kEarliest)) s = std::isnan(s) ? 0 : kEarliest;
  if (s > kLatest) s = kLatest;
  const std::int64_t unixTime = static_cast<std::int64_t>(std::floor(s)) + kReferenceDateUnixTime;
  std::int64_t days = unixTime / 86400, rest = unixTime % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // The civil date of a day count (the inverse of daysFromCivil).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(year),
                month, day, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return buf;
}

std::string formatReal(double d) {
  char buf[64];
  auto [end, error] = std::to_chars(buf, buf + sizeof buf, d);
  return error == std::errc() ? std::string(buf, end) : std::to_string(d);
}

void appendBase64(std::string& out, const std::vector<std::uint8_t>& bytes, const std::string& indent) {
  constexpr size_t kLine = 68;  // characters of base64 per line
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    std::uint32_t group = static_cast<std::uint32_t>(bytes[i]) << 16;
    if (n > 1) group |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (n > 2) group |= bytes[i + 2];
    for (size_t k = 0; k < 4; ++k) encoded += k <= n ? kBase64Alphabet[group >> (18 - 6 * k) & 0x3F] : '=';
  }
  for (size_t i = 0; i < encoded.size(); i += kLine) {
    out += indent;
    out.append(encoded, i, kLine);
    out += '\n';
  }
}

void appendElement(std::string& out, const Value& value, int depth);

// An array or dictionary element: "<name/>" when it has no items, otherwise
// its items, written one level deeper, between "<name>" and "</name>".
template <typename Items, typename AppendItem>
void appendCollection(std::string& out, std::string_view name, const Items& items, int depth,
                      AppendItem appendItem) {
  const std::string indent(static_cast<size_t>(depth), '\t');
  out += indent + '<';
  out += name;
  if (items.empty()) {
    out += "/>\n";
    return;
  }
  out += ">\n";
  for (const auto& item : items) appendItem(item);
  out += indent + "</";
  out += name;
  out += ">\n";
}

void appendArray(std::string& out, const Array& items, int depth) {
  appendCollection(out, kArray, items, depth,
                   [&](const Value& item) { appendElement(out, item, depth + 1); });
}

// Entries whose value is null have no element form and are left out.
void appendDictionary(std::string& out, const Dictionary& entries, int depth) {
  const std::string keyIndent(static_cast<size_t>(depth + 1), '\t');
  appendCollection(out, kDict, entries, depth, [&](const auto& entry) {
    if (entry.second.isNull()) return;
    out += keyIndent + "<key>";
    appendEscaped(out, entry.first);
    out += "</key>\n";
    appendElement(out, entry.second, depth + 1);
  });
}

void appendElement(std::string& out, const Value& value, int depth) {
  const std::string indent(static_cast<size_t>(depth), '\t');
  auto simple = [&](std::string_view name, const std::string& text) {
    out += indent + '<';
    out += name;
    out += '>' + text + "</";
    out += name;
    out += ">\n";
  };
  switch (value.type()) {
    case Value::Type::Null:
      break;
    case Value::Type::String: {
      std::string text;
      appendEscaped(text, *value.asString());
      simple(kString, text);
      break;
    }
    case Value::Type::Integer:
      simple(kInteger, std::to_string(*value.asInteger()));
      break;
    case Value::Type::Real:
      simple(kReal, formatReal(*value.asReal()));
      break;
    case Value::Type::Boolean:
      out += indent + (*value.asBoolean() ? "<true/>\n" : "<false/>\n");
      break;
    case Value::Type::Date:
      simple(kDate, formatDate(value.asDate()->secondsSinceReferenceDate));
      break;
    case Value::Type::Data:
      out += indent + "<data>\n";
      appendBase64(out, value.asData()->bytes, indent);
      out += indent + "</data>\n";
      break;
    case Value::Type::Array:
      appendArray(out, *value.asArray(), depth);
      break;
    case Value::Type::Dictionary:
      appendDictionary(out, *value.asDictionary(), depth);
      break;
  }
}

}  // namespace

std::optional<Value> readXML(std::string_view bytes) {
  // No XML document holds a NUL byte; refusing them here also keeps
  // pugixml's NUL-terminated texts whole.
  if (bytes.find('\0') != std::string_view::npos) return std::nullopt;
  pugi::xml_document document;
  // White-space-only text is kept (a string may be just blanks); references
  // are decoded by appendDecoded, which refuses the ones pugixml would keep
  // as they are.
  const unsigned options = (pugi::parse_default | pugi::parse_ws_pcdata) & ~pugi::parse_escapes;
  if (!document.load_buffer(bytes.data(), bytes.size(), options, pugi::encoding_utf8)) return std::nullopt;
  const pugi::xml_node root = document.document_element();
  if (!root) return std::nullopt;
  if (root.name() != kPlist) return valueOf(root, 0);
  // The list's value is the first element inside <plist>; text before it is
  // an error, anything after it is ignored.
  for (pugi::xml_node child : root.children()) {
    if (child.type() == pugi::node_element) return valueOf(child, 0);
    if (!allSpace(child.value())) return std::nullopt;
  }
  return std::nullopt;
}

std::string writeXML(const Value& value) {
  if (value.isNull()) return {};
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
  appendElement(out, value, 0);
  out += "</plist>\n";
  return out;
}

}  // namespace platform::propertylist
