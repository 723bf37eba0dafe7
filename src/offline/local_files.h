// Where fetched content lives on the device: the local path of every URL stored for a channel
// (images, enclosures, pages), the file name made from a URL, and the address actually fetched
// for a page when a small-screen optimiser is chosen. Also the hooks through which items and
// offline code hand image and enclosure downloads to the retrieval queue.
// Fetching, rewriting and deleting the files are web_cache_files.h, enclosure_files.h and
// image_files.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace nubrel {

struct ChannelNode;

// ---- Storage classes ----

enum LocalFileClass : int {
  kLocalImage = 0,    // storagePath \ channel folder \ image \ name, default extension ".gif"
  kLocalPodcast = 1,  // enclosureStoragePath \ channel folder \ name, extension kept
  kLocalHtml = 2,     // storagePath \ channel folder \ html \ name, default extension ".html"
};

// ---- Naming ----

// The file name of a URL (no folder): %-escapes decoded (upper-case hex digits only; anything
// else counts as 0), the last wrapped "http:" address taken, the last path segment before "?",
// "null" when empty, and the default extension put in place of the name's own unless it ends in
// one of the known extensions. Characters the device's file names cannot hold (\ / : * ? " < > |
// and control characters) become "_", so a name is always one component inside its folder.
// An empty defaultExtension keeps the name's extension.
std::u16string LocalFileName(std::u16string_view url, std::u16string_view defaultExtension);

// The final extension of the last path component replaced by `extension` (with or without its
// leading "."): "a\b.php" + "gif" -> "a\b.gif"; a name without one gets it appended.
std::u16string ReplaceExtension(std::u16string_view path, std::u16string_view extension);

// Root of the class, "\", the channel's folder name (its filespec), "\", the class's sub-folder
// and "\", then the CRC-32 of the URL (8 upper-case hex digits), "-" and LocalFileName.
// Empty when there is no channel, the channel has no filespec, or the class is unknown.
std::u16string LocalPathFor(ChannelNode* channel, std::u16string_view url, int fileClass);

// The address fetched and looked up for a page link under the "htmlOptimizer" setting: the link
// itself ("None"), or the service's prefix (strings 343, 342) followed by the link urlEscape'd
// (Skweezer without a leading "http://").
std::u16string OptimizedUrl(std::u16string_view link);

// Whether a regular file is at the device path (a folder does not count).
bool LocalFileExists(std::u16string_view path);

// ---- Hooks to the retrieval queue ----

// The queue's operations as offline code and items need them. Set by the retrieval code when it
// starts; until then (and in tests that set none) nothing is queued and callers act as if the
// queue refused: no state turns to pending without a task behind it.
struct OfflineTaskHooks {
  // Queues an image download into class 0. Returns whether the queue took it.
  std::function<bool(std::u16string_view url, uint32_t channelId, bool conditional,
                     bool startManager)>
      queueImage;
  // Queues an enclosure download into class 1 with a size limit in MB (below 1: none).
  std::function<bool(std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                     bool conditional, int32_t sizeLimitMB, bool startManager)>
      queueEnclosure;
  // Cancels the queued or running task for that address.
  std::function<void(std::u16string_view url)> cancelByLabel;
};

// Installs the hooks for the whole process (any thread; guarded by the hooks' own lock, which
// is never held while a hook runs). ResetOfflineTaskHooks removes them all (tests).
void SetOfflineTaskHooks(OfflineTaskHooks hooks);
void ResetOfflineTaskHooks();

// The hooks' calls; false (nothing done) while no hook is set.
bool QueueImageTask(std::u16string_view url, uint32_t channelId, bool conditional,
                    bool startManager);
bool QueueEnclosureTask(std::u16string_view url, uint32_t channelId, uint32_t itemKey,
                        bool conditional, int32_t sizeLimitMB, bool startManager);
bool CancelTaskByLabel(std::u16string_view url);

}  // namespace nubrel
