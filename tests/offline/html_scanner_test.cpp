// The HTML scanner seen from its handlers: every state through small inputs and the exact calls
// they give, the character readers (UTF-16, UTF-8, byte and double-byte code pages, a switch of
// code page from a start tag), the attribute cap, and input built to make it grow or stall.
#include "offline/html_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf.h"

namespace nubrel {
namespace {

// ---- A handler recorder ----

// Every handler call as one line: "<a href=[x] selected/>" (self-closing), "</a>", "[text]";
// "^" and "$" for the start and end of input. Text is kept as UTF-8 for readable failures.
struct Recorder {
  std::vector<std::string> calls;
  std::vector<uint32_t> codePagesSeen;  // what each start tag saw as the current code page
  std::vector<bool> metaTagsSeen;       // per start tag: whether it was a meta tag
  uint32_t switchOnMetaTo = 0;          // non-zero: a "meta" start tag sets this code page
  size_t handedUnits = 0;               // everything handed over, in UTF-16 units

  static Recorder& Of(void* context) { return *static_cast<Recorder*>(context); }

  static void StartInput(void* context) { Of(context).calls.push_back("^"); }
  static void EndInput(void* context) { Of(context).calls.push_back("$"); }
  static void StartTag(void* context, std::u16string_view name,
                       std::span<const HtmlAttribute> attributes, bool selfClosing,
                       uint32_t& codePage) {
    Recorder& self = Of(context);
    std::string line = "<" + platform::ToUtf8(name);
    self.handedUnits += name.size();
    for (const HtmlAttribute& attribute : attributes) {
      line += " " + platform::ToUtf8(attribute.name);
      self.handedUnits += attribute.name.size();
      if (attribute.value) {
        line += "=[" + platform::ToUtf8(*attribute.value) + "]";
        self.handedUnits += attribute.value->size();
      }
    }
    line += selfClosing ? "/>" : ">";
    self.calls.push_back(line);
    self.codePagesSeen.push_back(codePage);
    self.metaTagsSeen.push_back(ElementCode(name) == kHtmlMeta);
    if (self.switchOnMetaTo != 0 && ElementCode(name) == kHtmlMeta) codePage = self.switchOnMetaTo;
  }
  static void EndTag(void* context, std::u16string_view name) {
    Of(context).calls.push_back("</" + platform::ToUtf8(name) + ">");
    Of(context).handedUnits += name.size();
  }
  static void Text(void* context, std::u16string_view text) {
    Of(context).calls.push_back("[" + platform::ToUtf8(text) + "]");
    Of(context).handedUnits += text.size();
  }

  HtmlScanner Settings() {
    HtmlScanner settings;
    settings.startInput = StartInput;
    settings.endInput = EndInput;
    settings.startTag = StartTag;
    settings.endTag = EndTag;
    settings.text = Text;
    settings.context = this;
    return settings;
  }

