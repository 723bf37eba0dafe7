// Loading the channel item file: the whole file into memory, then the ordinary feed parser in
// stored-file mode and the state resolution of a freshly loaded list. The file's format is
// item_file_writer.cpp's; what a reload restores is listed in item_file.h.
#include <new>
#include <string>

#include "feeds/encodings.h"
#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "feeds/item_list_internal.h"
#include "shared/file_open.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {
namespace item_detail {

// The whole file, or false when it cannot be opened or read to its end.
bool ReadWholeFile(std::u16string_view path, std::string& bytes) {
  platform::FileHandle file = OpenFileWithRetry(path, platform::kAccessRead, platform::kShareRead,
                                                platform::Disposition::kOpenExisting);
  if (!file.IsOpen()) return false;
  uint64_t size = 0;
  if (platform::GetFileSize(file, size) != platform::kErrorSuccess) return false;
  if (size > bytes.max_size()) return false;
  bytes.resize(static_cast<size_t>(size));
  size_t total = 0;
  while (total < bytes.size()) {
    size_t read = 0;
    if (platform::ReadFile(file, bytes.data() + total, bytes.size() - total, read) !=
        platform::kErrorSuccess) {
      return false;
    }
    if (read == 0) break;  // the file shrank under us: parse what is there
    total += read;
  }
  bytes.resize(total);
  return true;
}

}  // namespace item_detail

std::unique_ptr<ItemList> readItemFileAt(std::u16string_view path, ChannelNode* channel) {
  try {
    std::string bytes;
    if (path.empty() || !item_detail::ReadWholeFile(path, bytes)) return nullptr;
    std::unique_ptr<ItemList> list = parseFeed(channel, bytes, kCodePageUtf8, false);
    if (list) finalizeStates(list.get(), false);
    return list;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::unique_ptr<ItemList> readItemFile(ChannelNode* channel) {
  if (!channel) return nullptr;
  std::u16string path;
  try {
    path = ItemFilePath(channel);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  return readItemFileAt(path, channel);
}

}  // namespace nubrel
