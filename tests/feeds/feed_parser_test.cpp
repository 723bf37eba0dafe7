// The feed parser through small feeds and the fixtures in data/: the element table, every
// dialect's fields, links, authors, pass-through, enclosures, service-read, skip days and hours,
// the after-parse pass and every failure text. The item file's own tests are item_file_test.cpp.
#include <expat.h>
#include <gtest/gtest.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "feeds/dates.h"
#include "feeds/feed_parser.h"
#include "feeds/item_list.h"
#include "platform/device_time.h"
#include "platform/utf.h"

namespace nubrel {
namespace {

using platform::FileTime;

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(NUBREL_TEST_DIR) + "/data/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A field as UTF-8 for comparisons, "<null>" when absent.
std::string U8(const OptionalText& text) { return text ? platform::ToUtf8(*text) : "<null>"; }

FileTime Iso(const char16_t* text) {
  FileTime time = 0;
  EXPECT_TRUE(parseIsoDate(text, time)) << platform::ToUtf8(text);
  return time;
}

std::vector<FeedItem*> Items(ItemList& list) {
  std::vector<FeedItem*> items;
  for (FeedItem* item = list.first; item; item = item->next) items.push_back(item);
  return items;
}

uint32_t ReadState(const FeedItem& item) { return item.flags & kReadStateMask; }
uint32_t ServiceRead(const FeedItem& item) {
  return (item.flags & kServiceReadMask) >> kServiceReadShift;
}

// An RSS 2.0 document around a channel body.
std::string Rss(const std::string& channelBody) {
  return "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel>" + channelBody +
         "</channel></rss>";
}
std::string Atom(const std::string& feedBody) { return "<feed>" + feedBody + "</feed>"; }

class FeedParserTest : public ::testing::Test {
 protected:
  static constexpr FileTime kNow = 128680560000000000ULL;  // 2008-10-10T12:00:00Z
  void SetUp() override { platform::PinClock(kNow); }
  void TearDown() override {
    platform::UnpinClock();
    SetParserFaultForTests(0);
  }

  std::unique_ptr<ItemList> Parse(std::string_view document, int32_t codePage = 65001,
                                  bool fromFeed = true) {
    error_ = u"<untouched>";
    return parseFeed(nullptr, document, codePage, fromFeed, &error_);
  }
  // The one item a document must give.
  FeedItem& OnlyItem(ItemList* list) {
    static FeedItem none;
    if (!list || !list->first) {
      ADD_FAILURE() << "no item";
      return none;
    }
    EXPECT_EQ(list->first->next, nullptr) << "more than one item";
    return *list->first;
  }
  std::string Error() const { return platform::ToUtf8(error_); }

