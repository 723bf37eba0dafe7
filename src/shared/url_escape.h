// Percent-escaping of a text for a URL query (the feed search terms, the address handed to a
// page optimizer service). Only escaping lives here; reading escapes back is the job of the code
// that names local files after URLs.
#pragma once

#include <string>
#include <string_view>

namespace nubrel {

// ASCII letters and digits are copied; every other character becomes "%" and two upper-case
// hexadecimal digits. Characters above 0x7F are first written as UTF-8 and each of their bytes
// is escaped ("é" -> "%C3%A9", "€" -> "%E2%82%AC"); a surrogate pair is one character of four
// bytes, a lone surrogate is escaped as U+FFFD. Non-ASCII letters are escaped too: both callers
// put the result inside a query string, where only ASCII may travel unescaped, and every
// server we talk to reads query escapes as UTF-8. Never fails.
std::u16string urlEscape(std::u16string_view text);

}  // namespace nubrel
