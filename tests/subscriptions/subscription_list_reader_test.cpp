// The subscription list reader: the outline attribute table, the elements, encodings, documents
// that fail, deep nesting, and loading the user's list with a broken one set aside.
#include <gtest/gtest.h>

#include <functional>

#include "subscriptions/channel_state_file.h"
#include "subscriptions/password_scramble.h"
#include "subscriptions/subscription_list_test_support.h"

namespace nubrel::testing {
namespace {

using OpmlReaderTest = ListFixture;

std::u16string U(const char* utf8) { return platform::FromUtf8(utf8); }

// The one outline of a document holding `attributes`.
struct OneOutline {
  OwnedTree tree;
  ChannelNode* node = nullptr;
};
OneOutline ReadOutline(const std::string& attributes) {
  OneOutline out;
  out.tree = Parse(Body("<outline " + attributes + "/>"));
  if (out.tree) out.node = out.tree->firstChild;
  return out;
}

TEST_F(OpmlReaderTest, EveryOutlineAttributeHasItsEffect) {
  using Check = std::function<void(ChannelNode*)>;
  auto text = [](OptionalText ChannelNode::*field, const char* value) -> Check {
    return [=](ChannelNode* n) { EXPECT_EQ(n->*field, U(value)); };
  };
  auto stateText = [](OptionalText ChannelState::*field, const char* value) -> Check {
    return [=](ChannelNode* n) { EXPECT_EQ(n->state.get()->*field, U(value)); };
  };
  auto stateNumber = [](int32_t ChannelState::*field, int32_t value) -> Check {
    return [=](ChannelNode* n) { EXPECT_EQ(n->state.get()->*field, value); };
  };
  auto stateFlag = [](uint8_t ChannelState::*field, uint8_t value) -> Check {
    return [=](ChannelNode* n) { EXPECT_EQ(n->state.get()->*field, value); };
  };
  auto sync = [](uint32_t service, uint32_t id) -> Check {
    return [=](ChannelNode* n) {
      EXPECT_EQ(n->syncService, service);
      EXPECT_EQ(n->syncId, id);
    };
  };
  const std::string scrambled = platform::ToUtf8(ScramblePassword(u"hunter2"));
  const struct {
    std::string attributes;
    Check check;
  } rows[] = {
      // syncService starts at 0, so the Bloglines rows start from NewsGator to show the change.
      {"ng:id=\"1\" BloglinesSubId=\"42\"", sync(0, 42)},
      {"cacheDepth=\"2\"", stateNumber(&ChannelState::cacheDepth, 2)},
      {"cachedEnclosures=\"3\"", stateNumber(&ChannelState::cachedEnclosures, 3)},
      {"cachedWeb=\"4\"", stateNumber(&ChannelState::cachedWeb, 4)},
      {"cacheEnclosures=\"yes\"", stateFlag(&ChannelState::cacheEnclosures, 1)},
      {"cacheHtml=\"1\"", stateFlag(&ChannelState::cacheHtml, 1)},
      {"description=\"About &amp; more\"", text(&ChannelNode::description, "About & more")},
      {"displayToday=\"0\"", stateFlag(&ChannelState::displayToday, 0)},
      {"displayToday=\"00\"", stateFlag(&ChannelState::displayToday, 1)},  // only "0" clears
      {"enclosureSizeLimitMB=\"12MB\"", stateNumber(&ChannelState::enclosureSizeLimitMB, 12)},
      {"expire=\"5i\"", [](ChannelNode* n) {
         EXPECT_EQ(n->state->expireUnread, std::u16string(u"5i"));
         EXPECT_EQ(n->state->expireRead, std::u16string(u"5i"));
       }},
      {"expireEnclosures=\"3\"", stateText(&ChannelState::expireEnclosures, "3")},
      {"expireHTML=\"7\"", stateText(&ChannelState::expireHTML, "7")},
      {"expireRead=\"9i\"", stateText(&ChannelState::expireRead, "9i")},
      {"expireUnread=\"2\"", stateText(&ChannelState::expireUnread, "2")},
      {"filespec=\"base\"", text(&ChannelNode::filespec, "base")},
      {"htmlUrl=\"http://site/\"", text(&ChannelNode::htmlUrl, "http://site/")},
      {"imageFilter=\"0\"", stateFlag(&ChannelState::filterImages, 0)},
      {"lastETag=\"&quot;abc&quot;\"", stateText(&ChannelState::lastETag, "\"abc\"")},
      {"lastModified=\"Tue, 21 Oct 2008 18:28:26 GMT\"",
       stateText(&ChannelState::lastModified, "Tue, 21 Oct 2008 18:28:26 GMT")},
      {"lastStatus=\"Success\"", stateText(&ChannelState::lastStatus, "Success")},
      {"lastSuccess=\"2008-10-21T18:28:26-00:00\"",
       stateText(&ChannelState::lastSuccess, "2008-10-21T18:28:26-00:00")},
      {"lastUpdated=\"2008-10-21T18:28:27-00:00\"",
       stateText(&ChannelState::lastUpdated, "2008-10-21T18:28:27-00:00")},
      {"newItems=\"-7\"", stateNumber(&ChannelState::newItems, -7)},
      {"ng:fid=\"77\"", sync(1, 77)},
      {"ng:id=\"78\"", sync(1, 78)},
      {"password=\"" + scrambled + "\"", text(&ChannelNode::password, "hunter2")},
      {"subSetRead=\"0\"", [](ChannelNode* n) { EXPECT_FALSE(n->subSetRead); }},
      {"text=\"T\"", text(&ChannelNode::title, "T")},
      {"title=\"T\"", text(&ChannelNode::title, "T")},
      {"type=\"link\"", text(&ChannelNode::type, "link")},
      {"unreadItems=\"x\"", stateNumber(&ChannelState::unreadItems, 0)},  // no number: 0
      {"updateInterval=\"90\"", stateNumber(&ChannelState::updateInterval, 90)},
      {"Url=\"http://u/\"", text(&ChannelNode::xmlUrl, "http://u/")},
      {"userName=\"joe\"", text(&ChannelNode::userName, "joe")},
      {"xmlUrl=\"http://x/\"", text(&ChannelNode::xmlUrl, "http://x/")},
      // Names are matched without regard to case; others are ignored.
      {"XMLURL=\"http://X/\" USERNAME=\"Ann\"", [](ChannelNode* n) {
         EXPECT_EQ(n->xmlUrl, std::u16string(u"http://X/"));
         EXPECT_EQ(n->userName, std::u16string(u"Ann"));
       }},
      {"unknown=\"1\" filterImages=\"0\" xmlUrlx=\"y\"", [](ChannelNode* n) {
         EXPECT_EQ(n->state->filterImages, 1);  // the written name is not the read one
         EXPECT_FALSE(n->xmlUrl.has_value());
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.attributes);
    OneOutline one = ReadOutline(row.attributes);
    ASSERT_NE(one.node, nullptr);
    ASSERT_NE(one.node->state, nullptr);
    row.check(one.node);
    EXPECT_FALSE(one.node->state->dirty);
  }
}

TEST_F(OpmlReaderTest, SynonymsTakeTheFirstAndNumbersTheLast) {
  const struct {
    const char* attributes;
    const char* title;
    const char* url;
    const char* expireUnread;
    const char* expireRead;
    int32_t unread;
  } rows[] = {
      {"text=\"A\" title=\"B\"", "A", "", "", "", -1},
      {"title=\"B\" text=\"A\"", "B", "", "", "", -1},
      {"text=\"\" title=\"B\"", "B", "", "", "", -1},  // an empty text names nothing
      {"Url=\"http://1/\" xmlUrl=\"http://2/\"", "", "http://1/", "", "", -1},
      {"expire=\"3\" expireRead=\"4\"", "", "", "3", "3", -1},
      {"expireRead=\"4\" expire=\"3\"", "", "", "3", "4", -1},
      {"expireUnread=\"1i\" expire=\"3\"", "", "", "1i", "3", -1},
      {"unreadItems=\"1\" UNREADITEMS=\"2\"", "", "", "", "", 2},  // numbers: the last wins
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.attributes);
    OneOutline one = ReadOutline(row.attributes);
    ASSERT_NE(one.node, nullptr);
    auto text = [](const OptionalText& t) { return t ? platform::ToUtf8(*t) : std::string(); };
    EXPECT_EQ(text(one.node->title), row.title);
    EXPECT_EQ(text(one.node->xmlUrl), row.url);
    EXPECT_EQ(text(one.node->state->expireUnread), row.expireUnread);
    EXPECT_EQ(text(one.node->state->expireRead), row.expireRead);
    EXPECT_EQ(one.node->state->unreadItems, row.unread);
    EXPECT_EQ(one.node->id.load(), ComputeChannelId(one.node->title, one.node->xmlUrl));
  }
}

TEST_F(OpmlReaderTest, ElementsBuildTheRootKeywordsAndTitles) {
  const struct {
    const char* what;
    std::string document;
    const char* rootTitle;
    const char* firstTitle;
  } rows[] = {
      {"entities in a title", "<opml><head><title>A &amp; B &lt;c&gt; &quot;d&quot; &apos;e&apos;"
                              "</title></head><body/></opml>", "A & B <c> \"d\" 'e'", ""},
      {"the list's file name as title", "<opml><head><title>  MYCHANNELS.opml </title></head></opml>",
       "My Channels", ""},
      {"a title element overrides the attributes",
       "<opml><body><outline text=\"A\" title=\"B\"><title> C </title></outline></body></opml>", "",
       "C"},
      {"an empty title element changes nothing",
       "<opml><body><outline text=\"A\"><title> </title></outline></body></opml>", "", "A"},
      {"the text element is a title", "<opml><head><text>T</text></head></opml>", "T", ""},
      {"CDATA in a title", "<opml><head><title><![CDATA[a<b]]></title></head></opml>", "a<b", ""},
      {"text after the end of opml is ignored",
       "<opml><head><title>T</title></head></opml>\x01garbage <<<", "T", ""},
      {"bytes after another document element",
       "<rss><body><outline text=\"X\"/></body></rss><junk/>", "", "X"},
      {"ISO-8859-1 declared", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                              "<opml><head><title>caf\xE9</title></head></opml>", "caf\xC3\xA9", ""},
      {"windows-1251 declared", "<?xml version=\"1.0\" encoding=\"windows-1251\"?>"
                                "<opml><head><title>\xCF\xF0\xE8</title></head></opml>",
       "\xD0\x9F\xD1\x80\xD0\xB8", ""},
      {"an unknown encoding falls back to UTF-8", "<?xml version=\"1.0\" encoding=\"x-unknown\"?>"
                              "<opml><head><title>caf\xC3\xA9</title></head></opml>", "caf\xC3\xA9", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::u16string error;
    OwnedTree tree = Parse(row.document, true, &error);
    ASSERT_NE(tree, nullptr) << platform::ToUtf8(error);
    EXPECT_EQ(tree->title.value_or(u""), U(row.rootTitle));
    if (*row.firstTitle) {
      ASSERT_NE(tree->firstChild, nullptr);
      EXPECT_EQ(tree->firstChild->title.value_or(u""), U(row.firstTitle));
    }
  }

  OwnedTree tree = Parse(
      "<opml><head><dateCreated> Tue 21 Oct 2008 18:28:26 GMT </dateCreated></head><body>"
      "<keywords><keyword> one </keyword><keyword/><x><keyword>nested</keyword></x>"
      "<keyword>two</keyword></keywords></body></opml>");
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->dateCreated, std::u16string(u"Tue 21 Oct 2008 18:28:26 GMT"));
  ASSERT_NE(tree->keywords, nullptr);
  EXPECT_EQ(tree->keywords->entries, (std::vector<std::u16string>{u"one", u"two"}));
  EXPECT_FALSE(tree->keywords->dirty);
}

TEST_F(OpmlReaderTest, DocumentsThatDoNotParseGiveTheMessageAndNoTree) {
  const struct {
    const char* what;
    std::string document;
    const char* message;  // null: any parse message
  } rows[] = {
      {"a mismatched tag", "<opml><body></opml>",
       "Unable to parse OPML : mismatched tag (Line: 1  Col: 14)"},
      {"on a later line", "<opml>\n<body>\n<outline text=\"a\"></body>",
       "Unable to parse OPML : mismatched tag (Line: 3  Col: 20)"},
      {"empty", "", "Unable to parse OPML : no element found (Line: 1  Col: 0)"},
      {"cut off inside the body", "<opml><body><outline text=\"a\"/>", nullptr},
      {"UTF-16 ends at its first zero byte", std::string("\xFF\xFE<\0o\0p\0m\0l\0>\0", 14), nullptr},
      {"UTF-16 without a byte order mark", std::string("<\0o\0p\0m\0l\0/\0>\0", 14), nullptr},
      {"not XML at all", "\x89PNG\r\n\x1a\n", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::u16string error;
    EXPECT_EQ(Parse(row.document, true, &error), nullptr);
    if (row.message) {
      EXPECT_EQ(error, U(row.message));
    } else {
      EXPECT_EQ(error.rfind(u"Unable to parse OPML : ", 0), 0u) << platform::ToUtf8(error);
      EXPECT_NE(error.find(u" (Line: "), std::u16string::npos);
    }
    EXPECT_EQ(Parse(row.document, true, nullptr), nullptr);  // no message asked: still fine
  }

  // Well-formed, but with nothing that makes a root: no tree and no message.
  std::u16string error = u"stale";
  EXPECT_EQ(Parse("<opml><outline text=\"a\"/></opml>", true, &error), nullptr);
  EXPECT_EQ(error, u"");
}

TEST_F(OpmlReaderTest, DeepDocumentsKeepEveryParent) {
  constexpr int kDepth = 300;
  std::string document = "<opml><body>";
  for (int i = 0; i < kDepth; ++i) document += "<outline text=\"" + std::to_string(i) + "\">";
  for (int i = 0; i < kDepth; ++i) document += "</outline>";
  document += "<outline text=\"after\"/>";
  // Keywords far below the body still see their "keywords" parent.
  for (int i = 0; i < 80; ++i) document += "<w>";
  document += "<keywords><keyword>deep</keyword></keywords>";
  for (int i = 0; i < 80; ++i) document += "</w>";
  document += "</body></opml>";

  OwnedTree tree = Parse(document);
  ASSERT_NE(tree, nullptr);
  ChannelNode* node = tree->firstChild;
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_NE(node, nullptr) << "level " << i;
    EXPECT_EQ(node->title, U(std::to_string(i).c_str()));
    EXPECT_EQ(node->next == nullptr, i > 0) << "level " << i;
    node = node->firstChild;
  }
  EXPECT_EQ(node, nullptr);
  ASSERT_NE(tree->firstChild->next, nullptr);
  EXPECT_EQ(tree->firstChild->next->title, std::u16string(u"after"));
  EXPECT_EQ(tree->keywords->entries, std::vector<std::u16string>{u"deep"});
}

TEST_F(OpmlReaderTest, MarkCleanDecidesWhetherTheTreeCountsAsChanged) {
  const std::string document = Body("<outline text=\"F\"><outline text=\"C\" xmlUrl=\"http://c/\"/>"
                                    "</outline>") ;
  for (bool markClean : {true, false}) {
    SCOPED_TRACE(markClean);
    OwnedTree tree = Parse(document, markClean);
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(tree->dirty, !markClean);
    EXPECT_EQ(tree->firstChild->dirty, !markClean);
    EXPECT_EQ(tree->firstChild->firstChild->dirty, !markClean);
  }
}

TEST_F(OpmlReaderTest, ReadOutlineFileReadsDeviceFilesAndAMissingOneGivesNothing) {
  WriteHostFile(Host(u"\\My Documents\\in.opml"), Body("<outline text=\"A\"/>"));
  OwnedTree tree(ReadOutlineFile(u"\\My Documents\\in.opml", kOutlineUtf8, true));
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->firstChild->title, std::u16string(u"A"));

