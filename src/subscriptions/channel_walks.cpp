// Walks over the channel tree and what is built on them: WalkTree, the item counts with their
// cache in ChannelState, marking all items, and the channel navigator's NextChannel and
// PreviousChannel. Structure itself is channel_tree.cpp.
#include <cstdint>
#include <vector>

#include "feeds/item_list.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

// ---- WalkTree ----

// The recursive walk (visit a node, then its children with flags 3, then its later siblings)
// written with an explicit stack: a list read from the network may nest very deeply.
int WalkTree(ChannelNode* start, NodeVisitor visit, uint32_t flags, void* context, int depth) {
  if (!start || !visit) return 1;
  struct Level {
    ChannelNode* node;   // the node this level is at
    uint32_t flags;      // the flags this level was walked with
    int depth;
    bool visited;        // the node was handled (visited or skipped) and its children entered
  };
  std::vector<Level> levels;
  levels.push_back({start, flags, depth, false});
  int result = 1;
  while (!levels.empty()) {
    const size_t top = levels.size() - 1;
    ChannelNode* node = levels[top].node;
    if (!node) {
      levels.pop_back();
      continue;
    }
    const uint32_t levelFlags = levels[top].flags;
    if (!levels[top].visited) {
      levels[top].visited = true;
      const bool skip = top == 0 && node == start && (levelFlags & kWalkSkipStart);
      if (!skip) {
        if ((levelFlags & kWalkStoreDepth) && context) *static_cast<int*>(context) = levels[top].depth;
        result = visit(node, context, levelFlags & kWalkSkipStart);
        if (result == 0) return 0;
      }
      if (levelFlags & kWalkChildren) {
        ChannelNode* child = GetFirstChild(node);
        if (child) {
          levels.push_back({child, kWalkSiblings | kWalkChildren | (levelFlags & kWalkStoreDepth),
                            levels[top].depth + 1, false});
        }
      }
      continue;
    }
    // The node and its children are done: on to the next sibling, when this level goes on.
    if (levelFlags & kWalkSiblings) {
      levels[top].node = GetNextSibling(node);
      levels[top].visited = false;
    } else {
      levels.pop_back();
    }
  }
  return result;
}

// ---- Counts ----

namespace {

struct CountContext {
  int kind;
  int64_t sum = 0;
};

// The state field that caches a kind's count; null for kind 0 (never cached) or no state.
int32_t* CachedCount(ChannelState* state, int kind) {
  if (!state) return nullptr;
  switch (kind) {
    case kCountUnread: return &state->unreadItems;
    case kCountEnclosures: return &state->enclosures;
    case kCountCachedEnclosures: return &state->cachedEnclosures;
    case kCountCachedWeb: return &state->cachedWeb;
    case kCountNew: return &state->newItems;
    default: return nullptr;
  }
}

int32_t CountList(ItemList* list, int kind) {
  switch (kind) {
    case kCountAll: return list->totalCount;
    case kCountUnread: return list->unreadCount;
    case kCountNew: return list->newCount;
    default: break;
  }
  int32_t n = 0;
  for (const FeedItem* item = list->first; item; item = item->next) {
    const bool counted = kind == kCountEnclosures         ? hasEnclosure(item)
                         : kind == kCountCachedEnclosures ? enclosureRetrieved(item)
                         : kind == kCountCachedWeb        ? webContentCached(item)
                                                          : false;
    if (counted) ++n;
  }
  return n;
}

int CountNode(ChannelNode* node, void* context, uint32_t) {
  auto* count = static_cast<CountContext*>(context);
  NodeLockGuard held(node);
  if (!held) return 1;
  int32_t* cached = CachedCount(node->state.get(), count->kind);
  if (cached && *cached != -1) {
    count->sum += *cached;
    return 1;
  }
  ItemList* list = ObtainItemList(node);
  if (!list) return 1;  // a folder, or a channel whose items cannot be had
  const int32_t n = CountList(list, count->kind);
  if (cached) {
    *cached = n;
    node->state->dirty = true;
  }
  if (n != -1) count->sum += n;
  return 1;
}

struct MarkContext {
  bool read;
  bool changed = false;
};

int MarkNode(ChannelNode* node, void* context, uint32_t) {
  auto* mark = static_cast<MarkContext*>(context);
  NodeLockGuard held(node);
  if (!held) return 1;
  // markAll keeps the cached unread and new counts true through SetCounts.
  if (ItemList* list = ObtainItemList(node); list && markAll(list, mark->read)) mark->changed = true;
  return 1;
}

}  // namespace

int32_t CountItems(ChannelNode* start, uint32_t flags, int kind) {
  if (kind < kCountAll || kind > kCountNew) return 0;
  CountContext count{kind};
  WalkTree(start, CountNode, flags & ~kWalkStoreDepth, &count);
  if (count.sum > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(count.sum);
}

bool MarkAllItems(ChannelNode* node, bool read, bool includeDescendants) {
  MarkContext mark{read};
  WalkTree(node, MarkNode, includeDescendants ? kWalkChildren : 0, &mark);
  return mark.changed;
}

// ---- The channel navigator ----

namespace {

bool StopsAt(ChannelNode* node, bool unreadOnly) {
  if (unreadOnly) return CountItems(node, 0, kCountUnread) != 0;
  return HasFeedUrl(node);
}

// Forwards, the pre-order successor: into the first child, else the next sibling, else up to the
// parent, which is tested on the way up but not entered again. Backwards, the mirror image: the
// last child and the previous sibling.
ChannelNode* StepChannel(ChannelNode* from, bool unreadOnly, bool forwards) {
  ChannelNode* node = from;
  bool comingUp = false;
  while (node) {
    ChannelNode* step =
        comingUp ? nullptr : (forwards ? GetFirstChild(node) : GetLastChild(node));
    comingUp = false;
    if (!step) step = forwards ? GetNextSibling(node) : GetPreviousSibling(node);
    if (!step) {
      step = GetParentNode(node);
      comingUp = true;
    }
    node = step;
    if (node && StopsAt(node, unreadOnly)) return node;
  }
  return nullptr;
}

}  // namespace

ChannelNode* NextChannel(ChannelNode* from, bool unreadOnly) {
  return StepChannel(from, unreadOnly, /*forwards=*/true);
}

ChannelNode* PreviousChannel(ChannelNode* from, bool unreadOnly) {
  return StepChannel(from, unreadOnly, /*forwards=*/false);
}

}  // namespace nubrel
