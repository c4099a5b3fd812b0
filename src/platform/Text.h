// Text rules the units share: UTF-8 checks and decoding, the Unicode classes
// the version reading needs, trimming with named sets of white space, the two
// ways settings texts are cut into lines, and the reading of a leading
// integer. Each rule lives here once, so that files read by different units
// agree. Stateless and callable from any thread; nothing here fails: a
// malformed text is an ordinary outcome, stated for each function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// UTF-8 -------------------------------------------------------------------------

// True when every byte belongs to a well-formed UTF-8 sequence of a Unicode
// scalar value (no surrogates, no overlong forms, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The byte-order mark an editor may put at the start of a UTF-8 file.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// The text without a leading byte-order mark (it is no part of the text).
std::string_view withoutByteOrderMark(std::string_view text);

// One character of a UTF-8 text: its code point and its length in bytes. A
// byte that does not start a well-formed sequence is a character of its own,
// with code point -1 and length 1.
struct Character {
  std::int32_t codePoint;
  std::size_t length;
};
Character decodeCharacter(std::string_view text, std::size_t at);
// The character starting at byte at (< text.size()); ASCII needs no decoding.
inline Character characterAt(std::string_view text, std::size_t at) {
  auto byte = static_cast<unsigned char>(text[at]);
  if (byte < 0x80) return {byte, 1};
  return decodeCharacter(text, at);
}

// Appends the UTF-8 form of a code point (a Unicode scalar value; callers
// replace or refuse surrogates themselves).
void appendUtf8(std::string& out, char32_t c);

// Unicode classes -----------------------------------------------------------------
// Code point -1 (an invalid byte) belongs to none of them.

// A decimal digit of any script (general category Nd).
bool isDecimalDigit(std::int32_t codePoint);
// A separator (Zs, Zl, Zp) or a punctuation mark (Pc, Pd, Ps, Pe, Pi, Pf, Po).
bool isSeparatorOrPunctuation(std::int32_t codePoint);

// Trimming ------------------------------------------------------------------------

// The named sets of white space a text can be trimmed of.
enum class WhiteSpace {
  // Tab and the space separators (Zs): the blanks within a line.
  blanks,
  // The blanks, the line and paragraph separators (Zl, Zp), the line-break
  // controls LF, VT, FF, CR and NEL.
  blanksAndLineBreaks,
};

// The text without characters of the set at either end. A byte that is not
// valid UTF-8 is never trimmed.
std::string trimmed(std::string_view text, WhiteSpace set);

// Cutting into pieces and lines -------------------------------------------------------

// The pieces between separators: n separators give n + 1 pieces, empty ones
// included ("a::b" gives "a", "", "b"; "" gives one empty piece). Cut at line
// feeds, this keeps a carriage return in its line and leaves a final empty
// line after a final line feed.
std::vector<std::string_view> piecesBetween(std::string_view text, char separator);

// The lines of a text in which a carriage return or a line feed each end a
// line (so CR LF also ends an empty line). A final break ends the last line
// and starts none: the text after the last break is a line only when it is
// not empty.
std::vector<std::string_view> linesEndedByCrOrLf(std::string_view text);

// Integers ----------------------------------------------------------------------

// The integer a text starts with: after leading white space (space, tab, LF,
// VT, FF, CR) and an optional "+" or "-", the ASCII decimal digits up to the
// first other character. Saturates at the 64-bit limits; absent when no
// digit follows.
std::optional<std::int64_t> leadingInteger(std::string_view text);

// leadingInteger clamped to 32 bits; 0 when there is none.
std::int32_t leadingInt32(std::string_view text);

// The value of a run of decimal digits of any script (each digit of the run
// counts 0 to 9), saturating at the 64-bit maximum. A character that is no
// decimal digit counts as 0.
std::int64_t valueOfDigits(std::string_view digits);

}  // namespace platform
