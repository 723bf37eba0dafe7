// Date texts: the relative day forms and the short date, then the time, all in local time.
// The calendar, the zone and the locale's pictures are the time service's.
#include "core/date_text.h"

#include <algorithm>
#include <cstdint>

#include "core/string_table.h"
#include "platform/device_time.h"
#include "shared/text.h"

namespace nubrel {

namespace {

constexpr int kStringToday = 108;      // "Today,"
constexpr int kStringYesterday = 109;  // "Yesterday,"
constexpr int kStringDaysAgo = 114;    // " days ago, "
constexpr int kStringNotSet = 121;     // "Not set"

// The wall-clock time of utc. A time the zone cannot shift inside the calendar's range (the zero
// time west of Greenwich, the last representable moments east of it) is shown as it stands, so
// the zero time still reads as day 0 and a stored "never" never turns into a date.
platform::FileTime ToLocal(platform::FileTime utc) {
  platform::FileTime local = 0;
  if (platform::FileTimeToLocalFileTime(utc, local) != platform::kErrorSuccess) return utc;
  return local;
}

}  // namespace

std::u16string DateText(platform::FileTime utc, bool relative, bool withSeconds) {
  const platform::FileTime local = ToLocal(utc);
  platform::SystemTime fields;
  if (platform::FileTimeToSystemTime(local, fields) != platform::kErrorSuccess)
    return LoadStringText(kStringNotSet);

  const platform::TimeLocale& locale = platform::HostTimeLocale();
  std::u16string out;
  bool dayDone = false;
  if (relative) {
    const int64_t day = static_cast<int64_t>(local / kFileTimeUnitsPerDay);
    const int64_t today =
        static_cast<int64_t>(ToLocal(platform::CurrentFileTime()) / kFileTimeUnitsPerDay);
    const int64_t daysBefore = today - day;
    dayDone = true;
    if (daysBefore == 0) {
      out = LoadStringText(kStringToday);
    } else if (daysBefore == 1) {
      out = LoadStringText(kStringYesterday);
    } else if (day == 0) {
      out = LoadStringText(kStringNotSet);
    } else if (daysBefore > 1 && daysBefore <= kDaysAgoLimit) {
      out = FormatDecimal(daysBefore) + LoadStringText(kStringDaysAgo);
    } else {
      // Older dates, and dates after today (a server clock running ahead, a feed dated in the
      // future): a count of days would read as "-2 days ago".
      dayDone = false;
    }
  }
  if (!dayDone) out = platform::FormatDate(fields, locale.shortDatePicture, locale);
  out += u' ';
  out += platform::FormatTime(fields, locale.timePicture, !withSeconds, locale);
  return out;
}

std::size_t DateText(char16_t* buffer, std::size_t bufferChars, platform::FileTime utc, bool relative,
                     bool withSeconds) {
  if (buffer == nullptr || bufferChars == 0) return 0;
  std::u16string text = DateText(utc, relative, withSeconds);
  std::size_t n = std::min(text.size(), bufferChars - 1);
  if (n < text.size() && n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  std::copy_n(text.data(), n, buffer);
  buffer[n] = 0;
  return n;
}

}  // namespace nubrel
