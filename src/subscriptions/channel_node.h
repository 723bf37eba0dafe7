// The records of the channel tree: ChannelNode (a folder or a channel), its ChannelState and the
// root's KeywordList. The operations on them are declared in channel_tree.h; the subscription
// list file and the state files that store them are subscription_list.h and channel_state_file.h.
//
// A node is a channel exactly when its xmlUrl is present and not empty; every other node (the
// root included) is a folder.
//
// Locking: each node has its own recursive lock, taken by every accessor for that access only
// (LockNode waits at most 60 s; an accessor that cannot get it returns its fallback). There is no
// lock over the whole tree. Structure (parent/previous/next/firstChild) and the ChannelIdTable are
// changed by the interface thread only; the retrieval workers read links and change per-node
// fields and the ChannelState through the locking accessors.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "feeds/item_list.h"
#include "platform/sync.h"

namespace nubrel {

// Per-channel state kept in the channel's state file. Guarded by its node's lock.
struct ChannelState {
  bool dirty = false;               // set by every change below; the state file is written only then
  int32_t unreadItems = -1;         // cached count of unread items; -1 = not yet counted
  int32_t newItems = -1;            // cached count of new items
  int32_t enclosures = -1;          // cached count of items with an enclosure
  int32_t cachedEnclosures = -1;    // cached count of items whose enclosure file is stored
  int32_t cachedWeb = -1;           // cached count of items whose web page is stored
  OptionalText lastStatus;          // status text of the last refresh
  OptionalText lastUpdated;         // time of the last refresh, "2008-10-21T18:28:26-00:00"
  OptionalText lastSuccess;         // time of the last successful refresh, same form
  OptionalText lastETag;            // HTTP entity tag of the last response
  OptionalText lastModified;        // HTTP Last-Modified of the last response
  int32_t updateInterval = -1;      // minutes; -1 = the feed's own period or 60; 0 = never due
  OptionalText expireUnread;        // "15i" (items) or "7d" (days); absent = the global setting
  OptionalText expireRead;
  OptionalText expireEnclosures;
  OptionalText expireHTML;          // days
  uint8_t cacheEnclosures = 0;      // retrieve enclosures automatically
  int32_t enclosureSizeLimitMB = 0; // largest enclosure to retrieve; 0 = no limit
  uint8_t cacheHtml = 0;            // make items' web pages available off-line
  int32_t cacheDepth = 0;           // link depth for off-line pages, 0 to 2
  uint8_t displayToday = 1;         // "Show on Today screen"
  uint8_t filterImages = 1;         // "Filter image retrieval"
};

// The root's keywords, in order; duplicates allowed. Guarded by the root's lock.
struct KeywordList {
  std::vector<std::u16string> entries;
  bool dirty = false;  // set by every append, removal or replacement
};

// One cached icon of a node: the interface's own picture object, and its size in pixels.
struct NodeIcon {
  std::shared_ptr<void> picture;
  int size = 0;
};

struct ChannelNode {
  bool dirty = false;                  // a change the subscription list file shows
  platform::RecursiveMutex lock;       // the node's own lock (see the file comment)
  std::unique_ptr<std::mutex> iconLock;  // guards icons; present on nodes from CreateChannelNode
  OptionalText title;
  OptionalText description;
  OptionalText xmlUrl;                 // the feed's address; a channel when not empty
  OptionalText htmlUrl;
  OptionalText dateCreated;            // root only: the list's creation date
  OptionalText type;                   // OPML "type" ("rss" when absent on write)
  OptionalText userName;               // HTTP authentication of the feed
  OptionalText password;               // held in plain text in memory only
  OptionalText filespec;               // base name of the channel's files
  uint32_t syncService = 0;            // 0 Bloglines, 1 NewsGator; meaningful when syncId != 0
  uint32_t syncId = 0;                 // the service's subscription id; 0 = none
  bool subSetRead = false;             // Bloglines "Mark unread items read"; 1 on new nodes
  NodeIcon icons[2];                   // guarded by iconLock
  std::atomic<uint32_t> id{0};         // CRC of title and feed address; readable without the lock
  std::atomic<bool> refreshQueued{false};  // a refresh waits in or runs from the queue
  std::unique_ptr<ChannelState> state;     // every node but the root
  std::unique_ptr<KeywordList> keywords;   // root only
  std::unique_ptr<ItemList> items;         // the channel's items once loaded
  ChannelNode* parent = nullptr;
  ChannelNode* previous = nullptr;
  ChannelNode* next = nullptr;
  ChannelNode* firstChild = nullptr;
};

}  // namespace nubrel