  // The calls between "^" and "$", after checking that those come first and last, once each.
  std::vector<std::string> Body() const {
    EXPECT_GE(calls.size(), 2u);
    if (calls.size() < 2) return calls;
    EXPECT_EQ(calls.front(), "^");
    EXPECT_EQ(calls.back(), "$");
    std::vector<std::string> body(calls.begin() + 1, calls.end() - 1);
    for (const std::string& call : body) {
      EXPECT_NE(call, "^");
      EXPECT_NE(call, "$");
    }
    return body;
  }
};

std::string Joined(const std::vector<std::string>& calls) {
  std::string all;
  for (const std::string& call : calls) all += call;
  return all;
}

// ---- States and transitions ----

enum Mode { kFragment, kDocument };

struct ScanCase {
  const char* name;
  Mode mode;
  bool decodeEntities;
  bool dropScripts;
  std::string input;  // UTF-8
  std::string calls;  // the recorder's lines, joined
  int result;
};

const ScanCase kScanCases[] = {
    // Content, tags and text
    {"text and tags", kFragment, false, false, "a<b>c</b>d", "[a]<b>[c]</b>[d]", 0},
    {"empty fragment", kFragment, false, false, "", "", 0},
    {"line ends fold", kFragment, false, false, "a\r\nb\rc\n\nd", "[a\nb\nc\n\nd]", 0},
    {"stray end tag in a fragment", kFragment, false, false, "</p>x", "</p>[x]", 0},
    {"end tag keeps spaces", kFragment, false, false, "<p>x</p >", "<p>[x]</p >", 0},
    // Attributes
    {"quoted and unquoted", kFragment, false, false,
     "<a href=\"x y\" title='q\"r' data=v1 selected>", "<a href=[x y] title=[q\"r] data=[v1] selected>", 0},
    {"valueless before >", kFragment, false, false, "<input disabled>", "<input disabled>", 0},
    {"spaces around =", kFragment, false, false, "<a href =  \"x\">", "<a href=[x]>", 0},
    {"names without values", kFragment, false, false, "<a b c >", "<a b c>", 0},
    {"unquoted value across a tab", kFragment, false, false, "<a href=x\ty>", "<a href=[x y]>", 0},
    {"line ends in a quoted value", kFragment, false, false, "<a title=\"x\r\ny\nz\">", "<a title=[x y z]>", 0},
    {"quoted value keeps >", kFragment, false, false, "<a title=\"1>0\">", "<a title=[1>0]>", 0},
    {"unquoted value ended by >", kFragment, false, false, "<a href=x>", "<a href=[x]>", 0},
    {"empty unquoted value", kFragment, false, false, "<a href=>", "<a href=[]>", 0},
    {"empty quoted value", kFragment, false, false, "<a href=''>", "<a href=[]>", 0},
    {"semicolons between attributes", kFragment, false, false, "<a ;b=1;>", "<a b=[1;]>", 0},
    {"case kept", kFragment, false, false, "<IMG SRC=X.GIF>", "<IMG SRC=[X.GIF]>", 0},
    // Self-closing
    {"br with a slash", kFragment, false, false, "<br/>x", "<br/>[x]", 0},
    {"slash after a space", kFragment, false, false, "<img src=\"a\" />", "<img src=[a]/>", 0},
    {"slash inside an unquoted value", kFragment, false, false, "<img src=a/>", "<img src=[a/]>", 0},
    {"slash not followed by >", kFragment, false, false, "x<a / b>y", "[x]", -1},
    {"slash then end of input", kFragment, false, false, "<br/", "", -1},
    // Comments, CDATA, declarations
    {"comment dropped", kFragment, false, false, "a<!-- <b> -- -->c", "[a][c]", 0},
    {"empty comment", kFragment, false, false, "<!---->x", "[x]", 0},
    {"comment needs two dashes of its own", kFragment, false, false, "<!-->x-->y", "[y]", 0},
    {"cdata as one text", kFragment, false, false, "<![CDATA[x<y]]>", "[x<y]", 0},
    {"cdata with brackets inside", kFragment, false, false, "<![CDATA[a]]b]>]]>", "[a]]b]>]", 0},
    {"cdata marker respects case", kFragment, false, false, "<![cdata[x]]>", "<![cdata[x]]>", 0},
    {"processing instruction drops text after it", kFragment, false, false, "x<?php 1 ?>y<b>z",
     "[x]<b>[z]", 0},
    // Document mode
    {"text before the first tag dropped", kDocument, false, false, "hello<p>x</p>", "<p>[x]</p>", 0},
    {"doctype then text dropped", kDocument, false, false, "<!DOCTYPE html>junk<html>t</html>",
     "<html>[t]</html>", 0},
    {"xml declaration", kDocument, false, false, "<?xml version=\"1.0\"?>\n<p>x</p>", "<p>[x]</p>", 0},
    {"lower-case doctype is a tag", kDocument, false, false, "<!doctype html><p>x</p>",
     "<!doctype html><p>[x]</p>", -1},
    {"closing the document ends the scan", kDocument, false, false,
     "<html><p>a</p></html><b>after</b>", "<html><p>[a]</p></html>", 0},
    {"self-closing root ends the scan", kDocument, false, false, "<root/>more<b>", "<root/>", 0},
    {"br without slash never closes", kDocument, false, false, "<html><br>x</html>",
     "<html><br>[x]</html>", -1},
    {"br with slash keeps the count", kDocument, false, false, "<html><br/>x</html>y",
     "<html><br/>[x]</html>", 0},
    {"document cut short hands over its text", kDocument, false, false, "<html>tail",
     "<html>[tail]", -1},
    {"document without tags", kDocument, false, false, "just text", "", -1},
    // Scripts
    {"script whole as text", kFragment, false, false,
     "a<script type='t'>if (x < '</script>') y();</script>b",
     "[a][<script type='t'>if (x < '</script>') y();</script>][b]", 0},
    {"script dropped", kFragment, false, true, "a<script>x()</script>b", "[a][b]", 0},
    {"script tag in upper case", kFragment, false, false, "<SCRIPT>x</SCRIPT>", "[<SCRIPT>x</SCRIPT>]", 0},
    {"escaped quote in a script string", kFragment, false, false,
     "<script>s='\\'</script>';</script>", "[<script>s='\\'</script>';</script>]", 0},
    {"script never reaches the tag handlers", kDocument, false, false,
     "<html><script>x</script></html>", "<html>[<script>x</script>]</html>", 0},
    // Entities
    {"amp decoded", kFragment, true, false, "a &amp; b", "[a & b]", 0},
    {"amp kept without decoding", kFragment, false, false, "a &amp; b", "[a &amp; b]", 0},
    {"named and numeric", kFragment, true, false, "&eacute;&#233;&#xE9;&#151;", "[ééé—]", 0},
    {"reference beyond the BMP", kFragment, true, false, "&#128512;", "[\xF0\x9F\x98\x80]", 0},
    {"unknown name kept with one semicolon", kFragment, true, false, "&nosuch;", "[&nosuch;]", 0},
    {"names respect case", kFragment, true, false, "&Amp;", "[&Amp;]", 0},
    {"too many hex digits", kFragment, true, false, "&#x1F600;", "[&#x1F600;]", 0},
    {"ampersand and space", kFragment, true, false, "a & b", "[a & b]", 0},
    {"ampersand and =", kFragment, true, false, "?x&y=1", "[?x&y=1]", 0},
    {"ampersand before a tag", kFragment, true, false, "AT&T<b>x</b>", "[AT&T]<b>[x]</b>", 0},
    {"entities left alone in attributes", kFragment, true, false, "<a href=\"?a=1&amp;b=2\">",
     "<a href=[?a=1&amp;b=2]>", 0},
    {"entity cut short at the end", kFragment, true, false, "x&amp", "[x][&amp]", 0},
    // Input ending inside a tag
    {"inside a quoted value", kFragment, false, false, "x<a href=\"y", "[x]", -1},
    {"inside a name", kFragment, false, false, "x<b", "[x]", -1},
    {"inside an end tag", kFragment, false, false, "x</b", "[x]", -1},
    {"inside a comment", kFragment, false, false, "x<!-- y", "[x]", -1},
    {"inside a script", kFragment, false, false, "x<script>y", "[x]", -1},
    {"after a lone <", kFragment, false, false, "x<", "[x]", -1},
};

TEST(HtmlScannerStates, EachCaseGivesItsCalls) {
  for (const ScanCase& row : kScanCases) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    HtmlScanner settings = recorder.Settings();
    settings.fragment = row.mode == kFragment;
    settings.decodeEntities = row.decodeEntities;
    settings.dropScripts = row.dropScripts;
    EXPECT_EQ(ScanHtml(settings, row.input), row.result);
    EXPECT_EQ(Joined(recorder.Body()), row.calls);

    // The same input as UTF-16 text gives the same calls.
    Recorder wide;
    HtmlScanner wideSettings = wide.Settings();
    wideSettings.fragment = settings.fragment;
    wideSettings.decodeEntities = settings.decodeEntities;
    wideSettings.dropScripts = settings.dropScripts;
    EXPECT_EQ(ScanHtml(wideSettings, platform::FromUtf8(row.input)), row.result);
    EXPECT_EQ(wide.calls, recorder.calls);

    // Handlers are optional, and leaving them out changes nothing about the result.
    HtmlScanner bare;
    bare.fragment = settings.fragment;
    bare.decodeEntities = settings.decodeEntities;
    bare.dropScripts = settings.dropScripts;
    EXPECT_EQ(ScanHtml(bare, row.input), row.result);
  }
}

TEST(HtmlScannerStates, FirstZeroCharacterEndsTheInput) {
  Recorder recorder;
  HtmlScanner settings = recorder.Settings();
  settings.fragment = true;
  EXPECT_EQ(ScanHtml(settings, std::string_view("a<b>c\0<i>d", 10)), 0);
  EXPECT_EQ(Joined(recorder.Body()), "[a]<b>[c]");
}

// ---- Element codes and attributes ----

TEST(HtmlScannerElements, CodesOfTheTable) {
  const struct {
    std::u16string_view name;
    int code;
  } rows[] = {
      {u"b", 0},          {u"s", 1},      {u"i", 2},      {u"em", 3},      {u"br", 4},
      {u"p", 5},          {u"tr", 6},     {u"li", 7},     {u"a", 8},       {u"img", 9},
      {u"link", 10},      {u"frame", 11}, {u"iframe", 11}, {u"code", 12},  {u"pre", 12},
      {u"script", 13},    {u"style", 14}, {u"blockquote", 15},             {u"html", 16},
      {u"strong", 17},    {u"meta", 18},  {u"base", 19},  {u"cite", 20},   {u"BlockQuote", 15},
      {u"IMG", 9},        {u"", -1},      {u"div", -1},   {u"scrip", -1},  {u"scripts", -1},
      {u"b ", -1},        {u"\u0130", -1},  // capital I with dot: lower case "i", not an element
      {u"aa", -1},        {u"tt", -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.name));
    EXPECT_EQ(ElementCode(row.name), row.code);
  }
}

