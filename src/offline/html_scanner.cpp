// The HTML scanner: the element code table, the character reader (UTF-16, UTF-8, byte code
// pages of the device) and the one-pass state machine that calls the caller's handlers.
// Named and numeric character references are decoded by the feed engine's entity decoder
// (feeds/encodings.h); the scanner only decides where a reference starts and ends.
//
//   ---- Element codes ----        ElementCode, FindHtmlAttribute
//   ---- Reading characters ----   CharacterReader (code page switch, CR/LF, U+FFFD rules)
//   ---- The state machine ----    Scan: one loop over the characters, one case per state
//   ---- Entry points ----         ScanHtml over bytes and over UTF-16 text
#include "offline/html_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "feeds/encodings.h"
#include "platform/code_pages.h"

namespace nubrel {

// ---- Element codes ----

namespace {

struct ElementEntry {
  std::u16string_view name;  // lower case; the table is sorted by it
  int code;
};

constexpr ElementEntry kElements[] = {
    {u"a", kHtmlA},           {u"b", kHtmlB},         {u"base", kHtmlBase},
    {u"blockquote", kHtmlBlockquote},                 {u"br", kHtmlBr},
    {u"cite", kHtmlCite},     {u"code", kHtmlCode},   {u"em", kHtmlEm},
    {u"frame", kHtmlFrame},   {u"html", kHtmlHtml},   {u"i", kHtmlI},
    {u"iframe", kHtmlFrame},  {u"img", kHtmlImg},     {u"li", kHtmlLi},
    {u"link", kHtmlLink},     {u"meta", kHtmlMeta},   {u"p", kHtmlP},
    {u"pre", kHtmlCode},      {u"s", kHtmlS},         {u"script", kHtmlScript},
    {u"strong", kHtmlStrong}, {u"style", kHtmlStyle}, {u"tr", kHtmlTr},
};

// Element and attribute names are ASCII; folding only ASCII keeps "İ" (whose lower case is
// "i") or the Kelvin sign from matching a name by accident.
constexpr char16_t FoldAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

// <0, 0, >0 comparing `name` folded to lower case with an already lower-case table name.
int CompareFolded(std::u16string_view name, std::u16string_view lower) {
  const size_t n = std::min(name.size(), lower.size());
  for (size_t i = 0; i < n; ++i) {
    const char16_t a = FoldAscii(name[i]);
    if (a != lower[i]) return a < lower[i] ? -1 : 1;
  }
  if (name.size() == lower.size()) return 0;
  return name.size() < lower.size() ? -1 : 1;
}

bool EqualsAsciiNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

bool EndsWithAsciiNoCase(std::u16string_view text, std::u16string_view lowerSuffix) {
  if (text.size() < lowerSuffix.size()) return false;
  return CompareFolded(text.substr(text.size() - lowerSuffix.size()), lowerSuffix) == 0;
}

}  // namespace

int ElementCode(std::u16string_view name) {
  size_t low = 0;
  size_t high = std::size(kElements);
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    const int order = CompareFolded(name, kElements[middle].name);
    if (order == 0) return kElements[middle].code;
    if (order < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return kHtmlUnknown;
}

const HtmlAttribute* FindHtmlAttribute(std::span<const HtmlAttribute> attributes,
                                       std::u16string_view name) {
  for (const HtmlAttribute& attribute : attributes) {
    if (EqualsAsciiNoCase(attribute.name, name)) return &attribute;
  }
  return nullptr;
}

// ---- Reading characters ----

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Hands out the input one UTF-16 unit at a time. A character outside the BMP (four UTF-8
// bytes) comes out as its two surrogates. The first zero character, or the end of the buffer,
// ends the input. Carriage returns come out as line feeds, and a line feed right after one is
// skipped, so CR, LF and CR LF all read as one line feed.
class CharacterReader {
 public:
  CharacterReader(const uint8_t* bytes, size_t size, uint32_t codePage)
      : bytes_(bytes), size_(size) {
    SetCodePage(codePage);
  }
  CharacterReader(const char16_t* units, size_t count) : units_(units), size_(count) {
    mode_ = Mode::kNativeUnits;
  }

  // Takes effect from the next character read. Text already in UTF-16 keeps being read as such.
  void SetCodePage(uint32_t codePage) {
    if (mode_ == Mode::kNativeUnits) return;
    if (codePage == 0) codePage = platform::DefaultCodePage();
    if (codePage == kHtmlUtf16) {
      mode_ = Mode::kUtf16;
      return;
    }
    if (codePage == kHtmlUtf8) {
      mode_ = Mode::kUtf8;
      return;
    }
    mode_ = Mode::kBytes;
    if (codePage == tableCodePage_) return;  // the table in hand is still right
    tableCodePage_ = codePage;
    leadBytes_.fill(false);
    for (unsigned b = 0; b < 256; ++b) {
      char16_t unit = kReplacement;
      const uint8_t byte = static_cast<uint8_t>(b);
      if (platform::SingleByteToWide(codePage, byte, unit) != 0) {
        // An unknown code page still reads markup: ASCII stands for itself.
        unit = (b < 0x80 && !platform::IsValidCodePage(codePage)) ? static_cast<char16_t>(b)
                                                                  : kReplacement;
        if (platform::IsLeadByte(codePage, byte)) leadBytes_[b] = true;
      }
      table_[b] = unit;
    }
  }

  bool Next(char16_t& out) {
    for (;;) {
      char16_t c;
      if (pendingLow_ != 0) {
        c = pendingLow_;
        pendingLow_ = 0;
      } else if (!Raw(c)) {
        return false;
      }
      if (c == u'\r') {
        afterCarriageReturn_ = true;
        out = u'\n';
        return true;
      }
      const bool skip = c == u'\n' && afterCarriageReturn_;
      afterCarriageReturn_ = false;
      if (skip) continue;
      out = c;
      return true;
    }
  }

 private:
  enum class Mode { kNativeUnits, kUtf16, kUtf8, kBytes };

  // One unit before line-end folding; false at the end of the input.
  bool Raw(char16_t& out) {
    if (ended_ || position_ >= size_) return End();
    switch (mode_) {
      case Mode::kNativeUnits:
        out = units_[position_++];
        return out != 0 || End();
      case Mode::kUtf16: {
        if (size_ - position_ < 2) return End();  // an odd byte at the end is no character
        out = static_cast<char16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
        position_ += 2;
        return out != 0 || End();
      }
      case Mode::kUtf8:
        if (bytes_[position_] < 0x80) {  // most of any page: markup and ASCII text
          out = bytes_[position_++];
          return out != 0 || End();
        }
        return ReadUtf8(out);
      case Mode::kBytes:
        return ReadByteCodePage(out);
    }
    return End();
  }

  bool End() {
    ended_ = true;
    return false;
  }

  // Whether the byte at `at` exists and is a continuation byte within [low, high].
  bool ContinuationAt(size_t at, uint8_t low = 0x80, uint8_t high = 0xBF) const {
    return at < size_ && bytes_[at] >= low && bytes_[at] <= high;
  }

  // Well-formed sequences only. Anything else gives one U+FFFD for the longest start of a
  // well-formed sequence (at least one byte), so a broken sequence never swallows the "<" or
  // the zero byte after it.
  bool ReadUtf8(char16_t& out) {
    const uint8_t lead = bytes_[position_];
    if (lead < 0x80) {
      ++position_;
      out = lead;
      return lead != 0 || End();
    }
    size_t length = 0;
    uint8_t secondLow = 0x80;
    uint8_t secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) secondLow = 0xA0;   // shorter forms of the same character
      if (lead == 0xED) secondHigh = 0x9F;  // encoded surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) secondLow = 0x90;
      if (lead == 0xF4) secondHigh = 0x8F;  // above U+10FFFF
    }
    if (length == 0) {  // a stray continuation byte, C0, C1 or F5 to FF
      ++position_;
      out = kReplacement;
      return true;
    }
    uint32_t value = lead & (0x7F >> length);
    size_t used = 1;
    for (; used < length; ++used) {
      const bool fits = used == 1 ? ContinuationAt(position_ + 1, secondLow, secondHigh)
                                  : ContinuationAt(position_ + used);
      if (!fits) {
        position_ += used;
        out = kReplacement;
        return true;
      }
      value = (value << 6) | (bytes_[position_ + used] & 0x3F);
    }
    position_ += length;
    if (value >= 0x10000) {
      value -= 0x10000;
      out = static_cast<char16_t>(0xD800 + (value >> 10));
      pendingLow_ = static_cast<char16_t>(0xDC00 + (value & 0x3FF));
    } else {
      out = static_cast<char16_t>(value);
    }
    return true;
  }

  bool ReadByteCodePage(char16_t& out) {
    const uint8_t byte = bytes_[position_++];
    if (byte == 0) return End();
    if (!leadBytes_[byte]) {
      out = table_[byte];
      return true;
    }
    // A lead byte: its trail byte follows. A byte too low to be a trail byte (markup, the
    // zero at the end) is left to be read on its own, so only the lead byte is lost.
    out = kReplacement;
    if (position_ >= size_) return true;
    const uint8_t trail = bytes_[position_];
    if (trail < 0x40) return true;
    ++position_;
    char16_t unit = kReplacement;
    if (platform::DoubleByteToWide(tableCodePage_, byte, trail, unit) == 0) out = unit;
    return true;
  }

  const uint8_t* bytes_ = nullptr;
  const char16_t* units_ = nullptr;
  size_t size_ = 0;      // bytes, or units for text already in UTF-16
  size_t position_ = 0;  // the next byte (or unit) to read
  bool ended_ = false;   // the zero character or the end was met; nothing more is read
  Mode mode_ = Mode::kUtf8;
  char16_t pendingLow_ = 0;  // the second half of a surrogate pair still to hand out
  bool afterCarriageReturn_ = false;
  uint32_t tableCodePage_ = 0xFFFFFFFF;  // the code page table_ was built for; none yet
  std::array<char16_t, 256> table_{};    // byte code pages: a byte on its own
  std::array<bool, 256> leadBytes_{};    // double-byte code pages: bytes that begin a pair
};

// ---- The state machine ----

enum class State {
  kProlog,            // document mode, before the first tag or after a declaration
  kContent,           // text between tags
  kEntity,            // after "&" in text
  kOpen,              // after "<"
  kTagName,
  kBetweenAttributes,
  kAttributeName,
  kAfterAttributeName,  // white space after an attribute name: "=" may still follow
  kBeforeValue,
  kValue,
  kSelfClosing,       // after "/" inside a tag
  kEndTagName,
  kComment,
  kCdata,
  kDeclaration,       // <!DOCTYPE ...> and <? ... ?>
  kScript,
  kScriptString,      // a single-quoted string inside a script
};

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\f'; }

class Scan {
 public:
  Scan(const HtmlScanner& settings, CharacterReader& reader)
      : settings_(settings), reader_(reader), codePage_(settings.codePage) {
    keepText_ = settings.text != nullptr;
  }

