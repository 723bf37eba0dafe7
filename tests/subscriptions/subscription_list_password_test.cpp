// Passwords inside the subscription list: the pinned enciphered values (a change of key would
// make every stored list unreadable), the padding, and reading damaged values.
#include <gtest/gtest.h>

#include <string>

#include "platform/utf.h"
#include "subscriptions/password_scramble.h"

namespace nubrel {
namespace {

TEST(OpmlPassword, ScramblesToThePinnedValues) {
  // Computed outside this program from the TEA reference and the list's key.
  const struct {
    std::u16string password;
    const char16_t* hex;
  } rows[] = {
      {u"", u"F6192B046A4D9EEBF6192B046A4D9EEB"},
      {u"secret", u"7966FD449DD14D8AF89C520C63726F99"},
      {u"pa55w0rd",
       u"BA660742590E4F3BD89A097344764CA8F6192B046A4D9EEBF6192B046A4D9EEB"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.password));
    EXPECT_EQ(ScramblePassword(row.password), row.hex);
    EXPECT_EQ(UnscramblePassword(row.hex), row.password);
  }
}

TEST(OpmlPassword, PadsToWholeSixteenByteStepsAndReadsBack) {
  const struct {
    std::u16string password;
    size_t digits;
  } rows[] = {
      {u"a", 32},  {u"abcdefg", 32}, {u"abcdefgh", 64}, {u"abcdefghijklmno", 64},
      {u"abcdefghijklmnop", 96}, {u"caf\u00e9 \u6f22\u5b57 \U0001F600", 64},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.password));
    const std::u16string hex = ScramblePassword(row.password);
    EXPECT_EQ(hex.size(), row.digits);
    EXPECT_EQ(hex.find_first_not_of(u"0123456789ABCDEF"), std::u16string::npos);
    EXPECT_EQ(UnscramblePassword(hex), row.password);
  }
}

TEST(OpmlPassword, DamagedValuesReadAsFarAsTheyGo) {
  const std::u16string whole = ScramblePassword(u"pa55w0rd");
  const struct {
    const char* what;
    std::u16string hex;
    std::u16string password;
  } rows[] = {
      {"nothing", u"", u""},
      // Fewer than 8 bytes are not deciphered; the last character is the terminator.
      {"short and plain", u"410042000000", u"AB"},
      {"short without terminator", u"41004200", u"A"},
      {"lower-case digits stop the reading", u"410042000000abcd", u"AB"},
      {"an odd last digit is dropped", u"410042000", u"A"},
      {"not hexadecimal", u"zz", u""},
      // Cut after the first block: that block still deciphers, the tail is dropped.
      {"one whole block and a bit", whole.substr(0, 20), u"pa55"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(UnscramblePassword(row.hex), row.password);
  }
  std::u16string lower = whole;
  for (char16_t& c : lower) c = (c >= u'A' && c <= u'F') ? static_cast<char16_t>(c + 32) : c;
  EXPECT_NE(UnscramblePassword(lower), u"pa55w0rd");
}

}  // namespace
}  // namespace nubrel
