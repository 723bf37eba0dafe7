// Whether an item's web page is stored for reading off-line, and what to open for a link: the
// stored copy when there is one, else the address to fetch. Storing, rewriting and pruning pages
// are the web page tasks' (later); the file naming is local_files.h's.
#pragma once

#include <string>
#include <string_view>

namespace nubrel {

struct ChannelNode;
struct FeedItem;

// The class 2 file of OptimizedUrl(linkOrGuid of the item) exists in the item's channel.
bool HasCachedWebContent(const FeedItem* item);

// "file://" + the class 2 path of OptimizedUrl(link) when that file exists, else
// OptimizedUrl(link).
std::u16string CachedTargetFor(ChannelNode* channel, std::u16string_view link);

}  // namespace nubrel
