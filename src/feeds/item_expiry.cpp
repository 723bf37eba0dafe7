// Expiry: the retention limits of a channel applied to its stored items, with the files of every
// removed item (its enclosure and the pictures its body shows) deleted along with it.
// The list structure is item_list.cpp's; the files are offline/'s.
#include <algorithm>
#include <memory>

#include "feeds/dates.h"
#include "feeds/item_list.h"
#include "feeds/item_list_internal.h"
#include "offline/enclosure_files.h"
#include "offline/image_files.h"
#include "platform/device_time.h"
#include "shared/text.h"

namespace nubrel {

using namespace item_detail;

namespace {

// One retention text: "15i" (or any other unit) is a count of items, "7d" a number of days.
struct Limit {
  int64_t number = 0;
  bool inDays = false;
  platform::FileTime cutOff = 0;  // days: items dated before this go
};

Limit readLimit(std::u16string_view text, platform::FileTime todayMidnightUtc) {
  Limit limit;
  size_t length = 0;
  limit.number = LeadingInteger(text, &length);
  const size_t unit = length;  // the units read, white space and sign included
  limit.inDays = unit < text.size() && text[unit] == u'd';
  if (limit.inDays) {
    const int64_t back = std::max<int64_t>(limit.number - 1, 0);
    const platform::FileTime span =
        back > static_cast<int64_t>(todayMidnightUtc / kFileTimeDay)
            ? todayMidnightUtc
            : static_cast<platform::FileTime>(back) * kFileTimeDay;
    limit.cutOff = todayMidnightUtc - span;
  }
  return limit;
}

bool beyond(const Limit& limit, platform::FileTime date, int64_t budget) {
  return limit.inDays ? date < limit.cutOff : budget <= 0;
}

void deleteFilesOf(FeedItem* item, ChannelNode* channel) {
  DeleteEnclosure(item);
  if (const std::u16string* body = contentOrDescription(item)) {
    const std::u16string* base = linkOrGuid(item);
    ScanItemImages(*body, base ? std::u16string_view(*base) : std::u16string_view(), channel,
                   ImageScanMode::kDelete);
  }
}

}  // namespace

bool expire(ItemList* list, std::u16string_view unreadText, std::u16string_view readText) {
  if (!list || unreadText.empty() || readText.empty()) return false;
  const platform::FileTime now = platform::CurrentFileTime();
  const platform::FileTime todayMidnightUtc = now - now % kFileTimeDay;
  const Limit unreadLimit = readLimit(unreadText, todayMidnightUtc);
  const Limit readLimitValue = readLimit(readText, todayMidnightUtc);
  // A read limit of 0 or below keeps everything. So does such an unread limit ("-1" is a value
  // the channel's settings accept): taken as a count it would empty the channel of every
  // unread item.
  if (readLimitValue.number <= 0 || unreadLimit.number <= 0) return false;

  int64_t unreadBudget = unreadLimit.number;
  int64_t readBudget = readLimitValue.number;
  bool removed = false;
  FeedItem** link = &list->first;
  FeedItem* previous = nullptr;
  while (*link) {
    FeedItem* item = *link;
    const bool unread = countsUnread(item);
    const bool expired = unread ? beyond(unreadLimit, item->date, unreadBudget)
                                : beyond(readLimitValue, item->date, readBudget);
    if (expired && !hasLockedBit(item)) {
      deleteFilesOf(item, list->channel);  // while the item still knows its channel
      std::unique_ptr<FeedItem> gone(detachAt(list, link, previous));
      removed = true;
      continue;
    }
    if (!unreadLimit.inDays) --unreadBudget;
    if (!readLimitValue.inDays) --readBudget;
    previous = item;
    link = &item->next;
  }

  int32_t unreadCount = 0;
  int32_t newCount = 0;
  for (FeedItem* item = list->first; item; item = item->next) {
    if (countsUnread(item)) ++unreadCount;
    if (hasNewBit(item)) ++newCount;
  }
  list->unreadCount = unreadCount;
  list->newCount = newCount;
  if (removed) list->dirty = true;
  updateChannelCounts(list);
  return removed;
}

}  // namespace nubrel
