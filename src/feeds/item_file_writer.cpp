// Writing the channel item file: the header, the root of the list's FeedKind, the channel fields,
// one item or entry element per item, byte for byte as the reader (feed_parser.cpp) expects them.
// Escaping is XmlEscape's (shared/buffered_file_writer.h), the program's one escaper; the file
// itself is written through the BufferedFileWriter. Reading is item_file_reader.cpp.
//
// Three things are written so that every text reloads unchanged, where a plain escape would not:
//  - a carriage return (only a "&#13;" in a feed can put one into a text) is written as "&#13;",
//    and inside attribute values tab and line feed as "&#9;" and "&#10;" as well: the XML parser
//    turns raw ones into line feeds and blanks;
//  - content is written as CDATA, and where it holds "]]>" the section is split
//    ("]]]]><![CDATA[>"), a carriage return is put between two sections as "&#13;", and
//    characters XML cannot hold are left out, as the escaper leaves them out of other texts;
//  - the enclosure's state text is escaped like every other value.
#include <string>
#include <string_view>

#include "feeds/dates.h"
#include "feeds/item_file.h"
#include "feeds/item_list_internal.h"
#include "shared/buffered_file_writer.h"
#include "shared/text.h"

namespace nubrel {
namespace {

// Where the bytes go: the item file through its writer, or a string (itemFileBytes).
class Output {
 public:
  explicit Output(BufferedFileWriter* file) : file_(file) {}
  explicit Output(std::string* bytes) : bytes_(bytes) {}

  // False once a write has failed; nothing is written after that.
  bool ok() const { return ok_; }

  void Raw(std::string_view bytes) {
    if (!ok_) return;
    if (bytes_) {
      bytes_->append(bytes);
    } else {
      ok_ = file_->WriteBytes(bytes);
    }
  }

  // An escaped element text.
  void Text(std::u16string_view text) { Raw(Utf8(Escaped(text, false))); }
  // An escaped attribute value.
  void AttributeValue(std::u16string_view text) { Raw(Utf8(Escaped(text, true))); }

  // The content of a CDATA section, kept whole on reload (see the file comment).
  void CdataText(std::u16string_view text);

 private:
  static std::u16string Escaped(std::u16string_view text, bool attribute) {
    std::u16string escaped = XmlEscape(text);
    if (escaped.find_first_of(u"\t\n\r") == std::u16string::npos) return escaped;
    std::u16string out;
    out.reserve(escaped.size() + 8);
    for (char16_t c : escaped) {
      if (c == u'\r') {
        out += u"&#13;";
      } else if (attribute && c == u'\n') {
        out += u"&#10;";
      } else if (attribute && c == u'\t') {
        out += u"&#9;";
      } else {
        out += c;
      }
    }
    return out;
  }

  // UTF-8 through one scratch buffer, reused for every value.
  std::string_view Utf8(const std::u16string& text) {
    scratch_ = ToUtf8(text);
    return scratch_;
  }

