// The printf-like format language with "%@" and positional arguments.
#include "platform/Format.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

constexpr std::string_view kBad = "(bad format)";

struct Conversion {
  std::string flags;
  std::string width;
  std::string precision;  // including the '.'
  char type = 0;
};

// One conversion printed by snprintf with the given length modifier.
template <typename T>
std::string printed(const Conversion& conversion, T value, const char* length) {
  std::string full =
      "%" + conversion.flags + conversion.width + conversion.precision + length + conversion.type;
  char buf[512];
  int n = std::snprintf(buf, sizeof buf, full.c_str(), value);
  if (n < 0) return std::string(kBad);
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), full.c_str(), value);
  big.resize(static_cast<size_t>(n));
  return big;
}

// A text cut to the precision of "%s" and padded to the width, on the side
// the "-" flag says.
std::string padded(const Conversion& conversion, std::string text) {
  if (!conversion.precision.empty() && conversion.type == 's') {
    size_t p = static_cast<size_t>(std::atoi(conversion.precision.c_str() + 1));
    if (text.size() > p) text.resize(p);
  }
  size_t w = conversion.width.empty() ? 0 : static_cast<size_t>(std::atoi(conversion.width.c_str()));
  if (text.size() >= w) return text;
  if (conversion.flags.find('-') != std::string::npos) return text + std::string(w - text.size(), ' ');
  return std::string(w - text.size(), ' ') + text;
}

// "%@": the argument's description; numbers and pointers given for it print
// as their description too.
std::string described(const Conversion& conversion, const FormatArg& arg) {
  switch (arg.kind()) {
    case FormatArg::Kind::Signed:
      return padded(conversion, std::to_string(arg.asSigned()));
    case FormatArg::Kind::Unsigned:
      return padded(conversion, std::to_string(arg.asUnsigned()));
    case FormatArg::Kind::Real:
      return padded(conversion, Value::real(arg.asReal()).description());
    case FormatArg::Kind::Pointer: {
      char p[32];
      std::snprintf(p, sizeof p, "%p", arg.asPointer());
      return padded(conversion, p);
    }
    default:
      return padded(conversion, arg.text());
  }
}

bool isInteger(const FormatArg& arg) {
  return arg.kind() == FormatArg::Kind::Signed || arg.kind() == FormatArg::Kind::Unsigned;
}

// Renders one conversion with the argument's own 64-bit value; an argument
// of another kind than the conversion takes is "(bad format)".
std::string render(const Conversion& conversion, const FormatArg& arg) {
  switch (conversion.type) {
    case '@':
      return described(conversion, arg);
    case 's':
      if (arg.kind() != FormatArg::Kind::Text && arg.kind() != FormatArg::Kind::Object) break;
      return padded(conversion, arg.text());
    case 'd':
    case 'i':
      if (arg.kind() == FormatArg::Kind::Signed)
        return printed(conversion, static_cast<long long>(arg.asSigned()), "ll");
      if (arg.kind() == FormatArg::Kind::Unsigned)
        return printed(conversion, static_cast<long long>(arg.asUnsigned()), "ll");
      break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
      if (arg.kind() == FormatArg::Kind::Unsigned)
        return printed(conversion, static_cast<unsigned long long>(arg.asUnsigned()), "ll");
      if (arg.kind() == FormatArg::Kind::Signed)
        return printed(conversion, static_cast<unsigned long long>(arg.asSigned()), "ll");
      break;
    case 'c':
      if (!isInteger(arg)) break;
      return printed(conversion,
                     static_cast<int>(arg.asSigned() | static_cast<std::int64_t>(arg.asUnsigned())), "");
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      if (arg.kind() == FormatArg::Kind::Real) return printed(conversion, arg.asReal(), "");
      break;
    case 'p':
      if (arg.kind() == FormatArg::Kind::Pointer) return printed(conversion, arg.asPointer(), "");
      break;
  }
  return std::string(kBad);
}

// Splits a qualified name at its "::" outside template arguments.
std::vector<std::string_view> qualifiedParts(std::string_view name) {
  std::vector<std::string_view> parts;
  int depth = 0;
  size_t start = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>' && depth > 0) --depth;
    if (depth == 0 && name.compare(i, 2, "::") == 0) {
      parts.push_back(name.substr(start, i - start));
      start = i + 2;
      ++i;
    }
  }
  parts.push_back(name.substr(start));
  return parts;
}

