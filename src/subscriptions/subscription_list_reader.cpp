// Reading OPML into a channel tree: the element and attribute vocabularies, the Expat handlers,
// reading a whole file, and loading the user's list with setting aside a broken one. The writer
// is subscription_list_writer.cpp; what a node holds is channel_node.h.
//
// Map:
//   ---- Vocabulary ----        element codes, the 35 outline attributes, sorted for lookup
//   ---- Reading context ----   element stack, open nodes, collected text; the Expat handlers
//   ---- Parsing ----           ParseOutlineDocument
//   ---- Files ----             ReadOutlineFile, LoadSubscriptionList, SetAsideUnreadableList
#include <expat.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/settings.h"
#include "core/string_table.h"
#include "feeds/encodings.h"
#include "platform/files.h"
#include "shared/file_open.h"
#include "shared/text.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/channel_tree.h"
#include "subscriptions/password_scramble.h"
#include "subscriptions/subscription_list.h"

namespace nubrel {
namespace {

constexpr int kStringListFileName = 5;     // "myChannels.opml"
constexpr int kStringMyChannels = 245;     // "My Channels"
constexpr int kStringParseFailed = 272;    // "Unable to parse OPML : "
constexpr int kStringLineAndColumn = 273;  // " (Line: %d  Col: %d)"

// ---- Vocabulary ----

// ASCII-only case folding: every name we know is ASCII, and a name with other bytes matches none.
constexpr char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

constexpr int CompareNameNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const char x = FoldAscii(*a);
    const char y = FoldAscii(*b);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
    if (x == 0) return 0;
  }
}

enum ElementCode : int {
  kElementOther = 0,
  kElementOpml = 2,
  kElementHead = 3,
  kElementTitle = 4,  // "title" and "text"
  kElementBody = 5,
  kElementOutline = 6,
  kElementDateCreated = 7,
  kElementKeywords = 8,
  kElementKeyword = 9,
  kElementHtml = 10,
};

struct ElementName {
  const char* name;
  ElementCode code;
};

// Sorted without regard to case, for the binary search.
constexpr ElementName kElements[] = {
    {"body", kElementBody},         {"dateCreated", kElementDateCreated},
    {"head", kElementHead},         {"html", kElementHtml},
    {"keyword", kElementKeyword},   {"keywords", kElementKeywords},
    {"opml", kElementOpml},         {"outline", kElementOutline},
    {"text", kElementTitle},        {"title", kElementTitle},
};

enum class Attribute {
  kBloglinesSubId, kCacheDepth, kCachedEnclosures, kCachedWeb, kCacheEnclosures, kCacheHtml,
  kDescription, kDisplayToday, kEnclosureSizeLimitMB, kExpire, kExpireEnclosures, kExpireHtml,
  kExpireRead, kExpireUnread, kFilespec, kHtmlUrl, kImageFilter, kLastETag, kLastModified,
  kLastStatus, kLastSuccess, kLastUpdated, kNewItems, kNgFid, kNgId, kPassword, kSubSetRead,
  kText, kTitle, kType, kUnreadItems, kUpdateInterval, kUrl, kUserName, kXmlUrl,
};

struct AttributeName {
  const char* name;
  Attribute attribute;
};

// Sorted without regard to case, for the binary search (checked below at compile time).
constexpr AttributeName kAttributes[] = {
    {"BloglinesSubId", Attribute::kBloglinesSubId},
    {"cachedEnclosures", Attribute::kCachedEnclosures},
    {"cacheDepth", Attribute::kCacheDepth},
    {"cachedWeb", Attribute::kCachedWeb},
    {"cacheEnclosures", Attribute::kCacheEnclosures},
    {"cacheHtml", Attribute::kCacheHtml},
    {"description", Attribute::kDescription},
    {"displayToday", Attribute::kDisplayToday},
    {"enclosureSizeLimitMB", Attribute::kEnclosureSizeLimitMB},
    {"expire", Attribute::kExpire},
    {"expireEnclosures", Attribute::kExpireEnclosures},
    {"expireHTML", Attribute::kExpireHtml},
    {"expireRead", Attribute::kExpireRead},
    {"expireUnread", Attribute::kExpireUnread},
    {"filespec", Attribute::kFilespec},
    {"htmlUrl", Attribute::kHtmlUrl},
    {"imageFilter", Attribute::kImageFilter},
    {"lastETag", Attribute::kLastETag},
    {"lastModified", Attribute::kLastModified},
    {"lastStatus", Attribute::kLastStatus},
    {"lastSuccess", Attribute::kLastSuccess},
    {"lastUpdated", Attribute::kLastUpdated},
    {"newItems", Attribute::kNewItems},
    {"ng:fid", Attribute::kNgFid},
    {"ng:id", Attribute::kNgId},
    {"password", Attribute::kPassword},
    {"subSetRead", Attribute::kSubSetRead},
    {"text", Attribute::kText},
    {"title", Attribute::kTitle},
    {"type", Attribute::kType},
    {"unreadItems", Attribute::kUnreadItems},
    {"updateInterval", Attribute::kUpdateInterval},
    {"Url", Attribute::kUrl},
    {"userName", Attribute::kUserName},
    {"xmlUrl", Attribute::kXmlUrl},
};

