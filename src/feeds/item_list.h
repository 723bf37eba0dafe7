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
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_time.h"

namespace nubrel {

struct ChannelNode;
struct ItemList;
struct KeywordList;

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
  // Insertion hints, kept by insertItem and the unlinking operations only: the last item (null:
  // not known) and a date no later than any item's. With them a feed that arrives newest first
  // is appended in constant time rather than by walking the chain for every item. They are why
  // the chain is changed through these operations only, never relinked by hand.
  FeedItem* lastItemHint = nullptr;
  platform::FileTime dateFloorHint = 0;

  ItemList() = default;
  ItemList(const ItemList&) = delete;
  ItemList& operator=(const ItemList&) = delete;
  ~ItemList();  // frees every item (iteratively: lists can be long)
};


// ---- Field accessors ----
// Each accepts a null item and then answers null (or 0, false, -1 as stated).

const std::u16string* title(const FeedItem* item);
const std::u16string* subject(const FeedItem* item);
const std::u16string* description(const FeedItem* item);
const std::u16string* content(const FeedItem* item);
const std::u16string* guid(const FeedItem* item);
const std::u16string* author(const FeedItem* item);
const std::u16string* department(const FeedItem* item);
const std::u16string* commentCount(const FeedItem* item);
const std::u16string* diggCount(const FeedItem* item);
const std::u16string* duration(const FeedItem* item);
const std::u16string* userImage(const FeedItem* item);
const std::u16string* postId(const FeedItem* item);
// `content` when present, else `description`: the body shown and scanned for images.
const std::u16string* contentOrDescription(const FeedItem* item);
// `link` when present, else `guid`: the address opened, cached or shared.
const std::u16string* linkOrGuid(const FeedItem* item);
// The display text (DateText without seconds) of the item's date, or of its list's date when the
// item's is zero. A value, not a shared buffer, so any thread may call it.
std::u16string itemDateText(const FeedItem* item, bool relative);
// The channel of the item's list; null when detached or when the list has no channel.
ChannelNode* channelOf(const FeedItem* item);

// ---- Identity ----

// CRC-32 (standard start, complemented) of the guid's UTF-16LE bytes, or of the title when there
// is no guid; 0 when the item has neither. Tasks, the web cache and the list view key items so.
uint32_t itemKey(const FeedItem* item);
// The first item of the list whose key is `key`; null when none (or for key 0 without a match).
FeedItem* findByKey(ItemList* list, uint32_t key);
// Whether an incoming item is a stored one again (guid, then link, title and dates; see the
// rules at the definition). Null on either side: false.
bool sameItem(const FeedItem* existing, const FeedItem* incoming);

// ---- Flags and counters ----
// Each setter returns the previous value; a change marks the item's list dirty and keeps the
// counters (and, for read and new, the channel's counts) true.

bool isRead(const FeedItem* item);   // read state 1
bool setRead(FeedItem* item, bool read);  // also resolves an undetermined state
bool isNew(const FeedItem* item);
bool setNew(FeedItem* item, bool isNewItem);
bool isLocked(const FeedItem* item);
bool setLocked(FeedItem* item, bool locked);
bool serviceRead(const FeedItem* item);  // the service reports the item read (value 1)
bool setServiceRead(FeedItem* item, bool read);

// ---- Enclosures ----

// An enclosure with a URL.
bool hasEnclosure(const FeedItem* item);
// The state code (EnclosureState); N for an item without an enclosure.
int32_t getEnclosureState(const FeedItem* item);
// Stores a state 0..4 when the item has an enclosure (other codes are refused); returns the
// previous state. A change marks the list dirty.
int32_t setEnclosureState(FeedItem* item, int32_t state);
// Replaces the state text (nullopt clears it) when the item has an enclosure; marks dirty.
void setEnclosureStateText(FeedItem* item, std::optional<std::u16string_view> text);
// The MIME type up to its first "/"; absent without an enclosure or type.
OptionalText enclosureMajorType(const FeedItem* item);
// The declared length; -1 without an enclosure.
int32_t enclosureLength(const FeedItem* item);
// The channel's podcast-folder path for the enclosure URL; empty without one (no channel, no URL).
std::u16string enclosureLocalPath(const FeedItem* item);
// State not P and the local file there (offline/enclosure_files.h IsEnclosureStored).
bool enclosureRetrieved(const FeedItem* item);
// The stored copy of the item's page (linkOrGuid after the optimiser rewrite) is there.
bool webContentCached(const FeedItem* item);

// ---- List life and structure ----

