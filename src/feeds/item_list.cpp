// Item and list lifetimes, field accessors, identity, the flag setters with their counters, the
// enclosure accessors and the list's structure (insert, unlink, delete, mark all, walks, copies).
// Resolving states and merging are item_merge.cpp; expiry item_expiry.cpp; sorting, views,
// channel texts and the update period item_views.cpp.
//
// Map: Lifetimes / Shared helpers / Accessors / Identity / Flags / Enclosures / Structure
#include "feeds/item_list.h"

#include <new>

#include "core/date_text.h"
#include "feeds/item_list_internal.h"
#include "offline/enclosure_files.h"
#include "offline/image_files.h"
#include "offline/local_files.h"
#include "offline/web_cache_files.h"
#include "shared/crc32.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

// ---- Lifetimes ----

FeedItem::~FeedItem() { delete enclosure; }

ItemList::~ItemList() {
  FeedItem* item = first;
  first = nullptr;
  while (item) {
    FeedItem* next = item->next;
    delete item;
    item = next;
  }
}

// ---- Shared helpers ----

namespace item_detail {

void markDirty(FeedItem* item) {
  if (item && item->list) item->list->dirty = true;
}

void updateChannelCounts(ItemList* list) {
  if (list && list->channel) SetCounts(list->channel, list->unreadCount, list->newCount);
}

void countItem(ItemList* list, const FeedItem* item) {
  ++list->totalCount;
  if (countsUnread(item)) ++list->unreadCount;
  if (hasLockedBit(item)) ++list->lockedCount;
  if (hasNewBit(item)) ++list->newCount;
}

void uncountItem(ItemList* list, const FeedItem* item) {
  --list->totalCount;
  if (countsUnread(item)) --list->unreadCount;
  if (hasLockedBit(item)) --list->lockedCount;
  if (hasNewBit(item)) --list->newCount;
}

FeedItem* detachAt(ItemList* list, FeedItem** link, FeedItem* previous) {
  FeedItem* item = *link;
  *link = item->next;
  if (list->lastItemHint == item) list->lastItemHint = previous;
  if (!list->first) list->lastItemHint = nullptr;
  uncountItem(list, item);
  item->next = nullptr;
  item->list = nullptr;
  return item;
}

void renumber(ItemList* list) {
  int32_t position = 0;
  for (FeedItem* item = list->first; item; item = item->next) item->sequence = position++;
}

}  // namespace item_detail

using namespace item_detail;

namespace {

const std::u16string* textOf(const OptionalText& text) { return text ? &*text : nullptr; }

OptionalText copyText(const OptionalText& text) {
  if (!text) return std::nullopt;
  try {
    return *text;
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // a copy that cannot be made leaves the field absent
  }
}

}  // namespace

// ---- Accessors ----

const std::u16string* title(const FeedItem* item) { return item ? textOf(item->title) : nullptr; }
const std::u16string* subject(const FeedItem* item) {
  return item ? textOf(item->subject) : nullptr;
}
const std::u16string* description(const FeedItem* item) {
  return item ? textOf(item->description) : nullptr;
}
const std::u16string* content(const FeedItem* item) {
  return item ? textOf(item->content) : nullptr;
}
const std::u16string* guid(const FeedItem* item) { return item ? textOf(item->guid) : nullptr; }
const std::u16string* author(const FeedItem* item) {
  return item ? textOf(item->author) : nullptr;
}
const std::u16string* department(const FeedItem* item) {
  return item ? textOf(item->department) : nullptr;
}
const std::u16string* commentCount(const FeedItem* item) {
  return item ? textOf(item->commentCount) : nullptr;
}
const std::u16string* diggCount(const FeedItem* item) {
  return item ? textOf(item->diggCount) : nullptr;
}
const std::u16string* duration(const FeedItem* item) {
  return item ? textOf(item->duration) : nullptr;
}
const std::u16string* userImage(const FeedItem* item) {
  return item ? textOf(item->userImage) : nullptr;
}
const std::u16string* postId(const FeedItem* item) {
  return item ? textOf(item->postId) : nullptr;
}

const std::u16string* contentOrDescription(const FeedItem* item) {
  if (!item) return nullptr;
  return item->content ? &*item->content : textOf(item->description);
}

const std::u16string* linkOrGuid(const FeedItem* item) {
  if (!item) return nullptr;
  return item->link ? &*item->link : textOf(item->guid);
}

std::u16string itemDateText(const FeedItem* item, bool relative) {
  if (!item) return {};
  platform::FileTime when = item->date;
  if (when == 0 && item->list) when = item->list->date;
  return DateText(when, relative, /*withSeconds=*/false);
}

ChannelNode* channelOf(const FeedItem* item) {
  return item && item->list ? item->list->channel : nullptr;
}

// ---- Identity ----

uint32_t itemKey(const FeedItem* item) {
  if (!item) return 0;
  if (item->guid) return Crc32OfText(*item->guid, kCrc32StandardStart);
  if (item->title) return Crc32OfText(*item->title, kCrc32StandardStart);
  return 0;
}