  BufferedFileWriter* file_ = nullptr;
  std::string* bytes_ = nullptr;
  bool ok_ = true;
  std::string scratch_;
};

// Characters XML 1.0 cannot hold in any form (the ones XmlEscape leaves out).
bool XmlCannotHold(char16_t c) {
  return (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF;
}

void Output::CdataText(std::u16string_view text) {
  std::u16string kept;
  kept.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (XmlCannotHold(c)) continue;
    if (c == u'\r') {
      kept += u"]]>&#13;<![CDATA[";
    } else if (c == u'>' && kept.size() >= 2 && kept[kept.size() - 1] == u']' &&
               kept[kept.size() - 2] == u']') {
      // "]]>" would end the section: end it after "]]" and put ">" into the next one.
      kept += u"]]><![CDATA[>";
    } else {
      kept += c;
    }
  }
  Raw(Utf8(kept));
}

// ---- Building blocks ----

struct Attr {
  std::string_view name;
  std::string_view value;  // a constant; written as it stands
};

void StartTag(Output& out, std::string_view name, std::initializer_list<Attr> attributes = {}) {
  out.Raw("<");
  out.Raw(name);
  for (const Attr& a : attributes) {
    out.Raw(" ");
    out.Raw(a.name);
    out.Raw("=\"");
    out.Raw(a.value);
    out.Raw("\"");
  }
  out.Raw(">");
}

void EndTag(Output& out, std::string_view name) {
  out.Raw("</");
  out.Raw(name);
  out.Raw(">\n");
}

// Written only when the value is present.
void SimpleElement(Output& out, std::string_view name, const OptionalText& value,
                   std::initializer_list<Attr> attributes = {}) {
  if (!value) return;
  StartTag(out, name, attributes);
  out.Text(*value);
  EndTag(out, name);
}

void TextElement(Output& out, std::string_view name, std::u16string_view value) {
  StartTag(out, name);
  out.Text(value);
  EndTag(out, name);
}

// The link as RSS writes it: always there, empty when there is none.
void LinkElement(Output& out, const OptionalText& link) {
  TextElement(out, "link", link ? std::u16string_view(*link) : std::u16string_view());
}

// The link as Atom writes it: always there, an empty href when there is none.
void EmptyLinkForm(Output& out, const OptionalText& link) {
  out.Raw("<link rel=\"alternate\" type=\"text/html\" href=\"");
  if (link) out.AttributeValue(*link);
  out.Raw("\"/>\n");
}

bool IsoDates(FeedKind kind) { return kind == kFeedRdf || kind == kFeedAtom; }

void DateElement(Output& out, FeedKind kind, platform::FileTime date) {
  if (IsoDates(kind)) {
    TextElement(out, "dc:date", formatIsoDate(date));
  } else {
    TextElement(out, "pubdate", formatRfc822Date(date));
  }
}

// ---- Root ----

void WriteOpening(Output& out, FeedKind kind) {
  switch (kind) {
    case kFeedRss091: StartTag(out, "rss", {{"version", "0.91"}}); break;
    case kFeedRdf: StartTag(out, "rdf:rdf"); break;
    case kFeedRss20: StartTag(out, "rss", {{"version", "2.0"}}); break;
    case kFeedAtom: StartTag(out, "feed", {{"version", "0.3"}}); return;  // no channel element
    case kFeedRss092:
    case kFeedRssUnknown:
    default: StartTag(out, "rss", {{"version", "0.92"}}); break;
  }
  StartTag(out, "channel");
}

void WriteClosing(Output& out, FeedKind kind) {
  switch (kind) {
    case kFeedRdf: EndTag(out, "rdf:rdf"); break;  // its channel ended before the items
    case kFeedAtom: EndTag(out, "feed"); break;
    default:
      EndTag(out, "channel");
      EndTag(out, "rss");
      break;
  }
}

// ---- Channel fields ----

constexpr const char16_t* kDayNames[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                         u"Thursday", u"Friday", u"Saturday"};

void WriteChannel(Output& out, const ItemList& list) {
  const FeedKind kind = list.kind;
  const bool atom = kind == kFeedAtom;
  if (atom) {
    SimpleElement(out, "title", list.title, {{"type", "text/plain"}});
    EmptyLinkForm(out, list.link);
    SimpleElement(out, "tagline", list.description, {{"type", "text/plain"}});
  } else {
    SimpleElement(out, "title", list.title);
    LinkElement(out, list.link);
    SimpleElement(out, "description", list.description);
  }
  DateElement(out, kind, list.date);
  SimpleElement(out, kind == kFeedRdf ? "dc:rights" : "copyright", list.copyright);
  SimpleElement(out, "dc:language", list.language);
  SimpleElement(out, "managingeditor", list.managingEditor);
  SimpleElement(out, "syn:updateFrequency", list.updateFrequency);
  SimpleElement(out, "syn:updatePeriod", list.updatePeriod);
  SimpleElement(out, "webmaster", list.webMaster);
  StartTag(out, "image");
  SimpleElement(out, "url", list.imageUrl);
  EndTag(out, "image");
  if (list.skipDays != 0) {
    StartTag(out, "skipDays");
    for (uint32_t day = 0; day < 7; ++day) {
      if (list.skipDays & (1u << day)) TextElement(out, "day", kDayNames[day]);
    }
    EndTag(out, "skipDays");
  }
  if (list.skipHours != 0) {
    StartTag(out, "skiphours");
    for (int hour = 0; hour < 24; ++hour) {
      if (list.skipHours & (1u << hour)) TextElement(out, "hour", FormatDecimal(hour));
    }
    EndTag(out, "skiphours");
  }
  if (kind == kFeedRdf) EndTag(out, "channel");  // RDF items stand outside the channel
}

// ---- Items ----

std::string_view Flag(bool set) { return set ? "1" : "0"; }

void ItemStartTag(Output& out, std::string_view name, const FeedItem& item) {
  StartTag(out, name,
           {{"read", Flag((item.flags & kReadStateMask) == kReadStateRead)},
            {"locked", Flag(item.flags & kItemLockedBit)},
            {"new", Flag(item.flags & kItemNewBit)}});
}

std::string_view StateLetter(int32_t state) {
  switch (state) {
    case kEnclosurePending: return "P";
    case kEnclosureRetrieved: return "R";
    case kEnclosureDeleted: return "D";
    case kEnclosureError: return "E";
    default: return "N";
  }
}

void WriteEnclosure(Output& out, const Enclosure& enclosure) {
  out.Raw("<enclosure url=\"");
  out.AttributeValue(*enclosure.url);
  out.Raw("\" length=\"");
  out.Raw(ToUtf8(FormatDecimal(enclosure.length)));
  out.Raw("\" type=\"");
  if (enclosure.type) out.AttributeValue(*enclosure.type);
  out.Raw("\" nubrel:state=\"");
  out.Raw(StateLetter(enclosure.state));
  if (enclosure.stateText) {
    out.Raw("\" nubrel:stateText=\"");
    out.AttributeValue(*enclosure.stateText);
  }
  out.Raw("\"/>\n");
}

void WriteRssItem(Output& out, FeedKind kind, const FeedItem& item) {
  ItemStartTag(out, "item", item);
  SimpleElement(out, "title", item.title);
  LinkElement(out, item.link);
  SimpleElement(out, "description", item.description);
  if (item.content) {
    StartTag(out, "content:encoded");
    out.Raw("<![CDATA[");
    out.CdataText(*item.content);
    out.Raw("]]>");
    EndTag(out, "content:encoded");
  }
  DateElement(out, kind, item.date);
  SimpleElement(out, "subject", item.subject);
  SimpleElement(out, "guid", item.guid);
  bool readAtService = ((item.flags & kServiceReadMask) >> kServiceReadShift) == 1;
  TextElement(out, "ng:read", readAtService ? u"True" : u"False");
  SimpleElement(out, "ng:postid", item.postId);
  SimpleElement(out, "author", item.author);
  SimpleElement(out, "nubrel:userimage", item.userImage);
  SimpleElement(out, "slash:department", item.department);
  SimpleElement(out, "digg:diggCount", item.diggCount);
  SimpleElement(out, "itunes:duration", item.duration);
  SimpleElement(out, "slash:comments", item.commentCount);
  if (item.enclosure && item.enclosure->url) WriteEnclosure(out, *item.enclosure);
  EndTag(out, "item");
}

void WriteAtomEntry(Output& out, const FeedItem& item) {
  ItemStartTag(out, "entry", item);
  SimpleElement(out, "title", item.title, {{"type", "text/plain"}});
  EmptyLinkForm(out, item.link);
  SimpleElement(out, "content", item.content, {{"mode", "escaped"}});
  TextElement(out, "issued", formatIsoDate(item.date));
  TextElement(out, "modified", formatIsoDate(item.modified));
  SimpleElement(out, "subject", item.subject);
  SimpleElement(out, "id", item.guid);
  EndTag(out, "entry");
}

void WriteList(Output& out, const ItemList& list) {
  out.Raw("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n");
  WriteOpening(out, list.kind);
  WriteChannel(out, list);
  for (const FeedItem* item = list.first; item && out.ok(); item = item->next) {
    if (list.kind == kFeedAtom) {
      WriteAtomEntry(out, *item);
    } else {
      WriteRssItem(out, list.kind, *item);
    }
  }
  WriteClosing(out, list.kind);
}

}  // namespace

std::string itemFileBytes(const ItemList& list) {
  std::string bytes;
  Output out(&bytes);
  WriteList(out, list);
  return bytes;
}

platform::DeviceError writeItemFile(std::u16string_view path, ItemList* list) {
  if (!list || !list->dirty) return platform::kErrorSuccess;
  try {
    const std::string bytes = itemFileBytes(*list);
    // A changed list often stores as the same bytes (a refresh answered 304 clears new flags
    // that the file does not keep apart): leaving the file alone then saves a rewrite and its
    // syncs for every unchanged channel of an update.
    std::string stored;
    if (item_detail::ReadWholeFile(path, stored) && stored == bytes) {
      list->dirty = false;
      return platform::kErrorSuccess;
    }
    BufferedFileWriter file;
    // Opening makes the folders of the path (never "\StorageCard" itself) and the temporary
    // file. A file that cannot be made keeps the list dirty: the next save tries again.
    platform::DeviceError error = file.Open(path);
    if (error != platform::kErrorSuccess) return error;
    file.WriteBytes(bytes);  // a failure is Close's first error
    error = file.Close();  // on any failure the previous file stays as it was
    if (error != platform::kErrorSuccess) return error;
    list->dirty = false;
    return platform::kErrorSuccess;
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
}

}  // namespace nubrel
