// Calendar conversions, the pinned clock, UTC <-> local time in a fixed zone, and the locale's
// date and time pictures.
#include "platform/device_time.h"

#include <stdlib.h>
#include <time.h>

#include <gtest/gtest.h>

#include "support/time_fixtures.h"

#include <filesystem>
#include <optional>
#include <string>

#include "platform/utf.h"

namespace platform {
namespace {

using testsupport::Utc;
using testsupport::ZoneScope;

SystemTime Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  SystemTime t;
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(mo);
  t.day = static_cast<uint16_t>(d);
  t.hour = static_cast<uint16_t>(h);
  t.minute = static_cast<uint16_t>(mi);
  t.second = static_cast<uint16_t>(s);
  t.milliseconds = static_cast<uint16_t>(ms);
  return t;
}

std::string Show(const SystemTime& t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.milliseconds);
  return buf;
}

// The C library's own reading of a UTC date, as an independent check of the calendar.
FileTime HostFileTime(const SystemTime& t) {
  tm fields{};
  fields.tm_year = t.year - 1900;
  fields.tm_mon = t.month - 1;
  fields.tm_mday = t.day;
  fields.tm_hour = t.hour;
  fields.tm_min = t.minute;
  fields.tm_sec = t.second;
  return FileTimeFromUnix(::timegm(&fields), int64_t{t.milliseconds} * 1000000);
}

int HostWeekday(const SystemTime& t) {
  int64_t seconds = 0, ns = 0;
  FileTimeToUnix(HostFileTime(t), seconds, ns);
  time_t tt = static_cast<time_t>(seconds);
  tm fields{};
  ::gmtime_r(&tt, &fields);
  return fields.tm_wday;
}

// ---- Calendar ----

TEST(DeviceTimeCalendar, ConvertsValidDatesAndRejectsImpossibleOnes) {
  struct Row {
    SystemTime time;
    bool valid;
  } rows[] = {
      {Make(2008, 10, 5, 12, 30), true},
      {Make(1601, 1, 1), true},
      {Make(1970, 1, 1), true},
      {Make(2000, 2, 29, 23, 59, 59, 999), true},  // leap: divisible by 400
      {Make(2024, 2, 29), true},
      {Make(2023, 2, 29), false},
      {Make(1900, 2, 29), false},                   // not leap: divisible by 100
      {Make(2009, 2, 31), false},
      {Make(2009, 4, 31), false},
      {Make(2009, 12, 31, 23, 59, 59), true},
      {Make(30827, 12, 31, 23, 59, 59, 999), true},
      {Make(1600, 12, 31), false},
      {Make(30828, 1, 1), false},
      {Make(2009, 1, 1, 24), false},
      {Make(2009, 1, 1, 0, 60), false},
      {Make(2009, 1, 1, 0, 0, 60), false},
      {Make(2009, 1, 1, 0, 0, 0, 1000), false},
      {Make(2009, 0, 1), false},
      {Make(2009, 13, 1), false},
      {Make(2009, 1, 0), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Show(row.time));
    FileTime converted = 12345;
    DeviceError err = SystemTimeToFileTime(row.time, converted);
    if (!row.valid) {
      EXPECT_EQ(err, kErrorInvalidParameter);
      EXPECT_EQ(converted, 12345u) << "a rejected date changed the output";
      continue;
    }
    ASSERT_EQ(err, kErrorSuccess);
    EXPECT_EQ(converted, HostFileTime(row.time));
    SystemTime back;
    ASSERT_EQ(FileTimeToSystemTime(converted, back), kErrorSuccess);
    SystemTime expected = row.time;
    expected.dayOfWeek = static_cast<uint16_t>(HostWeekday(row.time));
    EXPECT_EQ(back, expected) << Show(back) << " weekday " << back.dayOfWeek;
  }
  FileTime zero = 99;
  ASSERT_EQ(SystemTimeToFileTime(Make(1601, 1, 1), zero), kErrorSuccess);
  EXPECT_EQ(zero, 0u);
}

