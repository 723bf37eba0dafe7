// The clock, the calendar, local time and the locale's date and time pictures; see
// device_time.h. The calendar is computed here (days from and to a civil date) rather than through
// the C library, so that every date from 1601 to 30828 converts exactly and without a time zone.
//
// Map:
//   ---- Clock ----
//   ---- Calendar ----
//   ---- Local time ----
//   ---- Host locale ----       TimeLocale from nl_langinfo_l, strftime formats -> pictures
//   ---- Formatting ----        picture tokens, FormatDate, FormatTime
#include "platform/device_time.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/utf.h"

namespace platform {

namespace {

constexpr int64_t kTicksPerMillisecond = 10000;
constexpr int64_t kTicksPerDay = 864000000000LL;
constexpr int64_t kSecondsPerDay = 86400;
// Days between 1601-01-01 and 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;
constexpr FileTime kFirstInvalidFileTime = 0x8000000000000000ULL;

}  // namespace

// ---- Clock ----

namespace {

// Process-wide test seam: the pinned time, valid while g_clockPinned. Atomics, any thread.
std::atomic<bool> g_clockPinned{false};
std::atomic<FileTime> g_pinnedTime{0};

}  // namespace

FileTime CurrentFileTime() {
  if (g_clockPinned.load(std::memory_order_acquire)) return g_pinnedTime.load();
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return FileTimeFromUnix(now.tv_sec, now.tv_nsec);
}

void PinClock(FileTime now) {
  g_pinnedTime.store(now);
  g_clockPinned.store(true, std::memory_order_release);
}

void UnpinClock() { g_clockPinned.store(false, std::memory_order_release); }

// ---- Calendar ----

namespace {

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date; the year is counted from March so that
// the leap day falls at the end of it.
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  year = yearOfEra + era * 400 + (month <= 2);
}

// 0 = Sunday; 1970-01-01 was a Thursday.
int WeekdayFromDays(int64_t days) {
  int64_t w = (days + 4) % 7;
  return static_cast<int>(w < 0 ? w + 7 : w);
}

}  // namespace

DeviceError FileTimeToSystemTime(FileTime time, SystemTime& out) {
  if (time >= kFirstInvalidFileTime) return kErrorInvalidParameter;
  const int64_t ticks = static_cast<int64_t>(time);
  const int64_t days = ticks / kTicksPerDay - kDaysFrom1601To1970;
  const int64_t ticksOfDay = ticks % kTicksPerDay;
  int64_t year = 0;
  int month = 0;
  int day = 0;
  CivilFromDays(days, year, month, day);
  const int64_t ms = ticksOfDay / kTicksPerMillisecond;
  out.year = static_cast<uint16_t>(year);
  out.month = static_cast<uint16_t>(month);
  out.day = static_cast<uint16_t>(day);
  out.dayOfWeek = static_cast<uint16_t>(WeekdayFromDays(days));
  out.hour = static_cast<uint16_t>(ms / 3600000);
  out.minute = static_cast<uint16_t>(ms / 60000 % 60);
  out.second = static_cast<uint16_t>(ms / 1000 % 60);
  out.milliseconds = static_cast<uint16_t>(ms % 1000);
  return kErrorSuccess;
}

DeviceError SystemTimeToFileTime(const SystemTime& t, FileTime& out) {
  if (t.year < 1601 || t.year > 30827 || t.month < 1 || t.month > 12 || t.day < 1 ||
      t.day > DaysInMonth(t.year, t.month) || t.hour > 23 || t.minute > 59 || t.second > 59 ||
      t.milliseconds > 999)
    return kErrorInvalidParameter;
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDaysFrom1601To1970;
  const int64_t ms = ((t.hour * 60LL + t.minute) * 60 + t.second) * 1000 + t.milliseconds;
  out = static_cast<FileTime>(days * kTicksPerDay + ms * kTicksPerMillisecond);
  return kErrorSuccess;
}

// ---- Local time ----

namespace {

// The host zone's offset from UTC (seconds east) at a UTC instant.
bool ZoneOffsetAt(int64_t unixSeconds, int64_t& offset) {
  static std::once_flag zoneRead;
  std::call_once(zoneRead, [] { ::tzset(); });
  time_t t = static_cast<time_t>(unixSeconds);
  tm local{};
  if (!::localtime_r(&t, &local)) return false;
  offset = local.tm_gmtoff;
  return true;
}

DeviceError ShiftFileTime(FileTime time, int64_t offsetSeconds, FileTime& out) {
  __int128 shifted = static_cast<__int128>(time) +
                     static_cast<__int128>(offsetSeconds) * static_cast<__int128>(kFileTimeUnitsPerSecond);
  if (shifted < 0 || shifted >= static_cast<__int128>(kFirstInvalidFileTime)) return kErrorInvalidParameter;
  out = static_cast<FileTime>(shifted);
  return kErrorSuccess;
}

}  // namespace

