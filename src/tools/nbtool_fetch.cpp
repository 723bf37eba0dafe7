// nbtool fetch: one transfer through loadUrl with the reader's own headers and settings, and
// what came of it as one JSON line: result code, HTTP status when the result names one, the
// validators and code page of the answer, the body size. The body is kept only with --out
// (a device path, through the file transfer) and is never printed.
#include <cstdio>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/files.h"
#include "platform/utf.h"
#include "retrieval/http_transfer.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "fetch";

int RunFetch(const std::vector<std::string>& args) {
  std::string url;
  std::string out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--out") {
      if (i + 1 >= args.size()) return nbtool::Usage(kCommand);
      out = args[++i];
    } else if (url.empty()) {
      url = args[i];
    } else {
      return nbtool::Usage(kCommand);
    }
  }
  if (url.empty()) return nbtool::Usage(kCommand);
  nubrel::LoadSettings();  // the user agent and proxy the reader itself would use

  nubrel::UrlRequest request;
  request.url = platform::FromUtf8(url);
  nubrel::OptionalText etag;
  nubrel::OptionalText lastModified;
  int32_t codePage = -1;
  uint64_t bytes = 0;
  int32_t result = 0;
  if (out.empty()) {
    std::string body;
    result = nubrel::loadUrlToMemory(request, body, &lastModified, &etag, &codePage, &bytes);
  } else {
    platform::DeviceError error = 0;
    platform::FileHandle file = platform::OpenFile(platform::FromUtf8(out), platform::kAccessWrite,
                                                   platform::kShareRead,
                                                   platform::Disposition::kCreateAlways,
                                                   platform::kFileAttributeNormal, &error);
    if (!file.IsOpen()) {
      return nbtool::Fail(kCommand, "cannot create " + out + " (error " + std::to_string(error) + ")");
    }
    result = nubrel::loadUrlToFile(request, file, 0, &bytes);
  }

  nbtool::JsonWriter json;
  json.BeginObject();
  json.Key("url").String(url);
  json.Key("result").Number(result);
  // A negative result below -100 is the server's status; 0 is 200 or 226.
  json.Key("httpStatus");
  if (result <= -100 && result >= -599) {
    json.Number(-result);
  } else {
    json.Null();
  }
  json.Key("etag");
  etag ? static_cast<void>(json.String(*etag)) : static_cast<void>(json.Null());
  json.Key("lastModified");
  lastModified ? static_cast<void>(json.String(*lastModified)) : static_cast<void>(json.Null());
  json.Key("codePage");
  if (result == 0 && out.empty()) {
    json.Number(codePage);
  } else {
    json.Null();
  }
  json.Key("bytes").Unsigned(result == 0 ? bytes : 0);
  if (!out.empty()) json.Key("out").String(out);
  json.EndObject();
  json.EndLine();
  return result == 0 || result == nubrel::kUrlNotModified ? 0 : 1;
}

}  // namespace

NBTOOL_COMMAND("fetch", "URL [--out DEVICE_PATH]",
               "Fetch one address as the reader does; print result, status, validators, size.",
               RunFetch);