TEST(HtmlScannerElements, FindsAttributesWithoutCase) {
  const HtmlAttribute attributes[] = {
      {u"HREF", u"first"}, {u"title", std::nullopt}, {u"href", u"second"}};
  const HtmlAttribute* href = FindHtmlAttribute(attributes, u"href");
  ASSERT_NE(href, nullptr);
  EXPECT_EQ(*href->value, u"first");
  const HtmlAttribute* title = FindHtmlAttribute(attributes, u"TITLE");
  ASSERT_NE(title, nullptr);
  EXPECT_FALSE(title->value.has_value());
  EXPECT_EQ(FindHtmlAttribute(attributes, u"src"), nullptr);
  EXPECT_EQ(FindHtmlAttribute({}, u"src"), nullptr);
}

TEST(HtmlScannerElements, TagKeepsTheFirst128Attributes) {
  std::string input = "<x";
  for (int i = 0; i < 200; ++i) input += " a" + std::to_string(i) + "=" + std::to_string(i);
  input += "><b>y</b>";

  struct Seen {
    std::vector<std::u16string> names;
    std::vector<std::u16string> values;
    std::vector<std::u16string> tags;
  } seen;
  HtmlScanner settings;
  settings.fragment = true;
  settings.context = &seen;
  settings.startTag = [](void* context, std::u16string_view name,
                         std::span<const HtmlAttribute> attributes, bool, uint32_t&) {
    Seen& self = *static_cast<Seen*>(context);
    self.tags.emplace_back(name);
    if (name != u"x") return;
    for (const HtmlAttribute& attribute : attributes) {
      self.names.push_back(attribute.name);
      self.values.push_back(attribute.value.value_or(u"(none)"));
    }
  };
  EXPECT_EQ(ScanHtml(settings, input), 0);
  ASSERT_EQ(seen.names.size(), kHtmlMaxAttributes);
  EXPECT_EQ(seen.names.front(), u"a0");
  EXPECT_EQ(seen.values.front(), u"0");
  EXPECT_EQ(seen.names.back(), u"a127");
  EXPECT_EQ(seen.values.back(), u"127");
  EXPECT_EQ(seen.tags, (std::vector<std::u16string>{u"x", u"b"}));
}