template <typename Entry, size_t N>
constexpr bool IsSortedNoCase(const Entry (&table)[N]) {
  for (size_t i = 1; i < N; ++i) {
    if (CompareNameNoCase(table[i - 1].name, table[i].name) >= 0) return false;
  }
  return true;
}
static_assert(IsSortedNoCase(kElements), "element names must stay sorted without case");
static_assert(IsSortedNoCase(kAttributes), "attribute names must stay sorted without case");
static_assert(std::size(kAttributes) == 35);

template <typename Entry, size_t N>
const Entry* LookUpName(const Entry (&table)[N], const char* name) {
  const Entry* end = table + N;
  const Entry* found = std::lower_bound(table, end, name, [](const Entry& e, const char* n) {
    return CompareNameNoCase(e.name, n) < 0;
  });
  return (found != end && CompareNameNoCase(found->name, name) == 0) ? found : nullptr;
}

ElementCode ElementCodeOf(const char* name) {
  const ElementName* e = LookUpName(kElements, name);
  return e ? e->code : kElementOther;
}

// A number attribute: the leading decimal integer, as the device's wcstol reads it into 32 bits.
int32_t NumberValue(std::u16string_view value) {
  const int64_t n = LeadingInteger(value);
  return static_cast<int32_t>(std::clamp<int64_t>(n, INT32_MIN, INT32_MAX));
}

// A subscription id: the leading decimal integer taken modulo 2^32, so every id the writer puts
// down (an unsigned decimal) reads back as itself.
uint32_t SyncIdValue(std::u16string_view value) {
  return static_cast<uint32_t>(static_cast<uint64_t>(LeadingInteger(value)));
}

// A flag attribute: set unless the value is exactly "0".
uint8_t FlagValue(std::u16string_view value) { return value == u"0" ? 0 : 1; }

// A text field that takes the first of its synonyms only.
void SetIfAbsent(OptionalText& field, std::u16string_view value) {
  if (!field) field.emplace(value);
}

