// What the views ask: sort comparison, view filters and counts, keywords, channel texts with
// absolute image and icon addresses, and the feed's update period.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/date_text.h"
#include "feeds/dates.h"
#include "feeds/item_list.h"
#include "feeds/item_test_support.h"
#include "offline/local_files.h"

namespace nubrel {
namespace {

using testing::At;
using testing::ChannelTest;
using testing::Item;
using testing::kDay;
using testing::kHour;
using testing::Utf8;

KeywordList Keywords(std::vector<std::u16string> entries) {
  KeywordList list;
  list.entries = std::move(entries);
  return list;
}

// ---- Sorting ----

TEST(ItemViewsSort, CompareItemsByEachKey) {
  auto older = Item(u"apple", 10, kReadStateUnread);
  auto newer = Item(u"Banana", 20, kReadStateRead | kItemLockedBit | kItemNewBit);
  newer->enclosure = new Enclosure;
  newer->enclosure->url = u"http://e";
  newer->description = u"about kiwi";
  older->sequence = 1;
  newer->sequence = 4;
  auto untitled = Item(u"", 30);
  untitled->title.reset();
  const KeywordList kiwi = Keywords({u"kiwi"});

  struct Row {
    const char* name;
    int key;
    const FeedItem* a;
    const FeedItem* b;
    const KeywordList* keywords;
    int expected;  // sign
  };
  const FeedItem* o = older.get();
  const FeedItem* n = newer.get();
  const std::vector<Row> rows = {
      {"date: older first", kSortDate, o, n, nullptr, -1},
      {"date descending", kSortDate | kSortDescending, o, n, nullptr, 1},
      {"date equal to itself", kSortDate, o, o, nullptr, 0},
      {"read: unread first", kSortRead, o, n, nullptr, -1},
      {"keyword: matching first", kSortKeyword, n, o, &kiwi, -1},
      {"keyword without a list: equal", kSortKeyword, n, o, nullptr, 0},
      {"lock: unlocked first", kSortLock, o, n, nullptr, -1},
      {"new: not new first", kSortNew, n, o, nullptr, 1},
      {"title ignores case", kSortTitle, o, n, nullptr, -1},
      {"title descending", kSortTitle | kSortDescending, o, n, nullptr, 1},
      {"title missing on one side: equal", kSortTitle, untitled.get(), o, nullptr, 0},
      {"enclosure: without first", kSortEnclosure, o, n, nullptr, -1},
      {"none: equal", kSortNone, o, n, nullptr, 0},
      {"sequence: higher first", kSortSequence, o, n, nullptr, 1},
      {"unknown code sorts by sequence", 99, n, o, nullptr, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const int result = compareItems(row.a, row.b, row.key, row.keywords);
    EXPECT_EQ((result > 0) - (result < 0), row.expected);
  }
  EXPECT_EQ(compareItems(nullptr, n, kSortDate, nullptr), 0);
}

// ---- Filters and counts ----

class ItemViewsFilter : public ChannelTest {
 protected:
  // Wednesday 15 May 2024, noon UTC; with TZ=UTC the local days are the UTC ones.
  const platform::FileTime now_ = At(2024, 5, 15, 12);
  void SetUp() override {
    ChannelTest::SetUp();
    platform::PinClock(now_);
  }
};

TEST_F(ItemViewsFilter, PassesFilterByCode) {
  const platform::FileTime today = localDayStart(0);
  const platform::FileTime sunday = localDayStart(-3);
  const KeywordList keywords = Keywords({u"", u"Rust"});
  auto list = ChannelList();
  struct Spec {
    const char16_t* title;
    platform::FileTime date;
    uint32_t flags;
    bool enclosure;
  };
  // One item per situation; the expected rows below name them by position (1-based).
  const std::vector<Spec> specs = {
      {u"1 now, undetermined", now_, kReadStateUndetermined, false},
      {u"2 midnight today, read", today, kReadStateRead, true},
      {u"3 last tick of yesterday, locked", today - 1, kReadStateRead | kItemLockedBit, false},
      {u"4 yesterday midnight, new, about Rust", today - kDay, kReadStateRead | kItemNewBit,
       false},
      {u"5 23 hours ago, yesterday", now_ - 23 * kHour, kReadStateRead, false},
      {u"6 Sunday midnight", sunday, kReadStateRead, false},
      {u"7 last tick of last Saturday", sunday - 1, kReadStateRead, false},
      {u"8 last week's Sunday", sunday - 7 * kDay, kReadStateRead, false},
      {u"9 before last week", sunday - 7 * kDay - 1, kReadStateRead, false},
      {u"10 in the future", now_ + kDay, kReadStateRead, false},
  };
  for (const Spec& s : specs) {
    auto item = Item(s.title, s.date, s.flags);
    if (s.enclosure) {
      item->enclosure = new Enclosure;
      item->enclosure->url = u"http://e/a.mp3";
    }
    insertItem(list.get(), std::move(item));
  }
  auto passing = [&](int code) {
    std::string out;
    for (const FeedItem* item = list->first; item; item = item->next) {
      if (passesFilter(item, code, &keywords)) {
        out += (out.empty() ? "" : ",") + Utf8(item->title).substr(0, Utf8(item->title).find(' '));
      }
    }
    return out;
  };
  struct Row {
    int code;
    const char* expected;  // positions, in list order (newest first)
  };
  const std::vector<Row> rows = {
      {kFilterAll, "10,1,2,3,5,4,6,7,8,9"},
      {kFilterUnread, "1"},
      {kFilterLocked, "3"},
      {kFilterEnclosure, "2"},
      {kFilterKeyword, "4"},
      {kFilterNew, "4"},
      {kFilterToday, "1,2"},
      {kFilterYesterday, "3,5,4"},
      {kFilterLast24Hours, "1,2,3,5"},
      {kFilterThisWeek, "10,1,2,3,5,4,6"},  // the week runs on past today
      {kFilterLastWeek, "7,8"},
      {9, ""},
      {0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    EXPECT_EQ(passing(row.code), row.expected);
    const int32_t expectedCount =
        row.expected[0] ? static_cast<int32_t>(std::count(row.expected, row.expected +
                                                          std::strlen(row.expected), ',') + 1)
                        : 0;
    EXPECT_EQ(count(list.get(), row.code, &keywords), expectedCount);
  }
}

TEST_F(ItemViewsFilter, StoredFilesCountOnlyWhenTheyExist) {
  auto list = ChannelList();
  auto item = Item(u"a", now_);
  item->link = u"http://example.com/a.html";
  item->enclosure = new Enclosure;
  item->enclosure->url = u"http://example.com/a.mp3";
  FeedItem* stored = insertItem(list.get(), std::move(item));
  EXPECT_FALSE(passesFilter(stored, kFilterRetrievedEnclosure, nullptr));
  EXPECT_FALSE(passesFilter(stored, kFilterRetrievedWeb, nullptr));
  PutFile(enclosureLocalPath(stored));
  PutFile(LocalPathFor(channel_, u"http://example.com/a.html", kLocalHtml));
  EXPECT_TRUE(passesFilter(stored, kFilterRetrievedEnclosure, nullptr));
  EXPECT_TRUE(passesFilter(stored, kFilterRetrievedWeb, nullptr));
  EXPECT_EQ(count(list.get(), kFilterRetrievedWeb, nullptr), 1);
  setEnclosureState(stored, kEnclosurePending);  // a download under way is not stored yet
  EXPECT_FALSE(passesFilter(stored, kFilterRetrievedEnclosure, nullptr));
}

TEST(ItemViewsKeywords, CaseSensitiveSubstringsOfFourFields) {
  const KeywordList keywords = Keywords({u"Rust", u"Go "});
  struct Case {
    const char* name;
    std::function<void(FeedItem&)> fill;
    bool matches;
  };
  const std::vector<Case> cases = {
      {"title", [](FeedItem& i) { i.title = u"Why Rust"; }, true},
      {"description", [](FeedItem& i) { i.description = u"<b>Rusty</b>"; }, true},
      {"subject", [](FeedItem& i) { i.subject = u"Go tips"; }, true},
      {"content", [](FeedItem& i) { i.content = u"x Rust y"; }, true},
      {"other case", [](FeedItem& i) { i.title = u"rust"; }, false},
      {"author is not searched", [](FeedItem& i) { i.author = u"Rust"; }, false},
      {"nothing", [](FeedItem&) {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FeedItem item;
    c.fill(item);
    EXPECT_EQ(matchesKeywords(&item, &keywords), c.matches);
  }
  FeedItem any;
  any.title = u"anything";
  const KeywordList onlyEmpty = Keywords({u""});
  EXPECT_FALSE(matchesKeywords(&any, &onlyEmpty));
  EXPECT_FALSE(matchesKeywords(&any, nullptr));
}

// ---- Channel texts ----

TEST(ItemViewsChannel, AbsoluteImageAndFaviconAddresses) {
  struct Row {
    const char* name;
    const char16_t* link;
    const char16_t* image;
    const char* expectedImage;
    const char* expectedFavicon;
  };
  const std::vector<Row> rows = {
      {"absolute", u"http://a.example/blog", u"HTTP://cdn.example/x.gif", "HTTP://cdn.example/x.gif",
       "http://a.example/favicon.ico"},
      {"https stays", u"http://a.example/", u"https://cdn.example/x.gif",
       "https://cdn.example/x.gif", "http://a.example/favicon.ico"},
      {"rooted", u"http://a.example:8080/blog", u"/img/x.gif", "http://a.example/img/x.gif",
       "http://a.example/favicon.ico"},
      {"relative, appended as it stands", u"http://a.example/blog/", u"img/x.gif",
       "http://a.exampleimg/x.gif", "http://a.example/favicon.ico"},
      {"without a scheme", u"https://a.example", u"//cdn.example/x.gif",
       "http://cdn.example/x.gif", "http://a.example/favicon.ico"},
      {"user in the link", u"http://me:pw@a.example/", u"/x.gif", "http://a.example/x.gif",
       "http://a.example/favicon.ico"},
      {"a link without host", u"a.example/blog", u"/x.gif", "/x.gif", "(null)"},
      {"no link", nullptr, u"/x.gif", "/x.gif", "(null)"},
      {"no image", u"http://a.example/", nullptr, "(null)", "http://a.example/favicon.ico"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = newList(nullptr, kFeedRss20);
    if (row.link) list->link = row.link;
    if (row.image) list->imageUrl = row.image;
    EXPECT_EQ(Utf8(absoluteImageUrl(list.get())), row.expectedImage);
    EXPECT_EQ(Utf8(list->imageUrl), row.expectedImage);  // stored back in place
    EXPECT_EQ(Utf8(absoluteImageUrl(list.get())), row.expectedImage);  // and stable
    EXPECT_EQ(Utf8(listText(list.get(), kListFaviconUrl)), row.expectedFavicon);
  }
}

TEST(ItemViewsChannel, FaviconIsComputedOnce) {
  auto list = newList(nullptr, kFeedRss20);
  list->link = u"http://first.example/";
  EXPECT_EQ(Utf8(absoluteFaviconUrl(list.get())), "http://first.example/favicon.ico");
  list->link = u"http://second.example/";
  EXPECT_EQ(Utf8(absoluteFaviconUrl(list.get())), "http://first.example/favicon.ico");
}

TEST(ItemViewsChannel, ListTexts) {
  auto list = newList(nullptr, kFeedRss20);
  list->title = u"T";
  list->language = u"en";
  struct Row {
    int which;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {kListTitle, "T"},           {kListDescription, ""},      {kListImageUrl, "(null)"},
      {kListFaviconUrl, "(null)"}, {kListLanguage, "en"},       {kListCopyright, "(null)"},
      {kListUpdatePeriod, ""},     {kListUpdateFrequency, ""},  {9, "(null)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.which);
    EXPECT_EQ(Utf8(listText(list.get(), row.which)), row.expected);
  }
}

TEST(ItemViewsChannel, UpdateIntervalMinutes) {
  struct Row {
    const char16_t* period;
    const char16_t* frequency;
    int32_t minutes;
  };
  const std::vector<Row> rows = {
      {u"hourly", nullptr, 60},       {u"Daily", nullptr, 1440},
      {u"WEEKLY", nullptr, 10080},    {u"monthly", u"2", 15 * 1440},
      {u"yearly", nullptr, 525600},   {u"daily", u"3", 480},
      {u"daily", u"0", 1440},         {u"daily", u"-2", 1440},
      {u"daily", u"x", 1440},         {u"fortnightly", u"2", 0},
      {nullptr, u"2", 0},             {u" hourly\n", u"4", 15},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8(row.period ? OptionalText(row.period) : std::nullopt) + " / " +
                 Utf8(row.frequency ? OptionalText(row.frequency) : std::nullopt));
    auto list = newList(nullptr, kFeedRss20);
    if (row.period) list->updatePeriod = row.period;
    if (row.frequency) list->updateFrequency = row.frequency;
    EXPECT_EQ(updateIntervalMinutes(list.get()), row.minutes);
  }
}

// ---- Item texts ----

TEST(ItemViewsTexts, BodyAddressAndDateFallBack) {
  auto list = newList(nullptr, kFeedRss20);
  list->date = At(2024, 1, 31, 9, 5);
  auto item = Item(u"t", 0);
  item->description = u"d";
  item->guid = u"g";
  FeedItem* stored = insertItem(list.get(), std::move(item));
  EXPECT_EQ(*contentOrDescription(stored), u"d");
  EXPECT_EQ(*linkOrGuid(stored), u"g");
  stored->content = u"c";
  stored->link = u"l";
  EXPECT_EQ(*contentOrDescription(stored), u"c");
  EXPECT_EQ(*linkOrGuid(stored), u"l");
  // A zero date shows the list's date, the same text DateText gives for it.
  EXPECT_EQ(itemDateText(stored, false), DateText(list->date, false, false));
  stored->date = At(2023, 12, 24, 18, 0);
  EXPECT_EQ(itemDateText(stored, false), DateText(stored->date, false, false));
  EXPECT_NE(itemDateText(stored, false), itemDateText(nullptr, false));
}

}  // namespace
}  // namespace nubrel
