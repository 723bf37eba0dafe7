// Charset names, the declared-encoding sniff, Expat's byte maps, and real Expat parses of
// documents in the code pages feeds use, through the one parser factory every reader calls.
#include "feeds/encodings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/code_pages.h"
#include "shared/text.h"

namespace nubrel {
namespace {

// Bytes in a heap block of exactly their size: a read past the end is an ASan error.
struct ExactBytes {
  explicit ExactBytes(std::string_view bytes)
      : size(bytes.size()), data(new char[bytes.size() ? bytes.size() : 1]) {
    std::memcpy(data.get(), bytes.data(), bytes.size());
  }
  std::string_view view() const { return {data.get(), size}; }
  size_t size;
  std::unique_ptr<char[]> data;
};

// ---- Character sets ----

TEST(EncCharsets, EveryNameInAnyCaseAndItsCodePage) {
  const struct {
    const char* name;
    int32_t codePage;
  } rows[] = {
      {"US-ASCII", 0},       {"UTF-8", 65001},       {"UTF-16", 1},
      {"SHIFT_JIS", 932},    {"GBK", 936},           {"GB2312", 936},
      {"BIG5", 950},         {"ISO-8859-1", 1252},   {"ISO8859-1", 1252},
      {"ISO-8859-2", 28592}, {"ISO-8859-3", 28593},  {"ISO-8859-4", 28594},
      {"ISO-8859-5", 28595}, {"ISO-8859-6", 28596},  {"ISO-8859-7", 28597},
      {"ISO-8859-8", 28598}, {"ISO-8859-9", 1254},   {"ISO-8859-15", 28605},
      {"KOI8-R", 20866},     {"WINDOWS-874", 874},   {"WINDOWS-1250", 1250},
      {"WINDOWS-1251", 1251}, {"WINDOWS-1252", 1252}, {"WINDOWS-1253", 1253},
      {"WINDOWS-1254", 1254}, {"WINDOWS-1255", 1255}, {"WINDOWS-1256", 1256},
      {"WINDOWS-1257", 1257}, {"WINDOWS-1258", 1258},
  };
  ASSERT_EQ(CharsetTable().size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto& row = rows[i];
    SCOPED_TRACE(row.name);
    EXPECT_EQ(CharsetTable()[i].name, row.name);
    EXPECT_EQ(codePageOf(std::string_view(row.name)), row.codePage);
    const std::u16string wide = FromUtf8(row.name);
    EXPECT_EQ(codePageOf(ToLower(wide)), row.codePage);
    EXPECT_EQ(codePageOf(std::string_view(ToUtf8(ToLower(wide)))), row.codePage);
    // Every code page the table names is one the device can convert.
    EXPECT_TRUE(platform::IsValidCodePage(static_cast<uint32_t>(row.codePage)));
  }
}

TEST(EncCharsets, NamesTheTableDoesNotHave) {
  const std::string longName = "UTF-8" + std::string(123, ' ');  // 128 bytes
  const std::string rows[] = {
      "", "UTF8", "latin1", "CP1251", "UTF-8 ", " UTF-8", std::string("UTF-8\0", 6),
      "WINDOWS-1251X", longName, "\xC4\xB0SO-8859-1" /* dotted capital I */,
  };
  for (const std::string& name : rows) {
    SCOPED_TRACE(name);
    EXPECT_EQ(codePageOf(std::string_view(name)), kNoCodePage);
    EXPECT_EQ(codePageOf(std::u16string_view(FromUtf8(name))), kNoCodePage);
  }
}

TEST(EncCharsets, ACodePageIsNamedByItsFirstRow) {
  const struct {
    int32_t codePage;
    const char* name;       // nullptr: none
    const char* expatName;  // what CreateExpatParserFor tells Expat
  } rows[] = {
      {1252, "ISO-8859-1", "WINDOWS-1252"},
      {936, "GBK", "GBK"},
      {1254, "ISO-8859-9", "ISO-8859-9"},
      {28592, "ISO-8859-2", "ISO-8859-2"},
      {1250, "WINDOWS-1250", "WINDOWS-1250"},
      {65001, "UTF-8", "UTF-8"},
      {0, "US-ASCII", "US-ASCII"},
      {949, nullptr, nullptr},
      {28591, nullptr, nullptr},
      {kNoCodePage, nullptr, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.codePage);
    const char* name = nameOfCodePage(row.codePage);
    const char* expatName = expatNameOfCodePage(row.codePage);
    EXPECT_EQ(name ? std::string(name) : "(none)", row.name ? row.name : "(none)");
    EXPECT_EQ(expatName ? std::string(expatName) : "(none)",
              row.expatName ? row.expatName : "(none)");
  }
}

// ---- The encoding a document declares ----

TEST(EncDeclared, DeclarationsAsDocumentsWriteThem) {
  const std::string tooLong(130, 'x');
  const struct {
    const char* what;
    std::string document;
    int32_t codePage;
  } rows[] = {
      {"double quotes", R"(<?xml version="1.0" encoding="windows-1251"?><rss/>)", 1251},
      {"single quotes", "<?xml version='1.0' encoding='KOI8-R'?>", 20866},
      {"spaces around =", "<?xml version=\"1.0\" encoding = \"utf-8\" ?>", 65001},
      {"upper-case word", "<?xml version=\"1.0\" ENCODING=\"Shift_JIS\"?>", 932},
      {"text before it", "\r\n  <?xml version=\"1.0\" encoding=\"ISO-8859-15\"?>", 28605},
      {"no declaration", "<rss version=\"2.0\" encoding=\"KOI8-R\"/>", kNoCodePage},
      {"declaration without encoding", "<?xml version=\"1.0\"?>\n<rss/>", kNoCodePage},
      {"encoding on the next line", "<?xml version=\"1.0\"\n encoding=\"KOI8-R\"?>",
       kNoCodePage},
      {"a word in the content after ?>", "<?xml version=\"1.0\"?><p encoding=\"KOI8-R\"/>",
       kNoCodePage},
      {"unknown name", "<?xml version=\"1.0\" encoding=\"x-mac-roman\"?>", kNoCodePage},
      {"unknown name, then a known one", "<?xml encoding=\"bogus\" encoding=\"GBK\"?>", 936},
      {"name too long, then a known one",
       "<?xml encoding=\"" + tooLong + "\" encoding='BIG5'?>", 950},
      {"mismatched quotes", "<?xml version=\"1.0\" encoding=\"UTF-8'?>", kNoCodePage},
      {"unterminated at the end", "<?xml version=\"1.0\" encoding=\"UTF-8", kNoCodePage},
      {"word at the very end", "<?xml encoding", kNoCodePage},
      {"just the start", "<?xml", kNoCodePage},
      {"empty", "", kNoCodePage},
      {"UTF-8 mark beats the declaration",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1251\"?>", 65001},
      {"UTF-16 little-endian mark", std::string("\xFF\xFE<\0?\0x\0m\0l\0", 12), kCodePageUtf16},
      {"UTF-16 big-endian mark", std::string("\xFE\xFF\0<\0?\0x\0m\0l", 12), kCodePageUtf16},
      {"UTF-16 little-endian, no mark", std::string("<\0?\0x\0m\0l\0", 10), kCodePageUtf16},
      {"UTF-16 big-endian, no mark", std::string("\0<\0?\0x\0m\0l", 10), kCodePageUtf16},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const ExactBytes bytes(row.document);
    EXPECT_EQ(declaredCodePage(bytes.view()), row.codePage);
    // Nothing declared: the reader's own default.
    const int32_t expected = row.codePage == kNoCodePage ? 1250 : row.codePage;
    EXPECT_EQ(documentCodePage(bytes.view(), 1250), expected);
  }
}

// ---- Expat's byte maps ----

TEST(EncExpatMaps, BuiltInMapsAgreeWithTheDevicesConversions) {
  // The built-in windows-1255 and ISO-8859-15 maps are written from the published tables; the
  // device converts both code pages independently (iconv). Where one says a byte is a character
  // the other must agree; ISO-8859-15's C1 range is deliberately left unassigned.
  for (const char* name : {"windows-1255", "ISO-8859-15"}) {
    SCOPED_TRACE(name);
    int map[256];
    const int32_t codePage = expatEncodingFor(name, map);
    ASSERT_NE(codePage, kNoCodePage);
    for (int b = 0; b < 256; ++b) {
      SCOPED_TRACE(b);
      char16_t device = 0;
      const bool deviceHas =
          platform::SingleByteToWide(static_cast<uint32_t>(codePage), static_cast<uint8_t>(b),
                                     device) == 0;
      if (map[b] == 0xFFFF) {
        EXPECT_TRUE(!deviceHas || (codePage == 28605 && b >= 0x80 && b < 0xA0));
      } else {
        ASSERT_TRUE(deviceHas);
        EXPECT_EQ(map[b], device);
      }
    }
  }
  int map[256];
  ASSERT_EQ(expatEncodingFor("WINDOWS-1255", map), 1255);
  EXPECT_EQ(map[0xA4], 0x20AA);  // new sheqel sign
  EXPECT_EQ(map[0xE0], 0x05D0);  // alef
  EXPECT_EQ(map[0xCA], 0xFFFF);
  ASSERT_EQ(expatEncodingFor("iso-8859-15", map), 28605);
  EXPECT_EQ(map[0xA4], 0x20AC);
  EXPECT_EQ(map[0xBE], 0x0178);
  EXPECT_EQ(map[0x80], 0xFFFF);
}

TEST(EncExpatMaps, MapsBuiltFromTheDevice) {
  const struct {
    const char* name;
    int32_t codePage;
    int byte;
    int entry;
  } rows[] = {
      {"windows-1251", 1251, 0xC0, 0x0410},  // Cyrillic capital A
      {"KOI8-R", 20866, 0xC1, 0x0430},       // Cyrillic small a
      {"Shift_JIS", 932, 0x81, -2},          // lead bytes: first and last of both ranges
      {"Shift_JIS", 932, 0x9F, -2},
      {"Shift_JIS", 932, 0xE0, -2},
      {"Shift_JIS", 932, 0xFC, -2},
      {"Shift_JIS", 932, 0xA1, 0xFF61},      // half-width katakana stand alone
      {"Shift_JIS", 932, 0x5C, 0x5C},        // the device's 932 keeps the backslash
      {"GBK", 936, 0x81, -2},
      {"big5", 950, 0xA4, -2},
      {"ISO-8859-2", 28592, 0xB1, 0x0105},   // a with ogonek (0xB9 in windows-1250)
      {"ISO-8859-7", 28597, 0xB6, 0x0386},   // capital alpha with tonos
      {"windows-1252", 1252, 0x80, 0x20AC},  // the euro sign, not a C1 control
      {"ISO-8859-1", 1252, 0x93, 0x201C},
      {"windows-1252", 1252, 0x81, 0x81},    // unassigned in 1252: passes through
      {"UTF-8", 65001, 0xC3, 0xC3},          // identity maps: Expat reads these itself
      {"US-ASCII", 0, 0xE9, 0xE9},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.byte));
    int map[256];
    ASSERT_EQ(expatEncodingFor(row.name, map), row.codePage);
    EXPECT_EQ(map[row.byte], row.entry);
  }
  int map[256];
  EXPECT_EQ(expatEncodingFor("x-unknown", map), kNoCodePage);
  EXPECT_EQ(expatEncodingFor("", map), kNoCodePage);
}