  int Run() {
    if (settings_.startInput) settings_.startInput(settings_.context);
    state_ = settings_.fragment ? State::kContent : State::kProlog;
    const bool completed = Loop();
    if (completed) AtEndOfInput();
    if (settings_.endInput) settings_.endInput(settings_.context);
    return finished_ ? 0 : -1;
  }

 private:
  // False when a "/" in a tag was followed by anything but ">" (the scan stops there).
  bool Loop() {
    for (;;) {
      if (finished_) return true;
      char16_t c;
      if (hasPutBack_) {
        c = putBack_;
        hasPutBack_ = false;
      } else if (!reader_.Next(c)) {
        return true;
      }
      if (!Step(c)) return false;
    }
  }

  bool Step(char16_t c) {
    switch (state_) {
      case State::kProlog:
        if (c == u'<') {
          returnState_ = State::kContent;
          state_ = State::kOpen;
        }
        return true;

      case State::kContent:
        if (c == u'<') {
          returnState_ = State::kContent;
          FlushText();
          state_ = State::kOpen;
        } else if (c == u'&') {
          returnState_ = State::kContent;
          entity_.clear();
          state_ = State::kEntity;
        } else {
          AddText(c);
        }
        return true;

      case State::kEntity:
        if (c == u';') {
          EndEntity();
          state_ = returnState_;
        } else if (IsSpace(c) || c == u'=' || c == u'&') {
          AddText(u'&');
          AddText(entity_);
          AddText(c);
          state_ = returnState_;
        } else if (c == u'<') {
          // "AT&T<br>": the tag is still a tag, and the ampersand stays as written.
          AddText(u'&');
          AddText(entity_);
          PutBack(c);
          state_ = returnState_;
        } else {
          entity_.push_back(c);
        }
        return true;

      case State::kOpen:
        if (c == u'/') {
          name_.clear();
          state_ = State::kEndTagName;
        } else if (c == u'?') {
          state_ = State::kDeclaration;
        } else {
          name_.assign(1, c);
          attributeCount_ = 0;
          state_ = State::kTagName;
        }
        return true;

      case State::kTagName:
        return TagNameStep(c);

      case State::kBetweenAttributes:
        if (c == u'>') {
          ++openElements_;
          CallStartTag(false);
          attributeCount_ = 0;
          state_ = returnState_;
        } else if (c == u'/') {
          state_ = State::kSelfClosing;
        } else if (!IsSpace(c) && c != u';') {
          attributeName_.assign(1, c);
          state_ = State::kAttributeName;
        }
        return true;

      case State::kAttributeName:
        if (c == u'=') {
          state_ = State::kBeforeValue;
        } else if (c == u'>') {
          PutBack(c);
          StoreAttribute(false);
          state_ = State::kBetweenAttributes;
        } else if (IsSpace(c)) {
          state_ = State::kAfterAttributeName;
        } else {
          attributeName_.push_back(c);
        }
        return true;

      case State::kAfterAttributeName:
        if (c == u'=') {
          state_ = State::kBeforeValue;
        } else {
          PutBack(c);
          StoreAttribute(false);
          state_ = State::kBetweenAttributes;
        }
        return true;

      case State::kBeforeValue:
        if (c == u'"' || c == u'\'') {
          valueEnd_ = c;
          attributeValue_.clear();
          state_ = State::kValue;
        } else if (!IsSpace(c)) {
          valueEnd_ = u' ';
          attributeValue_.clear();
          PutBack(c);
          state_ = State::kValue;
        }
        return true;

      case State::kValue:
        if (c == valueEnd_) {
          StoreAttribute(true);
          state_ = State::kBetweenAttributes;
        } else if (valueEnd_ == u' ' && c == u'>') {
          StoreAttribute(true);
          PutBack(c);
          state_ = State::kBetweenAttributes;
        } else {
          attributeValue_.push_back((c == u'\n' || c == u'\t') ? u' ' : c);
        }
        return true;

      case State::kSelfClosing:
        if (c != u'>') return false;
        CallStartTag(true);
        if (!settings_.fragment && openElements_ <= 0) {
          finished_ = true;
        } else {
          attributeCount_ = 0;
          state_ = returnState_;
        }
        return true;

      case State::kEndTagName:
        if (c == u'>') {
          --openElements_;
          if (openElements_ == 0 && !settings_.fragment) finished_ = true;
          if (settings_.endTag) settings_.endTag(settings_.context, name_);
          state_ = returnState_;
        } else {
          name_.push_back(c);
        }
        return true;

      case State::kComment:
        // Nothing of a comment is kept: only whether the last two characters were dashes.
        if (c == u'>' && trailingDashes_ >= 2) {
          state_ = returnState_;
        } else {
          trailingDashes_ = c == u'-' ? trailingDashes_ + 1 : 0;
        }
        return true;

      case State::kCdata:
        if (c == u'>' && collected_.size() >= 2 &&
            collected_.compare(collected_.size() - 2, 2, u"]]") == 0) {
          collected_.resize(collected_.size() - 2);
          if (settings_.text && !collected_.empty()) settings_.text(settings_.context, collected_);
          collected_.clear();
          state_ = returnState_;
        } else {
          collected_.push_back(c);
        }
        return true;

      case State::kDeclaration:
        if (c == u'>') {
          state_ = returnState_ == State::kContent ? State::kProlog : returnState_;
        }
        return true;

      case State::kScript:
        if (c == u'\'' && !AfterBackslash()) {
          collected_.push_back(c);
          state_ = State::kScriptString;
        } else if (c == u'>' && EndsWithAsciiNoCase(collected_, u"/script")) {
          collected_.push_back(c);
          if (!settings_.dropScripts && settings_.text) {
            collected_.insert(collected_.begin(), u'<');
            settings_.text(settings_.context, collected_);
          }
          collected_.clear();
          state_ = returnState_;
        } else {
          collected_.push_back(c);
        }
        return true;

      case State::kScriptString:
        if (c == u'\'' && !AfterBackslash()) state_ = State::kScript;
        collected_.push_back(c);
        return true;
    }
    return true;
  }

