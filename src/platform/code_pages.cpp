// Code page conversions on glibc iconv; see code_pages.h. The device's answers, not iconv's
// quirks, decide what callers see: single- and double-byte code pages decode through tables made
// from iconv one character at a time, so glibc's composing of Hebrew and Vietnamese marks never
// merges two bytes into one character, and broken input resynchronises the same way everywhere.
//
// Map:
//   ---- The code page table ----      numbers, iconv names, lead-byte ranges
//   ---- iconv handles ----            RAII over iconv_t
//   ---- Decoding tables ----          per code page, built once from iconv
//   ---- Bytes to UTF-16 ----          MultiByteToWide, SingleByteToWide, DoubleByteToWide
//   ---- UTF-16 to bytes ----          WideToMultiByte
//   ---- Descriptions ----             GetCodePageInfo, IsLeadByte, IsValidCodePage
//   ---- The default code page ----    DefaultCodePage and the host charset names
#include "platform/code_pages.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

namespace platform {
namespace {

// ---- The code page table ----

struct CodePageEntry {
  uint32_t codePage;
  const char* iconvName;            // the glibc converter that gives the device's mapping
  LeadByteRange leadRanges[2];      // double-byte code pages only
  uint8_t leadRangeCount;
};

// The converters are picked for the device's mappings, not for the nearest standard: CP932 keeps
// 0x5C a backslash and has the NEC and IBM extensions (plain SHIFT_JIS has neither); glibc's CP874
// is windows-874 (0x80 the Euro sign, 0x91-0x97 quotes and dashes), which TIS-620 lacks; GBK has
// the Euro sign at 0x80 as 936 does; UHC is 949 with all of its Hangul; BIG5 has 950's Euro sign.
constexpr CodePageEntry kCodePages[] = {
    {874, "CP874", {}, 0},
    {932, "CP932", {{0x81, 0x9F}, {0xE0, 0xFC}}, 2},
    {936, "GBK", {{0x81, 0xFE}}, 1},
    {949, "UHC", {{0x81, 0xFE}}, 1},
    {950, "BIG5", {{0x81, 0xFE}}, 1},
    {1250, "CP1250", {}, 0},
    {1251, "CP1251", {}, 0},
    {1252, "CP1252", {}, 0},
    {1253, "CP1253", {}, 0},
    {1254, "CP1254", {}, 0},
    {1255, "CP1255", {}, 0},
    {1256, "CP1256", {}, 0},
    {1257, "CP1257", {}, 0},
    {1258, "CP1258", {}, 0},
    {20866, "KOI8-R", {}, 0},
    {28591, "ISO-8859-1", {}, 0},
    {28592, "ISO-8859-2", {}, 0},
    {28593, "ISO-8859-3", {}, 0},
    {28594, "ISO-8859-4", {}, 0},
    {28595, "ISO-8859-5", {}, 0},
    {28596, "ISO-8859-6", {}, 0},
    {28597, "ISO-8859-7", {}, 0},
    {28598, "ISO-8859-8", {}, 0},
    {28599, "ISO-8859-9", {}, 0},
    {28603, "ISO-8859-13", {}, 0},
    {28605, "ISO-8859-15", {}, 0},
    {kCodePageUtf8, "UTF-8", {}, 0},
};
constexpr size_t kCodePageCount = std::size(kCodePages);

// What the device writes for bytes it cannot convert when not strict.
constexpr char16_t kReplacementChar = 0xFFFD;
// A lead byte followed by a byte below this cannot be the start of a character (no trail byte of
// 932, 936, 949 or 950 is lower), so only the lead byte is lost and the markup after it survives.
constexpr uint8_t kLowestTrailByte = 0x40;

const CodePageEntry* FindEntry(uint32_t codePage) {
  if (codePage == kCodePageAnsi || codePage == kCodePageOem) codePage = DefaultCodePage();
  for (const CodePageEntry& entry : kCodePages) {
    if (entry.codePage == codePage) return &entry;
  }
  return nullptr;
}

bool IsDoubleByte(const CodePageEntry& entry) { return entry.leadRangeCount > 0; }

bool EntryHasLead(const CodePageEntry& entry, uint8_t byte) {
  for (uint8_t i = 0; i < entry.leadRangeCount; ++i) {
    if (byte >= entry.leadRanges[i].first && byte <= entry.leadRanges[i].last) return true;
  }
  return false;
}

bool IsSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// ---- iconv handles ----

// UTF-16 in the host's byte order, so iconv's output can be read as char16_t directly.
constexpr const char* kWideIconvName =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

struct IconvCloser {
  void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<std::remove_pointer_t<iconv_t>, IconvCloser>;

// An iconv descriptor is not safe to share between threads; each conversion opens its own.
IconvHandle OpenIconv(const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
  return IconvHandle(cd);
}

constexpr size_t kIconvFailed = static_cast<size_t>(-1);

// ---- Decoding tables ----

// U+FFFF is a noncharacter: no code page maps anything to it, so it can mark "no mapping".
constexpr char16_t kNoMapping = 0xFFFF;

struct DecodeTable {
  std::array<char16_t, 256> single;  // a byte on its own; kNoMapping if unassigned or a lead byte
  std::array<int16_t, 256> leadRow;  // row of `pairs` for a lead byte, -1 for any other byte
  std::vector<char16_t> pairs;       // 256 entries (by trail byte) per lead row; kNoMapping: none
};

// Converts a sequence of one or two bytes from a fresh state, flushing what iconv holds back
// (CP1255 and CP1258 wait for a combining mark). Gives the one UTF-16 unit it makes, or false
// when iconv refuses it, leaves some of it over, or makes anything but one BMP character.
bool ConvertAlone(iconv_t cd, const uint8_t* bytes, size_t count, char16_t& unit) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in[2];
  std::memcpy(in, bytes, count);
  char* inPtr = in;
  size_t inLeft = count;
  char16_t units[4];
  char* outPtr = reinterpret_cast<char*>(units);
  size_t outLeft = sizeof units;
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == kIconvFailed || inLeft != 0) return false;
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == kIconvFailed) return false;
  if (sizeof units - outLeft != sizeof(char16_t)) return false;
  if (IsSurrogate(units[0]) || units[0] == kNoMapping) return false;
  unit = units[0];
  return true;
}