  std::u16string error_;
};

// ---- The element table ----

TEST(FeedParserElements, NamesMatchTheirRowIgnoringCaseButNotPrefix) {
  struct Row {
    const char* name;
    int code;
  } rows[] = {
      {"rss", 2},          {"RSS", 2},           {"rdf:RDF", 3},          {"RDF:RDF", 3},
      {"channel", 4},      {"item", 5},          {"pubDate", 31},         {"published", 31},
      {"managingEditor", 12}, {"webMaster", 13}, {"skipDays", 18},        {"skipHours", 20},
      {"SKIPHOURS", 20},   {"syn:updatePeriod", 16}, {"syn:UpdateFrequency", 17},
      {"dc:date", 15},     {"dc:creator", 36},   {"digg:commentCount", 38}, {"ng:feed", 23},
      {"feed", 23},        {"READ", 48},         {"nubrel:userImage", 46}, {"content:encoded", 32},
      // Prefixes are part of the name: no namespace processing.
      {"date", 0},         {"atom:link", 0},     {"dc:title", 0},         {"rdf", 0},
      {"links", 0},        {"", 0},              {"syn:updateFrequencyX", 0},
      {"language", 0},     {"content:encodedx", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(feedElementCode(row.name), row.code);
  }
}

TEST_F(FeedParserTest, RootAndVersionGiveTheKind) {
  struct Row {
    const char* document;
    FeedKind kind;
  } rows[] = {
      {"<rss version=\"0.91\"/>", kFeedRss091},
      {"<rss version=\"0.92\"/>", kFeedRss092},
      {"<rss version=\"0.93\"/>", kFeedRss092},
      {"<rss version=\"0.94\"/>", kFeedRss092},
      {"<rss version=\"2.0\"/>", kFeedRss20},
      {"<rss xmlns:a=\"x\" version=\"0.91\"/>", kFeedRss091},
      {"<rss/>", kFeedRssUnknown},
      {"<rss version=\"2.00\"/>", kFeedRssUnknown},
      {"<rss version=\" 2.0\"/>", kFeedRssUnknown},
      {"<RSS version=\"2.0\"/>", kFeedRss20},
      {"<rdf:RDF/>", kFeedRdf},
      {"<feed version=\"0.3\"/>", kFeedAtom},
      {"<ng:feed/>", kFeedAtom},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.document);
    auto list = Parse(row.document);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(list->kind, row.kind);
    EXPECT_EQ(Error(), "OK");
  }
}

// ---- Dialects, through the fixtures ----

TEST_F(FeedParserTest, Rss091FillsEveryChannelField) {
  auto list = Parse(Fixture("rss091.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(list->kind, kFeedRss091);
  EXPECT_EQ(U8(list->title), "Harbour Notes");
  EXPECT_EQ(U8(list->link), "http://harbour.example.org/");  // not the image's link
  EXPECT_EQ(U8(list->description), "Tides, boats and the weather at the pier.");
  EXPECT_EQ(U8(list->language), "en-gb");
  EXPECT_EQ(U8(list->copyright), "Copyright 2008 Harbour Notes");
  EXPECT_EQ(U8(list->managingEditor), "editor@harbour.example.org");
  EXPECT_EQ(U8(list->webMaster), "web@harbour.example.org");
  EXPECT_EQ(U8(list->imageUrl), "http://harbour.example.org/logo.gif");
  EXPECT_EQ(list->date, Iso(u"2008-10-04T18:00:00Z"));
  EXPECT_EQ(list->skipDays, (1u << 0) | (1u << 6));
  EXPECT_EQ(list->skipHours, (1u << 0) | (1u << 1) | (1u << 23));
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[0]->title), "Spring tide on Tuesday");
  EXPECT_EQ(U8(items[1]->title), "Caf\xC3\xA9 opens at the pier");
  EXPECT_EQ(U8(items[1]->description), "Coffee & cake from 8 o'clock.");
  EXPECT_EQ(items[1]->date, Iso(u"2008-10-03T08:15:00Z"));
  EXPECT_EQ(list->totalCount, 2);
  EXPECT_EQ(list->unreadCount, 2);
  EXPECT_EQ(list->newCount, 2);
}

TEST_F(FeedParserTest, Rss20ItemsCarryContentGuidAuthorAndEnclosure) {
  auto list = Parse(Fixture("rss20.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(list->kind, kFeedRss20);
  EXPECT_EQ(U8(list->link), "http://workbench.example.com/");  // atom:link is another element
  EXPECT_EQ(U8(list->language), "<null>");                      // only dc:language is read
  EXPECT_EQ(U8(list->imageUrl), "http://workbench.example.com/art.jpg?size=144&fmt=jpg");
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 3u);
  const FeedItem& first = *items[0];
  EXPECT_EQ(U8(first.content), "<p>Marking, <b>sawing</b>, chopping &amp; paring.</p>");
  EXPECT_EQ(U8(first.guid), "workbench-ep-12");
  EXPECT_EQ(U8(first.author), "Sam Joiner");
  EXPECT_EQ(U8(first.commentCount), "14");
  EXPECT_EQ(U8(first.duration), "00:42:17");
  ASSERT_NE(first.enclosure, nullptr);
  EXPECT_EQ(U8(first.enclosure->url), "http://media.example.com/workbench/ep12.mp3?src=feed&v=2");
  EXPECT_EQ(first.enclosure->length, 40587264);
  EXPECT_EQ(U8(first.enclosure->type), "audio/mpeg");
  EXPECT_EQ(U8(items[1]->author), "sam@workbench.example.com (Sam Joiner)");
  EXPECT_EQ(items[2]->date, Iso(u"2008-09-27T12:00:00Z"));
  EXPECT_EQ(items[2]->enclosure, nullptr);
}

TEST_F(FeedParserTest, RdfReadsDublinCoreAndSyndicationOutsideTheChannel) {
  auto list = Parse(Fixture("rdf.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(list->kind, kFeedRdf);
  EXPECT_EQ(U8(list->title), "Library News");
  EXPECT_EQ(U8(list->copyright), "Public domain");
  EXPECT_EQ(U8(list->language), "en");
  EXPECT_EQ(list->date, Iso(u"2008-10-05T07:00:00Z"));
  EXPECT_EQ(U8(list->updatePeriod), "daily");
  EXPECT_EQ(U8(list->updateFrequency), "2");
  EXPECT_EQ(U8(list->imageUrl), "http://library.example.edu/logo.png");
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[0]->title), "Late opening during exams");
  EXPECT_EQ(U8(items[0]->author), "Front desk");
  EXPECT_EQ(items[0]->date, Iso(u"2008-10-04T16:45:00Z"));
  EXPECT_EQ(items[1]->date, Iso(u"2008-10-02T15:00:00Z"));
}

TEST_F(FeedParserTest, Atom03ReadsTaglineModifiedAndXmlContent) {
  auto list = Parse(Fixture("atom03.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(list->kind, kFeedAtom);
  EXPECT_EQ(U8(list->link), "http://orchard.example.org/");
  EXPECT_EQ(U8(list->description), "Apples, pears and the odd wasp.");
  EXPECT_EQ(list->date, Iso(u"2008-10-05T07:00:00Z"));
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  const FeedItem& frost = *items[0];
  EXPECT_EQ(U8(frost.link), "http://orchard.example.org/2008/10/frost");  // not the comments
  EXPECT_EQ(U8(frost.guid), "tag:orchard.example.org,2008:frost");
  EXPECT_EQ(frost.date, Iso(u"2008-10-05T05:30:00Z"));
  EXPECT_EQ(frost.modified, Iso(u"2008-10-05T06:45:00Z"));
  EXPECT_EQ(U8(frost.author), "Mira Appleby");
  EXPECT_EQ(U8(frost.description), "Ice on the grass this morning.");
  EXPECT_EQ(U8(frost.content),
            "<div xmlns=\"http://www.w3.org/1999/xhtml\"><p>Ice on the grass, <em>crisp</em> "
            "air.</p></div>");
  EXPECT_EQ(U8(items[1]->link), "http://orchard.example.org/2008/10/press");  // no rel
  EXPECT_EQ(U8(items[1]->content), "<p>Forty litres of juice.</p>");
}

TEST_F(FeedParserTest, Atom10TakesTheAlternateLinkAndPublished) {
  auto list = Parse(Fixture("atom10.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(U8(list->link), "http://sky.example.com/");
  EXPECT_EQ(list->date, kNow);  // "updated" is not a date we read
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[0]->link), "http://sky.example.com/2008/10/05/jupiter");
  EXPECT_EQ(items[0]->date, Iso(u"2008-10-05T20:40:00Z"));
  EXPECT_EQ(U8(items[0]->author), "Ravi Stargazer");
  // type="xhtml" does not contain "xml": its markup is not passed through, so no content.
  EXPECT_EQ(U8(items[0]->content), "<null>");
  EXPECT_EQ(U8(items[1]->title), "Clouds &amp; more clouds");
}

TEST_F(FeedParserTest, EncodingsAreReadThroughTheirCodePages) {
  struct Row {
    const char* fixture;
    const char* channelTitle;
    const char* firstItemTitle;
  } rows[] = {
      {"windows1251.xml", "\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8 "
                          "\xD0\xB3\xD0\xBE\xD1\x80\xD0\xBE\xD0\xB4\xD0\xB0",
       "\xD0\x9E\xD1\x82\xD0\xBA\xD1\x80\xD1\x8B\xD0\xBB\xD1\x81\xD1\x8F \xD0\xBD\xD0\xBE\xD0\xB2"
       "\xD1\x8B\xD0\xB9 \xD0\xBC\xD0\xBE\xD1\x81\xD1\x82"},
      {"shift_jis.xml", "\xE5\xB1\xB1\xE3\x81\xAE\xE5\xA4\xA9\xE6\xB0\x97",
       "\xE9\x80\xB1\xE6\x9C\xAB\xE3\x81\xAF\xE6\x99\xB4\xE3\x82\x8C\xE3\x80\x81\xE6\xB0\x97\xE6"
       "\xB8\xA9\xE3\x81\xAF\xE4\xBD\x8E\xE3\x82\x81"},
      {"iso8859_15.xml", "March\xC3\xA9 aux puces", "V\xC3\xA9lo ancien - 45 \xE2\x82\xAC"},
      {"entities.xml", "Caf\xC3\xA9 & Cr\xC3\xA8me <daily>",
       "Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9" "e \xE2\x80\x93 &eacute; stays as written"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fixture);
    // The declaration wins over the default the caller passes.
    auto list = Parse(Fixture(row.fixture), 1252);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(U8(list->title), row.channelTitle);
    ASSERT_NE(list->first, nullptr);
    EXPECT_EQ(U8(list->first->title), row.firstItemTitle);
  }
}

TEST_F(FeedParserTest, TheDefaultCodePageServesDocumentsThatNameNoKnownEncoding) {
  // "\xC1\xE0\xE9\xEA\xE0\xEB" is a Cyrillic word in windows-1251.
  const std::string body = "<title>\xC1\xE0\xE9\xEA\xE0\xEB</title>";
  const std::string cyrillic = "\xD0\x91\xD0\xB0\xD0\xB9\xD0\xBA\xD0\xB0\xD0\xBB";
  for (const char* declaration :
       {"", "<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"x-no-such-set\"?>"}) {
    SCOPED_TRACE(declaration);
    auto list = Parse(std::string(declaration) + "<rss><channel>" + body + "</channel></rss>", 1251);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(U8(list->title), cyrillic);
  }
}

TEST_F(FeedParserTest, EntitiesAndSurrogatesInTitles) {
  auto list = Parse(Fixture("entities.xml"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(U8(list->description),
            "\"Quotes\" & 'apostrophes' \xE2\x80\x94 dashes");
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[1]->title), "Tom & Jerry\xE2\x80\x99s \xF0\x9F\x8D\xB0 cake");
  EXPECT_EQ(items[1]->title->size(), 21u);  // the cake is one surrogate pair
  EXPECT_EQ(U8(items[0]->description), "<p>Caramel &amp; vanilla</p>");
}

TEST_F(FeedParserTest, TextsOfAnyMixOfAsciiAndWiderCharactersArriveWhole) {
  // Runs of ASCII of every length around two-, three- and four-byte characters, so that each
  // lands at every offset of the parser's eight-byte steps.
  const std::string wide[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8D\xB0"};
  for (size_t run = 0; run <= 17; ++run) {
    for (const std::string& w : wide) {
      const std::string title = std::string(run, 'a') + w + std::string(17 - run, 'b') + w;
      SCOPED_TRACE(title);
      auto list = Parse(Rss("<title>" + title + "</title>"));
      ASSERT_NE(list, nullptr) << Error();
      EXPECT_EQ(U8(list->title), title);
      EXPECT_EQ(*list->title, platform::FromUtf8(title));
    }
  }
}

// ---- Rules ----

TEST_F(FeedParserTest, LinkRules) {
  struct Row {
    std::string document;
    const char* listLink;
    const char* itemLink;
  } rows[] = {
      {Atom("<entry><link rel=\"alternate\" href=\"http://a/1\"/></entry>"), "<null>", "http://a/1"},
      {Atom("<entry><link rel=\"ALTERNATE\" href=\"http://a/1\"/></entry>"), "<null>", "http://a/1"},
      {Atom("<entry><link href=\"http://a/1\"/></entry>"), "<null>", "http://a/1"},
      {Atom("<entry><link rel=\"related\" href=\"http://a/r\"/></entry>"), "<null>", "<null>"},
      {Atom("<entry><link href=\"http://a/1\"/><link rel=\"self\" href=\"http://a/s\"/></entry>"),
       "<null>", "http://a/1"},
      {Atom("<entry><link href=\"http://a/1\"/><link href=\"http://a/2\"/></entry>"), "<null>",
       "http://a/2"},
      // An empty element keeps the address its attribute gave.
      {Atom("<entry><link href=\"http://a/1\">  </link></entry>"), "<null>", "http://a/1"},
      {Atom("<entry><link>http://a/text</link></entry>"), "<null>", "http://a/text"},
      {Atom("<link href=\"http://a/\"/><link href=\"http://b/\"/><entry/>"), "http://b/", "<null>"},
      {Atom("<link rel=\"self\" href=\"http://a/self\"/><entry/>"), "<null>", "<null>"},
      // RSS: the first channel link stays, attributes mean nothing, text is trimmed.
      {Rss("<link>http://a/</link><link>http://b/</link><item><link> http://a/1 </link></item>"),
       "http://a/", "http://a/1"},
      {Rss("<image><link>http://img/</link></image><link>http://a/</link><item/>"), "http://a/",
       "<null>"},
      {Rss("<item><link href=\"http://a/1\"/></item>"), "<null>", "<null>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.document);
    auto list = Parse(row.document);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(U8(list->link), row.listLink);
    EXPECT_EQ(U8(OnlyItem(list.get()).link), row.itemLink);
  }
}

TEST_F(FeedParserTest, AuthorRules) {
  struct Row {
    std::string document;
    const char* author;
    const char* userImage;
  } rows[] = {
      {Atom("<entry><author><name>Nia</name><email>n@x</email></author></entry>"), "Nia", "<null>"},
      {Rss("<item><dc:creator>Cy</dc:creator></item>"), "Cy", "<null>"},
      {Rss("<item><dc:creator>Cy</dc:creator><author> </author></item>"), "Cy", "<null>"},
      {Rss("<item><digg:submitter><digg:username>Ula</digg:username></digg:submitter></item>"),
       "Ula", "<null>"},
      {Rss("<item><jaiku:user nick=\"Kai\" avatar=\"http://a/k.png\"/></item>"), "Kai",
       "http://a/k.png"},
      {Rss("<item><nubrel:userimage>http://a/u.png</nubrel:userimage></item>"), "<null>",
       "http://a/u.png"},
      {Rss("<item><name>Stray</name><digg:username>Loose</digg:username></item>"), "<null>",
       "<null>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.document);
    auto list = Parse(row.document);
    ASSERT_NE(list, nullptr) << Error();
    const FeedItem& item = OnlyItem(list.get());
    EXPECT_EQ(U8(item.author), row.author);
    EXPECT_EQ(U8(item.userImage), row.userImage);
  }
}

TEST_F(FeedParserTest, ItemFieldsOfTheSmallerModules) {
  auto list = Parse(Rss(
      "<item><slash:department>of tests</slash:department><slash:comments>3</slash:comments>"
      "<digg:diggCount>99</digg:diggCount><itunes:duration>1:02</itunes:duration>"
      "<ng:postid>p-1</ng:postid><subject>Gardening</subject><summary>Short</summary></item>"));
  ASSERT_NE(list, nullptr) << Error();
  const FeedItem& item = OnlyItem(list.get());
  EXPECT_EQ(U8(item.department), "of tests");
  EXPECT_EQ(U8(item.commentCount), "3");
  EXPECT_EQ(U8(item.diggCount), "99");
  EXPECT_EQ(U8(item.duration), "1:02");
  EXPECT_EQ(U8(item.postId), "p-1");
  EXPECT_EQ(U8(item.subject), "Gardening");
  EXPECT_EQ(U8(item.description), "Short");
}

TEST_F(FeedParserTest, PassThroughKeepsMarkupOnlyWhereAsked) {
  struct Row {
    std::string document;
    const char* content;
  } rows[] = {
      {Atom("<entry><content type=\"application/xhtml+xml\"><p class=\"a\">x &amp; y</p>"
            "</content></entry>"),
       "<p class=\"a\">x & y</p>"},
      {Atom("<entry><content mode=\"xml\"><b>bold</b> tail</content></entry>"),
       "<b>bold</b> tail"},
      {Atom("<entry><content type=\"xhtml\"><b>bold</b> tail</content></entry>"), "tail"},
      {Atom("<entry><content type=\"text/XML\"><b>b</b></content></entry>"), "<null>"},
      {Atom("<entry><content type=\"text/html\">&lt;i&gt;x&lt;/i&gt;</content></entry>"),
       "<i>x</i>"},
      {Rss("<item><content:encoded><![CDATA[ <p>In <b>CDATA</b></p> ]]></content:encoded></item>"),
       "<p>In <b>CDATA</b></p>"},
      {Rss("<item><content:encoded><p>Raw <br/>markup</p></content:encoded></item>"),
       "<p>Raw <br></br>markup</p>"},
      // A CDATA section inside passed-through markup does not end the pass-through.
      {Rss("<item><content:encoded><p><![CDATA[a<b]]></p><p>after</p></content:encoded></item>"),
       "<p>a<b</p><p>after</p>"},
      // Nested content elements stay markup; the item's fields after them still land.
      {Rss("<item><content:encoded><content:encoded>in</content:encoded><content>x</content>"
           "</content:encoded></item>"),
       "<content:encoded>in</content:encoded><content>x</content>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.document);
    auto list = Parse(row.document);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(U8(OnlyItem(list.get()).content), row.content);
  }
}

TEST_F(FeedParserTest, ThePassThroughEndsWithItsOwnElement) {
  // After nested content elements the stack still knows the item and the channel.
  auto list = Parse(Rss("<item><content:encoded><content>x</content></content:encoded>"
                        "<title>Kept</title></item><title>Channel</title><item><title>Second"
                        "</title></item>"));
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(U8(list->title), "Channel");
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[0]->title), "Kept");
  EXPECT_EQ(U8(items[1]->title), "Second");
}

TEST_F(FeedParserTest, Enclosures) {
  struct Row {
    std::string attributes;
    const char* url;
    int32_t length;
    const char* type;
    int32_t state;
    const char* stateText;
  } rows[] = {
      {"url=\"http://a/x.mp3\" length=\"1234\" type=\"audio/mpeg\"", "http://a/x.mp3", 1234,
       "audio/mpeg", kEnclosureNotRetrieved, "<null>"},
      {"url=\"http://a/x.mp3\"", "http://a/x.mp3", -1, "<null>", 0, "<null>"},
      {"url=\"http://a/?a=1&amp;b=2\" length=\"abc\"", "http://a/?a=1&b=2", -1, "<null>", 0,
       "<null>"},
      {"url=\"u\" length=\"-5\"", "u", -1, "<null>", 0, "<null>"},
      {"url=\"u\" length=\"99999999999\"", "u", INT32_MAX, "<null>", 0, "<null>"},
      {"url=\"u\" length=\"0\"", "u", 0, "<null>", 0, "<null>"},
      {"url=\"u\" nubrel:state=\"D\"", "u", -1, "<null>", kEnclosureDeleted, "<null>"},
      {"url=\"u\" nubrel:state=\"error\"", "u", -1, "<null>", kEnclosureError, "<null>"},
      {"url=\"u\" nubrel:state=\"Pending\"", "u", -1, "<null>", kEnclosurePending, "<null>"},
      {"url=\"u\" nubrel:state=\"r\"", "u", -1, "<null>", kEnclosureRetrieved, "<null>"},
      {"url=\"u\" nubrel:state=\"X\"", "u", -1, "<null>", kEnclosureNotRetrieved, "<null>"},
      {"url=\"u\" nubrel:state=\"\"", "u", -1, "<null>", kEnclosureNotRetrieved, "<null>"},
      {"url=\"u\" nubrel:state=\"E\" nubrel:stateText=\"Said &quot;no&quot; &amp; &lt;left&gt;\"",
       "u", -1, "<null>", kEnclosureError, "Said \"no\" & <left>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.attributes);
    auto list = Parse(Rss("<item><enclosure " + row.attributes + "/></item>"));
    ASSERT_NE(list, nullptr) << Error();
    const FeedItem& item = OnlyItem(list.get());
    ASSERT_NE(item.enclosure, nullptr);
    EXPECT_EQ(U8(item.enclosure->url), row.url);
    EXPECT_EQ(item.enclosure->length, row.length);
    EXPECT_EQ(U8(item.enclosure->type), row.type);
    EXPECT_EQ(item.enclosure->state, row.state);
    EXPECT_EQ(U8(item.enclosure->stateText), row.stateText);
  }
}

TEST_F(FeedParserTest, OnlyAnRssItemKeepsItsLastEnclosure) {
  auto list = Parse(Rss("<enclosure url=\"http://a/channel\"/>"
                        "<item><enclosure url=\"http://a/1\" length=\"1\"/>"
                        "<enclosure url=\"http://a/2\"/></item>"));
  ASSERT_NE(list, nullptr) << Error();
  const FeedItem& item = OnlyItem(list.get());
  ASSERT_NE(item.enclosure, nullptr);
  EXPECT_EQ(U8(item.enclosure->url), "http://a/2");
  EXPECT_EQ(item.enclosure->length, -1);

  auto atom = Parse(Atom("<entry><enclosure url=\"http://a/e\"/></entry>"));
  ASSERT_NE(atom, nullptr) << Error();
  EXPECT_EQ(OnlyItem(atom.get()).enclosure, nullptr);
}

TEST_F(FeedParserTest, ServiceReadSetsTheValueAndTheNewBit) {
  struct Row {
    const char* element;
    uint32_t serviceRead;
    bool isNew;
  } rows[] = {
      {"<ng:read>True</ng:read>", 1, false},
      {"<ng:read>true</ng:read>", 1, false},
      {"<ng:read> TRUE </ng:read>", 1, false},
      {"<read>True</read>", 1, false},
      {"<ng:read>False</ng:read>", 0, true},
      {"<ng:read>yes</ng:read>", 0, true},
      {"<ng:read></ng:read>", 0, true},
      {"", 2, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.element);
    auto list = Parse(Rss(std::string("<item new=\"0\">") + row.element + "</item>"));
    ASSERT_NE(list, nullptr) << Error();
    const FeedItem& item = OnlyItem(list.get());
    EXPECT_EQ(ServiceRead(item), row.serviceRead);
    // Without the element the "new" attribute's 0 stands.
    EXPECT_EQ((item.flags & kItemNewBit) != 0, row.element[0] ? row.isNew : false);
    EXPECT_EQ(list->newCount, (item.flags & kItemNewBit) ? 1 : 0);
  }
}

TEST_F(FeedParserTest, ItemAttributesSetTheStoredStates) {
  struct Row {
    const char* attributes;
    uint32_t readState;
    bool isNew;
    bool locked;
  } rows[] = {
      {"", kReadStateUndetermined, true, false},
      {"read=\"1\" locked=\"1\" new=\"1\"", kReadStateRead, true, true},
      {"read=\"0\" locked=\"0\" new=\"0\"", kReadStateUnread, false, false},
      {"read=\"yes\" locked=\"\" new=\"00\"", kReadStateRead, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.attributes);
    auto list = Parse(Rss(std::string("<item ") + row.attributes + "/>"));
    ASSERT_NE(list, nullptr) << Error();
    const FeedItem& item = OnlyItem(list.get());
    EXPECT_EQ(ReadState(item), row.readState);
    EXPECT_EQ((item.flags & kItemNewBit) != 0, row.isNew);
    EXPECT_EQ((item.flags & kItemLockedBit) != 0, row.locked);
    EXPECT_EQ(list->lockedCount, row.locked ? 1 : 0);
    EXPECT_EQ(list->unreadCount, row.readState == kReadStateRead ? 0 : 1);
  }
}

TEST_F(FeedParserTest, SkipDaysAndHoursCountOnlyInsideTheirParents) {
  struct Row {
    std::string body;
    uint32_t days;
    uint32_t hours;
  } rows[] = {
      {"<skipDays><day>Sunday</day><day>MONDAY</day><day>saturday</day></skipDays>",
       (1u << 0) | (1u << 1) | (1u << 6), 0},
      {"<skipDays><day>Tuesday</day><day>Wednesday</day><day>Thursday</day><day>Friday</day>"
       "</skipDays>",
       (1u << 2) | (1u << 3) | (1u << 4) | (1u << 5), 0},
      {"<skipDays><day>Someday</day><day> Friday </day></skipDays>", 1u << 5, 0},
      {"<day>Sunday</day>", 0, 0},
      {"<skipDays><x><day>Sunday</day></x></skipDays>", 0, 0},
      {"<skipHours><hour>0</hour><hour>23</hour><hour>7</hour></skipHours>", 0,
       (1u << 0) | (1u << 23) | (1u << 7)},
      {"<skipHours><hour>24</hour><hour>-1</hour><hour>abc</hour><hour></hour></skipHours>", 0, 0},
      {"<hour>5</hour>", 0, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.body);
    auto list = Parse(Rss(row.body));
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(list->skipDays, row.days);
    EXPECT_EQ(list->skipHours, row.hours);
  }
}

TEST_F(FeedParserTest, AfterParseDatesSequencesAndDirty) {
  // Out of order in the document, one item without a date, the channel without one.
  const std::string document =
      Rss("<item><title>old</title><pubDate>Wed, 01 Oct 2008 10:00:00 GMT</pubDate></item>"
          "<item><title>undated</title></item>"
          "<item><title>new</title><dc:date>2008-10-03T10:00:00Z</dc:date></item>");
  for (bool fromFeed : {true, false}) {
    SCOPED_TRACE(fromFeed ? "retrieved feed" : "stored file");
    auto list = Parse(document, 65001, fromFeed);
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(list->date, kNow);
    EXPECT_EQ(list->dirty, fromFeed);
    auto items = Items(*list);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(U8(items[0]->title), "new");
    EXPECT_EQ(U8(items[1]->title), "old");
    EXPECT_EQ(U8(items[2]->title), "undated");
    EXPECT_EQ(items[2]->date, kNow);  // the channel's date
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i]->sequence, int32_t(i));
  }
  // A channel date is what undated items take.
  auto dated = Parse(Rss("<pubDate>Thu, 02 Oct 2008 00:00:00 GMT</pubDate><item/>"));
  ASSERT_NE(dated, nullptr) << Error();
  EXPECT_EQ(OnlyItem(dated.get()).date, Iso(u"2008-10-02T00:00:00Z"));
}

TEST_F(FeedParserTest, DatesTheItemFileCouldNotGiveBackAreNotTaken) {
  struct Row {
    const char* date;
    FileTime expected;  // 0: not taken
  } rows[] = {
      {"1980-01-01T00:00:00Z", Iso(u"1980-01-01T00:00:00Z")},
      {"1980-01-01T00:30:00+01:00", 0},  // 1979 in UTC
      {"2100-12-31T23:00:00-02:00", 0},  // 2101 in UTC
      {"not a date", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.date);
    auto list = Parse(Rss(std::string("<item><modified>") + row.date + "</modified></item>"));
    ASSERT_NE(list, nullptr) << Error();
    EXPECT_EQ(OnlyItem(list.get()).modified, row.expected);
  }
}

TEST_F(FeedParserTest, DeepDocumentsKeepTheirParents) {
  std::string open, close;
  for (int i = 0; i < 200; ++i) {
    open += "<wrap>";
    close += "</wrap>";
  }
  auto list = Parse(open + "<rss version=\"2.0\"><channel>" + open +
                    "<item><title>Deep</title></item>" + close +
                    "<title>Channel</title><item><title>Shallow</title></item></channel></rss>" +
                    close);
  ASSERT_NE(list, nullptr) << Error();
  EXPECT_EQ(U8(list->title), "Channel");
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(U8(items[0]->title), "Deep");
  EXPECT_EQ(U8(items[1]->title), "Shallow");
}

// ---- Failure handling ----

TEST_F(FeedParserTest, FailureTexts) {
  struct Row {
    std::string name;
    std::string document;
    int32_t codePage;
    bool list;
    std::string error;
  } rows[] = {
      {"feed without items", Rss("<title>Empty</title>"), 65001, true, "OK"},
      {"text after the root", Rss("") + "  trailing <junk>", 65001, true, "OK"},
      {"unknown root", "<html><body><item/></body></html>", 65001, false,
       "Unable to parse feed.  No items found."},
      {"junk after an unknown root", "<html/>junk", 65001, false,
       "Unable to parse feed.  No items found."},
      {"not XML", "hello", 65001, false,
       "Unable to parse RSS feed : syntax error (line: 1  col: 0)"},
      {"empty", "", 65001, false, "Unable to parse RSS feed : no element found (line: 1  col: 0)"},
      {"truncated", "<rss version=\"2.0\">\n<channel><item>", 65001, false,
       "Unable to parse RSS feed : no element found (line: 2  col: 15)"},
      {"mismatched", "<rss>\n<channel></rss>", 65001, false,
       "Unable to parse RSS feed : mismatched tag (line: 2  col: 11)"},
      {"bytes that are not UTF-8", "<rss><title>\xFF</title></rss>", 65001, false,
       "Unable to parse RSS feed : not well-formed (invalid token) (line: 1  col: 12)"},
      {"an encoding nobody knows", "<?xml version=\"1.0\" encoding=\"x-martian\"?><rss/>", 949,
       false, "Unable to parse RSS feed : unknown encoding (line: 1  col: 30)"},
      {"cut at a zero byte", std::string("<rss><channel>\0</channel></rss>", 31), 65001, false,
       "Unable to parse RSS feed : no element found (line: 1  col: 14)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = Parse(row.document, row.codePage);
    EXPECT_EQ(list != nullptr, row.list);
    EXPECT_EQ(Error(), row.error);
  }
}

TEST_F(FeedParserTest, AUtf16DocumentIsCutAtItsFirstZeroByte) {
  const std::u16string text = u"\uFEFF<rss version=\"2.0\"><channel/></rss>";
  std::string bytes(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  auto list = Parse(bytes);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(Error().rfind("Unable to parse RSS feed : ", 0), 0u) << Error();
}

TEST_F(FeedParserTest, NoDocumentLeavesTheTextAlone) {
  EXPECT_EQ(Parse(std::string_view()), nullptr);
  EXPECT_EQ(Error(), "<untouched>");
  EXPECT_NE(parseFeed(nullptr, Rss(""), 65001, true, nullptr), nullptr);  // no text asked for
}

// How many elements Expat itself sees in a document: the oracle for the fault loop below.
int CountElements(const std::string& document) {
  int count = 0;
  XML_Parser parser = XML_ParserCreate(nullptr);
  XML_SetUserData(parser, &count);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char*, const XML_Char**) {
    ++*static_cast<int*>(data);
  });
  EXPECT_EQ(XML_Parse(parser, document.data(), int(document.size()), XML_TRUE), XML_STATUS_OK);
  XML_ParserFree(parser);
  return count;
}

TEST_F(FeedParserTest, AFailureAtAnyElementGivesFatalErrorAndLeaksNothing) {
  const std::string document = Fixture("rss20.xml");
  const int elements = CountElements(document);
  ASSERT_GT(elements, 30);
  for (int n = 1; n <= elements; ++n) {
    SCOPED_TRACE(n);
    SetParserFaultForTests(n);
    EXPECT_EQ(Parse(document), nullptr);
    EXPECT_EQ(Error(), "Fatal error");
  }
  SetParserFaultForTests(elements + 1);
  EXPECT_NE(Parse(document), nullptr);
  EXPECT_EQ(Error(), "OK");
}

}  // namespace
}  // namespace nubrel
