// Expat's side of the encodings: creating a parser for a code page, and the byte maps handed to
// Expat for charsets it does not know by itself (it knows UTF-8, UTF-16, ISO-8859-1 and
// US-ASCII). Windows-1255 and ISO-8859-15 have built-in maps; every other code page's map is
// built from the device's code page service. Charset names are charsets.cpp's.
#include <algorithm>
#include <array>
#include <cstdint>

#include "feeds/encodings.h"
#include "platform/code_pages.h"

namespace nubrel {

namespace {

constexpr uint16_t X = 0xFFFF;  // a byte the code page leaves unassigned

// Bytes 0x80-0xFF of the published windows-1255 mapping (0x00-0x7F are ASCII).
constexpr std::array<uint16_t, 128> kWindows1255High = {
    0x20AC, X,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, X,      0x2039, X,      X,      X,      X,       // 88
    X,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, X,      0x203A, X,      X,      X,      X,       // 98
    0x00A0, 0x00A1, 0x00A2, 0x00A3, 0x20AA, 0x00A5, 0x00A6, 0x00A7,  // A0
    0x00A8, 0x00A9, 0x00D7, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x00AF,  // A8
    0x00B0, 0x00B1, 0x00B2, 0x00B3, 0x00B4, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x00B8, 0x00B9, 0x00F7, 0x00BB, 0x00BC, 0x00BD, 0x00BE, 0x00BF,  // B8
    0x05B0, 0x05B1, 0x05B2, 0x05B3, 0x05B4, 0x05B5, 0x05B6, 0x05B7,  // C0
    0x05B8, 0x05B9, X,      0x05BB, 0x05BC, 0x05BD, 0x05BE, 0x05BF,  // C8
    0x05C0, 0x05C1, 0x05C2, 0x05C3, 0x05F0, 0x05F1, 0x05F2, 0x05F3,  // D0
    0x05F4, X,      X,      X,      X,      X,      X,      X,       // D8
    0x05D0, 0x05D1, 0x05D2, 0x05D3, 0x05D4, 0x05D5, 0x05D6, 0x05D7,  // E0
    0x05D8, 0x05D9, 0x05DA, 0x05DB, 0x05DC, 0x05DD, 0x05DE, 0x05DF,  // E8
    0x05E0, 0x05E1, 0x05E2, 0x05E3, 0x05E4, 0x05E5, 0x05E6, 0x05E7,  // F0
    0x05E8, 0x05E9, 0x05EA, X,      X,      0x200E, 0x200F, X,       // F8
};

// Bytes 0x80-0xFF of ISO-8859-15: Latin-1 with eight letters and the euro sign changed. The C1
// range 0x80-0x9F is left unassigned: feeds never mean control characters there.
constexpr std::array<uint16_t, 128> kIso8859_15High = [] {
  std::array<uint16_t, 128> high{};
  for (unsigned b = 0x80; b <= 0xFF; ++b) high[b - 0x80] = b < 0xA0 ? X : static_cast<uint16_t>(b);
  high[0xA4 - 0x80] = 0x20AC;
  high[0xA6 - 0x80] = 0x0160;
  high[0xA8 - 0x80] = 0x0161;
  high[0xB4 - 0x80] = 0x017D;
  high[0xB8 - 0x80] = 0x017E;
  high[0xBC - 0x80] = 0x0152;
  high[0xBD - 0x80] = 0x0153;
  high[0xBE - 0x80] = 0x0178;
  return high;
}();

void FillIdentity(int (&map)[256]) {
  for (int b = 0; b < 256; ++b) map[b] = b;
}

void FillBuiltIn(const std::array<uint16_t, 128>& high, int (&map)[256]) {
  for (int b = 0; b < 0x80; ++b) map[b] = b;
  for (int b = 0x80; b < 256; ++b) map[b] = high[b - 0x80];
}

// The map of a code page as the device converts it: -2 for every lead byte of a double-byte code
// page, then each remaining byte converted on its own (-1 where the device has no character).
bool FillFromDevice(uint32_t codePage, int (&map)[256]) {
  platform::CodePageInfo info;
  if (platform::GetCodePageInfo(codePage, info) != 0) return false;
  std::fill(std::begin(map), std::end(map), 0);
  if (info.maxCharSize == 2) {
    for (const platform::LeadByteRange& range : info.leadByteRanges) {
      for (int b = range.first; b <= range.last; ++b) map[b] = -2;
    }
  }
  for (int b = 0; b < 256; ++b) {
    if (map[b] != 0) continue;
    char16_t c = 0;
    map[b] = platform::SingleByteToWide(codePage, static_cast<uint8_t>(b), c) == 0 ? c : -1;
  }
  return true;
}

// Expat's conversion of a two-byte sequence (map entry -2); the code page is the data pointer.
// 0xFFFF makes Expat reject the character as invalid.
int XMLCALL ConvertTwoBytes(void* data, const char* s) {
  const auto codePage = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  char16_t c = 0;
  if (platform::DoubleByteToWide(codePage, static_cast<uint8_t>(s[0]), static_cast<uint8_t>(s[1]),
                                 c) != 0) {
    return 0xFFFF;
  }
  return c;
}

int XMLCALL HandleUnknownEncoding(void* /*handlerData*/, const XML_Char* name,
                                  XML_Encoding* info) {
  if (name == nullptr) return XML_STATUS_ERROR;
  const int32_t codePage = expatEncodingFor(name, info->map);
  if (codePage == kNoCodePage) return XML_STATUS_ERROR;
  const bool twoByte = std::any_of(std::begin(info->map), std::end(info->map),
                                   [](int entry) { return entry == -2; });
  info->data = reinterpret_cast<void*>(static_cast<uintptr_t>(codePage));
  info->convert = twoByte ? ConvertTwoBytes : nullptr;
  // The data is the code page number itself: nothing to release.
  info->release = nullptr;
  return XML_STATUS_OK;
}

}  // namespace

int32_t expatEncodingFor(std::string_view name, int (&map)[256]) {
  const int32_t codePage = codePageOf(name);
  switch (codePage) {
    case kNoCodePage:
      return kNoCodePage;
    case kCodePageUsAscii:
    case kCodePageUtf16:
    case kCodePageUtf8:
      FillIdentity(map);
      return codePage;
    case 1255:
      FillBuiltIn(kWindows1255High, map);
      return codePage;
    case 28605:
      FillBuiltIn(kIso8859_15High, map);
      return codePage;
    default:
      break;
  }
  if (!FillFromDevice(static_cast<uint32_t>(codePage), map)) return kNoCodePage;
  if (codePage == kCodePageWindows1252) {
    // The five bytes windows-1252 leaves unassigned pass through as the C1 characters of the
    // same number, as Latin-1 would give them: a document that has one still parses.
    for (int b = 0x80; b < 0xA0; ++b) {
      if (map[b] == -1) map[b] = b;
    }
  }
  return codePage;
}

const char* expatNameOfCodePage(int32_t codePage) {
  if (codePage == kCodePageWindows1252) return "WINDOWS-1252";
  return nameOfCodePage(codePage);
}

void InstallUnknownEncodingHandler(XML_Parser parser) {
  if (parser != nullptr) XML_SetUnknownEncodingHandler(parser, HandleUnknownEncoding, nullptr);
}

ExpatParser CreateExpatParserFor(int32_t codePage, XML_Char namespaceSeparator) {
  const char* name = expatNameOfCodePage(codePage);
  ExpatParser parser(namespaceSeparator != 0 ? XML_ParserCreateNS(name, namespaceSeparator)
                                             : XML_ParserCreate(name));
  InstallUnknownEncodingHandler(parser.get());
  return parser;
}

}  // namespace nubrel
