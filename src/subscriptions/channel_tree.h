// The channel tree's operations: node life and structure, locks, texts, state accessors, walks and
// counts, file naming, merging imported trees and the refresh walks. The records are in
// channel_node.h; the ChannelIdTable and the channel id are channel_ids.h. The subscription list
// file and the state files that store the tree are subscription_list.h and channel_state_file.h.
//
// Threads: structure (Create/Append/Insert/Unlink/Move/Delete/FreeTree) changes on the interface
// thread only. Every accessor locks the node it touches for that access alone and returns its
// documented fallback when the lock cannot be had within the node lock time-out (60 s).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/window_messages.h"
#include "subscriptions/channel_ids.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

// ---- Node life and structure (interface thread only) ----

// Sent (lParam = the node) to the window given to DeleteNode before the node changes, so the
// interface can drop its references.
inline constexpr uint32_t kMessageNodeDeleting = platform::kMessageUser + 10;

// A zeroed root with its lock and an empty KeywordList, registered with id 0; no ChannelState.
ChannelNode* CreateRootNode();
// A zeroed node with its locks, subSetRead 1, parent set but not linked, default ChannelState,
// registered with id 0. Null when memory runs out.
ChannelNode* CreateChannelNode(ChannelNode* parent);
// CreateChannelNode(folder), linked as the folder's last child; marks the folder dirty.
ChannelNode* AppendChildNode(ChannelNode* folder);
// Links node right after `after` when that is a child of parent, else as parent's first child.
// Marks parent dirty. Nothing without a parent or a node.
void InsertNode(ChannelNode* parent, ChannelNode* after, ChannelNode* node);
// Takes the node out of its parent's children; marks the parent dirty. False without a parent.
bool UnlinkNode(ChannelNode* node);
// Refuses (false) to move a node into itself or below itself; else UnlinkNode + InsertNode.
bool MoveNode(ChannelNode* newParent, ChannelNode* after, ChannelNode* node);
// Deletes the node and everything below it, with the files its channels own (the channel folder
// and the podcast folder), except folders whose filespec another node of the tree still uses.
// Sends kMessageNodeDeleting to `window` for every node first. False for the root (a node
// without parent) or when the node's lock cannot be had; nothing then changes.
bool DeleteNode(ChannelNode* node, platform::WindowHandle window = platform::kNoWindow);
// Releases the node, its later siblings and all their descendants, and their id pairs; touches no
// file. The chain is cut off from the node's previous sibling or parent first, so nothing keeps
// pointing at released nodes.
void FreeTree(ChannelNode* node);

// ---- Locks ----

inline constexpr uint32_t kNodeLockTimeoutMs = 60000;

// Waits at most the node lock time-out for the node's lock: the node, or null (then no
// UnlockNode is due). Recursive: each successful LockNode pairs with one UnlockNode.
ChannelNode* LockNode(ChannelNode* node);
void UnlockNode(ChannelNode* node);

// Tests shorten the wait so a held lock shows its fallbacks quickly; kNodeLockTimeoutMs restores.
void SetNodeLockTimeoutForTests(uint32_t milliseconds);
uint32_t NodeLockTimeout();

// Holds a node's lock for a scope when LockNode got it.
class NodeLockGuard {
 public:
  explicit NodeLockGuard(ChannelNode* node) : node_(LockNode(node)) {}
  ~NodeLockGuard() { UnlockNode(node_); }
  NodeLockGuard(const NodeLockGuard&) = delete;
  NodeLockGuard& operator=(const NodeLockGuard&) = delete;
  explicit operator bool() const { return node_ != nullptr; }

 private:
  ChannelNode* node_;
};

// ---- Links and node fields (each under the node's lock; fallback null, false or 0) ----