TEST(HtmlScannerElements, AttributesDoNotLeakIntoTheNextTag) {
  Recorder recorder;
  HtmlScanner settings = recorder.Settings();
  settings.fragment = true;
  EXPECT_EQ(ScanHtml(settings, "<a href=x title><b><img src=y/><i>"), 0);
  EXPECT_EQ(Joined(recorder.Body()), "<a href=[x] title><b><img src=[y/]><i>");
}

// ---- Character readers ----

std::string Utf16Bytes(std::u16string_view text) {
  std::string bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

struct ReaderCase {
  const char* name;
  uint32_t codePage;
  std::string input;
  std::string calls;  // UTF-8
};

const ReaderCase kReaderCases[] = {
    {"utf-16", 1, Utf16Bytes(u"<b>\u00E9\u65E5</b>"), "<b>[é日]</b>"},
    {"utf-16 surrogate pair", 1, Utf16Bytes(u"<i>\U0001F600</i>"), "<i>[\xF0\x9F\x98\x80]</i>"},
    {"utf-16 zero unit ends", 1, Utf16Bytes(u"x") + std::string("\0\0<b>", 5), "[x]"},
    {"utf-16 odd byte at the end", 1, Utf16Bytes(u"x<b>") + "y", "[x]<b>"},
    {"utf-16 cr lf", 1, Utf16Bytes(u"a\r\nb"), "[a\nb]"},
    {"utf-8 two and three bytes", 65001, "\xC3\xA9<b>\xE6\x97\xA5</b>", "[é]<b>[日]</b>"},
    {"utf-8 four bytes", 65001, "<i>\xF0\x9F\x98\x80</i>", "<i>[\xF0\x9F\x98\x80]</i>"},
    {"utf-8 stray continuation", 65001, "a\x80\xBF" "b", "[a\xEF\xBF\xBD\xEF\xBF\xBD" "b]"},
    {"utf-8 cut short before a tag", 65001, "\xE2\x82<b>", "[\xEF\xBF\xBD]<b>"},
    {"utf-8 cut short before the zero", 65001, std::string("x\xF0\x9F\0<b>", 6), "[x\xEF\xBF\xBD]"},
    {"utf-8 cut short at the end", 65001, "x\xE6\x97", "[x\xEF\xBF\xBD]"},
    {"utf-8 overlong", 65001, "\xC0\xAF", "[\xEF\xBF\xBD\xEF\xBF\xBD]"},
    {"utf-8 encoded surrogate", 65001, "\xED\xA0\x80", "[\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD]"},
    {"utf-8 beyond U+10FFFF", 65001, "\xF4\x90\x80\x80", "[\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD]"},
    {"utf-8 lead bytes that start nothing", 65001, "\xF8\xFF", "[\xEF\xBF\xBD\xEF\xBF\xBD]"},
    {"windows-1251", 1251, "<p>\xCF\xF0\xE8</p>", "<p>[При]</p>"},
    {"windows-1252", 1252, "<p>\x80\xE9</p>", "<p>[€é]</p>"},
    {"shift_jis", 932, "<p>\x93\xFA\x96\x7B</p>", "<p>[日本]</p>"},
    {"shift_jis trail byte like a backslash", 932, "<a title=\"\x95\x5C\">", "<a title=[表]>"},
    {"shift_jis half-width katakana", 932, "<p>\xB1</p>", "<p>[ｱ]</p>"},
    {"shift_jis lead byte before markup", 932, "\x93<b>", "[\xEF\xBF\xBD]<b>"},
    {"shift_jis lead byte at the end", 932, "x\x93", "[x\xEF\xBF\xBD]"},
    {"unknown code page keeps ascii", 4242, "<b>x\xE9</b>", "<b>[x\xEF\xBF\xBD]</b>"},
};

TEST(HtmlScannerReaders, CodePagesDecode) {
  for (const ReaderCase& row : kReaderCases) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    HtmlScanner settings = recorder.Settings();
    settings.fragment = true;
    settings.codePage = row.codePage;
    ScanHtml(settings, row.input);
    EXPECT_EQ(Joined(recorder.Body()), row.calls);
    for (uint32_t seen : recorder.codePagesSeen) EXPECT_EQ(seen, row.codePage);
  }
}

