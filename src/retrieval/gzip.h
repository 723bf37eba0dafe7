// The program's own gzip decoder: a whole-buffer (not streaming) reader of gzip members
// (RFC 1952) around a DEFLATE decompressor (RFC 1951), and the nibble-table CRC-32 it checks
// the trailers with. It owns no transfer logic: the HTTP transfer decides when a body is gzip
// and turns a failure here into its own result code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nubrel {

// The one failure result of gzipDecode, whatever went wrong.
inline constexpr int kGzipFailed = -3;

// Builds the fixed Huffman tables and the length/distance tables once. Start-up calls it so the
// first transfer does not pay for it; gzipDecode builds them itself on first use when it was not
// called, and calling it again (from any thread) does nothing.
void BuildGzipFixedTables();

// Decodes the gzip body source[0..sourceLength).
// - destination == nullptr: only the first member's header and the body's last 8 bytes (the
//   trailer) are examined; destinationLength receives the declared uncompressed length (ISIZE).
// - destination != nullptr: it must hold at least that ISIZE bytes. The data is decoded into it
//   and destinationLength receives the number of bytes produced, which equals ISIZE.
// Returns 0, or kGzipFailed (destinationLength then 0) for any fault: bad magic, method or flags,
// a wrong header CRC, a truncated or malformed block, a distance before the start of the member's
// output, output beyond ISIZE, or a CRC-32 or ISIZE mismatch. Never reads or writes outside the
// two buffers. A body of several members decodes them in turn, each checked against its own
// trailer; the total must still equal the last trailer's ISIZE (the size the caller allocated).
int gzipDecode(uint8_t* destination, size_t& destinationLength, const uint8_t* source,
               size_t sourceLength);

// The CRC-32 of gzip and zlib (reflected polynomial 0xEDB88320, initial value all ones, result
// complemented), computed a nibble at a time with a 16-entry table.
uint32_t crc32(const uint8_t* bytes, size_t length);

}  // namespace nubrel
