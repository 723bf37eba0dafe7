// Refreshing one channel (refreshChannel) and the pass that follows a merge (processItems); see
// channel_refresh.h. The transfer is http_transfer's, parsing and merging feeds/', the queue
// retrieval.cpp's; this file decides what happens in which order and what the channel records.
//
// Contents: Load · Due check · Request · Transfer and parse · Storing the outcome · Refresh ·
// Post-refresh pass
//
// A refresh, with the channel's lock held except where marked:
//   load stored items --> due? --no--> resolve states --------------------------------> done
//                           |yes
//                           v
//   connectNetwork --fail--> "Unable to open Internet connection" -----------------------> done
//        | ok
//        v
//   [unlocked: transfer, parse]  --> relock (channel gone: stop, touch nothing) --> outcome
//        --> state file --> releaseNetwork --> done
//
// What a broken server can never do: a failed transfer, a body that does not decode or parse,
// or an empty body leaves the stored list, the validators and the item file as they were. The
// validators describe the document the list was last built from, so they change only with it;
// otherwise the next conditional request would answer 304 for a document never taken in.
#include "retrieval/channel_refresh.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/settings.h"
#include "core/status_text.h"
#include "core/string_table.h"
#include "core/trace_log.h"
#include "feeds/dates.h"
#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "feeds/item_list.h"
#include "offline/enclosure_files.h"
#include "offline/image_files.h"
#include "offline/local_files.h"
#include "platform/device_time.h"
#include "retrieval/http_transfer.h"
#include "retrieval/retrieval.h"
#include "retrieval/retrieval_hooks.h"
#include "retrieval/whole_file.h"
#include "shared/folders.h"
#include "shared/text.h"
#include "subscriptions/channel_ids.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {

