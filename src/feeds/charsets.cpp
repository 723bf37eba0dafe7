// The charset names the program understands, their code pages, and the sniff of the encoding a
// document declares. Expat's byte maps are expat_encodings.cpp's; the conversions themselves are
// the device's code page service.
#include <array>

#include "feeds/encodings.h"

namespace nubrel {

namespace {

// Column by column as the reader has always listed them; the first row of a code page names it.
// ISO-8859-2 and ISO-8859-7 are read with their own code pages, not as windows-1250 and -1253:
// those differ in letters (Polish a-ogonek is 0xB1 in one and 0xB9 in the other, Greek capital
// alpha with tonos 0xB6 against 0xA2), so a feed in either would come out misspelt.
constexpr std::array<CharsetRow, 29> kCharsets = {{
    {"US-ASCII", 0},
    {"UTF-8", 65001},
    {"UTF-16", 1},
    {"SHIFT_JIS", 932},
    {"GBK", 936},
    {"GB2312", 936},
    {"BIG5", 950},
    {"ISO-8859-1", 1252},
    {"ISO8859-1", 1252},
    {"ISO-8859-2", 28592},
    {"ISO-8859-3", 28593},
    {"ISO-8859-4", 28594},
    {"ISO-8859-5", 28595},
    {"ISO-8859-6", 28596},
    {"ISO-8859-7", 28597},
    {"ISO-8859-8", 28598},
    {"ISO-8859-9", 1254},
    {"ISO-8859-15", 28605},
    {"KOI8-R", 20866},
    {"WINDOWS-874", 874},
    {"WINDOWS-1250", 1250},
    {"WINDOWS-1251", 1251},
    {"WINDOWS-1252", 1252},
    {"WINDOWS-1253", 1253},
    {"WINDOWS-1254", 1254},
    {"WINDOWS-1255", 1255},
    {"WINDOWS-1256", 1256},
    {"WINDOWS-1257", 1257},
    {"WINDOWS-1258", 1258},
}};

// Names this long are never charset names; the limit also bounds the work on hostile input.
constexpr size_t kLongestName = 127;

char FoldAscii(char32_t c) {
  if (c >= U'a' && c <= U'z') return static_cast<char>(c - U'a' + U'A');
  // Anything outside ASCII can match no row.
  return c < 0x80 ? static_cast<char>(c) : '\0';
}

template <typename Text>
int32_t Lookup(Text name) {
  if (name.size() > kLongestName) return kNoCodePage;
  for (const CharsetRow& row : kCharsets) {
    if (row.name.size() != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < name.size() && same; ++i) {
      char32_t c;
      if constexpr (sizeof(name[0]) == 1) {
        c = static_cast<unsigned char>(name[i]);
      } else {
        c = static_cast<char32_t>(name[i]);
      }
      same = FoldAscii(c) == row.name[i];
    }
    if (same) return row.codePage;
  }
  return kNoCodePage;
}

// Case-insensitive search of an ASCII word in bytes.
size_t FindWordNoCase(std::string_view text, std::string_view word, size_t from) {
  if (word.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + word.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < word.size() && FoldAscii(static_cast<unsigned char>(text[i + k])) == word[k]) ++k;
    if (k == word.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

// ---- Character sets ----

std::span<const CharsetRow> CharsetTable() { return kCharsets; }

int32_t codePageOf(std::string_view name) { return Lookup(name); }
int32_t codePageOf(std::u16string_view name) { return Lookup(name); }

const char* nameOfCodePage(int32_t codePage) {
  for (const CharsetRow& row : kCharsets) {
    if (row.codePage == codePage) return row.name.data();  // literals: NUL-terminated
  }
  return nullptr;
}

// ---- The encoding a document declares ----

int32_t declaredCodePage(std::string_view document) {
  auto startsWith = [&](std::string_view bytes) { return document.starts_with(bytes); };
  // A byte order mark says more than any declaration after it; UTF-16 is Expat's own.
  if (startsWith("\xEF\xBB\xBF")) return kCodePageUtf8;
  if (startsWith("\xFF\xFE") || startsWith("\xFE\xFF")) return kCodePageUtf16;
  if (startsWith(std::string_view("<\0?\0", 4)) || startsWith(std::string_view("\0<\0?", 4))) {
    return kCodePageUtf16;
  }

  const size_t start = document.find("<?xml");
  if (start == std::string_view::npos) return kNoCodePage;
  // The declaration's line; "?>" ends the declaration, and what follows it is content, which may
  // well mention the word.
  std::string_view line = document.substr(start);
  line = line.substr(0, line.find('\n'));
  line = line.substr(0, line.find("?>"));

  size_t at = 0;
  while ((at = FindWordNoCase(line, "ENCODING", at)) != std::string_view::npos) {
    at += 8;
    const size_t open = line.find_first_of("\"'", at);
    if (open == std::string_view::npos) return kNoCodePage;
    const size_t close = line.find(line[open], open + 1);
    if (close == std::string_view::npos) return kNoCodePage;
    const std::string_view name = line.substr(open + 1, close - open - 1);
    if (name.size() <= kLongestName) {
      const int32_t codePage = codePageOf(name);
      if (codePage != kNoCodePage) return codePage;
    }
    at = close + 1;
  }
  return kNoCodePage;
}

int32_t documentCodePage(std::string_view document, int32_t defaultCodePage) {
  const int32_t declared = declaredCodePage(document);
  return declared != kNoCodePage ? declared : defaultCodePage;
}

}  // namespace nubrel
