// The ChannelState accessors: cached counts, the refresh's results and the channel's options
// with their validity rules and fallbacks. The record is channel_node.h; the state file that
// stores it is channel_state_file.cpp. Display forms of the dates are channel_state_texts.cpp.
#include <new>

#include "core/string_table.h"
#include "platform/device_time.h"
#include "shared/text.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

namespace {

constexpr int kStringNotSet = 121;
constexpr int kStringSuccess = 2000;
constexpr int kStringSuccessNoChanges = 2003;

// Runs read(state) under the node's lock; fallback without a state or a lock.
template <typename T, typename Read>
T ReadState(ChannelNode* node, T fallback, Read read) {
  NodeLockGuard held(node);
  if (!held || !node->state) return fallback;
  return read(*node->state);
}

// Runs change(state) under the node's lock and marks the state dirty; false without either.
template <typename Change>
bool ChangeState(ChannelNode* node, Change change) {
  NodeLockGuard held(node);
  if (!held || !node->state) return false;
  change(*node->state);
  node->state->dirty = true;
  return true;
}

bool StoreText(ChannelNode* node, OptionalText ChannelState::*field,
               std::optional<std::u16string_view> text) {
  return ChangeState(node, [&](ChannelState& s) {
    try {
      if (text) {
        s.*field = std::u16string(*text);
      } else {
        (s.*field).reset();
      }
    } catch (const std::bad_alloc&) {
      (s.*field).reset();
    }
  });
}

OptionalText ReadText(ChannelNode* node, OptionalText ChannelState::*field) {
  return ReadState<OptionalText>(node, std::nullopt, [&](ChannelState& s) { return s.*field; });
}

// Validate, then (unless only checking) store.
template <typename T>
bool SetOption(ChannelNode* node, T ChannelState::*field, T value, bool valid, bool checkOnly) {
  if (!valid) return false;
  if (checkOnly) return true;
  return ChangeState(node, [&](ChannelState& s) { s.*field = value; });
}

bool SetOptionText(ChannelNode* node, OptionalText ChannelState::*field,
                   std::optional<std::u16string_view> text, bool valid, bool checkOnly) {
  if (!valid) return false;
  if (checkOnly) return true;
  return StoreText(node, field, text);
}

// Retention limits of items and enclosures: "-1" (keep everything), "1i" to "999i" (items), or
// 1 to 31 followed by anything else (days).
bool IsValidExpireText(std::optional<std::u16string_view> text) {
  if (!text) return true;
  const int64_t n = LeadingInteger(*text);
  if (n == -1) return true;
  if (!text->empty() && text->back() == u'i') return n >= 1 && n <= 999;
  return n >= 1 && n <= 31;
}

// Stored pages are kept by days only.
bool IsValidExpireHtmlText(std::optional<std::u16string_view> text) {
  if (!text) return true;
  const int64_t n = LeadingInteger(*text);
  return n == -1 || (n >= 1 && n <= 31);
}

}  // namespace

// ---- Cached counts ----

void SetCounts(ChannelNode* node, int32_t unread, int32_t newItems) {
  NodeLockGuard held(node);
  if (!held || !node->state) return;
  ChannelState& s = *node->state;
  if (s.unreadItems == unread && s.newItems == newItems) return;
  s.unreadItems = unread;
  s.newItems = newItems;
  s.dirty = true;
}

void ResetCachedCounts(ChannelNode* node) {
  ChangeState(node, [](ChannelState& s) {
    s.cachedEnclosures = -1;
    s.cachedWeb = -1;
  });
}

int32_t GetUnreadItems(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.unreadItems; });
}
int32_t GetNewItems(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.newItems; });
}
int32_t GetEnclosureCount(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.enclosures; });
}
int32_t GetCachedEnclosures(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.cachedEnclosures; });
}
int32_t GetCachedWeb(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.cachedWeb; });
}

// ---- The refresh's results ----

OptionalText GetLastStatus(ChannelNode* node) {
  NodeLockGuard held(node);
  if (!held || !node->state) return LoadStringText(kStringNotSet);
  return node->state->lastStatus;
}
OptionalText GetLastUpdated(ChannelNode* node) { return ReadText(node, &ChannelState::lastUpdated); }
OptionalText GetLastSuccess(ChannelNode* node) { return ReadText(node, &ChannelState::lastSuccess); }
OptionalText GetLastETag(ChannelNode* node) { return ReadText(node, &ChannelState::lastETag); }
OptionalText GetLastModified(ChannelNode* node) {
  return ReadText(node, &ChannelState::lastModified);
}

bool IsLastStatusSuccess(ChannelNode* node) {
  NodeLockGuard held(node);
  // Without the lock nothing is known to have failed; say so rather than flag an error.
  if (!held || !node->state || !node->state->lastStatus) return true;
  const std::u16string& status = *node->state->lastStatus;
  return EqualsNoCase(status, LoadStringText(kStringSuccess)) ||
         EqualsNoCase(status, LoadStringText(kStringSuccessNoChanges));
}

