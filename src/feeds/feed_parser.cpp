// parseFeed: the start and end rules over the element table (feed_elements.cpp), pass-through of
// embedded markup, links, enclosures, service-read, skip days and hours, the after-parse pass and
// the failure texts. Encodings and Expat's creation are encodings.h's; dates are dates.h's; the
// list operations (insertion by date, counters) are item_list.h's.
//
// Map:
//   ---- Parse context ----     one record per call, the text buffer and its "taking"
//   ---- Start of an element ----
//   ---- End of an element ----
//   ---- Expat callbacks ----   exception fences around the rules
//   ---- parseFeed ----         set-up, the one Expat call, the failure table, after-parse pass
//
// Invariants:
//  (1) Every start event either pushes one stack entry or, in pass-through, deepens the
//      pass-through nesting by one; every end event undoes exactly that. So the stack always
//      holds the codes of the open elements, however the document nests.
//  (2) The stack is never empty: its bottom is kDocument and is never popped.
#include "feeds/feed_parser.h"

#include <expat.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "core/string_table.h"
#include "feeds/dates.h"
#include "feeds/encodings.h"
#include "feeds/feed_elements.h"
#include "platform/device_time.h"
#include "shared/text.h"

namespace nubrel {
namespace {

using namespace feed_elements;

// String table numbers of the parser's texts.
constexpr int kTextNoItems = 281;       // "Unable to parse feed.  No items found."
constexpr int kTextParseFailed = 2002;  // "Unable to parse RSS feed : "
constexpr int kTextLineColumn = 3043;   // " (line: %d  col: %d)"
constexpr int kTextFatalError = 3044;   // "Fatal error"
constexpr int kTextOk = 3257;           // "OK"

// Expat takes an int length; longer documents go in in pieces of this size.
constexpr size_t kLargestPiece = 1u << 30;

// The element start that fails on purpose (tests); 0 = none.
std::atomic<int> gFaultAtElement{0};

// ---- Parse context ----

struct ParseContext {
  XML_Parser parser = nullptr;
  ChannelNode* channel = nullptr;
  std::unique_ptr<ItemList> list;   // created by the root element
  std::unique_ptr<FeedItem> item;   // between an item or entry start and its end
  std::vector<Code> stack{kDocument};  // (2)
  // The character data since the last end tag, kept in Expat's UTF-8 and converted only when an
  // element takes it: most text (white space between elements, unknown elements) is thrown away.
  std::string text;
  bool passThrough = false;   // re-serialising child elements into `text`
  size_t passDepth = 0;       // elements open inside the one that began pass-through (1)
  bool linkAlternate = false;  // the link element being read is the alternate one
  bool stopped = false;        // the root ended and Expat was told to stop
  bool failed = false;         // a rule threw (memory): the parse ends with "Fatal error"
  int elementStarts = 0;       // counted for SetParserFaultForTests
  int faultAt = 0;             // gFaultAtElement when the parse began
  platform::FileTime earliestDate = 0;  // dates the item file can store again, see TakeDate
  platform::FileTime latestDate = 0;
};

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// UTF-8 from Expat to UTF-16. Expat only ever hands over well-formed UTF-8, and this runs for
// every text a feed stores, so it writes into a buffer sized once (never more units than bytes)
// instead of appending unit by unit. Malformed bytes would still become U+FFFD, never a read
// past `size`.
std::u16string WideText(const char* bytes, size_t size) {
  std::u16string out(size, u'\0');
  char16_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes);
  size_t i = 0;
  while (i < size) {
    // Feeds are mostly ASCII: eight bytes at a time while no byte has its high bit set.
    while (i + 8 <= size) {
      uint64_t chunk;
      std::memcpy(&chunk, p + i, 8);
      if (chunk & 0x8080808080808080ULL) break;
      for (int k = 0; k < 8; ++k) o[k] = p[i + k];
      o += 8;
      i += 8;
    }
    if (i >= size) break;
    unsigned char b = p[i];
    if (b < 0x80) {
      *o++ = b;
      ++i;
      continue;
    }
    size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    char32_t c = b & (0x3F >> (length == 0 ? 0 : length - 1));
    size_t k = 1;
    for (; length && k < length && i + k < size && (p[i + k] & 0xC0) == 0x80; ++k) {
      c = (c << 6) | (p[i + k] & 0x3F);
    }
    const char32_t least = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;  // no overlongs
    if (length == 0 || k < length || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      *o++ = 0xFFFD;
      i += k;
      continue;
    }
    i += length;
    if (c >= 0x10000) {  // four bytes give two units: still no more units than bytes
      c -= 0x10000;
      *o++ = static_cast<char16_t>(0xD800 + (c >> 10));
      *o++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      *o++ = static_cast<char16_t>(c);
    }
  }
  out.resize(static_cast<size_t>(o - out.data()));
  return out;
}

// The text buffer without leading and trailing white space, as a wide text; absent when that
// leaves nothing ("an empty result stores nothing").
OptionalText Take(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsAsciiSpace(text[begin])) ++begin;
  while (end > begin && IsAsciiSpace(text[end - 1])) --end;
  if (begin == end) return std::nullopt;
  return WideText(text.data() + begin, end - begin);
}

