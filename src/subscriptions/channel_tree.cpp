// Node life and structure, the per-node locks, the links and per-node fields, texts by property
// code, the root's keywords and the retrieval hooks. ChannelState accessors are in
// channel_state_access.cpp, walks in channel_walks.cpp, files in channel_files.cpp.
//
//   CreateChannelNode --> unlinked --InsertNode / AppendChildNode--> linked
//   linked --UnlinkNode--> unlinked;  linked --DeleteNode--> gone (with its files)
//   any --FreeTree--> gone (no file touched)
#include "subscriptions/channel_tree.h"

#include <atomic>
#include <new>
#include <vector>

#include "subscriptions/channel_tree_internal.h"

namespace nubrel {

// ---- Process-wide state ----

namespace {

// The channel tree's own process-wide settings.
struct ChannelTreeGlobals {
  std::atomic<uint32_t> lockTimeoutMs{kNodeLockTimeoutMs};  // any thread; tests shorten it
  ChannelTreeHooks hooks;  // written at start-up (or by tests) before workers run; read after
};

ChannelTreeGlobals& Globals() {
  static ChannelTreeGlobals globals;
  return globals;
}

}  // namespace

void SetChannelTreeHooks(ChannelTreeHooks hooks) { Globals().hooks = std::move(hooks); }
void ResetChannelTreeHooks() { Globals().hooks = ChannelTreeHooks{}; }

// Internal to the subscriptions folder (channel_update.cpp queues through these).
const ChannelTreeHooks& CurrentChannelTreeHooks() { return Globals().hooks; }

ItemList* ObtainItemList(ChannelNode* node) {
  if (!node || !node->xmlUrl || node->xmlUrl->empty()) return nullptr;
  const ChannelTreeHooks& hooks = Globals().hooks;
  if (hooks.loadItems) return hooks.loadItems(node);
  return node->items.get();
}

// ---- Locks ----

void SetNodeLockTimeoutForTests(uint32_t milliseconds) { Globals().lockTimeoutMs = milliseconds; }
uint32_t NodeLockTimeout() { return Globals().lockTimeoutMs.load(); }

ChannelNode* LockNode(ChannelNode* node) {
  if (!node) return nullptr;
  return node->lock.TryLockFor(NodeLockTimeout()) ? node : nullptr;
}

void UnlockNode(ChannelNode* node) {
  if (node) node->lock.Unlock();
}

// ---- Node life ----

ChannelNode* CreateRootNode() {
  try {
    auto node = std::make_unique<ChannelNode>();
    node->keywords = std::make_unique<KeywordList>();
    RegisterChannelId(node.get());
    return node.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

ChannelNode* CreateChannelNode(ChannelNode* parent) {
  try {
    auto node = std::make_unique<ChannelNode>();
    node->iconLock = std::make_unique<std::mutex>();
    node->state = std::make_unique<ChannelState>();
    node->subSetRead = true;
    node->parent = parent;
    RegisterChannelId(node.get());
    return node.release();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace {

// Releases one node that is already out of every chain. Its lock must not be held by anyone.
void ReleaseNode(ChannelNode* node) {
  UnregisterChannelId(node);
  delete node;
}

}  // namespace

void FreeTree(ChannelNode* node) {
  if (!node) return;
  // Cut the chain off where it hangs, so no live node keeps a link to what is released.
  if (node->previous) {
    node->previous->next = nullptr;
  } else if (node->parent && node->parent->firstChild == node) {
    node->parent->firstChild = nullptr;
  }
  // Iterative: a hostile list can nest outlines far deeper than the stack would allow.
  std::vector<ChannelNode*> pending;
  for (ChannelNode* n = node; n; n = n->next) pending.push_back(n);
  while (!pending.empty()) {
    ChannelNode* n = pending.back();
    pending.pop_back();
    for (ChannelNode* child = n->firstChild; child; child = child->next) pending.push_back(child);
    ReleaseNode(n);
  }
}

// ---- Structure ----

ChannelNode* AppendChildNode(ChannelNode* folder) {
  if (!folder) return nullptr;
  ChannelNode* node = CreateChannelNode(folder);
  if (!node) return nullptr;
  NodeLockGuard held(folder);
  // Structure is the interface thread's, so linking stays correct even when the lock failed;
  // the lock only keeps a worker's read of the links consistent.
  folder->dirty = true;
  ChannelNode* last = folder->firstChild;
  while (last && last->next) last = last->next;
  if (last) {
    last->next = node;
    node->previous = last;
  } else {
    folder->firstChild = node;
  }
  return node;
}

void InsertNode(ChannelNode* parent, ChannelNode* after, ChannelNode* node) {
  if (!parent || !node) return;
  NodeLockGuard held(parent);
  if (after && after->parent == parent && after != node) {
    node->previous = after;
    node->next = after->next;
    if (after->next) after->next->previous = node;
    after->next = node;
  } else {
    node->previous = nullptr;
    node->next = parent->firstChild;
    if (parent->firstChild) parent->firstChild->previous = node;
    parent->firstChild = node;
  }
  node->parent = parent;
  parent->dirty = true;
}

bool UnlinkNode(ChannelNode* node) {
  if (!node || !node->parent) return false;
  ChannelNode* parent = node->parent;
  NodeLockGuard held(parent);
  if (parent->firstChild == node) parent->firstChild = node->next;
  if (node->previous) node->previous->next = node->next;
  if (node->next) node->next->previous = node->previous;
  node->parent = nullptr;
  node->previous = nullptr;
  node->next = nullptr;
  parent->dirty = true;
  return true;
}

bool MoveNode(ChannelNode* newParent, ChannelNode* after, ChannelNode* node) {
  if (!newParent || !node) return false;
  for (ChannelNode* up = newParent; up; up = up->parent) {
    if (up == node) return false;
  }
  UnlinkNode(node);
  InsertNode(newParent, after, node);
  return true;
}

// DeleteNode is in channel_files.cpp, beside the removal of the files it owns.

// ---- Links and node fields ----

namespace {

template <typename T, typename Read>
T ReadLocked(ChannelNode* node, T fallback, Read read) {
  NodeLockGuard held(node);
  if (!held) return fallback;
  return read(node);
}

}  // namespace

ChannelNode* GetParentNode(ChannelNode* node) {
  return ReadLocked<ChannelNode*>(node, nullptr, [](ChannelNode* n) { return n->parent; });
}
ChannelNode* GetFirstChild(ChannelNode* node) {
  return ReadLocked<ChannelNode*>(node, nullptr, [](ChannelNode* n) { return n->firstChild; });
}
ChannelNode* GetNextSibling(ChannelNode* node) {
  return ReadLocked<ChannelNode*>(node, nullptr, [](ChannelNode* n) { return n->next; });
}
ChannelNode* GetPreviousSibling(ChannelNode* node) {
  return ReadLocked<ChannelNode*>(node, nullptr, [](ChannelNode* n) { return n->previous; });
}
ChannelNode* GetLastChild(ChannelNode* node) {
  ChannelNode* child = GetFirstChild(node);
  while (child) {
    ChannelNode* next = GetNextSibling(child);
    if (!next) break;
    child = next;
  }
  return child;
}

bool HasFeedUrl(ChannelNode* node) {
  return ReadLocked<bool>(node, false,
                          [](ChannelNode* n) { return n->xmlUrl && !n->xmlUrl->empty(); });
}

bool GetRefreshQueued(ChannelNode* node) {
  return ReadLocked<bool>(node, false, [](ChannelNode* n) { return n->refreshQueued.load(); });
}
void SetRefreshQueued(ChannelNode* node, bool queued) {
  NodeLockGuard held(node);
  if (held) node->refreshQueued = queued;
}

bool GetSubSetRead(ChannelNode* node) {
  return ReadLocked<bool>(node, true, [](ChannelNode* n) { return n->subSetRead; });
}
bool SetSubSetRead(ChannelNode* node, bool value) {
  NodeLockGuard held(node);
  if (!held) return false;
  node->subSetRead = value;
  return true;
}

uint32_t GetSyncService(ChannelNode* node) {
  return ReadLocked<uint32_t>(node, 0, [](ChannelNode* n) { return n->syncService; });
}
uint32_t GetSyncId(ChannelNode* node) {
  return ReadLocked<uint32_t>(node, 0, [](ChannelNode* n) { return n->syncId; });
}
bool SetSyncService(ChannelNode* node, uint32_t service) {
  NodeLockGuard held(node);
  if (!held) return false;
  node->syncService = service;
  node->dirty = true;
  return true;
}
bool SetSyncId(ChannelNode* node, uint32_t syncId) {
  NodeLockGuard held(node);
  if (!held) return false;
  node->syncId = syncId;
  node->dirty = true;
  return true;
}

KeywordList* GetKeywords(ChannelNode* root) {
  return ReadLocked<KeywordList*>(root, nullptr, [](ChannelNode* n) { return n->keywords.get(); });
}

// ---- Texts ----

namespace {

OptionalText* NodeTextField(ChannelNode* node, int code) {
  switch (code) {
    case kNodeTitle: return &node->title;
    case kNodeDescription: return &node->description;
    case kNodeXmlUrl: return &node->xmlUrl;
    case kNodeHtmlUrl: return &node->htmlUrl;
    case kNodeUserName: return &node->userName;
    case kNodePassword: return &node->password;
    case kNodeType: return &node->type;
    default: break;
  }
  if (!node->state) return nullptr;
  switch (code) {
    case kNodeExpireUnread: return &node->state->expireUnread;
    case kNodeExpireEnclosures: return &node->state->expireEnclosures;
    case kNodeExpireHtml: return &node->state->expireHTML;
    case kNodeExpireRead: return &node->state->expireRead;
    default: return nullptr;
  }
}

}  // namespace

OptionalText GetNodeText(ChannelNode* node, int code) {
  NodeLockGuard held(node);
  if (!held) return std::nullopt;
  const OptionalText* field = NodeTextField(node, code);
  return field ? *field : std::nullopt;
}

bool SetNodeText(ChannelNode* node, int code, std::optional<std::u16string_view> text) {
  if (code < kNodeTitle || code > kNodePassword) return false;
  NodeLockGuard held(node);
  if (!held) return false;
  OptionalText* field = NodeTextField(node, code);
  try {
    if (text) {
      *field = std::u16string(*text);
    } else {
      field->reset();
    }
  } catch (const std::bad_alloc&) {
    field->reset();
  }
  node->dirty = true;
  if (code == kNodeTitle || code == kNodeXmlUrl) UpdateChannelId(node);
  return field->has_value();
}

// ---- Keywords ----

int KeywordCount(const KeywordList* list) {
  return list ? static_cast<int>(list->entries.size()) : 0;
}

const std::u16string* KeywordAt(const KeywordList* list, int n) {
  if (!list || n < 0 || n >= KeywordCount(list)) return nullptr;
  return &list->entries[static_cast<size_t>(n)];
}

const std::u16string* FirstKeyword(const KeywordList* list) { return KeywordAt(list, 0); }

void AppendKeyword(KeywordList* list, std::u16string_view text) {
  if (!list) return;
  list->entries.emplace_back(text);
  list->dirty = true;
}

bool RemoveKeyword(KeywordList* list, int n) {
  if (!list || n < 0 || n >= KeywordCount(list)) return false;
  list->entries.erase(list->entries.begin() + n);
  list->dirty = true;
  return true;
}

bool ReplaceKeyword(KeywordList* list, int n, std::u16string_view text) {
  if (!list || n < 0 || n >= KeywordCount(list)) return false;
  list->entries[static_cast<size_t>(n)] = std::u16string(text);
  list->dirty = true;
  return true;
}

}  // namespace nubrel
