// nbtool gunzip: decodes a gzip file with the program's own decoder (retrieval/gzip.h), the way
// the HTTP transfer decodes a gzip body: the declared size first, then the data into a buffer of
// that size. The decoded bytes go to standard output; a failure prints why and exits with 1.
#include <cstdio>
#include <string>
#include <vector>

#include "retrieval/gzip.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "gunzip";

int RunGunzip(const std::vector<std::string>& args) {
  if (args.size() != 1) return nbtool::Usage(kCommand);
  std::string body;
  std::string error;
  if (!nbtool::ReadHostFile(args[0], body, error)) return nbtool::Fail(kCommand, error);
  const auto* source = reinterpret_cast<const uint8_t*>(body.data());
  size_t declared = 0;
  if (nubrel::gzipDecode(nullptr, declared, source, body.size()) != 0) {
    return nbtool::Fail(kCommand, args[0] + ": not a gzip member (bad header or too short)");
  }
  std::vector<uint8_t> decoded;
  try {
    decoded.resize(declared + 2);  // the two zero bytes the transfer adds after the data
  } catch (const std::bad_alloc&) {
    return nbtool::Fail(kCommand, args[0] + ": the declared size " + std::to_string(declared) +
                                      " bytes cannot be allocated");
  }
  size_t produced = 0;
  if (nubrel::gzipDecode(decoded.data(), produced, source, body.size()) != 0) {
    return nbtool::Fail(kCommand, args[0] + ": the data does not decode (corrupt data, or its CRC "
                                            "or size differs from the trailer's; declared " +
                                      std::to_string(declared) + " bytes)");
  }
  if (produced != 0 && std::fwrite(decoded.data(), 1, produced, stdout) != produced) {
    return nbtool::Fail(kCommand, "cannot write to standard output");
  }
  return std::fflush(stdout) == 0 ? 0 : nbtool::Fail(kCommand, "cannot write to standard output");
}

}  // namespace

NBTOOL_COMMAND("gunzip", "FILE",
               "Decode a gzip file with the reader's own decoder and write the bytes to stdout.",
               RunGunzip);
