// TEA block cipher: the 32-cycle Feistel rounds and the little-endian packing of a block.
// Key choice and padding are the callers' (see tea_cipher.h).
#include "shared/tea_cipher.h"

namespace nubrel {
namespace {

constexpr uint32_t kDelta = 0x9E3779B9u;
constexpr int kCycles = 32;

// Byte by byte, so the stored bytes mean the same on a host of either byte order.
uint32_t LoadWord(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void StoreWord(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
  p[2] = static_cast<uint8_t>(w >> 16);
  p[3] = static_cast<uint8_t>(w >> 24);
}

}  // namespace

void TeaEncipherBlock(uint8_t* block, const TeaKey& key) {
  uint32_t v0 = LoadWord(block);
  uint32_t v1 = LoadWord(block + 4);
  uint32_t sum = 0;
  for (int i = 0; i < kCycles; ++i) {
    sum += kDelta;
    v0 += ((v1 << 4) + key[0]) ^ (v1 + sum) ^ ((v1 >> 5) + key[1]);
    v1 += ((v0 << 4) + key[2]) ^ (v0 + sum) ^ ((v0 >> 5) + key[3]);
  }
  StoreWord(block, v0);
  StoreWord(block + 4, v1);
}

void TeaDecipherBlock(uint8_t* block, const TeaKey& key) {
  uint32_t v0 = LoadWord(block);
  uint32_t v1 = LoadWord(block + 4);
  uint32_t sum = kDelta * static_cast<uint32_t>(kCycles);  // wraps to 0xC6EF3720
  for (int i = 0; i < kCycles; ++i) {
    v1 -= ((v0 << 4) + key[2]) ^ (v0 + sum) ^ ((v0 >> 5) + key[3]);
    v0 -= ((v1 << 4) + key[0]) ^ (v1 + sum) ^ ((v1 >> 5) + key[1]);
    sum -= kDelta;
  }
  StoreWord(block, v0);
  StoreWord(block + 4, v1);
}

bool TeaEncipher(uint8_t* data, size_t size, const TeaKey& key) {
  if (size % kTeaBlockSize != 0) return false;
  for (size_t at = 0; at < size; at += kTeaBlockSize) TeaEncipherBlock(data + at, key);
  return true;
}

bool TeaDecipher(uint8_t* data, size_t size, const TeaKey& key) {
  if (size % kTeaBlockSize != 0) return false;
  for (size_t at = 0; at < size; at += kTeaBlockSize) TeaDecipherBlock(data + at, key);
  return true;
}

}  // namespace nubrel
