// The program's string table: every text the reader shows, found by its resource number.
// Owns the compiled table (generated at build time from data/strings.txt by
// tools/embed_strings.cpp) and the eight-slot cache that GetString hands texts out of.
// Status texts and dates built from these strings are not here.
//
// Lifetime rule for GetString's texts: the cache is per thread, so a text is never touched by
// another thread, and a text stays valid until its own thread has made eight further loads
// (a load is a GetString of a number that is not in one of the slots; a number without a
// string counts too, since it leaves its slot empty). Finding a text already in a slot is not
// a load and shortens no other text's life. Callers that keep a text longer copy it, or use
// LoadStringText.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace nubrel {

// ---- The compiled table ----

struct StringEntry {
  int number;                // resource number, 1 to 65535
  std::u16string_view text;  // never empty, at most 1023 UTF-16 characters
};

// Every string of data/strings.txt, sorted by number, each number once. Defined by the
// generated source; never fails.
std::span<const StringEntry> CompiledStrings();

// ---- Lookup ----

inline constexpr int kStringSlotCount = 8;
inline constexpr std::size_t kStringBufferChars = 1024;
inline constexpr int kEmptySlot = 0;  // no string has number 0

// One cached text.
struct StringSlot {
  int number;                           // the string held, or kEmptySlot
  char16_t text[kStringBufferChars];    // its text, zero-terminated
};

// The string cache of one thread. Each thread has its own (thread_local), written and read
// by that thread only, so it needs no lock: a retrieval worker's status text can never be
// overwritten by the interface thread's next menu text, or the other way round.
struct StringTable {
  StringSlot slots[kStringSlotCount];  // filled in turn, cyclically
  int nextFill;                        // the slot the next load goes into (0 to 7)
};

// The string `number`, from the calling thread's cache. Returns its zero-terminated text
// (valid as the lifetime rule above says), or nullptr when the table has no such string
// (callers must handle that). Never fails otherwise.
const char16_t* GetString(int number);

// A copy of the string `number`, for callers that keep it; empty when there is no such
// string (no string is empty). Leaves the cache alone.
std::u16string LoadStringText(int number);

// The calling thread's cache, for tests that look into its slots.
const StringTable& ThreadStringTable();

// Empties the calling thread's cache (tests). Texts it handed out then read as empty.
void ResetStringCache();

}  // namespace nubrel
