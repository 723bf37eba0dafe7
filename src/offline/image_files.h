// The pictures an item's body shows: finding every <img src> of a description with the HTML
// scanner, and either queueing the missing ones for download (queue mode) or deleting the stored
// ones (delete mode, when the item is deleted or expires). Decoding and showing images is not
// here; the file naming is local_files.h's.
#pragma once

#include <string>
#include <string_view>

namespace nubrel {

struct ChannelNode;

enum class ImageScanMode {
  kQueue,   // queue a download for every image not stored yet (tracking pixels skipped)
  kDelete,  // delete the stored file of every image
};

// Scans the description (UTF-16 HTML, a fragment) for img start tags with a "src"; each src,
// entities decoded and resolved against baseUrl (the item's linkOrGuid), names a class 0 file of
// the channel. Returns how many files were queued or deleted.
int ScanItemImages(std::u16string_view description, std::u16string_view baseUrl,
                   ChannelNode* channel, ImageScanMode mode);

// A reference resolved against a page address the way a browser reads it: an address with a
// scheme stays; "//host/x" takes the base's scheme; "/x" the base's scheme and host; "?q" the
// base up to its query; "#f" the base up to its fragment; anything else the base's folder (up
// to its last "/" after the host). An empty base or reference leaves the reference as it is.
std::u16string ResolveAgainst(std::u16string_view base, std::u16string_view reference);

}  // namespace nubrel