// An attribute value as a field: trimmed like element text, so that a value stored once reads
// back the same whether the item file keeps it as an attribute or as element text.
OptionalText TakeAttribute(const char* value) { return Take(std::string_view(value)); }

// The value of the first attribute with exactly this name, or null.
const char* Attribute(const XML_Char** attributes, const char* name) {
  for (const XML_Char** a = attributes; a && a[0]; a += 2) {
    if (std::strcmp(a[0], name) == 0) return a[1];
  }
  return nullptr;
}

bool IsItemParent(const ParseContext& c, Code parent) {
  return (parent == kItem || parent == kEntry) && c.item;
}

bool IsChannelParent(const ParseContext& c, Code parent) {
  return (parent == kChannel || parent == kFeed) && c.list;
}

// A feed date: ISO 8601 when it has that shape, else RFC 822; a date that fails keeps the old
// value. A date outside the years the date readers accept (a zone offset can push 1980-01-01
// into 1979) is not taken either: the item file could not give it back.
void TakeDate(const ParseContext& c, platform::FileTime& field) {
  OptionalText text = Take(c.text);
  if (!text) return;
  platform::FileTime time = 0;
  if (parseFeedDate(*text, time) == DateForm::kNone) return;
  if (time < c.earliestDate || time >= c.latestDate) return;
  field = time;
}

platform::FileTime YearStart(uint16_t year) {
  platform::SystemTime st;
  st.year = year;
  st.month = 1;
  st.day = 1;
  platform::FileTime time = 0;
  platform::SystemTimeToFileTime(st, time);
  return time;
}

void AppendPassThroughStart(ParseContext& c, const XML_Char* name, const XML_Char** attributes) {
  // Entities stay replaced and nothing is re-escaped: the content is shown as HTML, and that is
  // how the markup was meant.
  c.text += '<';
  c.text += name;
  for (const XML_Char** a = attributes; a && a[0]; a += 2) {
    c.text += ' ';
    c.text += a[0];
    c.text += "=\"";
    c.text += a[1];
    c.text += '"';
  }
  c.text += '>';
}

// ---- Start of an element ----

FeedKind RssKind(const XML_Char** attributes) {
  const char* version = Attribute(attributes, "version");
  if (!version) return kFeedRssUnknown;
  std::string_view v(version);
  if (v == "0.91") return kFeedRss091;
  if (v == "0.92" || v == "0.93" || v == "0.94") return kFeedRss092;
  if (v == "2.0") return kFeedRss20;
  return kFeedRssUnknown;
}

void StartRoot(ParseContext& c, FeedKind kind) {
  // A second root element replaces the list being built.
  c.list = newList(c.channel, kind);
  if (!c.list) throw std::bad_alloc();
}