DeviceError FileTimeToLocalFileTime(FileTime utc, FileTime& local) {
  int64_t seconds = 0;
  int64_t nanoseconds = 0;
  FileTimeToUnix(utc, seconds, nanoseconds);
  int64_t offset = 0;
  if (!ZoneOffsetAt(seconds, offset)) return kErrorInvalidParameter;
  return ShiftFileTime(utc, offset, local);
}

DeviceError LocalFileTimeToFileTime(FileTime local, FileTime& utc) {
  int64_t wall = 0;
  int64_t nanoseconds = 0;
  FileTimeToUnix(local, wall, nanoseconds);
  // A zone changes its offset at most once within a day or so: the offsets a day before and a
  // day after the wall time are the only ones that can be in force at it.
  int64_t before = 0;
  int64_t after = 0;
  if (!ZoneOffsetAt(wall - kSecondsPerDay, before) || !ZoneOffsetAt(wall + kSecondsPerDay, after))
    return kErrorInvalidParameter;
  auto fits = [&](int64_t offset) {
    int64_t actual = 0;
    return ZoneOffsetAt(wall - offset, actual) && actual == offset;
  };
  const bool beforeFits = fits(before);
  const bool afterFits = fits(after);
  int64_t offset = before;  // also for a wall time the clocks skipped: the offset before the change
  if (beforeFits && afterFits) {
    offset = std::max(before, after);  // twice: the first (earlier) instant has the larger offset
  } else if (afterFits) {
    offset = after;
  }
  return ShiftFileTime(local, -offset, utc);
}

SystemTime CurrentSystemTime() {
  SystemTime out;
  FileTimeToSystemTime(CurrentFileTime(), out);
  return out;
}

SystemTime CurrentLocalTime() {
  FileTime now = CurrentFileTime();
  FileTime local = now;
  FileTimeToLocalFileTime(now, local);
  SystemTime out;
  FileTimeToSystemTime(local, out);
  return out;
}

// ---- Host locale ----

namespace {

struct LocaleDeleter {
  void operator()(locale_t locale) const { ::freelocale(locale); }
};
using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

struct IconvDeleter {
  void operator()(iconv_t cd) const { ::iconv_close(cd); }
};

// A locale's text in its own character set, as UTF-16.
std::u16string LocaleText(const char* text, const char* codeset) {
  if (!text) return {};
  if (!codeset || std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
    return FromUtf8(text);
  iconv_t cd = ::iconv_open("UTF-8", codeset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return FromUtf8(text);
  std::unique_ptr<void, IconvDeleter> owner(cd);
  std::string in(text);
  std::string out(in.size() * 4 + 4, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  if (::iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) return FromUtf8(text);
  out.resize(out.size() - outLeft);
  return FromUtf8(out);
}

void FillTimeLocale(locale_t locale, TimeLocale& out) {
  const char* codeset = ::nl_langinfo_l(CODESET, locale);
  auto text = [&](nl_item item) { return LocaleText(::nl_langinfo_l(item, locale), codeset); };
  out.shortDatePicture = PictureFromHostFormat(ToUtf8(text(D_FMT)));
  out.timePicture = PictureFromHostFormat(ToUtf8(text(T_FMT)));
  out.am = text(AM_STR);
  out.pm = text(PM_STR);
  static const nl_item kDays[7] = {DAY_1, DAY_2, DAY_3, DAY_4, DAY_5, DAY_6, DAY_7};
  static const nl_item kAbDays[7] = {ABDAY_1, ABDAY_2, ABDAY_3, ABDAY_4, ABDAY_5, ABDAY_6, ABDAY_7};
  static const nl_item kMonths[12] = {MON_1, MON_2, MON_3, MON_4,  MON_5,  MON_6,
                                      MON_7, MON_8, MON_9, MON_10, MON_11, MON_12};
  static const nl_item kAbMonths[12] = {ABMON_1, ABMON_2, ABMON_3, ABMON_4,  ABMON_5,  ABMON_6,
                                        ABMON_7, ABMON_8, ABMON_9, ABMON_10, ABMON_11, ABMON_12};
  for (int i = 0; i < 7; ++i) {
    out.dayNames[i] = text(kDays[i]);
    out.abbreviatedDayNames[i] = text(kAbDays[i]);
  }
  for (int i = 0; i < 12; ++i) {
    out.monthNames[i] = text(kMonths[i]);
    out.abbreviatedMonthNames[i] = text(kAbMonths[i]);
  }
}

// Its character set comes from LC_CTYPE, so both categories are loaded.
LocaleHandle OpenLocale(const char* name) {
  return LocaleHandle(::newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr)));
}

// What one strftime conversion stands for in a picture; padded says whether the host pads it.
const char16_t* PictureForConversion(char conversion, bool padded) {
  switch (conversion) {
    case 'd': return padded ? u"dd" : u"d";
    case 'e': return u"d";  // padded with a blank on the host: the device has no such field
    case 'm': return padded ? u"MM" : u"M";
    case 'y': return padded ? u"yy" : u"y";
    case 'Y':
    case 'G': return u"yyyy";
    case 'b':
    case 'h': return u"MMM";
    case 'B': return u"MMMM";
    case 'a': return u"ddd";
    case 'A': return u"dddd";
    case 'D': return padded ? u"MM/dd/yy" : u"M/d/yy";
    case 'F': return padded ? u"yyyy-MM-dd" : u"yyyy-M-d";
    case 'H': return padded ? u"HH" : u"H";
    case 'k': return u"H";
    case 'I': return padded ? u"hh" : u"h";
    case 'l': return u"h";
    case 'M': return padded ? u"mm" : u"m";
    case 'S': return padded ? u"ss" : u"s";
    case 'p':
    case 'P': return u"tt";
    case 'T': return u"HH:mm:ss";
    case 'R': return u"HH:mm";
    case 'r': return u"hh:mm:ss tt";
    case 'n':
    case 't': return u" ";
    case '%': return u"%";
    default: return nullptr;  // no device field: time zone, week and day numbers, seconds since 1970...
  }
}

bool NeedsQuoting(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c >= 0x80;
}

// Appends literal text to a picture: letters and non-ASCII text in quotes, a quote doubled.
void AppendLiteral(std::u16string& picture, std::u16string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == u'\'') {
      picture += u"''";
      ++i;
    } else if (NeedsQuoting(text[i])) {
      size_t end = i;
      while (end < text.size() && NeedsQuoting(text[end])) ++end;
      picture += u'\'';
      picture += text.substr(i, end - i);
      picture += u'\'';
      i = end;
    } else {
      picture += text[i++];
    }
  }
}

}  // namespace

