// The gzip decoder against zlib: zlib makes the bodies (every level and strategy, stored blocks,
// empty and concatenated members) and decodes them as the reference; hand-built members and
// blocks show the header fields and every failure rule. The nibble CRC is checked against the
// shared table CRC and zlib's.
#include "retrieval/gzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "shared/crc32.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

void AppendLittle(Bytes& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t ZlibCrc(const Bytes& data) {
  return static_cast<uint32_t>(::crc32(0L, data.data(), static_cast<uInt>(data.size())));
}

// zlib-made stream: windowBits 31 gives a gzip member, -15 raw DEFLATE.
Bytes ZlibCompress(const Bytes& data, int level, int strategy, int windowBits) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&stream, data.size()) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  return out;
}

Bytes ZlibGzip(const Bytes& data, int level = 6, int strategy = Z_DEFAULT_STRATEGY) {
  return ZlibCompress(data, level, strategy, 31);
}

// zlib's reading of a body: members one after another, as gunzip reads them.
bool ZlibGunzip(const Bytes& body, Bytes& out) {
  out.clear();
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return false;
  stream.next_in = const_cast<Bytef*>(body.data());
  stream.avail_in = static_cast<uInt>(body.size());
  uint8_t chunk[16384];
  int result = Z_OK;
  for (;;) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    result = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    if (result == Z_STREAM_END) {
      if (stream.avail_in == 0) break;
      inflateReset(&stream);
      continue;
    }
    if (result != Z_OK) break;
  }
  inflateEnd(&stream);
  return result == Z_STREAM_END;
}

// Our decoder the way the HTTP transfer calls it: ask the size, then decode into a buffer of
// exactly that size (so an overrun is caught by the address sanitizer).
int OurGunzip(const Bytes& body, Bytes& out) {
  out.clear();
  size_t declared = 12345;
  const int probe = nubrel::gzipDecode(nullptr, declared, body.data(), body.size());
  if (probe != 0) {
    EXPECT_EQ(probe, nubrel::kGzipFailed);
    EXPECT_EQ(declared, 0u);
    return probe;
  }
  std::vector<uint8_t> buffer(declared == 0 ? 1 : declared);
  size_t produced = 999;
  const int result = nubrel::gzipDecode(buffer.data(), produced, body.data(), body.size());
  if (result == 0) {
    EXPECT_EQ(produced, declared);
    out.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(produced));
  } else {
    EXPECT_EQ(result, nubrel::kGzipFailed);
    EXPECT_EQ(produced, 0u);
  }
  return result;
}

// A member around raw DEFLATE data with the optional header fields asked for.
struct HeaderFields {
  std::string extra;
  std::string name;
  std::string comment;
  bool headerCrc = false;
  bool corruptHeaderCrc = false;
  uint8_t extraFlags = 0;  // reserved bits to set
};

HeaderFields Fields(std::string extra, std::string name, std::string comment, bool headerCrc,
                    bool corruptHeaderCrc, uint8_t extraFlags) {
  HeaderFields fields;
  fields.extra = std::move(extra);
  fields.name = std::move(name);
  fields.comment = std::move(comment);
  fields.headerCrc = headerCrc;
  fields.corruptHeaderCrc = corruptHeaderCrc;
  fields.extraFlags = extraFlags;
  return fields;
}

Bytes Member(const Bytes& deflated, const Bytes& data, const HeaderFields& fields = {}) {
  uint8_t flags = fields.extraFlags;
  if (!fields.extra.empty()) flags |= 0x04;
  if (!fields.name.empty()) flags |= 0x08;
  if (!fields.comment.empty()) flags |= 0x10;
  if (fields.headerCrc) flags |= 0x02;
  Bytes out = {0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3};
  if (!fields.extra.empty()) {
    AppendLittle(out, static_cast<uint32_t>(fields.extra.size()), 2);
    out.insert(out.end(), fields.extra.begin(), fields.extra.end());
  }
  for (const std::string* text : {&fields.name, &fields.comment}) {
    if (text->empty()) continue;
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
  }
  if (fields.headerCrc) {
    uint32_t crc = static_cast<uint32_t>(::crc32(0L, out.data(), static_cast<uInt>(out.size())));
    if (fields.corruptHeaderCrc) crc ^= 1;
    AppendLittle(out, crc & 0xFFFF, 2);
  }
  out.insert(out.end(), deflated.begin(), deflated.end());
  AppendLittle(out, ZlibCrc(data), 4);
  AppendLittle(out, static_cast<uint32_t>(data.size()), 4);
  return out;
}

