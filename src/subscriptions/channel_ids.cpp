// The channel id and the ChannelIdTable; see channel_ids.h.
#include "subscriptions/channel_ids.h"

#include <chrono>
#include <new>
#include <thread>

#include "shared/crc32.h"

namespace nubrel {

namespace {
constexpr size_t kInitialIdCapacity = 8;
// How often LockRegisteredNode looks again at a busy node.
constexpr int kRegisteredLockPollMs = 5;
}  // namespace

ChannelIdTable& ChannelIds() {
  static ChannelIdTable table;
  return table;
}

void ResetChannelIdTable() {
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  table.pairs.clear();
  table.slotOf.clear();
}

uint32_t ComputeChannelId(const OptionalText& title, const OptionalText& xmlUrl) {
  const uint32_t h = title ? Crc32OfText(*title, kCrc32StandardStart) : 0;
  return xmlUrl ? Crc32OfText(*xmlUrl, h) : h;
}

void RegisterChannelId(ChannelNode* node) {
  if (!node) return;
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  if (table.pairs.capacity() == 0) table.pairs.reserve(kInitialIdCapacity);
  table.pairs.emplace_back(node->id.load(), node);
  try {
    table.slotOf[node] = table.pairs.size() - 1;
  } catch (const std::bad_alloc&) {
    table.pairs.pop_back();  // the caller gives the node up: no pair may outlive it
    throw;
  }
}

void UpdateChannelId(ChannelNode* node) {
  if (!node) return;
  const uint32_t id = ComputeChannelId(node->title, node->xmlUrl);
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  node->id.store(id);
  const auto slot = table.slotOf.find(node);
  if (slot != table.slotOf.end()) table.pairs[slot->second].first = id;
}

void UnregisterChannelId(ChannelNode* node) {
  if (!node) return;
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  const auto slot = table.slotOf.find(node);
  if (slot == table.slotOf.end()) return;
  // The last pair moves into the hole: removal stays cheap when a whole tree is released.
  const size_t index = slot->second;
  table.slotOf.erase(slot);
  if (index + 1 != table.pairs.size()) {
    table.pairs[index] = table.pairs.back();
    table.slotOf[table.pairs[index].second] = index;
  }
  table.pairs.pop_back();
}

ChannelNode* FindNodeById(uint32_t id) {
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  for (const auto& pair : table.pairs) {
    if (pair.first == id) return pair.second;
  }
  return nullptr;
}

bool IsRegisteredNode(const ChannelNode* node) {
  if (!node) return false;
  ChannelIdTable& table = ChannelIds();
  std::lock_guard<std::mutex> held(table.lock);
  return table.slotOf.find(node) != table.slotOf.end();
}

ChannelNode* LockRegisteredNode(ChannelNode* node, uint32_t timeoutMs) {
  if (!node) return nullptr;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  ChannelIdTable& table = ChannelIds();
  for (;;) {
    {
      std::lock_guard<std::mutex> held(table.lock);
      if (table.slotOf.find(node) == table.slotOf.end()) return nullptr;
      // Zero wait: the holder may be DeleteNode itself, which needs the table's lock next.
      if (node->lock.TryLockFor(0)) return node;
    }
    if (Clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(kRegisteredLockPollMs));
  }
}

}  // namespace nubrel