std::u16string PictureFromHostFormat(std::string_view hostFormat) {
  std::u16string picture;
  std::string literal;
  auto flushLiteral = [&] {
    AppendLiteral(picture, FromUtf8(literal));
    literal.clear();
  };
  size_t i = 0;
  while (i < hostFormat.size()) {
    char c = hostFormat[i++];
    if (c != '%') {
      literal += c;
      continue;
    }
    // Flags and width: "-" and "_" stop the zero padding; "0", "^", "#" and a width do not
    // change which field is shown.
    bool padded = true;
    while (i < hostFormat.size() && std::strchr("-_0^#", hostFormat[i])) {
      if (hostFormat[i] == '-' || hostFormat[i] == '_') padded = false;
      ++i;
    }
    while (i < hostFormat.size() && hostFormat[i] >= '0' && hostFormat[i] <= '9') ++i;
    if (i < hostFormat.size() && (hostFormat[i] == 'E' || hostFormat[i] == 'O')) ++i;
    if (i >= hostFormat.size()) break;
    char conversion = hostFormat[i++];
    const char16_t* field = PictureForConversion(conversion, padded);
    if (!field) continue;
    if (conversion == '%' || conversion == 'n' || conversion == 't') {
      literal += conversion == '%' ? '%' : ' ';
      continue;
    }
    flushLiteral();
    picture += field;
  }
  flushLiteral();
  // A dropped conversion (a time zone after the time) must not leave a blank at either end.
  size_t first = picture.find_first_not_of(u' ');
  if (first == std::u16string::npos) return {};
  size_t last = picture.find_last_not_of(u' ');
  return picture.substr(first, last - first + 1);
}

DeviceError LoadTimeLocale(const char* localeName, TimeLocale& out) {
  if (!localeName) return kErrorInvalidParameter;
  LocaleHandle locale = OpenLocale(localeName);
  if (!locale) return kErrorFileNotFound;
  TimeLocale loaded;
  FillTimeLocale(locale.get(), loaded);
  out = std::move(loaded);
  return kErrorSuccess;
}

const TimeLocale& HostTimeLocale() {
  static const TimeLocale host = [] {
    TimeLocale loaded;
    // "" reads LC_ALL, LC_TIME and LANG, whatever the program passed to setlocale.
    if (LoadTimeLocale("", loaded) != kErrorSuccess) LoadTimeLocale("C", loaded);
    return loaded;
  }();
  return host;
}

// ---- Formatting ----

