// The HTTP client on libcurl's easy interface: options, the header and write callbacks that
// pick out the final answer and hand its body over, the 407 resend, and the mapping of curl's
// results to the device's Internet error numbers. One easy handle per call; nothing shared
// but curl's one-time global set-up.
#include "platform/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

#include "platform/url.h"

namespace platform {
namespace {

// ---- Handles ----

struct CurlEasyDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasyHandle = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListDeleter>;

// curl_global_init is not thread-safe and must run once before any handle exists.
bool EnsureCurlGlobal() {
  static std::once_flag once;
  static CURLcode result = CURLE_OK;  // written once under `once`, read-only afterwards
  std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
  return result == CURLE_OK;
}

bool AppendLine(CurlList* list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list->get(), line.c_str());
  if (grown == nullptr) return false;
  list->release();
  list->reset(grown);
  return true;
}

// ---- Header block ----

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && curl_strnequal(a.data(), b.data(), a.size());
}

// Splits the caller's block into curl's list and adds the no-cache pair unless the caller
// wrote its own. False for a line that is not "Name: value" (a name with blanks or none).
bool BuildHeaderList(const std::string& block, CurlList* list) {
  bool hasCacheControl = false;
  bool hasPragma = false;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    if (end == std::string::npos) end = block.size();
    std::string_view line(block.data() + start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const size_t colon = line.find_first_of(":;");
    if (colon == 0 || colon == std::string_view::npos) return false;
    const std::string_view name = line.substr(0, colon);
    if (name.find_first_of(" \t\r\0", 0, 4) != std::string_view::npos) return false;
    if (line.find('\0') != std::string_view::npos || line.find('\r') != std::string_view::npos) {
      return false;
    }
    hasCacheControl = hasCacheControl || SameName(name, "Cache-Control");
    hasPragma = hasPragma || SameName(name, "Pragma");
    if (!AppendLine(list, std::string(line))) return false;
  }
  // Feeds must come from the server, never from a cache on the way.
  if (!hasCacheControl && !AppendLine(list, "Cache-Control: no-cache")) return false;
  if (!hasPragma && !AppendLine(list, "Pragma: no-cache")) return false;
  return true;
}

// ---- Transfer state and callbacks ----

// One call's state; lives on the calling thread's stack for the length of the call.
struct Transfer {
  const HttpRequest* request = nullptr;
  const HttpCallbacks* callbacks = nullptr;
  CURL* easy = nullptr;
  HttpResponse response;             // headers of the latest status line seen
  bool delivered = false;            // onResponse has been called (or the answer swallowed)
  bool proxyRetryAllowed = false;    // a 407 now is swallowed and the request resent
  bool proxyRetryWanted = false;     // this attempt ended on a swallowed 407
  bool stoppedByCaller = false;      // onResponse said stop
  bool aborted = false;              // abort test or onData said stop
  bool idleTimedOut = false;         // nothing received for the request's idle time-out
  std::chrono::steady_clock::time_point lastActivity;  // when a byte last came (or went)
  curl_off_t lastDownloaded = 0;     // body bytes as the progress callback last saw them
  curl_off_t lastUploaded = 0;       // post bytes likewise
};

void NoteActivity(Transfer* transfer) { transfer->lastActivity = std::chrono::steady_clock::now(); }

int64_t ParseLength(std::string_view text) {
  if (text.empty() || text.size() > 18) return -1;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

size_t OnHeader(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t total = size * count;
  NoteActivity(transfer);
  std::string_view line(data, total);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.size() >= 5 && line.substr(0, 5) == "HTTP/") {
    // A new answer (after a redirect, a 100 or a proxy's CONNECT): only the last one counts.
    HttpResponse fresh;
    const size_t space = line.find(' ');
    if (space != std::string_view::npos) {
      long status = 0;
      // Three digits at most, so that a hostile status line cannot overflow the number.
      const size_t end = std::min(line.size(), space + 4);
      for (size_t i = space + 1; i < end && line[i] >= '0' && line[i] <= '9'; ++i) {
        status = status * 10 + (line[i] - '0');
      }
      fresh.status = status;
    }
    transfer->response = std::move(fresh);
    return total;
  }
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos) return total;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = Trim(line.substr(colon + 1));
  HttpResponse& response = transfer->response;
  if (SameName(name, "Content-Length")) {
    response.contentLength = ParseLength(value);
  } else if (SameName(name, "Content-Type")) {
    response.contentType = value;
  } else if (SameName(name, "Content-Encoding")) {
    response.contentEncoding = value;
  } else if (SameName(name, "ETag")) {
    response.etag = value;
  } else if (SameName(name, "Last-Modified")) {
    response.lastModified = value;
  }
  return total;
}