bool SetLastStatus(ChannelNode* node, std::optional<std::u16string_view> text) {
  return StoreText(node, &ChannelState::lastStatus, text);
}
bool SetLastUpdated(ChannelNode* node, std::optional<std::u16string_view> text) {
  return StoreText(node, &ChannelState::lastUpdated, text);
}
bool SetLastSuccess(ChannelNode* node, std::optional<std::u16string_view> text) {
  return StoreText(node, &ChannelState::lastSuccess, text);
}
bool SetLastETag(ChannelNode* node, std::optional<std::u16string_view> text) {
  return StoreText(node, &ChannelState::lastETag, text);
}
bool SetLastModified(ChannelNode* node, std::optional<std::u16string_view> text) {
  return StoreText(node, &ChannelState::lastModified, text);
}

// ---- Options ----

int32_t GetUpdateInterval(ChannelNode* node) {
  return ReadState<int32_t>(node, -1, [](ChannelState& s) { return s.updateInterval; });
}
bool SetUpdateInterval(ChannelNode* node, int32_t minutes, bool checkOnly) {
  const bool valid = minutes == 0 || minutes == -1 || (minutes >= 60 && minutes <= 1440);
  return SetOption(node, &ChannelState::updateInterval, minutes, valid, checkOnly);
}

OptionalText GetExpireUnread(ChannelNode* node) { return ReadText(node, &ChannelState::expireUnread); }
OptionalText GetExpireRead(ChannelNode* node) { return ReadText(node, &ChannelState::expireRead); }
OptionalText GetExpireEnclosures(ChannelNode* node) {
  return ReadText(node, &ChannelState::expireEnclosures);
}
OptionalText GetExpireHtml(ChannelNode* node) { return ReadText(node, &ChannelState::expireHTML); }

bool SetExpireUnread(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly) {
  return SetOptionText(node, &ChannelState::expireUnread, text, IsValidExpireText(text), checkOnly);
}
bool SetExpireRead(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly) {
  return SetOptionText(node, &ChannelState::expireRead, text, IsValidExpireText(text), checkOnly);
}
bool SetExpireEnclosures(ChannelNode* node, std::optional<std::u16string_view> text,
                         bool checkOnly) {
  return SetOptionText(node, &ChannelState::expireEnclosures, text, IsValidExpireText(text),
                       checkOnly);
}
bool SetExpireHtml(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly) {
  return SetOptionText(node, &ChannelState::expireHTML, text, IsValidExpireHtmlText(text),
                       checkOnly);
}

int32_t GetEnclosureSizeLimitMB(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.enclosureSizeLimitMB; });
}
bool SetEnclosureSizeLimitMB(ChannelNode* node, int32_t megabytes, bool checkOnly) {
  const bool valid = megabytes >= 0 && megabytes <= 512;
  return SetOption(node, &ChannelState::enclosureSizeLimitMB, megabytes, valid, checkOnly);
}

int32_t GetCacheDepth(ChannelNode* node) {
  return ReadState<int32_t>(node, 0, [](ChannelState& s) { return s.cacheDepth; });
}
bool SetCacheDepth(ChannelNode* node, int32_t depth, bool checkOnly) {
  const bool valid = static_cast<uint32_t>(depth) < 3;
  return SetOption(node, &ChannelState::cacheDepth, depth, valid, checkOnly);
}

uint8_t GetCacheEnclosures(ChannelNode* node) {
  return ReadState<uint8_t>(node, 0, [](ChannelState& s) { return s.cacheEnclosures; });
}
uint8_t GetCacheHtml(ChannelNode* node) {
  return ReadState<uint8_t>(node, 0, [](ChannelState& s) { return s.cacheHtml; });
}
uint8_t GetDisplayToday(ChannelNode* node) {
  return ReadState<uint8_t>(node, 0, [](ChannelState& s) { return s.displayToday; });
}
uint8_t GetFilterImages(ChannelNode* node) {
  return ReadState<uint8_t>(node, 0, [](ChannelState& s) { return s.filterImages; });
}
bool SetCacheEnclosures(ChannelNode* node, uint8_t value, bool checkOnly) {
  return SetOption(node, &ChannelState::cacheEnclosures, value, true, checkOnly);
}
bool SetCacheHtml(ChannelNode* node, uint8_t value, bool checkOnly) {
  return SetOption(node, &ChannelState::cacheHtml, value, true, checkOnly);
}
bool SetDisplayToday(ChannelNode* node, uint8_t value, bool checkOnly) {
  return SetOption(node, &ChannelState::displayToday, value, true, checkOnly);
}
bool SetFilterImages(ChannelNode* node, uint8_t value, bool checkOnly) {
  return SetOption(node, &ChannelState::filterImages, value, true, checkOnly);
}

// ---- Items ----

void AttachItems(ChannelNode* node, std::unique_ptr<ItemList> items) {
  if (!node) return;
  NodeLockGuard held(node);
  if (!held) return;  // the list is released: nothing would own it otherwise
  if (items) items->channel = node;
  const int32_t unread = items ? items->unreadCount : -1;
  const int32_t fresh = items ? items->newCount : -1;
  node->items = std::move(items);
  if (!node->state) return;
  ChannelState& s = *node->state;
  const std::u16string now = StateFileDate(platform::CurrentFileTime());
  s.lastUpdated = now;
  s.lastSuccess = now;
  s.lastStatus = LoadStringText(kStringSuccess);
  // Drawing uses the cached counts: they must describe the list now attached.
  s.unreadItems = unread;
  s.newItems = fresh;
  s.enclosures = -1;
  s.cachedEnclosures = -1;
  s.cachedWeb = -1;
  s.dirty = true;
}

}  // namespace nubrel
