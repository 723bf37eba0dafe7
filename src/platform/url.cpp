// URL cracking and combining on libcurl's URL API (curl_url). The parser is curl's so that
// what we crack and combine is exactly what the transfer will later send.
// The transfer itself is http_client.cpp's.
#include "platform/url.h"

#include <curl/curl.h>

#include <memory>

namespace platform {
namespace {

struct CurlUrlDeleter {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using CurlUrlHandle = std::unique_ptr<CURLU, CurlUrlDeleter>;

struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Schemes curl does not transfer are still addresses a page may hold; bytes above 127 are
// escaped rather than refused.
constexpr unsigned int kParseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE;

// A hand-written link as a browser reads it: surrounding blanks dropped, inner spaces escaped
// as %20 everywhere (curl would write "+" in the query and fragment, which changes a fragment).
std::string BrowserText(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ') {
      out += "%20";
    } else {
      out += c;
    }
  }
  return out;
}

// Reads one part; false when the part is absent (or curl fails to give it).
bool GetPart(CURLU* handle, CURLUPart part, unsigned int flags, std::string* out) {
  char* raw = nullptr;
  if (curl_url_get(handle, part, &raw, flags) != CURLUE_OK || raw == nullptr) return false;
  CurlString owned(raw);
  *out = owned.get();
  return true;
}

// Parses an absolute address into a fresh handle; null when it is not one. The text is
// copied because curl wants a terminated string and refuses embedded zero bytes on its own.
CurlUrlHandle ParseAbsolute(std::string_view url) {
  if (url.empty() || url.find('\0') != std::string_view::npos) return nullptr;
  CurlUrlHandle handle(curl_url());
  if (!handle) return nullptr;
  const std::string text = BrowserText(url);
  if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), kParseFlags) != CURLUE_OK) {
    return nullptr;
  }
  std::string host;
  if (!GetPart(handle.get(), CURLUPART_HOST, 0, &host) || host.empty()) return nullptr;
  return handle;
}

}  // namespace

DeviceError CrackUrl(std::string_view url, UrlParts* parts) {
  if (parts == nullptr || url.empty()) return kErrorInvalidParameter;
  CurlUrlHandle handle = ParseAbsolute(url);
  if (!handle) return kErrorInternetInvalidUrl;

  UrlParts result;
  GetPart(handle.get(), CURLUPART_SCHEME, 0, &result.scheme);
  GetPart(handle.get(), CURLUPART_HOST, 0, &result.host);
  if (result.host.size() >= 2 && result.host.front() == '[' && result.host.back() == ']') {
    result.host = result.host.substr(1, result.host.size() - 2);
  }
  std::string port;
  if (GetPart(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT, &port)) {
    unsigned long value = 0;
    for (char c : port) value = value * 10 + static_cast<unsigned long>(c - '0');
    if (value > 65535) return kErrorInternetInvalidUrl;
    result.port = static_cast<uint16_t>(value);
  }
  GetPart(handle.get(), CURLUPART_USER, CURLU_URLDECODE, &result.user);
  GetPart(handle.get(), CURLUPART_PASSWORD, CURLU_URLDECODE, &result.password);
  if (!GetPart(handle.get(), CURLUPART_PATH, 0, &result.pathWithQuery) ||
      result.pathWithQuery.empty()) {
    result.pathWithQuery = "/";
  }
  std::string query;
  if (GetPart(handle.get(), CURLUPART_QUERY, 0, &query)) result.pathWithQuery += "?" + query;
  *parts = std::move(result);
  return kErrorSuccess;
}

DeviceError CombineUrl(std::string_view base, std::string_view relative, std::string* out) {
  if (out == nullptr) return kErrorInvalidParameter;
  CurlUrlHandle handle = ParseAbsolute(base);
  if (!handle) return kErrorInternetInvalidUrl;
  if (relative.find('\0') != std::string_view::npos) return kErrorInternetInvalidUrl;

  std::string text = BrowserText(relative);
  // "http:g" under an http base is the old relative form browsers still accept.
  std::string scheme;
  GetPart(handle.get(), CURLUPART_SCHEME, 0, &scheme);
  if (text.size() > scheme.size() && text[scheme.size()] == ':' &&
      text.compare(scheme.size() + 1, 2, "//") != 0 &&
      curl_strnequal(text.c_str(), scheme.c_str(), scheme.size())) {
    text.erase(0, scheme.size() + 1);
  }
  if (text.empty() || text.front() == '#') {
    // A reference inside the document itself: the whole base with the new fragment (curl
    // would resolve "#s" against the base's folder instead).
    const std::string fragment = text.empty() ? std::string() : text.substr(1);
    curl_url_set(handle.get(), CURLUPART_FRAGMENT, text.empty() ? nullptr : fragment.c_str(), 0);
  } else if (curl_url_set(handle.get(), CURLUPART_URL, text.c_str(), kParseFlags) != CURLUE_OK) {
    // Setting a URL on a handle that holds one resolves it as a reference against it.
    return kErrorInternetInvalidUrl;
  }
  std::string combined;
  if (!GetPart(handle.get(), CURLUPART_URL, 0, &combined)) return kErrorInternetInvalidUrl;
  if (combined.size() > kMaxUrlLength) return kErrorInsufficientBuffer;
  *out = std::move(combined);
  return kErrorSuccess;
}

}  // namespace platform