// Hands the final answer's headers to the caller once; false when the body is not wanted
// (the caller stopped, or a 407 is to be answered with the proxy credentials).
bool DeliverResponse(Transfer* transfer) {
  if (transfer->delivered) return !transfer->stoppedByCaller && !transfer->proxyRetryWanted;
  transfer->delivered = true;
  char* effective = nullptr;
  if (curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK &&
      effective != nullptr) {
    transfer->response.finalUrl = effective;
  }
  if (transfer->response.status == 407 && transfer->proxyRetryAllowed) {
    transfer->proxyRetryWanted = true;
    return false;
  }
  const auto& onResponse = transfer->callbacks->onResponse;
  if (onResponse && onResponse(transfer->response) == HttpNext::kStop) {
    transfer->stoppedByCaller = true;
    return false;
  }
  return true;
}

bool AbortWanted(Transfer* transfer) {
  const auto& shouldAbort = transfer->callbacks->shouldAbort;
  if (shouldAbort && shouldAbort()) transfer->aborted = true;
  return transfer->aborted;
}

size_t OnBody(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<Transfer*>(context);
  const size_t total = size * count;
  if (AbortWanted(transfer)) return 0;
  if (!DeliverResponse(transfer)) return 0;
  const auto& onData = transfer->callbacks->onData;
  if (total > 0 && onData && onData(data, total) == HttpNext::kStop) {
    transfer->aborted = true;
    return 0;
  }
  return total;
}

// curl calls this often while data flows and about once a second while the server is
// silent, so an abort is seen even when no piece ever comes. It also keeps the idle clock:
// curl's own low-speed limit judges an average rate, which would end a slow but living
// trickle, while the rule is "so long without a single byte". Until the connection stands the
// connect time-out is the one that applies.
int OnProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* transfer = static_cast<Transfer*>(context);
  if (AbortWanted(transfer)) return 1;
  curl_off_t connectedAt = 0;
  curl_easy_getinfo(transfer->easy, CURLINFO_CONNECT_TIME_T, &connectedAt);
  if (connectedAt == 0 || downloaded != transfer->lastDownloaded ||
      uploaded != transfer->lastUploaded) {
    transfer->lastDownloaded = downloaded;
    transfer->lastUploaded = uploaded;
    NoteActivity(transfer);
    return 0;
  }
  const auto idle = transfer->request->idleTimeout;
  if (idle.count() > 0 && std::chrono::steady_clock::now() - transfer->lastActivity >= idle) {
    transfer->idleTimedOut = true;
    return 1;
  }
  return 0;
}

// ---- Results ----

DeviceError ErrorFromCurl(CURLcode code, CURL* easy) {
  long osErrno = 0;
  switch (code) {
    case CURLE_OK: return kErrorSuccess;
    case CURLE_OUT_OF_MEMORY: return kErrorNotEnoughMemory;
    case CURLE_URL_MALFORMAT: return kErrorInternetInvalidUrl;
    case CURLE_UNSUPPORTED_PROTOCOL: {
      // Our own addresses are checked before the transfer, so this is either a redirect to a
      // scheme we do not follow (after an answer) or a reply that is no HTTP at all.
      long status = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
      return status != 0 ? kErrorInternetUnrecognizedScheme : kErrorInternetInvalidServerResponse;
    }
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return kErrorInternetNameNotResolved;
    case CURLE_COULDNT_CONNECT: return kErrorInternetCannotConnect;
    case CURLE_OPERATION_TIMEDOUT: return kErrorInternetTimeout;
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE: return kErrorInternetConnectionClosed;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
      curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osErrno);
      return osErrno == ECONNRESET || osErrno == EPIPE ? kErrorInternetConnectionReset
                                                       : kErrorInternetConnectionClosed;
    case CURLE_TOO_MANY_REDIRECTS: return kErrorInternetRedirectFailed;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED: return kErrorInternetSecurityChannel;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS: return kErrorInternetSecureFailure;
    case CURLE_ABORTED_BY_CALLBACK: return kErrorOperationAborted;
    default: return kErrorInternetInvalidServerResponse;
  }
}

// ---- One attempt ----

#define NUBREL_SET(option, value)                                            \
  do {                                                                       \
    if (curl_easy_setopt(easy, option, value) != CURLE_OK) return false;     \
  } while (0)