TEST(DeviceTimeCalendar, AgreesWithTheHostCalendarAcrossTheWholeRange) {
  // A fixed pseudo-random walk over the device's range, compared field by field with gmtime_r.
  uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 3000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    FileTime time = (state >> 1) / 10000 * 10000;  // whole milliseconds below 2^63
    SCOPED_TRACE(time);
    SystemTime fields;
    ASSERT_EQ(FileTimeToSystemTime(time, fields), kErrorSuccess);
    int64_t seconds = 0, ns = 0;
    FileTimeToUnix(time, seconds, ns);
    time_t tt = static_cast<time_t>(seconds);
    tm host{};
    ASSERT_NE(::gmtime_r(&tt, &host), nullptr);
    EXPECT_EQ(fields.year, host.tm_year + 1900);
    EXPECT_EQ(fields.month, host.tm_mon + 1);
    EXPECT_EQ(fields.day, host.tm_mday);
    EXPECT_EQ(fields.dayOfWeek, host.tm_wday);
    EXPECT_EQ(fields.hour, host.tm_hour);
    EXPECT_EQ(fields.minute, host.tm_min);
    EXPECT_EQ(fields.second, host.tm_sec);
    EXPECT_EQ(fields.milliseconds, ns / 1000000);
    if (fields.year <= 30827) {
      FileTime back = 0;
      ASSERT_EQ(SystemTimeToFileTime(fields, back), kErrorSuccess);
      EXPECT_EQ(back, time);
    }
  }
  SystemTime out = Make(1999, 1, 1);
  EXPECT_EQ(FileTimeToSystemTime(0x8000000000000000ULL, out), kErrorInvalidParameter);
  EXPECT_EQ(out, Make(1999, 1, 1));
  EXPECT_EQ(FileTimeToSystemTime(0x7FFFFFFFFFFFFFFFULL, out), kErrorSuccess);
  EXPECT_EQ(out.year, 30828);
}

// ---- Clock and local time ----

TEST(DeviceTimeLocal, FollowsTheZoneAndItsSummerTimePerInstant) {
  // The named zone from the host's zone database, and the same rules written out, which every
  // host understands.
  const char* zones[] = {"Europe/Berlin", "CET-1CEST,M3.5.0,M10.5.0/3"};
  for (const char* zone : zones) {
    SCOPED_TRACE(zone);
    if (std::string(zone).find('/') != std::string::npos &&
        !std::filesystem::exists(std::string("/usr/share/zoneinfo/") + zone)) {
      continue;  // no zone database on this host: the written-out rules still run below
    }
    ZoneScope scope(zone);
    struct Row {
      const char* what;
      FileTime utc;
      FileTime local;
    } rows[] = {
        {"winter", Utc(2008, 1, 15, 12, 0), Utc(2008, 1, 15, 13, 0)},
        {"summer", Utc(2008, 7, 1, 12, 0), Utc(2008, 7, 1, 14, 0)},
        {"last second of winter time", Utc(2024, 3, 31, 0, 59, 59), Utc(2024, 3, 31, 1, 59, 59)},
        {"first second of summer time", Utc(2024, 3, 31, 1, 0), Utc(2024, 3, 31, 3, 0)},
        {"last second of summer time", Utc(2024, 10, 27, 0, 59, 59), Utc(2024, 10, 27, 2, 59, 59)},
        {"first second of winter time", Utc(2024, 10, 27, 1, 0), Utc(2024, 10, 27, 2, 0)},
    };
    for (const Row& row : rows) {
      SCOPED_TRACE(row.what);
      FileTime local = 0;
      ASSERT_EQ(FileTimeToLocalFileTime(row.utc + 1234567, local), kErrorSuccess);
      EXPECT_EQ(local, row.local + 1234567) << "sub-second units must be kept";
      FileTime back = 0;
      ASSERT_EQ(LocalFileTimeToFileTime(row.local, back), kErrorSuccess);
      // 02:00-02:59 on 27 October happens twice; it reads as the first time, in summer time.
      FileTime expectedBack = std::string(row.what) == "first second of winter time"
                                  ? row.utc - 3600 * kFileTimeUnitsPerSecond
                                  : row.utc;
      EXPECT_EQ(back, expectedBack);
    }
    // 02:30 on 31 March never happens: it is read with the offset before the change.
    FileTime skipped = 0;
    ASSERT_EQ(LocalFileTimeToFileTime(Utc(2024, 3, 31, 2, 30), skipped), kErrorSuccess);
    EXPECT_EQ(skipped, Utc(2024, 3, 31, 1, 30));

    PinClock(Utc(2008, 7, 1, 23, 30));
    SystemTime now = CurrentLocalTime();
    UnpinClock();
    EXPECT_EQ(Show(now), "2008-07-02 01:30:00.000");
  }
}

