// Fuzz target: both property-list readers (XML, and binary for inputs that
// start with "bplist00"), the description form of whatever they read, and
// both writers: what was read must read back from either writer's output,
// and from a binary list unchanged when its text is UTF-8.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Value.h"

namespace {

using platform::Value;

bool isUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t need;
    char32_t minimum;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1, minimum = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2, minimum = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3, minimum = 0x10000;
    } else {
      return false;
    }
    if (s.size() - i <= need) return false;
    char32_t c = b & (0x3F >> need);
    for (size_t k = 1; k <= need; ++k) {
      const auto next = static_cast<unsigned char>(s[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = c << 6 | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
    i += need + 1;
  }
  return true;
}

bool textIsUtf8(const Value& v) {
  if (const std::string* s = v.asString()) return isUtf8(*s);
  if (const platform::Array* a = v.asArray()) {
    for (const Value& item : *a)
      if (!textIsUtf8(item)) return false;
  }
  if (const platform::Dictionary* d = v.asDictionary()) {
    for (const auto& [key, item] : *d)
      if (!isUtf8(key) || !textIsUtf8(item)) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto value = Value::parse(bytes);
  if (!value) return 0;
  const std::string description = value->description();
  (void)platform::truthValue(value->get("qvr.initialProgress"));
  auto fromBinary = Value::parse(value->toBinary());
  auto fromXML = Value::parse(value->toXML());
  if (!fromBinary || !fromXML) __builtin_trap();
  // Binary lists hold every number and date exactly ("%@" shows NaN alike).
  if (textIsUtf8(*value) && fromBinary->description() != description) __builtin_trap();
  return 0;
}
