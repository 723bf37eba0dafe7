// The channel item file: one UTF-8 XML file per channel that keeps its ItemList between runs, a
// feed document in the channel's own dialect plus the program's per-item state (read, locked,
// new, service-read, post id, enclosure state). item_file_writer.cpp writes it, byte for byte
// per FeedKind; item_file_reader.cpp loads it through the ordinary feed parser (feed_parser.h).
// Where the file lives is the channel tree's (ItemFilePath in subscriptions/channel_tree.h).
//
// What a reload gives back, field by field:
//   kind                    the root and its version (kind 5 is stored as "0.92": kind 1 again)
//   channel texts           title, link, description, language, copyright, managing editor,
//                           web master, update period and frequency, image URL, date, both masks
//   item texts (RSS, RDF)   title, link, description, content, subject, guid, author, post id,
//                           user image, department, digg count, duration, comment count, date
//   item texts (Atom)       title, link, content, subject, guid, date, modified (nothing else)
//   read, locked            as stored
//   new                     RSS and RDF: set exactly when the service-read value is not 1
//                           (the service-read element follows the attributes); Atom: as stored
//   enclosure               URL, length, type, state and state text
// Texts come back without leading and trailing white space, as the parser takes every text.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "feeds/item_list.h"
#include "platform/device_errors.h"

namespace nubrel {

struct ChannelNode;

// ---- Writing ----

// Writes the list to the item file at `path` (a device path) when the list is dirty; a clean
// list writes nothing. The file goes through the BufferedFileWriter (a temporary file renamed
// over the old one), so a failure at any step leaves the previous file whole. Returns 0 when
// nothing needed writing or the file was written (dirty is then cleared); otherwise the first
// error (the folder or file could not be made, a write failed, the disk is full...) with
// dirty left set, so that the next save tries again. A null list writes nothing and returns 0.
platform::DeviceError writeItemFile(std::u16string_view path, ItemList* list);

// The exact bytes writeItemFile writes for the list, whatever its dirty flag (nbtool, tests).
std::string itemFileBytes(const ItemList& list);

// ---- Reading ----

// Loads the channel's item file (ItemFilePath) with readItemFileAt.
std::unique_ptr<ItemList> readItemFile(ChannelNode* channel);

// Reads the whole file at `path` and parses it as a stored item file for the channel (UTF-8
// unless it declares otherwise; the list comes back clean), then resolves its states with
// finalizeStates (new bits kept). None when the file is missing, unreadable or rejected by the
// parser; no message is produced (the channel simply starts empty until its next retrieval).
std::unique_ptr<ItemList> readItemFileAt(std::u16string_view path, ChannelNode* channel);

}  // namespace nubrel
