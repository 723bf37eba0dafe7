// URL cracking and combining for transfers: splitting an absolute address into the parts a
// request needs, and resolving a relative address against a base the way a browser does.
// Decoding character references in a page's addresses is the caller's; the transfer itself
// lives in http_client.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/device_errors.h"

namespace platform {

// The longest address (in bytes of UTF-8) that combining gives back.
inline constexpr size_t kMaxUrlLength = 1024;

// An absolute address split into its parts.
struct UrlParts {
  std::string scheme;    // lower case: "http", "https", ...
  std::string host;      // as written (IPv6 without brackets)
  uint16_t port = 0;     // explicit port, else the scheme's default (80, 443); 0 when unknown
  std::string user;      // percent-decoded; empty when the address has none
  std::string password;  // percent-decoded; empty when the address has none
  std::string pathWithQuery;  // "/path?query" as written ("/" at least); never the fragment
};

// Splits an absolute address. Returns 0 and fills *parts, or kErrorInvalidParameter for an
// empty address or null parts, kErrorInternetInvalidUrl for text that is not an absolute
// address with a host; *parts is left unchanged on failure.
DeviceError CrackUrl(std::string_view url, UrlParts* parts);

// Resolves `relative` against the absolute `base` as a browser does (RFC 3986 reference
// resolution: dot segments removed, query and fragment kept as written, spaces in the path
// escaped). An absolute `relative` stands alone; an empty one gives the base without its
// fragment. Returns 0 and sets *out, kErrorInternetInvalidUrl when the base is not absolute
// or the reference cannot be resolved, kErrorInsufficientBuffer when the result would be
// longer than kMaxUrlLength; *out is left unchanged on failure.
DeviceError CombineUrl(std::string_view base, std::string_view relative, std::string* out);

}  // namespace platform
