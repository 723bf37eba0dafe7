// The feed parser: one pass of Expat over an RSS 0.91-2.0, RDF or Atom document (or a channel
// item file, which speaks the same vocabulary) that builds a new ItemList. The element table is
// feed_elements.cpp; the start and end rules and the failure texts are feed_parser.cpp. Writing
// lists back is item_file.h; what happens to the items afterwards (merge, expiry) is item_list.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "feeds/item_list.h"

namespace nubrel {

struct ChannelNode;

// Parses `document` (its bytes up to the first zero byte, as a zero-terminated buffer would be
// read; a null data pointer means there is no document) into a new list that the caller owns.
//
// - channel: the node the list is built for (may be null); the list's channel is set to it and
//   inserting items updates the channel's counts.
// - defaultCodePage: used when the XML declaration names no code page we know (the HTTP charset
//   or 65001 for a retrieved feed, 65001 for an item file).
// - fromFeed: true for a retrieved feed (the list comes back dirty, it has never been stored),
//   false for an item file (the list comes back clean).
// - errorText (optional) receives "OK" when a list is returned; otherwise the reason:
//   "Unable to parse feed.  No items found." when no feed root element was found,
//   "Unable to parse RSS feed : <Expat's message> (line: L  col: C)" when the XML is broken or in
//   an encoding we cannot read, and "Fatal error" when the parse failed unexpectedly (memory).
//   Nothing is set when there is no document.
//
// Items come back with read state 2 (undetermined) unless the document said otherwise; the caller
// resolves them with finalizeStates. Never throws; any byte sequence gives a list or none.
std::unique_ptr<ItemList> parseFeed(ChannelNode* channel, std::string_view document,
                                    int32_t defaultCodePage, bool fromFeed,
                                    std::u16string* errorText = nullptr);

// The element code of a feed element name (matched without regard to ASCII case, prefix and
// all, no namespace processing); 0 for a name not in the table. Codes as in the table in
// feed_elements.cpp (2 "rss", 5 "item", 25 "entry", ...).
int feedElementCode(std::string_view name);

// ---- Fault injection (tests) ----

// From now on the nth element start (counting from 1) of every parse fails as running out of
// memory would; 0 switches this off. Returns the previous setting. Safe from any thread.
int SetParserFaultForTests(int nthElement);

}  // namespace nubrel
