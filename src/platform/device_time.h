// The device's clock and calendar: the current UTC file time (with a seam that pins it), the
// broken-down SystemTime and its exact conversions, UTC <-> local file times in the host's time
// zone, and the short date and time formats of the host's locale (pictures and formatting).
// The file time type and its host conversions are in file_time.h; feed date texts are the
// engine's (feeds/).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/device_errors.h"
#include "platform/file_time.h"

namespace platform {

// ---- Clock ----

// The current time as a UTC file time; the pinned time when a test pinned the clock.
FileTime CurrentFileTime();

// Pins the clock at now until UnpinClock (tests). Safe from any thread.
void PinClock(FileTime now);
void UnpinClock();

// ---- Calendar ----

// A moment broken down as the device's calendar shows it (Gregorian, proleptic before 1582).
struct SystemTime {
  uint16_t year = 0;          // 1601 to 30827
  uint16_t month = 0;         // 1 = January ... 12
  uint16_t dayOfWeek = 0;     // 0 = Sunday ... 6; ignored when converted to a file time
  uint16_t day = 0;           // 1 ... days of the month
  uint16_t hour = 0;          // 0 ... 23
  uint16_t minute = 0;        // 0 ... 59
  uint16_t second = 0;        // 0 ... 59
  uint16_t milliseconds = 0;  // 0 ... 999
  bool operator==(const SystemTime&) const = default;
};

// The file time as calendar fields (sub-millisecond units are dropped). Returns 0, or 87 for a
// time beyond the device's range (0x8000000000000000 and up).
DeviceError FileTimeToSystemTime(FileTime time, SystemTime& out);

// The calendar fields as a file time. Returns 0, or 87 (out untouched) when a field is out of its
// range: a day the month does not have (31 April, 29 February outside a leap year), hour 24,
// month 0, a year outside 1601 ... 30827.
DeviceError SystemTimeToFileTime(const SystemTime& time, FileTime& out);

// ---- Local time ----

// Shifts a UTC file time to the host time zone's wall clock at that instant (summer time applied
// where it was in force then). Returns 0, or 87 when the host cannot convert the instant.
DeviceError FileTimeToLocalFileTime(FileTime utc, FileTime& local);

// The reverse: a local wall-clock time to UTC, with the zone's offset in force at that wall time.
// A wall time that occurs twice (clocks going back) is read as its first occurrence; one that
// never occurs (clocks going forward) is read with the offset in force before the change.
// Returns 0, or 87.
DeviceError LocalFileTimeToFileTime(FileTime local, FileTime& utc);

// The current time (CurrentFileTime) as UTC and as local calendar fields.
SystemTime CurrentSystemTime();
SystemTime CurrentLocalTime();

// ---- Locale: date and time pictures ----
//
// Pictures in the device's own language. Date: d dd (day), ddd dddd (abbreviated and full day
// name), M MM (month), MMM MMMM (abbreviated and full month name), y yy (year in the century,
// without and with a leading zero), yyyy (full year). Time: h hh (12-hour clock), H HH (24-hour
// clock), m mm, s ss, t tt (first letter and whole AM/PM designator). Text in single quotes is
// copied as it stands ('' is one quote); any other character that is not a field letter is copied
// too.

// The names and designators of one locale's LC_TIME.
struct TimeLocale {
  std::u16string shortDatePicture;  // e.g. "MM/dd/yy", "dd.MM.yyyy"
  std::u16string timePicture;       // e.g. "HH:mm:ss", "h:mm:ss tt"
  std::u16string am;                // AM designator; may be empty (24-hour locales)
  std::u16string pm;                // PM designator; may be empty
  std::array<std::u16string, 7> dayNames;            // Sunday first
  std::array<std::u16string, 7> abbreviatedDayNames;
  std::array<std::u16string, 12> monthNames;         // January first
  std::array<std::u16string, 12> abbreviatedMonthNames;
};

// The host's time locale: LC_TIME as the environment sets it (LC_ALL, LC_TIME, LANG), read once
// per process. A locale the host does not have falls back to "C".
const TimeLocale& HostTimeLocale();

// The same for a named host locale ("C.UTF-8", "de_DE.UTF-8"). Returns 0, or 2 when the host
// has no such locale (out untouched).
DeviceError LoadTimeLocale(const char* localeName, TimeLocale& out);

// A host strftime format (as nl_langinfo(D_FMT) or T_FMT gives it) as a device picture:
// "%m/%d/%y" -> "MM/dd/yy", "%d.%m.%Y" -> "dd.MM.yyyy", "%I:%M:%S %p" -> "hh:mm:ss tt".
// Conversions without a device field (time zone, week number...) are left out; letters and any
// non-ASCII text are quoted.
std::u16string PictureFromHostFormat(std::string_view hostFormat);

// The date fields of time in the date picture.
std::u16string FormatDate(const SystemTime& time, std::u16string_view picture,
                          const TimeLocale& locale = HostTimeLocale());

// The time fields of time in the time picture; withoutSeconds drops the seconds field and the
// separator before it ("h:mm:ss tt" shows as "h:mm tt").
std::u16string FormatTime(const SystemTime& time, std::u16string_view picture,
                          bool withoutSeconds = false, const TimeLocale& locale = HostTimeLocale());

}  // namespace platform
