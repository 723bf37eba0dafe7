// Feed dates come from strangers: whatever the text, the date readers must answer without reading
// outside it, leave the output alone when they refuse, and accept only times they can write back.
// The input is read both as UTF-8 and as raw UTF-16 units, each in a block of exactly its size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "feeds/dates.h"
#include "platform/utf.h"

namespace {

constexpr platform::FileTime kUntouched = 0x0123456789ABCDEFULL;
// 1979-12-31 and 2101-01-02: the year range widened by the largest zone offset.
constexpr platform::FileTime kEarliest = 119599200000000000ULL;
constexpr platform::FileTime kLatest = 157785408000000000ULL;

void Check(std::u16string_view text) {
  std::unique_ptr<char16_t[]> exact(new char16_t[text.size() + 1]);
  std::memcpy(exact.get(), text.data(), text.size() * sizeof(char16_t));
  const std::u16string_view view(exact.get(), text.size());

  (void)nubrel::looksIso(view);
  platform::FileTime iso = kUntouched;
  platform::FileTime rfc = kUntouched;
  const bool isoOk = nubrel::parseIsoDate(view, iso);
  const bool rfcOk = nubrel::parseRfc822Date(view, rfc);
  if (!isoOk && iso != kUntouched) __builtin_trap();
  if (!rfcOk && rfc != kUntouched) __builtin_trap();
  for (platform::FileTime t : {isoOk ? iso : 0, rfcOk ? rfc : 0}) {
    if (t == 0) continue;
    if (t < kEarliest || t > kLatest) __builtin_trap();
    if (t % 10000000 != 0) __builtin_trap();  // whole seconds
    // Whatever was accepted writes out in both forms and reads back as the same time.
    platform::FileTime back = 0;
    if (!nubrel::parseIsoDate(nubrel::formatIsoDate(t), back) || back != t) __builtin_trap();
    back = 0;
    if (!nubrel::parseRfc822Date(nubrel::formatRfc822Date(t), back) || back != t) __builtin_trap();
  }
  platform::FileTime feed = kUntouched;
  const nubrel::DateForm form = nubrel::parseFeedDate(view, feed);
  if (form == nubrel::DateForm::kIso && feed != iso) __builtin_trap();
  if (form == nubrel::DateForm::kRfc822 && feed != rfc) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;  // dates are short; longer inputs only slow the search down
  Check(platform::FromUtf8(std::string_view(reinterpret_cast<const char*>(data), size)));
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
  Check(units);
  return 0;
}
