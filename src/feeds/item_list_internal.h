// Helpers the item_*.cpp files share to keep an ItemList's counters, dirty flag and channel
// counts true. Not for use outside src/feeds: everyone else goes through item_list.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "feeds/item_list.h"

namespace nubrel::item_detail {

inline uint32_t readState(const FeedItem* item) { return item->flags & kReadStateMask; }
inline bool countsUnread(const FeedItem* item) { return readState(item) != kReadStateRead; }
inline bool hasNewBit(const FeedItem* item) { return (item->flags & kItemNewBit) != 0; }
inline bool hasLockedBit(const FeedItem* item) { return (item->flags & kItemLockedBit) != 0; }
inline uint32_t serviceReadValue(const FeedItem* item) {
  return (item->flags & kServiceReadMask) >> kServiceReadShift;
}

// Sets the dirty flag of the item's list, when it is in one.
void markDirty(FeedItem* item);
// Hands (unreadCount, newCount) to the list's channel, when it has one.
void updateChannelCounts(ItemList* list);

// Adds or removes one item's flags to or from the list's four counters.
void countItem(ItemList* list, const FeedItem* item);
void uncountItem(ItemList* list, const FeedItem* item);

// Takes the item at *link (whose predecessor is `previous`, null at the head) out of the list:
// counters and insertion hints follow; next and list are cleared. Neither marks the list dirty
// nor tells the channel: callers do that once for a whole walk.
FeedItem* detachAt(ItemList* list, FeedItem** link, FeedItem* previous);

// Sets every item's sequence to its position, 0 first.
void renumber(ItemList* list);

// The whole file at a device path, or false when it cannot be opened or read to its end (a file
// that shrinks while it is read gives what was there). Item file reader and writer.
bool ReadWholeFile(std::u16string_view path, std::string& bytes);

}  // namespace nubrel::item_detail