// The table of a code page as iconv maps it; null when the host has no such converter.
std::unique_ptr<const DecodeTable> BuildDecodeTable(const CodePageEntry& entry) {
  IconvHandle cd = OpenIconv(kWideIconvName, entry.iconvName);
  if (!cd) return nullptr;
  auto table = std::make_unique<DecodeTable>();
  table->leadRow.fill(-1);
  int16_t rows = 0;
  for (int b = 0; b < 256; ++b) {
    const uint8_t byte = static_cast<uint8_t>(b);
    table->single[b] = kNoMapping;
    if (EntryHasLead(entry, byte)) {
      table->leadRow[b] = rows++;
    } else {
      ConvertAlone(cd.get(), &byte, 1, table->single[b]);
    }
  }
  table->pairs.assign(static_cast<size_t>(rows) * 256, kNoMapping);
  for (int lead = 0; lead < 256; ++lead) {
    if (table->leadRow[lead] < 0) continue;
    char16_t* row = &table->pairs[static_cast<size_t>(table->leadRow[lead]) * 256];
    for (int trail = 0; trail < 256; ++trail) {
      const uint8_t pair[2] = {static_cast<uint8_t>(lead), static_cast<uint8_t>(trail)};
      ConvertAlone(cd.get(), pair, 2, row[trail]);
    }
  }
  return table;
}

// The decoding tables, one slot per row of kCodePages. Each slot is built on first use inside its
// call_once, which also publishes it to every thread; nobody writes a slot after that, so readers
// take no lock. A slot stays empty when the host lacks the converter. (A build that runs out of
// memory throws out of call_once and is tried again by the next caller.)
struct CodePageTables {
  std::array<std::once_flag, kCodePageCount> built;  // guards the single build of each slot
  std::array<std::unique_ptr<const DecodeTable>, kCodePageCount> tables;  // set by its build
};

CodePageTables& Tables() {
  static CodePageTables tables;
  return tables;
}

// The table of a known code page, or null when the host cannot convert it. May throw bad_alloc.
const DecodeTable* TableFor(const CodePageEntry& entry) {
  CodePageTables& all = Tables();
  const size_t slot = static_cast<size_t>(&entry - kCodePages);
  std::call_once(all.built[slot], [&] { all.tables[slot] = BuildDecodeTable(entry); });
  return all.tables[slot].get();
}

// ---- Bytes to UTF-16 ----

