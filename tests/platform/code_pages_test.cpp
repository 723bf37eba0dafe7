// The code page service: conversions both ways, strictness, single characters for the feed
// engine's byte maps, descriptions and lead bytes, and the default code page.
#include "platform/code_pages.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <random>
#include <string>

#include "platform/utf.h"

namespace platform {
namespace {

// Every code page the device knows, besides 0 and 1.
constexpr uint32_t kKnownCodePages[] = {874,   932,   936,   949,   950,   1250,  1251,
                                        1252,  1253,  1254,  1255,  1256,  1257,  1258,
                                        20866, 28591, 28592, 28593, 28594, 28595, 28596,
                                        28597, 28598, 28599, 28603, 28605, 65001};
constexpr uint32_t kDoubleByteCodePages[] = {932, 936, 949, 950};

bool IsDoubleByteCodePage(uint32_t codePage) {
  for (uint32_t cp : kDoubleByteCodePages) {
    if (cp == codePage) return true;
  }
  return false;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned char b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0xF];
    text += ' ';
  }
  return text;
}

std::string Row(uint32_t codePage, std::string_view bytes) {
  return "code page " + std::to_string(codePage) + ", bytes " + Hex(bytes);
}

// Pins the host locale for the default code page and puts the old one back afterwards.
class ScopedLocaleEnvironment {
 public:
  explicit ScopedLocaleEnvironment(const char* lcAll) {
    if (const char* old = std::getenv("LC_ALL")) old_ = old;
    setenv("LC_ALL", lcAll, 1);
    ReloadDefaultCodePage();
  }
  ~ScopedLocaleEnvironment() {
    if (old_) {
      setenv("LC_ALL", old_->c_str(), 1);
    } else {
      unsetenv("LC_ALL");
    }
    ReloadDefaultCodePage();
  }

 private:
  std::optional<std::string> old_;
};

struct DecodeCase {
  uint32_t codePage;
  std::string bytes;
  std::u16string expected;
};

