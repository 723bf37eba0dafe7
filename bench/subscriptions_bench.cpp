// How long a large subscription list takes: 5,000 channels in 200 folders, each with a state
// file, written and read back on a throw-away device root under /tmp. Every file goes through
// the BufferedFileWriter (temporary file, flush to storage, rename), as in the reader.
//
//   bench_subscriptions [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <string>

#include "core/settings.h"
#include "platform/device.h"
#include "platform/utf.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/subscription_list.h"

namespace {

using nubrel::ChannelNode;

constexpr int kFolders = 200;
constexpr int kChannelsPerFolder = 25;

// A device root that lives as long as the program.
struct BenchDevice {
  std::string base;
  BenchDevice() {
    char pattern[] = "/tmp/nubrel-bench-XXXXXX";
    base = ::mkdtemp(pattern) ? pattern : "";
    platform::DeviceConfig config;
    config.root = base + "/root";
    config.programFolder = base + "/program";
    std::filesystem::create_directories(config.root);
    std::filesystem::create_directories(config.programFolder);
    platform::SetDeviceConfig(config);
    nubrel::ResetSettings();
  }
  ~BenchDevice() {
    std::error_code ignored;
    if (!base.empty()) std::filesystem::remove_all(base, ignored);
  }
};

BenchDevice& Device() {
  static BenchDevice device;
  return device;
}

std::u16string U(const std::string& s) { return platform::FromUtf8(s); }

ChannelNode* BuildTree() {
  ChannelNode* root = nubrel::CreateRootNode();
  nubrel::SetNodeText(root, nubrel::kNodeTitle, u"My Channels");
  for (int f = 0; f < kFolders; ++f) {
    ChannelNode* folder = nubrel::AppendChildNode(root);
    nubrel::SetNodeText(folder, nubrel::kNodeTitle, U("Folder " + std::to_string(f)));
    for (int c = 0; c < kChannelsPerFolder; ++c) {
      const std::string n = std::to_string(f * kChannelsPerFolder + c);
      ChannelNode* channel = nubrel::AppendChildNode(folder);
      nubrel::SetNodeText(channel, nubrel::kNodeTitle, U("Channel " + n + " & friends"));
      nubrel::SetNodeText(channel, nubrel::kNodeXmlUrl,
                          U("http://feeds.example.com/" + n + "/rss.xml"));
      nubrel::SetNodeText(channel, nubrel::kNodeHtmlUrl, U("http://example.com/" + n + "/"));
      nubrel::SetNodeText(channel, nubrel::kNodeDescription, U("The news of feed number " + n));
      nubrel::ChannelState& s = *channel->state;
      s.unreadItems = c;
      s.newItems = 1;
      s.lastStatus = u"Success";
      s.lastUpdated = u"2008-10-21T18:28:26-00:00";
      s.lastSuccess = u"2008-10-21T18:28:26-00:00";
      s.lastETag = U("\"etag-" + n + "\"");
      s.lastModified = u"Tue, 21 Oct 2008 18:28:26 GMT";
      s.updateInterval = 120;
      s.dirty = true;
    }
  }
  return root;
}

int MarkStateDirty(ChannelNode* node, void*, uint32_t) {
  if (node->state) node->state->dirty = true;
  return 1;
}

int SaveState(ChannelNode* node, void* failures, uint32_t) {
  if (nubrel::SaveChannelState(node) != 0) ++*static_cast<int*>(failures);
  return 1;
}

constexpr uint32_t kEveryNode = nubrel::kWalkSiblings | nubrel::kWalkChildren;

// Writes the list and every state file once, so the load benchmarks have something to read.
void PrepareFiles() {
  static bool prepared = false;
  if (prepared) return;
  Device();
  ChannelNode* root = BuildTree();
  nubrel::SaveSubscriptionList(root);
  int failures = 0;
  nubrel::WalkTree(root->firstChild, SaveState, kEveryNode, &failures);
  nubrel::FreeTree(root);
  prepared = true;
}

void BM_SaveList(benchmark::State& state) {
  Device();
  ChannelNode* root = BuildTree();
  for (auto _ : state) {
    root->dirty = true;
    if (nubrel::SaveSubscriptionList(root) != 0) state.SkipWithError("save failed");
  }
  nubrel::FreeTree(root);
}

void BM_SaveListAndStates(benchmark::State& state) {
  Device();
  ChannelNode* root = BuildTree();
  for (auto _ : state) {
    root->dirty = true;
    nubrel::WalkTree(root->firstChild, MarkStateDirty, kEveryNode, nullptr);
    int failures = 0;
    if (nubrel::SaveSubscriptionList(root) != 0) ++failures;
    nubrel::WalkTree(root->firstChild, SaveState, kEveryNode, &failures);
    if (failures) state.SkipWithError("a file could not be written");
  }
  nubrel::FreeTree(root);
}

void BM_ParseListInMemory(benchmark::State& state) {
  Device();
  ChannelNode* built = BuildTree();
  const std::string document = nubrel::FormatSubscriptionList(built);
  nubrel::FreeTree(built);
  for (auto _ : state) {
    ChannelNode* root = nubrel::ParseOutlineDocument(document, nubrel::kOutlineUtf8, true);
    if (!root) state.SkipWithError("parse failed");
    nubrel::FreeTree(root);
  }
  state.SetBytesProcessed(static_cast<int64_t>(document.size()) * state.iterations());
}

void BM_LoadListAndStates(benchmark::State& state) {
  PrepareFiles();
  for (auto _ : state) {
    nubrel::ListLoadOutcome outcome;
    ChannelNode* root = nubrel::LoadSubscriptionList(u"", true, &outcome);
    if (outcome.result != nubrel::ListLoadResult::kRead) state.SkipWithError("list not read");
    if (root && root->firstChild && root->firstChild->firstChild &&
        root->firstChild->firstChild->state->updateInterval != 120) {
      state.SkipWithError("state files not read");
    }
    nubrel::FreeTree(root);
  }
}

BENCHMARK(BM_SaveList)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_SaveListAndStates)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ParseListInMemory)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_LoadListAndStates)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