namespace {

// A piece of a picture: a field letter repeated `count` times, or literal text.
struct PictureToken {
  char16_t letter = 0;  // 0 for literal text
  size_t count = 0;
  std::u16string text;  // the literal text
};

// Splits a picture into fields (runs of one of the letters in `fieldLetters`) and literal text.
std::vector<PictureToken> Tokenize(std::u16string_view picture, std::u16string_view fieldLetters) {
  std::vector<PictureToken> tokens;
  auto literal = [&](char16_t c) {
    if (tokens.empty() || tokens.back().letter != 0) tokens.push_back({});
    tokens.back().text += c;
  };
  bool quoted = false;
  size_t i = 0;
  while (i < picture.size()) {
    char16_t c = picture[i];
    if (c == u'\'') {
      if (i + 1 < picture.size() && picture[i + 1] == u'\'') {
        literal(u'\'');
        i += 2;
      } else {
        quoted = !quoted;
        ++i;
      }
      continue;
    }
    if (!quoted && fieldLetters.find(c) != std::u16string_view::npos) {
      size_t end = i;
      while (end < picture.size() && picture[end] == c) ++end;
      tokens.push_back({c, end - i, {}});
      i = end;
      continue;
    }
    literal(c);
    ++i;
  }
  return tokens;
}

std::u16string Number(unsigned value, size_t minDigits) {
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + value % 10));
    value /= 10;
  } while (value);
  while (digits.size() < minDigits) digits.insert(digits.begin(), u'0');
  return digits;
}

// The weekday of the date itself; the record's own dayOfWeek only when the date is not valid.
int DayOfWeekOf(const SystemTime& time) {
  if (time.month >= 1 && time.month <= 12 && time.day >= 1 && time.day <= DaysInMonth(time.year, time.month))
    return WeekdayFromDays(DaysFromCivil(time.year, time.month, time.day));
  return time.dayOfWeek % 7;
}

const std::u16string& NameAt(const std::array<std::u16string, 12>& names, unsigned month) {
  static const std::u16string kNone;
  return month >= 1 && month <= 12 ? names[month - 1] : kNone;
}

}  // namespace

std::u16string FormatDate(const SystemTime& time, std::u16string_view picture, const TimeLocale& locale) {
  std::u16string out;
  for (const PictureToken& token : Tokenize(picture, u"dMy")) {
    switch (token.letter) {
      case 0: out += token.text; break;
      case u'd':
        if (token.count <= 2) out += Number(time.day, token.count);
        else if (token.count == 3) out += locale.abbreviatedDayNames[DayOfWeekOf(time)];
        else out += locale.dayNames[DayOfWeekOf(time)];
        break;
      case u'M':
        if (token.count <= 2) out += Number(time.month, token.count);
        else if (token.count == 3) out += NameAt(locale.abbreviatedMonthNames, time.month);
        else out += NameAt(locale.monthNames, time.month);
        break;
      case u'y':
        if (token.count <= 2) out += Number(time.year % 100, token.count);
        else out += Number(time.year, 1);
        break;
    }
  }
  return out;
}

std::u16string FormatTime(const SystemTime& time, std::u16string_view picture, bool withoutSeconds,
                          const TimeLocale& locale) {
  std::vector<PictureToken> tokens = Tokenize(picture, u"hHmst");
  if (withoutSeconds) {
    // Each seconds field goes with its separator: the text before it, or after it when the
    // picture starts with the seconds.
    for (size_t i = 0; i < tokens.size();) {
      if (tokens[i].letter != u's') {
        ++i;
        continue;
      }
      if (i > 0 && tokens[i - 1].letter == 0) {
        tokens.erase(tokens.begin() + static_cast<ptrdiff_t>(i - 1), tokens.begin() + static_cast<ptrdiff_t>(i + 1));
        --i;
      } else if (i + 1 < tokens.size() && tokens[i + 1].letter == 0) {
        tokens.erase(tokens.begin() + static_cast<ptrdiff_t>(i), tokens.begin() + static_cast<ptrdiff_t>(i + 2));
      } else {
        tokens.erase(tokens.begin() + static_cast<ptrdiff_t>(i));
      }
    }
  }
  const std::u16string& designator = time.hour < 12 ? locale.am : locale.pm;
  std::u16string out;
  for (const PictureToken& token : tokens) {
    size_t digits = token.count >= 2 ? 2 : 1;
    switch (token.letter) {
      case 0: out += token.text; break;
      case u'h': out += Number(time.hour % 12 == 0 ? 12 : time.hour % 12, digits); break;
      case u'H': out += Number(time.hour, digits); break;
      case u'm': out += Number(time.minute, digits); break;
      case u's': out += Number(time.second, digits); break;
      case u't':
        if (token.count == 1) out += designator.substr(0, 1);
        else out += designator;
        break;
    }
  }
  return out;
}

}  // namespace platform
