// Feed dates: the two readers on the cases feeds really send and on the ways they go wrong,
// formatting and its round trip, and local day boundaries under fixed zones with a pinned clock.
#include "feeds/dates.h"

#include <gtest/gtest.h>

#include "support/time_fixtures.h"
#include <stdlib.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/device_time.h"
#include "shared/text.h"

namespace nubrel {
namespace {

using testsupport::Utc;

using platform::FileTime;

std::string Show(FileTime t) { return ToUtf8(formatIsoDate(t)); }

// The text copied into a heap block of exactly its size, so that reading one unit past the end
// is an AddressSanitizer error rather than a read of some terminator.
struct ExactText {
  explicit ExactText(std::u16string_view text)
      : size(text.size()), units(new char16_t[text.size() ? text.size() : 1]) {
    std::copy(text.begin(), text.end(), units.get());
  }
  std::u16string_view view() const { return {units.get(), size}; }
  size_t size;
  std::unique_ptr<char16_t[]> units;
};

constexpr FileTime kUntouched = 0x0123456789ABCDEFULL;

// ---- Reading ----

TEST(EncDatesRead, FeedDatesAsFeedsWriteThem) {
  struct Row {
    const char* text;
    std::optional<FileTime> expected;  // nullopt: the parse fails
    DateForm form;
  };
  const FileTime halfPastTwelve = Utc(2008, 10, 5, 12, 30);
  const Row rows[] = {
      {"Sun, 05 Oct 2008 12:30:00 GMT", halfPastTwelve, DateForm::kRfc822},
      {"05 Oct 2008 12:30:00 GMT", halfPastTwelve, DateForm::kRfc822},
      {"Sun 05 Oct 2008 12:30 +0200", Utc(2008, 10, 5, 10, 30), DateForm::kRfc822},
      {"Sun, 5 Oct 2008 12:30:00 EST", Utc(2008, 10, 5, 17, 30), DateForm::kRfc822},
      {"Sun, 05 Oct 08 12:30:00 GMT", std::nullopt, DateForm::kNone},
      {"Sun, 05 Oct 2008 12:30:00 CET", std::nullopt, DateForm::kNone},
      {"2008-10-05T12:30:00Z", halfPastTwelve, DateForm::kIso},
      {"2008-10-05T12:30Z", halfPastTwelve, DateForm::kIso},
      {"2008-10-05T12:30:00.000+02:00", Utc(2008, 10, 5, 10, 30), DateForm::kIso},
      {"2008-10-05T12:30:00-0500", Utc(2008, 10, 5, 17, 30), DateForm::kIso},
      {"2008-10-05T12:30:00", std::nullopt, DateForm::kNone},
      {"2008-10-05T12:30:00.5Z", std::nullopt, DateForm::kNone},
      // Beyond the common cases: zone names and numeric zones, ranges and the calendar.
      {"Sun, 05 Oct 2008 12:30:00 UTC", halfPastTwelve, DateForm::kRfc822},  // read as UT
      {"Sun, 05 Oct 2008 12:30:00 PDT", Utc(2008, 10, 5, 19, 30), DateForm::kRfc822},
      {"Sun, 05 Oct 2008 12:30:00 -0330", Utc(2008, 10, 5, 16, 0), DateForm::kRfc822},
      {"Sun, 05 Oct 2008 12:30:00 +05:30", Utc(2008, 10, 5, 7, 0), DateForm::kRfc822},
      {"Sun, 05 Oct 2008 12:30+0200", Utc(2008, 10, 5, 10, 30), DateForm::kRfc822},
      {"Sun, 05 Oct 2008 00:30:00 +2400", Utc(2008, 10, 4, 0, 30), DateForm::kRfc822},
      {"Sun, 05 Oct 2008 12:30:00", std::nullopt, DateForm::kNone},         // no zone
      {"Sun, 05 Oct 2008 12:30:60 GMT", std::nullopt, DateForm::kNone},     // second 60
      {"Sun, 05 Oct 2008 24:00:00 GMT", std::nullopt, DateForm::kNone},
      {"Sun, 05 oct 2008 12:30:00 GMT", std::nullopt, DateForm::kNone},     // names are cased
      {"sun, 05 Oct 2008 12:30:00 GMT", std::nullopt, DateForm::kNone},
      {"Sun, 31 Feb 2008 12:30:00 GMT", std::nullopt, DateForm::kNone},     // no such day
      {"Fri, 29 Feb 2008 12:30:00 GMT", Utc(2008, 2, 29, 12, 30), DateForm::kRfc822},
      {"Sun, 05 Oct 1979 12:30:00 GMT", std::nullopt, DateForm::kNone},
      {"Fri, 31 Dec 2100 23:59:59 GMT", Utc(2100, 12, 31, 23, 59, 59), DateForm::kRfc822},
      {"Fri, 01 Jan 2101 00:00:00 GMT", std::nullopt, DateForm::kNone},
      {"Sun, 005 Oct 2008 12:30:00 GMT", std::nullopt, DateForm::kNone},   // day reads as 00
      {"1980-01-01T00:00:00Z", Utc(1980, 1, 1), DateForm::kIso},
      {"1979-12-31T23:59:59Z", std::nullopt, DateForm::kNone},
      {"2008-02-30T12:30:00Z", std::nullopt, DateForm::kNone},
      {"2008-13-05T12:30:00Z", std::nullopt, DateForm::kNone},
      {"2008-10-05T24:00:00Z", std::nullopt, DateForm::kNone},
      {"2008-10-05T12:30:00.0000Z", std::nullopt, DateForm::kNone},
      {"2008-10-05T12:30:00.123-01:00", Utc(2008, 10, 5, 13, 30), DateForm::kIso},
      {"2008-10-05T12:30:00+00:60", std::nullopt, DateForm::kNone},
      {"2008-10-05T12:30:0Z", std::nullopt, DateForm::kNone},  // one-digit second
      {"2008-10-05 12:30:00Z", std::nullopt, DateForm::kNone}, // RFC reader: no day name/day
      {"", std::nullopt, DateForm::kNone},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const ExactText text(FromUtf8(row.text));
    FileTime got = kUntouched;
    EXPECT_EQ(parseFeedDate(text.view(), got), row.form);
    if (row.expected) {
      EXPECT_EQ(Show(got), Show(*row.expected));
    } else {
      EXPECT_EQ(got, kUntouched) << "a failed parse must leave the output alone";
    }
  }
}

TEST(EncDatesRead, LooksIsoOnlyOnTheShapeOfTheText) {
  const struct {
    const char* text;
    bool iso;
  } rows[] = {
      {"2008-10-05T12:30:00Z", true},
      {"2008-10-05T1", true},    // 12 characters: enough for the test
      {"2008-10-05T", false},    // 11
      {"2008/10/05T12:30", false},
      {"2008-10-05 12:30:00Z", false},
      {"Sun, 05 Oct 2008 12:30:00 GMT", false},
      {"xxxx-xx-xxTxx", true},   // the shape alone decides; the parser then refuses it
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(looksIso(ExactText(FromUtf8(row.text)).view()), row.iso);
  }
  // Each reader is also usable on its own: the RFC 822 reader never takes an ISO text.
  FileTime t = kUntouched;
  EXPECT_FALSE(parseRfc822Date(u"2008-10-05T12:30:00Z", t));
  EXPECT_FALSE(parseIsoDate(u"Sun, 05 Oct 2008 12:30:00 GMT", t));
  EXPECT_EQ(t, kUntouched);
}

TEST(EncDatesRead, CutShortTextsNeverReadPastTheirEnd) {
  // Every prefix, in a block of exactly its size. A date cut before its zone fails. A zone that
  // is not a name is a sign and two number fields, which the end of the text ends early: a lone
  // "G" is a sign with an offset of 0, while "GM" stops the hours field at "M".
  const std::u16string rfc = u"Sun, 05 Oct 2008 12:30:00 GMT";
  for (size_t n = 0; n <= rfc.size(); ++n) {
    SCOPED_TRACE(n);
    FileTime t = kUntouched;
    const bool ok = parseRfc822Date(ExactText(rfc.substr(0, n)).view(), t);
    EXPECT_EQ(ok, n == rfc.size() || n == rfc.size() - 2);
    if (ok) {
      EXPECT_EQ(Show(t), "2008-10-05T12:30:00-00:00");
    }
  }
  const std::u16string iso = u"2008-10-05T12:30:00.000Z";
  for (size_t n = 0; n <= iso.size(); ++n) {
    SCOPED_TRACE(n);
    FileTime t = kUntouched;
    EXPECT_EQ(parseIsoDate(ExactText(iso.substr(0, n)).view(), t), n == iso.size());
  }
  // Long runs of digits and separators stop at the field widths.
  FileTime t = kUntouched;
  EXPECT_FALSE(parseIsoDate(std::u16string(100000, u'9'), t));
  EXPECT_FALSE(parseRfc822Date(u"Sun" + std::u16string(100000, u','), t));
  EXPECT_EQ(t, kUntouched);
}

// ---- Writing ----

TEST(EncDatesWrite, BothFormsAndTheirRoundTrips) {
  const FileTime t = Utc(2008, 10, 5, 12, 30);
  EXPECT_EQ(formatIsoDate(t), u"2008-10-05T12:30:00-00:00");
  EXPECT_EQ(formatRfc822Date(t), u"Sun 05 Oct 2008 12:30:00 GMT");

  const FileTime times[] = {t, Utc(1980, 1, 1), Utc(2000, 2, 29, 23, 59, 59),
                            Utc(2024, 12, 31, 7, 8, 9), Utc(2100, 12, 31, 23, 59, 59)};
  for (FileTime time : times) {
    SCOPED_TRACE(Show(time));
    FileTime iso = 0, rfc = 0;
    EXPECT_TRUE(parseIsoDate(formatIsoDate(time), iso));
    EXPECT_TRUE(parseRfc822Date(formatRfc822Date(time), rfc));
    EXPECT_EQ(iso, time);
    EXPECT_EQ(rfc, time);
  }
  // Sub-second units are not part of either form.
  FileTime back = 0;
  ASSERT_TRUE(parseIsoDate(formatIsoDate(t + 4321), back));
  EXPECT_EQ(back, t);
}

TEST(EncDatesWrite, NoDateWritesAsAYearBothReadersRefuse) {
  for (FileTime time : {FileTime{0}, FileTime{0x8000000000000000ULL}, ~FileTime{0}}) {
    SCOPED_TRACE(time);
    EXPECT_EQ(formatIsoDate(time), u"1601-01-01T00:00:00-00:00");
    EXPECT_EQ(formatRfc822Date(time), u"Mon 01 Jan 1601 00:00:00 GMT");
    FileTime t = kUntouched;
    EXPECT_FALSE(parseIsoDate(formatIsoDate(time), t));
    EXPECT_FALSE(parseRfc822Date(formatRfc822Date(time), t));
    EXPECT_EQ(t, kUntouched);
  }
}

// ---- Local days ----

class ZoneAndClock {
 public:
  ZoneAndClock(const char* zone, FileTime now) {
    if (const char* old = ::getenv("TZ")) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
    platform::PinClock(now);
  }
  ~ZoneAndClock() {
    platform::UnpinClock();
    if (saved_) ::setenv("TZ", saved_->c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(EncDatesLocalDay, MidnightsOfTheLocalCalendar) {
  struct Row {
    const char* what;
    const char* zone;
    FileTime now;
    int dayOffset;
    FileTime start;  // UTC
  };
  const char* berlin = "CET-1CEST,M3.5.0,M10.5.0/3";
  const char* newYork = "EST5EDT,M3.2.0,M11.1.0";
  const Row rows[] = {
      {"UTC today", "UTC0", Utc(2008, 10, 5, 12, 30), 0, Utc(2008, 10, 5)},
      {"UTC yesterday", "UTC0", Utc(2008, 10, 5, 0, 0), -1, Utc(2008, 10, 4)},
      {"UTC a week on", "UTC0", Utc(2008, 12, 28, 23, 59, 59), 7, Utc(2009, 1, 4)},
      // 23:30 UTC is already the next day in Berlin's summer.
      {"east of UTC, after UTC midnight locally", berlin, Utc(2008, 7, 1, 23, 30), 0,
       Utc(2008, 7, 1, 22, 0)},
      {"east of UTC, yesterday", berlin, Utc(2008, 7, 1, 23, 30), -1, Utc(2008, 6, 30, 22, 0)},
      // 03:00 UTC is still the evening before in New York.
      {"west of UTC, before UTC midnight locally", newYork, Utc(2008, 10, 5, 3, 0), 0,
       Utc(2008, 10, 4, 4, 0)},
      // Berlin's clocks went forward on 31 March 2024: that day's midnight was still winter time.
      {"day of the change, its start", berlin, Utc(2024, 3, 31, 12, 0), 0,
       Utc(2024, 3, 30, 23, 0)},
      {"day of the change, the next", berlin, Utc(2024, 3, 31, 12, 0), 1,
       Utc(2024, 3, 31, 22, 0)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ZoneAndClock scope(row.zone, row.now);
    EXPECT_EQ(Show(localDayStart(row.dayOffset)), Show(row.start));
  }
}

TEST(EncDatesLocalDay, WindowsEndOneTickBeforeTheNextStart) {
  ZoneAndClock scope("CET-1CEST,M3.5.0,M10.5.0/3", Utc(2024, 3, 31, 12, 0));
  const auto today = localDayWindow(0, 1);
  EXPECT_EQ(today.first, Utc(2024, 3, 30, 23, 0));
  EXPECT_EQ(today.second, Utc(2024, 3, 31, 22, 0) - 1);  // a 23-hour day
  const auto lastWeek = localDayWindow(-7, 7);
  EXPECT_EQ(lastWeek.first, Utc(2024, 3, 23, 23, 0));
  EXPECT_EQ(lastWeek.second, today.first - 1);
  // Offsets far beyond the calendar give a valid (clamped) window instead of wrapping around.
  const auto far = localDayWindow(INT32_MIN, 1);
  EXPECT_LE(far.first, far.second + 1);
}

}  // namespace
}  // namespace nubrel