DeviceError DecodeWithTable(const DecodeTable& table, std::string_view bytes,
                            std::u16string& out, bool strict) {
  out.resize(bytes.size());  // every character takes at least one byte and gives one unit
  size_t written = 0;
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t byte = static_cast<uint8_t>(bytes[i]);
    char16_t unit = table.single[byte];
    size_t used = 1;
    const int16_t row = table.leadRow[byte];
    if (row >= 0) {
      unit = kNoMapping;  // a lead byte at the very end is a character cut short
      if (i + 1 < bytes.size()) {
        const uint8_t trail = static_cast<uint8_t>(bytes[i + 1]);
        unit = table.pairs[static_cast<size_t>(row) * 256 + trail];
        if (unit != kNoMapping || trail >= kLowestTrailByte) used = 2;
      }
    }
    if (unit == kNoMapping) {
      if (strict) {
        out.clear();
        return kErrorNoUnicodeTranslation;
      }
      unit = kReplacementChar;
    }
    out[written++] = unit;
    i += used;
  }
  out.resize(written);
  return kErrorSuccess;
}

// How many bytes of a UTF-8 sequence that iconv refused belong to it: the lead byte and the
// continuation bytes that could still have completed it (the "maximal subpart" rule), so that a
// broken character costs one U+FFFD and the byte that interrupted it is read again.
size_t BrokenUtf8Length(const uint8_t* bytes, size_t left) {
  const uint8_t lead = bytes[0];
  size_t continuations = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    continuations = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    continuations = 2;
    if (lead == 0xE0) low = 0xA0;   // below: an overlong form
    if (lead == 0xED) high = 0x9F;  // above: an encoded surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    continuations = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
  } else {
    return 1;
  }
  size_t length = 1;
  while (length <= continuations && length < left) {
    const uint8_t next = bytes[length];
    if (next < low || next > high) break;
    low = 0x80;
    high = 0xBF;
    ++length;
  }
  return length;
}

DeviceError DecodeUtf8(std::string_view bytes, std::u16string& out, bool strict) {
  IconvHandle cd = OpenIconv(kWideIconvName, "UTF-8");
  if (!cd) return kErrorInvalidParameter;
  // One unit per byte is enough: 1 to 3 bytes give one unit, 4 bytes two, and a broken sequence
  // of at least one byte one U+FFFD. Growing below is only a guard against iconv asking for more.
  out.resize(bytes.size());
  char* inPtr = const_cast<char*>(bytes.data());  // iconv's prototype; it never writes input
  size_t inLeft = bytes.size();
  size_t written = 0;  // bytes of out already filled
  while (inLeft > 0) {
    char* outStart = reinterpret_cast<char*>(out.data());
    char* outPtr = outStart + written;
    size_t outLeft = out.size() * sizeof(char16_t) - written;
    const size_t result = iconv(cd.get(), &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    written = static_cast<size_t>(outPtr - outStart);
    if (result != kIconvFailed) break;
    if (error == E2BIG) {
      out.resize(out.size() + inLeft + 2);
      continue;
    }
    if (error != EILSEQ && error != EINVAL) {
      out.clear();
      return kErrorInvalidFunction;
    }
    if (strict) {
      out.clear();
      return kErrorNoUnicodeTranslation;
    }
    // EINVAL: the input ends inside a character; the rest of it is one broken character.
    const size_t skip = error == EINVAL
                            ? inLeft
                            : BrokenUtf8Length(reinterpret_cast<const uint8_t*>(inPtr), inLeft);
    if (out.size() * sizeof(char16_t) - written < sizeof(char16_t)) out.resize(out.size() + 1);
    out[written / sizeof(char16_t)] = kReplacementChar;
    written += sizeof(char16_t);
    inPtr += skip;
    inLeft -= skip;
  }
  out.resize(written / sizeof(char16_t));
  return kErrorSuccess;
}

}  // namespace

DeviceError MultiByteToWide(uint32_t codePage, std::string_view bytes, std::u16string& out,
                            bool strict) {
  try {
    out.clear();
    const CodePageEntry* entry = FindEntry(codePage);
    if (!entry) return kErrorInvalidParameter;
    const DecodeTable* table = TableFor(*entry);
    if (!table) return kErrorInvalidParameter;
    if (entry->codePage == kCodePageUtf8) return DecodeUtf8(bytes, out, strict);
    return DecodeWithTable(*table, bytes, out, strict);
  } catch (const std::bad_alloc&) {
    out.clear();
    return kErrorNotEnoughMemory;
  }
}

