// The engine's UTF-16 text helpers: white space, case, numbers and template filling.
#include "shared/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace nubrel {
namespace {

std::string Show(std::u16string_view text) { return ToUtf8(text); }

TEST(SharedTextTrim, RemovesAsciiWhiteSpaceAtBothEndsOnly) {
  struct Row {
    std::u16string_view input;
    std::u16string_view expected;
  } rows[] = {
      {u"", u""},
      {u" \t\r\n\v\f", u""},
      {u"  a  b \t", u"a  b"},
      {u"x", u"x"},
      {u"\u00a0x\u00a0", u"\u00a0x\u00a0"},  // a no-break space is a character, not white space
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.input));
    EXPECT_EQ(Trim(row.input), row.expected);
    EXPECT_EQ(TrimView(row.input), row.expected);
  }
}

TEST(SharedTextCase, MapsAsciiLatin1AndOtherBmpLettersOneToOne) {
  struct Row {
    std::u16string_view upper;
    std::u16string_view lower;
  } rows[] = {
      {u"ABC XYZ 09@[", u"abc xyz 09@["},
      {u"\u00c0\u00c9\u00ce\u00d5\u00dc\u00de", u"\u00e0\u00e9\u00ee\u00f5\u00fc\u00fe"},
      {u"\u00d7\u00f7", u"\u00d7\u00f7"},              // multiplication and division signs
      {u"\u041f\u0420\u0418\u0412\u0415\u0422", u"\u043f\u0440\u0438\u0432\u0435\u0442"},
      {u"\u0394\u03a9", u"\u03b4\u03c9"},
      {u"\U0001F600", u"\U0001F600"},                  // surrogates never change
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.upper));
    EXPECT_EQ(ToLower(row.upper), row.lower);
    EXPECT_EQ(ToUpper(row.lower), row.upper);
  }
  // Simple mappings only: sharp s has no one-unit capital, y with diaeresis leaves Latin-1.
  EXPECT_EQ(ToUpperChar(u'\u00df'), u'\u00df');
  EXPECT_EQ(ToUpperChar(u'\u00ff'), u'\u0178');
  EXPECT_EQ(ToLowerChar(u'\u0178'), u'\u00ff');
}

TEST(SharedTextCompare, IgnoresCaseAndOrdersByLoweredUnits) {
  struct Row {
    std::u16string_view a;
    std::u16string_view b;
    int sign;
  } rows[] = {
      {u"", u"", 0},
      {u"abc", u"ABC", 0},
      {u"\u00c4rger", u"\u00e4RGER", 0},
      {u"abc", u"abd", -1},
      {u"ab", u"abc", -1},
      {u"B", u"a", 1},        // by letter, not by code unit ("B" < "a" as units)
      {u"a", u"", 1},
      {u"Zeta", u"\u00e9", -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.a) + " vs " + Show(row.b));
    const int result = CompareNoCase(row.a, row.b);
    EXPECT_EQ((result > 0) - (result < 0), row.sign);
    const int reverse = CompareNoCase(row.b, row.a);
    EXPECT_EQ((reverse > 0) - (reverse < 0), -row.sign);
    EXPECT_EQ(EqualsNoCase(row.a, row.b), row.sign == 0);
  }
}

TEST(SharedTextCompare, FindsAndMatchesEndsIgnoringCase) {
  constexpr size_t npos = std::u16string_view::npos;
  struct Row {
    std::u16string_view text;
    std::u16string_view what;
    size_t from;
    size_t found;
  } rows[] = {
      {u"Hello World", u"WORLD", 0, 6},
      {u"Hello World", u"o", 5, 7},
      {u"Hello World", u"hello", 1, npos},
      {u"une \u00e9cole", u"\u00c9COLE", 0, 4},
      {u"abc", u"", 3, 3},
      {u"abc", u"", 4, npos},
      {u"ab", u"abc", 0, npos},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.text) + " / " + Show(row.what));
    EXPECT_EQ(FindNoCase(row.text, row.what, row.from), row.found);
  }
  EXPECT_TRUE(StartsWithNoCase(u"HTTP://x", u"http://"));
  EXPECT_FALSE(StartsWithNoCase(u"htt", u"http"));
  EXPECT_TRUE(EndsWithNoCase(u"Photo.JPG", u".jpg"));
  EXPECT_FALSE(EndsWithNoCase(u"jpg", u".jpg"));
  EXPECT_TRUE(EndsWithNoCase(u"x", u""));
}

