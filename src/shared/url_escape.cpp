// Percent-escaping for URL queries; see url_escape.h.
#include "shared/url_escape.h"

#include "platform/utf.h"

namespace nubrel {

namespace {

bool IsAsciiLetterOrDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

void AppendEscapedByte(std::u16string& out, unsigned char byte) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  out += u'%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace

std::u16string urlEscape(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() * 3);
  size_t i = 0;
  while (i < text.size()) {
    if (IsAsciiLetterOrDigit(text[i])) {
      out += text[i++];
      continue;
    }
    // One whole character: a valid surrogate pair travels together so it becomes one 4-byte
    // UTF-8 sequence rather than two replacement characters.
    size_t length = 1;
    if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      length = 2;
    }
    for (char byte : platform::ToUtf8(text.substr(i, length))) {
      AppendEscapedByte(out, static_cast<unsigned char>(byte));
    }
    i += length;
  }
  return out;
}

}  // namespace nubrel
