// Reading and writing feed dates (RFC 822 and ISO 8601) and the local day boundaries. Both
// readers are built on one field reader (ReadField) so that they agree on what a digit run, a
// separator and a range failure are; every read is bounded by the text's view.
#include "feeds/dates.h"

#include <array>
#include <cstdint>

#include "platform/device_time.h"
#include "shared/text.h"

namespace nubrel {

namespace {

using platform::FileTime;

constexpr std::array<std::u16string_view, 7> kDayNames = {u"Sun", u"Mon", u"Tue", u"Wed",
                                                          u"Thu", u"Fri", u"Sat"};
constexpr std::array<std::u16string_view, 12> kMonthNames = {
    u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
    u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};

struct ZoneRow {
  std::u16string_view name;
  int hours;  // added to the wall time to reach UTC
};
// Order matters where one name begins another: "UTC" is read as "UT".
constexpr ZoneRow kZones[] = {{u"UT", 0},  {u"GMT", 0}, {u"EST", 5}, {u"EDT", 4}, {u"CST", 6},
                              {u"CDT", 5}, {u"MST", 7}, {u"MDT", 6}, {u"PST", 8}, {u"PDT", 7}};

// A position in the text being read.
struct Cursor {
  std::u16string_view text;
  size_t at = 0;

  bool AtEnd() const { return at >= text.size(); }
  char16_t Peek() const { return AtEnd() ? u'\0' : text[at]; }
  std::u16string_view Rest() const { return AtEnd() ? std::u16string_view() : text.substr(at); }
};

bool InSet(std::u16string_view set, char16_t c) { return set.find(c) != std::u16string_view::npos; }

// The one number reader: up to `digits` decimal digits. Fewer digits are accepted only when the
// character that stopped the run belongs to `separators` (the end of the text belongs to every
// non-empty set); no digits at all read as 0. The value must lie in [minimum, maximum]. Then every
// following separator is skipped. On failure the cursor is unspecified (callers that go on after
// a failed field keep their own copy).
bool ReadField(Cursor& c, int digits, int minimum, int maximum, std::u16string_view separators,
               int& value) {
  int read = 0;
  int v = 0;
  while (read < digits && !c.AtEnd() && c.Peek() >= u'0' && c.Peek() <= u'9') {
    v = v * 10 + (c.Peek() - u'0');
    ++c.at;
    ++read;
  }
  if (read < digits) {
    if (separators.empty()) return false;
    if (!c.AtEnd() && !InSet(separators, c.Peek())) return false;
  }
  if (v < minimum || v > maximum) return false;
  while (!c.AtEnd() && InSet(separators, c.Peek())) ++c.at;
  value = v;
  return true;
}

// Calendar fields plus an offset in minutes (positive: subtract from the wall time) to UTC.
bool ToFileTime(int year, int month, int day, int hour, int minute, int second,
                int64_t offsetMinutes, FileTime& out) {
  platform::SystemTime st;
  st.year = static_cast<uint16_t>(year);
  st.month = static_cast<uint16_t>(month);
  st.day = static_cast<uint16_t>(day);
  st.hour = static_cast<uint16_t>(hour);
  st.minute = static_cast<uint16_t>(minute);
  st.second = static_cast<uint16_t>(second);
  FileTime wall = 0;
  if (platform::SystemTimeToFileTime(st, wall) != 0) return false;
  // Years 1980-2100 and offsets of at most a day keep this far from both ends of the type.
  out = static_cast<FileTime>(static_cast<int64_t>(wall) -
                              offsetMinutes * static_cast<int64_t>(kFileTimeMinute));
  return true;
}

// The calendar fields of a time; the zero time for one the calendar cannot show.
platform::SystemTime FieldsOf(FileTime time) {
  platform::SystemTime st;
  if (platform::FileTimeToSystemTime(time, st) != 0) platform::FileTimeToSystemTime(0, st);
  return st;
}

}  // namespace

// ---- Reading ----

bool looksIso(std::u16string_view text) {
  return text.size() >= 12 && text[4] == u'-' && text[7] == u'-' && text[10] == u'T';
}

bool parseIsoDate(std::u16string_view text, FileTime& time) {
  Cursor c{text};
  int year, month, day, hour, minute, second = 0, fraction = 0;
  if (!ReadField(c, 4, 1980, 2100, u"-", year)) return false;
  if (!ReadField(c, 2, 1, 12, u"-", month)) return false;
  if (!ReadField(c, 2, 1, 31, u"T", day)) return false;
  if (!ReadField(c, 2, 0, 23, u":", hour)) return false;
  if (!ReadField(c, 2, 0, 59, u":", minute)) return false;
  auto isZoneStart = [](char16_t ch) { return ch == u'Z' || ch == u'+' || ch == u'-'; };
  if (!isZoneStart(c.Peek()) && !ReadField(c, 2, 0, 59, u"", second)) return false;
  if (c.Peek() == u'.') {
    ++c.at;
    if (!ReadField(c, 3, 0, 999, u"", fraction)) return false;  // read and ignored
  }
  if (c.AtEnd() || !isZoneStart(c.Peek())) return false;
  const char16_t sign = c.Peek();
  ++c.at;
  int zoneHours, zoneMinutes;
  if (!ReadField(c, 2, 0, 24, u":Z", zoneHours)) return false;
  if (!ReadField(c, 2, 0, 59, u"Z", zoneMinutes)) return false;
  int64_t offset = zoneHours * 60 + zoneMinutes;
  if (sign == u'-') offset = -offset;
  return ToFileTime(year, month, day, hour, minute, second, offset, time);
}

bool parseRfc822Date(std::u16string_view text, FileTime& time) {
  Cursor c{text};
  for (std::u16string_view name : kDayNames) {
    if (c.Rest().starts_with(name)) {
      c.at += name.size();
      while (c.Peek() == u',' || c.Peek() == u' ') ++c.at;
      break;
    }
  }
  int day, month = -1, year, hour, minute, second = 0;
  if (!ReadField(c, 2, 1, 31, u" ", day)) return false;
  for (size_t i = 0; i < kMonthNames.size(); ++i) {
    if (c.Rest().starts_with(kMonthNames[i])) {
      month = static_cast<int>(i) + 1;
      c.at += kMonthNames[i].size();
      break;
    }
  }
  if (month < 0) return false;
  while (c.Peek() == u' ') ++c.at;
  if (!ReadField(c, 4, 1980, 2100, u" ", year)) return false;
  if (!ReadField(c, 2, 0, 23, u":", hour)) return false;
  if (!ReadField(c, 2, 0, 59, u":", minute)) return false;
  {
    Cursor afterMinute = c;
    if (!ReadField(c, 2, 0, 59, u" ", second)) {
      c = afterMinute;
      second = 0;
    }
  }
  int64_t offset = 0;
  bool named = false;
  for (const ZoneRow& zone : kZones) {
    if (c.Rest().starts_with(zone.name)) {
      offset = -static_cast<int64_t>(zone.hours) * 60;  // hours to add = minutes to subtract < 0
      named = true;
      break;
    }
  }
  if (!named) {
    if (c.AtEnd()) return false;  // no zone at all
    const char16_t sign = c.Peek();
    ++c.at;
    int zoneHours, zoneMinutes;
    if (!ReadField(c, 2, 0, 24, u":Z", zoneHours)) return false;
    if (!ReadField(c, 2, 0, 59, u"Z", zoneMinutes)) return false;
    offset = zoneHours * 60 + zoneMinutes;
    if (sign == u'-') offset = -offset;
  }
  return ToFileTime(year, month, day, hour, minute, second, offset, time);
}

DateForm parseFeedDate(std::u16string_view text, FileTime& time) {
  if (looksIso(text)) return parseIsoDate(text, time) ? DateForm::kIso : DateForm::kNone;
  return parseRfc822Date(text, time) ? DateForm::kRfc822 : DateForm::kNone;
}

// ---- Writing ----

std::u16string formatIsoDate(FileTime time) {
  const platform::SystemTime st = FieldsOf(time);
  return FormatString(u"%04d-%02d-%02dT%02d:%02d:%02d-00:00", int{st.year}, int{st.month},
                      int{st.day}, int{st.hour}, int{st.minute}, int{st.second});
}

std::u16string formatRfc822Date(FileTime time) {
  const platform::SystemTime st = FieldsOf(time);
  return FormatString(u"%s %02d %s %04d %02d:%02d:%02d GMT", kDayNames[st.dayOfWeek % 7],
                      int{st.day}, kMonthNames[(st.month + 11) % 12], int{st.year}, int{st.hour},
                      int{st.minute}, int{st.second});
}

// ---- Local days ----

FileTime localDayStart(int dayOffset) {
  const FileTime now = platform::CurrentFileTime();
  FileTime local = now;
  const bool haveLocal = platform::FileTimeToLocalFileTime(now, local) == 0;
  if (!haveLocal) local = now;  // no zone information: days are UTC days
  // Signed and clamped: an offset far into the past must not wrap around to the far future.
  __int128 midnight = static_cast<__int128>(local - local % kFileTimeDay) +
                      static_cast<__int128>(dayOffset) * kFileTimeDay;
  if (midnight < 0) midnight = 0;
  if (midnight > INT64_MAX) midnight = INT64_MAX;  // beyond the calendar: conversions refuse it
  const FileTime localMidnight = static_cast<FileTime>(midnight);
  FileTime utc = localMidnight;
  if (haveLocal && platform::LocalFileTimeToFileTime(localMidnight, utc) != 0) {
    utc = localMidnight;
  }
  return utc;
}

std::pair<FileTime, FileTime> localDayWindow(int dayOffset, int days) {
  const FileTime start = localDayStart(dayOffset);
  const int64_t endOffset = static_cast<int64_t>(dayOffset) + days;
  const int clamped = endOffset > INT32_MAX   ? INT32_MAX
                      : endOffset < INT32_MIN ? INT32_MIN
                                              : static_cast<int>(endOffset);
  const FileTime end = localDayStart(clamped);
  return {start, end == 0 ? 0 : end - 1};
}

}  // namespace nubrel
