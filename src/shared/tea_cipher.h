// TEA (Tiny Encryption Algorithm) on 8-byte blocks, in place: 32 cycles, delta 0x9E3779B9, the
// block read as two little-endian 32-bit words whatever the host's byte order. Owns only the
// cipher; which key scrambles what (the proxy password in the registry, passwords in the
// subscription list) and how texts are padded into blocks belong to the callers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nubrel {

// A 128-bit key as four 32-bit words k[0]..k[3] (the classic TEA key schedule order).
using TeaKey = std::array<uint32_t, 4>;

inline constexpr size_t kTeaBlockSize = 8;

// Enciphers / deciphers one 8-byte block in place. `block` must point at 8 writable bytes.
void TeaEncipherBlock(uint8_t* block, const TeaKey& key);
void TeaDecipherBlock(uint8_t* block, const TeaKey& key);

// The same over `size` bytes, block after block (ECB: each block alone, as the stored data has
// always been laid out). Returns false and touches nothing when `size` is not a multiple of 8.
bool TeaEncipher(uint8_t* data, size_t size, const TeaKey& key);
bool TeaDecipher(uint8_t* data, size_t size, const TeaKey& key);

}  // namespace nubrel