TEST(HtmlScannerReaders, WideTextKeepsUnitsAsGiven) {
  Recorder recorder;
  HtmlScanner settings = recorder.Settings();
  settings.fragment = true;
  // A lone surrogate is not ours to mend in text that is already UTF-16.
  const std::u16string text = u"<b>\U0001F600\xD800</b>";
  EXPECT_EQ(ScanHtml(settings, text), 0);
  ASSERT_EQ(recorder.calls.size(), 5u);
  EXPECT_EQ(recorder.calls[1], "<b>");
  EXPECT_EQ(recorder.calls[3], "</b>");
  EXPECT_EQ(recorder.handedUnits, 1u + 3u + 1u);  // b, the pair and the lone unit, b
}

struct SwitchCase {
  const char* name;
  uint32_t from;
  uint32_t to;
  std::string input;
  std::string calls;
};

const SwitchCase kSwitchCases[] = {
    {"1252 to 1251", 1252, 1251, "<html>\xCF<meta charset=windows-1251>\xCF</html>",
     "<html>[Ï]<meta charset=[windows-1251]>[П]</html>"},
    {"utf-8 to shift_jis", 65001, 932, "\xC3\xA9<meta x/>\x93\xFA", "[é]<meta x/>[日]"},
    {"shift_jis to utf-8", 932, 65001, "\x93\xFA<meta>\xC3\xA9", "[日]<meta>[é]"},
    {"utf-8 to utf-16", 65001, 1, "<meta>" + Utf16Bytes(u"\u00E9<b>"), "<meta>[é]<b>"},
    {"1251 to 1252", 1251, 1252, "\xCF<meta>\xCF<b>", "[П]<meta>[Ï]<b>"},
};

