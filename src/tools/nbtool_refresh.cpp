// nbtool refresh: the headless update of every channel of the device root's subscription list,
// through the reader's own queue and four workers. One JSON line per channel (title, outcome,
// status text, items, new items), then a summary line; every channel and the list are saved.
//
// Without an option every channel is fetched now with its stored validators, so an unchanged
// feed costs a 304; --if-due keeps to the update intervals as automatic updates do; --force
// reloads without validators.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/string_table.h"
#include "platform/device_errors.h"
#include "platform/utf.h"
#include "retrieval/channel_refresh.h"
#include "retrieval/retrieval.h"
#include "shared/folders.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/subscription_list.h"
#include "tools/nbtool.h"

namespace {

constexpr const char* kCommand = "refresh";
constexpr int kStringNoChanges = 2003;  // "Success. No changes."

struct ChannelBefore {
  nubrel::ChannelNode* node;
  nubrel::OptionalText lastStatus;
};

// Every refresh that is attempted leaves a status; one that is not due (or never ran) leaves
// none. So the status is put aside while the run goes, and given back where none came.
int CollectChannel(nubrel::ChannelNode* node, void* context, uint32_t) {
  if (nubrel::HasFeedUrl(node) && !nubrel::IsClippings(node)) {
    static_cast<std::vector<ChannelBefore>*>(context)->push_back({node, nubrel::GetLastStatus(node)});
    nubrel::SetLastStatus(node, std::nullopt);
  }
  return 1;
}

// What became of one channel: "updated", "unchanged" (a 304), "failed", or "skipped" (not due,
// or not run at all); a skipped channel gets its old status back.
const char* Outcome(const ChannelBefore& before) {
  if (!nubrel::GetLastStatus(before.node)) {
    nubrel::SetLastStatus(before.node, before.lastStatus);
    return "skipped";
  }
  if (!nubrel::IsLastStatusSuccess(before.node)) return "failed";
  const nubrel::OptionalText status = nubrel::GetLastStatus(before.node);
  return status && *status == nubrel::LoadStringText(kStringNoChanges) ? "unchanged" : "updated";
}

int RunRefresh(const std::vector<std::string>& args) {
  int32_t mode = nubrel::kRefreshConditionalNow;
  for (const std::string& arg : args) {
    if (arg == "--force") {
      mode = nubrel::kRefreshForced;
    } else if (arg == "--if-due") {
      mode = nubrel::kRefreshIfDue;
    } else {
      return nbtool::Usage(kCommand);
    }
  }
  const auto started = std::chrono::steady_clock::now();
  nubrel::LoadSettings();
  nubrel::EnsureFolders(nubrel::StoragePath());

  nubrel::ListLoadOutcome outcome;
  nubrel::ChannelNode* root = nubrel::LoadSubscriptionList({}, true, &outcome);
  if (!root) return nbtool::Fail(kCommand, "out of memory");
  if (outcome.result != nubrel::ListLoadResult::kRead) {
    const std::string path = platform::ToUtf8(nubrel::SubscriptionListPath());
    nubrel::FreeTree(root);
    return nbtool::Fail(kCommand, "no readable subscription list at " + path);
  }

  const auto loaded = std::chrono::steady_clock::now();
  std::vector<ChannelBefore> channels;
  nubrel::WalkTree(root, CollectChannel, nubrel::kWalkChildren | nubrel::kWalkSkipStart, &channels);
  nubrel::InitRetrieval();
  for (const ChannelBefore& channel : channels) {
    nubrel::QueueRefreshInMode(nubrel::GetNodeId(channel.node), platform::kNoWindow, mode);
  }
  nubrel::WaitForRetrievalIdle(platform::kInfiniteWait);
  nubrel::ShutdownRetrieval();
  const auto refreshed = std::chrono::steady_clock::now();

  struct Totals {
    int64_t updated = 0, unchanged = 0, failed = 0, skipped = 0, items = 0, newItems = 0;
  } totals;
  for (const ChannelBefore& channel : channels) {
    nubrel::ChannelNode* node = channel.node;
    int64_t items = 0;
    int64_t newItems = 0;
    {
      nubrel::NodeLockGuard held(node);
      if (held && node->items) {
        items = node->items->totalCount;
        newItems = node->items->newCount;
      }
    }
    const std::string result = Outcome(channel);
    if (result == "updated") ++totals.updated;
    if (result == "unchanged") ++totals.unchanged;
    if (result == "failed") ++totals.failed;
    if (result == "skipped") ++totals.skipped;
    totals.items += items;
    totals.newItems += newItems;
    nbtool::JsonWriter json;
    json.BeginObject();
    json.Key("title").String(nubrel::GetNodeText(node, nubrel::kNodeTitle).value_or(u""));
    json.Key("url").String(nubrel::GetNodeText(node, nubrel::kNodeXmlUrl).value_or(u""));
    json.Key("result").String(result);
    json.Key("status").String(nubrel::GetLastStatus(node).value_or(u""));
    json.Key("items").Number(items);
    json.Key("newItems").Number(newItems);
    json.EndObject();
    json.EndLine();
  }
  const int saveError = nubrel::SaveAllChannels(root);
  const platform::DeviceError listError = nubrel::SaveSubscriptionList(root);
  const auto saved = std::chrono::steady_clock::now();
  auto milliseconds = [](auto from, auto to) {
    return static_cast<int64_t>(std::chrono::duration<double, std::milli>(to - from).count());
  };
  nbtool::JsonWriter json;
  json.BeginObject();
  json.Key("summary").BeginObject();
  json.Key("channels").Number(static_cast<int64_t>(channels.size()));
  json.Key("updated").Number(totals.updated);
  json.Key("unchanged").Number(totals.unchanged);
  json.Key("failed").Number(totals.failed);
  json.Key("skipped").Number(totals.skipped);
  json.Key("items").Number(totals.items);
  json.Key("newItems").Number(totals.newItems);
  // Where the time went: reading the list and states, the run itself, the final save.
  json.Key("milliseconds").Number(milliseconds(started, saved));
  json.Key("loadMilliseconds").Number(milliseconds(started, loaded));
  json.Key("runMilliseconds").Number(milliseconds(loaded, refreshed));
  json.Key("saveMilliseconds").Number(milliseconds(refreshed, saved));
  json.EndObject();
  json.EndObject();
  json.EndLine();
  nubrel::FreeTree(root);
  if (saveError != 0 || listError != 0) {
    return nbtool::Fail(kCommand, "could not save every channel (error " +
                                      std::to_string(saveError != 0 ? saveError : listError) + ")");
  }
  return 0;
}

}  // namespace

NBTOOL_COMMAND("refresh", "[--if-due | --force]",
               "refresh every channel of the device root's subscription list (JSON per channel)",
               RunRefresh);
