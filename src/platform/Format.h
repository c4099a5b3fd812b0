// The format language of log lines and messages: printf conversions plus
// "%@" (an object's description; an absent value prints "(null)") and the
// positional forms ("%1$@"). Arguments are checked at run time against their
// conversion: a mismatch prints "(bad format)" instead of undefined behaviour.
// Thread-safe; never throws for a bad format.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Value.h"

namespace platform {

// One argument of a format call, converted from the caller's value.
class FormatArg {
 public:
  enum class Kind { Signed, Unsigned, Real, Pointer, Text, Object };

  FormatArg(const char* s) : kind_(Kind::Text), null_(s == nullptr), text_(s ? s : "(null)") {}
  FormatArg(char* s) : FormatArg(static_cast<const char*>(s)) {}
  FormatArg(const std::string& s) : kind_(Kind::Text), text_(s) {}
  FormatArg(std::string_view s) : kind_(Kind::Text), text_(s) {}
  FormatArg(const std::optional<std::string>& s) : kind_(Kind::Text), null_(!s), text_(s ? *s : "(null)") {}
  FormatArg(bool b) : kind_(Kind::Signed), i_(b ? 1 : 0) {}
  FormatArg(char c) : kind_(Kind::Signed), i_(c) {}
  template <std::signed_integral T>
  FormatArg(T v) : kind_(Kind::Signed), i_(static_cast<std::int64_t>(v)) {}
  template <std::unsigned_integral T>
  requires(!std::same_as<T, bool>) FormatArg(T v)
      : kind_(Kind::Unsigned), u_(static_cast<std::uint64_t>(v)) {}
  FormatArg(double d) : kind_(Kind::Real), d_(d) {}
  FormatArg(float d) : kind_(Kind::Real), d_(d) {}
  FormatArg(const void* p) : kind_(Kind::Pointer), p_(p) {}
  FormatArg(std::nullptr_t) : kind_(Kind::Pointer), p_(nullptr) {}
  template <typename R, typename... A>
  FormatArg(R (*f)(A...)) : kind_(Kind::Pointer), p_(reinterpret_cast<const void*>(f)) {}
  FormatArg(const Value& v) : kind_(Kind::Object), null_(v.isNull()), text_(v.description()) {}
  FormatArg(const Value* v) : kind_(Kind::Object), null_(!v), text_(v ? v->description() : "(null)") {}
  FormatArg(const std::optional<Value>& v)
      : kind_(Kind::Object), null_(!v), text_(v ? v->description() : "(null)") {}
  FormatArg(const std::vector<std::string>& list);
  // Any object with a description() member, such as exceptions.
  template <typename T>
  requires requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
  } &&(!std::same_as<T, Value>)FormatArg(const T& object) : kind_(Kind::Object), text_(object.description()) {
  }

  Kind kind() const { return kind_; }
  bool isNull() const { return null_; }
  const std::string& text() const { return text_; }
  std::int64_t asSigned() const { return i_; }
  std::uint64_t asUnsigned() const { return u_; }
  double asReal() const { return d_; }
  const void* asPointer() const { return p_; }

 private:
  Kind kind_;
  bool null_ = false;
  std::string text_;
  std::int64_t i_ = 0;
  std::uint64_t u_ = 0;
  double d_ = 0;
  const void* p_ = nullptr;
};

// Formats with an explicit argument list (used for texts whose format comes
// from a strings table at run time).
std::string formatList(std::string_view format, const std::vector<FormatArg>& args);

// The name a log line gives its routine: "Class::operation", or a free
// function's name, from a full C++ signature such as __PRETTY_FUNCTION__
// gives ("static std::shared_ptr<platform::Bundle> platform::Bundle::open(const
// std::string&)" becomes "Bundle::open"). Namespaces, the return type, the
// parameters and the parts of lambdas are left out. A text that is no
// signature is returned unchanged.
std::string routineName(std::string_view signature);

template <typename... A>
std::string format(std::string_view fmt, const A&... args) {
  return formatList(fmt, std::vector<FormatArg>{FormatArg(args)...});
}

// The system's text for an error number as a clause inside a sentence,
// first letter in lower case: "no space left on device".
std::string errorInWords(int errorNumber);

}  // namespace platform