ChannelNode* GetParentNode(ChannelNode* node);
ChannelNode* GetFirstChild(ChannelNode* node);
ChannelNode* GetNextSibling(ChannelNode* node);
ChannelNode* GetPreviousSibling(ChannelNode* node);
ChannelNode* GetLastChild(ChannelNode* node);
// The channel test: a feed address that is present and not empty.
bool HasFeedUrl(ChannelNode* node);
// Readable without the lock.
inline uint32_t GetNodeId(const ChannelNode* node) { return node ? node->id.load() : 0; }
bool GetRefreshQueued(ChannelNode* node);
void SetRefreshQueued(ChannelNode* node, bool queued);
// 1 when the lock cannot be had.
bool GetSubSetRead(ChannelNode* node);
bool SetSubSetRead(ChannelNode* node, bool value);
uint32_t GetSyncService(ChannelNode* node);
uint32_t GetSyncId(ChannelNode* node);
// Each marks the node dirty; false when the lock cannot be had.
bool SetSyncService(ChannelNode* node, uint32_t service);
bool SetSyncId(ChannelNode* node, uint32_t syncId);
// The root's keywords (null for other nodes). The list is the root's: interface thread only.
KeywordList* GetKeywords(ChannelNode* root);

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
// the id for codes 1 and 3; returns whether a text is now present. Other codes change nothing.
bool SetNodeText(ChannelNode* node, int code, std::optional<std::u16string_view> text);

// ---- Keywords (the root's list; interface thread) ----

int KeywordCount(const KeywordList* list);
// The n-th keyword (0-based), or null.
const std::u16string* KeywordAt(const KeywordList* list, int n);
const std::u16string* FirstKeyword(const KeywordList* list);
void AppendKeyword(KeywordList* list, std::u16string_view text);
bool RemoveKeyword(KeywordList* list, int n);
bool ReplaceKeyword(KeywordList* list, int n, std::u16string_view text);

// ---- Channel state (each under the node's lock) ----
//
// Setters of the options validate first, so check-only calls need no node; they store only a
// valid value with checkOnly clear, mark the state dirty and return whether the value is valid
// (false also when a store was asked and the node has no state or its lock failed).
// Getters return the field, or their fallback without a state or a lock: 0 for flags and numbers,
// -1 for updateInterval, nothing for texts, "Not set" for lastStatus.

// Stores both cached counts; marks the state dirty only when a value changes.
void SetCounts(ChannelNode* node, int32_t unread, int32_t newItems);
// cachedEnclosures and cachedWeb back to "not counted" (-1).
void ResetCachedCounts(ChannelNode* node);
int32_t GetUnreadItems(ChannelNode* node);
int32_t GetNewItems(ChannelNode* node);
int32_t GetEnclosureCount(ChannelNode* node);
int32_t GetCachedEnclosures(ChannelNode* node);
int32_t GetCachedWeb(ChannelNode* node);

OptionalText GetLastStatus(ChannelNode* node);
OptionalText GetLastUpdated(ChannelNode* node);
OptionalText GetLastSuccess(ChannelNode* node);
OptionalText GetLastETag(ChannelNode* node);
OptionalText GetLastModified(ChannelNode* node);
// The stored date as the user sees it ("Today, 09:05"), or "Not set" when absent or unreadable.
std::u16string GetLastUpdatedText(ChannelNode* node);
std::u16string GetLastSuccessText(ChannelNode* node);
// True without a state or a status, or for "Success" / "Success. No changes." in any case.
bool IsLastStatusSuccess(ChannelNode* node);
// Plain setters for the refresh's results; each marks the state dirty.
bool SetLastStatus(ChannelNode* node, std::optional<std::u16string_view> text);
bool SetLastUpdated(ChannelNode* node, std::optional<std::u16string_view> text);
bool SetLastSuccess(ChannelNode* node, std::optional<std::u16string_view> text);
bool SetLastETag(ChannelNode* node, std::optional<std::u16string_view> text);
bool SetLastModified(ChannelNode* node, std::optional<std::u16string_view> text);

// 0, -1, or 60 to 1440.
int32_t GetUpdateInterval(ChannelNode* node);
bool SetUpdateInterval(ChannelNode* node, int32_t minutes, bool checkOnly);
// Absent (the global setting applies), or a leading number of -1, 1 to 999 with a final "i"
// (items), or 1 to 31 otherwise (days).
OptionalText GetExpireUnread(ChannelNode* node);
OptionalText GetExpireRead(ChannelNode* node);
OptionalText GetExpireEnclosures(ChannelNode* node);
bool SetExpireUnread(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly);
bool SetExpireRead(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly);
bool SetExpireEnclosures(ChannelNode* node, std::optional<std::u16string_view> text,
                         bool checkOnly);
