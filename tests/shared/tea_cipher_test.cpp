// TEA on 8-byte blocks: published known answers (so the rounds, delta and key order are the
// standard cipher's), the little-endian reading of a block, and whole-buffer handling.
#include "shared/tea_cipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace nubrel {
namespace {

// The words of a vector laid out as this cipher reads them: low byte first.
std::array<uint8_t, 8> LittleEndianBlock(uint32_t v0, uint32_t v1) {
  std::array<uint8_t, 8> block{};
  for (int i = 0; i < 4; ++i) {
    block[i] = static_cast<uint8_t>(v0 >> (8 * i));
    block[4 + i] = static_cast<uint8_t>(v1 >> (8 * i));
  }
  return block;
}

struct KnownAnswer {
  const char* source;
  TeaKey key;
  uint32_t plain[2];
  uint32_t cipher[2];
};

// Word-level answers published with the algorithm's reference code and by Bouncy Castle.
const KnownAnswer kKnownAnswers[] = {
    {"zero key, zero block", {0, 0, 0, 0}, {0, 0}, {0x41EA3A0A, 0x94BAA940}},
    {"reference chain, step 2", {0, 0, 0, 0x41EA3A0A}, {0x94BAA940, 0}, {0x4E8E7829, 0x7D8236D8}},
    {"zero key, counting block", {0, 0, 0, 0}, {0x01020304, 0x05060708}, {0x6A2F9CF3, 0xFCCF3C55}},
    {"counting key, zero block",
     {0x01234567, 0x12345678, 0x23456789, 0x3456789A},
     {0, 0},
     {0x34E943B0, 0x900F5DCB}},
};

TEST(TeaCipherTest, EnciphersAndDeciphersThePublishedAnswers) {
  for (const KnownAnswer& row : kKnownAnswers) {
    SCOPED_TRACE(row.source);
    std::array<uint8_t, 8> block = LittleEndianBlock(row.plain[0], row.plain[1]);
    TeaEncipherBlock(block.data(), row.key);
    EXPECT_EQ(block, LittleEndianBlock(row.cipher[0], row.cipher[1]));
    TeaDecipherBlock(block.data(), row.key);
    EXPECT_EQ(block, LittleEndianBlock(row.plain[0], row.plain[1]));
  }
}

TEST(TeaCipherTest, ReadsEachWordLowByteFirst) {
  // The first byte of the block is the low byte of v0: a big-endian reading would give the
  // cipher of (0x04030201, 0x08070605) instead.
  std::array<uint8_t, 8> block = {0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05};
  TeaEncipherBlock(block.data(), TeaKey{0, 0, 0, 0});
  const std::array<uint8_t, 8> expected = {0xF3, 0x9C, 0x2F, 0x6A, 0x55, 0x3C, 0xCF, 0xFC};
  EXPECT_EQ(block, expected);
}

TEST(TeaCipherTest, BuffersAreWholeBlocksEachEnciphered) {
  const TeaKey key = {0x01234567, 0x12345678, 0x23456789, 0x3456789A};
  // Two equal blocks encipher alike (each block alone), and the whole comes back.
  std::vector<uint8_t> data(16, 0);
  ASSERT_TRUE(TeaEncipher(data.data(), data.size(), key));
  const std::array<uint8_t, 8> zeroCipher = LittleEndianBlock(0x34E943B0, 0x900F5DCB);
  EXPECT_TRUE(std::equal(zeroCipher.begin(), zeroCipher.end(), data.begin()));
  EXPECT_TRUE(std::equal(zeroCipher.begin(), zeroCipher.end(), data.begin() + 8));
  ASSERT_TRUE(TeaDecipher(data.data(), data.size(), key));
  EXPECT_EQ(data, std::vector<uint8_t>(16, 0));

  // Sizes that are not whole blocks are refused and leave the bytes alone.
  for (size_t size : {size_t{1}, size_t{7}, size_t{9}, size_t{15}}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> odd(size, 0x5A);
    EXPECT_FALSE(TeaEncipher(odd.data(), odd.size(), key));
    EXPECT_FALSE(TeaDecipher(odd.data(), odd.size(), key));
    EXPECT_EQ(odd, std::vector<uint8_t>(size, 0x5A));
  }
  // No bytes is zero whole blocks.
  EXPECT_TRUE(TeaEncipher(nullptr, 0, key));
}

}  // namespace
}  // namespace nubrel
