// Date texts on a pinned clock: the relative forms and where each one stops (30 days against
// 31, yesterday, dates after today), the zero time, seconds, days counted in local time rather
// than UTC, and the buffer form's cutting.
#include "core/date_text.h"

#include <stdlib.h>
#include <time.h>

#include <gtest/gtest.h>

#include "support/time_fixtures.h"

#include <optional>
#include <string>

#include "platform/device_time.h"
#include "platform/utf.h"

namespace nubrel {
namespace {

using testsupport::Utc;
using testsupport::ZoneScope;

using platform::FileTime;

std::string Show(const std::u16string& text) { return platform::ToUtf8(text); }

// The clock pinned at 15 March 2024 10:30:45.250 UTC, in UTC, with the C locale's pictures
// ("MM/dd/yy", "HH:mm:ss") that the expected texts are written in.
class StatusDateText : public ::testing::Test {
 protected:
  void SetUp() override {
    const platform::TimeLocale& locale = platform::HostTimeLocale();
    if (locale.shortDatePicture != u"MM/dd/yy" || locale.timePicture != u"HH:mm:ss")
      GTEST_SKIP() << "run with LC_ALL=C.UTF-8; this locale's pictures are "
                   << Show(locale.shortDatePicture) << " and " << Show(locale.timePicture);
    platform::PinClock(Utc(2024, 3, 15, 10, 30, 45, 250));
  }
  void TearDown() override { platform::UnpinClock(); }

  ZoneScope zone_{"UTC0"};
};

struct DateRow {
  const char* what;
  FileTime time;
  bool relative;
  bool withSeconds;
  std::u16string text;
};

TEST_F(StatusDateText, RelativeAndShortForms) {
  const DateRow rows[] = {
      {"earlier today", Utc(2024, 3, 15, 0, 0, 0), true, false, u"Today, 00:00"},
      {"later today", Utc(2024, 3, 15, 23, 59, 59), true, false, u"Today, 23:59"},
      {"today with seconds", Utc(2024, 3, 15, 9, 5, 7), true, true, u"Today, 09:05:07"},
      {"last moment of yesterday", Utc(2024, 3, 14, 23, 59, 59, 999), true, false,
       u"Yesterday, 23:59"},
      {"first moment of yesterday", Utc(2024, 3, 14, 0, 0, 0), true, false, u"Yesterday, 00:00"},
      {"two days ago", Utc(2024, 3, 13, 23, 0), true, false, u"2 days ago,  23:00"},
      {"30 days ago", Utc(2024, 2, 14, 8, 1), true, false, u"30 days ago,  08:01"},
      {"30 days ago with seconds", Utc(2024, 2, 14, 8, 1, 2), true, true,
       u"30 days ago,  08:01:02"},
      {"31 days ago", Utc(2024, 2, 13, 23, 59), true, false, u"02/13/24 23:59"},
      {"years ago", Utc(1999, 12, 31, 12, 0), true, false, u"12/31/99 12:00"},
      {"tomorrow", Utc(2024, 3, 16, 0, 0), true, false, u"03/16/24 00:00"},
      {"next month", Utc(2024, 4, 10, 7, 30), true, true, u"04/10/24 07:30:00"},
      {"zero time", 0, true, false, u"Not set 00:00"},
      {"zero time with seconds", 0, true, true, u"Not set 00:00:00"},
      {"later on the first day of 1601", Utc(1601, 1, 1, 18, 0), true, false, u"Not set 18:00"},
      {"absolute today", Utc(2024, 3, 15, 9, 5, 7), false, false, u"03/15/24 09:05"},
      {"absolute yesterday", Utc(2024, 3, 14, 9, 5, 7), false, true, u"03/14/24 09:05:07"},
      {"absolute zero time", 0, false, false, u"01/01/01 00:00"},
      {"beyond the calendar", 0x8000000000000000ULL, true, false, u"Not set"},
  };
  for (const DateRow& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Show(DateText(row.time, row.relative, row.withSeconds)), Show(row.text));
  }
}

TEST_F(StatusDateText, DaysAreCountedOnTheLocalCalendar) {
  // Ten hours east of UTC the pinned clock reads 15 March 20:30. Each row lands on a different
  // day locally than in UTC, so counting days in UTC gives other texts.
  ZoneScope east("XST-10");
  const DateRow rows[] = {
      {"local yesterday", Utc(2024, 3, 14, 13, 0), true, false, u"Yesterday, 23:00"},
      {"local today, UTC yesterday", Utc(2024, 3, 14, 23, 30), true, false, u"Today, 09:30"},
      {"local tomorrow", Utc(2024, 3, 15, 14, 0), true, false, u"03/16/24 00:00"},
      {"local short date", Utc(2024, 2, 1, 20, 0), false, false, u"02/02/24 06:00"},
  };
  for (const DateRow& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Show(DateText(row.time, row.relative, row.withSeconds)), Show(row.text));
  }
}

TEST_F(StatusDateText, ZeroTimeWestOfGreenwichStillReadsNotSet) {
  // Five hours west, the zero time has no local form inside the calendar.
  ZoneScope west("XST5");
  EXPECT_EQ(Show(DateText(0, true, false)), "Not set 00:00");
  EXPECT_EQ(Show(DateText(Utc(2024, 3, 15, 3, 0), true, false)), "Yesterday, 22:00");
}

TEST_F(StatusDateText, BufferFormCutsAndTerminates) {
  const FileTime t = Utc(2024, 3, 13, 23, 0);  // "2 days ago,  23:00", 18 units
  struct Row {
    size_t bufferChars;
    std::u16string text;
  };
  const Row rows[] = {
      {64, u"2 days ago,  23:00"},
      {19, u"2 days ago,  23:00"},
      {18, u"2 days ago,  23:0"},
      {2, u"2"},
      {1, u""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bufferChars);
    char16_t buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    const size_t written = DateText(buffer, row.bufferChars, t, true, false);
    EXPECT_EQ(written, row.text.size());
    EXPECT_EQ(Show(std::u16string(buffer, written)), Show(row.text));
    EXPECT_EQ(buffer[written], u'\0');
    if (row.bufferChars < std::size(buffer)) {
      EXPECT_EQ(buffer[row.bufferChars], u'#');
    }
  }
  char16_t untouched = u'#';
  EXPECT_EQ(DateText(&untouched, 0, t, true, false), 0u);
  EXPECT_EQ(untouched, u'#');
  EXPECT_EQ(DateText(nullptr, 10, t, true, false), 0u);
}

}  // namespace
}  // namespace nubrel
