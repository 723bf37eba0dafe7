// The existence tests of stored web pages: an item's page, and what to open for a link.
#include "offline/web_cache_files.h"

#include "feeds/item_list.h"
#include "offline/local_files.h"

namespace nubrel {

bool HasCachedWebContent(const FeedItem* item) {
  const std::u16string* address = linkOrGuid(item);
  ChannelNode* channel = channelOf(item);
  if (!address || !channel) return false;
  return LocalFileExists(LocalPathFor(channel, OptimizedUrl(*address), kLocalHtml));
}

std::u16string CachedTargetFor(ChannelNode* channel, std::u16string_view link) {
  std::u16string target = OptimizedUrl(link);
  const std::u16string path = LocalPathFor(channel, target, kLocalHtml);
  if (LocalFileExists(path)) return u"file://" + path;
  return target;
}

}  // namespace nubrel
