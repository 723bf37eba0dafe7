// What the views ask of items and lists: the sort comparison, the view filters and their counts,
// keyword matching, the channel's texts with its absolute image and favicon addresses, and the
// feed's own update period. The list structure is item_list.cpp's.
#include <utility>

#include "feeds/dates.h"
#include "feeds/item_list.h"
#include "feeds/item_list_internal.h"
#include "platform/device_time.h"
#include "shared/text.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

using namespace item_detail;

// ---- Keywords ----

bool matchesKeywords(const FeedItem* item, const KeywordList* keywords) {
  if (!item || !keywords) return false;
  const OptionalText* fields[] = {&item->title, &item->description, &item->subject,
                                  &item->content};
  for (const std::u16string& keyword : keywords->entries) {
    if (keyword.empty()) continue;  // an empty entry would match every item
    for (const OptionalText* field : fields) {
      if (*field && (*field)->find(keyword) != std::u16string::npos) return true;
    }
  }
  return false;
}

// ---- Sorting ----

namespace {

int order(bool aFirst, bool bFirst) { return aFirst == bFirst ? 0 : (aFirst ? -1 : 1); }

int ascending(const FeedItem* a, const FeedItem* b, int code, const KeywordList* keywords) {
  switch (code) {
    case kSortNone:
      return 0;
    case kSortDate:
      return a->date < b->date ? -1 : (a->date > b->date ? 1 : 0);
    case kSortRead:
      return order(countsUnread(a), countsUnread(b));
    case kSortKeyword:
      if (!keywords) return 0;
      return order(matchesKeywords(a, keywords), matchesKeywords(b, keywords));
    case kSortLock:
      return order(!hasLockedBit(a), !hasLockedBit(b));
    case kSortNew:
      return order(!hasNewBit(a), !hasNewBit(b));
    case kSortTitle:
      if (!a->title || !b->title) return 0;
      return CompareNoCase(*a->title, *b->title);
    case kSortEnclosure:
      return order(!hasEnclosure(a), !hasEnclosure(b));
    default: {
      const int64_t difference = static_cast<int64_t>(b->sequence) - a->sequence;
      return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
    }
  }
}

}  // namespace

int compareItems(const FeedItem* a, const FeedItem* b, int key, const KeywordList* keywords) {
  if (!a || !b) return 0;
  const int result = ascending(a, b, key & ~kSortDescending, keywords);
  const int sign = result < 0 ? -1 : (result > 0 ? 1 : 0);
  return (key & kSortDescending) ? -sign : sign;
}

// ---- View filters ----

namespace {

// The time windows of the day filters, worked out once per count rather than once per item.
struct FilterClock {
  platform::FileTime now = 0;
  std::pair<platform::FileTime, platform::FileTime> today, yesterday, thisWeek, lastWeek;
};

FilterClock filterClock() {
  FilterClock clock;
  clock.now = platform::CurrentFileTime();
  clock.today = localDayWindow(0, 1);
  clock.yesterday = localDayWindow(-1, 1);
  const int sinceSunday = platform::CurrentLocalTime().dayOfWeek;
  clock.thisWeek = localDayWindow(-sinceSunday, 7);
  clock.lastWeek = localDayWindow(-sinceSunday - 7, 7);
  return clock;
}

bool within(platform::FileTime date, const std::pair<platform::FileTime, platform::FileTime>& w) {
  return date >= w.first && date <= w.second;
}

bool usesClock(int code) { return code >= kFilterToday && code <= kFilterLastWeek; }

bool passes(const FeedItem* item, int code, const KeywordList* keywords, const FilterClock* clock) {
  switch (code) {
    case kFilterAll:
      return true;
    case kFilterUnread:
      return countsUnread(item);
    case kFilterLocked:
      return hasLockedBit(item);
    case kFilterEnclosure:
      return hasEnclosure(item);
    case kFilterKeyword:
      return matchesKeywords(item, keywords);
    case kFilterRetrievedEnclosure:
      return enclosureRetrieved(item);
    case kFilterRetrievedWeb:
      return webContentCached(item);
    case kFilterNew:
      return hasNewBit(item);
    case kFilterToday:
      return within(item->date, clock->today);
    case kFilterYesterday:
      return within(item->date, clock->yesterday);
    case kFilterLast24Hours: {
      const platform::FileTime day = kFileTimeDay;
      const platform::FileTime from = clock->now > day ? clock->now - day : 0;
      return item->date >= from && item->date <= clock->now;
    }
    case kFilterThisWeek:
      return within(item->date, clock->thisWeek);
    case kFilterLastWeek:
      return within(item->date, clock->lastWeek);
    default:
      return false;
  }
}

}  // namespace

