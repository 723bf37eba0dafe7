// The small address functions around a transfer: credentials and their placeholders in an
// address, combining addresses, the code page of a Content-Type, an address's site root and
// file name. Text work over the device's URL service (platform/url.h); the transfer is loadUrl's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "feeds/item_list.h"
#include "retrieval/url_request.h"

namespace nubrel {

// ---- Credentials and the split of an address ----

// An address split for a transfer.
struct UrlTarget {
  std::u16string address;  // the address after the placeholders, trimmed
  std::u16string scheme;   // lower case: "http", "https", ...
  std::u16string host;     // without the brackets of an IPv6 literal
  uint16_t port = 0;       // the address's port, else 80 for http, 443 for https, 0 otherwise
  std::u16string path;     // path and query, at least "/"; never the "#fragment"
  OptionalText user;       // the request's user when it has a non-empty one, else the address's
  OptionalText password;   // the request's password when it has one, else the address's
};

// When user is non-empty and the address contains "<username>": every "<username>" becomes the
// user and, when a password is given, every "<password>" the password; the result is trimmed.
// Otherwise the address is only trimmed.
std::u16string replaceUrlPlaceholders(std::u16string_view address, const OptionalText& user,
                                      const OptionalText& password);

// The request's address with its placeholders replaced, split (platform::CrackUrl) into scheme,
// host, port and path, with the credentials to send (user and password in the address are
// %-decoded; the request's own take precedence; an empty one in the address counts as none).
// Nothing when the address is missing or empty, or CrackUrl refuses it.
std::optional<UrlTarget> applyUrlCredentials(const UrlRequest& request);

// ---- Combining ----

// `relative` resolved against `base` as a browser does, after its character references are
// decoded (decodeEntities; "&amp;" in a page's link is "&"). Empty when the base is not an
// absolute address, the reference cannot be resolved, or the result is longer than 1024 bytes.
std::u16string combineUrl(std::u16string_view base, std::u16string_view relative);

// ---- Content-Type ----

// codePageOf("UTF-8"), or codePageOf("US-ASCII") when the type begins with "text"; a
// "charset=" in it decides instead, by the longest run of letters, digits and "-" after it
// (a quote before the name is skipped): its codePageOf, -1 for a name not in the table.
// "text" and "charset=" are compared without case (both are case-insensitive in HTTP).
int32_t charsetFromContentType(std::u16string_view contentType);

// ---- Names from addresses ----

// Cuts the address after its host: everything from the first "/" after the "scheme://" prefix
// (any scheme, compared without case) is removed. An address without such a "/" is unchanged.
void urlSiteRoot(std::u16string& address);

// The file name an address names: "%XX" escapes decoded (hex digits of either case; a run of
// escapes that is well-formed UTF-8 is read as UTF-8, any other as a character per byte; a "%"
// not followed by two hex digits, and escapes below 0x20, stay as written), the text from the
// last "http:" or "https:" (without case) on, then the part after the last "/" before the
// first "?"; "null" when that is empty. With a non-empty defaultExtension (".html" or "html")
// and a name not already ending in ".html", ".gif", ".jpg", ".jpeg", ".bmp", ".css", ".js",
// ".ico" or ".xml" (case-sensitive), the name's extension is replaced by it, or it is appended
// when the name has none.
std::u16string urlFileName(std::u16string_view address, std::u16string_view defaultExtension);

}  // namespace nubrel
