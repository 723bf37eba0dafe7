// The channel item file: its exact bytes per FeedKind (complete expected files in data/ for
// RSS 2.0 and Atom), what a reload gives back (the table in item_file.h), texts that need care
// ("]]>", carriage returns, markup in the enclosure's state text), the round trip over every
// fixture feed, and writes that fail at each step without touching the previous file.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "feeds/dates.h"
#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "core/settings.h"
#include "feeds/item_list.h"
#include "platform/device_time.h"
#include "platform/utf.h"
#include "shared/buffered_file_writer.h"
#include "shared/temp_device.h"
#include "subscriptions/channel_tree.h"

namespace nubrel {
namespace {

using platform::FileTime;
using testing::HostExists;
using testing::ReadHostFile;
using testing::WriteHostFile;

constexpr FileTime kNow = 128680560000000000ULL;  // 2008-10-10T12:00:00Z
constexpr std::u16string_view kPath = u"\\My Documents\\Channels\\Test\\Test.xml";
constexpr const char* kHostPath = "My Documents/Channels/Test/Test.xml";

std::string Fixture(const std::string& name) {
  std::ifstream in(std::string(NUBREL_TEST_DIR) + "/data/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string U8(const OptionalText& text) { return text ? platform::ToUtf8(*text) : "<null>"; }

FileTime Iso(const char16_t* text) {
  FileTime time = 0;
  EXPECT_TRUE(parseIsoDate(text, time));
  return time;
}

std::vector<FeedItem*> Items(ItemList& list) {
  std::vector<FeedItem*> items;
  for (FeedItem* item = list.first; item; item = item->next) items.push_back(item);
  return items;
}

uint32_t ServiceRead(const FeedItem& item) {
  return (item.flags & kServiceReadMask) >> kServiceReadShift;
}

// Compares a reloaded list with the list that was written, field by field, as the reload table
// promises: what the dialect stores comes back, what it does not store comes back absent.
void ExpectReloaded(const ItemList& written, const ItemList& reloaded) {
  const bool atom = written.kind == kFeedAtom;
  EXPECT_EQ(reloaded.kind, written.kind == kFeedRssUnknown ? kFeedRss092 : written.kind);
  EXPECT_FALSE(reloaded.dirty);
  EXPECT_EQ(U8(reloaded.title), U8(written.title));
  EXPECT_EQ(U8(reloaded.link), U8(written.link));
  EXPECT_EQ(U8(reloaded.description), U8(written.description));
  EXPECT_EQ(U8(reloaded.language), U8(written.language));
  EXPECT_EQ(U8(reloaded.copyright), U8(written.copyright));
  EXPECT_EQ(U8(reloaded.managingEditor), U8(written.managingEditor));
  EXPECT_EQ(U8(reloaded.webMaster), U8(written.webMaster));
  EXPECT_EQ(U8(reloaded.imageUrl), U8(written.imageUrl));
  EXPECT_EQ(U8(reloaded.updatePeriod), U8(written.updatePeriod));
  EXPECT_EQ(U8(reloaded.updateFrequency), U8(written.updateFrequency));
  EXPECT_EQ(reloaded.date, written.date);
  EXPECT_EQ(reloaded.skipDays, written.skipDays);
  EXPECT_EQ(reloaded.skipHours, written.skipHours);
  ASSERT_EQ(reloaded.totalCount, written.totalCount);
  const FeedItem* w = written.first;
  const FeedItem* r = reloaded.first;
  for (int i = 0; w && r; ++i, w = w->next, r = r->next) {
    SCOPED_TRACE("item " + std::to_string(i));
    auto absentInAtom = [&](const OptionalText& field) { return atom ? "<null>" : U8(field); };
    EXPECT_EQ(U8(r->title), U8(w->title));
    EXPECT_EQ(U8(r->link), U8(w->link));
    EXPECT_EQ(U8(r->content), U8(w->content));
    EXPECT_EQ(U8(r->subject), U8(w->subject));
    EXPECT_EQ(U8(r->guid), U8(w->guid));
    EXPECT_EQ(U8(r->description), absentInAtom(w->description));
    EXPECT_EQ(U8(r->author), absentInAtom(w->author));
    EXPECT_EQ(U8(r->postId), absentInAtom(w->postId));
    EXPECT_EQ(U8(r->userImage), absentInAtom(w->userImage));
    EXPECT_EQ(U8(r->department), absentInAtom(w->department));
    EXPECT_EQ(U8(r->diggCount), absentInAtom(w->diggCount));
    EXPECT_EQ(U8(r->duration), absentInAtom(w->duration));
    EXPECT_EQ(U8(r->commentCount), absentInAtom(w->commentCount));
    EXPECT_EQ(r->date, w->date);
    EXPECT_EQ(r->modified, atom ? w->modified : 0);
    EXPECT_EQ(r->flags & kReadStateMask,
              (w->flags & kReadStateMask) == kReadStateRead ? kReadStateRead : kReadStateUnread);
    EXPECT_EQ(r->flags & kItemLockedBit, w->flags & kItemLockedBit);
    if (atom) {
      EXPECT_EQ(r->flags & kItemNewBit, w->flags & kItemNewBit);
      EXPECT_EQ(ServiceRead(*r), 2u);
      EXPECT_EQ(r->enclosure, nullptr);
    } else {
      const bool readAtService = ServiceRead(*w) == 1;
      EXPECT_EQ(ServiceRead(*r), readAtService ? 1u : 0u);
      EXPECT_EQ((r->flags & kItemNewBit) != 0, !readAtService);
      const bool enclosure = w->enclosure && w->enclosure->url;
      ASSERT_EQ(r->enclosure != nullptr, enclosure);
      if (enclosure) {
        EXPECT_EQ(U8(r->enclosure->url), U8(w->enclosure->url));
        EXPECT_EQ(r->enclosure->length, w->enclosure->length);
        EXPECT_EQ(U8(r->enclosure->type), U8(w->enclosure->type));
        EXPECT_EQ(r->enclosure->state, w->enclosure->state);
        EXPECT_EQ(U8(r->enclosure->stateText), U8(w->enclosure->stateText));
      }
    }
  }
}

class ItemFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    platform::PinClock(kNow);
  }
  void TearDown() override {
    platform::UnpinClock();
    SetWriterFaultHookForTests(nullptr);
  }

  std::string HostFile() const { return device_.Host(kHostPath); }
  std::string FileBytes() const { return ReadHostFile(HostFile()); }

  // A parsed fixture whose states are resolved as a refresh resolves them.
  static std::unique_ptr<ItemList> ParsedFixture(const std::string& name) {
    std::u16string error;
    auto list = parseFeed(nullptr, Fixture(name), 65001, true, &error);
    EXPECT_NE(list, nullptr) << name << ": " << platform::ToUtf8(error);
    if (list) finalizeStates(list.get(), false);
    return list;
  }

  // Writes, reloads and writes the reloaded list again.
  std::unique_ptr<ItemList> WriteAndReload(ItemList& list) {
    list.dirty = true;
    EXPECT_EQ(writeItemFile(kPath, &list), 0u);
    EXPECT_FALSE(list.dirty);
    auto reloaded = readItemFileAt(kPath, nullptr);
    EXPECT_NE(reloaded, nullptr) << FileBytes();
    return reloaded;
  }

  testing::TempDevice device_;
};

// A list with every channel field and one item with every item field set.
std::unique_ptr<ItemList> FullList(FeedKind kind) {
  auto list = newList(nullptr, kind);
  list->title = u"Full & Co";
  list->link = u"http://full.example/?a=1&b=2";
  list->description = u"Every <field>";
  list->language = u"en";
  list->copyright = u"(c) 'us'";
  list->managingEditor = u"ed@full.example";
  list->webMaster = u"web@full.example";
  list->imageUrl = u"http://full.example/i.png?s=1&t=2";
  list->date = Iso(u"2008-10-05T12:30:00Z");
  list->updatePeriod = u"hourly";
  list->updateFrequency = u"4";
  list->skipDays = (1u << 0) | (1u << 3) | (1u << 6);
  list->skipHours = (1u << 0) | (1u << 12) | (1u << 23);
  auto item = std::make_unique<FeedItem>();
  item->flags = kReadStateRead | kItemLockedBit | (1u << kServiceReadShift);
  item->title = u"Item \"one\"";
  item->link = u"http://full.example/1?x=<y>";
  item->description = u"Summary & more";
  item->content = u"<p>Body</p>";
  item->subject = u"Subjects";
  item->guid = u"guid-1";
  item->author = u"Ann";
  item->postId = u"post-9";
  item->userImage = u"http://full.example/ann.png";
  item->department = u"tests";
  item->diggCount = u"12";
  item->duration = u"3:14";
  item->commentCount = u"5";
  item->date = Iso(u"2008-10-04T08:00:00Z");
  item->modified = Iso(u"2008-10-04T09:00:00Z");
  item->enclosure = new Enclosure;
  item->enclosure->url = u"http://full.example/a.mp3?a&b";
  item->enclosure->length = 4096;
  item->enclosure->type = u"audio/mpeg";
  item->enclosure->state = kEnclosureRetrieved;
  insertItem(list.get(), std::move(item));
  auto second = std::make_unique<FeedItem>();
  second->flags = kParsedItemFlags;  // undetermined, new, service silent; no link
  second->title = u"Second";
  second->date = Iso(u"2008-10-03T08:00:00Z");
  insertItem(list.get(), std::move(second));
  return list;
}

// ---- Exact bytes ----

TEST_F(ItemFileTest, Rss20FixtureIsWrittenByteForByte) {
  auto list = ParsedFixture("rss20.xml");
  ASSERT_NE(list, nullptr);
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 3u);
  setRead(items[1], true);
  setLocked(items[1], true);
  setEnclosureState(items[1], kEnclosureError);
  setEnclosureStateText(items[1], std::u16string_view(u"Server said \"No\" <404> & gave up"));
  setServiceRead(items[2], true);
  items[2]->postId = u"ng-77";
  ASSERT_TRUE(list->dirty);
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_FALSE(list->dirty);
  EXPECT_EQ(FileBytes(), Fixture("rss20.items.xml"));
  EXPECT_EQ(itemFileBytes(*list), Fixture("rss20.items.xml"));
}

TEST_F(ItemFileTest, Atom03FixtureIsWrittenByteForByte) {
  auto list = ParsedFixture("atom03.xml");
  ASSERT_NE(list, nullptr);
  auto items = Items(*list);
  ASSERT_EQ(items.size(), 2u);
  setRead(items[1], true);
  setNew(items[1], false);
  items[1]->subject = u"Juice";
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_EQ(FileBytes(), Fixture("atom03.items.xml"));
}

TEST_F(ItemFileTest, EveryKindHasItsRootDatesAndItemElement) {
  const std::string channel = "<title>T</title>\n<link></link>\n";
  const std::string rfcDate = "<pubdate>Sun 05 Oct 2008 12:30:00 GMT</pubdate>\n";
  const std::string isoDate = "<dc:date>2008-10-05T12:30:00-00:00</dc:date>\n";
  const std::string rssItem =
      "<item read=\"0\" locked=\"0\" new=\"1\"><title>I</title>\n<link></link>\n"
      "<pubdate>Sat 04 Oct 2008 08:00:00 GMT</pubdate>\n<ng:read>False</ng:read>\n</item>\n";
  const std::string header = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  struct Row {
    FeedKind kind;
    std::string expected;
  } rows[] = {
      {kFeedRss091, header + "<rss version=\"0.91\"><channel>" + channel + rfcDate +
                        "<image></image>\n" + rssItem + "</channel>\n</rss>\n"},
      {kFeedRss092, header + "<rss version=\"0.92\"><channel>" + channel + rfcDate +
                        "<image></image>\n" + rssItem + "</channel>\n</rss>\n"},
      {kFeedRssUnknown, header + "<rss version=\"0.92\"><channel>" + channel + rfcDate +
                            "<image></image>\n" + rssItem + "</channel>\n</rss>\n"},
      {kFeedRss20, header + "<rss version=\"2.0\"><channel>" + channel + rfcDate +
                       "<image></image>\n" + rssItem + "</channel>\n</rss>\n"},
      {kFeedRdf, header + "<rdf:rdf><channel>" + channel + isoDate +
                     "<image></image>\n</channel>\n"
                     "<item read=\"0\" locked=\"0\" new=\"1\"><title>I</title>\n<link></link>\n"
                     "<dc:date>2008-10-04T08:00:00-00:00</dc:date>\n<ng:read>False</ng:read>\n"
                     "</item>\n</rdf:rdf>\n"},
      {kFeedAtom, header + "<feed version=\"0.3\"><title type=\"text/plain\">T</title>\n"
                           "<link rel=\"alternate\" type=\"text/html\" href=\"\"/>\n" +
                      isoDate +
                      "<image></image>\n"
                      "<entry read=\"0\" locked=\"0\" new=\"1\"><title type=\"text/plain\">I"
                      "</title>\n<link rel=\"alternate\" type=\"text/html\" href=\"\"/>\n"
                      "<issued>2008-10-04T08:00:00-00:00</issued>\n"
                      "<modified>1601-01-01T00:00:00-00:00</modified>\n</entry>\n</feed>\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    auto list = newList(nullptr, row.kind);
    list->title = u"T";
    list->date = Iso(u"2008-10-05T12:30:00Z");
    auto item = std::make_unique<FeedItem>();
    item->flags = kParsedItemFlags;
    item->title = u"I";
    item->date = Iso(u"2008-10-04T08:00:00Z");
    insertItem(list.get(), std::move(item));
    EXPECT_EQ(itemFileBytes(*list), row.expected);
  }
}

TEST_F(ItemFileTest, ChannelFieldsAndItemFieldsInTheirOrder) {
  auto list = FullList(kFeedRss20);
  EXPECT_EQ(itemFileBytes(*list),
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            "<rss version=\"2.0\"><channel><title>Full &amp; Co</title>\n"
            "<link>http://full.example/?a=1&amp;b=2</link>\n"
            "<description>Every &lt;field&gt;</description>\n"
            "<pubdate>Sun 05 Oct 2008 12:30:00 GMT</pubdate>\n"
            "<copyright>(c) &apos;us&apos;</copyright>\n"
            "<dc:language>en</dc:language>\n"
            "<managingeditor>ed@full.example</managingeditor>\n"
            "<syn:updateFrequency>4</syn:updateFrequency>\n"
            "<syn:updatePeriod>hourly</syn:updatePeriod>\n"
            "<webmaster>web@full.example</webmaster>\n"
            "<image><url>http://full.example/i.png?s=1&amp;t=2</url>\n</image>\n"
            "<skipDays><day>Sunday</day>\n<day>Wednesday</day>\n<day>Saturday</day>\n"
            "</skipDays>\n"
            "<skiphours><hour>0</hour>\n<hour>12</hour>\n<hour>23</hour>\n</skiphours>\n"
            "<item read=\"1\" locked=\"1\" new=\"0\"><title>Item &quot;one&quot;</title>\n"
            "<link>http://full.example/1?x=&lt;y&gt;</link>\n"
            "<description>Summary &amp; more</description>\n"
            "<content:encoded><![CDATA[<p>Body</p>]]></content:encoded>\n"
            "<pubdate>Sat 04 Oct 2008 08:00:00 GMT</pubdate>\n"
            "<subject>Subjects</subject>\n"
            "<guid>guid-1</guid>\n"
            "<ng:read>True</ng:read>\n"
            "<ng:postid>post-9</ng:postid>\n"
            "<author>Ann</author>\n"
            "<nubrel:userimage>http://full.example/ann.png</nubrel:userimage>\n"
            "<slash:department>tests</slash:department>\n"
            "<digg:diggCount>12</digg:diggCount>\n"
            "<itunes:duration>3:14</itunes:duration>\n"
            "<slash:comments>5</slash:comments>\n"
            "<enclosure url=\"http://full.example/a.mp3?a&amp;b\" length=\"4096\" "
            "type=\"audio/mpeg\" nubrel:state=\"R\"/>\n"
            "</item>\n"
            "<item read=\"0\" locked=\"0\" new=\"1\"><title>Second</title>\n"
            "<link></link>\n"
            "<pubdate>Fri 03 Oct 2008 08:00:00 GMT</pubdate>\n"
            "<ng:read>False</ng:read>\n"
            "</item>\n"
            "</channel>\n</rss>\n");
}

// ---- What a reload restores ----

TEST_F(ItemFileTest, ReloadRestoresWhatEachKindStores) {
  for (FeedKind kind : {kFeedRss091, kFeedRss092, kFeedRdf, kFeedRss20, kFeedAtom,
                        kFeedRssUnknown}) {
    SCOPED_TRACE(kind);
    auto list = FullList(kind);
    auto reloaded = WriteAndReload(*list);
    ASSERT_NE(reloaded, nullptr);
    ExpectReloaded(*list, *reloaded);
  }
}

TEST_F(ItemFileTest, AReloadedRssItemIsNewExactlyWhenTheServiceHasNotReadIt) {
  struct Row {
    uint32_t flags;
    bool reloadedNew;
  } rows[] = {
      {kReadStateUnread | kItemNewBit | (2u << kServiceReadShift), true},
      {kReadStateUnread | (2u << kServiceReadShift), true},  // "new" said 0
      {kReadStateUnread | (0u << kServiceReadShift), true},
      {kReadStateRead | kItemNewBit | (1u << kServiceReadShift), false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.flags);
    auto list = newList(nullptr, kFeedRss20);
    auto item = std::make_unique<FeedItem>();
    item->flags = row.flags;
    item->title = u"x";
    insertItem(list.get(), std::move(item));
    auto reloaded = WriteAndReload(*list);
    ASSERT_NE(reloaded, nullptr);
    ASSERT_NE(reloaded->first, nullptr);
    EXPECT_EQ((reloaded->first->flags & kItemNewBit) != 0, row.reloadedNew);
    EXPECT_EQ(reloaded->newCount, row.reloadedNew ? 1 : 0);
  }
}

TEST_F(ItemFileTest, TextsThatNeedCareComeBackUnchanged) {
  struct Row {
    const char* name;
    std::u16string content;
    std::u16string title;
    std::u16string stateText;
    const char* mustContain;
  } rows[] = {
      {"CDATA end in content", u"a]]>b", u"t", u"s", "a]]]]><![CDATA[>b"},
      {"several CDATA ends", u"]]>]]]>x]]", u"t", u"s", "]]]]><![CDATA[>]]]]]><![CDATA[>x]]"},
      {"content ending in brackets", u"x]]", u"t", u"s", "<![CDATA[x]]]]>"},
      {"markup in the state text", u"c", u"t", u"<b>\"Gone\" & 'lost'</b>",
       "nubrel:stateText=\"&lt;b&gt;&quot;Gone&quot; &amp; &apos;lost&apos;&lt;/b&gt;\""},
      {"carriage returns", u"line\r\nnext\rlast", u"a\rb", u"x\ry", "a&#13;b"},
      {"tabs and line feeds in attributes", u"c", u"t", u"one\ttwo\nthree",
       "nubrel:stateText=\"one&#9;two&#10;three\""},
      {"characters XML cannot hold are left out", u"a\u0001b\uFFFEc", u"t", u"s", "abc"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = newList(nullptr, kFeedRss20);
    auto item = std::make_unique<FeedItem>();
    item->flags = kParsedItemFlags;
    item->title = row.title;
    item->content = row.content;
    item->date = Iso(u"2008-10-04T08:00:00Z");
    item->enclosure = new Enclosure;
    item->enclosure->url = u"http://a/x.mp3";
    item->enclosure->state = kEnclosureError;
    item->enclosure->stateText = row.stateText;
    insertItem(list.get(), std::move(item));
    auto reloaded = WriteAndReload(*list);
    EXPECT_NE(FileBytes().find(row.mustContain), std::string::npos) << FileBytes();
    ASSERT_NE(reloaded, nullptr);
    ASSERT_NE(reloaded->first, nullptr);
    std::u16string expectedContent;
    for (char16_t c : row.content) {
      if (c >= 0x20 || c == u'\t' || c == u'\n' || c == u'\r') {
        if (c != 0xFFFE) expectedContent += c;
      }
    }
    EXPECT_EQ(U8(reloaded->first->content), U8(expectedContent));
    EXPECT_EQ(U8(reloaded->first->title), U8(row.title));
    ASSERT_NE(reloaded->first->enclosure, nullptr);
    EXPECT_EQ(U8(reloaded->first->enclosure->stateText), U8(row.stateText));
  }
}

TEST_F(ItemFileTest, EveryFixtureRoundTripsAndWritesTheSameBytesAgain) {
  for (const char* name : {"rss091.xml", "rss092.xml", "rss20.xml", "rdf.xml", "atom03.xml",
                           "atom10.xml", "windows1251.xml", "shift_jis.xml", "iso8859_15.xml",
                           "entities.xml"}) {
    SCOPED_TRACE(name);
    auto list = ParsedFixture(name);
    ASSERT_NE(list, nullptr);
    ASSERT_GT(list->totalCount, 0);
    auto reloaded = WriteAndReload(*list);
    ASSERT_NE(reloaded, nullptr);
    ExpectReloaded(*list, *reloaded);
    const std::string first = FileBytes();
    reloaded->dirty = true;
    EXPECT_EQ(writeItemFile(kPath, reloaded.get()), 0u);
    EXPECT_EQ(FileBytes(), first);
  }
}

// ---- Writing and reading the file ----

TEST_F(ItemFileTest, ACleanListWritesNothing) {
  auto list = FullList(kFeedRss20);
  list->dirty = false;
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_FALSE(HostExists(HostFile()));
  WriteHostFile(HostFile(), "previous");
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_EQ(FileBytes(), "previous");
  EXPECT_EQ(writeItemFile(kPath, nullptr), 0u);
}

TEST_F(ItemFileTest, ADirtyListThatStoresAsTheSameBytesLeavesTheFileAlone) {
  auto list = FullList(kFeedRss20);
  ASSERT_EQ(writeItemFile(kPath, list.get()), 0u);
  const std::string stored = FileBytes();
  // Any write would now fail: the list must still come out clean, because nothing needed writing.
  SetWriterFaultHookForTests([](WriterStep) -> platform::DeviceError { return platform::kErrorDiskFull; });
  list->dirty = true;
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_FALSE(list->dirty);
  EXPECT_EQ(FileBytes(), stored);
  // A real change is written (and here fails as the hook says, keeping the list dirty).
  list->title = u"Changed";
  list->dirty = true;
  EXPECT_EQ(writeItemFile(kPath, list.get()), platform::kErrorDiskFull);
  EXPECT_TRUE(list->dirty);
  SetWriterFaultHookForTests(nullptr);
}

TEST_F(ItemFileTest, AFailedWriteAtAnyStepKeepsThePreviousFileAndTheDirtyFlag) {
  auto list = FullList(kFeedRss20);
  ASSERT_EQ(writeItemFile(kPath, list.get()), 0u);
  const std::string previous = FileBytes();
  ASSERT_FALSE(previous.empty());
  list->title = u"Changed";
  for (WriterStep failing :
       {WriterStep::kOpen, WriterStep::kWrite, WriterStep::kFlush, WriterStep::kReplace}) {
    SCOPED_TRACE(static_cast<int>(failing));
    SetWriterFaultHookForTests([failing](WriterStep step) -> platform::DeviceError {
      return step == failing ? platform::kErrorDiskFull : 0;
    });
    list->dirty = true;
    EXPECT_EQ(writeItemFile(kPath, list.get()), platform::kErrorDiskFull);
    EXPECT_TRUE(list->dirty);
    EXPECT_EQ(FileBytes(), previous);
    EXPECT_FALSE(HostExists(HostFile() + ".nbtmp"));
  }
  SetWriterFaultHookForTests(nullptr);
  EXPECT_EQ(writeItemFile(kPath, list.get()), 0u);
  EXPECT_FALSE(list->dirty);
  EXPECT_NE(FileBytes(), previous);
}

TEST_F(ItemFileTest, AFileThatCannotBeMadeKeepsTheListDirty) {
  auto list = FullList(kFeedRss20);
  // The program's folder is mounted read-only.
  EXPECT_NE(writeItemFile(u"\\Program Files\\Nubrel\\Test.xml", list.get()), 0u);
  EXPECT_TRUE(list->dirty);
}

TEST_F(ItemFileTest, AMissingOrBrokenFileGivesNoList) {
  EXPECT_EQ(readItemFileAt(kPath, nullptr), nullptr);
  EXPECT_EQ(readItemFileAt(u"", nullptr), nullptr);
  for (const char* bytes : {"", "not xml at all", "<rss><channel><item>", "<html/>"}) {
    SCOPED_TRACE(bytes);
    WriteHostFile(HostFile(), bytes);
    EXPECT_EQ(readItemFileAt(kPath, nullptr), nullptr);
  }
}

TEST_F(ItemFileTest, AReloadedListIsCleanAndItsStatesResolved) {
  auto list = FullList(kFeedRss20);
  auto reloaded = WriteAndReload(*list);
  ASSERT_NE(reloaded, nullptr);
  EXPECT_FALSE(reloaded->dirty);
  for (FeedItem* item = reloaded->first; item; item = item->next) {
    EXPECT_NE(item->flags & kReadStateMask, kReadStateUndetermined);
  }
  EXPECT_EQ(reloaded->totalCount, 2);
  EXPECT_EQ(reloaded->unreadCount, 1);
  EXPECT_EQ(reloaded->lockedCount, 1);
  EXPECT_EQ(reloaded->newCount, 1);
  for (int i = 0; FeedItem* item = nthItem(reloaded.get(), i + 1); ++i) {
    EXPECT_EQ(item->sequence, i);
  }
}

TEST_F(ItemFileTest, AChannelLoadsItsOwnFileAndItsCountsFollow) {
  ResetSettings();
  ChannelNode* root = CreateRootNode();
  ASSERT_NE(root, nullptr);
  ChannelNode* channel = AppendChildNode(root);
  ASSERT_NE(channel, nullptr);
  SetNodeText(channel, kNodeTitle, std::u16string_view(u"Workbench"));
  SetNodeText(channel, kNodeXmlUrl, std::u16string_view(u"http://workbench.example.com/feed.xml"));
  const std::u16string path = ItemFilePath(channel);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(readItemFile(channel), nullptr);  // no file yet

  auto list = ParsedFixture("rss20.xml");
  ASSERT_NE(list, nullptr);
  setRead(list->first, true);
  ASSERT_EQ(writeItemFile(path, list.get()), 0u);
  auto reloaded = readItemFile(channel);
  ASSERT_NE(reloaded, nullptr);
  EXPECT_EQ(reloaded->channel, channel);
  ExpectReloaded(*list, *reloaded);
  ASSERT_NE(channel->state, nullptr);
  EXPECT_EQ(channel->state->unreadItems, 2);
  EXPECT_EQ(channel->state->newItems, 3);
  FreeTree(root);
}

}  // namespace
}  // namespace nubrel