  bool TagNameStep(char16_t c) {
    if (c == u'>') {
      ++openElements_;
      CallStartTag(false);
      state_ = returnState_;
    } else if (c == u'/') {
      state_ = State::kSelfClosing;
    } else if (IsSpace(c)) {
      state_ = State::kBetweenAttributes;
    } else if (c == u'-' && name_ == u"!-") {
      trailingDashes_ = 0;
      state_ = State::kComment;
    } else if (c == u'[' && name_ == u"![CDATA") {
      collected_.clear();
      state_ = State::kCdata;
    } else if (c == u'E' && name_ == u"!DOCTYP") {
      state_ = State::kDeclaration;
    } else if ((c == u't' || c == u'T') && EqualsAsciiNoCase(name_, u"scrip")) {
      collected_ = name_;
      collected_.push_back(c);
      state_ = State::kScript;
    } else {
      name_.push_back(c);
    }
    return true;
  }

  bool AfterBackslash() const { return !collected_.empty() && collected_.back() == u'\\'; }

  void PutBack(char16_t c) {
    putBack_ = c;
    hasPutBack_ = true;
  }

  void AddText(char16_t c) {
    if (keepText_) text_.push_back(c);
  }
  void AddText(std::u16string_view text) {
    if (keepText_) text_.append(text);
  }

