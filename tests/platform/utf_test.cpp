// UTF-8 <-> UTF-16 conversion at the host boundary.
#include "platform/utf.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string texts[] = {u"", u"plain", u"caf\u00e9 \u20ac", u"\U0001F600 smile", u"\uFFFD"};
  for (const auto& text : texts) {
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  }
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
}

TEST(Utf, MalformedInputBecomesReplacementCharacters) {
  struct Case {
    const char* bytes;
    std::u16string expected;
  } cases[] = {
      {"a\x80z", u"a\uFFFDz"},           // stray continuation byte
      {"\xC3", u"\uFFFD"},               // truncated sequence at the end
      {"\xC0\xAF", u"\uFFFD\uFFFD"},     // overlong form of "/"
      {"\xE0\x80\xAF", u"\uFFFD"},       // overlong three-byte form
      {"\xED\xA0\x80", u"\uFFFD"},       // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD"},   // beyond U+10FFFF
      {"\xE2\x82x", u"\uFFFDx"},         // sequence cut short by an ASCII byte
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(FromUtf8(c.bytes), c.expected);
  }
  // A lone surrogate in UTF-16 has no UTF-8 form.
  EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace platform
