// The channel id (a CRC-32 of a node's title and feed address) and the process-wide
// ChannelIdTable that finds a node by it. Node life and structure are channel_tree.h; the
// checksum itself is shared/crc32.h.
//
// Ids are not unique: two nodes with the same title and address share one, and FindNodeById
// answers with the first pair in table order. Id 0 stands for "no node".
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <string_view>
#include <utility>
#include <vector>

#include "subscriptions/channel_node.h"

namespace nubrel {

// The whole process's (id, node) pairs, one per node made by CreateRootNode or CreateChannelNode.
// Pairs are added, re-keyed and removed by the interface thread only (node life and SetNodeText);
// the retrieval workers look ids up. Removal moves the last pair into the hole, so the table is
// not in creation order.
struct ChannelIdTable {
  std::mutex lock;  // guards pairs: lookups come from the workers while the interface changes it
  std::vector<std::pair<uint32_t, ChannelNode*>> pairs;  // guarded by lock
  std::unordered_map<const ChannelNode*, size_t> slotOf;  // node -> index in pairs; same lock
};

// The process's table.
ChannelIdTable& ChannelIds();
// Tests: forgets every pair (the nodes themselves are not touched).
void ResetChannelIdTable();

// crc(title's UTF-16LE bytes, all ones) when the title is present, else 0; then, when the feed
// address is present, crc(address bytes) run on from that value itself (not its complement).
uint32_t ComputeChannelId(const OptionalText& title, const OptionalText& xmlUrl);

// Adds the node's pair with id 0 (interface thread). Throws std::bad_alloc, adding nothing.
void RegisterChannelId(ChannelNode* node);
// Recomputes the node's id from its title and feed address and re-keys its pair. The caller
// holds the node's lock or owns the node outright.
void UpdateChannelId(ChannelNode* node);
// Removes the node's pair, if any (interface thread).
void UnregisterChannelId(ChannelNode* node);

// The node of the first pair with that id; null when none (id 0 included only when a node with
// id 0 is registered, as a fresh node is).
ChannelNode* FindNodeById(uint32_t id);

// ---- Nodes a worker let go of ----
//
// A worker that released a node's lock (around a transfer) cannot know whether the interface
// thread deleted the node meanwhile; these ask the table, whose pair goes before the node does.

// True while the node has its pair in the table.
bool IsRegisteredNode(const ChannelNode* node);
// The node's lock, taken only while the node is still registered: the test and each attempt
// are made under the table's lock, which DeleteNode needs before it can release the node, so a
// node that is gone is never touched. Attempts never block under the table's lock; they are
// repeated until timeoutMs has passed. The node (locked, to be released with UnlockNode), or
// null when it is gone or its lock stayed busy.
ChannelNode* LockRegisteredNode(ChannelNode* node, uint32_t timeoutMs);

}  // namespace nubrel
