// Bringing lists up to date: resolving the read states a parse left undetermined (with the
// clearing of new flags before a merge), and merging a freshly parsed list into the stored one.
// The flag setters and the list structure are item_list.cpp's.
#include <new>

#include "feeds/item_list.h"
#include "feeds/item_list_internal.h"
#include "offline/local_files.h"
#include "shared/text.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

using namespace item_detail;

// ---- Resolving states ----

void finalizeStates(ItemList* list, bool clearNew) {
  if (!list) return;
  bool changed = false;
  int32_t unread = 0;
  int32_t fresh = 0;
  for (FeedItem* item = list->first; item; item = item->next) {
    if (readState(item) == kReadStateUndetermined) {
      const uint32_t service = serviceReadValue(item);
      const uint32_t resolved = service <= 1 ? service : kReadStateUnread;
      item->flags = (item->flags & ~kReadStateMask) | resolved;
      changed = true;
    }
    if (countsUnread(item)) ++unread;
    if (clearNew && hasNewBit(item)) {
      item->flags &= ~kItemNewBit;
      changed = true;
    }
    if (hasNewBit(item)) ++fresh;
  }
  if (unread != list->unreadCount || fresh != list->newCount) changed = true;
  list->unreadCount = unread;
  list->newCount = fresh;
  if (changed) {
    list->dirty = true;
    updateChannelCounts(list);
  }
}

// ---- Merging ----

namespace {

// The stored field takes the incoming text when that is present and the stored one is absent or
// different. Returns whether it changed.
bool takeNewer(OptionalText& stored, const OptionalText& incoming) {
  if (!incoming || (stored && *stored == *incoming)) return false;
  try {
    stored = *incoming;
  } catch (const std::bad_alloc&) {
    return false;  // the stored text stays as it was
  }
  return true;
}

uint32_t channelIdOf(const ItemList* list) { return list->channel ? list->channel->id.load() : 0; }

// Steps 2 and 3 of a merge: the channel's picture and icon, fetched again when not stored.
void refreshChannelImages(ItemList* existing, ItemList* incoming) {
  const OptionalText incomingImage = absoluteImageUrl(incoming);
  if (incomingImage) {
    const OptionalText storedImage = absoluteImageUrl(existing);
    const bool unchanged = storedImage && EqualsNoCase(*storedImage, *incomingImage) &&
                           LocalFileExists(LocalPathFor(existing->channel, *incomingImage,
                                                        kLocalImage));
    if (!unchanged) {
      if (takeNewer(existing->imageUrl, incoming->imageUrl)) existing->dirty = true;
      if (existing->channel) {
        QueueImageTask(*incomingImage, channelIdOf(existing), /*conditional=*/true,
                       /*startManager=*/true);
      }
    }
  }
  if (existing->faviconUrl && existing->channel &&
      !LocalFileExists(LocalPathFor(existing->channel, *existing->faviconUrl, kLocalImage))) {
    QueueImageTask(*existing->faviconUrl, channelIdOf(existing), /*conditional=*/true,
                   /*startManager=*/true);
  }
}

// A stored item seen again: the feed's newer texts, dates and service verdict.
void updateKnownItem(ItemList* existing, FeedItem* stored, const FeedItem* incoming) {
  bool changed = takeNewer(stored->title, incoming->title);
  const std::u16string* incomingAddress = linkOrGuid(incoming);
  const std::u16string* storedAddress = linkOrGuid(stored);
  if (incomingAddress && (!storedAddress || *storedAddress != *incomingAddress)) {
    try {
      stored->link = incoming->link;
      changed = true;
    } catch (const std::bad_alloc&) {
    }
  }
  changed |= takeNewer(stored->description, incoming->description);
  changed |= takeNewer(stored->content, incoming->content);
  if (stored->modified != incoming->modified) {
    stored->modified = incoming->modified;
    changed = true;
  }
  if (incoming->postId && (!stored->postId || *stored->postId != *incoming->postId)) {
    changed |= takeNewer(stored->postId, incoming->postId);
  } else if (incoming->postId && serviceReadValue(stored) != serviceReadValue(incoming)) {
    // The service changed its mind about an item it already knew: follow it, read state too,
    // keeping the unread counter true at once rather than at the next recount.
    const bool wasUnread = countsUnread(stored);
    const uint32_t keep = stored->flags & ~(kReadStateMask | kServiceReadMask);
    stored->flags = keep | (incoming->flags & (kReadStateMask | kServiceReadMask));
    if (wasUnread != countsUnread(stored)) existing->unreadCount += wasUnread ? -1 : 1;
    changed = true;
  }
  if (changed) existing->dirty = true;
}

FeedItem* findSame(ItemList* list, const FeedItem* incoming) {
  for (FeedItem* item = list->first; item; item = item->next) {
    if (sameItem(item, incoming)) return item;
  }
  return nullptr;
}

}  // namespace

void mergeInto(ItemList* existing, ItemList* incoming) {
  if (!existing || !incoming || !incoming->first || existing == incoming) return;
  if (existing->kind != incoming->kind) {
    existing->kind = incoming->kind;
    existing->dirty = true;
  }
  refreshChannelImages(existing, incoming);

  FeedItem** link = &incoming->first;
  FeedItem* previous = nullptr;
  while (*link) {
    FeedItem* item = *link;
    if (FeedItem* stored = findSame(existing, item)) {
      updateKnownItem(existing, stored, item);
      previous = item;
      link = &item->next;
      continue;
    }
    // Unknown: moved over with its flags (new, unless the service said it was read).
    std::unique_ptr<FeedItem> moved(detachAt(incoming, link, previous));
    insertItem(existing, std::move(moved));
  }
  incoming->dirty = true;
  renumber(existing);
  updateChannelCounts(existing);
}

}  // namespace nubrel
