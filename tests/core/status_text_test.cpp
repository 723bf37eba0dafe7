// Status texts: every code of the table, the codes shown in decimal, the prefix forms and the
// 255-character limit, and that workers and the interface thread can build texts at once.
#include "core/status_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "core/string_table.h"
#include "platform/utf.h"

namespace nubrel {
namespace {

std::string Show(const std::u16string& text) { return platform::ToUtf8(text); }

struct CodeRow {
  int32_t code;
  int stringNumber;  // 0 for a code shown in decimal
  std::u16string text;
};

// The texts as the user reads them, so a wrong number in the table and a wrong text in the
// string table both show.
const CodeRow kCodeRows[] = {
    {-901, 230, u"Aborted by user"},
    {-900, 229, u"Critical cache thread failure - Error 900"},
    {-504, 279, u"Gateway timeout - HTTP 504"},
    {-503, 252, u"Service unavailable - HTTP 503"},
    {-500, 213, u"Server error - HTTP 500"},
    {-410, 278, u"Gone - HTTP 410"},
    {-407, 216, u"Proxy authentication failed - HTTP 407"},
    {-404, 129, u"URL not found - HTTP 404"},
    {-403, 248, u"Forbidden - HTTP 403"},
    {-401, 217, u"Access denied - HTTP 401"},
    {-400, 214, u"Bad request - HTTP 400"},
    {6, 127, u"Attempt to connect to server failed"},
    {36, 160, u"No path to the host could be found"},
    {112, 239, u"Destination media full"},
    {12007, 212, u"Unable to resolve name"},
    {12017, 211, u"Server closed connection"},
    {12029, 127, u"Attempt to connect to server failed"},
    {12031, 220, u"Server reset connection"},
    // Neighbours of table codes and other results fall through to their digits.
    {-502, 0, u"-502"},
    {-405, 0, u"-405"},
    {404, 0, u"404"},
    {12002, 0, u"12002"},
    {12030, 0, u"12030"},
    {-902, 0, u"-902"},
    {-112, 0, u"-112"},
    {0, 0, u"0"},
    {INT32_MIN, 0, u"-2147483648"},
    {INT32_MAX, 0, u"2147483647"},
};

TEST(StatusCodes, EveryCodeHasItsTextOrItsDigits) {
  for (const CodeRow& row : kCodeRows) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(StatusCodeStringNumber(row.code), row.stringNumber);
    EXPECT_EQ(Show(StatusCodeText(row.code)), Show(row.text));
    // Without a prefix the status text is the code's text alone.
    EXPECT_EQ(Show(StatusText(kStatusNoPrefix, row.code)), Show(row.text));
  }
}

// A number below 1000 that the string table does not hold.
int MissingStringNumber() {
  for (int n = 2; n < 1000; ++n)
    if (LoadStringText(n).empty()) return n;
  return 0;
}

TEST(StatusPrefix, PrefixWrapsTheCodeTextInParentheses) {
  const int missing = MissingStringNumber();
  ASSERT_NE(missing, 0);
  struct Row {
    int prefix;
    int32_t code;
    std::u16string text;
  };
  const Row rows[] = {
      {kStatusPrefixRetrieveFeed, -404, u"Unable to retrieve RSS feed (URL not found - HTTP 404)"},
      {kStatusPrefixRetrieveFeed, -502, u"Unable to retrieve RSS feed (-502)"},
      {kStatusPrefixParseOpml, 12007, u"Unable to parse OPML : (Unable to resolve name)"},
      {kStatusNoPrefix, -404, u"URL not found - HTTP 404"},
      {kStatusNoPrefix, 12002, u"12002"},
      {-1, -404, u"URL not found - HTTP 404"},  // numbers below 1 are "no prefix"
      {missing, -404, u"URL not found - HTTP 404"},  // a prefix without a string adds nothing
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.prefix << " " << row.code);
    EXPECT_EQ(Show(StatusText(row.prefix, row.code)), Show(row.text));
  }
}

TEST(StatusPrefix, LongTextsStopAt255Characters) {
  // String 251 is longer than a status text may be: the text is its start, with no "(" at all.
  const std::u16string longPrefix = LoadStringText(251);
  ASSERT_GT(longPrefix.size(), kStatusTextMaxChars);
  const std::u16string text = StatusText(251, -404);
  EXPECT_EQ(text.size(), kStatusTextMaxChars);
  EXPECT_EQ(Show(text), Show(longPrefix.substr(0, kStatusTextMaxChars)));
}

TEST(StatusPrefix, ThreadsBuildTheirOwnTextsAtOnce) {
  // A single shared result buffer would hand one thread another's text under this load.
  const int32_t codes[] = {-404, -503, 12007, 12002};
  std::vector<std::u16string> expected;
  for (int32_t code : codes) expected.push_back(StatusText(kStatusPrefixRetrieveFeed, code));
  std::vector<int> mismatches(std::size(codes), 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < std::size(codes); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i)
        if (StatusText(kStatusPrefixRetrieveFeed, codes[t]) != expected[t]) ++mismatches[t];
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t t = 0; t < std::size(codes); ++t) {
    SCOPED_TRACE(codes[t]);
    EXPECT_EQ(mismatches[t], 0);
  }
}

}  // namespace
}  // namespace nubrel