std::string_view withoutTemplateArguments(std::string_view part) {
  size_t open = part.find('<');
  // "operator<" and its kin keep their angle brackets.
  if (open == std::string_view::npos || part.starts_with("operator")) return part;
  return part.substr(0, open);
}

bool isClassName(std::string_view part) { return !part.empty() && part[0] >= 'A' && part[0] <= 'Z'; }

}  // namespace

std::string routineName(std::string_view signature) {
  // The routine's name ends at the first "(" outside template arguments
  // (after "operator()" itself) and starts after the last blank before it
  // outside template arguments (the return type and "static" come first).
  int depth = 0;
  size_t nameStart = 0, paren = std::string_view::npos;
  for (size_t i = 0; i < signature.size(); ++i) {
    char c = signature[i];
    if (c == '<') ++depth;
    if (c == '>' && depth > 0) --depth;
    if (depth > 0) continue;
    // clang writes an unnamed namespace or class as "(anonymous namespace)":
    // one part of the qualified name, blank and parentheses included.
    if (c == '(' && signature.compare(i, 11, "(anonymous ") == 0) {
      size_t close = signature.find(')', i);
      if (close != std::string_view::npos) {
        i = close;
        continue;
      }
    }
    if (c == ' ') nameStart = i + 1;
    if (c == '(') {
      if (signature.substr(0, i).ends_with("operator") && signature.compare(i, 2, "()") == 0) {
        ++i;
        continue;
      }
      paren = i;
      break;
    }
  }
  if (paren == std::string_view::npos || paren <= nameStart) return std::string(signature);
  std::vector<std::string_view> parts = qualifiedParts(signature.substr(nameStart, paren - nameStart));
  std::string name(withoutTemplateArguments(parts.back()));
  if (parts.size() >= 2 && isClassName(parts[parts.size() - 2]))
    name = std::string(withoutTemplateArguments(parts[parts.size() - 2])) + "::" + name;
  return name;
}

FormatArg::FormatArg(const std::vector<std::string>& list) : kind_(Kind::Object) {
  Array a;
  a.reserve(list.size());
  for (const auto& s : list) a.emplace_back(s);
  text_ = Value(std::move(a)).description();
}

std::string formatList(std::string_view fmt, const std::vector<FormatArg>& args) {
  std::string out;
  out.reserve(fmt.size() + 32);
  size_t next = 0;  // next sequential argument
  size_t i = 0;
  while (i < fmt.size()) {
    char c = fmt[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // Positional form: digits followed by '$'.
    std::optional<size_t> position;
    size_t j = i;
    while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') ++j;
    if (j > i && j < fmt.size() && fmt[j] == '$') {
      // Formats come from strings tables too: a huge position must not
      // overflow, it is simply out of range.
      size_t value = 0;
      for (size_t k = i; k < j; ++k)
        value = std::min<size_t>(value * 10 + static_cast<size_t>(fmt[k] - '0'), 1u << 20);
      position = value;
      i = j + 1;
    }
    Conversion conversion;
    while (i < fmt.size() && std::string_view("-+ #0'").find(fmt[i]) != std::string_view::npos)
      conversion.flags += fmt[i++];
    conversion.flags.erase(std::remove(conversion.flags.begin(), conversion.flags.end(), '\''),
                           conversion.flags.end());
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9' && conversion.width.size() < 4)
      conversion.width += fmt[i++];
    if (i < fmt.size() && fmt[i] == '.') {
      conversion.precision += fmt[i++];
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9' && conversion.precision.size() < 5)
        conversion.precision += fmt[i++];
    }
    while (i < fmt.size() && std::string_view("hlqLjzt").find(fmt[i]) != std::string_view::npos) ++i;
    if (i >= fmt.size()) {
      out += fmt.substr(start);
      break;
    }
    conversion.type = fmt[i++];
    size_t index = position ? (*position == 0 ? args.size() : *position - 1) : next++;
    if (index >= args.size()) {
      out += kBad;
      continue;
    }
    out += render(conversion, args[index]);
  }
  return out;
}

std::string errorInWords(int errorNumber) {
  std::string text = std::strerror(errorNumber);
  // "No space left on device", but not an abbreviation such as "RPC ...".
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      !std::isupper(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace platform