TEST(SharedTextNumbers, FormatsDecimalAndHexadecimal) {
  EXPECT_EQ(FormatDecimal(0), u"0");
  EXPECT_EQ(FormatDecimal(-42), u"-42");
  EXPECT_EQ(FormatDecimal(std::numeric_limits<int64_t>::max()), u"9223372036854775807");
  EXPECT_EQ(FormatDecimal(std::numeric_limits<int64_t>::min()), u"-9223372036854775808");
  struct Row {
    uint64_t value;
    int minDigits;
    bool upper;
    std::u16string_view expected;
  } rows[] = {
      {0xCBF43926u, 8, true, u"CBF43926"},
      {0x1Au, 8, true, u"0000001A"},
      {0x1Au, 0, true, u"1A"},
      {10, 2, false, u"0a"},
      {0, 0, true, u"0"},
      {0xABCu, 2, true, u"ABC"},  // a minimum, never a cut
      {std::numeric_limits<uint64_t>::max(), 4, true, u"FFFFFFFFFFFFFFFF"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(FormatHex(row.value, row.minDigits, row.upper), row.expected);
  }
}

TEST(SharedTextNumbers, StrictParseAcceptsOnlyWholeInRangeNumbers) {
  struct Row {
    std::u16string_view text;
    bool ok;
    int64_t value;
  } rows[] = {
      {u"0", true, 0},
      {u"-17", true, -17},
      {u"+5", true, 5},
      {u"007", true, 7},
      {u"9223372036854775807", true, std::numeric_limits<int64_t>::max()},
      {u"-9223372036854775808", true, std::numeric_limits<int64_t>::min()},
      {u"9223372036854775808", false, 0},
      {u"-9223372036854775809", false, 0},
      {u"99999999999999999999999", false, 0},
      {u"", false, 0},
      {u"-", false, 0},
      {u" 1", false, 0},
      {u"1 ", false, 0},
      {u"12a", false, 0},
      {u"1.5", false, 0},
      {u"\u0661", false, 0},  // an Arabic-Indic digit
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.text));
    int64_t value = 12345;
    EXPECT_EQ(ParseInteger(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 12345);  // untouched on failure
  }
}

TEST(SharedTextNumbers, StrictHexParseAcceptsDigitsOfEitherCaseUpTo64Bits) {
  struct Row {
    std::u16string_view text;
    bool ok;
    uint64_t value;
  } rows[] = {
      {u"ff", true, 0xFF},
      {u"DEADbeef", true, 0xDEADBEEF},
      {u"0", true, 0},
      {u"FFFFFFFFFFFFFFFF", true, std::numeric_limits<uint64_t>::max()},
      {u"10000000000000000", false, 0},
      {u"", false, 0},
      {u"0x1", false, 0},
      {u"g", false, 0},
      {u"-1", false, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.text));
    uint64_t value = 99;
    EXPECT_EQ(ParseHex(row.text, value), row.ok);
    EXPECT_EQ(value, row.ok ? row.value : 99u);
  }
}

TEST(SharedTextNumbers, LeadingIntegerReadsLikeWcstol) {
  struct Row {
    std::u16string_view text;
    int64_t value;
    size_t length;
  } rows[] = {
      {u"42abc", 42, 2},
      {u"30i", 30, 2},
      {u"  -7 days", -7, 4},
      {u"+3", 3, 2},
      {u"\t\n12", 12, 4},
      {u"abc", 0, 0},
      {u"-", 0, 0},
      {u" ", 0, 0},
      {u"", 0, 0},
      {u"99999999999999999999x", std::numeric_limits<int64_t>::max(), 20},
      {u"-99999999999999999999", std::numeric_limits<int64_t>::min(), 21},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.text));
    size_t length = 777;
    EXPECT_EQ(LeadingInteger(row.text, &length), row.value);
    EXPECT_EQ(length, row.length);
  }
}

TEST(SharedTextFormat, FillsTheProgramsTemplates) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  const std::u16string name = u"myChannels.opml";
  struct Row {
    std::u16string_view format;
    std::vector<FormatArg> args;
    std::u16string_view expected;
  } rows[] = {
      {u"Unable to save OPML file : %s", {name}, u"Unable to save OPML file : myChannels.opml"},
      {u"%d/%d", {3, 10}, u"3/10"},
      {u"(next %2d:%02d%s)", {9, 5, u"am"}, u"(next  9:05am)"},
      {u"(next %2d:%02d%s)", {12, 30, u"pm"}, u"(next 12:30pm)"},
      {u"[%08lx] ", {0x1a2bu}, u"[00001a2b] "},
      {u"%ld.%02ldMB", {3L, 7L}, u"3.07MB"},
      {u"%ldKB", {1024L}, u"1024KB"},
      {u"%04d-%02d-%02dT%02d:%02d:%02d-00:00", {2008, 10, 21, 18, 28, 26},
       u"2008-10-21T18:28:26-00:00"},
      {u"%03d|%-4d|%4d", {-5, 7, -7}, u"-05|7   |  -7"},
      {u"%u %x %X", {-1, 255, 255}, u"4294967295 ff FF"},
      {u"%lld %llu", {kMin, std::numeric_limits<uint64_t>::max()},
       u"-9223372036854775808 18446744073709551615"},
      {u"[%5s][%-5s][%.2s]", {u"ab", u"ab", u"abcdef"}, u"[   ab][ab   ][ab]"},
      {u"%c%c", {0x41, 0xE9}, u"A\u00e9"},
      {u"100%% sure", {}, u"100% sure"},
      // Mismatches and missing arguments never fail nor read past the list.
      {u"%d and %d", {1}, u"1 and %d"},
      {u"%s", {42}, u"42"},
      {u"%d", {u"text"}, u"text"},
      {u"%q %s", {u"x"}, u"%q x"},
      {u"ends with %", {}, u"ends with %"},
      {u"ends with %08l", {5}, u"ends with %08l"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.format));
    EXPECT_EQ(FormatText(row.format, row.args), row.expected);
  }
  EXPECT_EQ(FormatString(u"%s has %d new", std::u16string(u"Feed"), 3u), u"Feed has 3 new");
  // A silly width is capped, so a template cannot make a huge text.
  EXPECT_EQ(FormatText(u"%99999999d", {1}).size(), 1024u);
}

}  // namespace
}  // namespace nubrel
