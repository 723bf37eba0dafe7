// GetString and its per-thread cache; the texts come from the compiled table
// (string_table_data.cpp, generated from data/strings.txt).
//
// The texts are copied into the slots rather than handed out straight from the read-only
// table on purpose: every caller is written against the slot rule (a text is borrowed and
// goes away after eight loads), and handing out pointers that never go away would let a
// caller that breaks the rule work here and show a wrong text wherever the rule is kept.
#include "core/string_table.h"

#include <algorithm>

namespace nubrel {
namespace {

// Zero-initialised: every slot empty, the first load goes into slot 0.
constinit thread_local StringTable tStringTable{};

const StringEntry* FindCompiledString(int number) {
  const std::span<const StringEntry> entries = CompiledStrings();
  const auto found = std::lower_bound(
      entries.begin(), entries.end(), number,
      [](const StringEntry& entry, int wanted) { return entry.number < wanted; });
  if (found == entries.end() || found->number != number) return nullptr;
  return &*found;
}

}  // namespace

const char16_t* GetString(int number) {
  StringTable& table = tStringTable;

  // Look through the slots, newest first. kEmptySlot is no string's number, so an empty slot
  // never answers.
  if (number != kEmptySlot) {
    for (int back = 1; back <= kStringSlotCount; ++back) {
      StringSlot& slot =
          table.slots[(table.nextFill - back + kStringSlotCount) % kStringSlotCount];
      if (slot.number == number) return slot.text;
    }
  }

  // Load into the next slot in turn. A hit above does not move this position, so that a text
  // always lasts eight loads, however often other texts are found in between.
  StringSlot& slot = table.slots[table.nextFill];
  table.nextFill = (table.nextFill + 1) % kStringSlotCount;
  const StringEntry* entry = FindCompiledString(number);
  if (entry == nullptr || entry->text.empty()) {
    slot.number = kEmptySlot;
    slot.text[0] = u'\0';
    return nullptr;
  }
  const std::size_t length = std::min(entry->text.size(), kStringBufferChars - 1);
  std::copy_n(entry->text.data(), length, slot.text);
  slot.text[length] = u'\0';
  slot.number = number;
  return slot.text;
}

std::u16string LoadStringText(int number) {
  const StringEntry* entry = FindCompiledString(number);
  if (entry == nullptr) return {};
  return std::u16string(entry->text.substr(0, kStringBufferChars - 1));
}

const StringTable& ThreadStringTable() { return tStringTable; }

void ResetStringCache() {
  for (StringSlot& slot : tStringTable.slots) {
    slot.number = kEmptySlot;
    slot.text[0] = u'\0';
  }
  tStringTable.nextFill = 0;
}

}  // namespace nubrel