// Absent, or a leading number of -1 or 1 to 31 (days).
OptionalText GetExpireHtml(ChannelNode* node);
bool SetExpireHtml(ChannelNode* node, std::optional<std::u16string_view> text, bool checkOnly);
// 0 (no limit) or 1 to 512.
int32_t GetEnclosureSizeLimitMB(ChannelNode* node);
bool SetEnclosureSizeLimitMB(ChannelNode* node, int32_t megabytes, bool checkOnly);
// 0, 1 or 2.
int32_t GetCacheDepth(ChannelNode* node);
bool SetCacheDepth(ChannelNode* node, int32_t depth, bool checkOnly);
// Flags: any value is stored as given.
uint8_t GetCacheEnclosures(ChannelNode* node);
uint8_t GetCacheHtml(ChannelNode* node);
uint8_t GetDisplayToday(ChannelNode* node);
uint8_t GetFilterImages(ChannelNode* node);
bool SetCacheEnclosures(ChannelNode* node, uint8_t value, bool checkOnly);
bool SetCacheHtml(ChannelNode* node, uint8_t value, bool checkOnly);
bool SetDisplayToday(ChannelNode* node, uint8_t value, bool checkOnly);
bool SetFilterImages(ChannelNode* node, uint8_t value, bool checkOnly);

// Replaces the node's ItemList (releasing the old one), links the list back to the node, sets
// lastUpdated and lastSuccess to now and lastStatus to "Success". The cached counts follow the
// new list: unread and new from its counters, the enclosure and page counts to be recounted.
void AttachItems(ChannelNode* node, std::unique_ptr<ItemList> items);

// ---- Hooks the retrieval code sets ----
//
// The channel tree obtains item lists and queues refreshes through the retrieval code, which is
// built on top of it; these hooks are how it reaches up. Set once at start-up before any worker
// runs (and by tests); read from any thread afterwards.
struct ChannelTreeHooks {
  // Obtains the channel's ItemList, loading it from the item file when needed (the refresh's
  // load-only mode), called with the node locked. Empty: the list attached to the node, if any.
  std::function<ItemList*(ChannelNode* node)> loadItems;
  // QueueRefresh(id, window, force) and QueueNotifyMarker(id). Empty: nothing is queued.
  std::function<void(uint32_t id, platform::WindowHandle window, bool force)> queueRefresh;
  std::function<void(uint32_t id)> queueNotifyMarker;
};
void SetChannelTreeHooks(ChannelTreeHooks hooks);
void ResetChannelTreeHooks();
// The channel's list through the loader hook (or the attached list); null for a folder or when
// no list can be had. The caller holds the node's lock.
ItemList* ObtainItemList(ChannelNode* node);

// ---- Walks and counts ----

inline constexpr uint32_t kWalkSiblings = 1;     // go on with the later siblings of each visited node
inline constexpr uint32_t kWalkChildren = 2;     // after visiting a node, walk its children
inline constexpr uint32_t kWalkSkipStart = 64;   // do not visit the start node itself
inline constexpr uint32_t kWalkStoreDepth = 128; // store the depth in the context's first word

// visit(node, context, flag 64 or 0) returns non-zero to go on; zero ends the whole walk.
// The flag is 64 for the later siblings of a start node that was skipped, 0 otherwise. A
// node's lock is held only to read its links, never during a visit. Returns the last visit's
// result (1 when nothing was visited). Deep trees do not grow the call stack.
using NodeVisitor = int (*)(ChannelNode* node, void* context, uint32_t flags);
int WalkTree(ChannelNode* start, NodeVisitor visit, uint32_t flags, void* context, int depth = 0);