  std::u16string error = u"stale";
  EXPECT_EQ(ReadOutlineFile(u"\\My Documents\\none.opml", kOutlineUtf8, true, &error), nullptr);
  EXPECT_EQ(error, u"");
}

TEST_F(OpmlReaderTest, LoadingTheListSetsABrokenOneAsideAndStandsInAnEmptyList) {
  const std::string listPath = ListHostPath();
  const std::string badPath = listPath + ".bad";
  const struct {
    const char* what;
    const char* contents;  // null: no file
    ListLoadResult result;
    const char* rootTitle;
  } rows[] = {
      {"missing", nullptr, ListLoadResult::kMissing, "My Channels"},
      {"broken", "<opml><body><outline text=\"lost\">", ListLoadResult::kUnparsed, "My Channels"},
      {"empty file", "", ListLoadResult::kUnparsed, "My Channels"},
      {"good", "<opml><head><title>Mine</title></head><body><outline text=\"A\"/></body></opml>",
       ListLoadResult::kRead, "Mine"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(listPath);
    WriteHostFile(badPath, "an older broken list");
    if (row.contents) WriteHostFile(listPath, row.contents);

    ListLoadOutcome outcome;
    OwnedTree tree(LoadSubscriptionList(u"", /*markClean=*/true, &outcome));
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(outcome.result, row.result);
    EXPECT_EQ(tree->title, U(row.rootTitle));
    const bool standIn = row.result != ListLoadResult::kRead;
    EXPECT_EQ(tree->dirty, standIn);  // the stand-in list counts as changed
    EXPECT_EQ(tree->firstChild == nullptr, standIn);
    if (row.result == ListLoadResult::kUnparsed) {
      EXPECT_TRUE(outcome.setAside);
      EXPECT_FALSE(HostExists(listPath));
      EXPECT_EQ(ReadHostFile(badPath), row.contents);  // the older one is replaced
      EXPECT_EQ(outcome.errorText.rfind(u"Unable to parse OPML : ", 0), 0u);
    } else {
      EXPECT_FALSE(outcome.setAside);
      EXPECT_EQ(ReadHostFile(badPath), "an older broken list");
    }
  }
}

TEST_F(OpmlReaderTest, LoadingTheListReadsEveryChannelsStateFile) {
  WriteHostFile(ListHostPath(),
                Body("<outline text=\"F\"><outline text=\"C\" xmlUrl=\"http://c/\"/></outline>"));
  {
    OwnedTree first(LoadSubscriptionList(u"", true));
    ChannelNode* channel = first->firstChild->firstChild;
    ASSERT_TRUE(SetUpdateInterval(channel, 120, false));
    ASSERT_EQ(SaveChannelState(channel), 0u);
  }
  OwnedTree tree(LoadSubscriptionList(u"", true));
  ASSERT_NE(tree, nullptr);
  EXPECT_EQ(tree->firstChild->firstChild->state->updateInterval, 120);
  EXPECT_FALSE(tree->firstChild->firstChild->state->dirty);
  EXPECT_EQ(tree->firstChild->state->updateInterval, -1);
}

}  // namespace
}  // namespace nubrel::testing
