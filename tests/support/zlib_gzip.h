// gzip members made by zlib, the reference the retrieval tests serve and compare with.
#pragma once

#include <zlib.h>

#include <string>

namespace testsupport {

// One gzip member of `data` at the given level; empty if zlib refuses.
inline std::string ZlibGzip(const std::string& data, int level = 9) {
  z_stream stream{};
  if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int done = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return done == Z_STREAM_END ? out : std::string();
}

}  // namespace testsupport