  void FlushText() {
    if (text_.empty()) return;
    if (settings_.text) settings_.text(settings_.context, text_);
    text_.clear();
  }

  void EndEntity() {
    if (settings_.decodeEntities) {
      const char32_t decoded = DecodeName();
      if (decoded >= 0x10000) {
        AddText(static_cast<char16_t>(0xD800 + ((decoded - 0x10000) >> 10)));
        AddText(static_cast<char16_t>(0xDC00 + ((decoded - 0x10000) & 0x3FF)));
        return;
      }
      if (decoded != 0) {
        AddText(static_cast<char16_t>(decoded));
        return;
      }
    }
    AddText(u'&');
    AddText(entity_);
    AddText(u';');
  }

  // The character of the reference "&" + entity_ + ";", or 0 when it is not one that the
  // entity decoder knows (it must take the whole name and the semicolon).
  char32_t DecodeName() {
    entity_.push_back(u';');
    size_t length = 0;
    const char32_t decoded = decodeReference(entity_, length);
    entity_.pop_back();
    return decoded != 0 && length == entity_.size() + 1 ? decoded : 0;
  }

  // Stores the attribute in hand; past the cap it is read but not kept.
  void StoreAttribute(bool hasValue) {
    if (attributeCount_ >= kHtmlMaxAttributes) return;
    if (attributes_.size() <= attributeCount_) attributes_.emplace_back();
    HtmlAttribute& slot = attributes_[attributeCount_++];
    // Swapping keeps every buffer's capacity for the next tag.
    slot.name.swap(attributeName_);
    attributeName_.clear();
    if (hasValue) {
      if (!slot.value) slot.value.emplace();
      slot.value->swap(attributeValue_);
      attributeValue_.clear();
    } else {
      slot.value.reset();
    }
  }

