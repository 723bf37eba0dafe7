// Feed dates: the RFC 822 form of RSS and the ISO 8601 form of RDF and Atom, read into and written
// from the program's one time type (a UTC file time, 0 = no date), and the local midnights behind
// the day filters. Dates shown to the user ("Today,", relative dates) are core/'s; the clock,
// calendar and time zone are the device's (platform/device_time.h).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/file_time.h"

namespace nubrel {

// One minute and one day in file-time units.
inline constexpr platform::FileTime kFileTimeMinute = 600000000ULL;
inline constexpr platform::FileTime kFileTimeDay = 864000000000ULL;

// ---- Reading ----

// True when the text has at least 12 characters with "-" at positions 4 and 7 and "T" at 10:
// the test that sends a feed's date to parseIsoDate rather than parseRfc822Date.
bool looksIso(std::u16string_view text);

// "2008-10-05T12:30:00Z", "2008-10-05T12:30Z", "2008-10-05T12:30:00.000+02:00",
// "2008-10-05T12:30:00-0500". A zone is required; a fraction must have three digits; years
// 1980 to 2100. Writes `time` only on success; a failed parse leaves it as it was.
bool parseIsoDate(std::u16string_view text, platform::FileTime& time);

// "Sun, 05 Oct 2008 12:30:00 GMT", "05 Oct 2008 12:30 +0200", "Sun, 5 Oct 2008 12:30:00 EST".
// Names are case-sensitive; four-digit years 1980 to 2100; the zone is one of UT GMT EST EDT CST
// CDT MST MDT PST PDT or a signed "hhmm" / "hh:mm" offset, and is required. Writes `time` only
// on success.
bool parseRfc822Date(std::u16string_view text, platform::FileTime& time);

// Which reader took a feed date (parseFeedDate).
enum class DateForm {
  kNone,    // neither reader accepted it
  kIso,     // parseIsoDate
  kRfc822,  // parseRfc822Date
};

// A date as feeds give it: through parseIsoDate when looksIso, else parseRfc822Date (the other
// reader is not tried). Writes `time` only on success; returns the reader that accepted it.
DateForm parseFeedDate(std::u16string_view text, platform::FileTime& time);

// ---- Writing ----

// "2008-10-05T12:30:00-00:00": the UTC fields. A time the calendar cannot show (beyond year
// 30827) is written as the zero time, year 1601, which both readers reject like any "no date".
std::u16string formatIsoDate(platform::FileTime time);

// "Sun 05 Oct 2008 12:30:00 GMT" (no comma after the day name); out-of-range times as above.
std::u16string formatRfc822Date(platform::FileTime time);

// ---- Local days ----

// Today's local midnight (by the device clock, platform::CurrentFileTime) plus dayOffset days,
// as a UTC time. Days are counted on the local calendar, so a window across a change of summer
// time still starts at local midnight.
platform::FileTime localDayStart(int dayOffset);

// (localDayStart(dayOffset), localDayStart(dayOffset + days) - 1 tick): the inclusive UTC range
// of `days` local days starting dayOffset days from today.
std::pair<platform::FileTime, platform::FileTime> localDayWindow(int dayOffset, int days);

}  // namespace nubrel