FeedItem* findByKey(ItemList* list, uint32_t key) {
  if (!list) return nullptr;
  for (FeedItem* item = list->first; item; item = item->next) {
    if (itemKey(item) == key) return item;
  }
  return nullptr;
}

namespace {

// The link and title rules: both present and different, or present on one side only, tells
// the items apart.
bool textsTellApart(const OptionalText& a, const OptionalText& b) {
  if (a.has_value() != b.has_value()) return true;
  return a && *a != *b;
}

}  // namespace

bool sameItem(const FeedItem* existing, const FeedItem* incoming) {
  if (!existing || !incoming) return false;
  if (existing->guid && incoming->guid) return *existing->guid == *incoming->guid;
  if (textsTellApart(existing->link, incoming->link)) return false;
  if (textsTellApart(existing->title, incoming->title)) return false;
  if (existing->guid.has_value() != incoming->guid.has_value()) {
    // A feed that added guids later: the dates decide, when both are known.
    return existing->date == 0 || incoming->date == 0 || existing->date == incoming->date;
  }
  return true;
}

// ---- Flags ----

bool isRead(const FeedItem* item) { return item && readState(item) == kReadStateRead; }

bool setRead(FeedItem* item, bool read) {
  if (!item) return false;
  const uint32_t oldState = readState(item);
  const uint32_t newState = read ? kReadStateRead : kReadStateUnread;
  item->flags = (item->flags & ~kReadStateMask) | newState;
  if (oldState != newState && item->list) {
    ItemList* list = item->list;
    const bool wasUnread = oldState != kReadStateRead;
    if (wasUnread != !read) list->unreadCount += read ? -1 : 1;
    list->dirty = true;
    updateChannelCounts(list);
  }
  return oldState == kReadStateRead;
}

bool isNew(const FeedItem* item) { return item && hasNewBit(item); }

bool setNew(FeedItem* item, bool isNewItem) {
  if (!item) return false;
  const bool previous = hasNewBit(item);
  if (previous == isNewItem) return previous;
  item->flags ^= kItemNewBit;
  if (ItemList* list = item->list) {
    list->newCount += isNewItem ? 1 : -1;
    list->dirty = true;
    updateChannelCounts(list);
  }
  return previous;
}

bool isLocked(const FeedItem* item) { return item && hasLockedBit(item); }

bool setLocked(FeedItem* item, bool locked) {
  if (!item) return false;
  const bool previous = hasLockedBit(item);
  if (previous == locked) return previous;
  item->flags ^= kItemLockedBit;
  if (ItemList* list = item->list) {
    list->lockedCount += locked ? 1 : -1;
    list->dirty = true;
  }
  return previous;
}

bool serviceRead(const FeedItem* item) { return item && serviceReadValue(item) == 1; }

bool setServiceRead(FeedItem* item, bool read) {
  if (!item) return false;
  const bool previous = serviceReadValue(item) == 1;
  item->flags = (item->flags & ~kServiceReadMask) | ((read ? 1u : 0u) << kServiceReadShift);
  if (previous != read) markDirty(item);
  return previous;
}

// ---- Enclosures ----

bool hasEnclosure(const FeedItem* item) {
  return item && item->enclosure && item->enclosure->url.has_value();
}

int32_t getEnclosureState(const FeedItem* item) {
  return item && item->enclosure ? item->enclosure->state : kEnclosureNotRetrieved;
}

int32_t setEnclosureState(FeedItem* item, int32_t state) {
  if (!item || !item->enclosure) return kEnclosureNotRetrieved;
  const int32_t previous = item->enclosure->state;
  if (state < kEnclosureNotRetrieved || state > kEnclosureError) return previous;
  if (previous != state) {
    item->enclosure->state = state;
    markDirty(item);
  }
  return previous;
}

void setEnclosureStateText(FeedItem* item, std::optional<std::u16string_view> text) {
  if (!item || !item->enclosure) return;
  try {
    item->enclosure->stateText = text ? OptionalText(std::u16string(*text)) : std::nullopt;
  } catch (const std::bad_alloc&) {
    item->enclosure->stateText.reset();
  }
  markDirty(item);
}

OptionalText enclosureMajorType(const FeedItem* item) {
  if (!item || !item->enclosure || !item->enclosure->type) return std::nullopt;
  const std::u16string& type = *item->enclosure->type;
  return type.substr(0, type.find(u'/'));
}

int32_t enclosureLength(const FeedItem* item) {
  return item && item->enclosure ? item->enclosure->length : -1;
}

std::u16string enclosureLocalPath(const FeedItem* item) {
  if (!hasEnclosure(item)) return {};
  return LocalPathFor(channelOf(item), *item->enclosure->url, kLocalPodcast);
}

bool enclosureRetrieved(const FeedItem* item) { return IsEnclosureStored(item); }

bool webContentCached(const FeedItem* item) { return HasCachedWebContent(item); }

// ---- Structure ----

std::unique_ptr<ItemList> newList(ChannelNode* channel, FeedKind kind) {
  std::unique_ptr<ItemList> list(new (std::nothrow) ItemList);
  if (!list) return nullptr;
  list->channel = channel;
  list->kind = kind;
  return list;
}