void StartItem(ParseContext& c, const XML_Char** attributes) {
  if (!c.list) return;
  auto item = std::make_unique<FeedItem>();
  item->flags = kParsedItemFlags;
  // The item file's own state: each attribute sets its state unless its value is exactly "0".
  if (const char* read = Attribute(attributes, "read")) {
    item->flags = (item->flags & ~kReadStateMask) |
                  (std::strcmp(read, "0") == 0 ? kReadStateUnread : kReadStateRead);
  }
  if (const char* locked = Attribute(attributes, "locked")) {
    if (std::strcmp(locked, "0") == 0) {
      item->flags &= ~kItemLockedBit;
    } else {
      item->flags |= kItemLockedBit;
    }
  }
  if (const char* isNew = Attribute(attributes, "new")) {
    if (std::strcmp(isNew, "0") == 0) {
      item->flags &= ~kItemNewBit;
    } else {
      item->flags |= kItemNewBit;
    }
  }
  c.item = std::move(item);
}

void StartLink(ParseContext& c, Code parent, const XML_Char** attributes) {
  if (!c.list) return;
  c.linkAlternate = true;
  if (c.list->kind != kFeedAtom) return;
  if (const char* rel = Attribute(attributes, "rel")) {
    c.linkAlternate = EqualsNoCase(FromUtf8(rel), u"alternate");
  }
  const char* href = Attribute(attributes, "href");
  if (!c.linkAlternate || !href) return;
  OptionalText address = TakeAttribute(href);
  if (!address) return;
  if (parent == kChannel || parent == kFeed) {
    c.list->link = std::move(address);  // each alternate link of the feed replaces the last
  } else if (IsItemParent(c, parent)) {
    c.item->link = std::move(address);
  }
}

void StartContent(ParseContext& c, const XML_Char** attributes) {
  const char* mode = Attribute(attributes, "mode");
  const char* type = Attribute(attributes, "type");
  if ((mode && std::strstr(mode, "xml")) || (type && std::strstr(type, "xml"))) {
    c.passThrough = true;
    c.passDepth = 0;
  }
}