TEST(CodePagesDecode, EveryFamilyGivesThePublishedCharacters) {
  const DecodeCase cases[] = {
      {1252, "caf\xE9 \x80", u"caf\u00E9 \u20AC"},            // the Euro sign at 0x80
      {1252, std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // a zero byte is data
      {28591, "\xA4\x80", u"\u00A4\u0080"},                   // Latin-1 has no Euro sign
      {28605, "\xA4\xBD", u"\u20AC\u0153"},                   // ISO-8859-15: Euro, oe
      {1250, "\x8A\xE8", u"\u0160\u010D"},
      {28592, "\xA9\xE8", u"\u0160\u010D"},
      {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {20866, "\xF0\xD2\xC9\xD7\xC5\xD4", u"\u041F\u0440\u0438\u0432\u0435\u0442"},
      {28595, "\xBF\xE0", u"\u041F\u0440"},
      {1253, "\xE1\xC1", u"\u03B1\u0391"},
      {28597, "\xE1\xC1", u"\u03B1\u0391"},
      {1254, "\xF0\xDD", u"\u011F\u0130"},
      {28599, "\xF0\xDD", u"\u011F\u0130"},
      {1255, "\xF9\xEC\xE5\xED", u"\u05E9\u05DC\u05D5\u05DD"},
      // A letter and its point stay two characters, as the device gives them.
      {1255, "\xF9\xD1", u"\u05E9\u05C1"},
      {28598, "\xF9\xEC", u"\u05E9\u05DC"},
      {1256, "\xC7\xE1", u"\u0627\u0644"},
      {28596, "\xC7\xE4", u"\u0627\u0644"},
      {1257, "\xE0\xF0", u"\u0105\u0161"},
      {28603, "\xE0\xF0", u"\u0105\u0161"},
      {1258, "a\xEC", u"a\u0301"},  // no composing into U+00E1
      {28593, "\xA6\xF8", u"\u0124\u011D"},
      {28594, "\xA1\xB3", u"\u0104\u0157"},
      {874, "\xA1\x80\x85", u"\u0E01\u20AC\u2026"},
      {932, "\x82\xA0\x88\x9F\xB1\\", u"\u3042\u4E9C\uFF71\\"},  // kana, kanji, half-width kana
      {936, "\xD6\xD0\xCE\xC4\x80", u"\u4E2D\u6587\u20AC"},
      {949, "\xC7\xD1\x81\x41", u"\uD55C\uAC02"},  // the second is one of 949's extra Hangul
      {950, "\xA4\xA4\xA4\xE5\xA3\xE1", u"\u4E2D\u6587\u20AC"},
      {65001, "h\xC3\xA9 \xE2\x82\xAC", u"h\u00E9 \u20AC"},
      {65001, "\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
      {65001, "\xEF\xBB\xBF<", u"\uFEFF<"},        // the byte order mark is kept
      {1252, "", u""},
      {932, "", u""},
      {65001, "", u""},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(Row(c.codePage, c.bytes));
    for (bool strict : {false, true}) {
      std::u16string out = u"left over";
      EXPECT_EQ(MultiByteToWide(c.codePage, c.bytes, out, strict), kErrorSuccess);
      EXPECT_EQ(out, c.expected) << "strict " << strict;
    }
  }
}

TEST(CodePagesDecode, BrokenInputBecomesReplacementsOrFailsWhenStrict) {
  const DecodeCase cases[] = {
      {65001, "a\x80z", u"a\uFFFDz"},             // stray continuation byte
      {65001, "\xE2\x82x", u"\uFFFDx"},           // cut short by ASCII: the x is read again
      {65001, "\xF0\x9F\x98", u"\uFFFD"},         // cut short by the end of the input
      {65001, "\xC3", u"\uFFFD"},
      {65001, "\xC0\xAF", u"\uFFFD\uFFFD"},       // overlong
      {65001, "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // an encoded surrogate
      {65001, "\xF4\x90\x80\x80!", u"\uFFFD\uFFFD\uFFFD\uFFFD!"},  // beyond U+10FFFF
      {65001, "\xFF\xFE", u"\uFFFD\uFFFD"},
      {1252, "a\x81z", u"a\uFFFDz"},              // unassigned in 1252
      {1253, "\xAA", u"\uFFFD"},
      {874, "\xDB\xFF", u"\uFFFD\uFFFD"},
      {932, "ab\x82", u"ab\uFFFD"},               // a lone lead byte at the end
      {932, "\x82<p>", u"\uFFFD<p>"},             // a lead byte before markup loses only itself
      {932, "\x81\x7Fz", u"\uFFFDz"},             // a pair without a mapping counts once
      {932, "\xA0\xFD", u"\uFFFD\uFFFD"},         // bytes that are no character alone
      {936, "\xFFz", u"\uFFFDz"},
      {949, "\xC7", u"\uFFFD"},
      {950, "\xA4", u"\uFFFD"},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(Row(c.codePage, c.bytes));
    std::u16string out;
    EXPECT_EQ(MultiByteToWide(c.codePage, c.bytes, out), kErrorSuccess);
    EXPECT_EQ(out, c.expected);
    out = u"left over";
    EXPECT_EQ(MultiByteToWide(c.codePage, c.bytes, out, true), kErrorNoUnicodeTranslation);
    EXPECT_TRUE(out.empty());
  }
  EXPECT_NE(SystemErrorText(kErrorNoUnicodeTranslation), u"Unknown error 1113");
}

TEST(CodePagesDecode, NeverReadsPastTheEndOfTheInput) {
  // The character continues in memory right after the view; the view alone is cut short.
  const std::string whole[] = {"\x82\xA0", "\xC3\xA9", "\xD6\xD0"};
  const uint32_t codePages[] = {932, 65001, 936};
  for (size_t i = 0; i < std::size(whole); ++i) {
    SCOPED_TRACE(Row(codePages[i], whole[i]));
    const std::string_view cut(whole[i].data(), 1);
    std::u16string out;
    EXPECT_EQ(MultiByteToWide(codePages[i], cut, out), kErrorSuccess);
    EXPECT_EQ(out, u"\uFFFD");
    EXPECT_EQ(MultiByteToWide(codePages[i], cut, out, true), kErrorNoUnicodeTranslation);
  }
}

TEST(CodePagesDecode, RandomBytesStayBoundedAndStrictAgreesWithLenient) {
  std::mt19937 random(20240517);
  for (uint32_t codePage : kKnownCodePages) {
    for (int round = 0; round < 100; ++round) {
      std::string bytes(random() % 64, '\0');
      for (char& b : bytes) b = static_cast<char>(random() % 256);
      SCOPED_TRACE(Row(codePage, bytes));
      std::u16string lenient;
      ASSERT_EQ(MultiByteToWide(codePage, bytes, lenient), kErrorSuccess);
      EXPECT_LE(lenient.size(), bytes.size());
      std::u16string strict;
      const DeviceError strictResult = MultiByteToWide(codePage, bytes, strict, true);
      if (strictResult == kErrorSuccess) {
        EXPECT_EQ(strict, lenient);
      } else {
        EXPECT_EQ(strictResult, kErrorNoUnicodeTranslation);
        EXPECT_NE(lenient.find(u'\uFFFD'), std::u16string::npos);
      }
    }
  }
}

struct EncodeCase {
  uint32_t codePage;
  std::u16string text;
  char defaultChar;
  std::string expected;
  bool usedDefault;
};

TEST(CodePagesEncode, WritesMappedCharactersAndTheDefaultForTheRest) {
  const std::u16string loneHigh(1, char16_t(0xD800));
  const std::u16string loneLow(1, char16_t(0xDC00));
  const EncodeCase cases[] = {
      {1252, u"caf\u00E9 \u20AC", 0, "caf\xE9 \x80", false},
      {1252, u"a\u4E2Db", 0, "a?b", true},
      {1252, u"a\u4E2Db", '#', "a#b", true},
      {1252, u"\U0001F600", 0, "?", true},  // one default character for the whole pair
      {1252, u"a" + loneHigh + u"b", 0, "a?b", true},
      {1252, u"a" + loneLow, 0, "a?", true},
      {1252, u"a" + loneHigh, 0, "a?", true},
      {28605, u"\u20AC", 0, "\xA4", false},
      {28591, u"\u20AC\u00E9", 0, "?\xE9", true},
      {20866, u"\u041F\u0440\u0438", 0, "\xF0\xD2\xC9", false},
      {1251, u"\u041F\u0440\u0438", 0, "\xCF\xF0\xE8", false},
      {1255, u"\u05E9\u05C1", 0, "\xF9\xD1", false},
      {874, u"\u0E01\u20AC", 0, "\xA1\x80", false},
      {932, u"\u3042\u4E9C\uFF71\\", 0, "\x82\xA0\x88\x9F\xB1\\", false},
      {932, u"\u0E01", 0, "?", true},
      {936, u"\u4E2D\u6587", 0, "\xD6\xD0\xCE\xC4", false},
      {949, u"\uD55C", 0, "\xC7\xD1", false},
      {950, u"\u4E2D", 0, "\xA4\xA4", false},
      {65001, u"h\u00E9 \U0001F600", 0, "h\xC3\xA9 \xF0\x9F\x98\x80", false},
      // UTF-8 writes every character; only a lone surrogate is replaced, by U+FFFD.
      {65001, u"a" + loneHigh + u"b", '#', "a\xEF\xBF\xBD" "b", true},
      {65001, std::u16string(u"a\0b", 3), 0, std::string("a\0b", 3), false},
      {1252, u"", 0, "", false},
  };
  for (const EncodeCase& c : cases) {
    SCOPED_TRACE(Row(c.codePage, c.expected));
    std::string out = "left over";
    bool usedDefault = !c.usedDefault;
    EXPECT_EQ(WideToMultiByte(c.codePage, c.text, out, c.defaultChar, &usedDefault), kErrorSuccess);
    EXPECT_EQ(Hex(out), Hex(c.expected));
    EXPECT_EQ(usedDefault, c.usedDefault);
    // The report of the default character is optional.
    EXPECT_EQ(WideToMultiByte(c.codePage, c.text, out, c.defaultChar), kErrorSuccess);
    EXPECT_EQ(Hex(out), Hex(c.expected));
  }
}

TEST(CodePagesEncode, LongTextsConvertWhole) {
  // Longer than any working buffer, with unmappable characters at the far end.
  const std::u16string text = std::u16string(10000, u'\u00E9') + u"\u4E2D";
  std::string out;
  bool usedDefault = false;
  ASSERT_EQ(WideToMultiByte(1252, text, out, 0, &usedDefault), kErrorSuccess);
  EXPECT_EQ(out, std::string(10000, '\xE9') + "?");
  EXPECT_TRUE(usedDefault);
  ASSERT_EQ(WideToMultiByte(65001, text, out), kErrorSuccess);
  EXPECT_EQ(out, ToUtf8(text));
  std::u16string back;
  ASSERT_EQ(MultiByteToWide(65001, out, back, true), kErrorSuccess);
  EXPECT_EQ(back, text);
}

TEST(CodePagesRoundTrip, RandomBmpTextThroughUtf8) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    std::u16string text(random() % 300, u'\0');
    for (char16_t& unit : text) {
      do {
        unit = static_cast<char16_t>(random() % 0x10000);
      } while (unit >= 0xD800 && unit <= 0xDFFF);
    }
    SCOPED_TRACE(round);
    std::string bytes;
    bool usedDefault = true;
    ASSERT_EQ(WideToMultiByte(kCodePageUtf8, text, bytes, 0, &usedDefault), kErrorSuccess);
    EXPECT_FALSE(usedDefault);
    EXPECT_EQ(bytes, ToUtf8(text));  // the host boundary's own encoder agrees
    std::u16string back;
    ASSERT_EQ(MultiByteToWide(kCodePageUtf8, bytes, back, true), kErrorSuccess);
    EXPECT_EQ(back, text);
  }
}

TEST(CodePagesRoundTrip, EveryAssignedByteOfSingleByteCodePages) {
  for (uint32_t codePage : kKnownCodePages) {
    if (IsDoubleByteCodePage(codePage) || codePage == kCodePageUtf8) continue;
    int assigned = 0;
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      SCOPED_TRACE(Row(codePage, byte));
      char16_t unit = 0;
      const DeviceError result = SingleByteToWide(codePage, static_cast<uint8_t>(b), unit);
      std::u16string text;
      // The single character and the conversion of the byte as text must agree.
      EXPECT_EQ(MultiByteToWide(codePage, byte, text, true), result);
      if (result != kErrorSuccess) {
        EXPECT_EQ(result, kErrorNoUnicodeTranslation);
        continue;
      }
      ++assigned;
      EXPECT_EQ(text, std::u16string(1, unit));
      std::string back;
      bool usedDefault = true;
      ASSERT_EQ(WideToMultiByte(codePage, text, back, 0, &usedDefault), kErrorSuccess);
      EXPECT_EQ(Hex(back), Hex(byte));
      EXPECT_FALSE(usedDefault);
    }
    // ASCII at least; a broken converter that maps nothing would pass the loop above.
    EXPECT_GE(assigned, 128) << "code page " << codePage;
  }
}

struct SingleCase {
  uint32_t codePage;
  uint8_t lead;
  std::optional<uint8_t> trail;  // none: convert the lead byte alone
  DeviceError result;
  char16_t expected;
};

TEST(CodePagesCharacters, SingleAndDoubleByteCharactersForByteMaps) {
  const SingleCase cases[] = {
      {1251, 0xC0, {}, kErrorSuccess, u'\u0410'},
      {1252, 0x41, {}, kErrorSuccess, u'A'},
      {1252, 0x00, {}, kErrorSuccess, u'\0'},
      {1252, 0x81, {}, kErrorNoUnicodeTranslation, 0},
      {1258, 0xEC, {}, kErrorSuccess, u'\u0301'},
      {932, 0xB1, {}, kErrorSuccess, u'\uFF71'},
      {932, 0x5C, {}, kErrorSuccess, u'\\'},
      {932, 0x82, {}, kErrorNoUnicodeTranslation, 0},  // a lead byte is no character alone
      {936, 0x80, {}, kErrorSuccess, u'\u20AC'},
      {65001, 0x41, {}, kErrorSuccess, u'A'},
      {65001, 0xC3, {}, kErrorNoUnicodeTranslation, 0},
      {932, 0x82, 0xA0, kErrorSuccess, u'\u3042'},
      {932, 0xE0, 0x40, kErrorSuccess, u'\u6F3E'},
      {932, 0x82, 0x20, kErrorNoUnicodeTranslation, 0},
      {932, 0x41, 0x41, kErrorNoUnicodeTranslation, 0},  // not a lead byte
      {936, 0xD6, 0xD0, kErrorSuccess, u'\u4E2D'},
      {949, 0xB0, 0xA1, kErrorSuccess, u'\uAC00'},
      {950, 0xA4, 0xA4, kErrorSuccess, u'\u4E2D'},
      {1252, 0x81, 0x40, kErrorNoUnicodeTranslation, 0},  // single-byte code page
      {65001, 0xC3, 0xA9, kErrorNoUnicodeTranslation, 0},
  };
  for (const SingleCase& c : cases) {
    std::string bytes(1, static_cast<char>(c.lead));
    if (c.trail) bytes += static_cast<char>(*c.trail);
    SCOPED_TRACE(Row(c.codePage, bytes));
    char16_t unit = u'\uABCD';
    const DeviceError result = c.trail ? DoubleByteToWide(c.codePage, c.lead, *c.trail, unit)
                                       : SingleByteToWide(c.codePage, c.lead, unit);
    EXPECT_EQ(result, c.result);
    if (c.result == kErrorSuccess) {
      EXPECT_EQ(unit, c.expected);
    }
  }
}

TEST(CodePagesDescription, LeadByteRangesAndSizes) {
  struct Case {
    uint32_t codePage;
    uint32_t maxCharSize;
    std::vector<std::pair<int, int>> ranges;
  } cases[] = {
      {932, 2, {{0x81, 0x9F}, {0xE0, 0xFC}}},
      {936, 2, {{0x81, 0xFE}}},
      {949, 2, {{0x81, 0xFE}}},
      {950, 2, {{0x81, 0xFE}}},
      {1252, 1, {}},
      {20866, 1, {}},
      {874, 1, {}},
      {65001, 4, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codePage);
    CodePageInfo info;
    ASSERT_EQ(GetCodePageInfo(c.codePage, info), kErrorSuccess);
    EXPECT_EQ(info.codePage, c.codePage);
    EXPECT_EQ(info.maxCharSize, c.maxCharSize);
    EXPECT_EQ(info.defaultChar, '?');
    EXPECT_EQ(info.wideDefaultChar, u'\uFFFD');
    std::vector<std::pair<int, int>> ranges;
    for (const LeadByteRange& r : info.leadByteRanges) ranges.emplace_back(r.first, r.last);
    EXPECT_EQ(ranges, c.ranges);
    // IsLeadByte answers exactly the bytes of the ranges; a lead byte is never a character alone.
    for (int b = 0; b < 256; ++b) {
      bool inRange = false;
      for (const auto& [first, last] : c.ranges) inRange = inRange || (b >= first && b <= last);
      EXPECT_EQ(IsLeadByte(c.codePage, static_cast<uint8_t>(b)), inRange) << "byte " << b;
      char16_t unit = 0;
      if (inRange) {
        EXPECT_EQ(SingleByteToWide(c.codePage, static_cast<uint8_t>(b), unit),
                  kErrorNoUnicodeTranslation)
            << "byte " << b;
      }
    }
  }
}

TEST(CodePagesDescription, UnknownCodePagesAreRefusedWith87) {
  const uint32_t unknown[] = {2, 3, 437, 1200, 1201, 1259, 20127, 28600, 28604, 65000, 65002,
                              0xFFFFFFFF};
  for (uint32_t codePage : unknown) {
    SCOPED_TRACE(codePage);
    EXPECT_FALSE(IsValidCodePage(codePage));
    std::u16string wide = u"left over";
    EXPECT_EQ(MultiByteToWide(codePage, "abc", wide), kErrorInvalidParameter);
    EXPECT_TRUE(wide.empty());
    std::string bytes = "left over";
    bool usedDefault = true;
    EXPECT_EQ(WideToMultiByte(codePage, u"abc", bytes, 0, &usedDefault), kErrorInvalidParameter);
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(usedDefault);
    CodePageInfo info;
    info.codePage = 4242;
    EXPECT_EQ(GetCodePageInfo(codePage, info), kErrorInvalidParameter);
    EXPECT_EQ(info.codePage, 4242u);
    char16_t unit = 0;
    EXPECT_EQ(SingleByteToWide(codePage, 'a', unit), kErrorInvalidParameter);
    EXPECT_EQ(DoubleByteToWide(codePage, 0x82, 0xA0, unit), kErrorInvalidParameter);
    EXPECT_FALSE(IsLeadByte(codePage, 0x82));
  }
  for (uint32_t codePage : kKnownCodePages) {
    SCOPED_TRACE(codePage);
    EXPECT_TRUE(IsValidCodePage(codePage));
  }
}

TEST(CodePagesDefault, FollowsTheHostLocale) {
  ScopedLocaleEnvironment locale("C.UTF-8");
  EXPECT_EQ(DefaultCodePage(), kCodePageUtf8);
  for (uint32_t codePage : {kCodePageAnsi, kCodePageOem}) {
    SCOPED_TRACE(codePage);
    EXPECT_TRUE(IsValidCodePage(codePage));
    std::u16string wide;
    EXPECT_EQ(MultiByteToWide(codePage, "\xC3\xA9\xF0\x9F\x98\x80", wide, true), kErrorSuccess);
    EXPECT_EQ(wide, u"\u00E9\U0001F600");
    std::string bytes;
    EXPECT_EQ(WideToMultiByte(codePage, u"\u20AC", bytes), kErrorSuccess);
    EXPECT_EQ(bytes, "\xE2\x82\xAC");
    CodePageInfo info;
    ASSERT_EQ(GetCodePageInfo(codePage, info), kErrorSuccess);
    EXPECT_EQ(info.codePage, kCodePageUtf8);
  }
  // Plain ASCII has no code page of its own on the device: UTF-8 reads all of it.
  setenv("LC_ALL", "C", 1);
  ReloadDefaultCodePage();
  EXPECT_EQ(DefaultCodePage(), kCodePageUtf8);
}

TEST(CodePagesDefault, HostCharsetNamesMapToCodePages) {
  const struct {
    const char* charset;
    uint32_t codePage;
  } cases[] = {
      {"UTF-8", 65001},        {"utf8", 65001},          {"ISO-8859-1", 28591},
      {"ISO-8859-9", 28599},   {"ISO-8859-13", 28603},   {"ISO-8859-15", 28605},
      {"iso_8859_2", 28592},   {"KOI8-R", 20866},        {"CP1251", 1251},
      {"WINDOWS-1252", 1252},  {"CP874", 874},           {"TIS-620", 874},
      {"SHIFT_JIS", 932},      {"CP932", 932},           {"GBK", 936},
      {"GB2312", 936},         {"EUC-KR", 949},          {"BIG5", 950},
      // No device code page: UTF-8.
      {"ANSI_X3.4-1968", 65001}, {"EUC-JP", 65001},      {"ISO-8859-10", 65001},
      {"KOI8-U", 65001},       {"CP28591", 65001},       {"CP1259", 65001},
      {"CP", 65001},           {"CP99999999999", 65001}, {"", 65001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.charset);
    EXPECT_EQ(CodePageOfHostCharset(c.charset), c.codePage);
  }
}

}  // namespace
}  // namespace platform
