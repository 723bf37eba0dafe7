// An item's enclosure on the device: whether its file is stored, deleting it, asking the
// retrieval queue for it or cancelling that, and playing it (the stored file, or the address
// through the player registered for its MIME type). The enclosure record and its states are
// feeds/item_list.h's; downloading is the retrieval queue's, reached through OfflineTaskHooks.
//
//   N --FetchEnclosure (queue took it)--> P --download ok--> R --DeleteEnclosure--> D
//                                         P --CancelEnclosure / download failed--> E
//   DeleteEnclosure sets D from any state of an item that has an enclosure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/device_errors.h"

namespace nubrel {

struct FeedItem;

// The item's channel exists, its state is not P, and its class 1 file exists.
bool IsEnclosureStored(const FeedItem* item);

// Deletes the class 1 file (when there is one) and sets state D. Nothing for an item without an
// enclosure URL. Returns whether a file was deleted.
bool DeleteEnclosure(FeedItem* item);

// The user's "Retrieve podcast": for an item with an enclosure, in a channel, not already P:
// queues it (no size limit, conditional) and sets P when the queue took it. Returns whether it
// was queued.
bool FetchEnclosure(FeedItem* item);

// For state P: cancels the task and sets E with the text "Aborted by user". Returns whether the
// state was P.
bool CancelEnclosure(FeedItem* item);

// Opens the stored file with the shell; without one, starts the command registered for the
// enclosure's MIME type with the URL in place of "%1". Returns 0, or why nothing started
// (2 no command or no "%1", 87 no enclosure, or the error of the start).
platform::DeviceError LaunchEnclosure(const FeedItem* item);

// The classes-root lookup: "MIME\Database\Content Type\<type>" value "Extension", that
// extension's default value (the file type), then "<file type><suffix>"'s default value.
// Absent when any step is missing. Values are read as texts of at most 256 characters.
std::optional<std::u16string> MimeCommand(std::u16string_view mimeType, std::u16string_view suffix);

}  // namespace nubrel
