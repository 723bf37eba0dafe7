// Date texts shown to the user: a stored UTC file time as the device's short date (or "Today,",
// "Yesterday,", "3 days ago, ", "Not set") followed by the time in the device's time format.
// Local time, the locale's pictures and the formatting itself are the time service's
// (platform/device_time.h); reading dates out of feeds is the feed engine's.
#pragma once

#include <cstddef>
#include <string>

#include "platform/file_time.h"

namespace nubrel {

// 100-nanosecond units in a day: local file time / this = the day number relative forms compare.
inline constexpr platform::FileTime kFileTimeUnitsPerDay = 864000000000ULL;

// The furthest back (in days) the "N days ago, " form reaches; older dates show the short date.
inline constexpr long long kDaysAgoLimit = 30;

// The date text of a UTC file time, in local time.
//   relative: same local day as now -> "Today," (string 108); the day before -> "Yesterday,"
//     (109); a time on 1 January 1601 (the zero time, "never") -> "Not set" (121); 2 to 30 days
//     before today -> the number and " days ago, " (114); anything else, a day after today
//     included, -> the short date. Never a negative number of days.
//   not relative: the short date.
// Then " " and the time in the device's time format, with seconds only when withSeconds.
// E.g. "Today, 09:05", "3 days ago,  09:05", "01/31/24 09:05:00" (C locale).
// A time the calendar cannot hold (0x8000000000000000 and up) gives "Not set" alone.
// Safe from any thread.
std::u16string DateText(platform::FileTime utc, bool relative, bool withSeconds);

// The same into a caller's buffer of bufferChars UTF-16 units, always zero-terminated (cut to
// fit, never inside a surrogate pair). Returns the units written, without the terminator; 0
// (and nothing written) when bufferChars is 0 or buffer is null.
std::size_t DateText(char16_t* buffer, std::size_t bufferChars, platform::FileTime utc, bool relative,
                     bool withSeconds);

}  // namespace nubrel