DeviceError SingleByteToWide(uint32_t codePage, uint8_t byte, char16_t& out) {
  try {
    const CodePageEntry* entry = FindEntry(codePage);
    if (!entry) return kErrorInvalidParameter;
    const DecodeTable* table = TableFor(*entry);
    if (!table) return kErrorInvalidParameter;
    if (table->single[byte] == kNoMapping) return kErrorNoUnicodeTranslation;
    out = table->single[byte];
    return kErrorSuccess;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

DeviceError DoubleByteToWide(uint32_t codePage, uint8_t lead, uint8_t trail, char16_t& out) {
  try {
    const CodePageEntry* entry = FindEntry(codePage);
    if (!entry) return kErrorInvalidParameter;
    const DecodeTable* table = TableFor(*entry);
    if (!table) return kErrorInvalidParameter;
    const int16_t row = table->leadRow[lead];
    if (row < 0) return kErrorNoUnicodeTranslation;
    const char16_t unit = table->pairs[static_cast<size_t>(row) * 256 + trail];
    if (unit == kNoMapping) return kErrorNoUnicodeTranslation;
    out = unit;
    return kErrorSuccess;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

// ---- UTF-16 to bytes ----

namespace {

// Runs the whole text through an open converter, writing `replacement` for each character it
// refuses: one that the code page cannot write, or a lone surrogate (a pair counts as one).
DeviceError EncodeWithIconv(iconv_t cd, std::u16string_view text, std::string_view replacement,
                            std::string& out, bool* usedDefault) {
  out.reserve(text.size());
  char* inPtr = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));  // never written
  size_t inLeft = text.size() * sizeof(char16_t);
  char chunk[4096];
  for (bool flushed = false; !flushed;) {
    char* outPtr = chunk;
    size_t outLeft = sizeof chunk;
    // With the input used up, one more call writes whatever the converter still holds.
    const bool flushing = inLeft == 0;
    const size_t result = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                   : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = errno;
    out.append(chunk, static_cast<size_t>(outPtr - chunk));
    if (result != kIconvFailed) {
      flushed = flushing;
      continue;
    }
    if (error == E2BIG) continue;
    if (error != EILSEQ && error != EINVAL) return kErrorInvalidFunction;
    char16_t units[2] = {0, 0};
    std::memcpy(units, inPtr, std::min(inLeft, sizeof units));
    const bool pair = inLeft >= sizeof units && IsHighSurrogate(units[0]) &&
                      IsLowSurrogate(units[1]);
    const size_t skip = (pair ? 2 : 1) * sizeof(char16_t);
    out.append(replacement);
    if (usedDefault) *usedDefault = true;
    inPtr += skip;
    inLeft -= skip;
  }
  return kErrorSuccess;
}

}  // namespace

DeviceError WideToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out,
                            char defaultChar, bool* usedDefault) {
  if (usedDefault) *usedDefault = false;
  try {
    out.clear();
    const CodePageEntry* entry = FindEntry(codePage);
    if (!entry || !TableFor(*entry)) return kErrorInvalidParameter;
    IconvHandle cd = OpenIconv(entry->iconvName, kWideIconvName);
    if (!cd) return kErrorInvalidParameter;
    // UTF-8 can write every character, so only lone surrogates get here: U+FFFD, as the host
    // boundary's own encoder writes them.
    const std::string_view replacement =
        entry->codePage == kCodePageUtf8 ? std::string_view("\xEF\xBF\xBD")
                                         : std::string_view(defaultChar ? &defaultChar : "?", 1);
    const DeviceError result = EncodeWithIconv(cd.get(), text, replacement, out, usedDefault);
    if (result != kErrorSuccess) out.clear();
    return result;
  } catch (const std::bad_alloc&) {
    out.clear();
    return kErrorNotEnoughMemory;
  }
}

// ---- Descriptions ----

DeviceError GetCodePageInfo(uint32_t codePage, CodePageInfo& info) {
  try {
    const CodePageEntry* entry = FindEntry(codePage);
    if (!entry || !TableFor(*entry)) return kErrorInvalidParameter;
    CodePageInfo described;
    described.codePage = entry->codePage;
    described.maxCharSize = IsDoubleByte(*entry) ? 2 : entry->codePage == kCodePageUtf8 ? 4 : 1;
    described.leadByteRanges.assign(entry->leadRanges, entry->leadRanges + entry->leadRangeCount);
    info = std::move(described);
    return kErrorSuccess;
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
}

bool IsLeadByte(uint32_t codePage, uint8_t byte) {
  const CodePageEntry* entry = FindEntry(codePage);
  return entry && EntryHasLead(*entry, byte);
}

bool IsValidCodePage(uint32_t codePage) {
  try {
    const CodePageEntry* entry = FindEntry(codePage);
    return entry && TableFor(*entry);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// ---- The default code page ----

namespace {

// The default code page as read from the host locale. Written by DefaultCodePage (first call) and
// ReloadDefaultCodePage, read by every conversion of code pages 0 and 1, from any thread: atomic.
struct DefaultCodePageState {
  std::atomic<uint32_t> codePage{0};  // 0 until the host locale has been read
};

DefaultCodePageState& DefaultState() {
  static DefaultCodePageState state;
  return state;
}

struct LocaleFreer {
  void operator()(locale_t locale) const { freelocale(locale); }
};
using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleFreer>;

// The locale the environment asks for, read without touching the process's own locale (which
// stays whatever setlocale last made it, "C" unless someone called it).
uint32_t ReadHostCodePage() {
  LocaleHandle locale(newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr)));
  if (!locale) return kCodePageUtf8;
  const char* charset = nl_langinfo_l(CODESET, locale.get());
  return charset ? CodePageOfHostCharset(charset) : kCodePageUtf8;
}

struct CharsetAlias {
  const char* name;  // upper case, without '-' and '_'
  uint32_t codePage;
};

// Host names of the device's code pages besides "CPnnn", "WINDOWSnnn" and "ISO8859n". Where the
// host names a subset of a device code page (EUC-KR of 949, GB2312 of 936, TIS-620 of 874), the
// device's code page reads everything the host writes.
constexpr CharsetAlias kCharsetAliases[] = {
    {"UTF8", kCodePageUtf8}, {"KOI8R", 20866}, {"SHIFTJIS", 932}, {"SJIS", 932},
    {"WINDOWS31J", 932},     {"MSKANJI", 932}, {"GBK", 936},      {"GB2312", 936},
    {"EUCCN", 936},          {"UHC", 949},     {"EUCKR", 949},    {"BIG5", 950},
    {"TIS620", 874},
};

// ISO-8859-n as the device numbers it.
constexpr struct {
  uint32_t part;
  uint32_t codePage;
} kIsoParts[] = {{1, 28591}, {2, 28592}, {3, 28593}, {4, 28594}, {5, 28595}, {6, 28596},
                 {7, 28597}, {8, 28598}, {9, 28599}, {13, 28603}, {15, 28605}};

// The number after a prefix ("CP1251" -> 1251), or 0 when the rest is not all digits.
uint32_t NumberAfter(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return 0;
  if (name.size() - prefix.size() > 5) return 0;
  uint32_t number = 0;
  for (char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  return number;
}

}  // namespace

uint32_t CodePageOfHostCharset(std::string_view charset) {
  std::string name;
  for (char c : charset) {
    if (c == '-' || c == '_') continue;
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  for (const CharsetAlias& alias : kCharsetAliases) {
    if (name == alias.name) return alias.codePage;
  }
  if (const uint32_t part = NumberAfter(name, "ISO8859")) {
    for (const auto& iso : kIsoParts) {
      if (iso.part == part) return iso.codePage;
    }
    return kCodePageUtf8;
  }
  uint32_t number = NumberAfter(name, "CP");
  if (!number) number = NumberAfter(name, "WINDOWS");
  if (!number) number = NumberAfter(name, "MS");
  // Only the Windows and Asian code pages go by their number; "CP28591" is no host name.
  if (number >= 874 && number <= 1258) {
    for (const CodePageEntry& entry : kCodePages) {
      if (entry.codePage == number) return number;
    }
  }
  return kCodePageUtf8;
}

uint32_t DefaultCodePage() {
  DefaultCodePageState& state = DefaultState();
  uint32_t codePage = state.codePage.load(std::memory_order_acquire);
  if (codePage == 0) {
    codePage = ReadHostCodePage();
    state.codePage.store(codePage, std::memory_order_release);
  }
  return codePage;
}

void ReloadDefaultCodePage() {
  DefaultState().codePage.store(ReadHostCodePage(), std::memory_order_release);
}

}  // namespace platform