// Applies one outline attribute to a node fresh from CreateChannelNode (which always has a
// state). Fields are set directly: the node is not yet visible to any other thread, and the
// state read here is clean by definition (it is what the file says).
void ApplyAttribute(ChannelNode* node, Attribute attribute, std::u16string_view value) {
  ChannelState* state = node->state.get();
  auto stateNumber = [&](int32_t ChannelState::*field) {
    if (state) state->*field = NumberValue(value);
  };
  auto stateFlag = [&](uint8_t ChannelState::*field) {
    if (state) state->*field = FlagValue(value);
  };
  auto stateText = [&](OptionalText ChannelState::*field) {
    if (state) SetIfAbsent(state->*field, value);
  };
  switch (attribute) {
    case Attribute::kBloglinesSubId:
      node->syncService = 0;
      node->syncId = SyncIdValue(value);
      break;
    case Attribute::kNgFid:
    case Attribute::kNgId:
      node->syncService = 1;
      node->syncId = SyncIdValue(value);
      break;
    case Attribute::kCacheDepth: stateNumber(&ChannelState::cacheDepth); break;
    case Attribute::kCachedEnclosures: stateNumber(&ChannelState::cachedEnclosures); break;
    case Attribute::kCachedWeb: stateNumber(&ChannelState::cachedWeb); break;
    case Attribute::kEnclosureSizeLimitMB: stateNumber(&ChannelState::enclosureSizeLimitMB); break;
    case Attribute::kNewItems: stateNumber(&ChannelState::newItems); break;
    case Attribute::kUnreadItems: stateNumber(&ChannelState::unreadItems); break;
    case Attribute::kUpdateInterval: stateNumber(&ChannelState::updateInterval); break;
    case Attribute::kCacheEnclosures: stateFlag(&ChannelState::cacheEnclosures); break;
    case Attribute::kCacheHtml: stateFlag(&ChannelState::cacheHtml); break;
    case Attribute::kDisplayToday: stateFlag(&ChannelState::displayToday); break;
    case Attribute::kImageFilter: stateFlag(&ChannelState::filterImages); break;
    case Attribute::kExpire:
      stateText(&ChannelState::expireUnread);
      stateText(&ChannelState::expireRead);
      break;
    case Attribute::kExpireEnclosures: stateText(&ChannelState::expireEnclosures); break;
    case Attribute::kExpireHtml: stateText(&ChannelState::expireHTML); break;
    case Attribute::kExpireRead: stateText(&ChannelState::expireRead); break;
    case Attribute::kExpireUnread: stateText(&ChannelState::expireUnread); break;
    case Attribute::kLastETag: stateText(&ChannelState::lastETag); break;
    case Attribute::kLastModified: stateText(&ChannelState::lastModified); break;
    case Attribute::kLastStatus: stateText(&ChannelState::lastStatus); break;
    case Attribute::kLastSuccess: stateText(&ChannelState::lastSuccess); break;
    case Attribute::kLastUpdated: stateText(&ChannelState::lastUpdated); break;
    case Attribute::kDescription: SetIfAbsent(node->description, value); break;
    case Attribute::kFilespec: SetIfAbsent(node->filespec, value); break;
    case Attribute::kHtmlUrl: SetIfAbsent(node->htmlUrl, value); break;
    case Attribute::kType: SetIfAbsent(node->type, value); break;
    case Attribute::kUserName: SetIfAbsent(node->userName, value); break;
    case Attribute::kPassword:
      if (!node->password) node->password = UnscramblePassword(value);
      break;
    case Attribute::kSubSetRead: node->subSetRead = FlagValue(value) != 0; break;
    case Attribute::kText:
    case Attribute::kTitle:
      // An empty text is how an untitled node is written: it stays untitled (and a later
      // synonym may still name it), so such a list reads back as it was written.
      if (!node->title && !value.empty()) SetNodeText(node, kNodeTitle, value);  // new id
      break;
    case Attribute::kUrl:
    case Attribute::kXmlUrl:
      if (!node->xmlUrl) SetNodeText(node, kNodeXmlUrl, value);  // recomputes the id
      break;
  }
}

// ---- Reading context ----

// A node being filled, and the last child made inside it (appending after it costs nothing, so a
// folder of many thousand channels reads in linear time).
struct OpenNode {
  ChannelNode* node;
  ChannelNode* lastChild;
};

struct ElementFrame {
  int code;
  bool madeNode;  // an outline that made a node: its end closes that node
};

struct OutlineReader {
  XML_Parser parser = nullptr;
  ChannelNode* root = nullptr;
  // Growable: a deep document keeps every element's parent context.
  std::vector<ElementFrame> elements;
  // nodes.back() is the current node; nodes.front() the root once it is made.
  std::vector<OpenNode> nodes;
  std::string text;  // character data collected since the last end element (UTF-8)
  bool stopped = false;      // the end of "opml" was reached
  bool outOfMemory = false;  // a handler ran out of memory and stopped the parser
};

ChannelNode* CurrentNode(const OutlineReader& reader) {
  return reader.nodes.empty() ? nullptr : reader.nodes.back().node;
}

// The collected text, trimmed; empty means "no value".
std::u16string CollectedValue(const OutlineReader& reader) {
  return Trim(FromUtf8(reader.text));
}

void StopForMemory(OutlineReader& reader) {
  reader.outOfMemory = true;
  XML_StopParser(reader.parser, XML_FALSE);
}

void StartOutline(OutlineReader& reader, const XML_Char** attributes, ElementFrame& frame) {
  if (reader.nodes.empty()) return;
  OpenNode& parent = reader.nodes.back();
  ChannelNode* node = CreateChannelNode(parent.node);
  if (!node) throw std::bad_alloc();
  InsertNode(parent.node, parent.lastChild, node);
  parent.lastChild = node;
  reader.nodes.push_back({node, nullptr});
  frame.madeNode = true;
  for (const XML_Char** a = attributes; a[0] && a[1]; a += 2) {
    if (const AttributeName* known = LookUpName(kAttributes, a[0])) {
      ApplyAttribute(node, known->attribute, FromUtf8(a[1]));
    }
  }
}

