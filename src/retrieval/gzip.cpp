// The gzip decoder: member headers and trailers (RFC 1952), DEFLATE blocks (RFC 1951) decoded
// straight into the caller's buffer (the buffer is the only window), and the nibble-table CRC-32
// with an eight-bytes-at-a-time variant of the same checksum for the decoded data.
// Every fault ends in kGzipFailed; nothing here allocates. What a transfer does with a failure
// belongs to the HTTP transfer.
//
// Map: Tables (fixed codes, length/distance bases, code building) / Bit reader / Blocks
//      (stored, coded, dynamic header) / Data CRC / Members (header, trailer, gzipDecode) /
//      CRC-32.
#include "retrieval/gzip.h"

#include <bit>
#include <cstring>
#include <array>
#include <mutex>

namespace nubrel {
namespace {

// ---- Tables ----

constexpr int kMaxCodeBits = 15;
// Codes up to this many bits are found with one lookup; longer ones walk the count-and-symbol
// table. 10 bits keeps the lookup table small enough to rebuild for every dynamic block.
constexpr int kFastBits = 10;
constexpr uint32_t kFastMask = (1u << kFastBits) - 1;
constexpr int kMaxLiteralSymbols = 288;
constexpr int kLengthCodes = 29;    // symbols 257..285
constexpr int kDistanceCodes = 30;  // 30 and 31 exist in the fixed code but are invalid

// One Huffman code: the number of codes of each length, the symbols ordered by code (canonical
// order), and a lookup of the first kFastBits input bits giving (length << 9) | symbol, or 0
// when the code at those bits is longer than kFastBits (or does not exist).
struct HuffmanTable {
  uint16_t count[kMaxCodeBits + 1];
  uint16_t symbol[kMaxLiteralSymbols];
  uint16_t fast[1u << kFastBits];
};

// Built once (BuildGzipFixedTables), read-only afterwards: shared by every decoding thread.
struct FixedTables {
  HuffmanTable literal;   // the fixed literal/length code, 288 symbols
  HuffmanTable distance;  // the fixed distance code, 32 symbols of 5 bits
  uint16_t lengthBase[kLengthCodes];
  uint8_t lengthExtra[kLengthCodes];
  uint16_t distanceBase[kDistanceCodes];
  uint8_t distanceExtra[kDistanceCodes];
};

FixedTables gFixed;            // written once under gFixedOnce
std::once_flag gFixedOnce;

uint32_t ReverseBits(uint32_t code, int length) {
  uint32_t reversed = 0;
  for (int i = 0; i < length; ++i) {
    reversed = (reversed << 1) | (code & 1);
    code >>= 1;
  }
  return reversed;
}

// Builds the code for lengths[0..n) (0 = symbol unused). False when the lengths over-subscribe
// the code space; an incomplete code is accepted, and decoding one of its missing codes fails.
bool BuildHuffmanTable(HuffmanTable& table, const uint8_t* lengths, int n) {
  std::memset(table.count, 0, sizeof table.count);
  for (int s = 0; s < n; ++s) ++table.count[lengths[s]];
  table.count[0] = 0;
  int left = 1;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    left = (left << 1) - table.count[len];
    if (left < 0) return false;
  }
  uint16_t offset[kMaxCodeBits + 2] = {};
  for (int len = 1; len <= kMaxCodeBits; ++len) offset[len + 1] = offset[len] + table.count[len];
  uint32_t nextCode[kMaxCodeBits + 1] = {};
  uint32_t code = 0;
  for (int len = 1; len <= kMaxCodeBits; ++len) {
    code = (code + table.count[len - 1]) << 1;
    nextCode[len] = code;
  }
  std::memset(table.fast, 0, sizeof table.fast);
  for (int s = 0; s < n; ++s) {
    const int len = lengths[s];
    if (len == 0) continue;
    table.symbol[offset[len]++] = static_cast<uint16_t>(s);
    if (len > kFastBits) {
      ++nextCode[len];
      continue;
    }
    const uint16_t entry = static_cast<uint16_t>((len << 9) | s);
    for (uint32_t i = ReverseBits(nextCode[len]++, len); i <= kFastMask; i += 1u << len) {
      table.fast[i] = entry;
    }
  }
  return true;
}

void BuildFixed() {
  uint8_t lengths[kMaxLiteralSymbols];
  for (int s = 0; s < 144; ++s) lengths[s] = 8;
  for (int s = 144; s < 256; ++s) lengths[s] = 9;
  for (int s = 256; s < 280; ++s) lengths[s] = 7;
  for (int s = 280; s < 288; ++s) lengths[s] = 8;
  BuildHuffmanTable(gFixed.literal, lengths, 288);
  for (int s = 0; s < 32; ++s) lengths[s] = 5;
  BuildHuffmanTable(gFixed.distance, lengths, 32);

  uint16_t base = 3;
  for (int i = 0; i < kLengthCodes; ++i) {
    gFixed.lengthExtra[i] = static_cast<uint8_t>(i < 8 ? 0 : (i >> 2) - 1);
    gFixed.lengthBase[i] = base;
    base = static_cast<uint16_t>(base + (1u << gFixed.lengthExtra[i]));
  }
  // Code 285 would be 259 with 5 extra bits by the pattern; RFC 1951 makes it exactly 258.
  gFixed.lengthBase[kLengthCodes - 1] = 258;
  gFixed.lengthExtra[kLengthCodes - 1] = 0;
  base = 1;
  for (int i = 0; i < kDistanceCodes; ++i) {
    gFixed.distanceExtra[i] = static_cast<uint8_t>(i < 4 ? 0 : (i >> 1) - 1);
    gFixed.distanceBase[i] = base;
    base = static_cast<uint16_t>(base + (1u << gFixed.distanceExtra[i]));
  }
}

const FixedTables& Fixed() {
  std::call_once(gFixedOnce, BuildFixed);
  return gFixed;
}

// ---- Bit reader ----

uint64_t LoadLittle64(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

uint32_t LoadLittle32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Bits are taken least-significant first. `pos` is the first byte not yet in `bits`; `count`
// bits of `bits` are valid, and any bits above them are either zero or the very next input bits
// (the word-wide refill leaves them there), so OR-ing a later refill over them is harmless.
struct BitReader {
  const uint8_t* in;
  size_t pos;
  size_t end;
  uint64_t bits = 0;
  int count = 0;

  // Tops the buffer up to at least 56 bits while input remains.
  void Refill() {
    if (end - pos >= 8) {
      bits |= LoadLittle64(in + pos) << count;
      pos += static_cast<size_t>(63 - count) >> 3;
      count |= 56;
      return;
    }
    while (count <= 56 && pos < end) {
      bits |= static_cast<uint64_t>(in[pos++]) << count;
      count += 8;
    }
  }

  // Takes n (0..16) bits into value; false when the input has ended.
  bool Take(int n, uint32_t& value) {
    if (n > count) return false;
    value = static_cast<uint32_t>(bits & ((uint64_t{1} << n) - 1));
    bits >>= n;
    count -= n;
    return true;
  }

  // Gives back the whole bytes still buffered, after dropping the rest of the current byte.
  void Rewind() {
    const int partial = count & 7;
    bits >>= partial;
    count -= partial;
    pos -= static_cast<size_t>(count >> 3);
    bits = 0;
    count = 0;
  }
};

// The symbol at the reader's next bits, or -1 when there is none or the input has ended.
int DecodeSlow(BitReader& reader, const HuffmanTable& table) {
  uint64_t bits = reader.bits;
  int code = 0;
  int first = 0;
  int index = 0;
  for (int len = 1; len <= kMaxCodeBits && len <= reader.count; ++len) {
    code |= static_cast<int>(bits & 1);
    bits >>= 1;
    const int count = table.count[len];
    if (code < first + count) {
      reader.bits >>= len;
      reader.count -= len;
      return table.symbol[index + code - first];
    }
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

inline int DecodeSymbol(BitReader& reader, const HuffmanTable& table) {
  const uint16_t entry = table.fast[reader.bits & kFastMask];
  if (entry == 0) return DecodeSlow(reader, table);
  const int len = entry >> 9;
  if (len > reader.count) return -1;
  reader.bits >>= len;
  reader.count -= len;
  return entry & 511;
}

// ---- Blocks ----

// Where the decoded bytes go: out[0..capacity), `produced` so far, the current member's first
// byte at `memberStart` (distances may not reach before it).
struct Output {
  uint8_t* data;
  size_t capacity;
  size_t produced;
  size_t memberStart;
};

bool StoredBlock(BitReader& reader, Output& out) {
  reader.Rewind();
  const uint8_t* in = reader.in;
  size_t& pos = reader.pos;
  if (reader.end - pos < 4) return false;
  const uint32_t len = static_cast<uint32_t>(in[pos]) | static_cast<uint32_t>(in[pos + 1]) << 8;
  const uint32_t nlen =
      static_cast<uint32_t>(in[pos + 2]) | static_cast<uint32_t>(in[pos + 3]) << 8;
  if ((len ^ 0xFFFFu) != nlen) return false;
  pos += 4;
  if (reader.end - pos < len || out.capacity - out.produced < len) return false;
  if (len != 0) std::memcpy(out.data + out.produced, in + pos, len);
  pos += len;
  out.produced += len;
  return true;
}

bool CodedBlock(BitReader& reader, Output& out, const HuffmanTable& literal,
                const HuffmanTable& distance) {
  const FixedTables& fixed = Fixed();
  uint8_t* const data = out.data;
  size_t produced = out.produced;
  bool ok = false;
  for (;;) {
    // 56 bits cover the longest step: 15 + 5 (length) + 15 + 13 (distance).
    reader.Refill();
    const int symbol = DecodeSymbol(reader, literal);
    if (symbol < 0) break;
    if (symbol < 256) {
      if (produced == out.capacity) break;
      data[produced++] = static_cast<uint8_t>(symbol);
      continue;
    }
    if (symbol == 256) {
      ok = true;
      break;
    }
    const int lengthCode = symbol - 257;
    if (lengthCode >= kLengthCodes) break;
    uint32_t extra = 0;
    if (!reader.Take(fixed.lengthExtra[lengthCode], extra)) break;
    const size_t length = fixed.lengthBase[lengthCode] + extra;
    const int distanceCode = DecodeSymbol(reader, distance);
    if (distanceCode < 0 || distanceCode >= kDistanceCodes) break;
    if (!reader.Take(fixed.distanceExtra[distanceCode], extra)) break;
    const size_t dist = fixed.distanceBase[distanceCode] + extra;
    if (dist > produced - out.memberStart || length > out.capacity - produced) break;
    uint8_t* to = data + produced;
    const uint8_t* from = to - dist;
    if (dist >= length) {
      std::memcpy(to, from, length);
    } else {
      // Overlapping: each byte may be one this copy has just written (a repeated pattern).
      for (size_t i = 0; i < length; ++i) to[i] = from[i];
    }
    produced += length;
  }
  out.produced = produced;
  return ok;
}

bool DynamicBlock(BitReader& reader, Output& out) {
  static constexpr uint8_t kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                         11, 4, 12, 3, 13, 2, 14, 1, 15};
  reader.Refill();
  uint32_t hlit = 0, hdist = 0, hclen = 0;
  if (!reader.Take(5, hlit) || !reader.Take(5, hdist) || !reader.Take(4, hclen)) return false;
  const int literalCount = static_cast<int>(hlit) + 257;
  const int distanceCount = static_cast<int>(hdist) + 1;
  if (literalCount > 286 || distanceCount > 30) return false;

  uint8_t lengths[286 + 30] = {};
  for (uint32_t i = 0; i < hclen + 4; ++i) {
    reader.Refill();
    uint32_t len = 0;
    if (!reader.Take(3, len)) return false;
    lengths[kOrder[i]] = static_cast<uint8_t>(len);
  }
  HuffmanTable lengthCode;
  if (!BuildHuffmanTable(lengthCode, lengths, 19)) return false;

  const int total = literalCount + distanceCount;
  std::memset(lengths, 0, sizeof lengths);
  for (int index = 0; index < total;) {
    reader.Refill();
    const int symbol = DecodeSymbol(reader, lengthCode);
    if (symbol < 0) return false;
    if (symbol < 16) {
      lengths[index++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint32_t repeat = 0;
    uint8_t value = 0;
    if (symbol == 16) {
      if (index == 0 || !reader.Take(2, repeat)) return false;
      value = lengths[index - 1];
      repeat += 3;
    } else if (symbol == 17) {
      if (!reader.Take(3, repeat)) return false;
      repeat += 3;
    } else {
      if (!reader.Take(7, repeat)) return false;
      repeat += 11;
    }
    if (repeat > static_cast<uint32_t>(total - index)) return false;
    std::memset(lengths + index, value, repeat);
    index += static_cast<int>(repeat);
  }
  if (lengths[256] == 0) return false;  // a block that could never end

  HuffmanTable literal;
  HuffmanTable distance;
  if (!BuildHuffmanTable(literal, lengths, literalCount)) return false;
  if (!BuildHuffmanTable(distance, lengths + literalCount, distanceCount)) return false;
  return CodedBlock(reader, out, literal, distance);
}

// Decodes one DEFLATE stream starting at `pos`; on success `pos` is the first byte after it.
bool Inflate(const uint8_t* in, size_t end, size_t& pos, Output& out) {
  const FixedTables& fixed = Fixed();
  BitReader reader{in, pos, end};
  for (bool last = false; !last;) {
    reader.Refill();
    uint32_t final = 0, type = 0;
    if (!reader.Take(1, final) || !reader.Take(2, type)) return false;
    last = final != 0;
    bool ok = false;
    switch (type) {
      case 0: ok = StoredBlock(reader, out); break;
      case 1: ok = CodedBlock(reader, out, fixed.literal, fixed.distance); break;
      case 2: ok = DynamicBlock(reader, out); break;
      default: break;
    }
    if (!ok) return false;
  }
  reader.Rewind();
  pos = reader.pos;
  return true;
}

// ---- Data CRC ----

// The same CRC-32 as crc32, eight bytes per step (tables derived from the byte table, built by
// the compiler). The nibble walk is kept for the interface and the header CRC; over a whole
// decoded body it would cost several times the decoding itself.
using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr CrcTables MakeCrcTables() {
  CrcTables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    tables[0][n] = c;
  }
  for (size_t t = 1; t < 8; ++t) {
    for (uint32_t n = 0; n < 256; ++n) {
      tables[t][n] = (tables[t - 1][n] >> 8) ^ tables[0][tables[t - 1][n] & 0xFF];
    }
  }
  return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

uint32_t DataCrc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (; n >= 8; p += 8, n -= 8) {
    const uint64_t w = LoadLittle64(p) ^ c;
    c = kCrcTables[7][w & 0xFF] ^ kCrcTables[6][(w >> 8) & 0xFF] ^
        kCrcTables[5][(w >> 16) & 0xFF] ^ kCrcTables[4][(w >> 24) & 0xFF] ^
        kCrcTables[3][(w >> 32) & 0xFF] ^ kCrcTables[2][(w >> 40) & 0xFF] ^
        kCrcTables[1][(w >> 48) & 0xFF] ^ kCrcTables[0][w >> 56];
  }
  for (; n > 0; ++p, --n) c = kCrcTables[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return ~c;
}

// ---- Members ----

// Checks the member header at `pos` and moves `pos` past it (and past its optional fields).
bool ReadHeader(const uint8_t* in, size_t end, size_t& pos) {
  if (end - pos < 10) return false;
  const uint8_t* header = in + pos;
  const uint8_t flags = header[3];
  if (header[0] != 0x1F || header[1] != 0x8B || header[2] != 8 || (flags & 0xE0) != 0) {
    return false;
  }
  size_t p = pos + 10;
  if (flags & 0x04) {  // extra field
    if (end - p < 2) return false;
    const size_t extraLength = static_cast<size_t>(in[p]) | static_cast<size_t>(in[p + 1]) << 8;
    p += 2;
    if (end - p < extraLength) return false;
    p += extraLength;
  }
  for (const uint8_t text : {uint8_t{0x08}, uint8_t{0x10}}) {  // name, then comment
    if ((flags & text) == 0) continue;
    const void* zero = std::memchr(in + p, 0, end - p);
    if (zero == nullptr) return false;
    p = static_cast<size_t>(static_cast<const uint8_t*>(zero) - in) + 1;
  }
  if (flags & 0x02) {  // header CRC: low 16 bits of the CRC-32 of every header byte before it
    if (end - p < 2) return false;
    const uint32_t stored = static_cast<uint32_t>(in[p]) | static_cast<uint32_t>(in[p + 1]) << 8;
    if ((crc32(header, p - pos) & 0xFFFFu) != stored) return false;
    p += 2;
  }
  pos = p;
  return true;
}

int Decode(uint8_t* destination, size_t& destinationLength, const uint8_t* source,
           size_t sourceLength) {
  size_t pos = 0;
  if (source == nullptr || !ReadHeader(source, sourceLength, pos)) return kGzipFailed;
  if (sourceLength - pos < 8) return kGzipFailed;
  const uint32_t declared = LoadLittle32(source + sourceLength - 4);
  if (destination == nullptr) {
    destinationLength = declared;
    return 0;
  }
  Output out{destination, declared, 0, 0};
  pos = 0;
  while (pos < sourceLength) {
    if (!ReadHeader(source, sourceLength, pos)) return kGzipFailed;
    out.memberStart = out.produced;
    if (!Inflate(source, sourceLength, pos, out)) return kGzipFailed;
    if (sourceLength - pos < 8) return kGzipFailed;
    const uint32_t crc = LoadLittle32(source + pos);
    const uint32_t size = LoadLittle32(source + pos + 4);
    pos += 8;
    const size_t memberSize = out.produced - out.memberStart;
    if (static_cast<uint32_t>(memberSize) != size ||
        DataCrc32(destination + out.memberStart, memberSize) != crc) {
      return kGzipFailed;
    }
  }
  // Each member matched its own ISIZE and the last one's is `declared`, so this holds already;
  // it stays as the last word on what the caller's buffer now holds.
  if (out.produced != declared) return kGzipFailed;
  destinationLength = out.produced;
  return 0;
}

// ---- CRC-32 ----

constexpr uint32_t NibbleEntry(uint32_t nibble) {
  uint32_t c = nibble;
  for (int k = 0; k < 4; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  return c;
}

constexpr uint32_t kNibbleTable[16] = {
    NibbleEntry(0),  NibbleEntry(1),  NibbleEntry(2),  NibbleEntry(3),
    NibbleEntry(4),  NibbleEntry(5),  NibbleEntry(6),  NibbleEntry(7),
    NibbleEntry(8),  NibbleEntry(9),  NibbleEntry(10), NibbleEntry(11),
    NibbleEntry(12), NibbleEntry(13), NibbleEntry(14), NibbleEntry(15)};

}  // namespace

void BuildGzipFixedTables() { (void)Fixed(); }

int gzipDecode(uint8_t* destination, size_t& destinationLength, const uint8_t* source,
               size_t sourceLength) {
  destinationLength = 0;
  return Decode(destination, destinationLength, source, sourceLength);
}

uint32_t crc32(const uint8_t* bytes, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    crc = (crc >> 4) ^ kNibbleTable[crc & 15];
    crc = (crc >> 4) ^ kNibbleTable[crc & 15];
  }
  return ~crc;
}

}  // namespace nubrel
