// Scrambling and unscrambling the passwords stored in subscription lists; see password_scramble.h.
#include "subscriptions/password_scramble.h"

#include <cstdint>
#include <vector>

namespace nubrel {

// Chosen once for this program; deliberately unlike the registry's key so that a value copied
// from one place into the other does not decipher.
const TeaKey kPasswordListKey = {0x4E75624Cu, 0x6973742Du, 0xB7C3E219u, 0x5A0D8F61u};

namespace {

int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;  // lower case is not a digit here: the writer never produces it
}

}  // namespace

std::u16string ScramblePassword(std::u16string_view password) {
  const size_t chars = (password.size() + 8) & ~static_cast<size_t>(7);
  std::vector<uint8_t> buffer(chars * 2, 0);
  for (size_t i = 0; i < password.size(); ++i) {
    buffer[2 * i] = static_cast<uint8_t>(password[i] & 0xFF);
    buffer[2 * i + 1] = static_cast<uint8_t>(password[i] >> 8);
  }
  TeaEncipher(buffer.data(), buffer.size(), kPasswordListKey);
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string hex;
  hex.reserve(buffer.size() * 2);
  for (uint8_t b : buffer) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

std::u16string UnscramblePassword(std::u16string_view hex) {
  std::vector<uint8_t> bytes;
  bytes.reserve(hex.size() / 2);
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = HexDigitValue(hex[i]);
    const int low = HexDigitValue(hex[i + 1]);
    if (high < 0 || low < 0) break;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  if (bytes.size() >= kTeaBlockSize) {
    TeaDecipher(bytes.data(), bytes.size() & ~(kTeaBlockSize - 1), kPasswordListKey);
  }
  const size_t chars = bytes.size() / 2;
  std::u16string text;
  // The last character position is always treated as the terminator, as the stored form has
  // at least one zero character at its end.
  for (size_t i = 0; i + 1 < chars; ++i) {
    const char16_t c = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

}  // namespace nubrel