int32_t EnclosureLength(const char* text) {
  size_t digits = 0;
  int64_t value = LeadingInteger(FromUtf8(text), &digits);
  if (digits == 0 || value < 0) return -1;  // not declared (or nonsense)
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

int32_t EnclosureStateOf(const char* text) {
  switch (text[0]) {
    case 'D': case 'd': return kEnclosureDeleted;
    case 'E': case 'e': return kEnclosureError;
    case 'P': case 'p': return kEnclosurePending;
    case 'R': case 'r': return kEnclosureRetrieved;
    default: return kEnclosureNotRetrieved;
  }
}

void StartEnclosure(ParseContext& c, Code parent, const XML_Char** attributes) {
  if (parent != kItem || !c.item) return;
  auto enclosure = std::make_unique<Enclosure>();
  for (const XML_Char** a = attributes; a && a[0]; a += 2) {
    std::string_view name(a[0]);
    if (name == "url") {
      enclosure->url = TakeAttribute(a[1]);
    } else if (name == "length") {
      enclosure->length = EnclosureLength(a[1]);
    } else if (name == "type") {
      enclosure->type = TakeAttribute(a[1]);
    } else if (name == "nubrel:state") {
      enclosure->state = EnclosureStateOf(a[1]);
    } else if (name == "nubrel:stateText") {
      enclosure->stateText = TakeAttribute(a[1]);
    }
  }
  delete c.item->enclosure;  // an item keeps its last enclosure
  c.item->enclosure = enclosure.release();
}

void StartJaikuUser(ParseContext& c, Code parent, const XML_Char** attributes) {
  if (parent != kItem || !c.item) return;
  if (const char* nick = Attribute(attributes, "nick")) {
    if (OptionalText value = TakeAttribute(nick)) c.item->author = std::move(value);
  }
  if (const char* avatar = Attribute(attributes, "avatar")) {
    if (OptionalText value = TakeAttribute(avatar)) c.item->userImage = std::move(value);
  }
}

void OnStart(ParseContext& c, const XML_Char* name, const XML_Char** attributes) {
  if (++c.elementStarts == c.faultAt) throw std::bad_alloc();
  if (c.passThrough) {
    AppendPassThroughStart(c, name, attributes);
    ++c.passDepth;
    return;
  }
  Code parent = c.stack.back();
  Code code = Lookup(name);
  c.stack.push_back(code);
  switch (code) {
    case kRss: StartRoot(c, RssKind(attributes)); break;
    case kRdf: StartRoot(c, kFeedRdf); break;
    case kFeed: StartRoot(c, kFeedAtom); break;
    case kItem:
    case kEntry: StartItem(c, attributes); break;
    case kLink: StartLink(c, parent, attributes); break;
    case kContent: StartContent(c, attributes); break;
    case kContentEncoded:
      c.passThrough = true;
      c.passDepth = 0;
      break;
    case kEnclosure: StartEnclosure(c, parent, attributes); break;
    case kJaikuUser: StartJaikuUser(c, parent, attributes); break;
    default: break;
  }
}

// ---- End of an element ----

constexpr const char16_t* kDayNames[] = {u"sunday",   u"monday", u"tuesday", u"wednesday",
                                         u"thursday", u"friday", u"saturday"};

void EndDay(ParseContext& c) {
  OptionalText day = Take(c.text);
  if (!day) return;
  for (uint32_t i = 0; i < 7; ++i) {
    if (EqualsNoCase(*day, kDayNames[i])) {
      c.list->skipDays |= 1u << i;
      return;
    }
  }
}

void EndHour(ParseContext& c) {
  OptionalText hour = Take(c.text);
  if (!hour) return;
  size_t digits = 0;
  int64_t n = LeadingInteger(*hour, &digits);
  if (digits > 0 && n >= 0 && n <= 23) c.list->skipHours |= 1u << n;
}

void EndServiceRead(ParseContext& c) {
  OptionalText text = Take(c.text);
  uint32_t& flags = c.item->flags;
  flags &= ~kServiceReadMask;
  if (text && EqualsNoCase(*text, u"True")) {
    flags |= 1u << kServiceReadShift;
    flags &= ~kItemNewBit;
  } else {
    flags |= kItemNewBit;  // service-read value 0
  }
}

void EndItem(ParseContext& c) {
  if (!c.item) return;
  if (c.list) insertItem(c.list.get(), std::move(c.item));
  c.item.reset();
}

void EndRoot(ParseContext& c) {
  c.stopped = true;
  XML_StopParser(c.parser, XML_FALSE);
}

// Stores the taken text in an item field when the parent is an item.
void ItemField(ParseContext& c, Code parent, OptionalText FeedItem::*field) {
  if (IsItemParent(c, parent)) c.item.get()->*field = Take(c.text);
}

// Stores the taken text in a list field when the parent is the channel (or the Atom feed).
void ListField(ParseContext& c, Code parent, OptionalText ItemList::*field) {
  if (IsChannelParent(c, parent)) c.list.get()->*field = Take(c.text);
}

void EndLink(ParseContext& c, Code parent) {
  if (!c.linkAlternate) return;
  OptionalText link = Take(c.text);
  if (!link) return;  // an href read at the start survives an empty element
  if (IsItemParent(c, parent)) {
    c.item->link = std::move(link);
  } else if (IsChannelParent(c, parent) && !c.list->link) {
    c.list->link = std::move(link);
  }
}

void EndDate(ParseContext& c, Code parent, bool modified) {
  if (IsItemParent(c, parent)) {
    TakeDate(c, modified ? c.item->modified : c.item->date);
  } else if (IsChannelParent(c, parent)) {
    TakeDate(c, c.list->date);
  }
}

void Act(ParseContext& c, Code code, Code parent) {
  switch (code) {
    case kRss:
    case kRdf:
    case kFeed: EndRoot(c); break;
    case kItem:
    case kEntry: EndItem(c); break;
    case kTitle:
      ItemField(c, parent, &FeedItem::title);
      ListField(c, parent, &ItemList::title);
      break;
    case kLink: EndLink(c, parent); break;
    case kDescription:
      ItemField(c, parent, &FeedItem::description);
      ListField(c, parent, &ItemList::description);
      break;
    case kLanguage: ListField(c, parent, &ItemList::language); break;
    case kCopyright:
    case kRights: ListField(c, parent, &ItemList::copyright); break;
    case kManagingEditor: ListField(c, parent, &ItemList::managingEditor); break;
    case kWebMaster: ListField(c, parent, &ItemList::webMaster); break;
    // The item file stores the subject and must give it back.
    case kSubject: ItemField(c, parent, &FeedItem::subject); break;
    case kDcDate:
    case kIssued:
    case kPubDate: EndDate(c, parent, false); break;
    case kModified: EndDate(c, parent, true); break;
    case kUpdatePeriod: ListField(c, parent, &ItemList::updatePeriod); break;
    case kUpdateFrequency: ListField(c, parent, &ItemList::updateFrequency); break;
    case kDay:
      if (parent == kSkipDays && c.list) EndDay(c);
      break;
    case kHour:
      if (parent == kSkipHours && c.list) EndHour(c);
      break;
    case kGuid:
    case kId: ItemField(c, parent, &FeedItem::guid); break;
    case kTagline: ListField(c, parent, &ItemList::description); break;
    case kSummary: ItemField(c, parent, &FeedItem::description); break;
    case kContent:
    case kContentEncoded: ItemField(c, parent, &FeedItem::content); break;
    case kUrl:
      if (parent == kImage && c.list) c.list->imageUrl = Take(c.text);
      break;
    case kAuthor:
      if (IsItemParent(c, parent)) {
        // An author filled from a nested name survives an author element without text.
        if (OptionalText author = Take(c.text)) c.item->author = std::move(author);
      }
      break;
    case kDepartment: ItemField(c, parent, &FeedItem::department); break;
    case kComments: ItemField(c, parent, &FeedItem::commentCount); break;
    case kName:
      if (parent == kAuthor && c.item) c.item->author = Take(c.text);
      break;
    case kDiggUserName:
      if (parent == kDiggSubmitter && c.item) c.item->author = Take(c.text);
      break;
    case kDiggCount: ItemField(c, parent, &FeedItem::diggCount); break;
    case kDuration: ItemField(c, parent, &FeedItem::duration); break;
    case kUserImage: ItemField(c, parent, &FeedItem::userImage); break;
    case kPostId: ItemField(c, parent, &FeedItem::postId); break;
    case kServiceRead:
      if (IsItemParent(c, parent)) EndServiceRead(c);
      break;
    default: break;
  }
}

void OnEnd(ParseContext& c, const XML_Char* name) {
  if (c.passThrough) {
    if (c.passDepth > 0) {
      c.text += "</";
      c.text += name;
      c.text += '>';
      --c.passDepth;
      return;
    }
    // The content element that began the pass-through ends here (1).
    if (c.item) c.item->content = Take(c.text);
    c.passThrough = false;
  }
  Code code = c.stack.back();
  if (c.stack.size() > 1) c.stack.pop_back();  // (2)
  Act(c, code, c.stack.back());
  c.text.clear();
}

// ---- Expat callbacks ----
//
// Nothing may unwind through Expat's C frames: a rule that throws (only memory can) marks the
// parse failed and stops Expat. Events that Expat still delivers after a stop are ignored.

void Fence(ParseContext& c, auto&& rule) {
  if (c.stopped || c.failed) return;
  try {
    rule();
  } catch (...) {
    c.failed = true;
    XML_StopParser(c.parser, XML_FALSE);
  }
}

void XMLCALL StartElementHandler(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto& c = *static_cast<ParseContext*>(data);
  Fence(c, [&] { OnStart(c, name, attributes); });
}

void XMLCALL EndElementHandler(void* data, const XML_Char* name) {
  auto& c = *static_cast<ParseContext*>(data);
  Fence(c, [&] { OnEnd(c, name); });
}

void XMLCALL CharacterDataHandler(void* data, const XML_Char* text, int length) {
  auto& c = *static_cast<ParseContext*>(data);
  if (c.stopped || c.failed) return;
  try {
    c.text.append(text, static_cast<size_t>(length));
  } catch (...) {
    c.failed = true;
    XML_StopParser(c.parser, XML_FALSE);
  }
}

// CDATA sections need no handlers: their text arrives through the character data handler like
// any other, and a section cannot hold elements. In particular the end of a section must not end
// a pass-through that a content element began, or the markup after it would be lost and the
// element stack would lose its alignment (1).

// ---- parseFeed ----

enum class Outcome { kFinished, kStopped, kJunkAfterRoot, kXmlError, kFatal };

Outcome RunExpat(ParseContext& c, std::string_view document) {
  size_t offset = 0;
  do {
    size_t piece = std::min(document.size() - offset, kLargestPiece);
    bool last = offset + piece == document.size();
    XML_Status status = XML_Parse(c.parser, document.data() + offset, static_cast<int>(piece),
                                  last ? XML_TRUE : XML_FALSE);
    offset += piece;
    if (c.failed) return Outcome::kFatal;
    if (status == XML_STATUS_ERROR) {
      XML_Error error = XML_GetErrorCode(c.parser);
      if (error == XML_ERROR_ABORTED && c.stopped) return Outcome::kStopped;
      if (error == XML_ERROR_JUNK_AFTER_DOC_ELEMENT) return Outcome::kJunkAfterRoot;
      return Outcome::kXmlError;
    }
  } while (offset < document.size());
  return Outcome::kFinished;
}

std::u16string XmlErrorText(XML_Parser parser) {
  std::u16string text = LoadStringText(kTextParseFailed);
  const XML_LChar* message = XML_ErrorString(XML_GetErrorCode(parser));
  text += FromUtf8(message ? message : "");
  text += FormatString(LoadStringText(kTextLineColumn),
                       static_cast<long long>(XML_GetCurrentLineNumber(parser)),
                       static_cast<long long>(XML_GetCurrentColumnNumber(parser)));
  return text;
}

void AfterParse(ItemList& list, bool fromFeed) {
  if (list.date == 0) list.date = platform::CurrentFileTime();
  int32_t sequence = 0;
  for (FeedItem* item = list.first; item; item = item->next) {
    item->sequence = sequence++;
    if (item->date == 0) item->date = list.date;
  }
  // A retrieved feed has never been stored, even when it brought no items; a stored file has.
  list.dirty = fromFeed;
}

std::unique_ptr<ItemList> Parse(ChannelNode* channel, std::string_view document,
                                int32_t defaultCodePage, bool fromFeed,
                                std::u16string* errorText) {
  ExpatParser parser = CreateExpatParserFor(documentCodePage(document, defaultCodePage));
  if (!parser) throw std::bad_alloc();
  ParseContext c;
  c.parser = parser.get();
  c.channel = channel;
  c.faultAt = gFaultAtElement.load();
  c.earliestDate = YearStart(1980);
  c.latestDate = YearStart(2101);
  XML_SetUserData(c.parser, &c);
  XML_SetElementHandler(c.parser, StartElementHandler, EndElementHandler);
  XML_SetCharacterDataHandler(c.parser, CharacterDataHandler);

  auto fail = [&](std::u16string text) -> std::unique_ptr<ItemList> {
    if (errorText) *errorText = std::move(text);
    return nullptr;
  };
  switch (RunExpat(c, document)) {
    case Outcome::kFatal: return fail(LoadStringText(kTextFatalError));
    case Outcome::kXmlError: return fail(XmlErrorText(c.parser));
    case Outcome::kFinished:
    case Outcome::kStopped:
    case Outcome::kJunkAfterRoot: break;
  }
  if (!c.list) return fail(LoadStringText(kTextNoItems));
  c.item.reset();  // an item the document never closed belongs to no list
  AfterParse(*c.list, fromFeed);
  if (errorText) *errorText = LoadStringText(kTextOk);
  return std::move(c.list);
}

}  // namespace

int SetParserFaultForTests(int nthElement) { return gFaultAtElement.exchange(nthElement); }

std::unique_ptr<ItemList> parseFeed(ChannelNode* channel, std::string_view document,
                                    int32_t defaultCodePage, bool fromFeed,
                                    std::u16string* errorText) {
  if (document.data() == nullptr) return nullptr;  // no document: nothing to say
  size_t zero = document.find('\0');  // the document ends at its first zero byte
  if (zero != std::string_view::npos) document = document.substr(0, zero);
  try {
    return Parse(channel, document, defaultCodePage, fromFeed, errorText);
  } catch (...) {
    if (errorText) {
      try {
        *errorText = LoadStringText(kTextFatalError);
      } catch (...) {
        errorText->clear();
      }
    }
    return nullptr;
  }
}

}  // namespace nubrel