TEST(EncExpatMaps, AsciiIsItselfInEveryMap) {
  // Expat refuses a map that moves the characters of markup; a map that did would make every
  // document in that charset unreadable.
  for (const CharsetRow& row : CharsetTable()) {
    SCOPED_TRACE(std::string(row.name));
    int map[256];
    ASSERT_EQ(expatEncodingFor(row.name, map), row.codePage);
    for (int b = 0; b < 0x80; ++b) ASSERT_EQ(map[b], b) << b;
  }
}

// ---- Real parses ----

struct Collected {
  std::string text;   // character data, UTF-8 as Expat gives it
  std::string title;  // the t attribute of the root
};

void XMLCALL OnStart(void* data, const XML_Char*, const XML_Char** attributes) {
  auto* c = static_cast<Collected*>(data);
  for (size_t i = 0; attributes[i]; i += 2) {
    if (std::strcmp(attributes[i], "t") == 0) c->title = attributes[i + 1];
  }
}
void XMLCALL OnEnd(void*, const XML_Char*) {}
void XMLCALL OnText(void* data, const XML_Char* s, int len) {
  static_cast<Collected*>(data)->text.append(s, static_cast<size_t>(len));
}

// Parses a whole document as the readers do; false with Expat's message on an error.
bool Parse(std::string_view document, int32_t defaultCodePage, Collected& out,
           std::string& error) {
  ExpatParser parser = CreateExpatParserFor(documentCodePage(document, defaultCodePage));
  if (!parser) {
    error = "no parser";
    return false;
  }
  XML_SetUserData(parser.get(), &out);
  XML_SetElementHandler(parser.get(), OnStart, OnEnd);
  XML_SetCharacterDataHandler(parser.get(), OnText);
  if (XML_Parse(parser.get(), document.data(), static_cast<int>(document.size()), XML_TRUE) !=
      XML_STATUS_OK) {
    error = XML_ErrorString(XML_GetErrorCode(parser.get()));
    return false;
  }
  return true;
}

