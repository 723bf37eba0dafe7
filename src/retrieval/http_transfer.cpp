// loadUrl: one transfer over platform::HttpTransfer with the program's header block, the body
// into memory (capped, gzip decoded here) or into a file (size limit), the mapping of every
// outcome to a result code and the trace lines of each step. Also connectNetwork and
// releaseNetwork. It keeps no shared state other than the connection lock.
#include "retrieval/http_transfer.h"

#include <mutex>
#include <new>
#include <string_view>

#include "core/settings.h"
#include "core/trace_log.h"
#include "platform/http_client.h"
#include "platform/utf.h"
#include "retrieval/gzip.h"
#include "retrieval/request_headers.h"
#include "retrieval/url_text.h"
#include "shared/text.h"

namespace nubrel {

namespace {

constexpr uint32_t kManagerReadyWaitMs = 3000;
constexpr uint32_t kEstablishTimeoutMs = 60000;
constexpr int64_t kBytesPerMegabyte = 1048576;

// Guards connectNetwork / releaseNetwork only; never held across a transfer.
std::mutex& NetworkLock() {
  static std::mutex lock;
  return lock;
}

// Header values arrive as bytes; one character per byte gives back exactly those bytes when
// the validator is sent again (headerBytes does the reverse).
std::u16string BytesAsText(std::string_view bytes) {
  std::u16string text;
  text.reserve(bytes.size());
  for (unsigned char c : bytes) text.push_back(static_cast<char16_t>(c));
  return text;
}

int32_t PercentOf(uint64_t done, int64_t expected) {
  if (expected <= 0) return 50;
  const uint64_t total = static_cast<uint64_t>(expected);
  if (total >= 16384) return static_cast<int32_t>(((done >> 8) * 100) / (total >> 8));
  return static_cast<int32_t>((done * 100) / total);
}

// What the callbacks of one transfer share.
struct TransferState {
  std::string* body = nullptr;
  platform::FileHandle* file = nullptr;
  int32_t sizeLimitMB = 0;
  const TransferProgress* progress = nullptr;
  platform::HttpResponse response;
  bool answered = false;
  int32_t result = kUrlSuccess;  // set by a callback that ended the transfer itself
  uint64_t received = 0;
  int32_t lastPercent = -1;
};

platform::HttpNext OnResponse(TransferState& state, const platform::HttpResponse& response) {
  using platform::HttpNext;
  state.response = response;
  state.answered = true;
  TraceNumber("HTTP code : ", response.status);
  TraceText("HTTP status : ", FormatDecimal(response.status));
  const int32_t status = urlResultOfStatus(static_cast<int32_t>(response.status));
  if (status != kUrlSuccess) return HttpNext::kStop;  // no body wanted for any other answer
  const int64_t length = response.contentLength;
  if (state.body != nullptr) {
    if (length > static_cast<int64_t>(kMaxMemoryBodyBytes)) {
      state.result = kUrlNoBuffer;
      return HttpNext::kStop;
    }
    if (length > 0) {
      try {
        state.body->reserve(static_cast<size_t>(length));
      } catch (const std::bad_alloc&) {
        state.result = kUrlNoBuffer;
        return HttpNext::kStop;
      }
    }
    return HttpNext::kContinue;
  }
  if (length >= 0 && state.sizeLimitMB > 0 &&
      length > static_cast<int64_t>(state.sizeLimitMB) * kBytesPerMegabyte) {
    state.result = kUrlTooLarge;
    return HttpNext::kStop;
  }
  if (length > 0) {
    // Claim the space first, so a full disk shows before the transfer rather than halfway.
    platform::DeviceError error = platform::SeekFile(*state.file, length, platform::SeekOrigin::kBegin);
    if (error == 0) error = platform::SetEndOfFile(*state.file);
    if (error == 0) error = platform::SeekFile(*state.file, 0, platform::SeekOrigin::kBegin);
    if (error != 0) {
      state.result = static_cast<int32_t>(error);
      return HttpNext::kStop;
    }
  }
  return HttpNext::kContinue;
}

platform::HttpNext OnData(TransferState& state, const char* data, size_t size) {
  using platform::HttpNext;
  const int64_t expected = state.response.contentLength;
  if (expected >= 0 && state.received + size > static_cast<uint64_t>(expected)) {
    size = static_cast<size_t>(static_cast<uint64_t>(expected) - state.received);
  }
  if (state.body != nullptr) {
    if (state.body->size() + size > kMaxMemoryBodyBytes) {
      state.result = kUrlNoMemoryToGrow;
      return HttpNext::kStop;
    }
    try {
      state.body->append(data, size);
    } catch (const std::bad_alloc&) {
      state.result = kUrlNoMemoryToGrow;
      return HttpNext::kStop;
    }
  } else if (size > 0) {
    const platform::DeviceError error = platform::WriteFile(*state.file, data, size);
    if (error != 0) {
      state.result = static_cast<int32_t>(error);
      return HttpNext::kStop;
    }
  }
  state.received += size;
  if (state.progress != nullptr && *state.progress) {
    const int32_t percent = PercentOf(state.received, expected);
    // File transfers report only changes; memory transfers every piece.
    if (state.body != nullptr || percent != state.lastPercent) {
      state.lastPercent = percent;
      if (!(*state.progress)(percent)) {
        state.result = kUrlAborted;
        return HttpNext::kStop;
      }
    }
  }
  return HttpNext::kContinue;
}

// Decodes a memory body by its Content-Encoding; returns 0 or the result code.
int32_t Decompress(std::string& body, std::string_view encoding) {
  if (body.empty()) return kUrlSuccess;
  if (EqualsNoCase(BytesAsText(encoding), u"gzip")) {
    TraceNumber("decompress source : ", static_cast<int64_t>(body.size()));
    const auto* source = reinterpret_cast<const uint8_t*>(body.data());
    size_t declared = 0;
    if (gzipDecode(nullptr, declared, source, body.size()) != 0) return kUrlBadGzip;
    // ISIZE is the server's claim: the same cap as for a body received as it is.
    if (declared > kMaxMemoryBodyBytes) return kUrlNoMemoryToGrow;
    std::string decoded;
    try {
      decoded.resize(declared);
    } catch (const std::bad_alloc&) {
      return kUrlNoMemoryToGrow;
    }
    size_t produced = 0;
    if (gzipDecode(reinterpret_cast<uint8_t*>(decoded.data()), produced, source, body.size()) != 0) {
      return kUrlBadGzip;
    }
    decoded.resize(produced);
    TraceNumber("decompress dest   : ", static_cast<int64_t>(decoded.size()));
    body.swap(decoded);
  } else if (EqualsNoCase(BytesAsText(encoding), u"compress")) {
    body.clear();  // never decoded: the program has no LZW decoder
  }
  return kUrlSuccess;
}

}  // namespace

// ---- Connection ----

platform::NetworkConnection connectNetwork() {
  std::lock_guard<std::mutex> hold(NetworkLock());
  const platform::DeviceError wait = platform::WaitConnectionManagerReady(kManagerReadyWaitMs);
  if (wait != 0) {
    TraceNumber("InitURL : wait failed : ", wait);
    return {};
  }
  platform::DeviceError error = 0;
  platform::NetworkConnection connection = platform::EstablishConnection(kEstablishTimeoutMs, &error);
  if (!connection.IsOpen()) {
    // The device's HRESULT for a Win32 error: FACILITY_WIN32 in the high word.
    const int64_t hresult =
        error == 0 ? -1 : static_cast<int32_t>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
    TraceNumber("InitURL : Establish failed : HRESULT = ", hresult);
    TraceNumber("InitURL : Establish failed : error = ", error == 0 ? -1 : static_cast<int64_t>(error));
  }
  return connection;
}

void releaseNetwork(platform::NetworkConnection& connection) {
  std::lock_guard<std::mutex> hold(NetworkLock());
  platform::ReleaseConnection(connection);
}

// ---- Transfer ----

int32_t loadUrl(const UrlRequest& request, std::string* bodyOut, platform::FileHandle* file,
                OptionalText* lastModified, OptionalText* etag, int32_t* codePageOut,
                uint64_t* bytesOut, int32_t sizeLimitMB, const TransferProgress& progress) {
  if ((bodyOut == nullptr) == (file == nullptr)) return platform::kErrorInvalidParameter;
  if (bodyOut != nullptr) bodyOut->clear();
  if (!request.url || request.url->empty()) {
    TraceText("URL is ", request.url ? u"empty" : u"NULL");
    return kUrlNoAddress;
  }
  TraceText("URL : ", *request.url);

  TransferState state;
  state.body = bodyOut;
  state.file = file;
  state.sizeLimitMB = sizeLimitMB;
  state.progress = &progress;

  int32_t result = kUrlSuccess;
  platform::DeviceError transferError = 0;
  const std::optional<UrlTarget> target = applyUrlCredentials(request);
  if (!target) {
    result = platform::kErrorInternetInvalidUrl;
  } else {
    platform::HttpRequest http;
    http.method = request.method == kMethodPost ? platform::HttpMethod::kPost : platform::HttpMethod::kGet;
    http.url = platform::ToUtf8(target->address);
    if (request.postBody) http.postBody = *request.postBody;
    http.userAgent = platform::ToUtf8(UserAgent());
    http.proxy = platform::ToUtf8(ProxyAddress());
    http.proxyUser = platform::ToUtf8(ProxyUser());
    http.proxyPassword = platform::ToUtf8(ProxyPassword());
    const OptionalText none;
    http.headerBlock = buildRequestHeaders(request.method, lastModified ? *lastModified : none,
                                           etag ? *etag : none, target->user, target->password,
                                           bodyOut != nullptr);
    platform::HttpCallbacks callbacks;
    callbacks.onResponse = [&state](const platform::HttpResponse& response) {
      return OnResponse(state, response);
    };
    callbacks.onData = [&state](const char* data, size_t size) { return OnData(state, data, size); };
    callbacks.shouldAbort = [] { return IsTransferAbortRaised(); };
    transferError = platform::HttpTransfer(http, callbacks);

    if (state.result != kUrlSuccess) {
      result = state.result;
    } else if (transferError == platform::kErrorOperationAborted) {
      result = kUrlAborted;
    } else if (transferError != 0) {
      result = static_cast<int32_t>(transferError);
    } else if (!state.answered) {
      result = platform::kErrorInternetInvalidServerResponse;
    } else {
      result = urlResultOfStatus(static_cast<int32_t>(state.response.status));
    }
    if (result == kUrlSuccess && bodyOut != nullptr) {
      result = Decompress(*bodyOut, state.response.contentEncoding);
    }
  }
  // A Stop that came while the last bytes arrived still counts as a Stop.
  if (IsTransferAbortRaised()) result = kUrlAborted;

  if (result == kUrlSuccess) {
    const uint64_t bytes = bodyOut != nullptr ? bodyOut->size() : state.received;
    TraceNumber("retrieved bytes : ", static_cast<int64_t>(bytes));
    if (bytesOut != nullptr) *bytesOut = bytes;
    if (codePageOut != nullptr) *codePageOut = charsetFromContentType(BytesAsText(state.response.contentType));
    if (etag != nullptr && !state.response.etag.empty()) *etag = BytesAsText(state.response.etag);
    if (lastModified != nullptr && !state.response.lastModified.empty()) {
      *lastModified = BytesAsText(state.response.lastModified);
    }
    return result;
  }
  if (bodyOut != nullptr) {
    bodyOut->clear();
    bodyOut->shrink_to_fit();
  }
  TraceNumber("LoadURL returned ", result);
  // The client keeps no server text beyond the answer's status; the error is the client's own.
  TraceNumber("InternetGetLastReponseInfo.error = ", transferError);
  TraceText("InternetGetLastResponseInfo.sz = ",
            state.answered ? FormatDecimal(state.response.status) : std::u16string());
  return result;
}

int32_t loadUrlToMemory(const UrlRequest& request, std::string& body, OptionalText* lastModified,
                        OptionalText* etag, int32_t* codePageOut, uint64_t* bytesOut,
                        const TransferProgress& progress) {
  return loadUrl(request, &body, nullptr, lastModified, etag, codePageOut, bytesOut, 0, progress);
}

int32_t loadUrlToFile(const UrlRequest& request, platform::FileHandle& file, int32_t sizeLimitMB,
                      uint64_t* bytesOut, const TransferProgress& progress) {
  return loadUrl(request, nullptr, &file, nullptr, nullptr, nullptr, bytesOut, sizeLimitMB, progress);
}

}  // namespace nubrel