FeedItem* insertItem(ItemList* list, std::unique_ptr<FeedItem> owned) {
  if (!list || !owned) return nullptr;
  if (owned->list) {
    // Still in some list, which owns it: freeing it here would free it twice.
    (void)owned.release();
    return nullptr;
  }
  FeedItem* item = owned.release();
  FeedItem* last = list->lastItemHint;
  const bool hintUsable = last && last->list == list && !last->next;
  if (!list->first) {
    list->first = item;
    list->lastItemHint = item;
    list->dateFloorHint = item->date;
  } else if (hintUsable && item->date <= list->dateFloorHint) {
    // Not newer than any item: the walk below would end at the tail.
    last->next = item;
    list->lastItemHint = item;
    list->dateFloorHint = item->date;
  } else {
    FeedItem** link = &list->first;
    platform::FileTime lowest = item->date;
    while (*link && item->date <= (*link)->date) {
      if ((*link)->date < lowest) lowest = (*link)->date;
      link = &(*link)->next;
    }
    item->next = *link;
    *link = item;
    if (!item->next) {
      // The whole chain was seen: both hints can be trusted from here on.
      list->lastItemHint = item;
      list->dateFloorHint = lowest;
    } else if (hintUsable && item->date < list->dateFloorHint) {
      list->dateFloorHint = item->date;
    }
  }
  item->list = list;
  countItem(list, item);
  list->dirty = true;
  updateChannelCounts(list);
  return item;
}

std::unique_ptr<FeedItem> unlinkItem(FeedItem* item) {
  if (!item || !item->list) return nullptr;
  ItemList* list = item->list;
  FeedItem** link = &list->first;
  FeedItem* previous = nullptr;
  while (*link && *link != item) {
    previous = *link;
    link = &(*link)->next;
  }
  if (!*link) return nullptr;
  detachAt(list, link, previous);
  list->dirty = true;
  updateChannelCounts(list);
  return std::unique_ptr<FeedItem>(item);
}

void deleteItem(FeedItem* item) {
  if (!item || !item->list) return;
  ChannelNode* channel = channelOf(item);
  DeleteEnclosure(item);
  if (const std::u16string* body = contentOrDescription(item)) {
    const std::u16string* base = linkOrGuid(item);
    ScanItemImages(*body, base ? std::u16string_view(*base) : std::u16string_view(), channel,
                   ImageScanMode::kDelete);
  }
  unlinkItem(item);  // the returned owner frees it
}

bool markAll(ItemList* list, bool read) {
  if (!list) return false;
  const uint32_t wanted = read ? kReadStateRead : kReadStateUnread;
  bool changed = false;
  for (FeedItem* item = list->first; item; item = item->next) {
    if (readState(item) != wanted) {
      item->flags = (item->flags & ~kReadStateMask) | wanted;
      changed = true;
    }
  }
  if (changed) {
    list->unreadCount = read ? 0 : list->totalCount;
    list->dirty = true;
    updateChannelCounts(list);
  }
  return changed;
}

FeedItem* nthItem(ItemList* list, int32_t n) {
  if (!list || n < 1) return nullptr;
  FeedItem* item = list->first;
  while (item && --n > 0) item = item->next;
  return item;
}

int forEachItem(ItemList* list, ItemVisitor visit, void* context) {
  int result = 1;
  if (!list || !visit) return result;
  for (FeedItem* item = list->first; item;) {
    FeedItem* next = item->next;  // the visitor may not remove items, but may read on
    result = visit(item, context);
    if (result == 0) break;
    item = next;
  }
  return result;
}

std::unique_ptr<FeedItem> copyItem(const FeedItem* item) {
  if (!item) return nullptr;
  std::unique_ptr<FeedItem> copy(new (std::nothrow) FeedItem);
  if (!copy) return nullptr;
  copy->flags = item->flags;
  copy->title = copyText(item->title);
  copy->link = copyText(item->link);
  copy->description = copyText(item->description);
  copy->subject = copyText(item->subject);
  copy->content = copyText(item->content);
  copy->author = copyText(item->author);
  copy->department = copyText(item->department);
  copy->commentCount = copyText(item->commentCount);
  copy->diggCount = copyText(item->diggCount);
  copy->duration = copyText(item->duration);
  copy->userImage = copyText(item->userImage);
  copy->postId = copyText(item->postId);
  copy->date = item->date;
  copy->modified = item->modified;
  copy->guid = copyText(item->guid);
  copy->sequence = item->sequence;
  if (item->enclosure) {
    copy->enclosure = new (std::nothrow) Enclosure;
    if (copy->enclosure) {
      copy->enclosure->state = item->enclosure->state;
      copy->enclosure->stateText = copyText(item->enclosure->stateText);
      copy->enclosure->url = copyText(item->enclosure->url);
      copy->enclosure->length = item->enclosure->length;
      copy->enclosure->type = copyText(item->enclosure->type);
    }
  }
  return copy;
}

void freeList(ItemList* list) { delete list; }

}  // namespace nubrel
