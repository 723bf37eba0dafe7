// The item records of a channel: FeedItem, Enclosure, ItemList and FeedKind, with the operations
// every other subsystem performs on them (flags and counters, identity, insertion, merge, expiry,
// sorting, view filters, keywords). The parser that builds lists is feed_parser.h; the item file
// that stores them is item_file.h; the files of enclosures and pages are offline/'s.
//
// Invariants:
//  (1) totalCount, unreadCount, lockedCount and newCount equal the counts over the list.
//  (2) Whenever unreadCount or newCount changes and the list has a channel, the channel's cached
//      counts follow through SetCounts (subscriptions/channel_tree.h).
//  (3) The list owns its items; an item owns its enclosure and texts.
// Items and lists are reached only through their channel, under the channel's lock; nothing here
// locks by itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/file_time.h"

namespace nubrel {

struct ChannelNode;
struct ItemList;

// A text that may be absent (null in the stored form), as distinct from present and empty.
using OptionalText = std::optional<std::u16string>;

// ---- Records ----

// The letter stored in the item file is N, P, R, D or E.
enum EnclosureState : int32_t {
  kEnclosureNotRetrieved = 0,  // N (also any unrecognised letter)
  kEnclosurePending = 1,       // P: queued for retrieval
  kEnclosureRetrieved = 2,     // R: the local file exists
  kEnclosureDeleted = 3,       // D: the local file was removed
  kEnclosureError = 4,         // E: retrieval failed or was cancelled; stateText says why
};

struct Enclosure {
  int32_t state = kEnclosureNotRetrieved;
  OptionalText stateText;  // the reason of the last failure (state E)
  OptionalText url;        // address of the media file
  int32_t length = -1;     // bytes as the feed declares them; -1 when not declared
  OptionalText type;       // MIME type
};

// Bits of FeedItem::flags.
inline constexpr uint32_t kReadStateMask = 0x3;  // 0 unread, 1 read, 2 undetermined
inline constexpr uint32_t kReadStateUnread = 0;
inline constexpr uint32_t kReadStateRead = 1;
inline constexpr uint32_t kReadStateUndetermined = 2;
inline constexpr uint32_t kItemNewBit = 0x4;
inline constexpr uint32_t kItemLockedBit = 0x8;
inline constexpr uint32_t kServiceReadShift = 4;  // bits 4-5: 0 unread, 1 read, 2 not reported
inline constexpr uint32_t kServiceReadMask = 0x30;
// A record fresh from the parser: read state undetermined, new, not locked, service silent.
inline constexpr uint32_t kParsedItemFlags = 0x26;

struct FeedItem {
  FeedItem* next = nullptr;  // the next (older) item; owned by the list
  uint32_t flags = 0;
  ItemList* list = nullptr;  // the list that holds the item; null while detached
  OptionalText title;
  OptionalText link;
  OptionalText description;
  OptionalText subject;
  OptionalText content;
  Enclosure* enclosure = nullptr;  // owned
  OptionalText author;
  OptionalText department;
  OptionalText commentCount;
  OptionalText diggCount;
  OptionalText duration;
  OptionalText userImage;
  OptionalText postId;
  platform::FileTime date = 0;      // publication date, UTC; 0 = not set
  platform::FileTime modified = 0;  // last-modified date (Atom)
  OptionalText guid;
  int32_t sequence = 0;  // position after the last parse or merge, 0 = first

  FeedItem() = default;
  FeedItem(const FeedItem&) = delete;
  FeedItem& operator=(const FeedItem&) = delete;
  ~FeedItem();  // frees the enclosure, never the next item
};

// The dialect a feed was written in.
enum FeedKind : int32_t {
  kFeedRss091 = 0,
  kFeedRss092 = 1,  // 0.92, 0.93 or 0.94
  kFeedRdf = 2,     // RSS 1.0
  kFeedRss20 = 3,
  kFeedAtom = 4,
  kFeedRssUnknown = 5,  // RSS of unrecognised or missing version
};

struct ItemList {
  FeedItem* first = nullptr;        // newest item; the chain is owned by the list
  ChannelNode* channel = nullptr;   // owning channel; null for a feed parsed for no channel
  bool dirty = false;               // set by every change; cleared when written or loaded
  FeedKind kind = kFeedRssUnknown;
  int32_t totalCount = 0;
  int32_t unreadCount = 0;  // read state not 1 (unread and undetermined)
  int32_t lockedCount = 0;
  int32_t newCount = 0;
  OptionalText title, link, description, language, copyright, managingEditor, webMaster;
  OptionalText imageUrl;    // as the feed gives it (may be relative)
  OptionalText faviconUrl;  // derived on first request, never read from a feed
  platform::FileTime date = 0;  // the parse time when the feed gives none
  OptionalText updatePeriod;
  OptionalText updateFrequency;
  uint32_t skipDays = 0;   // bit 0 Sunday ... bit 6 Saturday
  uint32_t skipHours = 0;  // bit n for hour n

  ItemList() = default;
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  ~ItemList();  // frees every item (iteratively: lists can be long)
};

}  // namespace nubrel
