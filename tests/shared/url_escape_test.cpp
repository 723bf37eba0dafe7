// URL escaping of search terms and wrapped addresses.
#include "shared/url_escape.h"

#include <gtest/gtest.h>

#include "platform/utf.h"

namespace nubrel {
namespace {

TEST(SharedUrlEscape, KeepsAsciiLettersAndDigitsAndEscapesEverythingElse) {
  struct Row {
    std::u16string_view input;
    std::u16string_view expected;
  } rows[] = {
      {u"", u""},
      {u"abcXYZ0189", u"abcXYZ0189"},
      {u"two words", u"two%20words"},
      {u"a&b=c/d?e#f", u"a%26b%3Dc%2Fd%3Fe%23f"},
      {u"100%", u"100%25"},
      {u"-_.~+", u"%2D%5F%2E%7E%2B"},  // even the characters URLs leave alone
      {u"http://x.org/a b", u"http%3A%2F%2Fx%2Eorg%2Fa%20b"},
      {u"\n\t", u"%0A%09"},
      {std::u16string_view(u"\0", 1), u"%00"},
      // Above 0x7F: one escape per UTF-8 byte, letters included.
      {u"caf\u00e9", u"caf%C3%A9"},
      {u"\u00ff", u"%C3%BF"},
      {u"\u20ac5", u"%E2%82%AC5"},
      {u"\u0416", u"%D0%96"},
      {u"\U0001F600", u"%F0%9F%98%80"},
      {u"\xD800x", u"%EF%BF%BDx"},  // a lone surrogate
      {u"x\xDC00", u"x%EF%BF%BD"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.input));
    EXPECT_EQ(urlEscape(row.input), row.expected);
  }
}

}  // namespace
}  // namespace nubrel
