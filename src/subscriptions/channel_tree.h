// The channel tree's operations: node life and structure, locks, texts, state accessors, walks and
// counts, file naming, merging imported trees and the refresh walks. The records are in
// channel_node.h; the ChannelIdTable and the channel id are channel_ids.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/window_messages.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

// ---- Node life and structure (interface thread only) ----

// A zeroed root with its lock and an empty KeywordList, registered with id 0; no ChannelState.
ChannelNode* CreateRootNode();
// A zeroed node with its locks, subSetRead 1, parent set but not linked, default ChannelState,
// registered with id 0. Null when memory runs out.
ChannelNode* CreateChannelNode(ChannelNode* parent);
// CreateChannelNode(folder), linked as the folder's last child; marks the folder dirty.
ChannelNode* AppendChildNode(ChannelNode* folder);
// Releases the node, its later siblings and all their descendants; touches no file.
void FreeTree(ChannelNode* node);

// ---- Locks ----

// Waits at most 60 s for the node's lock: the node, or null (then no UnlockNode is due).
ChannelNode* LockNode(ChannelNode* node);
void UnlockNode(ChannelNode* node);

// ---- Texts, by property code ----

enum NodeTextCode : int {
  kNodeTitle = 1,
  kNodeDescription = 2,
  kNodeXmlUrl = 3,
  kNodeHtmlUrl = 4,
  kNodeUserName = 5,
  kNodePassword = 6,
  kNodeType = 7,
  kNodeExpireUnread = 8,
  kNodeExpireEnclosures = 9,
  kNodeExpireHtml = 13,
  kNodeExpireRead = 14,
};

// A copy of the node's text (absent when unset, for an unknown code or when the lock fails).
OptionalText GetNodeText(ChannelNode* node, int code);
// Replaces the text (codes 1 to 6) with a copy or with nothing, marks the node dirty, recomputes
// the id for codes 1 and 3; returns whether a text is now present.
bool SetNodeText(ChannelNode* node, int code, std::optional<std::u16string_view> text);

// ---- Counts ----

// Stores both cached counts; marks the state dirty only when a value changes.
void SetCounts(ChannelNode* node, int32_t unread, int32_t newItems);

// ---- Walks ----

inline constexpr uint32_t kWalkSiblings = 1;     // go on with the later siblings of each visited node
inline constexpr uint32_t kWalkChildren = 2;     // after visiting a node, walk its children
inline constexpr uint32_t kWalkSkipStart = 64;   // do not visit the start node itself
inline constexpr uint32_t kWalkStoreDepth = 128; // store the depth in the context's first word

// visit(node, context, flag 64 or 0) returns non-zero to go on; zero ends the whole walk.
using NodeVisitor = int (*)(ChannelNode* node, void* context, uint32_t flags);
int WalkTree(ChannelNode* start, NodeVisitor visit, uint32_t flags, void* context, int depth = 0);

// ---- File naming ----

// Gives the node its filespec when it has none and has a title (title, "-", CRC of the feed
// address in 8 upper-case hex digits, forbidden characters as "_", trimmed).
void EnsureFileBase(ChannelNode* node);
// Channel storage folder + filespec + "\" + filespec + ".xml"; empty when the node has no filespec.
std::u16string ItemFilePath(ChannelNode* node);

}  // namespace nubrel