// An empty list for the channel (which may be null), all counters 0, not dirty. Null only when
// memory runs out.
std::unique_ptr<ItemList> newList(ChannelNode* channel, FeedKind kind);
// Inserts by date (newest first; an equal date goes after the items already there, a zero date
// to the end), counts the item's flags, marks dirty, updates the channel's counts. Returns the
// item now owned by the list; without a list (or item) the item is freed and null returned.
FeedItem* insertItem(ItemList* list, std::unique_ptr<FeedItem> item);
// Takes the item out of its list, uncounting its flags; marks dirty, updates the channel's
// counts. The caller then owns it. Null when the item is detached or not found in its list.
std::unique_ptr<FeedItem> unlinkItem(FeedItem* item);
// For an item in a list: deletes its enclosure file (state D) and the cached images its body
// refers to, unlinks and frees it. A detached item is left to its owner.
void deleteItem(FeedItem* item);
// Every item read (or unread); when anything changed the counters follow, the list is dirty and
// the channel's counts updated. Returns whether anything changed.
bool markAll(ItemList* list, bool read);
// Resolves undetermined read states (to the service's verdict, else unread), optionally clears
// every new bit, recounts unread and new items; marks dirty and updates the channel when
// anything changed.
void finalizeStates(ItemList* list, bool clearNew);
// Brings a freshly parsed list into the stored one: changed fields of known items, unknown items
// moved over by date, the channel image and favicon queued when their files are missing,
// sequences renumbered. `incoming` keeps what was not moved; the caller frees it.
void mergeInto(ItemList* existing, ItemList* incoming);
// Removes the items beyond the retention limits ("15i" items, "7d" days), never a locked one,
// deleting their enclosure files and cached images. Returns whether any item was removed.
bool expire(ItemList* list, std::u16string_view unreadLimit, std::u16string_view readLimit);
// The n-th item, counting from 1; null when there is none.
FeedItem* nthItem(ItemList* list, int32_t n);
// visit(item, context) on each item in order while it returns non-zero; returns the last result
// (1 for an empty list).
using ItemVisitor = int (*)(FeedItem* item, void* context);
int forEachItem(ItemList* list, ItemVisitor visit, void* context);
// A deep copy (texts, enclosure, flags, dates, sequence); next and list null.
std::unique_ptr<FeedItem> copyItem(const FeedItem* item);
// Frees the list and everything it owns (the same as destroying it).
void freeList(ItemList* list);

// ---- Channel texts ----

enum ListTextCode : int {
  kListTitle = 1,
  kListDescription = 2,      // empty text when none
  kListImageUrl = 3,         // absolute (absoluteImageUrl)
  kListFaviconUrl = 4,       // absoluteFaviconUrl
  kListLanguage = 5,
  kListCopyright = 6,
  kListUpdatePeriod = 7,     // empty text when none
  kListUpdateFrequency = 8,  // empty text when none
};
// The list's text by code; absent for an unknown code, a null list or an absent text.
OptionalText listText(ItemList* list, int which);
// The channel image's address: as stored when it begins with "http://" or "https://", else
// "http://" + host of the channel link + the stored text, which is stored back in place. As
// stored when the link has no host; absent without an image.
OptionalText absoluteImageUrl(ItemList* list);
// "http://" + host of the channel link + "/favicon.ico", computed once and kept in faviconUrl;
// absent when the link has no host.
OptionalText absoluteFaviconUrl(ItemList* list);
// The host of an address: after "scheme://", up to "/", ":", "?", "#" or the end. Absent when
// there is no "://" or no host.
OptionalText UrlHostName(std::u16string_view url);
// The feed's own period in minutes (syn:updatePeriod / syn:updateFrequency); 0 when none.
int32_t updateIntervalMinutes(const ItemList* list);

// ---- Sorting, views and keywords ----

// Sort keys of compareItems; kSortDescending may be added to any of them.
enum ItemSortKey : int {
  kSortNone = 0,
  kSortDate = 1,
  kSortRead = 2,
  kSortKeyword = 3,
  kSortLock = 4,
  kSortNew = 5,
  kSortTitle = 6,
  kSortEnclosure = 7,
  kSortSequence = 8,  // and any other code
};
inline constexpr int kSortDescending = 0x4000;
// < 0, 0, > 0 in the ascending order of the key (negated with kSortDescending). keywords (may
// be null) serve the keyword key only.
int compareItems(const FeedItem* a, const FeedItem* b, int key, const KeywordList* keywords);

// View filter codes of passesFilter and count.
enum ItemFilterCode : int {
  kFilterAll = 1,
  kFilterUnread = 2,
  kFilterLocked = 3,
  kFilterEnclosure = 4,
  kFilterKeyword = 5,
  kFilterRetrievedEnclosure = 6,
  kFilterRetrievedWeb = 7,
  kFilterNew = 8,
  kFilterToday = 10,
  kFilterYesterday = 11,
  kFilterLast24Hours = 12,
  kFilterThisWeek = 13,
  kFilterLastWeek = 14,
};
bool passesFilter(const FeedItem* item, int code, const KeywordList* keywords);
// Codes 1, 2, 3, 8: the counters; 4-7 and 10-14: the items that pass; any other code: 0.
int32_t count(ItemList* list, int filterCode, const KeywordList* keywords);
// Any keyword as a case-sensitive substring of the title, description, subject or content.
// The keywords are the root's (guarded by the root's lock, which the caller holds or copies
// under). No list or no keywords: false.
bool matchesKeywords(const FeedItem* item, const KeywordList* keywords);

}  // namespace nubrel
