// Text rules shared by the units, on utf8proc's decoding and categories.
#include "platform/Text.h"

#include <utf8proc.h>

#include <algorithm>
#include <limits>

namespace platform {

namespace {

constexpr std::int64_t kMax64 = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin64 = std::numeric_limits<std::int64_t>::min();

// Accumulates one more decimal digit, saturating at the 64-bit limits; a
// negative number grows downwards, so its limit is reached exactly.
std::int64_t appendDigit(std::int64_t value, std::int64_t digit, bool negative) {
  if (negative) {
    if (value < (kMin64 + digit) / 10) return kMin64;
    return value * 10 - digit;
  }
  if (value > (kMax64 - digit) / 10) return kMax64;
  return value * 10 + digit;
}

bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool inSet(std::int32_t codePoint, WhiteSpace set) {
  if (codePoint < 0) return false;
  if (codePoint == '\t') return true;
  utf8proc_category_t category = utf8proc_category(codePoint);
  if (category == UTF8PROC_CATEGORY_ZS) return true;
  if (set == WhiteSpace::blanks) return false;
  return (codePoint >= 0x0A && codePoint <= 0x0D) || codePoint == 0x85 || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

// The value 0 to 9 of a decimal digit. Unicode keeps every run of decimal
// digits as complete sequences from zero to nine, so a digit's value is its
// distance from the start of its run, modulo ten.
std::int64_t digitValue(std::int32_t codePoint) {
  if (codePoint >= '0' && codePoint <= '9') return codePoint - '0';
  if (!isDecimalDigit(codePoint)) return 0;
  std::int64_t before = 0;
  while (isDecimalDigit(codePoint - static_cast<std::int32_t>(before) - 1)) ++before;
  return before % 10;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (std::size_t at = 0; at < text.size();) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t n =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

std::string_view withoutByteOrderMark(std::string_view text) {
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());
  return text;
}

Character decodeCharacter(std::string_view text, std::size_t at) {
  utf8proc_int32_t codePoint = -1;
  utf8proc_ssize_t n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + at),
                                        static_cast<utf8proc_ssize_t>(text.size() - at), &codePoint);
  if (n <= 0) return {-1, 1};
  return {codePoint, static_cast<std::size_t>(n)};
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool isDecimalDigit(std::int32_t codePoint) {
  return codePoint >= 0 && utf8proc_category(codePoint) == UTF8PROC_CATEGORY_ND;
}

bool isSeparatorOrPunctuation(std::int32_t codePoint) {
  if (codePoint < 0) return false;
  switch (utf8proc_category(codePoint)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_PC:
    case UTF8PROC_CATEGORY_PD:
    case UTF8PROC_CATEGORY_PS:
    case UTF8PROC_CATEGORY_PE:
    case UTF8PROC_CATEGORY_PI:
    case UTF8PROC_CATEGORY_PF:
    case UTF8PROC_CATEGORY_PO:
      return true;
    default:
      return false;
  }
}

std::string trimmed(std::string_view text, WhiteSpace set) {
  std::size_t begin = 0, end = 0;  // end: just past the last character that stays
  bool content = false;
  for (std::size_t at = 0; at < text.size();) {
    Character c = characterAt(text, at);
    if (!inSet(c.codePoint, set)) {
      if (!content) begin = at;
      content = true;
      end = at + c.length;
    }
    at += c.length;
  }
  return content ? std::string(text.substr(begin, end - begin)) : std::string();
}

std::vector<std::string_view> piecesBetween(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find(separator, start)) != std::string_view::npos; start = at + 1)
    pieces.push_back(text.substr(start, at - start));
  pieces.push_back(text.substr(start));
  return pieces;
}

std::vector<std::string_view> linesEndedByCrOrLf(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t at; (at = text.find_first_of("\r\n", start)) != std::string_view::npos; start = at + 1)
    lines.push_back(text.substr(start, at - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

std::optional<std::int64_t> leadingInteger(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && isAsciiSpace(text[at])) ++at;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  if (at == text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
  std::int64_t value = 0;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
    value = appendDigit(value, text[at] - '0', negative);
  return value;
}

std::int32_t leadingInt32(std::string_view text) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(leadingInteger(text).value_or(0),
                                                            std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

std::int64_t valueOfDigits(std::string_view digits) {
  std::int64_t value = 0;
  for (std::size_t at = 0; at < digits.size();) {
    Character c = characterAt(digits, at);
    value = appendDigit(value, digitValue(c.codePoint), false);
    at += c.length;
  }
  return value;
}

}  // namespace platform
