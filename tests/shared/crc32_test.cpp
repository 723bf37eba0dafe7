// CRC-32: the published check values, the start-value convention and the UTF-16LE form.
#include "shared/crc32.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_device.h"

namespace nubrel {
namespace {

// Bit at a time, straight from the polynomial: an independent statement of the same register,
// with the same convention (register loaded with start as given, complement returned).
uint32_t BitwiseCrc32(std::string_view bytes, uint32_t start) {
  uint32_t reg = start;
  for (unsigned char b : bytes) {
    reg ^= b;
    for (int k = 0; k < 8; ++k) reg = (reg & 1) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
  }
  return ~reg;
}

TEST(SharedCrc32, StandardStartGivesThePublishedCheckValues) {
  struct Row {
    std::string_view input;
    uint32_t expected;
  } rows[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.input));
    EXPECT_EQ(Crc32(row.input, kCrc32StandardStart), row.expected);
    EXPECT_EQ(Crc32(row.input.data(), row.input.size(), kCrc32StandardStart), row.expected);
  }
}

TEST(SharedCrc32, RegisterStartsFromTheGivenValueUninverted) {
  // No bytes: the complement of the start, whatever it is.
  for (uint32_t start : {0u, 1u, 0xFFFFFFFFu, 0x12345678u}) {
    SCOPED_TRACE(start);
    EXPECT_EQ(Crc32("", start), ~start);
  }
  // Continuing a standard CRC over more bytes takes the complement of the first result; the
  // channel id chain takes the result itself, which is a different number.
  const std::string first = "Channel title";
  const std::string second = "http://example.com/feed.xml";
  const uint32_t head = Crc32(first, kCrc32StandardStart);
  EXPECT_EQ(Crc32(second, ~head), Crc32(first + second, kCrc32StandardStart));
  EXPECT_NE(Crc32(second, head), Crc32(first + second, kCrc32StandardStart));
}

TEST(SharedCrc32, TableAgreesWithTheBitwiseRegisterForAnyStart) {
  const std::string data = testing::PatternBytes(4099, 7);
  for (uint32_t start : {0u, 0xFFFFFFFFu, 0xCBF43926u, 0x80000001u}) {
    for (size_t length : {size_t{1}, size_t{2}, size_t{255}, size_t{256}, data.size()}) {
      SCOPED_TRACE(::testing::Message() << "start " << start << " length " << length);
      const std::string_view piece(data.data(), length);
      EXPECT_EQ(Crc32(piece, start), BitwiseCrc32(piece, start));
    }
  }
}

TEST(SharedCrc32, TextIsSummedAsUtf16LittleEndianBytes) {
  struct Row {
    std::u16string_view text;
    std::string_view bytes;
  } rows[] = {
      {u"", ""},
      {u"AB", std::string_view("A\0B\0", 4)},
      {u"\u20AC", "\xAC\x20"},
      {u"\U0001F600", std::string_view("\x3D\xD8\x00\xDE", 4)},  // the surrogate pair, unit by unit
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.bytes));
    EXPECT_EQ(Crc32OfText(row.text, kCrc32StandardStart), Crc32(row.bytes, kCrc32StandardStart));
    EXPECT_EQ(Crc32OfText(row.text, 0x5A5A5A5Au), BitwiseCrc32(row.bytes, 0x5A5A5A5Au));
  }
}

}  // namespace
}  // namespace nubrel
