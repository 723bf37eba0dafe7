// Character references, the entity table, JSON strings and the XML text writer, with the texts
// feeds really send and the broken ones they also send.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "feeds/encodings.h"
#include "shared/temp_device.h"
#include "shared/text.h"

namespace nubrel {
namespace {

// A text in a heap block of exactly its size: a read past the end is an ASan error.
struct ExactText {
  explicit ExactText(std::u16string_view text)
      : size(text.size()), units(new char16_t[text.size() ? text.size() : 1]) {
    std::copy(text.begin(), text.end(), units.get());
  }
  std::u16string_view view() const { return {units.get(), size}; }
  size_t size;
  std::unique_ptr<char16_t[]> units;
};

std::string Hex(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

// ---- References ----

TEST(EncEntities, ReferencesAfterTheAmpersand) {
  const struct {
    const char16_t* text;
    char32_t character;  // 0: not a reference
    size_t length;       // units up to and including ";"
  } rows[] = {
      {u"eacute;", 0xE9, 7},
      {u"aacute;", 0xE1, 7},
      {u"Iacute;", 0xCD, 7},
      {u"raquo;", 0xBB, 6},
      {u"eacute; and more", 0xE9, 7},
      {u"apos;", u'\'', 5},
      {u"#233;", 0xE9, 5},
      {u"#xE9;", 0xE9, 5},
      {u"#xe9;", 0xE9, 5},
      {u"#XE9;", 0xE9, 5},
      {u"#151;", 0x2014, 5},  // windows-1252 byte numbers answer as what those bytes mean
      {u"#150;", 0x2013, 5},
      {u"#128;", 0x20AC, 5},
      {u"#x80;", 0x20AC, 5},
      {u"#146;", 0x2019, 5},
      {u"#38;", u'&', 4},
      {u"#x3C;", u'<', 5},
      {u"#000065;", u'A', 8},   // six digits
      {u"#x0041;", u'A', 7},    // four digits
      {u"#128512;", 0x1F600, 8},  // beyond the BMP: a whole character
      {u"#999999;", 0xF423F, 8},
      {u"#55357;", 0xFFFD, 7},  // half a surrogate pair shows as a replacement character
      {u"#xDFFF;", 0xFFFD, 7},
      {u"#x1F600;", 0, 0},      // five hexadecimal digits
      {u"#0000065;", 0, 0},     // seven decimal digits
      {u"#0;", 0, 0},
      {u"#x;", 0, 0},
      {u"#;", 0, 0},
      {u"#65", 0, 0},           // unterminated
      {u"#65 ;", 0, 0},
      {u"#6a;", 0, 0},
      {u"#xG1;", 0, 0},
      {u"#", 0, 0},
      {u"#x", 0, 0},
      {u"nosuchname;", 0, 0},
      {u"Amp;", 0, 0},          // names are case-sensitive
      {u"amp", 0, 0},
      {u"eacute", 0, 0},
      {u"", 0, 0},
      {u";", 0, 0},
  };
  for (const auto& row : rows) {
    const std::u16string text(row.text);
    SCOPED_TRACE(ToUtf8(text));
    size_t length = 12345;
    const ExactText exact(text);
    EXPECT_EQ(Hex(decodeReference(exact.view(), length)), Hex(row.character));
    EXPECT_EQ(length, row.character ? row.length : 12345u);
  }
}

TEST(EncEntities, TheTableOfNames) {
  // The names in the order the reader has always kept them.
  const std::u16string names =
      u"AElig; Aacute; Acirc; Agrave; Aring; Atilde; Auml; Ccedil; ETH; Eacute; Ecirc; Egrave; "
      u"Euml; Iacute; Icirc; Igrave; Iuml; Ntilde; Oacute; Ocirc; Ograve; Oslash; Otilde; Ouml; "
      u"Uacute; Ucirc; Ugrave; Uuml; Yacute; aacute; acirc; acute; aelig; agrave; amp; apos; "
      u"aring; atilde; auml; bull; ccedil; copy; darr; deg; eacute; ecirc; egrave; eth; euml; "
      u"euro; frac12; frac14; frac34; gt; harr; hellip; iacute; icirc; igrave; iquest; iuml; "
      u"laquo; larr; ldquo; lsquo; lt; mdash; middot; nbsp; ndash; ntilde; oacute; ocirc; "
      u"ograve; oslash; otilde; ouml; pound; quot; raquo; rarr; rdquo; rsquo; times; trade; "
      u"uacute; uarr; ucirc; ugrave; uuml; yacute; yen; yuml; ";
  std::vector<std::u16string> expected;
  for (size_t at = 0, blank; (blank = names.find(u' ', at)) != std::u16string::npos;
       at = blank + 1) {
    expected.push_back(names.substr(at, blank - at));
  }
  // The rows that are not Latin-1 characters answering their own number.
  const struct {
    const char16_t* name;
    uint16_t numeric;
    char16_t character;
  } special[] = {
      {u"amp;", 0, u'&'},        {u"lt;", 0, u'<'},         {u"gt;", 0, u'>'},
      {u"quot;", 0, u'"'},       {u"apos;", 0, u'\''},      {u"nbsp;", 0, 0xA0},
      {u"larr;", 0, 0x2190},     {u"uarr;", 0, 0x2191},     {u"rarr;", 0, 0x2192},
      {u"darr;", 0, 0x2193},     {u"harr;", 0, 0x2194},     {u"hellip;", 0, 0x2026},
      {u"trade;", 0, 0x2122},    {u"euro;", 128, 0x20AC},   {u"lsquo;", 145, 0x2018},
      {u"rsquo;", 146, 0x2019},  {u"ldquo;", 147, 0x201C},  {u"rdquo;", 148, 0x201D},
      {u"bull;", 149, 0x2022},   {u"ndash;", 150, 0x2013},  {u"mdash;", 151, 0x2014},
  };
  ASSERT_EQ(EntityTable().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const EntityRow& row = EntityTable()[i];
    SCOPED_TRACE(ToUtf8(expected[i]));
    EXPECT_EQ(row.name, expected[i]);
    const auto it = std::find_if(std::begin(special), std::end(special),
                                 [&](const auto& s) { return row.name == s.name; });
    if (it != std::end(special)) {
      EXPECT_EQ(row.numericReference, it->numeric);
      EXPECT_EQ(Hex(row.character), Hex(it->character));
    } else {
      EXPECT_EQ(row.numericReference, row.character);
      EXPECT_GE(row.character, 0xA0);
      EXPECT_LE(row.character, 0xFF);
    }
    // Both ways of writing the row decode to its character.
    size_t length = 0;
    EXPECT_EQ(Hex(decodeReference(row.name, length)), Hex(row.character));
    EXPECT_EQ(length, row.name.size());
    if (row.numericReference != 0) {
      const std::u16string numeric = u"#" + FormatDecimal(row.numericReference) + u";";
      EXPECT_EQ(Hex(decodeReference(numeric, length)), Hex(row.character));
    }
  }
}

// ---- Decoding texts ----

TEST(EncEntities, DecodingWholeTexts) {
  const struct {
    const char16_t* text;
    bool collapse;
    const char16_t* expected;
  } rows[] = {
      {u"Caf&eacute; &#8212; &nosuch; & done", false, u"Caf\u00E9 \u2014 &nosuch; & done"},
      {u"&amp;amp;", false, u"&amp;"},  // one pass only
      {u"a&lt;b&gt;c&quot;d&apos;e", false, u"a<b>c\"d'e"},
      {u"&#x1F600; stays", false, u"&#x1F600; stays"},
      {u"smile &#128512;!", false, u"smile \U0001F600!"},
      {u"&#55357;&#56832;", false, u"\uFFFD\uFFFD"},
      {u"&#1;", false, u"\u0001"},
      {u"trailing &", false, u"trailing &"},
      {u"&", false, u"&"},
      {u"&#", false, u"&#"},
      {u"&&amp;", false, u"&&"},
      {u"", false, u""},
      {u"a\t\n\nb", true, u"a b"},
      {u"  lead and trail \n", true, u" lead and trail "},
      {u"a\t\n\nb", false, u"a\t\n\nb"},
      {u"a \r\n b", true, u"a \r b"},  // carriage returns are not collapsed
      {u"a&nbsp; &#32; b", true, u"a\u00A0   b"},  // references are not white space here
      {u"x &amp;\n\n y", true, u"x & y"},
  };
  for (const auto& row : rows) {
    const std::u16string text(row.text);
    SCOPED_TRACE(ToUtf8(text) + (row.collapse ? " (collapsing)" : ""));
    EXPECT_EQ(ToUtf8(decodeEntities(ExactText(text).view(), row.collapse)), ToUtf8(row.expected));
    // Counting alone gives the same length, and decoding in place the same text.
    const ExactText inPlace(text);
    const size_t counted = decodeEntities(inPlace.units.get(), inPlace.size, row.collapse, nullptr);
    const size_t written =
        decodeEntities(inPlace.units.get(), inPlace.size, row.collapse, inPlace.units.get());
    EXPECT_EQ(counted, written);
    EXPECT_EQ(ToUtf8(std::u16string_view(inPlace.units.get(), written - 1)), ToUtf8(row.expected));
  }
}

TEST(EncEntities, JsonStrings) {
  const struct {
    const char16_t* text;
    const char16_t* expected;
  } rows[] = {
      {u"line\\nbreak", u"line\nbreak"},
      {u"\\b\\f\\r\\t", u"\b\f\r\t"},
      {u"caf\\u00e9 caf\\u00E9", u"caf\u00E9 caf\u00E9"},
      {u"\\u20ac", u"\u20AC"},
      {u"\\ud83d\\ude00", u"\U0001F600"},
      {u"\\/ \\\" \\\\", u"/ \" \\"},
      {u"\\u12", u"u12"},
      {u"\\u12G4", u"u12G4"},
      {u"end\\", u"end"},
      {u"\\u0026amp; and &amp;", u"& and &"},  // escapes first, then references
      {u"Tom \\u0026 Jerry", u"Tom & Jerry"},
      {u"\\\\u0041", u"\\u0041"},
      {u"", u""},
  };
  for (const auto& row : rows) {
    const std::u16string text(row.text);
    SCOPED_TRACE(ToUtf8(text));
    EXPECT_EQ(ToUtf8(decodeJsonString(ExactText(text).view())), ToUtf8(row.expected));
  }
}

// ---- Writing XML text ----

TEST(EncXmlText, WritesUtf8EscapedLikeEveryOtherWriter) {
  testing::TempDevice device;
  ASSERT_TRUE(device.valid());
  const std::u16string text = u"a&b'c\"d<e>f \u00E9\u20AC\U0001F600 \u0001x";
  BufferedFileWriter file;
  ASSERT_EQ(file.Open(u"\\out.xml"), 0);
  EXPECT_TRUE(writeXmlText(file, text, true));
  EXPECT_TRUE(writeXmlText(file, u"|", false));
  EXPECT_TRUE(writeXmlText(file, u"<raw & kept>", false));
  ASSERT_EQ(file.Close(), 0);
  const std::string bytes = testing::ReadHostFile(device.Host("out.xml"));
  EXPECT_EQ(bytes,
            "a&amp;b&apos;c&quot;d&lt;e&gt;f \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80 x"
            "|<raw & kept>");
  // One escaper for the program: the shared writer's.
  EXPECT_EQ(bytes.substr(0, bytes.find('|')), ToUtf8(XmlEscape(text)));
}

}  // namespace
}  // namespace nubrel