TEST(HtmlScannerReaders, StartTagSwitchesTheCodePage) {
  for (const SwitchCase& row : kSwitchCases) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    recorder.switchOnMetaTo = row.to;
    HtmlScanner settings = recorder.Settings();
    settings.fragment = true;
    settings.codePage = row.from;
    ScanHtml(settings, row.input);
    EXPECT_EQ(Joined(recorder.Body()), row.calls);
    // Tags up to the meta tag see the first code page, tags after it the new one.
    ASSERT_EQ(recorder.codePagesSeen.size(), recorder.metaTagsSeen.size());
    bool afterMeta = false;
    for (size_t i = 0; i < recorder.codePagesSeen.size(); ++i) {
      EXPECT_EQ(recorder.codePagesSeen[i], afterMeta ? row.to : row.from);
      afterMeta = afterMeta || recorder.metaTagsSeen[i];
    }
  }
}

TEST(HtmlScannerReaders, SwitchHasNoEffectOnWideText) {
  Recorder recorder;
  recorder.switchOnMetaTo = 932;
  HtmlScanner settings = recorder.Settings();
  settings.fragment = true;
  EXPECT_EQ(ScanHtml(settings, u"<meta>\u00E9\u65E5"), 0);
  EXPECT_EQ(Joined(recorder.Body()), "<meta>[é日]");
}

// ---- Pathological input ----

struct HostileCase {
  const char* name;
  bool fragment;
  std::string input;
  int result;
};

// `piece` repeated until the text is at least `size` bytes long.
std::string Repeat(std::string_view piece, size_t size) {
  std::string text;
  while (text.size() < size) text += piece;
  return text;
}

TEST(HtmlScannerHostile, MegabyteInputsStayBounded) {
  const size_t kSize = 1 << 20;
  const HostileCase rows[] = {
      {"only <", true, Repeat("<", kSize), -1},
      {"unterminated double quote", true, "<a b=\"" + Repeat("x", kSize), -1},
      {"many unterminated quotes", true, Repeat("<a b='", kSize), -1},
      {"endless entity", true, "&" + Repeat("a", kSize), 0},
      {"endless comment of dashes", true, "<!--" + Repeat("-", kSize), -1},
      {"endless script string", false, "<script>'" + Repeat("<", kSize), -1},
      {"endless cdata", true, "<![CDATA[" + Repeat("]", kSize), -1},
      {"nested opens in a document", false, Repeat("<div>", kSize), -1},
      {"attributes without end", true, "<x" + Repeat(" a=\"\"", kSize), -1},
      {"broken utf-8", true, Repeat("\xF0", kSize), 0},
  };
  for (const HostileCase& row : rows) {
    SCOPED_TRACE(row.name);
    Recorder recorder;
    HtmlScanner settings = recorder.Settings();
    settings.fragment = row.fragment;
    EXPECT_EQ(ScanHtml(settings, row.input), row.result);
    // Nothing is handed over twice: what the handlers see is never more than was read.
    EXPECT_LE(recorder.handedUnits, row.input.size());
  }
}

}  // namespace
}  // namespace nubrel