Bytes RawDeflate(const Bytes& data, int level = 6) {
  return ZlibCompress(data, level, Z_DEFAULT_STRATEGY, -15);
}

// Writes DEFLATE bits least-significant first; Huffman codes are given most-significant first.
struct BitWriter {
  Bytes bytes;
  int used = 8;
  void Bits(uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
      if (used == 8) {
        bytes.push_back(0);
        used = 0;
      }
      bytes.back() |= static_cast<uint8_t>(((value >> i) & 1) << used++);
    }
  }
  void Code(uint32_t code, int count) {
    for (int i = count - 1; i >= 0; --i) Bits((code >> i) & 1, 1);
  }
};

// Feed-like text, random bytes and long runs: what compresses well, badly and with overlaps.
std::vector<std::pair<std::string, Bytes>> SampleInputs() {
  std::mt19937 random(1952);
  std::vector<std::pair<std::string, Bytes>> inputs;
  inputs.push_back({"empty", {}});
  inputs.push_back({"one byte", {'x'}});
  std::string feed = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel>";
  for (int i = 0; i < 900; ++i) {
    feed += "<item><title>Story " + std::to_string(i * 7919 % 1000) +
            "</title><link>http://example.com/" + std::to_string(random() % 5000) +
            "</link><description>Lorem ipsum &amp; dolor sit amet</description></item>\n";
  }
  inputs.push_back({"feed text", ToBytes(feed)});
  Bytes noise(70000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
  inputs.push_back({"random bytes", noise});
  Bytes runs;
  for (int i = 0; i < 300; ++i) runs.insert(runs.end(), random() % 700, "ab"[i % 2]);
  inputs.push_back({"long runs", runs});
  Bytes skewed(100000);  // few symbols, skewed: long dynamic codes
  for (uint8_t& b : skewed) b = static_cast<uint8_t>(std::countr_zero(random() | 0x8000u) * 3);
  inputs.push_back({"skewed symbols", skewed});
  return inputs;
}

// ---- CRC-32 ----

TEST(GzipCrc, NibbleCrcEqualsTableCrcAndZlib) {
  std::mt19937 random(7);
  for (size_t size : {0u, 1u, 3u, 4u, 255u, 4096u, 100003u}) {
    SCOPED_TRACE(size);
    Bytes data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    const uint32_t ours = nubrel::crc32(data.data(), data.size());
    EXPECT_EQ(ours, nubrel::Crc32(data.data(), data.size(), nubrel::kCrc32StandardStart));
    EXPECT_EQ(ours, ZlibCrc(data));
  }
  const std::string check = "123456789";
  EXPECT_EQ(nubrel::crc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()),
            0xCBF43926u);
}

// ---- Agreement with zlib ----

TEST(GzipDecode, MatchesZlibAtEveryLevelAndStrategy) {
  nubrel::BuildGzipFixedTables();
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const auto& [label, data] : SampleInputs()) {
    for (int level = 0; level <= 9; ++level) {
      for (int strategy : strategies) {
        SCOPED_TRACE(label + " level " + std::to_string(level) + " strategy " +
                     std::to_string(strategy));
        const Bytes body = ZlibGzip(data, level, strategy);
        Bytes reference, ours;
        ASSERT_TRUE(ZlibGunzip(body, reference));
        ASSERT_EQ(OurGunzip(body, ours), 0);
        EXPECT_EQ(ours, reference);
        EXPECT_EQ(ours, data);
      }
    }
  }
}

TEST(GzipDecode, BodyOfOnlyStoredBlocksDecodes) {
  // Level 0 writes stored blocks of at most 64 KB; 200 KB needs several, the last one final.
  Bytes data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + i / 977);
  const Bytes body = ZlibGzip(data, 0);
  ASSERT_EQ(body[10] & 0x06, 0);  // the first block really is stored
  Bytes ours;
  ASSERT_EQ(OurGunzip(body, ours), 0);
  EXPECT_EQ(ours, data);
}