TEST(DeviceTimeClock, PinnedClockIsReportedUntilUnpinned) {
  const FileTime pinned = Utc(2009, 3, 5, 9, 5, 7);
  PinClock(pinned);
  EXPECT_EQ(CurrentFileTime(), pinned);
  EXPECT_EQ(Show(CurrentSystemTime()), "2009-03-05 09:05:07.000");
  UnpinClock();
  // The real clock again: some time after this code was written, and moving.
  const FileTime real = CurrentFileTime();
  EXPECT_GT(real, Utc(2024, 1, 1, 0, 0));
  EXPECT_NE(real, pinned);
}

// ---- Locale pictures ----

TEST(DeviceTimeLocale, HostFormatsBecomeDevicePictures) {
  struct Row {
    const char* host;
    std::u16string picture;
  } rows[] = {
      {"%m/%d/%y", u"MM/dd/yy"},
      {"%H:%M:%S", u"HH:mm:ss"},
      {"%d.%m.%Y", u"dd.MM.yyyy"},
      {"%-m/%-d/%Y", u"M/d/yyyy"},
      {"%I:%M:%S %p", u"hh:mm:ss tt"},
      {"%l:%M:%S %p", u"h:mm:ss tt"},
      {"%e/%m/%Y", u"d/MM/yyyy"},
      {"%D", u"MM/dd/yy"},
      {"%T", u"HH:mm:ss"},
      {"%r", u"hh:mm:ss tt"},
      {"%F", u"yyyy-MM-dd"},
      {"%T %Z", u"HH:mm:ss"},                     // no device field for the zone
      {"%a %d %b %Y", u"ddd dd MMM yyyy"},
      {"%A, %B %e", u"dddd, MMMM d"},
      {"%Y\xE5\xB9\xB4%m\xE6\x9C\x88%d\xE6\x97\xA5", u"yyyy'\u5E74'MM'\u6708'dd'\u65E5'"},
      {"%e de %B de %Y", u"d 'de' MMMM 'de' yyyy"},
      {"%H h %M", u"HH 'h' mm"},
      {"%d'%m", u"dd''MM"},
      {"%Ey %Od", u"yy dd"},
      {"100%%", u"100%"},
      {"", u""},
      {"%", u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    EXPECT_EQ(PictureFromHostFormat(row.host), row.picture);
  }
}

TEST(DeviceTimeLocale, CLocalesGiveUsFormatsAndEnglishNames) {
  for (const char* name : {"C.UTF-8", "C"}) {
    SCOPED_TRACE(name);
    TimeLocale locale;
    ASSERT_EQ(LoadTimeLocale(name, locale), kErrorSuccess);
    EXPECT_EQ(locale.shortDatePicture, u"MM/dd/yy");
    EXPECT_EQ(locale.timePicture, u"HH:mm:ss");
    EXPECT_EQ(locale.am, u"AM");
    EXPECT_EQ(locale.pm, u"PM");
    EXPECT_EQ(locale.dayNames[0], u"Sunday");
    EXPECT_EQ(locale.abbreviatedDayNames[6], u"Sat");
    EXPECT_EQ(locale.monthNames[0], u"January");
    EXPECT_EQ(locale.abbreviatedMonthNames[11], u"Dec");
  }
  TimeLocale untouched;
  untouched.am = u"keep";
  EXPECT_EQ(LoadTimeLocale("xx_NOWHERE.UTF-8", untouched), kErrorFileNotFound);
  EXPECT_EQ(untouched.am, u"keep");
}

// ---- Formatting ----

class DeviceTimeFormat : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(LoadTimeLocale("C", english_), kErrorSuccess); }
  TimeLocale english_;
};

