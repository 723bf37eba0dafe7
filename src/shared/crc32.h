// CRC-32 of the reflected polynomial 0xEDB88320, one byte at a time through a 256-entry table.
// Owns only the checksum; what is summed (channel ids, item keys, cached file names) belongs to
// the subsystems that name those things.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace nubrel {

// The start value that makes Crc32 the standard CRC-32 of zlib, gzip and IEEE 802.3.
inline constexpr uint32_t kCrc32StandardStart = 0xFFFFFFFFu;

// The start-value convention, stated once because channel ids depend on it:
//   the register is loaded with `start` AS GIVEN (no inversion on the way in), runs over the
//   bytes, and the complement of the register is returned. With no bytes the result is ~start.
// So Crc32(data, n, kCrc32StandardStart) is the usual CRC-32 ("123456789" -> 0xCBF43926), and
// chaining a second call on the first call's RESULT (not its complement) is the channel id rule:
//   h  = Crc32(title, kCrc32StandardStart);  id = Crc32(url, h).
// That chain is NOT the same as summing title and url together; continuing a standard CRC over
// more bytes takes Crc32(more, ~previous).
uint32_t Crc32(const void* data, size_t size, uint32_t start);
uint32_t Crc32(std::string_view bytes, uint32_t start);

// The same over a wide text's UTF-16 little-endian bytes (2 bytes per unit, low byte first),
// whatever the host's byte order: the form every checksum of a title, URL or guid uses.
uint32_t Crc32OfText(std::u16string_view text, uint32_t start);

}  // namespace nubrel
