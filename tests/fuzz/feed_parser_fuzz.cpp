// Feeds are untrusted: any bytes given to parseFeed must give a list or a clean failure, never a
// crash, a hang or a read outside the input. A list that comes out must also survive the item
// file: it is written, read back (which must succeed), and from then on writing and reading must
// be a fixed point, so that nothing the parser accepts is lost or changed by a save and a reload.
// The first input byte picks the caller's default code page.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "feeds/item_list.h"
#include "platform/device_time.h"

namespace {

constexpr int32_t kDefaultCodePages[] = {65001, 1252, 1251, 932, 936, 950, 1255, 28605, 949, 0};

std::unique_ptr<nubrel::ItemList> Reload(const std::string& file) {
  auto list = nubrel::parseFeed(nullptr, file, 65001, false);
  if (list) nubrel::finalizeStates(list.get(), false);
  return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The after-parse pass dates undated channels "now": pin it so that runs repeat.
  platform::PinClock(128680560000000000ULL);  // 2008-10-10T12:00:00Z
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int32_t codePage =
      kDefaultCodePages[data[0] % (sizeof kDefaultCodePages / sizeof kDefaultCodePages[0])];
  // Not zero-terminated on purpose: the parser must stop at the view's end (or a zero byte).
  std::string_view document(reinterpret_cast<const char*>(data + 1), size - 1);
  std::u16string error;
  auto list = nubrel::parseFeed(nullptr, document, codePage, true, &error);
  if (!list) {
    if (error.empty()) __builtin_trap();  // every failure says why
    return 0;
  }
  nubrel::finalizeStates(list.get(), false);
  const std::string first = nubrel::itemFileBytes(*list);
  auto reloaded = Reload(first);
  if (!reloaded) __builtin_trap();  // our own file must always load
  if (reloaded->totalCount != list->totalCount) __builtin_trap();
  // The first reload settles what the file cannot keep (order of undated items, the new flag);
  // after it, a save and a reload change nothing.
  const std::string second = nubrel::itemFileBytes(*reloaded);
  auto again = Reload(second);
  if (!again) __builtin_trap();
  if (nubrel::itemFileBytes(*again) != second) __builtin_trap();
  return 0;
}
