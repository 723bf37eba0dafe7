// UTF-16 text helpers; see text.h.
#include "shared/text.h"

#include <clocale>
#include <cwctype>
#include <limits>

#include <locale.h>
#include <wctype.h>

namespace nubrel {

namespace {

// The locale that case mapping uses, created once and never changed (so it is safe to read from
// every thread). Null when the host lacks C.UTF-8; then only ASCII and Latin-1 change case.
locale_t CaseLocale() {
  static const locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  return locale;
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Latin-1's letters, for the host without C.UTF-8: 0xC0-0xDE (but 0xD7, the multiplication
// sign) pair with 0xE0-0xFE.
char16_t Latin1Lower(char16_t c) {
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}
char16_t Latin1Upper(char16_t c) {
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

// A mapping that would leave the BMP or land on a surrogate is not a simple one-unit mapping.
char16_t KeepIfOneUnit(wint_t mapped, char16_t original) {
  if (mapped > 0xFFFF || IsSurrogate(static_cast<char16_t>(mapped))) return original;
  return static_cast<char16_t>(mapped);
}

int DigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Digits of an unsigned value in base 10 or 16, at least minDigits of them.
std::u16string UnsignedDigits(uint64_t value, unsigned base, size_t minDigits, bool upperCase) {
  const char16_t* digits = upperCase ? u"0123456789ABCDEF" : u"0123456789abcdef";
  char16_t buffer[24];
  size_t n = 0;
  do {
    buffer[n++] = digits[value % base];
    value /= base;
  } while (value != 0);
  std::u16string out;
  if (minDigits > n) out.assign(minDigits - n, u'0');
  while (n > 0) out += buffer[--n];
  return out;
}

}  // namespace

// ---- White space ----

bool IsWhiteSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

std::u16string_view TrimView(std::u16string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::u16string Trim(std::u16string_view text) { return std::u16string(TrimView(text)); }

// ---- Case ----

char16_t ToLowerChar(char16_t c) {
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
  if (IsSurrogate(c)) return c;
  if (locale_t locale = CaseLocale()) return KeepIfOneUnit(::towlower_l(c, locale), c);
  return Latin1Lower(c);
}

char16_t ToUpperChar(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (IsSurrogate(c)) return c;
  if (locale_t locale = CaseLocale()) return KeepIfOneUnit(::towupper_l(c, locale), c);
  return Latin1Upper(c);
}

std::u16string ToLower(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = ToLowerChar(c);
  return out;
}

std::u16string ToUpper(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = ToUpperChar(c);
  return out;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = ToLowerChar(a[i]);
    char16_t y = ToLowerChar(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

size_t FindNoCase(std::u16string_view text, std::u16string_view what, size_t from) {
  if (from > text.size()) return std::u16string_view::npos;
  // Lower-casing is unit for unit, so an index in the lowered text is an index in the original.
  const std::u16string lowText = ToLower(text);
  const std::u16string lowWhat = ToLower(what);
  return std::u16string_view(lowText).find(lowWhat, from);
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view suffix) {
  return text.size() >= suffix.size() &&
         EqualsNoCase(text.substr(text.size() - suffix.size()), suffix);
}

// ---- Numbers ----

std::u16string FormatDecimal(int64_t value) {
  // The magnitude in unsigned arithmetic, so INT64_MIN has one too.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::u16string digits = UnsignedDigits(magnitude, 10, 1, true);
  return value < 0 ? u"-" + digits : digits;
}

std::u16string FormatHex(uint64_t value, int minDigits, bool upperCase) {
  if (minDigits < 0) minDigits = 0;
  if (minDigits > 16) minDigits = 16;
  return UnsignedDigits(value, 16, static_cast<size_t>(minDigits), upperCase);
}

bool ParseInteger(std::u16string_view text, int64_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i == text.size()) return false;
  // Accumulate the magnitude; the negative range is one larger than the positive one.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < u'0' || text[i] > u'9') return false;
    const unsigned digit = text[i] - u'0';
    if (magnitude > (limit - digit) / 10) return false;
    magnitude = magnitude * 10 + digit;
  }
  value = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool ParseHex(std::u16string_view text, uint64_t& value) {
  if (text.empty()) return false;
  uint64_t result = 0;
  for (char16_t c : text) {
    const int digit = DigitValue(c);
    if (digit < 0 || (result >> 60) != 0) return false;
    result = (result << 4) | static_cast<uint64_t>(digit);
  }
  value = result;
  return true;
}

int64_t LeadingInteger(std::u16string_view text, size_t* length) {
  size_t i = 0;
  while (i < text.size() && IsWhiteSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  const size_t firstDigit = i;
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    const unsigned digit = text[i] - u'0';
    if (overflow || magnitude > (limit - digit) / 10) {
      overflow = true;  // keep reading: the whole run of digits belongs to the number
      continue;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (i == firstDigit) {
    if (length) *length = 0;
    return 0;
  }
  if (length) *length = i;
  if (overflow) magnitude = limit;
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

// ---- Formatting ----

namespace {

struct Directive {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
  char16_t conversion = 0;
};

// Reads "%[flags][width][.precision][size]conversion" at `pos` (just after the "%").
// Returns the index after the directive, or npos when the template ends inside it.
size_t ReadDirective(std::u16string_view format, size_t pos, Directive& d) {
  // Widths beyond this are a typo, not a layout; capping them bounds the output.
  constexpr size_t kMaxWidth = 1024;
  for (; pos < format.size(); ++pos) {
    if (format[pos] == u'-') d.leftAlign = true;
    else if (format[pos] == u'0') d.zeroPad = true;
    else if (format[pos] != u'+' && format[pos] != u' ' && format[pos] != u'#') break;
  }
  for (; pos < format.size() && format[pos] >= u'0' && format[pos] <= u'9'; ++pos) {
    d.width = d.width * 10 + (format[pos] - u'0');
    if (d.width > kMaxWidth) d.width = kMaxWidth;
  }
  if (pos < format.size() && format[pos] == u'.') {
    d.hasPrecision = true;
    for (++pos; pos < format.size() && format[pos] >= u'0' && format[pos] <= u'9'; ++pos) {
      d.precision = d.precision * 10 + (format[pos] - u'0');
      if (d.precision > kMaxWidth) d.precision = kMaxWidth;
    }
  }
  while (pos < format.size() && (format[pos] == u'l' || format[pos] == u'h')) ++pos;
  if (pos >= format.size()) return std::u16string_view::npos;
  d.conversion = format[pos];
  return pos + 1;
}

void AppendPadded(std::u16string& out, const Directive& d, std::u16string_view sign,
                  std::u16string_view body) {
  const size_t length = sign.size() + body.size();
  const size_t fill = d.width > length ? d.width - length : 0;
  if (d.leftAlign) {
    out.append(sign).append(body).append(fill, u' ');
  } else if (d.zeroPad && d.conversion != u's' && d.conversion != u'c') {
    out.append(sign).append(fill, u'0').append(body);
  } else {
    out.append(fill, u' ').append(sign).append(body);
  }
}

// The argument as the unsigned number %u and %x print.
uint64_t AsUnsigned(const FormatArg& arg) {
  if (arg.kind == FormatArg::Kind::kUnsigned) return arg.unsignedValue;
  if (arg.signedValue < 0 && arg.signedValue >= std::numeric_limits<int32_t>::min()) {
    return static_cast<uint32_t>(arg.signedValue);
  }
  return static_cast<uint64_t>(arg.signedValue);
}

void AppendArgument(std::u16string& out, const Directive& d, const FormatArg& arg) {
  if (arg.kind == FormatArg::Kind::kText) {
    std::u16string_view text = arg.text;
    if (d.hasPrecision && d.conversion == u's' && text.size() > d.precision) {
      text = text.substr(0, d.precision);
    }
    AppendPadded(out, d, u"", text);
    return;
  }
  const size_t minDigits = d.hasPrecision ? d.precision : 1;
  switch (d.conversion) {
    case u'c': {
      const char16_t unit = static_cast<char16_t>(AsUnsigned(arg));
      AppendPadded(out, d, u"", std::u16string_view(&unit, 1));
      return;
    }
    case u'x':
    case u'X':
      AppendPadded(out, d, u"", UnsignedDigits(AsUnsigned(arg), 16, minDigits, d.conversion == u'X'));
      return;
    case u'u':
      AppendPadded(out, d, u"", UnsignedDigits(AsUnsigned(arg), 10, minDigits, true));
      return;
    default: {  // d, i, and a number given to %s
      if (arg.kind == FormatArg::Kind::kUnsigned) {
        AppendPadded(out, d, u"", UnsignedDigits(arg.unsignedValue, 10, minDigits, true));
        return;
      }
      const int64_t v = arg.signedValue;
      const uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
      AppendPadded(out, d, v < 0 ? u"-" : u"", UnsignedDigits(magnitude, 10, minDigits, true));
      return;
    }
  }
}

bool IsKnownConversion(char16_t c) {
  return c == u's' || c == u'd' || c == u'i' || c == u'u' || c == u'x' || c == u'X' || c == u'c';
}

}  // namespace

std::u16string FormatText(std::u16string_view format, std::span<const FormatArg> args) {
  std::u16string out;
  out.reserve(format.size() + 16 * args.size());
  size_t next = 0;  // the next argument to use
  size_t pos = 0;
  while (pos < format.size()) {
    const size_t percent = format.find(u'%', pos);
    if (percent == std::u16string_view::npos) {
      out.append(format.substr(pos));
      break;
    }
    out.append(format.substr(pos, percent - pos));
    if (percent + 1 < format.size() && format[percent + 1] == u'%') {
      out += u'%';
      pos = percent + 2;
      continue;
    }
    Directive d;
    const size_t end = ReadDirective(format, percent + 1, d);
    if (end == std::u16string_view::npos) {  // the template ends inside a directive
      out.append(format.substr(percent));
      break;
    }
    if (!IsKnownConversion(d.conversion) || next == args.size()) {
      out.append(format.substr(percent, end - percent));
    } else {
      AppendArgument(out, d, args[next++]);
    }
    pos = end;
  }
  return out;
}

}  // namespace nubrel
