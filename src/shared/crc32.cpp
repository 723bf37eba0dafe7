// CRC-32 with a caller's start value; see crc32.h for the convention.
#include "shared/crc32.h"

#include <array>

namespace nubrel {

namespace {

constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

// Built by the compiler, so no start-up step has to fill it before the first checksum.
constexpr std::array<uint32_t, 256> kCrc32Table = MakeCrc32Table();

inline uint32_t Crc32Step(uint32_t reg, uint8_t byte) {
  return kCrc32Table[(byte ^ reg) & 0xFF] ^ (reg >> 8);
}

}  // namespace

uint32_t Crc32(const void* data, size_t size, uint32_t start) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t reg = start;
  for (size_t i = 0; i < size; ++i) reg = Crc32Step(reg, p[i]);
  return ~reg;
}

uint32_t Crc32(std::string_view bytes, uint32_t start) {
  return Crc32(bytes.data(), bytes.size(), start);
}

uint32_t Crc32OfText(std::u16string_view text, uint32_t start) {
  uint32_t reg = start;
  for (char16_t unit : text) {
    reg = Crc32Step(reg, static_cast<uint8_t>(unit & 0xFF));
    reg = Crc32Step(reg, static_cast<uint8_t>(unit >> 8));
  }
  return ~reg;
}

}  // namespace nubrel
