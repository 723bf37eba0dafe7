// The device's code pages: bytes in a code page to UTF-16 and back, what a code page looks like
// (longest character, default character, lead-byte ranges), and the device's default code page.
// Conversions are glibc iconv's; the double-byte lead ranges come from our own table. Charset
// names as documents spell them ("windows-1251") are the feed engine's business, not this file's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_errors.h"

namespace platform {

// ---- Code page numbers ----

inline constexpr uint32_t kCodePageAnsi = 0;  // the device's default code page
inline constexpr uint32_t kCodePageOem = 1;   // on this device the same as the default
inline constexpr uint32_t kCodePageUtf8 = 65001;

// Every code page the device knows, besides 0 and 1:
//   874 (Thai), 932 (Japanese Shift-JIS), 936 (Simplified Chinese GBK), 949 (Korean),
//   950 (Traditional Chinese Big5), 1250 to 1258 (Windows), 20866 (KOI8-R),
//   28591 to 28599 (ISO-8859-1 to -9), 28603 (ISO-8859-13), 28605 (ISO-8859-15), 65001 (UTF-8).

// ---- Conversions ----

// Bytes in a code page to UTF-16. strict: an invalid or unassigned sequence fails with 1113
// (no Unicode translation) instead of becoming U+FFFD. 87 for an unknown code page.
// out is replaced; it holds at most one UTF-16 unit per input byte and is empty after a failure.
// A sequence cut short by the end of the input is invalid. Characters outside the BMP become
// surrogate pairs. A byte order mark is kept as U+FEFF. 8 when memory runs out.
DeviceError MultiByteToWide(uint32_t codePage, std::string_view bytes, std::u16string& out,
                            bool strict = false);

// UTF-16 to bytes in a code page; characters without a mapping become defaultChar ('?' when 0)
// and set *usedDefault. 87 for an unknown code page.
// out is replaced; *usedDefault (when given) is cleared first. A lone surrogate counts as a
// character without a mapping; a surrogate pair that cannot be written gives one defaultChar.
// For 65001 every character has a mapping and only lone surrogates are replaced, by U+FFFD's
// bytes rather than defaultChar. 8 when memory runs out.
DeviceError WideToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out,
                            char defaultChar = 0, bool* usedDefault = nullptr);

// ---- Single characters (what the feed engine builds Expat's byte maps from) ----

// One byte on its own as one UTF-16 unit: any byte of a single-byte code page, or a byte of a
// double-byte code page that is not a lead byte. Returns 0, 1113 when the byte is unassigned,
// is a lead byte, or (65001) is not ASCII; 87 for an unknown code page.
DeviceError SingleByteToWide(uint32_t codePage, uint8_t byte, char16_t& out);

// One two-byte sequence of a double-byte code page (932, 936, 949, 950) as one UTF-16 unit.
// Returns 0, 1113 when lead is not a lead byte of the code page (always so for single-byte code
// pages) or the pair has no mapping; 87 for an unknown code page.
DeviceError DoubleByteToWide(uint32_t codePage, uint8_t lead, uint8_t trail, char16_t& out);

// ---- Descriptions ----

struct LeadByteRange {
  uint8_t first;  // lowest lead byte of the range
  uint8_t last;   // highest lead byte, inclusive
};

struct CodePageInfo {
  uint32_t codePage = 0;          // the code page described; 0 and 1 resolved to the default
  uint32_t maxCharSize = 1;       // bytes of the longest character: 1, 2 for double-byte code
                                  // pages, 4 for 65001 (UTF-8 is not a double-byte code page)
  char defaultChar = '?';         // what WideToMultiByte writes for a character without mapping
  char16_t wideDefaultChar = 0xFFFD;  // what MultiByteToWide gives for bytes it cannot convert
  std::vector<LeadByteRange> leadByteRanges;  // double-byte code pages only; ascending order
};

// Describes a code page. Returns 0, or 87 for an unknown code page (info is left unchanged).
DeviceError GetCodePageInfo(uint32_t codePage, CodePageInfo& info);

// Whether byte starts a two-byte sequence in the code page; false for single-byte code pages,
// 65001 and unknown code pages.
bool IsLeadByte(uint32_t codePage, uint8_t byte);

// Whether the device can convert the code page (0 and 1 always).
bool IsValidCodePage(uint32_t codePage);

// ---- The device's default code page ----

// The host locale's character set (LC_ALL, LC_CTYPE, LANG) as a code page: UTF-8 gives 65001,
// and so does anything this device has no code page for (plain ASCII too). Read once, then kept.
uint32_t DefaultCodePage();

// Reads the host locale again (tests pin LC_ALL, then call this).
void ReloadDefaultCodePage();

// A host character set name as nl_langinfo(CODESET) spells it ("UTF-8", "ISO-8859-15",
// "KOI8-R", "CP1251"...), compared without case, '-' and '_', to a code page; 65001 when the
// device has no code page for it.
uint32_t CodePageOfHostCharset(std::string_view charset);

}  // namespace platform