  void CallStartTag(bool selfClosing) {
    if (!settings_.startTag) return;
    uint32_t codePage = codePage_;
    settings_.startTag(settings_.context, name_,
                       std::span<const HtmlAttribute>(attributes_.data(), attributeCount_),
                       selfClosing, codePage);
    if (codePage != codePage_) {
      codePage_ = codePage;
      reader_.SetCodePage(codePage);
    }
  }

  void AtEndOfInput() {
    if (finished_) return;
    if (state_ != State::kContent && state_ != State::kEntity) return;
    // A document cut short stays unfinished, but its last text is still handed over.
    FlushText();
    if (state_ == State::kEntity && keepText_) {
      text_.assign(1, u'&');
      text_.append(entity_);
      FlushText();
    }
    if (settings_.fragment) finished_ = true;
  }

  const HtmlScanner& settings_;
  CharacterReader& reader_;
  uint32_t codePage_;  // what the start-tag handler sees and may change
  bool keepText_;      // false without a text handler: text is not collected at all

  State state_ = State::kContent;
  State returnState_ = State::kContent;  // where a tag, entity or declaration returns to
  bool finished_ = false;
  int64_t openElements_ = 0;  // start tags less end tags; a stray end tag can make it negative
  char16_t putBack_ = 0;
  bool hasPutBack_ = false;

  std::u16string text_;       // text not yet handed to the text handler
  std::u16string entity_;     // the name after "&"
  std::u16string name_;       // element name of the tag in hand
  std::u16string collected_;  // CDATA section or script element in hand
  int trailingDashes_ = 0;    // comment: dashes just read
  std::vector<HtmlAttribute> attributes_;  // slots reused from tag to tag
  size_t attributeCount_ = 0;              // slots of the tag in hand
  std::u16string attributeName_;
  std::u16string attributeValue_;
  char16_t valueEnd_ = u'"';  // the quote that ends the value, or a space for an unquoted one
};

int RunScan(const HtmlScanner& settings, CharacterReader& reader) {
  try {
    Scan scan(settings, reader);
    return scan.Run();
  } catch (const std::bad_alloc&) {
    // The handlers have seen everything up to here; the end of input is still announced.
    if (settings.endInput) settings.endInput(settings.context);
    return -1;
  }
}

}  // namespace

// ---- Entry points ----

int ScanHtml(const HtmlScanner& settings, std::string_view input) {
  CharacterReader reader(reinterpret_cast<const uint8_t*>(input.data()), input.size(),
                         settings.codePage);
  return RunScan(settings, reader);
}

int ScanHtml(const HtmlScanner& settings, std::u16string_view input) {
  CharacterReader reader(input.data(), input.size());
  return RunScan(settings, reader);
}

}  // namespace nubrel