void XMLCALL OnStartElement(void* data, const XML_Char* name, const XML_Char** attributes) {
  auto& reader = *static_cast<OutlineReader*>(data);
  try {
    ElementFrame frame{ElementCodeOf(name), false};
    switch (frame.code) {
      case kElementHead:
      case kElementBody:
        if (!reader.root) {
          reader.root = CreateRootNode();
          if (!reader.root) throw std::bad_alloc();
          reader.nodes.push_back({reader.root, nullptr});
        }
        break;
      case kElementKeywords:
        if (ChannelNode* node = CurrentNode(reader)) {
          auto list = std::make_unique<KeywordList>();
          NodeLockGuard held(node);
          node->keywords = std::move(list);
        }
        break;
      case kElementOutline:
        StartOutline(reader, attributes, frame);
        break;
      default:
        break;
    }
    reader.elements.push_back(frame);
  } catch (const std::bad_alloc&) {
    StopForMemory(reader);
  }
}

void XMLCALL OnEndElement(void* data, const XML_Char* name) {
  auto& reader = *static_cast<OutlineReader*>(data);
  try {
    const int code = ElementCodeOf(name);
    ElementFrame frame{code, false};
    if (!reader.elements.empty()) {
      frame = reader.elements.back();
      reader.elements.pop_back();
    }
    const int parentCode = reader.elements.empty() ? kElementOther : reader.elements.back().code;
    ChannelNode* node = CurrentNode(reader);
    switch (code) {
      case kElementTitle:
        if (node) {
          std::u16string value = CollectedValue(reader);
          if (!value.empty()) {
            if (EqualsNoCase(value, LoadStringText(kStringListFileName))) {
              value = LoadStringText(kStringMyChannels);
            }
            SetNodeText(node, kNodeTitle, value);
          }
        }
        break;
      case kElementDateCreated:
        if (node) {
          std::u16string value = CollectedValue(reader);
          if (!value.empty()) {
            NodeLockGuard held(node);
            node->dateCreated = std::move(value);
          }
        }
        break;
      case kElementKeyword:
        if (node && parentCode == kElementKeywords && node->keywords) {
          std::u16string value = CollectedValue(reader);
          if (!value.empty()) AppendKeyword(node->keywords.get(), value);
        }
        break;
      case kElementOutline:
        if (frame.madeNode && reader.nodes.size() > 1) reader.nodes.pop_back();
        break;
      case kElementOpml:
        reader.stopped = true;
        XML_StopParser(reader.parser, XML_FALSE);
        break;
      default:
        break;
    }
    reader.text.clear();
  } catch (const std::bad_alloc&) {
    StopForMemory(reader);
  }
}

void XMLCALL OnCharacterData(void* data, const XML_Char* s, int length) {
  auto& reader = *static_cast<OutlineReader*>(data);
  try {
    reader.text.append(s, static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    StopForMemory(reader);
  }
}

int ClearDirty(ChannelNode* node, void*, uint32_t) {
  NodeLockGuard held(node);
  node->dirty = false;
  return 1;
}

}  // namespace

// ---- Parsing ----

ChannelNode* ParseOutlineDocument(std::string_view bytes, int32_t defaultCodePage, bool markClean,
                                  std::u16string* errorText) {
  if (errorText) errorText->clear();
  bytes = bytes.substr(0, bytes.find('\0'));
  OutlineReader reader;
  // The document's own declaration (or byte order mark) wins over the caller's default; Expat
  // gets byte maps for the charsets it does not know by itself.
  ExpatParser parser = CreateExpatParserFor(documentCodePage(bytes, defaultCodePage));
  if (!parser) {
    if (errorText) {
      *errorText = LoadStringText(kStringParseFailed) +
                   FromUtf8(XML_ErrorString(XML_ERROR_NO_MEMORY));
    }
    return nullptr;
  }
  reader.parser = parser.get();
  XML_SetUserData(parser.get(), &reader);
  XML_SetElementHandler(parser.get(), OnStartElement, OnEndElement);
  XML_SetCharacterDataHandler(parser.get(), OnCharacterData);

  // One final piece, unless the document is too large for Expat's int length.
  XML_Status status = XML_STATUS_OK;
  constexpr size_t kLargestPiece = INT_MAX / 2;
  std::string_view rest = bytes;
  do {
    const std::string_view piece = rest.substr(0, kLargestPiece);
    rest.remove_prefix(piece.size());
    status = XML_Parse(parser.get(), piece.data(), static_cast<int>(piece.size()),
                       rest.empty() ? XML_TRUE : XML_FALSE);
  } while (status == XML_STATUS_OK && !rest.empty());

  if (status == XML_STATUS_ERROR && (reader.outOfMemory || !reader.stopped)) {
    const XML_Error code =
        reader.outOfMemory ? XML_ERROR_NO_MEMORY : XML_GetErrorCode(parser.get());
    // Bytes after the document element count as the end of the document, not as a failure.
    if (reader.outOfMemory || code != XML_ERROR_JUNK_AFTER_DOC_ELEMENT) {
      FreeTree(reader.root);
      if (errorText) {
        const long long line = static_cast<long long>(XML_GetCurrentLineNumber(parser.get()));
        const long long column = static_cast<long long>(XML_GetCurrentColumnNumber(parser.get()));
        try {
          *errorText = LoadStringText(kStringParseFailed) + FromUtf8(XML_ErrorString(code)) +
                       FormatString(LoadStringText(kStringLineAndColumn), line, column);
        } catch (const std::bad_alloc&) {
          errorText->clear();
        }
      }
      return nullptr;
    }
  }
  if (markClean && reader.root) {
    if (KeywordList* keywords = reader.root->keywords.get()) keywords->dirty = false;
    WalkTree(reader.root, ClearDirty, kWalkSiblings | kWalkChildren, nullptr);
  }
  return reader.root;
}

