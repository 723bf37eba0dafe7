// Status texts: how a retrieval result code becomes the text shown for a channel, an enclosure
// or an OPML import ("Unable to retrieve RSS feed (URL not found - HTTP 404)").
// Owns the table of codes with a text of their own; the texts themselves are the string
// table's (string_table.h), the codes are produced by the transfer and caching code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace nubrel {

// A status text never holds more than this many UTF-16 units.
inline constexpr std::size_t kStatusTextMaxChars = 255;

// Prefixes callers pass (string numbers); 0 (or any number below 1) means no prefix.
inline constexpr int kStatusPrefixRetrieveFeed = 2001;  // "Unable to retrieve RSS feed "
inline constexpr int kStatusPrefixParseOpml = 272;      // "Unable to parse OPML : "
inline constexpr int kStatusNoPrefix = 0;

// The string number that names a result code (-404 -> 129, 12007 -> 212...), or 0 for a code
// outside the table (its text is then the code in decimal).
int StatusCodeStringNumber(int32_t code);

// The text of a result code alone: the table's string, else the code in decimal ("-502").
std::u16string StatusCodeText(int32_t code);

// The status text for a result code: the prefix string followed by "(" code text ")" when
// prefix >= 1 names a string, else the code text alone. Cut to kStatusTextMaxChars (never
// inside a surrogate pair). A prefix number without a string counts as no prefix.
// Returns a value rather than one shared buffer, so retrieval workers and the interface thread
// may call it at the same time; callers keep the result as they like.
std::u16string StatusText(int prefix, int32_t code);

}  // namespace nubrel
