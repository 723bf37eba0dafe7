// The streaming HTML scanner every piece of HTML goes through (stored web pages, item bodies,
// feed discovery), and the table of element codes its handlers switch on.
// It never builds a tree and never stops on broken markup: it decodes the input to UTF-16 and
// reports start tags, end tags and text to the caller's handlers. What a caller makes of those
// calls (rewriting a page, finding images, laying out a body) lives with that caller.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nubrel {

// ---- Element codes ----

// Names are compared without regard to case; any name not listed is kHtmlUnknown.
enum HtmlElementCode : int {
  kHtmlUnknown = -1,
  kHtmlB = 0,
  kHtmlS = 1,
  kHtmlI = 2,
  kHtmlEm = 3,
  kHtmlBr = 4,
  kHtmlP = 5,
  kHtmlTr = 6,
  kHtmlLi = 7,
  kHtmlA = 8,
  kHtmlImg = 9,
  kHtmlLink = 10,
  kHtmlFrame = 11,  // frame and iframe
  kHtmlCode = 12,   // code and pre
  kHtmlScript = 13,
  kHtmlStyle = 14,
  kHtmlBlockquote = 15,
  kHtmlHtml = 16,
  kHtmlStrong = 17,
  kHtmlMeta = 18,
  kHtmlBase = 19,
  kHtmlCite = 20,
};

// The code of an element name (binary search over the sorted names).
int ElementCode(std::u16string_view name);

// ---- Attributes ----

// One attribute of a tag, name and value exactly as written (no change of case, no entity
// decoding). A valueless attribute (<option selected>) has no value; name="" has an empty one.
struct HtmlAttribute {
  std::u16string name;
  std::optional<std::u16string> value;
};

// A tag keeps at most this many attributes: the first ones, the rest are read and ignored.
inline constexpr size_t kHtmlMaxAttributes = 128;

// The first attribute whose name equals `name` without regard to case, or null.
const HtmlAttribute* FindHtmlAttribute(std::span<const HtmlAttribute> attributes,
                                       std::u16string_view name);

// ---- The scanner ----

// Code pages of the input: 1 is UTF-16 little-endian, 65001 UTF-8, 0 the device's default
// code page; anything else a byte code page of the device (single- or double-byte). An unknown
// code page reads ASCII as itself and every other byte as U+FFFD.
inline constexpr uint32_t kHtmlUtf16 = 1;
inline constexpr uint32_t kHtmlUtf8 = 65001;

// Handlers; each may be null. `context` is HtmlScanner::context.
using HtmlInputHandler = void (*)(void* context);
// `codePage` is the scanner's current code page: a handler that changes it (a meta tag naming
// the page's charset) switches the decoding from the character after this tag's ">".
using HtmlStartTagHandler = void (*)(void* context, std::u16string_view name,
                                     std::span<const HtmlAttribute> attributes, bool selfClosing,
                                     uint32_t& codePage);
using HtmlEndTagHandler = void (*)(void* context, std::u16string_view name);
using HtmlTextHandler = void (*)(void* context, std::u16string_view text);

// The settings of one run.
struct HtmlScanner {
  HtmlInputHandler startInput = nullptr;  // once, before anything else
  HtmlInputHandler endInput = nullptr;    // once, after everything else (also after a failure)
  HtmlStartTagHandler startTag = nullptr;
  HtmlEndTagHandler endTag = nullptr;
  HtmlTextHandler text = nullptr;
  void* context = nullptr;

  bool decodeEntities = false;  // text: "&eacute;" becomes "é" (attribute values never change)
  uint32_t codePage = kHtmlUtf8;
  // Set: the input is a fragment (an item description) and text is reported from its first
  // character. Clear: a whole document; text before the first tag is dropped, and the scan
  // ends when the element that opened the document closes.
  bool fragment = false;
  bool dropScripts = false;  // clear: a script element is handed whole to the text handler
};

// Scans bytes in settings.codePage; the first zero character (a zero byte, or a zero 16-bit
// unit in UTF-16) or the end of the view ends the input. Returns 0 when the input ended in the
// finished state (a fragment ended outside any tag; a document's elements all closed) and -1
// otherwise (the input ended inside a tag, a "/" in a tag was not followed by ">", a document
// never closed, or memory ran out). Handlers have been called for everything read before.
int ScanHtml(const HtmlScanner& settings, std::string_view input);

// The same over text already in UTF-16 (an item's description): settings.codePage is not used
// and a start-tag handler's change of code page has no effect.
int ScanHtml(const HtmlScanner& settings, std::u16string_view input);

}  // namespace nubrel
