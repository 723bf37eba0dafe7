// The device's HTTP client: one GET or POST with a raw header block, redirects between http
// and https followed, no caching, the final answer's status and headers of interest, the body
// handed over piece by piece. Built on libcurl's easy interface. It knows no settings: the
// caller passes the user agent, proxy and header block. URL parts are url.h's.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/device_errors.h"

namespace platform {

enum class HttpMethod { kGet, kPost };

// One request, as the caller builds it.
struct HttpRequest {
  HttpMethod method = HttpMethod::kGet;
  std::string url;          // absolute http or https address, credentials already applied
  std::string headerBlock;  // raw "Name: value\r\n" lines; each replaces curl's own of that name
  std::string postBody;     // sent with a POST (its byte length is the length); ignored for GET
  std::string userAgent;    // empty: no User-Agent header
  std::string proxy;        // "host:port" or a proxy URL; empty: the host's configured access
  std::string proxyUser;      // sent only after the proxy answered 407, then the request is
  std::string proxyPassword;  // resent once; empty user and password: a 407 is final
  std::chrono::milliseconds connectTimeout{60000};  // to reach the server (or the proxy)
  std::chrono::seconds idleTimeout{60};              // without a byte received: the transfer ends
};

// The final answer's status line and headers (those of a redirect are never reported).
struct HttpResponse {
  long status = 0;             // e.g. 200, 304, 407
  int64_t contentLength = -1;  // the Content-Length header; -1 when absent or unreadable
  std::string contentType;     // header values as received, surrounding blanks trimmed;
  std::string contentEncoding;  // empty when the answer has no such header
  std::string etag;
  std::string lastModified;
  std::string finalUrl;  // the address that gave this answer, after redirects
};

enum class HttpNext { kContinue, kStop };

// What the transfer calls back, all on the calling thread. Any of them may be empty.
struct HttpCallbacks {
  // Once, when the final answer's headers are known (before its first body piece, or at the
  // end for an answer without a body). kStop ends the transfer with 0 and no body delivered.
  std::function<HttpNext(const HttpResponse&)> onResponse;
  // Each piece of the body as it arrives (never decoded: a gzip body arrives as gzip).
  // kStop ends the transfer with kErrorOperationAborted.
  std::function<HttpNext(const char* data, size_t size)> onData;
  // Tested before each piece and while the server is silent; true ends the transfer with
  // kErrorOperationAborted.
  std::function<bool()> shouldAbort;
};

// Performs the request over HTTP/1.0 and returns 0 once the final answer has been delivered
// (whatever its status: the status is the response's), or the caller stopped at onResponse.
// Failures: kErrorInvalidParameter (empty address, a header line without a name),
// kErrorInternetInvalidUrl / kErrorInternetUnrecognizedScheme (not an http or https address),
// kErrorInternetNameNotResolved, kErrorInternetCannotConnect, kErrorInternetTimeout (connect
// or idle time-out), kErrorInternetConnectionClosed, kErrorInternetConnectionReset,
// kErrorInternetInvalidServerResponse, kErrorInternetRedirectFailed,
// kErrorInternetSecurityChannel / kErrorInternetSecureFailure (TLS), kErrorOperationAborted
// (the abort test or onData said stop), kErrorNotEnoughMemory.
// Thread-safe: each call has its own handle; any number may run at once.
DeviceError HttpTransfer(const HttpRequest& request, const HttpCallbacks& callbacks);

}  // namespace platform