TEST_F(DeviceTimeFormat, DatePictures) {
  SystemTime thursday = Make(2009, 3, 5, 9, 5, 7);
  thursday.dayOfWeek = 6;  // wrong on purpose: the day name comes from the date itself
  struct Row {
    std::u16string picture;
    std::u16string expected;
  } rows[] = {
      {u"M/d/yyyy", u"3/5/2009"},
      {u"MM/dd/yy", u"03/05/09"},
      {u"dd.MM.yyyy", u"05.03.2009"},
      {u"ddd, MMM d yyyy", u"Thu, Mar 5 2009"},
      {u"dddd d MMMM y", u"Thursday 5 March 9"},
      {u"'Day' d 'of' M", u"Day 5 of 3"},
      {u"d''M", u"5'3"},
      {u"'it''s' d", u"it's 5"},
      {u"yyyy'\u5E74'M'\u6708'd'\u65E5'", u"2009\u5E74" u"3\u6708" u"5\u65E5"},
      {u"hh:mm d", u"hh:mm 5"},  // time letters are plain text in a date
      {u"'unterminated d", u"unterminated d"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(row.picture));
    EXPECT_EQ(FormatDate(thursday, row.picture, english_), row.expected);
  }
  EXPECT_EQ(FormatDate(Make(2010, 12, 25), u"MMMM dd, yyyy", english_), u"December 25, 2010");
}

TEST_F(DeviceTimeFormat, TimePicturesWithAndWithoutSeconds) {
  struct Row {
    SystemTime time;
    std::u16string picture;
    bool withoutSeconds;
    std::u16string expected;
  } rows[] = {
      {Make(2009, 3, 5, 9, 5, 7), u"h:mm:ss tt", false, u"9:05:07 AM"},
      {Make(2009, 3, 5, 9, 5, 7), u"hh:mm:ss tt", false, u"09:05:07 AM"},
      {Make(2009, 3, 5, 9, 5, 7), u"HH:mm:ss", false, u"09:05:07"},
      {Make(2009, 3, 5, 9, 5, 7), u"H:m:s", false, u"9:5:7"},
      {Make(2009, 3, 5, 9, 5, 7), u"h:mm:ss t", false, u"9:05:07 A"},
      {Make(2009, 3, 5, 9, 5, 7), u"h:mm:ss tt", true, u"9:05 AM"},
      {Make(2009, 3, 5, 9, 5, 7), u"HH:mm:ss", true, u"09:05"},
      {Make(2009, 3, 5, 9, 5, 7), u"tt h:mm:ss", true, u"AM 9:05"},
      {Make(2009, 3, 5, 9, 5, 7), u"ss' s' mm", true, u"05"},
      {Make(2009, 3, 5, 9, 5, 7), u"HH'h'mm", false, u"09h05"},
      {Make(2009, 3, 5, 21, 45, 0), u"h:mm:ss tt", false, u"9:45:00 PM"},
      {Make(2009, 3, 5, 21, 45, 0), u"HH:mm", true, u"21:45"},
      {Make(2009, 3, 5, 0, 30, 0), u"h:mm tt", false, u"12:30 AM"},
      {Make(2009, 3, 5, 12, 0, 0), u"hh tt", false, u"12 PM"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(ToUtf8(row.picture) + (row.withoutSeconds ? " without seconds " : " ") +
                 Show(row.time));
    EXPECT_EQ(FormatTime(row.time, row.picture, row.withoutSeconds, english_), row.expected);
  }
}

}  // namespace
}  // namespace platform
