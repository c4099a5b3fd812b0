// Strings-table files: the "key" = "value"; form and property-list form.
#include "platform/StringsTable.h"

#include <cctype>
#include <fstream>
#include <iterator>

#include "platform/FileManager.h"
#include "platform/Text.h"
#include "platform/Value.h"

namespace platform {

namespace {

// UTF-16 with a byte-order mark to UTF-8; absent on an odd length or a
// broken surrogate pair.
std::optional<std::string> utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  if (bytes.size() % 2) return std::nullopt;
  std::string out;
  out.reserve(bytes.size());
  auto unit = [&](size_t i) -> char32_t {
    auto b0 = static_cast<unsigned char>(bytes[i]), b1 = static_cast<unsigned char>(bytes[i + 1]);
    return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
  };
  for (size_t i = 0; i < bytes.size(); i += 2) {
    char32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 3 >= bytes.size()) return std::nullopt;
      char32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    appendUtf8(out, c);
  }
  return out;
}

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::optional<StringsTable> parse() {
    StringsTable table;
    for (;;) {
      if (!skipSpaceAndComments()) return std::nullopt;
      if (i_ >= s_.size()) return table;
      auto key = token();
      if (!key) return std::nullopt;
      if (!skipSpaceAndComments()) return std::nullopt;
      std::string value = *key;  // "key"; alone means the key is its own value
      if (i_ < s_.size() && s_[i_] == '=') {
        ++i_;
        if (!skipSpaceAndComments()) return std::nullopt;
        auto v = token();
        if (!v) return std::nullopt;
        value = std::move(*v);
        if (!skipSpaceAndComments()) return std::nullopt;
      }
      if (i_ >= s_.size() || s_[i_] != ';') return std::nullopt;
      ++i_;
      table.insert_or_assign(std::move(*key), std::move(value));
    }
  }

 private:
  // False on an unterminated block comment.
  bool skipSpaceAndComments() {
    while (i_ < s_.size()) {
      char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
        ++i_;
      } else if (s_.substr(i_, 2) == "//") {
        while (i_ < s_.size() && s_[i_] != '\n') ++i_;
      } else if (s_.substr(i_, 2) == "/*") {
        auto end = s_.find("*/", i_ + 2);
        if (end == std::string_view::npos) return false;
        i_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  static bool plainCharacter(char c) {
    auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '$' || c == '/' || c == ':' || c == '.' || c == '-' ||
           u >= 0x80;
  }

  // One to four hex digits at pos (advanced past them); absent without any.
  std::optional<char32_t> hexQuad(size_t& pos) const {
    char32_t value = 0;
    int digits = 0;
    while (digits < 4 && pos < s_.size() && std::isxdigit(static_cast<unsigned char>(s_[pos]))) {
      char h = static_cast<char>(std::tolower(static_cast<unsigned char>(s_[pos])));
      value = value * 16 + static_cast<char32_t>(h <= '9' ? h - '0' : h - 'a' + 10);
      ++pos;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    return value;
  }

  std::optional<std::string> token() {
    if (i_ >= s_.size()) return std::nullopt;
    if (s_[i_] != '"') {
      size_t start = i_;
      while (i_ < s_.size() && plainCharacter(s_[i_])) ++i_;
      if (i_ == start) return std::nullopt;
      return std::string(s_.substr(start, i_ - start));
    }
    ++i_;
    std::string out;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return out;
      if (c != '\\')
        out += c;
      else if (!appendEscape(out))
        return std::nullopt;
    }
    return std::nullopt;
  }

  // The escape after a backslash, at i_ (advanced past it), appended to out;
  // false when the text ends there or a \U escape has no hex digit.
  bool appendEscape(std::string& out) {
    static constexpr std::string_view kLetters = "ntrabfv";
    static constexpr std::string_view kCharacters = "\n\t\r\a\b\f\v";
    if (i_ >= s_.size()) return false;
    char e = s_[i_++];
    if (size_t at = kLetters.find(e); at != std::string_view::npos) {
      out += kCharacters[at];
    } else if (e == 'U' || e == 'u') {
      return appendUnicodeEscape(out);
    } else if (e >= '0' && e <= '7') {
      int v = e - '0';
      for (int k = 0; k < 2 && i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '7'; ++k)
        v = v * 8 + (s_[i_++] - '0');
      appendUtf8(out, static_cast<char32_t>(v));
    } else {
      out += e;  // \" \\ \' and any other escaped character stand for themselves
    }
    return true;
  }

  // The hex digits of a \U escape at i_; a high surrogate followed by an
  // escaped low one forms one character, a lone surrogate becomes U+FFFD.
  bool appendUnicodeEscape(std::string& out) {
    auto c32 = hexQuad(i_);
    if (!c32) return false;
    if (*c32 >= 0xD800 && *c32 <= 0xDBFF && (s_.substr(i_, 2) == "\\U" || s_.substr(i_, 2) == "\\u")) {
      size_t after = i_ + 2;
      auto low = hexQuad(after);
      if (low && *low >= 0xDC00 && *low <= 0xDFFF) {
        *c32 = 0x10000 + ((*c32 - 0xD800) << 10) + (*low - 0xDC00);
        i_ = after;
      }
    }
    if (*c32 >= 0xD800 && *c32 <= 0xDFFF) *c32 = 0xFFFD;
    appendUtf8(out, *c32);
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::optional<StringsTable> parseStringsTable(std::string_view bytes) {
  std::string text;
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    auto t = utf16ToUtf8(bytes.substr(2), true);
    if (!t) return std::nullopt;
    text = std::move(*t);
  } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
             static_cast<unsigned char>(bytes[1]) == 0xFE) {
    auto t = utf16ToUtf8(bytes.substr(2), false);
    if (!t) return std::nullopt;
    text = std::move(*t);
  } else if (bytes.size() >= 2 && bytes.size() % 2 == 0 && (bytes[0] == 0) != (bytes[1] == 0)) {
    // UTF-16 written without a byte-order mark: a text of these files starts
    // with an ASCII character, so the zero byte tells the order.
    auto t = utf16ToUtf8(bytes, bytes[0] == 0);
    if (!t) return std::nullopt;
    text = std::move(*t);
  } else {
    if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    text = std::string(bytes);
  }
  // Property-list strings files: a dictionary of strings.
  std::string_view head = text;
  while (!head.empty() && std::isspace(static_cast<unsigned char>(head.front()))) head.remove_prefix(1);
  if (head.substr(0, 6) == "bplist" || head.substr(0, 5) == "<?xml" || head.substr(0, 6) == "<plist") {
    auto v = Value::parse(head.substr(0, 6) == "bplist" ? std::string_view(bytes) : std::string_view(text));
    if (!v || !v->asDictionary()) return std::nullopt;
    StringsTable table;
    for (const auto& [k, item] : *v->asDictionary())
      if (item.isString()) table.emplace(k, *item.asString());
    return table;
  }
  return Parser(text).parse();
}

std::optional<StringsTable> readStringsTable(const std::string& path) {
  std::optional<std::string> bytes = FileManager().contentsOfRegularFile(path);
  if (!bytes) return std::nullopt;
  return parseStringsTable(*bytes);
}

}  // namespace platform