namespace {

constexpr int kStringSuccess = 2000;
constexpr int kStringNoChanges = 2003;
constexpr int kStringNoConnection = 2005;

constexpr uint32_t kSyncBloglines = 0;
constexpr uint32_t kSyncNewsGator = 1;

// A feed that names no code page of its own is read as UTF-8 unless the answer says otherwise.
constexpr int32_t kFeedDefaultCodePage = 65001;
// The update interval of a channel that follows its feed when the feed gives no period.
constexpr int32_t kDefaultIntervalMinutes = 60;
// Half a minute of slack, so that a scheduled update that fires a little early still finds the
// channel due.
constexpr platform::FileTime kDueAllowance = kFileTimeMinute / 2;
// Days further back than this are all the same for the enclosure cut-off (and keep
// localDayStart within the calendar).
constexpr int64_t kMaxEnclosureDays = 36500;

std::u16string NowText() { return formatIsoDate(platform::CurrentFileTime()); }

void SetStatusString(ChannelNode* channel, int number) {
  SetLastStatus(channel, LoadStringText(number));
}

bool IsNewsGatorChannel(ChannelNode* channel) {
  return GetSyncId(channel) != 0 && GetSyncService(channel) == kSyncNewsGator;
}

// A per-channel limit when the channel has one, else the program's setting.
std::u16string LimitOr(const OptionalText& channelLimit, std::u16string (*setting)()) {
  return channelLimit && !channelLimit->empty() ? *channelLimit : setting();
}

// ---- Load ----

// The channel's stored items, read when it has none yet; mode 4 settles for an empty list. Not
// AttachItems: loading is no retrieval, and must leave the times and status as they are (a
// fresh last-success time would make the channel look refreshed). Caller holds the lock.
void LoadStoredItems(ChannelNode* channel, int32_t mode) {
  if (channel->items) return;
  std::unique_ptr<ItemList> list = readItemFile(channel);
  if (list) {
    finalizeStates(list.get(), /*clearNew=*/false);
  } else if (mode == kRefreshLoadOrCreate) {
    list = newList(channel, kFeedRssUnknown);
  }
  if (!list) return;
  list->channel = channel;
  channel->items = std::move(list);
}

// ---- Due check ----

// Unlike IsUpdateDue (the interface's question before a refresh), a last success that does not
// parse leaves the channel due: only a readable time can show that the interval has not passed.
bool IsRefreshDue(ChannelNode* channel, int32_t mode) {
  if (mode == kRefreshConditionalNow) return true;  // asked for outright, interval or not
  const int32_t configured = GetUpdateInterval(channel);
  const bool due = configured != 0 || mode == kRefreshForced;
  if (mode != kRefreshIfDue) return due;
  const OptionalText lastSuccessText = GetLastSuccess(channel);
  platform::FileTime lastSuccess = 0;
  if (!lastSuccessText || !parseIsoDate(*lastSuccessText, lastSuccess)) return due;
  int64_t interval = configured;
  if (interval == -1) {
    const int32_t feedPeriod = updateIntervalMinutes(channel->items.get());
    interval = feedPeriod > 0 ? feedPeriod : kDefaultIntervalMinutes;
  }
  if (interval == 0) return false;
  const int64_t now = static_cast<int64_t>(platform::CurrentFileTime());
  const int64_t elapsed =
      now - static_cast<int64_t>(lastSuccess) + static_cast<int64_t>(kDueAllowance);
  return elapsed >= interval * static_cast<int64_t>(kFileTimeMinute);
}

// ---- Transfer and parse ----

struct FetchResult {
  int32_t result = kUrlSuccess;
  bool hasBody = false;
  std::unique_ptr<ItemList> parsed;  // for no channel yet: the lock was not held while parsing
  std::u16string parseError;
  OptionalText lastModified;  // what was sent, replaced by the answer's on success
  OptionalText etag;
};

// A copy of a document that failed to parse, for inspection. writeWholeFile replaces the whole
// file, so a shorter document leaves no tail of a longer one.
void WriteParseFailureLog(const OptionalText& title, std::string_view document) {
  platform::DeviceError error = 0;
  if (!writeWholeFile(ParseFailureLogPath(title), document.data(), document.size(), &error)) {
    TraceNumber("RETRIEVE: log write failed : ", error);
  }
}

// Runs with the channel's lock released: nothing here may touch the node. The parse is made for
// no channel (it would update the channel's counts) and the list given to it once the lock is
// back.
void FetchAndParse(const UrlRequest& request, const OptionalText& title, bool clippings,
                   FetchResult& fetch) {
  Trace("RETRIEVE: load URL");
  if (clippings) return;  // never loaded: success without a body
  std::string body;
  int32_t codePage = kFeedDefaultCodePage;
  fetch.result = loadUrlToMemory(request, body, &fetch.lastModified, &fetch.etag, &codePage,
                                 nullptr, CurrentTaskProgress());
  if (fetch.result != kUrlSuccess || body.empty()) return;
  fetch.hasBody = true;
  fetch.parsed = parseFeed(nullptr, body, codePage, /*fromFeed=*/true, &fetch.parseError);
  if (!fetch.parsed) WriteParseFailureLog(title, body);
}

// ---- Storing the outcome (lock held) ----

// Expiry, page pruning, the post-refresh pass and the item file, after a merge (or for the
// clippings channel, which has nothing to merge).
void TidyAndStore(ChannelNode* channel) {
  ItemList* list = channel->items.get();
  expire(list, LimitOr(GetExpireUnread(channel), &ExpireUnread),
         LimitOr(GetExpireRead(channel), &ExpireRead));
  if (const auto& prune = CurrentRetrievalWork().pruneWebCache) {
    prune(channel, LimitOr(GetExpireHtml(channel), &HtmlExpire));
  }
  processItems(channel);
  EnsureFolders(ChannelFolderPath(channel));
  // A failed write is not the refresh's failure: the list stays dirty and the next save of the
  // channel tries again.
  const std::u16string path = ItemFilePath(channel);
  if (!path.empty()) writeItemFile(path, channel->items.get());
}

void MergeParsed(ChannelNode* channel, std::unique_ptr<ItemList> parsed) {
  finalizeStates(parsed.get(), /*clearNew=*/false);
  if (ItemList* existing = channel->items.get()) {
    // Only what this retrieval brings in stays new.
    finalizeStates(existing, /*clearNew=*/true);
    mergeInto(existing, parsed.get());
    return;  // parsed keeps what was not moved and is freed here
  }
  AttachItems(channel, std::move(parsed));
}

void StoreSuccess(ChannelNode* channel) {
  SetStatusString(channel, kStringSuccess);
  SetLastSuccess(channel, NowText());
}

void StoreOutcome(ChannelNode* channel, bool clippings, FetchResult& fetch) {
  SetLastUpdated(channel, NowText());
  if (fetch.result == kUrlNotModified) {
    finalizeStates(channel->items.get(), /*clearNew=*/true);
    // The cleared new flags go to disk now, on this worker, as a merged list does: a crash later
    // cannot bring them back, and the save when the reader closes has nothing left to write.
    const std::u16string path = ItemFilePath(channel);
    if (!path.empty()) writeItemFile(path, channel->items.get());
    SetStatusString(channel, kStringNoChanges);
    SetLastSuccess(channel, NowText());
    Trace("RETRIEVE: not modified");
    return;
  }
  if (fetch.result != kUrlSuccess) {
    TraceNumber("RETRIEVE: error : ", fetch.result);
    SetLastStatus(channel, StatusText(kStatusPrefixRetrieveFeed, fetch.result));
    return;
  }
  if (fetch.parsed) {
    Trace("RETRIEVE: parse successful");
    SetLastModified(channel, fetch.lastModified);
    SetLastETag(channel, fetch.etag);
    fetch.parsed->channel = channel;
    MergeParsed(channel, std::move(fetch.parsed));
    TidyAndStore(channel);
    StoreSuccess(channel);
  } else if (clippings) {
    TidyAndStore(channel);
    StoreSuccess(channel);
  } else if (fetch.hasBody) {
    SetLastStatus(channel, fetch.parseError);
  }
}

// ---- Refresh ----

// The network part of a due refresh, from the request to the state file. Returns false when
// the channel was deleted (or its lock stayed busy) while the lock was released: the lock is
// then not held and the node must not be touched again.
bool FetchAndStore(ChannelNode* channel, int32_t mode) {
  const bool forced = mode == kRefreshForced;
  const bool clippings = IsClippings(channel);
  const UrlRequest request = buildChannelRequest(channel, forced);
  const OptionalText title = GetNodeText(channel, kNodeTitle);
  FetchResult fetch;
  // The service answers NewsGator requests in full every time.
  if (!forced && !IsNewsGatorChannel(channel)) {
    fetch.lastModified = GetLastModified(channel);
    fetch.etag = GetLastETag(channel);
  }

  UnlockNode(channel);  // the interface may read the channel during the transfer
  FetchAndParse(request, title, clippings, fetch);
  if (!LockRegisteredNode(channel, NodeLockTimeout())) return false;

  StoreOutcome(channel, clippings, fetch);
  SaveChannelState(channel);
  return true;
}

// The refresh modes, entered and (when true is returned) left with the lock held.
bool RefreshLocked(ChannelNode* channel, int32_t mode) {
  const bool due = IsRefreshDue(channel, mode);
  if (IsNewsGatorChannel(channel)) {
    if (const auto& upload = CurrentRetrievalWork().uploadReadChanges) {
      upload(channel);
      // The upload lets the lock go during its own transfer.
      if (!IsRegisteredNode(channel)) return false;
    }
  }
  const OptionalText title = GetNodeText(channel, kNodeTitle);
  TraceText("RETRIEVE: channel : ", title ? std::u16string_view(*title) : u"NULL");
  if (!due) {
    finalizeStates(channel->items.get(), /*clearNew=*/false);
    Trace("RETRIEVE: interval not passed");
    return true;
  }
  platform::NetworkConnection connection = connectNetwork();
  if (!connection.IsOpen()) {
    Trace("RETRIEVE: initurl failed");
    SetStatusString(channel, kStringNoConnection);
    SetLastUpdated(channel, NowText());
    return true;
  }
  const bool kept = FetchAndStore(channel, mode);
  releaseNetwork(connection);
  return kept;
}

// ---- Post-refresh pass ----

struct ProcessContext {
  ChannelNode* channel = nullptr;
  uint32_t channelId = 0;
  bool daysMode = false;
  int64_t budget = 0;            // count mode: enclosures still allowed
  platform::FileTime cutoff = 0; // days mode: enclosures of items before it are old
  bool cacheImages = false;
  bool mayCache = false;
  bool cacheHtml = false;
  int32_t depth = 0;
  bool cacheEnclosures = false;
  int32_t sizeLimitMB = 0;
  int32_t unread = 0;
  int32_t fresh = 0;
};

ProcessContext MakeProcessContext(ChannelNode* channel) {
  ProcessContext context;
  context.channel = channel;
  context.channelId = GetNodeId(channel);
  const std::u16string limit = LimitOr(GetExpireEnclosures(channel), &EnclosureExpire);
  context.daysMode = !limit.empty() && limit.back() == u'd';
  const int64_t number = std::clamp<int64_t>(LeadingInteger(limit), 0, kMaxEnclosureDays);
  context.budget = number;
  context.cutoff = localDayStart(number >= 1 ? static_cast<int>(1 - number) : 0);
  context.cacheImages = CacheItemImage();
  context.mayCache = MayCacheNow();
  context.cacheHtml = GetCacheHtml(channel) != 0;
  context.depth = GetCacheDepth(channel);
  context.cacheEnclosures = GetCacheEnclosures(channel) != 0;
  context.sizeLimitMB = GetEnclosureSizeLimitMB(channel);
  return context;
}

void PostItemChanged(FeedItem* item) {
  PostToMainWindow(kMessageEnclosureChanged, reinterpret_cast<uintptr_t>(item));
}

void QueueItemImages(ProcessContext& context, FeedItem* item) {
  const std::u16string* link = linkOrGuid(item);
  if (const std::u16string* body = contentOrDescription(item)) {
    ScanItemImages(*body, link ? std::u16string_view(*link) : std::u16string_view(),
                   context.channel, ImageScanMode::kQueue);
  }
  if (const std::u16string* picture = userImage(item); picture && !picture->empty()) {
    const std::u16string path = LocalPathFor(context.channel, *picture, kLocalImage);
    if (!path.empty() && !LocalFileExists(path)) {
      QueueImage(*picture, context.channelId, /*conditional=*/true, /*startManager=*/true);
    }
  }
}

void QueueItemPage(ProcessContext& context, FeedItem* item) {
  const std::u16string* link = linkOrGuid(item);
  if (!link || link->empty()) return;
  QueueWebPage(OptimizedUrl(*link), context.channelId, itemKey(item), /*conditional=*/true,
               context.depth, /*startManager=*/true);
}

// Queues what the budget allows, then deletes the files that fell out of it.
void ProcessEnclosure(ProcessContext& context, FeedItem* item) {
  if (!hasEnclosure(item)) return;
  const int32_t state = getEnclosureState(item);
  if (context.cacheEnclosures && context.mayCache) {
    if (state == kEnclosureNotRetrieved || state == kEnclosurePending ||
        state == kEnclosureError) {
      const bool eligible =
          context.daysMode ? item->date >= context.cutoff : context.budget > 0;
      // Pending only with a task behind it: a refused task would leave the item waiting for a
      // download that never comes.
      if (eligible &&
          QueueEnclosure(*item->enclosure->url, context.channelId, itemKey(item),
                         /*conditional=*/true, context.sizeLimitMB, /*startManager=*/true)) {
        setEnclosureState(item, kEnclosurePending);
        PostItemChanged(item);
        if (!context.daysMode) --context.budget;
      }
    } else if (!context.daysMode) {
      --context.budget;  // R and D count against the limit as they stand
    }
  }
  const int32_t now = getEnclosureState(item);
  if ((now != kEnclosureRetrieved && now != kEnclosureError) ||
      !LocalFileExists(enclosureLocalPath(item))) {
    return;
  }
  const bool old = context.daysMode ? item->date < context.cutoff : context.budget < 0;
  if (old) {
    DeleteEnclosure(item);
    PostItemChanged(item);
  }
}

void ProcessItem(ProcessContext& context, FeedItem* item) {
  const std::u16string* itemTitle = title(item);
  TraceText("processItem: Title = ", itemTitle ? std::u16string_view(*itemTitle) : u"<NULL>");
  TraceText("processItem: ", isNew(item) ? u"NEW" : u"OLD");
  if (!isRead(item)) ++context.unread;
  if (isNew(item)) ++context.fresh;
  if (context.cacheImages) QueueItemImages(context, item);
  if (context.mayCache && !isRead(item) && context.cacheHtml) QueueItemPage(context, item);
  ProcessEnclosure(context, item);
}

}  // namespace

