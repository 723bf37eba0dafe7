// The feed parser's element codes (internal to feed_parser.cpp and feed_elements.cpp). Names that
// share a code behave identically; the name table itself is feed_elements.cpp.
#pragma once

#include <cstdint>

namespace nubrel::feed_elements {

enum Code : uint8_t {
  kUnknown = 0,           // not in the table: only pushed and popped
  kDocument = 1,          // the bottom of the element stack
  kRss = 2,               // "rss"
  kRdf = 3,               // "rdf:rdf"
  kChannel = 4,           // "channel"
  kItem = 5,              // "item"
  kTitle = 6,             // "title"
  kLink = 7,              // "link"
  kDescription = 8,       // "description"
  kLanguage = 9,          // "dc:language"
  kCopyright = 10,        // "copyright"
  kRights = 11,           // "dc:rights"
  kManagingEditor = 12,   // "managingeditor"
  kWebMaster = 13,        // "webmaster"
  kSubject = 14,          // "subject"
  kDcDate = 15,           // "dc:date"
  kUpdatePeriod = 16,     // "syn:updatePeriod"
  kUpdateFrequency = 17,  // "syn:updateFrequency"
  kSkipDays = 18,         // "skipDays"
  kDay = 19,              // "day"
  kSkipHours = 20,        // "skiphours"
  kHour = 21,             // "hour"
  kGuid = 22,             // "guid"
  kFeed = 23,             // "feed", "ng:feed"
  kTagline = 24,          // "tagline"
  kEntry = 25,            // "entry"
  kId = 26,               // "id"
  kModified = 27,         // "modified"
  kSummary = 28,          // "summary"
  kIssued = 29,           // "issued"
  kContent = 30,          // "content"
  kPubDate = 31,          // "pubdate", "published"
  kContentEncoded = 32,   // "content:encoded"
  kImage = 33,            // "image"
  kUrl = 34,              // "url"
  kEnclosure = 35,        // "enclosure"
  kAuthor = 36,           // "author", "dc:creator"
  kDepartment = 37,       // "slash:department"
  kComments = 38,         // "slash:comments", "digg:commentCount"
  kHtml = 39,             // "html"
  kName = 40,             // "name"
  kDiggSubmitter = 41,    // "digg:submitter"
  kDiggUserName = 42,     // "digg:username"
  kDiggCount = 43,        // "digg:diggCount"
  kDuration = 44,         // "itunes:duration"
  kJaikuUser = 45,        // "jaiku:user"
  kUserImage = 46,        // "nubrel:userimage"
  kPostId = 47,           // "ng:postid"
  kServiceRead = 48,      // "ng:read", "read"
};

// The code of an element name as Expat delivers it (UTF-8, zero-terminated).
Code Lookup(const char* name);

}  // namespace nubrel::feed_elements