bool ApplyOptions(CURL* easy, const HttpRequest& request, const curl_slist* headers,
                  Transfer* transfer, bool withProxyCredentials) {
  NUBREL_SET(CURLOPT_URL, request.url.c_str());
  NUBREL_SET(CURLOPT_NOSIGNAL, 1L);
  NUBREL_SET(CURLOPT_PROTOCOLS_STR, "http,https");
  NUBREL_SET(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  NUBREL_SET(CURLOPT_FOLLOWLOCATION, 1L);
  NUBREL_SET(CURLOPT_MAXREDIRS, 10L);
  NUBREL_SET(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
  NUBREL_SET(CURLOPT_HTTPHEADER, headers);
  NUBREL_SET(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connectTimeout.count()));
  if (!request.userAgent.empty()) NUBREL_SET(CURLOPT_USERAGENT, request.userAgent.c_str());
  if (!request.proxy.empty()) NUBREL_SET(CURLOPT_PROXY, request.proxy.c_str());
  if (withProxyCredentials) {
    if (!request.proxyUser.empty()) NUBREL_SET(CURLOPT_PROXYUSERNAME, request.proxyUser.c_str());
    if (!request.proxyPassword.empty()) {
      NUBREL_SET(CURLOPT_PROXYPASSWORD, request.proxyPassword.c_str());
    }
  }
  if (request.method == HttpMethod::kPost) {
    NUBREL_SET(CURLOPT_POST, 1L);
    NUBREL_SET(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.postBody.size()));
    NUBREL_SET(CURLOPT_POSTFIELDS, request.postBody.data());
  }
  NUBREL_SET(CURLOPT_HEADERFUNCTION, &OnHeader);
  NUBREL_SET(CURLOPT_HEADERDATA, transfer);
  NUBREL_SET(CURLOPT_WRITEFUNCTION, &OnBody);
  NUBREL_SET(CURLOPT_WRITEDATA, transfer);
  NUBREL_SET(CURLOPT_XFERINFOFUNCTION, &OnProgress);
  NUBREL_SET(CURLOPT_XFERINFODATA, transfer);
  NUBREL_SET(CURLOPT_NOPROGRESS, 0L);
  return true;
}

#undef NUBREL_SET

// Runs one attempt; *retry is set when it ended on a 407 that the credentials may answer.
DeviceError Attempt(const HttpRequest& request, const HttpCallbacks& callbacks,
                    const curl_slist* headers, bool withProxyCredentials, bool* retry) {
  *retry = false;
  CurlEasyHandle easy(curl_easy_init());
  if (!easy) return kErrorNotEnoughMemory;
  Transfer transfer;
  transfer.request = &request;
  transfer.callbacks = &callbacks;
  transfer.easy = easy.get();
  transfer.proxyRetryAllowed =
      !withProxyCredentials && (!request.proxyUser.empty() || !request.proxyPassword.empty());
  if (!ApplyOptions(easy.get(), request, headers, &transfer, withProxyCredentials)) {
    return kErrorInvalidParameter;
  }

  NoteActivity(&transfer);
  const CURLcode code = curl_easy_perform(easy.get());
  if (transfer.aborted) return kErrorOperationAborted;
  if (transfer.idleTimedOut) return kErrorInternetTimeout;
  if (code == CURLE_OK && !transfer.delivered) DeliverResponse(&transfer);
  if (code != CURLE_OK && !transfer.delivered) {
    // A proxy refusing the tunnel for https ends curl's transfer with an error of its own,
    // but for the caller it is the proxy's answer like any other.
    long connectCode = 0;
    curl_easy_getinfo(easy.get(), CURLINFO_HTTP_CONNECTCODE, &connectCode);
    if (connectCode == 407) {
      transfer.response = HttpResponse();
      transfer.response.status = 407;
      DeliverResponse(&transfer);
      *retry = transfer.proxyRetryWanted;
      return kErrorSuccess;
    }
  }
  if (transfer.proxyRetryWanted) {
    *retry = true;
    return kErrorSuccess;
  }
  if (transfer.stoppedByCaller) return kErrorSuccess;
  return ErrorFromCurl(code, easy.get());
}

}  // namespace

DeviceError HttpTransfer(const HttpRequest& request, const HttpCallbacks& callbacks) {
  if (request.url.empty()) return kErrorInvalidParameter;
  UrlParts parts;
  const DeviceError cracked = CrackUrl(request.url, &parts);
  if (cracked != kErrorSuccess) return cracked;
  if (parts.scheme != "http" && parts.scheme != "https") return kErrorInternetUnrecognizedScheme;
  if (!EnsureCurlGlobal()) return kErrorNotEnoughMemory;
  CurlList headers;
  if (!BuildHeaderList(request.headerBlock, &headers)) return kErrorInvalidParameter;

  bool retry = false;
  DeviceError result = Attempt(request, callbacks, headers.get(), false, &retry);
  if (result == kErrorSuccess && retry) {
    result = Attempt(request, callbacks, headers.get(), true, &retry);
  }
  return result;
}

}  // namespace platform