// ---- Entry points ----

ItemList* refreshChannel(ChannelNode* channel, int32_t mode) {
  // A worker finds its channel by id before it gets here; the interface may delete it between.
  if (!channel || !LockRegisteredNode(channel, NodeLockTimeout())) return nullptr;
  if (!HasFeedUrl(channel)) {
    UnlockNode(channel);
    return nullptr;
  }
  LoadStoredItems(channel, mode);
  if (mode == kRefreshIfDue || mode == kRefreshForced || mode == kRefreshConditionalNow) {
    const bool kept = RefreshLocked(channel, mode);
    Trace("RETRIEVE: channel completed");
    if (!kept) return nullptr;  // deleted meanwhile: its lock and list went with it
  }
  ItemList* list = channel->items.get();
  UnlockNode(channel);
  return list;
}

UrlRequest buildChannelRequest(ChannelNode* channel, bool forced) {
  UrlRequest request;
  request.user = GetNodeText(channel, kNodeUserName);
  request.password = GetNodeText(channel, kNodePassword);
  if (GetSyncId(channel) == 0) {
    request.url = GetNodeText(channel, kNodeXmlUrl);
    return request;
  }
  const uint32_t service = GetSyncService(channel);
  const auto& serviceUrl = CurrentRetrievalWork().serviceItemsUrl;
  // Any other service, or none plugged in, gives an empty address: the refresh reports it.
  request.url = (service == kSyncBloglines || service == kSyncNewsGator) && serviceUrl
                    ? serviceUrl(channel, forced)
                    : std::u16string();
  return request;
}

void processItems(ChannelNode* channel) {
  NodeLockGuard held(channel);  // the caller's already; taken again so the pass stands alone
  if (!held) return;
  ProcessContext context = MakeProcessContext(channel);
  ItemList* list = channel->items.get();
  for (FeedItem* item = list ? list->first : nullptr; item; item = item->next) {
    ProcessItem(context, item);
  }
  SetCounts(channel, context.unread, context.fresh);
}

std::u16string ParseFailureLogPath(const OptionalText& channelTitle) {
  return u"\\My Documents\\" + FileNameForm(channelTitle ? *channelTitle : std::u16string()) +
         u".log";
}

}  // namespace nubrel
