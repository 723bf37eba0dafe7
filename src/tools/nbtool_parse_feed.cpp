// nbtool parse-feed: parses a feed file as the reader parses a retrieved feed and prints the list
// and every item as one JSON document: the channel's fields, each item's fields, its flags as
// the parser left them (read state 2 = not yet resolved), dates in ISO form and the enclosure.
// The parser itself is feeds/feed_parser.h; nothing here interprets the feed.
#include <cstdint>
#include <string>
#include <vector>

#include "feeds/dates.h"
#include "feeds/encodings.h"
#include "feeds/feed_parser.h"
#include "platform/utf.h"
#include "shared/text.h"
#include "tools/nbtool.h"
#include "tools/nbtool_feed_input.h"

namespace {

constexpr const char* kCommand = "parse-feed";

void Text(nbtool::JsonWriter& json, const char* key, const nubrel::OptionalText& value) {
  json.Key(key);
  if (value) {
    json.String(*value);
  } else {
    json.Null();
  }
}

void Date(nbtool::JsonWriter& json, const char* key, platform::FileTime time) {
  json.Key(key);
  if (time == 0) {
    json.Null();
  } else {
    json.String(nubrel::formatIsoDate(time));
  }
}

const char* KindName(nubrel::FeedKind kind) {
  switch (kind) {
    case nubrel::kFeedRss091: return "RSS 0.91";
    case nubrel::kFeedRss092: return "RSS 0.92";
    case nubrel::kFeedRdf: return "RDF";
    case nubrel::kFeedRss20: return "RSS 2.0";
    case nubrel::kFeedAtom: return "Atom";
    default: return "RSS";
  }
}

void PrintEnclosure(nbtool::JsonWriter& json, const nubrel::Enclosure* enclosure) {
  json.Key("enclosure");
  if (!enclosure) {
    json.Null();
    return;
  }
  json.BeginObject();
  Text(json, "url", enclosure->url);
  json.Key("length").Number(enclosure->length);
  Text(json, "type", enclosure->type);
  json.Key("state").Number(enclosure->state);
  Text(json, "stateText", enclosure->stateText);
  json.EndObject();
}

void PrintItem(nbtool::JsonWriter& json, const nubrel::FeedItem& item) {
  json.BeginObject();
  json.Key("sequence").Number(item.sequence);
  json.Key("flags").Unsigned(item.flags);
  json.Key("readState").Unsigned(item.flags & nubrel::kReadStateMask);
  json.Key("new").Bool(item.flags & nubrel::kItemNewBit);
  json.Key("locked").Bool(item.flags & nubrel::kItemLockedBit);
  json.Key("serviceRead").Unsigned((item.flags & nubrel::kServiceReadMask) >> nubrel::kServiceReadShift);
  Text(json, "title", item.title);
  Text(json, "link", item.link);
  Text(json, "description", item.description);
  Text(json, "content", item.content);
  Text(json, "subject", item.subject);
  Text(json, "guid", item.guid);
  Text(json, "author", item.author);
  Text(json, "department", item.department);
  Text(json, "commentCount", item.commentCount);
  Text(json, "diggCount", item.diggCount);
  Text(json, "duration", item.duration);
  Text(json, "userImage", item.userImage);
  Text(json, "postId", item.postId);
  Date(json, "date", item.date);
  Date(json, "modified", item.modified);
  PrintEnclosure(json, item.enclosure);
  json.EndObject();
}

void PrintList(const nubrel::ItemList& list) {
  nbtool::JsonWriter json(stdout, true);
  json.BeginObject();
  json.Key("kind").Number(list.kind);
  json.Key("kindName").String(KindName(list.kind));
  Text(json, "title", list.title);
  Text(json, "link", list.link);
  Text(json, "description", list.description);
  Text(json, "language", list.language);
  Text(json, "copyright", list.copyright);
  Text(json, "managingEditor", list.managingEditor);
  Text(json, "webMaster", list.webMaster);
  Text(json, "imageUrl", list.imageUrl);
  Date(json, "date", list.date);
  Text(json, "updatePeriod", list.updatePeriod);
  Text(json, "updateFrequency", list.updateFrequency);
  json.Key("skipDays").Unsigned(list.skipDays);
  json.Key("skipHours").Unsigned(list.skipHours);
  json.Key("totalCount").Number(list.totalCount);
  json.Key("unreadCount").Number(list.unreadCount);
  json.Key("lockedCount").Number(list.lockedCount);
  json.Key("newCount").Number(list.newCount);
  json.Key("items").BeginArray();
  for (const nubrel::FeedItem* item = list.first; item; item = item->next) PrintItem(json, *item);
  json.EndArray();
  json.EndObject();
  json.EndLine();
}

int RunParseFeed(const std::vector<std::string>& args) {
  std::unique_ptr<nubrel::ItemList> list;
  if (int exitCode = nbtool::ParseFeedArguments(kCommand, args, list); exitCode >= 0) return exitCode;
  PrintList(*list);
  return 0;
}

}  // namespace

NBTOOL_COMMAND(kCommand, "FILE [--codepage N]",
               "Parse a feed file and print the channel and its items as JSON.", RunParseFeed);
