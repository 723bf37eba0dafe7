// Builds the header block of a transfer (see request_headers.h). Nothing here touches the
// network or any shared state.
#include "retrieval/request_headers.h"

#include "platform/utf.h"
#include "retrieval/url_request.h"

namespace nubrel {

namespace {

bool HasText(const OptionalText& text) { return text.has_value() && !text->empty(); }

// A validator without the characters that would end its line or the string early.
std::u16string HeaderValue(std::u16string_view text) {
  std::u16string value;
  value.reserve(text.size());
  for (char16_t c : text) {
    if (c != u'\r' && c != u'\n' && c != u'\0') value.push_back(c);
  }
  return value;
}

void AppendLine(std::string& block, std::string_view name, std::string_view value) {
  block.append(name);
  block.append(": ");
  block.append(value);
  block.append("\r\n");
}

}  // namespace

std::string headerBytes(std::u16string_view text) {
  bool oneByteEach = true;
  for (char16_t c : text) {
    if (c > 0xFF) {
      oneByteEach = false;
      break;
    }
  }
  if (!oneByteEach) return platform::ToUtf8(text);
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) bytes.push_back(static_cast<char>(static_cast<unsigned char>(c)));
  return bytes;
}

std::string base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(kAlphabet[(group >> 6) & 63]);
    out.push_back(kAlphabet[group & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(group >> 18) & 63]);
    out.push_back(kAlphabet[(group >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::string buildRequestHeaders(int32_t method, const OptionalText& lastModified,
                                const OptionalText& etag, const OptionalText& user,
                                const OptionalText& password, bool acceptGzip) {
  std::string block;
  if (HasText(etag)) AppendLine(block, "If-None-Match", headerBytes(HeaderValue(*etag)));
  if (HasText(lastModified)) {
    AppendLine(block, "If-Modified-Since", headerBytes(HeaderValue(*lastModified)));
  }
  AppendLine(block, "A-IM", "feed");
  AppendLine(block, kNewsGatorTokenHeader, kNewsGatorToken);
  if (method == kMethodPost) {
    AppendLine(block, "Content-Type", "application/x-www-form-urlencoded");
  }
  if (HasText(user)) {
    // One text, so that the choice between a byte per character and UTF-8 covers both halves.
    std::u16string credentials = *user;
    credentials.push_back(u':');
    if (password) credentials.append(*password);
    AppendLine(block, "Authorization", "Basic " + base64Encode(headerBytes(credentials)));
  }
  if (acceptGzip) AppendLine(block, "Accept-Encoding", "gzip, identity");
  AppendLine(block, "Accept", "*/*");
  return block;
}

}  // namespace nubrel
