// When a channel is due, the Clippings channel, the refresh walks of the interface's commands
// (the queue itself is the retrieval code's, reached through ChannelTreeHooks) and saving a
// channel's files. What the files hold is channel_state_file.cpp's and feeds/item_file's.
#include "core/string_table.h"
#include "feeds/dates.h"
#include "feeds/item_file.h"
#include "feeds/item_list.h"
#include "platform/device_time.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

namespace {

constexpr int kStringClippings = 207;
constexpr std::u16string_view kClippingsFeedUrl = u"bogus";
constexpr int64_t kFileTimeSecond = 10000000;
constexpr int32_t kDefaultIntervalMinutes = 60;

}  // namespace

// ---- Due ----

bool IsUpdateDue(ChannelNode* channel) {
  NodeLockGuard held(channel);
  if (!held || !channel->state) return false;
  const ChannelState& state = *channel->state;
  if (!state.lastSuccess) return true;
  platform::FileTime lastSuccess = 0;
  if (!parseIsoDate(*state.lastSuccess, lastSuccess)) return false;
  int64_t interval = state.updateInterval;
  if (interval == -1) {
    // Only a list already in memory: deciding whether to refresh must not load the item file.
    const int32_t feedPeriod = channel->items ? updateIntervalMinutes(channel->items.get()) : 0;
    interval = feedPeriod > 0 ? feedPeriod : kDefaultIntervalMinutes;
  }
  if (interval <= 0) return false;
  const int64_t now = static_cast<int64_t>(platform::CurrentFileTime());
  // Half a minute of slack, so a timer that fires a little early still finds the channel due.
  const int64_t elapsed = now - static_cast<int64_t>(lastSuccess) + 30 * kFileTimeSecond;
  return elapsed >= interval * 60 * kFileTimeSecond;
}

// ---- Clippings ----

bool IsClippings(ChannelNode* node) {
  const OptionalText title = GetNodeText(node, kNodeTitle);
  return title && *title == LoadStringText(kStringClippings);
}

ChannelNode* GetClippings(ChannelNode* root) {
  if (!root) return nullptr;
  ChannelNode* first = GetFirstChild(root);
  if (first && IsClippings(first)) return first;
  ChannelNode* clippings = CreateChannelNode(root);
  if (!clippings) return nullptr;
  SetNodeText(clippings, kNodeTitle, LoadStringText(kStringClippings));
  SetNodeText(clippings, kNodeXmlUrl, kClippingsFeedUrl);
  InsertNode(root, nullptr, clippings);
  return clippings;
}

// ---- Refresh walks ----

void QueueChannelRefresh(ChannelNode* node, platform::WindowHandle window, bool force) {
  if (!HasFeedUrl(node) || IsClippings(node)) return;
  const ChannelTreeHooks& hooks = CurrentChannelTreeHooks();
  const uint32_t id = GetNodeId(node);
  if (hooks.queueRefresh) hooks.queueRefresh(id, window, force);
  if (hooks.queueNotifyMarker) hooks.queueNotifyMarker(id);
}

namespace {

int QueueIfChannel(ChannelNode* node, void* context, uint32_t) {
  const auto window = *static_cast<const platform::WindowHandle*>(context);
  const ChannelTreeHooks& hooks = CurrentChannelTreeHooks();
  if (hooks.queueRefresh && HasFeedUrl(node) && !IsClippings(node)) {
    hooks.queueRefresh(GetNodeId(node), window, /*force=*/false);
  }
  return 1;
}

}  // namespace

void QueueFolderRefresh(ChannelNode* folder, platform::WindowHandle window) {
  if (!folder) return;
  WalkTree(folder, QueueIfChannel, kWalkChildren | kWalkSkipStart, &window);
  const ChannelTreeHooks& hooks = CurrentChannelTreeHooks();
  if (hooks.queueNotifyMarker) hooks.queueNotifyMarker(GetNodeId(folder));
}

// ---- Saving ----

int SaveChannel(ChannelNode* node, ItemList* items) {
  if (!node) return 0;
  int first = SaveChannelState(node);
  NodeLockGuard held(node);
  if (!held) return first != 0 ? first : platform::kErrorWaitTimeout;
  ItemList* list = items ? items : node->items.get();
  if (!list) return first;
  const std::u16string path = ItemFilePath(node);
  if (path.empty()) return first != 0 ? first : platform::kErrorInvalidName;
  const int written = writeItemFile(path, list);
  return first != 0 ? first : written;
}

namespace {

int SaveOne(ChannelNode* node, void* context, uint32_t) {
  int* first = static_cast<int*>(context);
  const int result = SaveChannel(node);
  if (*first == 0) *first = result;
  return 1;
}

}  // namespace

int SaveAllChannels(ChannelNode* root) {
  int first = 0;
  WalkTree(root, SaveOne, kWalkChildren | kWalkSkipStart, &first);
  return first;
}

}  // namespace nubrel