// ---- Files ----

namespace {

// The whole file, opened for reading without sharing. 0 or the error.
platform::DeviceError ReadWholeFile(std::u16string_view path, std::string& bytes) {
  platform::DeviceError error = 0;
  platform::FileHandle file = OpenFileWithRetry(path, platform::kAccessRead, platform::kShareNone,
                                                platform::Disposition::kOpenExisting,
                                                platform::kFileAttributeNormal, &error);
  if (!file.IsOpen()) return error ? error : platform::kErrorInvalidHandle;
  uint64_t size = 0;
  if (platform::DeviceError e = platform::GetFileSize(file, size)) return e;
  if (size >= bytes.max_size()) return platform::kErrorNotEnoughMemory;
  try {
    bytes.assign(static_cast<size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
    return platform::kErrorNotEnoughMemory;
  }
  size_t got = 0;
  while (got < bytes.size()) {
    size_t read = 0;
    if (platform::DeviceError e = platform::ReadFile(file, bytes.data() + got, bytes.size() - got,
                                                     read)) {
      return e;
    }
    if (read == 0) break;  // the file shrank while we read it
    got += read;
  }
  bytes.resize(got);
  return 0;
}

}  // namespace

ChannelNode* ReadOutlineFile(std::u16string_view path, int32_t defaultCodePage, bool markClean,
                             std::u16string* errorText) {
  if (errorText) errorText->clear();
  std::string bytes;
  if (ReadWholeFile(path, bytes) != 0) return nullptr;
  return ParseOutlineDocument(bytes, defaultCodePage, markClean, errorText);
}

std::u16string SubscriptionListPath() {
  std::u16string path = StoragePath();
  if (path.empty() || path.back() != u'\\') path.push_back(u'\\');
  return path + LoadStringText(kStringListFileName);
}

platform::DeviceError SetAsideUnreadableList(std::u16string_view path) {
  std::u16string aside(path);
  aside += u".bad";
  return platform::MoveFile(path, aside, /*replaceExisting=*/true);
}

ChannelNode* LoadSubscriptionList(std::u16string_view path, bool markClean,
                                  ListLoadOutcome* outcome) {
  ListLoadOutcome local;
  ListLoadOutcome& out = outcome ? *outcome : local;
  out = ListLoadOutcome{};
  const std::u16string listPath = path.empty() ? SubscriptionListPath() : std::u16string(path);

  ChannelNode* root = nullptr;
  std::string bytes;
  const platform::DeviceError error = ReadWholeFile(listPath, bytes);
  if (error == 0) {
    root = ParseOutlineDocument(bytes, kOutlineUtf8, markClean, &out.errorText);
    if (root) {
      out.result = ListLoadResult::kRead;
    } else {
      // The empty list that replaces it will be saved over it; keep the user's file aside.
      out.result = ListLoadResult::kUnparsed;
      out.setAside = SetAsideUnreadableList(listPath) == 0;
    }
  } else {
    out.error = error;
    out.result = (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound)
                     ? ListLoadResult::kMissing
                     : ListLoadResult::kUnreadable;
  }

  if (root) {
    LoadChannelStates(root);
    return root;
  }
  root = CreateRootNode();
  if (root) SetNodeText(root, kNodeTitle, LoadStringText(kStringMyChannels));
  return root;
}

}  // namespace nubrel
