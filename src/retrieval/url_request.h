// What a transfer asks for (UrlRequest), the result codes every transfer returns, and the one
// process-wide transfer-abort signal. The transfer itself (loadUrl) and the HTTP client live
// elsewhere; this header holds only what callers and transfers share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "feeds/item_list.h"
#include "platform/sync.h"

namespace nubrel {

// ---- The request ----

inline constexpr int32_t kMethodPost = 1;  // UrlRequest::method; anything else is GET

struct UrlRequest {
  OptionalText url;       // absolute address; nothing or empty gives kUrlNoAddress
  OptionalText user;      // basic authentication and the "<username>" placeholder
  OptionalText password;  // likewise for "<password>"
  int32_t method = 0;     // kMethodPost or GET
  std::optional<std::string> postBody;  // bytes sent with the request (form-encoded for POST)
};

// ---- Result codes ----
//
// 0 success (HTTP 200 or 226); -N the server answered status N (urlResultOfStatus); positive
// numbers are device / client errors (12007 name not resolved, 12029 cannot connect, ...).
inline constexpr int32_t kUrlSuccess = 0;
inline constexpr int32_t kUrlNoAddress = 2;           // no address, or an empty one
inline constexpr int32_t kUrlTooLarge = -112;         // declared length above the size limit
inline constexpr int32_t kUrlNoBuffer = -113;         // no memory for the transfer buffer
inline constexpr int32_t kUrlNoMemoryToGrow = -114;   // no memory to enlarge the body
inline constexpr int32_t kUrlTaskFault = -900;        // the task itself failed
inline constexpr int32_t kUrlAborted = -901;          // abort signal raised, or progress refused
inline constexpr int32_t kUrlBadGzip = -902;          // the gzip body failed to decode
inline constexpr int32_t kUrlNotModified = -304;      // answer to a conditional request
inline constexpr int32_t kUrlProxyAuthRequired = -407;
inline constexpr int32_t kUrlTimedOut = 12002;        // nothing received within the time-out

// A body read into memory never grows past this: a server that never stops sending would
// otherwise exhaust memory. Past it the transfer ends with kUrlNoMemoryToGrow; a declared
// Content-Length above it gives kUrlNoBuffer before anything is allocated.
inline constexpr size_t kMaxMemoryBodyBytes = size_t{64} * 1024 * 1024;

// The result of an HTTP status: 0 for 200 and 226, -status otherwise.
constexpr int32_t urlResultOfStatus(int32_t status) {
  return (status == 200 || status == 226) ? kUrlSuccess : -status;
}

// ---- Transfer-abort signal ----
//
// One manual-reset event plus a flag, for the whole process. The interface raises it for Stop;
// every transfer tests it before each read, and a transfer that ends while it is raised reports
// kUrlAborted whatever else happened. Raising and clearing may come from any thread.

// Defined inline so that this header stays the whole of it: one record, made on first use (a
// function-local static, so its creation is thread-safe and never races start-up order).
struct TransferAbortSignal {
  std::atomic<bool> aborting{false};                   // written by Raise/Clear, any thread
  platform::Event event{platform::EventReset::kManual};  // mirrors `aborting`, for waits
};

inline TransferAbortSignal& TransferAbortState() {
  static TransferAbortSignal signal;
  return signal;
}

// The event itself, for a wait that should also end when the signal is raised.
inline platform::Event& TransferAbortEvent() { return TransferAbortState().event; }

// Sets the flag, then the event: a transfer woken by the event always sees the flag.
inline void RaiseTransferAbort() {
  TransferAbortState().aborting.store(true);
  platform::SetEvent(TransferAbortState().event);
}

// Clears the flag and the event (the start of a new run; tests).
inline void ClearTransferAbort() {
  TransferAbortState().aborting.store(false);
  platform::ResetEvent(TransferAbortState().event);
}

inline bool IsTransferAbortRaised() { return TransferAbortState().aborting.load(); }

}  // namespace nubrel
