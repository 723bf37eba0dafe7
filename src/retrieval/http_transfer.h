// One network transfer (loadUrl) and its two wrappers, plus bringing the device's Internet
// connection up and down around a series of transfers. The wire work is platform::HttpTransfer's;
// the header block, address credentials and the gzip decoder live in their own files here.
// Result codes and the transfer-abort signal are url_request.h's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "feeds/item_list.h"
#include "platform/connection_manager.h"
#include "platform/files.h"
#include "retrieval/url_request.h"

namespace nubrel {

// ---- Connection ----

// Waits up to 3 s for the connection manager, then asks it (60 s at most) for a connection to
// the Internet. Serialised with releaseNetwork by one process-wide lock. On failure the trace
// gets the reason and the returned connection is not open.
platform::NetworkConnection connectNetwork();
// Gives the connection back; nothing for one that is not open.
void releaseNetwork(platform::NetworkConnection& connection);

// ---- Transfer ----

// Called after body pieces with the percentage done (50 when the length is not known); false
// ends the transfer with kUrlAborted.
using TransferProgress = std::function<bool(int32_t percent)>;

// One GET or POST. Exactly one of bodyOut (memory: gzip accepted and decoded, "compress" gives
// an empty body) and file (an open, writable handle that receives the body from its start) is
// given; both or neither gives kErrorInvalidParameter (87).
// lastModified / etag (optional, in/out): sent as conditional headers; replaced on success by
// this answer's validators, each only when the answer has one. codePageOut (optional) receives
// charsetFromContentType of the answer on success; bytesOut (optional) the body bytes (decoded
// size for memory). sizeLimitMB applies to file transfers; 0 or negative is no limit.
// Returns 0 or a result code of url_request.h; on any failure *bodyOut is left empty.
int32_t loadUrl(const UrlRequest& request, std::string* bodyOut, platform::FileHandle* file,
                OptionalText* lastModified, OptionalText* etag, int32_t* codePageOut,
                uint64_t* bytesOut, int32_t sizeLimitMB, const TransferProgress& progress);

// Into memory: no file, no size limit beyond kMaxMemoryBodyBytes.
int32_t loadUrlToMemory(const UrlRequest& request, std::string& body, OptionalText* lastModified,
                        OptionalText* etag, int32_t* codePageOut = nullptr,
                        uint64_t* bytesOut = nullptr, const TransferProgress& progress = {});

// Into a file: no validators, no code page.
int32_t loadUrlToFile(const UrlRequest& request, platform::FileHandle& file, int32_t sizeLimitMB,
                      uint64_t* bytesOut = nullptr, const TransferProgress& progress = {});

}  // namespace nubrel