std::string Document(const char* encoding, std::string_view text) {
  std::string d = "<?xml version=\"1.0\"";
  if (encoding) d += std::string(" encoding=\"") + encoding + "\"";
  d += "?>\n<r t=\"";
  d += text;
  d += "\">";
  d += text;
  d += "</r>";
  return d;
}

TEST(EncExpatParse, DocumentsInTheCharsetsFeedsUse) {
  const struct {
    const char* what;
    std::string document;
    int32_t defaultCodePage;
    const char* expected;  // UTF-8
  } rows[] = {
      {"windows-1251", Document("windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2"), 65001,
       "Привет"},
      {"Shift_JIS", Document("Shift_JIS", "\x93\xFA\x96\x7B\x8C\xEA \xB1"), 65001, "日本語 ｱ"},
      {"ISO-8859-15", Document("ISO-8859-15", "\xA4 \xA6\xA8 \xBC"), 65001, "€ Šš Œ"},
      {"windows-1255", Document("windows-1255", "\xF9\xEC\xE5\xED \xA4"), 65001, "שלום ₪"},
      {"windows-1252 quotes", Document("windows-1252", "\x93q\x94 \x96 \x80"), 65001,
       "“q” – €"},
      {"ISO-8859-2", Document("ISO-8859-2", "za\xBF\xF3\xB3\xE6"), 65001, "zażółć"},
      {"KOI8-R", Document("koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4"), 65001, "Привет"},
      {"GBK", Document("GBK", "\xD6\xD0\xCE\xC4"), 65001, "中文"},
      {"nothing declared: the default", Document(nullptr, "\xCF\xF0\xE8\xE2\xE5\xF2"), 1251,
       "Привет"},
      {"unknown charset declared: the default",
       Document("x-cyrillic", "\xCF\xF0\xE8\xE2\xE5\xF2"), 1251, "Привет"},
      {"default without a name: the document decides",
       Document("windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2"), 949, "Привет"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Collected got;
    std::string error;
    ASSERT_TRUE(Parse(ExactBytes(row.document).view(), row.defaultCodePage, got, error)) << error;
    EXPECT_EQ(got.text, row.expected);
    EXPECT_EQ(got.title, row.expected);
  }
}

TEST(EncExpatParse, Utf16DocumentsWhateverTheDefault) {
  const std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r t=\"Ж\">日本</r>";
  std::string littleEndian = "\xFF\xFE";
  std::string bigEndian = "\xFE\xFF";
  for (char16_t c : text) {
    littleEndian += static_cast<char>(c & 0xFF);
    littleEndian += static_cast<char>(c >> 8);
    bigEndian += static_cast<char>(c >> 8);
    bigEndian += static_cast<char>(c & 0xFF);
  }
  const std::string withoutMark = littleEndian.substr(2);
  const struct {
    const char* what;
    const std::string& document;
  } rows[] = {{"LE", littleEndian}, {"BE", bigEndian}, {"no mark", withoutMark}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Collected got;
    std::string error;
    // A single-byte default would misread every byte; the sniff must send Expat to UTF-16.
    ASSERT_TRUE(Parse(row.document, 1251, got, error)) << error;
    EXPECT_EQ(got.text, "日本");
    EXPECT_EQ(got.title, "Ж");
  }
}

TEST(EncExpatParse, BytesACharsetCannotHoldAreAnErrorNotACrash) {
  const struct {
    const char* what;
    std::string document;
  } rows[] = {
      {"Shift_JIS lead byte with a bad trail", Document("Shift_JIS", "a\x81\x20z")},
      {"Shift_JIS lead byte at the very end",
       "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\x81"},
      {"windows-1255 unassigned byte", Document("windows-1255", "\xFF")},
      {"ISO-8859-15 C1 byte", Document("ISO-8859-15", "\x85")},
      {"US-ASCII with a high byte", Document("US-ASCII", "\xE9")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Collected got;
    std::string error;
    EXPECT_FALSE(Parse(ExactBytes(row.document).view(), 65001, got, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(EncExpatParse, HandlerInstalledOnAParserMadeElsewhere) {
  // A parser made without a name reads the document's own declaration; the handler gives it the
  // map of a charset Expat does not know, and declines one the table does not have.
  const std::string cyrillic = Document("windows-1251", "\xC6");
  const std::string unknown = Document("x-unknown", "a");
  for (bool installed : {false, true}) {
    SCOPED_TRACE(installed);
    for (const std::string* document : {&cyrillic, &unknown}) {
      ExpatParser parser(XML_ParserCreate(nullptr));
      ASSERT_TRUE(parser);
      if (installed) InstallUnknownEncodingHandler(parser.get());
      Collected got;
      XML_SetUserData(parser.get(), &got);
      XML_SetCharacterDataHandler(parser.get(), OnText);
      const bool ok = XML_Parse(parser.get(), document->data(), static_cast<int>(document->size()),
                                XML_TRUE) == XML_STATUS_OK;
      const bool expectOk = installed && document == &cyrillic;
      EXPECT_EQ(ok, expectOk);
      if (ok) {
        EXPECT_EQ(got.text, "Ж");
      } else {
        EXPECT_EQ(XML_GetErrorCode(parser.get()), XML_ERROR_UNKNOWN_ENCODING);
      }
    }
  }
}

}  // namespace
}  // namespace nubrel
