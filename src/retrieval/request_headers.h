// The header block of one transfer, built from the method, the stored validators and the
// credentials, and the byte form of header texts. Sending it is the HTTP client's business
// (platform/http_client.h); which headers a transfer wants is decided by loadUrl.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "feeds/item_list.h"

namespace nubrel {

// The NewsGator service's API token, sent with every request.
inline constexpr std::string_view kNewsGatorTokenHeader = "X-NGAPIToken";
inline constexpr std::string_view kNewsGatorToken = "6E0D93F1B8C47A25D1E6F0B3C9A8D472";

// The header block, each line ending "\r\n", in this order: "If-None-Match: <etag>" (when an
// etag is given), "If-Modified-Since: <lastModified>" (when given, exactly as received),
// "A-IM: feed", "X-NGAPIToken: <token>", "Content-Type: application/x-www-form-urlencoded" (POST
// only), "Authorization: Basic <Base64 of user:password>" (only for a non-empty user; no password
// counts as empty), "Accept-Encoding: gzip, identity" (acceptGzip), "Accept: */*".
// Empty validators count as absent. Texts become bytes by headerBytes; CR, LF and NUL are left
// out of the validators so that a hostile server's ETag cannot add header lines of its own.
std::string buildRequestHeaders(int32_t method, const OptionalText& lastModified,
                                const OptionalText& etag, const OptionalText& user,
                                const OptionalText& password, bool acceptGzip);

// A wide text as header bytes: when every character is at most U+00FF, one byte each (so a
// validator received byte for byte comes back unchanged); otherwise the whole text as UTF-8 (a
// byte per character cannot carry it, and a mixture could not be decoded by the server).
std::string headerBytes(std::u16string_view text);

// Standard Base64 (RFC 4648 alphabet, "=" padding) of bytes.
std::string base64Encode(std::string_view bytes);

}  // namespace nubrel
