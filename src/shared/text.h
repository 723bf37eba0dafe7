// UTF-16 text helpers of the engine: white space, case, numbers and the printf-like filling of
// the program's resource strings. Conversion to and from UTF-8 is the platform's (platform/utf.h);
// code pages other than UTF-8 are the code page service's.
// Case rules are the simple one-to-one mapping of the BMP (Unicode's, through a fixed C.UTF-8
// locale, so the host's locale never changes a comparison); surrogates never change case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/utf.h"

namespace nubrel {

// ---- UTF-8 ----

using platform::FromUtf8;  // malformed bytes become U+FFFD
using platform::ToUtf8;    // lone surrogates become U+FFFD

// ---- White space ----

// Space, tab, line feed, vertical tab, form feed and carriage return.
bool IsWhiteSpace(char16_t c);
// The text without leading and trailing white space; the view points into `text`.
std::u16string_view TrimView(std::u16string_view text);
std::u16string Trim(std::u16string_view text);

// ---- Case ----

char16_t ToLowerChar(char16_t c);
char16_t ToUpperChar(char16_t c);
std::u16string ToLower(std::u16string_view text);  // same length as text, unit for unit
std::u16string ToUpper(std::u16string_view text);

// Compares unit by unit after lower-casing both: < 0, 0 or > 0.
int CompareNoCase(std::u16string_view a, std::u16string_view b);
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
// The index of the first match of `what` at or after `from`, ignoring case; npos when none.
// An empty `what` matches at `from` when from <= text.size().
size_t FindNoCase(std::u16string_view text, std::u16string_view what, size_t from = 0);
bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix);
bool EndsWithNoCase(std::u16string_view text, std::u16string_view suffix);

// ---- Numbers ----

// "-42", "0", "9223372036854775807".
std::u16string FormatDecimal(int64_t value);
// Hexadecimal digits, most significant first, padded with zeros to minDigits (at most 16):
// FormatHex(0xCBF43926, 8) -> "CBF43926", FormatHex(10, 2, false) -> "0a".
std::u16string FormatHex(uint64_t value, int minDigits = 0, bool upperCase = true);

// Strict decimal: an optional "+" or "-" and at least one digit, nothing else (no white space).
// Returns false, leaving value untouched, for anything else or a value outside int64_t.
bool ParseInteger(std::u16string_view text, int64_t& value);
// Strict hexadecimal: one or more digits 0-9, a-f, A-F (no "0x"), at most 64 bits.
bool ParseHex(std::u16string_view text, uint64_t& value);
// The leading decimal number, read the way wcstol reads base 10: white space skipped, an
// optional sign, then digits up to the first other character. No digits gives 0; a number
// too large for int64_t gives INT64_MAX (or INT64_MIN). *length receives how many units were
// read (0 when there were no digits).
int64_t LeadingInteger(std::u16string_view text, size_t* length = nullptr);

// ---- Formatting ----

// One argument of FormatText: a number or a text. Texts are held by view, so an argument must
// outlive the call (temporaries in the call's own expression do).
struct FormatArg {
  enum class Kind { kSigned, kUnsigned, kText };
  Kind kind;
  int64_t signedValue = 0;     // kSigned
  uint64_t unsignedValue = 0;  // kUnsigned
  std::u16string_view text;    // kText

  FormatArg(int v) : kind(Kind::kSigned), signedValue(v) {}
  FormatArg(long v) : kind(Kind::kSigned), signedValue(v) {}
  FormatArg(long long v) : kind(Kind::kSigned), signedValue(v) {}
  FormatArg(unsigned v) : kind(Kind::kUnsigned), unsignedValue(v) {}
  FormatArg(unsigned long v) : kind(Kind::kUnsigned), unsignedValue(v) {}
  FormatArg(unsigned long long v) : kind(Kind::kUnsigned), unsignedValue(v) {}
  FormatArg(std::u16string_view v) : kind(Kind::kText), text(v) {}
  FormatArg(const std::u16string& v) : kind(Kind::kText), text(v) {}
  FormatArg(const char16_t* v) : kind(Kind::kText), text(v ? std::u16string_view(v) : u"") {}
};

// Fills a printf-like template: %s (text), %d and %i (signed), %u, %x and %X (unsigned;
// a negative argument is taken as its 32-bit two's complement when it fits 32 bits, as the
// device's printf does with an int), %c (one UTF-16 unit) and %%. Flags "-" (left-align) and
// "0" (zero padding), a width, a precision (".N": at most N units of a text, at least N digits
// of a number) and the size letters l, ll, h are understood ("%02d", "%08lx", "%ld", "%-10s").
// Mismatches never fail and never read past the arguments: a number given to %s is written in
// decimal, a text given to a number directive is written as text, a directive that has no
// argument left or an unknown directive is copied as written.
std::u16string FormatText(std::u16string_view format, std::span<const FormatArg> args);
inline std::u16string FormatText(std::u16string_view format,
                                 std::initializer_list<FormatArg> args) {
  return FormatText(format, std::span<const FormatArg>(args.begin(), args.size()));
}

template <typename... Args>
std::u16string FormatString(std::u16string_view format, const Args&... args) {
  return FormatText(format, {FormatArg(args)...});
}

}  // namespace nubrel
