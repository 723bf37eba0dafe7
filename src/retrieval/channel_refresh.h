// Refreshing one channel end to end (refreshChannel): the due check, the conditional request,
// the parse, merging and expiring, the post-refresh pass that queues off-line copies
// (processItems), writing the item and state files and the status text of every outcome. The
// same entry loads a channel's stored items on first use (the load-only modes).
#pragma once

#include <cstdint>
#include <string>

#include "feeds/item_list.h"
#include "retrieval/url_request.h"

namespace nubrel {

struct ChannelNode;

enum RefreshMode : int32_t {
  kRefreshLoad = 0,           // load only: the channel's list, reading the item file if needed
  kRefreshIfDue = 1,          // refresh when the update interval has passed
  kRefreshForced = 2,         // no interval check, no conditional request
  kRefreshLoadAlso = 3,       // load only, as 0
  kRefreshLoadOrCreate = 4,   // load only; without an item file an empty list of kind 5
  // Refresh now whatever the interval, with the stored validators: a polite reload of every
  // channel (nbtool refresh) that costs a 304 where nothing changed.
  kRefreshConditionalNow = 5,
};

// The channel's ItemList after the work of `mode`, or null (no feed address, no list, the
// channel's lock could not be had, or the channel was deleted, or its lock kept busy, while the
// lock was released: the node must then not be touched, it may be gone). Takes the channel's lock
// and releases it before returning; releases it around the transfer and the parse. Refresh modes
// run on a retrieval worker; load modes on any thread.
ItemList* refreshChannel(ChannelNode* channel, int32_t mode);

// GET with the channel's user and password; the feed address, or for a service subscription the
// service's address (RetrievalWork::serviceItemsUrl; empty when that is not set).
UrlRequest buildChannelRequest(ChannelNode* channel, bool forced);

// The pass over the channel's items after a merge: trace lines, counts, item images, web pages
// and enclosures queued for off-line copies, old enclosure files deleted. An enclosure turns
// pending only when the queue took its task. Caller holds the lock.
void processItems(ChannelNode* channel);

// "\My Documents\" + the title with each of "\"*/\\<>?|.:" as "_" + ".log": where the document
// of a feed that failed to parse is kept for inspection.
std::u16string ParseFailureLogPath(const OptionalText& channelTitle);

}  // namespace nubrel