TEST(GzipDecode, EmptyMembersDecodeToNothing) {
  const Bytes finalEmptyStored = {0x01, 0x00, 0x00, 0xFF, 0xFF};
  const Bytes finalEmptyFixed = {0x03, 0x00};
  struct Row {
    const char* label;
    Bytes body;
  } rows[] = {
      {"zlib", ZlibGzip({})},
      {"final empty stored block", Member(finalEmptyStored, {})},
      {"final empty fixed block", Member(finalEmptyFixed, {})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Bytes ours = {'x'};
    EXPECT_EQ(OurGunzip(row.body, ours), 0);
    EXPECT_TRUE(ours.empty());
  }
}

TEST(GzipDecode, ConcatenatedMembersDecodeInTurnWithinTheDeclaredSize) {
  const Bytes feed = ToBytes("<rss><channel><title>second member</title></channel></rss>");
  Bytes emptyThenFeed = ZlibGzip({});
  const Bytes second = ZlibGzip(feed, 9);
  emptyThenFeed.insert(emptyThenFeed.end(), second.begin(), second.end());
  Bytes reference, ours;
  ASSERT_TRUE(ZlibGunzip(emptyThenFeed, reference));
  ASSERT_EQ(OurGunzip(emptyThenFeed, ours), 0);
  EXPECT_EQ(ours, reference);

  // Two members with data: the buffer sized from the last trailer cannot hold both, so the
  // body is refused rather than cut short to the first member.
  Bytes twoMembers = ZlibGzip(ToBytes("same"));
  const Bytes again = twoMembers;
  twoMembers.insert(twoMembers.end(), again.begin(), again.end());
  ASSERT_TRUE(ZlibGunzip(twoMembers, reference));
  EXPECT_EQ(reference, ToBytes("samesame"));
  EXPECT_EQ(OurGunzip(twoMembers, ours), nubrel::kGzipFailed);

  // Each member answers for its own trailer: an empty first member that claims one byte.
  Bytes wrongFirstSize = ZlibGzip({});
  wrongFirstSize[wrongFirstSize.size() - 4] = 1;
  wrongFirstSize.insert(wrongFirstSize.end(), second.begin(), second.end());
  EXPECT_EQ(OurGunzip(wrongFirstSize, ours), nubrel::kGzipFailed);

  // Bytes after the member that are not another member.
  Bytes trailing = ZlibGzip(feed);
  trailing.push_back(0);
  EXPECT_EQ(OurGunzip(trailing, ours), nubrel::kGzipFailed);
}

// ---- Header ----

TEST(GzipHeader, OptionalFieldsAndHeaderCrc) {
  const Bytes data = ToBytes("header fields come before the data, and only the CRC checks them");
  const Bytes deflated = RawDeflate(data);
  struct Row {
    const char* label;
    HeaderFields fields;
    bool decodes;
  } rows[] = {
      {"no fields", Fields("", "", "", false, false, 0), true},
      {"extra field", Fields(std::string("AB\x04\0wxyz", 8), "", "", false, false, 0), true},
      {"name and comment", Fields("", "feed.xml", "made by a test", false, false, 0), true},
      {"every field and a right CRC", Fields("xy", "feed.xml", "c", true, false, 0), true},
      {"header CRC alone", Fields("", "", "", true, false, 0), true},
      {"wrong header CRC", Fields("", "feed.xml", "", true, true, 0), false},
      {"reserved flag bit 5", Fields("", "", "", false, false, 0x20), false},
      {"reserved flag bit 7", Fields("", "", "", false, false, 0x80), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Bytes ours;
    const Bytes body = Member(deflated, data, row.fields);
    EXPECT_EQ(OurGunzip(body, ours), row.decodes ? 0 : nubrel::kGzipFailed);
    if (row.decodes) {
      EXPECT_EQ(ours, data);
    }
  }
}

TEST(GzipHeader, BadMagicMethodOrTruncatedHeaderFails) {
  const Bytes good = ZlibGzip(ToBytes("abc"));
  struct Row {
    const char* label;
    size_t offset;
    uint8_t value;
  } rows[] = {{"first magic byte", 0, 0x1E}, {"second magic byte", 1, 0x8C}, {"method 7", 2, 7}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Bytes body = good;
    body[row.offset] = row.value;
    Bytes ours;
    EXPECT_EQ(OurGunzip(body, ours), nubrel::kGzipFailed);
  }
  // A name that never ends, an extra field longer than the body, and bodies shorter than a
  // header with its trailer.
  Bytes unterminated = {0x1F, 0x8B, 8, 0x08, 0, 0, 0, 0, 0, 3, 'f', 'e', 'e', 'd'};
  Bytes longExtra = {0x1F, 0x8B, 8, 0x04, 0, 0, 0, 0, 0, 3, 0xFF, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8};
  for (const Bytes& body : {unterminated, longExtra, Bytes{0x1F, 0x8B, 8}, Bytes{}}) {
    SCOPED_TRACE(body.size());
    Bytes ours;
    EXPECT_EQ(OurGunzip(body, ours), nubrel::kGzipFailed);
  }
  size_t length = 7;
  EXPECT_EQ(nubrel::gzipDecode(nullptr, length, nullptr, 0), nubrel::kGzipFailed);
}

// ---- Trailer and bounds ----

TEST(GzipTrailer, CrcOrSizeMismatchFails) {
  const Bytes data = ToBytes(std::string(5000, 'q') + "tail of the feed");
  const Bytes good = ZlibGzip(data);
  struct Row {
    const char* label;
    size_t fromEnd;  // byte counted from the end of the body
    int delta;
  } rows[] = {{"CRC low byte", 8, 1}, {"CRC high byte", 5, 0x80},
              {"ISIZE one more", 4, 1}, {"ISIZE one less", 4, -1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Bytes body = good;
    body[body.size() - row.fromEnd] = static_cast<uint8_t>(body[body.size() - row.fromEnd] + row.delta);
    Bytes ours;
    EXPECT_EQ(OurGunzip(body, ours), nubrel::kGzipFailed);
  }
  // The probe reads the declared size without decoding anything.
  size_t declared = 0;
  ASSERT_EQ(nubrel::gzipDecode(nullptr, declared, good.data(), good.size()), 0);
  EXPECT_EQ(declared, data.size());
}

TEST(GzipBlocks, InputEndingInsideTheDataFails) {
  // The trailer stays in place while the DEFLATE data is cut, for every cut: the decoder must
  // notice the data ran out instead of taking trailer bytes as data, for each block type.
  Bytes text;
  for (int i = 0; i < 400; ++i) {
    const std::string line = "line " + std::to_string(i * i) + " of the feed\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  struct Row {
    const char* label;
    Bytes deflated;
  } rows[] = {{"stored", RawDeflate(text, 0)},
              {"fixed", ZlibCompress(text, 6, Z_FIXED, -15)},
              {"dynamic", RawDeflate(text, 9)}};
  for (const Row& row : rows) {
    for (size_t cut = 0; cut < row.deflated.size(); ++cut) {
      SCOPED_TRACE(std::string(row.label) + " cut at " + std::to_string(cut));
      const Bytes body = Member(Bytes(row.deflated.begin(), row.deflated.begin() + cut), text);
      Bytes ours;
      ASSERT_EQ(OurGunzip(body, ours), nubrel::kGzipFailed);
    }
  }
}

TEST(GzipBlocks, MalformedBlocksFail) {
  const Bytes data = ToBytes("abcabcabc");
  BitWriter tooFarBack;  // fixed block: a match of length 3 at distance 1 before any output
  tooFarBack.Bits(1, 1);
  tooFarBack.Bits(1, 2);
  tooFarBack.Code(0x01, 7);  // symbol 257, length 3
  tooFarBack.Code(0x00, 5);  // distance code 0, distance 1
  tooFarBack.Code(0x00, 7);  // end of block

  BitWriter farAfterOne;  // one literal, then distance 2
  farAfterOne.Bits(1, 1);
  farAfterOne.Bits(1, 2);
  farAfterOne.Code(0x30 + 'a', 8);
  farAfterOne.Code(0x01, 7);
  farAfterOne.Code(0x01, 5);
  farAfterOne.Code(0x00, 7);

  BitWriter distanceCode30;  // the fixed code has codes 30 and 31, but they mean nothing
  distanceCode30.Bits(1, 1);
  distanceCode30.Bits(1, 2);
  distanceCode30.Code(0x30 + 'a', 8);
  distanceCode30.Code(0x01, 7);
  distanceCode30.Code(30, 5);
  distanceCode30.Code(0x00, 7);

  BitWriter lengthSymbol286;  // literal/length symbols 286 and 287 are invalid
  lengthSymbol286.Bits(1, 1);
  lengthSymbol286.Bits(1, 2);
  lengthSymbol286.Code(0x30 + 'a', 8);
  lengthSymbol286.Code(0xC6, 8);  // 280 + 6 = 286
  lengthSymbol286.Code(0x00, 7);

  BitWriter blockType3;
  blockType3.Bits(1, 1);
  blockType3.Bits(3, 2);

  BitWriter repeatWithoutPrevious;  // dynamic header whose first length is "repeat previous"
  repeatWithoutPrevious.Bits(1, 1);
  repeatWithoutPrevious.Bits(2, 2);
  repeatWithoutPrevious.Bits(0, 5);
  repeatWithoutPrevious.Bits(0, 5);
  repeatWithoutPrevious.Bits(0, 4);                    // 4 code-length codes: 16, 17, 18, 0
  for (int i = 0; i < 4; ++i) repeatWithoutPrevious.Bits(2, 3);  // all length 2
  repeatWithoutPrevious.Code(1, 2);  // codes in symbol order 0, 16, 17, 18: 16 is 01
  repeatWithoutPrevious.Bits(0, 2);

  BitWriter tooManyLengthSymbols;  // HLIT 30 means 287 literal/length codes
  tooManyLengthSymbols.Bits(1, 1);
  tooManyLengthSymbols.Bits(2, 2);
  tooManyLengthSymbols.Bits(30, 5);
  tooManyLengthSymbols.Bits(0, 5);
  tooManyLengthSymbols.Bits(15, 4);
  for (int i = 0; i < 19; ++i) tooManyLengthSymbols.Bits(5, 3);

  BitWriter overSubscribed;  // four code-length codes of length 1
  overSubscribed.Bits(1, 1);
  overSubscribed.Bits(2, 2);
  overSubscribed.Bits(0, 5);
  overSubscribed.Bits(0, 5);
  overSubscribed.Bits(0, 4);
  for (int i = 0; i < 4; ++i) overSubscribed.Bits(1, 3);
  overSubscribed.Bits(0, 16);

  const Bytes badNlen = {0x01, 0x09, 0x00, 0xF6, 0xFE, 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  const Bytes goodNlen = {0x01, 0x09, 0x00, 0xF6, 0xFF, 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  const Bytes longerThanData = {0x01, 0x0A, 0x00, 0xF5, 0xFF, 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
  // A final block is needed: the member ends after a non-final one.
  const Bytes noFinalBlock = {0x00, 0x09, 0x00, 0xF6, 0xFF, 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};

  struct Row {
    const char* label;
    Bytes deflated;
    bool decodes;
  } rows[] = {
      {"stored block with the right NLEN", goodNlen, true},
      {"stored block whose NLEN is not the complement", badNlen, false},
      {"stored block longer than the data", longerThanData, false},
      {"no final block", noFinalBlock, false},
      {"distance before the output", tooFarBack.bytes, false},
      {"distance past the output", farAfterOne.bytes, false},
      {"distance code 30", distanceCode30.bytes, false},
      {"length symbol 286", lengthSymbol286.bytes, false},
      {"block type 3", blockType3.bytes, false},
      {"repeat with no previous length", repeatWithoutPrevious.bytes, false},
      {"too many literal/length codes", tooManyLengthSymbols.bytes, false},
      {"over-subscribed code", overSubscribed.bytes, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    // The trailer claims the data, so only the block itself can make the body fail.
    Bytes ours;
    EXPECT_EQ(OurGunzip(Member(row.deflated, data), ours), row.decodes ? 0 : nubrel::kGzipFailed);
    if (row.decodes) {
      EXPECT_EQ(ours, data);
    }
  }
}

TEST(GzipBlocks, OutputBeyondTheDeclaredSizeFails) {
  // A trailer that declares less than the data: the decoder must stop at the buffer's end,
  // whichever block kind would write past it (the buffer is exactly the declared size).
  Bytes data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>("feed"[i % 4] + i / 300);
  for (int level : {0, 1, 9}) {
    SCOPED_TRACE(level);
    Bytes body = Member(RawDeflate(data, level), data);
    const uint32_t shorter = static_cast<uint32_t>(data.size() - 100);
    for (int i = 0; i < 4; ++i) body[body.size() - 4 + i] = static_cast<uint8_t>(shorter >> (8 * i));
    Bytes ours;
    EXPECT_EQ(OurGunzip(body, ours), nubrel::kGzipFailed);
  }
}

TEST(GzipBlocks, OverlappingMatchRepeatsThePattern) {
  // "ab" then a match of length 10 at distance 2: the copy reads bytes it has just written.
  BitWriter block;
  block.Bits(1, 1);
  block.Bits(1, 2);
  block.Code(0x30 + 'a', 8);
  block.Code(0x30 + 'b', 8);
  block.Code(0x08, 7);  // symbol 264: length 10
  block.Code(0x01, 5);  // distance code 1: distance 2
  block.Code(0x00, 7);
  const Bytes expected = ToBytes("abababababab");
  Bytes ours;
  ASSERT_EQ(OurGunzip(Member(block.bytes, expected), ours), 0);
  EXPECT_EQ(ours, expected);
}

}  // namespace
