// Reading the string table's source file (data/strings.txt): one string per line, its number,
// a TAB and the text with C escapes. Shared by the build-time generator (tools/embed_strings.cpp),
// which turns the result into the compiled table, and by the tests. Lookup at run time is
// string_table.h; nothing here touches the device.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nubrel {

// The longest text a string may have, in UTF-16 code units: a string is loaded into a
// 1024-character buffer together with its terminating zero.
inline constexpr std::size_t kMaxStringTextUnits = 1023;
inline constexpr int kMaxStringNumber = 65535;

struct SourceString {
  int number = 0;        // 1 to kMaxStringNumber
  std::u16string text;   // escapes resolved; never empty
  int line = 0;          // line of the source file it came from, counted from 1
};

struct SourceError {
  int line = 0;          // line of the source file at fault, counted from 1
  std::string message;   // what is wrong with it, in English
};

// Reads a whole source file held in memory (UTF-8; a leading byte order mark is skipped;
// lines end in "\n" or "\r\n").
//   number<TAB>text              a string
//   number<TAB>text<TAB># note   a string followed by a note (the TAB ends the text, so
//                                trailing spaces of the text are kept)
//   # comment, or an empty line  ignored
// Escapes: \n \t \r \\ \" \'. A number is decimal, 1 to 65535, each number once.
// Returns true with every string in `strings`, sorted by number. Returns false at the first
// fault, with its line and a message in `error`; `strings` then holds no useful result.
bool ParseStringSource(std::string_view source, std::vector<SourceString>& strings,
                       SourceError& error);

}  // namespace nubrel
