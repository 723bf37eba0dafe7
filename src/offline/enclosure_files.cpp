// An item's enclosure file: stored or not, deleting it, queueing and cancelling its download
// through the retrieval hooks, and launching it with the shell or the registered player.
#include "offline/enclosure_files.h"

#include "core/status_text.h"
#include "feeds/item_list.h"
#include "offline/local_files.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/registry.h"
#include "subscriptions/channel_node.h"

namespace nubrel {

namespace {

constexpr int32_t kResultAbortedByUser = -901;
constexpr size_t kMimeValueChars = 256;

// The address as it goes into a player's command line: a quote in it would end the quoted "%1"
// and hand the rest to the player as options of the feed's choosing, so quotes and control
// characters travel percent-escaped, as any address may carry them.
std::u16string commandLineSafe(std::u16string_view url) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string safe;
  for (char16_t c : url) {
    if (c == u'"' || c < 0x20 || c == 0x7F) {
      safe += u'%';
      safe += kHex[(c >> 4) & 0xF];
      safe += kHex[c & 0xF];
    } else {
      safe += c;
    }
  }
  return safe;
}

}  // namespace

bool IsEnclosureStored(const FeedItem* item) {
  if (!hasEnclosure(item) || !channelOf(item)) return false;
  if (getEnclosureState(item) == kEnclosurePending) return false;
  return LocalFileExists(enclosureLocalPath(item));
}

bool DeleteEnclosure(FeedItem* item) {
  if (!hasEnclosure(item)) return false;
  const std::u16string path = enclosureLocalPath(item);
  const bool deleted = LocalFileExists(path) && platform::DeleteFile(path) == platform::kErrorSuccess;
  setEnclosureState(item, kEnclosureDeleted);
  return deleted;
}

bool FetchEnclosure(FeedItem* item) {
  ChannelNode* channel = channelOf(item);
  if (!hasEnclosure(item) || !channel) return false;
  if (getEnclosureState(item) == kEnclosurePending) return false;
  const bool accepted = QueueEnclosureTask(*item->enclosure->url, channel->id.load(),
                                           itemKey(item), /*conditional=*/true,
                                           /*sizeLimitMB=*/0, /*startManager=*/true);
  if (accepted) setEnclosureState(item, kEnclosurePending);
  return accepted;
}

bool CancelEnclosure(FeedItem* item) {
  if (!hasEnclosure(item) || getEnclosureState(item) != kEnclosurePending) return false;
  CancelTaskByLabel(*item->enclosure->url);
  setEnclosureState(item, kEnclosureError);
  setEnclosureStateText(item, StatusCodeText(kResultAbortedByUser));
  return true;
}

std::optional<std::u16string> MimeCommand(std::u16string_view mimeType,
                                          std::u16string_view suffix) {
  if (mimeType.empty()) return std::nullopt;
  const platform::RegistryKey classes(platform::RegistryRoot::kClassesRoot);
  auto defaultOf = [&](std::u16string_view keyPath, std::u16string_view valueName)
      -> std::optional<std::u16string> {
    platform::RegistryKey key;
    if (platform::RegistryOpenKey(classes, keyPath, key) != platform::kErrorSuccess) {
      return std::nullopt;
    }
    std::u16string text;
    if (platform::RegistryReadText(key, valueName, text, kMimeValueChars) !=
            platform::kErrorSuccess ||
        text.empty()) {
      return std::nullopt;
    }
    return text;
  };
  const auto extension =
      defaultOf(u"MIME\\Database\\Content Type\\" + std::u16string(mimeType), u"Extension");
  if (!extension) return std::nullopt;
  const auto fileType = defaultOf(*extension, u"");
  if (!fileType) return std::nullopt;
  return defaultOf(*fileType + std::u16string(suffix), u"");
}

platform::DeviceError LaunchEnclosure(const FeedItem* item) {
  if (!hasEnclosure(item)) return platform::kErrorInvalidParameter;
  const std::u16string path = enclosureLocalPath(item);
  if (LocalFileExists(path)) return platform::OpenWithShell(path, u"open");

  // Played from the network by whatever is registered for the type.
  const OptionalText& type = item->enclosure->type;
  const auto command = type ? MimeCommand(*type, u"\\Shell\\Open\\Command") : std::nullopt;
  if (!command) return platform::kErrorFileNotFound;
  const size_t placeholder = command->find(u"%1");
  if (placeholder == std::u16string::npos) return platform::kErrorFileNotFound;
  const std::u16string line =
      command->substr(0, placeholder) + commandLineSafe(*item->enclosure->url) +
      command->substr(placeholder + 2);
  const size_t space = line.find(u' ');
  if (space == std::u16string::npos) return platform::kErrorFileNotFound;
  return platform::StartProgram(line.substr(0, space), line.substr(space + 1));
}

}  // namespace nubrel
