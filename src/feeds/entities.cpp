// HTML character references as feeds leave them in titles and summaries (the 93 names the reader
// knows and numeric references), JSON string contents, and the XML text writer. Escaping itself
// is XmlEscape's (shared/buffered_file_writer.h). Every read is bounded by the text given.
#include <array>

#include "feeds/encodings.h"
#include "platform/code_pages.h"

namespace nubrel {

namespace {

// Sorted by name. The numeric references 128 and 145-151 are windows-1252 bytes that feeds
// write as if they were code points; they answer as the characters those bytes mean.
constexpr std::array<EntityRow, 93> kEntities = {{
    {u"AElig;", 198, 0x00C6},   {u"Aacute;", 193, 0x00C1},  {u"Acirc;", 194, 0x00C2},
    {u"Agrave;", 192, 0x00C0},  {u"Aring;", 197, 0x00C5},   {u"Atilde;", 195, 0x00C3},
    {u"Auml;", 196, 0x00C4},    {u"Ccedil;", 199, 0x00C7},  {u"ETH;", 208, 0x00D0},
    {u"Eacute;", 201, 0x00C9},  {u"Ecirc;", 202, 0x00CA},   {u"Egrave;", 200, 0x00C8},
    {u"Euml;", 203, 0x00CB},    {u"Iacute;", 205, 0x00CD},  {u"Icirc;", 206, 0x00CE},
    {u"Igrave;", 204, 0x00CC},  {u"Iuml;", 207, 0x00CF},    {u"Ntilde;", 209, 0x00D1},
    {u"Oacute;", 211, 0x00D3},  {u"Ocirc;", 212, 0x00D4},   {u"Ograve;", 210, 0x00D2},
    {u"Oslash;", 216, 0x00D8},  {u"Otilde;", 213, 0x00D5},  {u"Ouml;", 214, 0x00D6},
    {u"Uacute;", 218, 0x00DA},  {u"Ucirc;", 219, 0x00DB},   {u"Ugrave;", 217, 0x00D9},
    {u"Uuml;", 220, 0x00DC},    {u"Yacute;", 221, 0x00DD},  {u"aacute;", 225, 0x00E1},
    {u"acirc;", 226, 0x00E2},   {u"acute;", 180, 0x00B4},   {u"aelig;", 230, 0x00E6},
    {u"agrave;", 224, 0x00E0},  {u"amp;", 0, 0x0026},       {u"apos;", 0, 0x0027},
    {u"aring;", 229, 0x00E5},   {u"atilde;", 227, 0x00E3},  {u"auml;", 228, 0x00E4},
    {u"bull;", 149, 0x2022},    {u"ccedil;", 231, 0x00E7},  {u"copy;", 169, 0x00A9},
    {u"darr;", 0, 0x2193},      {u"deg;", 176, 0x00B0},     {u"eacute;", 233, 0x00E9},
    {u"ecirc;", 234, 0x00EA},   {u"egrave;", 232, 0x00E8},  {u"eth;", 240, 0x00F0},
    {u"euml;", 235, 0x00EB},    {u"euro;", 128, 0x20AC},    {u"frac12;", 189, 0x00BD},
    {u"frac14;", 188, 0x00BC},  {u"frac34;", 190, 0x00BE},  {u"gt;", 0, 0x003E},
    {u"harr;", 0, 0x2194},      {u"hellip;", 0, 0x2026},    {u"iacute;", 237, 0x00ED},
    {u"icirc;", 238, 0x00EE},   {u"igrave;", 236, 0x00EC},  {u"iquest;", 191, 0x00BF},
    {u"iuml;", 239, 0x00EF},    {u"laquo;", 171, 0x00AB},   {u"larr;", 0, 0x2190},
    {u"ldquo;", 147, 0x201C},   {u"lsquo;", 145, 0x2018},   {u"lt;", 0, 0x003C},
    {u"mdash;", 151, 0x2014},   {u"middot;", 183, 0x00B7},  {u"nbsp;", 0, 0x00A0},
    {u"ndash;", 150, 0x2013},   {u"ntilde;", 241, 0x00F1},  {u"oacute;", 243, 0x00F3},
    {u"ocirc;", 244, 0x00F4},   {u"ograve;", 242, 0x00F2},  {u"oslash;", 248, 0x00F8},
    {u"otilde;", 245, 0x00F5},  {u"ouml;", 246, 0x00F6},    {u"pound;", 163, 0x00A3},
    {u"quot;", 0, 0x0022},      {u"raquo;", 187, 0x00BB},   {u"rarr;", 0, 0x2192},
    {u"rdquo;", 148, 0x201D},   {u"rsquo;", 146, 0x2019},   {u"times;", 215, 0x00D7},
    {u"trade;", 0, 0x2122},     {u"uacute;", 250, 0x00FA},  {u"uarr;", 0, 0x2191},
    {u"ucirc;", 251, 0x00FB},   {u"ugrave;", 249, 0x00F9},  {u"uuml;", 252, 0x00FC},
    {u"yacute;", 253, 0x00FD},  {u"yen;", 165, 0x00A5},     {u"yuml;", 255, 0x00FF},
}};

constexpr size_t kHexDigits = 4;
constexpr size_t kDecimalDigits = 6;

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// "#xHHHH;" or "#DDDDDD;" after the "&": the number and the units it spans, or 0.
char32_t NumericValue(std::u16string_view text, size_t& length) {
  size_t at = 1;
  char32_t value = 0;
  const bool hex = text.size() > 1 && (text[1] == u'x' || text[1] == u'X');
  if (hex) {
    at = 2;
    while (at < text.size() && at - 2 < kHexDigits && HexValue(text[at]) >= 0) {
      value = value * 16 + static_cast<char32_t>(HexValue(text[at]));
      ++at;
    }
  } else {
    while (at < text.size() && at - 1 < kDecimalDigits && text[at] >= u'0' && text[at] <= u'9') {
      value = value * 10 + static_cast<char32_t>(text[at] - u'0');
      ++at;
    }
  }
  // More digits than the form allows leave a digit here, not the ";".
  if (at >= text.size() || text[at] != u';') return 0;
  length = at + 1;
  return value;
}

void Put(char16_t* out, size_t& written, char16_t c) {
  if (out != nullptr) out[written] = c;
  ++written;
}

}  // namespace

// ---- Character references ----

std::span<const EntityRow> EntityTable() { return kEntities; }

char32_t decodeReference(std::u16string_view afterAmpersand, size_t& length) {
  if (afterAmpersand.empty()) return 0;
  if (afterAmpersand[0] == u'#') {
    size_t spanned = 0;
    const char32_t value = NumericValue(afterAmpersand, spanned);
    if (value == 0) return 0;
    length = spanned;
    for (const EntityRow& row : kEntities) {
      if (row.numericReference == value) return row.character;
    }
    // Half a surrogate pair, or no character at all, is never what the text meant to show.
    if ((value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0xFFFD;
    return value;
  }
  for (const EntityRow& row : kEntities) {
    if (row.name[0] == afterAmpersand[0] && afterAmpersand.starts_with(row.name)) {
      length = row.name.size();
      return row.character;
    }
  }
  return 0;
}

size_t decodeEntities(const char16_t* text, size_t length, bool collapseWhiteSpace,
                      char16_t* out) {
  size_t written = 0;
  bool inBlankRun = false;
  for (size_t i = 0; i < length;) {
    const char16_t c = text[i];
    if (c == u'&') {
      size_t spanned = 0;
      const char32_t decoded =
          decodeReference(std::u16string_view(text + i + 1, length - i - 1), spanned);
      if (decoded != 0) {
        if (decoded > 0xFFFF) {
          // Needs 2 units; the reference took at least 8 ("&#65536;"), so in place is safe.
          Put(out, written, static_cast<char16_t>(0xD800 + ((decoded - 0x10000) >> 10)));
          Put(out, written, static_cast<char16_t>(0xDC00 + ((decoded - 0x10000) & 0x3FF)));
        } else {
          Put(out, written, static_cast<char16_t>(decoded));
        }
        i += 1 + spanned;
        inBlankRun = false;
        continue;
      }
    }
    if (collapseWhiteSpace && (c == u' ' || c == u'\t' || c == u'\n')) {
      if (!inBlankRun) Put(out, written, u' ');
      inBlankRun = true;
      ++i;
      continue;
    }
    inBlankRun = false;
    Put(out, written, c);
    ++i;
  }
  return written + 1;
}

std::u16string decodeEntities(std::u16string_view text, bool collapseWhiteSpace) {
  std::u16string out(text);
  const size_t written = decodeEntities(out.data(), out.size(), collapseWhiteSpace, out.data());
  out.resize(written - 1);
  return out;
}

std::u16string decodeJsonString(std::u16string_view text) {
  std::u16string resolved;
  resolved.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != u'\\') {
      resolved += text[i];
      continue;
    }
    if (i + 1 >= text.size()) break;  // a lone backslash at the end
    const char16_t next = text[++i];
    switch (next) {
      case u'b': resolved += u'\b'; break;
      case u'f': resolved += u'\f'; break;
      case u'n': resolved += u'\n'; break;
      case u'r': resolved += u'\r'; break;
      case u't': resolved += u'\t'; break;
      case u'u': {
        char16_t value = 0;
        size_t digits = 0;
        while (digits < 4 && i + 1 + digits < text.size() && HexValue(text[i + 1 + digits]) >= 0) {
          value = static_cast<char16_t>(value * 16 + HexValue(text[i + 1 + digits]));
          ++digits;
        }
        if (digits == 4) {
          resolved += value;
          i += 4;
        } else {
          resolved += u'u';
        }
        break;
      }
      default: resolved += next; break;
    }
  }
  return decodeEntities(resolved, false);
}

// ---- Writing XML text ----

bool writeXmlText(BufferedFileWriter& file, std::u16string_view text, bool escape) {
  return file.WriteText(text, platform::kCodePageUtf8, escape);
}

}  // namespace nubrel