enum CountKind : int {
  kCountAll = 0,
  kCountUnread = 1,            // cached in unreadItems
  kCountEnclosures = 2,        // cached in enclosures
  kCountCachedEnclosures = 3,  // cached in cachedEnclosures
  kCountCachedWeb = 4,         // cached in cachedWeb
  kCountNew = 5,               // cached in newItems
};
// The sum over WalkTree(start, flags) of each node's count of that kind: a cached count when it
// is not -1, else counted over the node's item list and (kinds 1 to 5) cached. -1 is never added.
int32_t CountItems(ChannelNode* start, uint32_t flags, int kind);
// Every item of the node (and below it, when asked) read or unread; whether anything changed.
bool MarkAllItems(ChannelNode* node, bool read, bool includeDescendants);

// The channel navigator's steps: the next or previous channel in the tree's order (with
// unreadOnly, the next node with unread items); null past the root.
ChannelNode* NextChannel(ChannelNode* from, bool unreadOnly);
ChannelNode* PreviousChannel(ChannelNode* from, bool unreadOnly);

// ---- File naming ----

// Gives the node its filespec when it has none and has a title (title, "-", CRC of the feed
// address in 8 upper-case hex digits, forbidden characters as "_", trimmed).
void EnsureFileBase(ChannelNode* node);
// The filespec as a file name: every character of "\"*/\\<>?|.:" as "_".
std::u16string FileNameForm(std::u16string_view filespec);
// Channel storage folder + filespec + "\" + filespec + ".xml"; empty when the node has no filespec
// (EnsureFileBase is applied first).
std::u16string ItemFilePath(ChannelNode* node);
// The item file's path with ".properties" for its extension; empty like ItemFilePath.
std::u16string StateFilePath(ChannelNode* node);
// Channel storage folder + filespec + "\" (and "image\", "html\" below it); empty without filespec.
std::u16string ChannelFolderPath(ChannelNode* node);
std::u16string ImageFolderPath(ChannelNode* node);
std::u16string HtmlFolderPath(ChannelNode* node);
// Podcast storage folder + filespec + "\"; the playlist is that + filespec + extension (".m3u").
std::u16string EnclosureFolderPath(ChannelNode* node);
std::u16string PlaylistPath(ChannelNode* node, std::u16string_view extension);

// ---- Matching and merging imported trees (interface thread) ----

// The first node below subtreeRoot, in pre-order, that stands for the same subscription as
// `other`: equal feed addresses (ignoring case), or, for nodes without one, equal titles.
ChannelNode* FindMatchingNode(ChannelNode* subtreeRoot, ChannelNode* other);
struct MergeCounts {
  int added = 0;
  int updated = 0;
};
// Adds the imported tree's subscriptions (types other than "rss" skipped) to destRoot, updating
// the titles and descriptions of those it already has.
MergeCounts MergeImportedTree(ChannelNode* destRoot, ChannelNode* importedRoot);
// Title, description, feed and site address, sync service and id, user name and password.
void CopyNodeProperties(ChannelNode* target, ChannelNode* source);
// User name and password on the node, its later siblings and all below them; nothing when both
// are absent.
void SetCredentials(ChannelNode* node, std::optional<std::u16string_view> userName,
                    std::optional<std::u16string_view> password);

// ---- Updates, Clippings, refresh walks and saving ----

// Whether the channel's update interval has passed since its last successful refresh.
bool IsUpdateDue(ChannelNode* channel);
// The root's first child when it is the Clippings channel, else a new one linked there.
ChannelNode* GetClippings(ChannelNode* root);
// The channel titled "Clippings" (case-sensitive).
bool IsClippings(ChannelNode* node);
// Queues a refresh and a notify marker for a channel other than Clippings.
void QueueChannelRefresh(ChannelNode* node, platform::WindowHandle window, bool force);
// Queues a refresh (when due) of every channel below the folder, then the folder's marker.
void QueueFolderRefresh(ChannelNode* folder, platform::WindowHandle window);
// Writes the state file when the state is dirty, then the item file of `items` or of the node's
// own list when it has one. Returns 0 or the first error.
int SaveChannel(ChannelNode* node, ItemList* items = nullptr);
// SaveChannel on every node below the root; returns the first error (every node is still saved).
int SaveAllChannels(ChannelNode* root);

}  // namespace nubrel