bool passesFilter(const FeedItem* item, int code, const KeywordList* keywords) {
  if (!item) return false;
  if (!usesClock(code)) return passes(item, code, keywords, nullptr);
  const FilterClock clock = filterClock();
  return passes(item, code, keywords, &clock);
}

int32_t count(ItemList* list, int filterCode, const KeywordList* keywords) {
  if (!list) return 0;
  switch (filterCode) {
    case kFilterAll:
      return list->totalCount;
    case kFilterUnread:
      return list->unreadCount;
    case kFilterLocked:
      return list->lockedCount;
    case kFilterNew:
      return list->newCount;
    default:
      break;
  }
  const bool counted = (filterCode >= kFilterEnclosure && filterCode <= kFilterRetrievedWeb) ||
                       usesClock(filterCode);
  if (!counted) return 0;
  FilterClock clock;
  if (usesClock(filterCode)) clock = filterClock();
  int32_t passing = 0;
  for (const FeedItem* item = list->first; item; item = item->next) {
    if (passes(item, filterCode, keywords, &clock)) ++passing;
  }
  return passing;
}

// ---- Channel texts ----

OptionalText UrlHostName(std::u16string_view url) {
  const size_t scheme = url.find(u"://");
  if (scheme == std::u16string_view::npos || scheme == 0) return std::nullopt;
  std::u16string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of(u"/?#"));
  const size_t user = rest.rfind(u'@');  // "user:password@host"
  if (user != std::u16string_view::npos) rest = rest.substr(user + 1);
  rest = rest.substr(0, rest.find(u':'));
  if (rest.empty()) return std::nullopt;
  return std::u16string(rest);
}

OptionalText absoluteImageUrl(ItemList* list) {
  if (!list || !list->imageUrl) return std::nullopt;
  const std::u16string& image = *list->imageUrl;
  // https pictures are as absolute as http ones; the prefixing below would mangle them.
  if (StartsWithNoCase(image, u"http://") || StartsWithNoCase(image, u"https://")) return image;
  const OptionalText host = list->link ? UrlHostName(*list->link) : std::nullopt;
  if (!host) return image;
  if (image.starts_with(u"//")) {
    list->imageUrl = u"http:" + image;  // an address without its scheme names its own host
  } else {
    list->imageUrl = u"http://" + *host + image;  // relative: appended to the host as it stands
  }
  return list->imageUrl;
}

OptionalText absoluteFaviconUrl(ItemList* list) {
  if (!list) return std::nullopt;
  if (!list->faviconUrl) {
    const OptionalText host = list->link ? UrlHostName(*list->link) : std::nullopt;
    if (!host) return std::nullopt;
    list->faviconUrl = u"http://" + *host + u"/favicon.ico";
  }
  return list->faviconUrl;
}

OptionalText listText(ItemList* list, int which) {
  if (!list) return std::nullopt;
  auto orEmpty = [](const OptionalText& text) { return text ? *text : std::u16string(); };
  switch (which) {
    case kListTitle:
      return list->title;
    case kListDescription:
      return orEmpty(list->description);
    case kListImageUrl:
      return absoluteImageUrl(list);
    case kListFaviconUrl:
      return absoluteFaviconUrl(list);
    case kListLanguage:
      return list->language;
    case kListCopyright:
      return list->copyright;
    case kListUpdatePeriod:
      return orEmpty(list->updatePeriod);
    case kListUpdateFrequency:
      return orEmpty(list->updateFrequency);
    default:
      return std::nullopt;
  }
}

// ---- Update period ----

int32_t updateIntervalMinutes(const ItemList* list) {
  if (!list || !list->updatePeriod) return 0;
  const std::u16string_view period = TrimView(*list->updatePeriod);
  int32_t minutes = 0;
  if (EqualsNoCase(period, u"hourly")) {
    minutes = 60;
  } else if (EqualsNoCase(period, u"daily")) {
    minutes = 1440;
  } else if (EqualsNoCase(period, u"weekly")) {
    minutes = 7 * 1440;
  } else if (EqualsNoCase(period, u"monthly")) {
    minutes = 30 * 1440;
  } else if (EqualsNoCase(period, u"yearly")) {
    minutes = 365 * 1440;
  }
  if (minutes != 0 && list->updateFrequency) {
    // A frequency of 0 or below says nothing usable; dividing by it would give no interval or a
    // negative one.
    const int64_t frequency = LeadingInteger(*list->updateFrequency);
    if (frequency > 0) minutes = static_cast<int32_t>(minutes / frequency);
  }
  return minutes;
}

}  // namespace nubrel
