// refreshChannel against a loopback feed server with the clock pinned: the load modes, the due
// rule, what a first, a conditional and a forced refresh send and store, every failure leaving
// the stored items, validators and files alone, the parse-failure copy, the off-line device,
// the Clippings channel, a channel deleted during its transfer, service subscriptions, and the
// post-refresh pass (enclosure budget, pages and images queued, trace lines).
#include "retrieval/channel_refresh.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/settings.h"
#include "core/status_text.h"
#include "core/trace_log.h"
#include "feeds/dates.h"
#include "feeds/feed_parser.h"
#include "feeds/item_file.h"
#include "offline/local_files.h"
#include "platform/connection_manager.h"
#include "platform/device.h"
#include "platform/device_time.h"
#include "platform/utf.h"
#include "retrieval/retrieval_fixture.h"
#include "support/feed_server.h"
#include "support/zlib_gzip.h"
#include "support/time_fixtures.h"

namespace nubrel {
namespace {

using nubrel::testing::HostExists;
using nubrel::testing::ReadHostFile;
using nubrel::testing::WriteHostFile;
using testsupport::Utc;

constexpr char16_t kSuccess[] = u"Success";
constexpr char16_t kNoChanges[] = u"Success. No changes.";
constexpr char16_t kNoConnection[] = u"Unable to open Internet connection";

std::string U8(const OptionalText& text) { return text ? platform::ToUtf8(*text) : "<none>"; }

struct Entry {
  Entry(std::string id, std::string when = "Tue, 10 Nov 2026 08:00:00 GMT",
        std::string more = "")
      : guid(std::move(id)), date(std::move(when)), extra(std::move(more)) {}
  std::string guid;
  std::string date;
  std::string extra;  // further elements of the item, as written
};

std::string Rss(const std::vector<Entry>& entries, const std::string& channelExtra = "") {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\"><channel>"
      "<title>Feed</title><link>http://example.com/</link>" +
      channelExtra;
  for (const Entry& e : entries) {
    out += "<item><title>Item " + e.guid + "</title><link>http://example.com/" + e.guid +
           "</link><guid>" + e.guid + "</guid><pubDate>" + e.date + "</pubDate>" + e.extra +
           "</item>\n";
  }
  return out + "</channel></rss>\n";
}

std::string Gzip(const std::string& data) { return testsupport::ZlibGzip(data); }

FeedItem* ByGuid(ItemList* list, const std::u16string& id) {
  for (FeedItem* item = list ? list->first : nullptr; item; item = item->next) {
    if (item->guid && *item->guid == id) return item;
  }
  return nullptr;
}

std::string Guids(ItemList* list) {
  std::string out;
  for (FeedItem* item = list ? list->first : nullptr; item; item = item->next) {
    if (!out.empty()) out += ",";
    out += U8(item->guid);
  }
  return out;
}

const platform::FileTime kNow = Utc(2026, 11, 10, 12, 0, 0);

class RefreshTest : public testing::RetrievalFixture {
 protected:
  void SetUp() override {
    RetrievalFixture::SetUp();
    platform::PinClock(kNow);
    ASSERT_TRUE(server_.Start());
  }
  void TearDown() override {
    server_.Stop();
    TraceClose();
    ResetTraceLog();
    SetNodeLockTimeoutForTests(kNodeLockTimeoutMs);
    platform::UnpinClock();
    RetrievalFixture::TearDown();
  }

  ChannelNode* FeedChannel(const std::string& path, std::u16string_view title = u"Daily") {
    return Channel(root_, title, server_.Url16(path));
  }

  // The host path of a device path ("\My Documents\x" -> <root>/My Documents/x).
  std::string Host(std::u16string_view devicePath) const { return device_.Host(devicePath); }

  static void Advance(platform::FileTime by) {
    platform::PinClock(platform::CurrentFileTime() + by);
  }
  static std::u16string NowText() { return formatIsoDate(platform::CurrentFileTime()); }

  testsupport::FeedServer server_;
};

// ---- Loading ----

TEST_F(RefreshTest, LoadModesReadTheItemFileOrCreateAnEmptyListAndNeverFetch) {
  ChannelNode* stored = FeedChannel("/stored", u"Stored");
  std::unique_ptr<ItemList> parsed = parseFeed(nullptr, Rss({{"a"}, {"b"}}), 65001, true);
  ASSERT_NE(parsed, nullptr);
  ASSERT_EQ(writeItemFile(ItemFilePath(stored), parsed.get()), 0u);

  ItemList* loaded = refreshChannel(stored, kRefreshLoad);
  ASSERT_NE(loaded, nullptr);
  EXPECT_EQ(Guids(loaded), "a,b");
  EXPECT_EQ(loaded->channel, stored);
  EXPECT_EQ(GetUnreadItems(stored), 2);
  // A load is no retrieval: the times and status stay as they were.
  EXPECT_FALSE(GetLastSuccess(stored));
  EXPECT_FALSE(GetLastUpdated(stored));
  EXPECT_FALSE(GetLastStatus(stored) && *GetLastStatus(stored) == kSuccess);
  // Loaded once: the same list again, in the other load modes too.
  EXPECT_EQ(refreshChannel(stored, kRefreshLoadAlso), loaded);
  EXPECT_EQ(refreshChannel(stored, kRefreshLoadOrCreate), loaded);

  ChannelNode* fresh = FeedChannel("/fresh", u"Fresh");
  EXPECT_EQ(refreshChannel(fresh, kRefreshLoad), nullptr);
  EXPECT_EQ(refreshChannel(fresh, kRefreshLoadAlso), nullptr);
  ItemList* created = refreshChannel(fresh, kRefreshLoadOrCreate);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->kind, kFeedRssUnknown);
  EXPECT_EQ(created->first, nullptr);
  EXPECT_EQ(created->channel, fresh);
  EXPECT_EQ(refreshChannel(fresh, kRefreshLoad), created);

  ChannelNode* folder = AppendChildNode(root_);
  SetNodeText(folder, kNodeTitle, u"Folder");
  for (int32_t mode : {0, 1, 2, 3, 4}) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(refreshChannel(folder, mode), nullptr);
  }
  EXPECT_EQ(server_.Hits("/stored") + server_.Hits("/fresh"), 0);
}

// ---- Due rule ----

TEST_F(RefreshTest, DueRuleDecidesWhetherTheFeedIsFetched) {
  constexpr platform::FileTime kSecond = 10000000;
  struct Row {
    const char* name;
    int32_t interval;
    int32_t mode;
    std::optional<platform::FileTime> lastSuccessAgo;  // none: no last success
    const char* feedPeriod;                            // the stored list's, or null: no list
    bool fetched;
    const char16_t* lastSuccessText;                   // instead of lastSuccessAgo, or null
  };
  const Row rows[] = {
      {"interval 0 never in mode 1", 0, kRefreshIfDue, std::nullopt, nullptr, false, nullptr},
      {"interval 0 with an old success", 0, kRefreshIfDue, 100 * kFileTimeDay, nullptr, false,
       nullptr},
      {"interval 0 forced", 0, kRefreshForced, kFileTimeMinute, nullptr, true, nullptr},
      {"59:31 of 60 is due", 60, kRefreshIfDue, 59 * kFileTimeMinute + 31 * kSecond, nullptr,
       true, nullptr},
      {"59:29 of 60 is not", 60, kRefreshIfDue, 59 * kFileTimeMinute + 29 * kSecond, nullptr,
       false, nullptr},
      {"forced ignores the interval", 60, kRefreshForced, kSecond, nullptr, true, nullptr},
      {"no last success", 60, kRefreshIfDue, std::nullopt, nullptr, true, nullptr},
      {"feed daily, 2 hours", -1, kRefreshIfDue, 120 * kFileTimeMinute, "daily", false, nullptr},
      {"feed daily, 25 hours", -1, kRefreshIfDue, 25 * 60 * kFileTimeMinute, "daily", true,
       nullptr},
      {"no feed period: 60, 61 minutes", -1, kRefreshIfDue, 61 * kFileTimeMinute, "", true,
       nullptr},
      {"no feed period: 60, 59 minutes", -1, kRefreshIfDue, 59 * kFileTimeMinute, "", false,
       nullptr},
      {"no list: 60, 59 minutes", -1, kRefreshIfDue, 59 * kFileTimeMinute, nullptr, false, nullptr},
      {"unparseable last success", 60, kRefreshIfDue, std::nullopt, nullptr, true,
       u"last Tuesday"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = "/due/" + std::to_string(n++);
    server_.Feed(path, Rss({{"a"}}));
    ChannelNode* channel = FeedChannel(path, u"Due " + platform::FromUtf8(path));
    ASSERT_TRUE(SetUpdateInterval(channel, row.interval, false));
    if (row.feedPeriod) {
      std::unique_ptr<ItemList> list = newList(channel, kFeedRss20);
      if (*row.feedPeriod) list->updatePeriod = platform::FromUtf8(row.feedPeriod);
      AttachItems(channel, std::move(list));
    }
    if (row.lastSuccessText) {
      SetLastSuccess(channel, std::u16string(row.lastSuccessText));
    } else if (row.lastSuccessAgo) {
      SetLastSuccess(channel, formatIsoDate(kNow - *row.lastSuccessAgo));
    } else {
      SetLastSuccess(channel, std::nullopt);
    }
    const OptionalText statusBefore = GetLastStatus(channel);
    refreshChannel(channel, row.mode);
    EXPECT_EQ(server_.Hits(path), row.fetched ? 1 : 0);
    if (!row.fetched) {
      EXPECT_EQ(U8(GetLastStatus(channel)), U8(statusBefore));
    }
    EXPECT_EQ(platform::LiveConnectionCount(), 0u);
  }
}

TEST_F(RefreshTest, UnparseableLastSuccessIsDueHereButNotForTheInterface) {
  server_.Feed("/odd", Rss({{"a"}}));
  ChannelNode* channel = FeedChannel("/odd");
  ASSERT_TRUE(SetUpdateInterval(channel, 60, false));
  SetLastSuccess(channel, std::u16string(u"not a date"));
  EXPECT_FALSE(IsUpdateDue(channel));
  refreshChannel(channel, kRefreshIfDue);
  EXPECT_EQ(server_.Hits("/odd"), 1);
}

// ---- Retrieval ----

TEST_F(RefreshTest, FirstRefreshStoresItemsFilesValidatorsAndSuccess) {
  server_.Feed("/feed", Rss({{"a"}, {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ItemList* list = refreshChannel(channel, kRefreshIfDue);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Guids(list), "a,b");
  EXPECT_EQ(list->channel, channel);
  EXPECT_EQ(list->newCount, 2);
  EXPECT_EQ(GetNewItems(channel), 2);
  EXPECT_EQ(GetUnreadItems(channel), 2);
  EXPECT_EQ(U8(GetLastStatus(channel)), "Success");
  EXPECT_EQ(U8(GetLastSuccess(channel)), U8(NowText()));
  EXPECT_EQ(U8(GetLastUpdated(channel)), U8(NowText()));
  EXPECT_EQ(U8(GetLastETag(channel)), "\"v1\"");
  EXPECT_EQ(U8(GetLastModified(channel)), "Tue, 10 Nov 2026 08:00:00 GMT");
  EXPECT_EQ(server_.Header("/feed", "If-None-Match"), "<absent>");
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);

  const std::string itemFile = Host(ItemFilePath(channel));
  ASSERT_TRUE(HostExists(itemFile));
  std::unique_ptr<ItemList> back = readItemFileAt(ItemFilePath(channel), nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Guids(back.get()), "a,b");
  const std::string stateFile = Host(StateFilePath(channel));
  ASSERT_TRUE(HostExists(stateFile));
  EXPECT_NE(ReadHostFile(stateFile).find("Success"), std::string::npos);
  EXPECT_FALSE(list->dirty);
}

TEST_F(RefreshTest, ConditionalRequestAnswered304ClearsNewFlagsOnly) {
  server_.Feed("/feed", Rss({{"a"}, {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ASSERT_NE(refreshChannel(channel, kRefreshIfDue), nullptr);
  const std::string firstSuccess = U8(GetLastSuccess(channel));

  Advance(2 * 60 * kFileTimeMinute);  // past the default hour
  ItemList* list = refreshChannel(channel, kRefreshIfDue);
  ASSERT_EQ(server_.Hits("/feed"), 2);
  EXPECT_EQ(server_.Header("/feed", "If-None-Match"), "\"v1\"");
  EXPECT_EQ(server_.Header("/feed", "If-Modified-Since"), "Tue, 10 Nov 2026 08:00:00 GMT");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Guids(list), "a,b");
  EXPECT_EQ(list->newCount, 0);
  EXPECT_FALSE(isNew(ByGuid(list, u"a")));
  EXPECT_EQ(GetNewItems(channel), 0);
  EXPECT_EQ(GetUnreadItems(channel), 2);
  EXPECT_EQ(U8(GetLastStatus(channel)), "Success. No changes.");
  EXPECT_EQ(U8(GetLastSuccess(channel)), U8(NowText()));
  EXPECT_NE(U8(GetLastSuccess(channel)), firstSuccess);
  EXPECT_EQ(U8(GetLastETag(channel)), "\"v1\"");
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);
}

TEST_F(RefreshTest, ForcedRefreshSendsNoValidatorsAndStoresTheAnswers) {
  server_.Feed("/feed", Rss({{"a"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ASSERT_NE(refreshChannel(channel, kRefreshIfDue), nullptr);
  // The document changes and so do its validators; one without a Last-Modified clears it.
  server_.Feed("/feed", Rss({{"b", "Tue, 10 Nov 2026 09:00:00 GMT"}, {"a"}}), "\"v2\"", "");
  ItemList* list = refreshChannel(channel, kRefreshForced);
  ASSERT_EQ(server_.Hits("/feed"), 2);
  EXPECT_EQ(server_.Header("/feed", "If-None-Match"), "<absent>");
  EXPECT_EQ(server_.Header("/feed", "If-Modified-Since"), "<absent>");
  EXPECT_EQ(Guids(list), "b,a");
  EXPECT_EQ(U8(GetLastStatus(channel)), "Success");
  EXPECT_EQ(U8(GetLastETag(channel)), "\"v2\"");
  EXPECT_EQ(U8(GetLastModified(channel)), "<none>");
}

TEST_F(RefreshTest, MergeKeepsReadStatesAndOnlyNewItemsStayNew) {
  server_.Feed("/feed", Rss({{"a"}, {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ItemList* list = refreshChannel(channel, kRefreshIfDue);
  ASSERT_NE(list, nullptr);
  setRead(ByGuid(list, u"a"), true);

  server_.Feed("/feed",
               Rss({{"c", "Tue, 10 Nov 2026 09:00:00 GMT"},
                    {"a"},
                    {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}}),
               "\"v2\"");
  ASSERT_EQ(refreshChannel(channel, kRefreshForced), list);  // the same list, merged into
  EXPECT_EQ(Guids(list), "c,a,b");
  EXPECT_TRUE(isRead(ByGuid(list, u"a")));
  EXPECT_FALSE(isNew(ByGuid(list, u"a")));
  EXPECT_FALSE(isRead(ByGuid(list, u"b")));
  EXPECT_FALSE(isNew(ByGuid(list, u"b")));
  EXPECT_TRUE(isNew(ByGuid(list, u"c")));
  EXPECT_FALSE(isRead(ByGuid(list, u"c")));
  EXPECT_EQ(list->newCount, 1);
  EXPECT_EQ(GetNewItems(channel), 1);
  EXPECT_EQ(GetUnreadItems(channel), 2);
  std::unique_ptr<ItemList> back = readItemFileAt(ItemFilePath(channel), nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Guids(back.get()), "c,a,b");
  EXPECT_TRUE(isRead(ByGuid(back.get(), u"a")));
}

TEST_F(RefreshTest, ExpiryFollowsTheChannelsLimitsBeforeTheSettings) {
  ASSERT_TRUE(SetExpireRead(u"1i", false));
  ASSERT_TRUE(SetExpireUnread(u"1i", false));
  server_.Feed("/feed", Rss({{"a"},
                             {"b", "Tue, 10 Nov 2026 07:00:00 GMT"},
                             {"c", "Tue, 10 Nov 2026 06:00:00 GMT"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ASSERT_TRUE(SetExpireUnread(channel, u"2i", false));
  ItemList* list = refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(Guids(list), "a,b");  // the channel's 2 unread, not the setting's 1

  std::vector<std::u16string> pruned;
  RetrievalWork work;
  work.pruneWebCache = [&pruned](ChannelNode*, std::u16string_view limit) {
    pruned.emplace_back(limit);
  };
  SetRetrievalWork(std::move(work));
  ASSERT_TRUE(SetHtmlExpire(u"5d", false));
  refreshChannel(channel, kRefreshForced);
  ASSERT_TRUE(SetExpireHtml(channel, u"3", false));
  refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(pruned, (std::vector<std::u16string>{u"5d", u"3"}));
}

// ---- Failures keep what is stored ----

TEST_F(RefreshTest, FailedRetrievalsLeaveItemsValidatorsAndFilesAlone) {
  const int closedPort = [] {
    testsupport::FeedServer gone;
    EXPECT_TRUE(gone.Start());
    const int port = gone.port();
    gone.Stop();
    return port;
  }();
  using Handler = testsupport::FeedServer::Handler;
  struct Row {
    const char* name;
    Handler handler;  // null: the address is a closed port
    int32_t code;     // 0: no error; the status is left as it was
  };
  const Row rows[] = {
      {"404", [](const httplib::Request&, httplib::Response& r) { r.status = 404; }, -404},
      {"500",
       [](const httplib::Request&, httplib::Response& r) {
         r.status = 500;
         r.set_content("oops", "text/plain");
       },
       -500},
      {"bad gzip",
       [](const httplib::Request&, httplib::Response& r) {
         std::string body = Gzip(Rss({{"x"}, {"y"}}));
         body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x55);
         r.set_header("Content-Encoding", "gzip");
         r.set_header("ETag", "\"bad\"");
         r.set_content(body, "application/rss+xml");
       },
       kUrlBadGzip},
      {"connection refused", nullptr, 12029},
      {"empty body",
       [](const httplib::Request&, httplib::Response& r) {
         r.set_header("ETag", "\"empty\"");
         r.set_content("", "application/rss+xml");
       },
       0},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = "/fail/" + std::to_string(n++);
    server_.Feed(path, Rss({{"a"}, {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}}));
    ChannelNode* channel = FeedChannel(path, u"Fail " + platform::FromUtf8(path));
    ItemList* list = refreshChannel(channel, kRefreshIfDue);
    ASSERT_NE(list, nullptr);
    const std::string fileBefore = ReadHostFile(Host(ItemFilePath(channel)));
    ASSERT_FALSE(fileBefore.empty());
    const std::string successBefore = U8(GetLastSuccess(channel));

    if (row.handler) {
      server_.Route(path, row.handler);
    } else {
      SetNodeText(channel, kNodeXmlUrl,
                  platform::FromUtf8("http://127.0.0.1:" + std::to_string(closedPort) + path));
    }
    Advance(kFileTimeMinute);
    // Forced: even a refresh that sent no validators keeps the stored ones when it fails.
    EXPECT_EQ(refreshChannel(channel, kRefreshForced), list);
    if (row.code != 0) {
      EXPECT_EQ(U8(GetLastStatus(channel)),
                platform::ToUtf8(StatusText(kStatusPrefixRetrieveFeed, row.code)));
      EXPECT_EQ(U8(GetLastStatus(channel)).rfind("Unable to retrieve RSS feed (", 0), 0u);
    } else {
      EXPECT_EQ(U8(GetLastStatus(channel)), "Success");
    }
    EXPECT_EQ(U8(GetLastUpdated(channel)), U8(NowText()));
    EXPECT_EQ(U8(GetLastSuccess(channel)), successBefore);
    EXPECT_EQ(U8(GetLastETag(channel)), "\"v1\"");
    EXPECT_EQ(U8(GetLastModified(channel)), "Tue, 10 Nov 2026 08:00:00 GMT");
    EXPECT_EQ(Guids(list), "a,b");
    EXPECT_EQ(ReadHostFile(Host(ItemFilePath(channel))), fileBefore);
    EXPECT_EQ(platform::LiveConnectionCount(), 0u);
  }
}

TEST_F(RefreshTest, NotFoundReadsAsTheUserSeesIt) {
  server_.Route("/gone", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
  ChannelNode* channel = FeedChannel("/gone");
  refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(U8(GetLastStatus(channel)), "Unable to retrieve RSS feed (URL not found - HTTP 404)");
}

TEST_F(RefreshTest, ParseFailureKeepsItemsAndWritesTheWholeDocumentToTheLog) {
  server_.Feed("/feed", Rss({{"a"}}));
  ChannelNode* channel = FeedChannel("/feed", u"News: A/B?");
  ItemList* list = refreshChannel(channel, kRefreshIfDue);
  ASSERT_NE(list, nullptr);
  const std::string fileBefore = ReadHostFile(Host(ItemFilePath(channel)));
  const std::string logFile = Host(u"\\My Documents\\News_ A_B_.log");
  EXPECT_EQ(ParseFailureLogPath(GetNodeText(channel, kNodeTitle)),
            u"\\My Documents\\News_ A_B_.log");

  const std::string broken =
      "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><item><title>broken "
      "document that is rather long</title></channel>";
  server_.Feed("/feed", broken, "\"v2\"");
  refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(U8(GetLastStatus(channel)).rfind("Unable to parse RSS feed : ", 0), 0u)
      << U8(GetLastStatus(channel));
  EXPECT_EQ(ReadHostFile(logFile), broken);
  EXPECT_EQ(Guids(list), "a");
  EXPECT_EQ(U8(GetLastETag(channel)), "\"v1\"");  // the list still is v1's
  EXPECT_EQ(ReadHostFile(Host(ItemFilePath(channel))), fileBefore);

  const std::string shorter = "<html><body>no feed</body></html>";
  server_.Feed("/feed", shorter, "\"v3\"");
  refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(U8(GetLastStatus(channel)), "Unable to parse feed.  No items found.");
  EXPECT_EQ(ReadHostFile(logFile), shorter);  // no tail of the longer document
  EXPECT_EQ(Guids(list), "a");
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);
}

TEST(ParseFailureLogPath, EveryForbiddenCharacterBecomesAnUnderscore) {
  EXPECT_EQ(ParseFailureLogPath(std::u16string(u"a\"*/\\<>?|.:z")),
            u"\\My Documents\\a__________z.log");
  EXPECT_EQ(ParseFailureLogPath(std::u16string(u"Plain Title")),
            u"\\My Documents\\Plain Title.log");
}

TEST_F(RefreshTest, OfflineDeviceReportsNoConnectionAndTouchesNothingElse) {
  server_.Feed("/feed", Rss({{"a"}}));
  ChannelNode* channel = FeedChannel("/feed");
  ItemList* list = refreshChannel(channel, kRefreshIfDue);
  ASSERT_NE(list, nullptr);
  const std::string successBefore = U8(GetLastSuccess(channel));
  platform::DeviceConfig config = platform::Device();
  config.offline = true;
  platform::SetDeviceConfig(config);
  Advance(kFileTimeMinute);

  EXPECT_EQ(refreshChannel(channel, kRefreshForced), list);
  EXPECT_EQ(server_.Hits("/feed"), 1);
  EXPECT_EQ(U8(GetLastStatus(channel)), platform::ToUtf8(kNoConnection));
  EXPECT_EQ(U8(GetLastUpdated(channel)), U8(NowText()));
  EXPECT_EQ(U8(GetLastSuccess(channel)), successBefore);
  EXPECT_EQ(U8(GetLastETag(channel)), "\"v1\"");
  EXPECT_EQ(Guids(list), "a");
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);
}

TEST_F(RefreshTest, ClippingsIsNeverFetchedButExpiredStoredAndSuccessful) {
  ChannelNode* clippings = GetClippings(root_);
  ASSERT_TRUE(IsClippings(clippings));
  std::unique_ptr<ItemList> items =
      parseFeed(nullptr,
                Rss({{"a"},
                     {"b", "Tue, 10 Nov 2026 07:00:00 GMT"},
                     {"c", "Tue, 10 Nov 2026 06:00:00 GMT"}}),
                65001, true);
  ASSERT_NE(items, nullptr);
  finalizeStates(items.get(), false);
  markAll(items.get(), true);
  AttachItems(clippings, std::move(items));
  SetLastStatus(clippings, std::u16string(u"earlier"));
  ASSERT_TRUE(SetExpireRead(clippings, u"1i", false));

  ItemList* list = refreshChannel(clippings, kRefreshForced);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Guids(list), "a");
  EXPECT_EQ(U8(GetLastStatus(clippings)), "Success");
  EXPECT_EQ(U8(GetLastSuccess(clippings)), U8(NowText()));
  std::unique_ptr<ItemList> back = readItemFileAt(ItemFilePath(clippings), nullptr);
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(Guids(back.get()), "a");
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);
}

// ---- The lock around the transfer ----

TEST_F(RefreshTest, ChannelDeletedDuringItsTransferIsLeftAlone) {
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  server_.Route("/slow", [&](const httplib::Request&, httplib::Response& r) {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return release; });
    r.set_content(Rss({{"a"}}), "application/rss+xml");
  });
  ChannelNode* channel = FeedChannel("/slow");
  SetNodeLockTimeoutForTests(200);
  std::atomic<bool> done{false};
  ItemList* result = reinterpret_cast<ItemList*>(1);
  std::thread worker([&] {
    result = refreshChannel(channel, kRefreshForced);
    done = true;
  });
  ASSERT_TRUE(testing::Eventually([&] { return server_.Hits("/slow") == 1; }));
  // The interface can read the channel meanwhile, and delete it.
  EXPECT_EQ(U8(GetNodeText(channel, kNodeTitle)), "Daily");
  const bool deleted = DeleteNode(channel);
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
  }
  changed.notify_all();
  worker.join();
  ASSERT_TRUE(deleted);
  EXPECT_TRUE(done);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(platform::LiveConnectionCount(), 0u);
}

TEST_F(RefreshTest, RelockingAsksTheIdTableFirst) {
  ChannelNode* channel = FeedChannel("/x");
  ASSERT_TRUE(IsRegisteredNode(channel));
  ASSERT_EQ(LockRegisteredNode(channel, 0), channel);
  UnlockNode(channel);

  // Busy on another thread: null once the time is up, the node untouched.
  std::mutex lock;
  std::condition_variable changed;
  bool held = false;
  bool release = false;
  std::thread holder([&] {
    NodeLockGuard guard(channel);
    std::unique_lock<std::mutex> hold(lock);
    held = true;
    changed.notify_all();
    changed.wait(hold, [&] { return release; });
  });
  {
    std::unique_lock<std::mutex> hold(lock);
    changed.wait(hold, [&] { return held; });
  }
  EXPECT_EQ(LockRegisteredNode(channel, 50), nullptr);
  {
    std::lock_guard<std::mutex> hold(lock);
    release = true;
  }
  changed.notify_all();
  holder.join();

  // Out of the table: never locked.
  UnregisterChannelId(channel);
  EXPECT_FALSE(IsRegisteredNode(channel));
  EXPECT_EQ(LockRegisteredNode(channel, 50), nullptr);
  EXPECT_FALSE(IsRegisteredNode(nullptr));
  RegisterChannelId(channel);  // FreeTree expects its pair
}

// ---- Service subscriptions ----

TEST_F(RefreshTest, ServiceSubscriptionsUseTheServiceAddressAndNewsGatorUploadsFirst) {
  server_.Feed("/service", Rss({{"a"}}));
  std::vector<std::string> calls;
  RetrievalWork work;
  work.serviceItemsUrl = [&](ChannelNode* channel, bool forced) {
    calls.push_back("url " + std::to_string(GetSyncId(channel)) + (forced ? " forced" : ""));
    return server_.Url16("/service");
  };
  work.uploadReadChanges = [&](ChannelNode* channel) {
    calls.push_back("upload " + std::to_string(GetSyncId(channel)) + " hits " +
                    std::to_string(server_.Hits("/service")));
  };
  SetRetrievalWork(std::move(work));

  ChannelNode* newsGator = FeedChannel("/unused", u"NG");
  ASSERT_TRUE(SetSyncService(newsGator, 1));
  ASSERT_TRUE(SetSyncId(newsGator, 42));
  SetLastETag(newsGator, std::u16string(u"\"v1\""));
  SetLastModified(newsGator, std::u16string(u"Tue, 10 Nov 2026 08:00:00 GMT"));
  ItemList* list = refreshChannel(newsGator, kRefreshIfDue);
  EXPECT_EQ(Guids(list), "a");
  EXPECT_EQ(calls, (std::vector<std::string>{"upload 42 hits 0", "url 42"}));
  // The service answers in full: no validators, even when some are stored.
  EXPECT_EQ(server_.Header("/service", "If-None-Match"), "<absent>");
  EXPECT_EQ(server_.Header("/service", "If-Modified-Since"), "<absent>");
  EXPECT_EQ(server_.Hits("/unused"), 0);

  calls.clear();
  ChannelNode* bloglines = FeedChannel("/unused", u"BL");
  ASSERT_TRUE(SetSyncService(bloglines, 0));
  ASSERT_TRUE(SetSyncId(bloglines, 1234));
  refreshChannel(bloglines, kRefreshForced);
  EXPECT_EQ(calls, (std::vector<std::string>{"url 1234 forced"}));

  calls.clear();
  ChannelNode* other = FeedChannel("/unused", u"Other");
  ASSERT_TRUE(SetSyncService(other, 7));
  ASSERT_TRUE(SetSyncId(other, 5));
  refreshChannel(other, kRefreshForced);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(U8(GetLastStatus(other)),
            platform::ToUtf8(StatusText(kStatusPrefixRetrieveFeed, kUrlNoAddress)));
}

TEST_F(RefreshTest, RequestCarriesTheChannelsCredentials) {
  ChannelNode* channel = FeedChannel("/auth");
  SetNodeText(channel, kNodeUserName, u"ann");
  SetNodeText(channel, kNodePassword, u"secret");
  const UrlRequest request = buildChannelRequest(channel, false);
  EXPECT_EQ(U8(request.url), server_.Url("/auth"));
  EXPECT_EQ(U8(request.user), "ann");
  EXPECT_EQ(U8(request.password), "secret");
  EXPECT_NE(request.method, kMethodPost);

  // Without a service plugged in a subscription has no address.
  ASSERT_TRUE(SetSyncId(channel, 9));
  EXPECT_EQ(U8(buildChannelRequest(channel, true).url), "");

  server_.Route("/auth", [](const httplib::Request& q, httplib::Response& r) {
    if (!q.has_header("Authorization")) {
      r.status = 401;
      return;
    }
    r.set_content(Rss({{"a"}}), "application/rss+xml");
  });
  ASSERT_TRUE(SetSyncId(channel, 0));
  refreshChannel(channel, kRefreshForced);
  EXPECT_EQ(server_.Header("/auth", "Authorization"), "Basic YW5uOnNlY3JldA==");
  EXPECT_EQ(U8(GetLastStatus(channel)), "Success");
}

// ---- Post-refresh pass ----

// What the real queue handed to its workers, one record per task.
struct TaskSeen {
  int32_t kind = 0;
  std::string label;
  uint32_t channelId = 0;
  uint32_t itemKey = 0;
  int32_t parameter = 0;
};

struct Recorded {
  std::mutex lock;
  std::vector<TaskSeen> tasks;
  void Add(const RetrievalTask& task) {
    std::lock_guard<std::mutex> hold(lock);
    tasks.push_back({task.kind, U8(task.label), task.channelId, task.itemKey, task.parameter});
  }
  std::multiset<std::string> Labels(int32_t kind) {
    std::lock_guard<std::mutex> hold(lock);
    std::multiset<std::string> out;
    for (const TaskSeen& t : tasks) {
      if (t.kind == kind) out.insert(t.label);
    }
    return out;
  }
};

class ProcessItemsTest : public RefreshTest {
 protected:
  void StartQueue() {
    RetrievalWork work;
    work.runWebPage = [this](RetrievalTask& task) {
      recorded_.Add(task);
      return 0;
    };
    work.runDownload = [this](RetrievalTask& task) {
      recorded_.Add(task);
      return 0;
    };
    SetRetrievalWork(std::move(work));
    InitRetrieval();
  }

  // A channel whose items carry enclosures, newest first, each in the given state, dated one
  // day apart from `newest`, with the files of the R and E ones on disk.
  ChannelNode* EnclosureChannel(const std::string& states, platform::FileTime newest,
                                const std::u16string& title) {
    ChannelNode* channel = Channel(root_, title, u"http://127.0.0.1:1/podcast");
    EnsureFileBase(channel);
    std::vector<Entry> entries;
    for (size_t i = 0; i < states.size(); ++i) {
      Entry e("e" + std::to_string(i),
              platform::ToUtf8(formatRfc822Date(newest - i * kFileTimeDay)));
      e.extra = "<enclosure url=\"http://127.0.0.1:1/" + platform::ToUtf8(title) + "/show" +
                std::to_string(i) +
                ".mp3\" length=\"10\" type=\"audio/mpeg\"/>";
      entries.push_back(e);
    }
    std::unique_ptr<ItemList> list = parseFeed(nullptr, Rss(entries), 65001, true);
    EXPECT_NE(list, nullptr);
    finalizeStates(list.get(), false);
    AttachItems(channel, std::move(list));
    ItemList* items = channel->items.get();
    size_t i = 0;
    for (FeedItem* item = items->first; item; item = item->next, ++i) {
      const std::map<char, int32_t> codes{{'N', kEnclosureNotRetrieved},
                                          {'P', kEnclosurePending},
                                          {'R', kEnclosureRetrieved},
                                          {'D', kEnclosureDeleted},
                                          {'E', kEnclosureError}};
      setEnclosureState(item, codes.at(states[i]));
      if (states[i] == 'R' || states[i] == 'E') WriteHostFile(Host(enclosureLocalPath(item)), "x");
    }
    return channel;
  }

  static std::string States(ChannelNode* channel) {
    std::string out;
    for (FeedItem* item = channel->items->first; item; item = item->next) {
      out += "NPRDE"[getEnclosureState(item)];
    }
    return out;
  }
  std::string Files(ChannelNode* channel) const {
    std::string out;
    for (FeedItem* item = channel->items->first; item; item = item->next) {
      out += HostExists(Host(enclosureLocalPath(item))) ? "1" : "0";
    }
    return out;
  }

  Recorded recorded_;
};

TEST_F(ProcessItemsTest, CountModeKeepsTheNewestEnclosuresWithinTheBudget) {
  ASSERT_TRUE(SetCacheOptions(1, false));
  StartQueue();
  struct Row {
    const char* limit;
    const char* before;
    const char* after;
    const char* files;
    bool option;
  };
  const Row rows[] = {
      {"2i", "RRR", "RRD", "110", true},
      {"2i", "NRR", "PRD", "010", true},  // a queued one counts as well
      {"1i", "RN", "RN", "10", true},     // nothing left for the older one
      {"2i", "DRRR", "DRDD", "0100", true},
      {"-1", "RN", "DN", "00", true},     // negative counts as 0
      {"3i", "EEE", "PPP", "111", true},  // failed ones are tried again
      {"1i", "RRR", "RRR", "111", false},  // without the option the budget is not spent
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.limit) + " " + row.before);
    ChannelNode* channel = EnclosureChannel(row.before, kNow - kFileTimeDay,
                                            u"Pod" + platform::FromUtf8(std::to_string(n++)));
    ASSERT_TRUE(SetCacheEnclosures(channel, row.option ? 1 : 0, false));
    ASSERT_TRUE(SetExpireEnclosures(channel, platform::FromUtf8(row.limit), false));
    const size_t messagesBefore = Received(*mainSink_, kMessageEnclosureChanged).size();
    processItems(channel);
    EXPECT_EQ(States(channel), row.after);
    EXPECT_EQ(Files(channel), row.files);
    size_t changed = 0;
    for (size_t i = 0; i < std::string(row.before).size(); ++i) {
      changed += row.before[i] != row.after[i] ? 1 : 0;
    }
    EXPECT_EQ(Received(*mainSink_, kMessageEnclosureChanged).size() - messagesBefore, changed);
  }
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  EXPECT_EQ(recorded_.Labels(kTaskEnclosure),
            (std::multiset<std::string>{"http://127.0.0.1:1/Pod1/show0.mp3",
                                        "http://127.0.0.1:1/Pod5/show0.mp3",
                                        "http://127.0.0.1:1/Pod5/show1.mp3",
                                        "http://127.0.0.1:1/Pod5/show2.mp3"}));
}

TEST_F(ProcessItemsTest, DaysModeCutsAtLocalMidnight) {
  testsupport::ZoneScope zone("UTC");
  ASSERT_TRUE(SetCacheOptions(1, false));
  StartQueue();
  // "3d": today and the two days before, from 8 November 00:00.
  ChannelNode* channel = EnclosureChannel("NRRNR", Utc(2026, 11, 10, 1, 0, 0), u"Days");
  ASSERT_TRUE(SetCacheEnclosures(channel, 1, false));
  ASSERT_TRUE(SetEnclosureSizeLimitMB(channel, 12, false));
  ASSERT_TRUE(SetExpireEnclosures(channel, u"3d", false));
  // The third item (8 November 01:00) is within; move the fourth to the cut-off itself and the
  // fifth just before it.
  ItemList* items = channel->items.get();
  nthItem(items, 4)->date = Utc(2026, 11, 8, 0, 0, 0);
  nthItem(items, 5)->date = Utc(2026, 11, 7, 23, 59, 59);
  processItems(channel);
  EXPECT_EQ(States(channel), "PRRPD");
  EXPECT_EQ(Files(channel), "01100");
  ASSERT_TRUE(WaitForRetrievalIdle(20000));
  std::lock_guard<std::mutex> hold(recorded_.lock);
  ASSERT_EQ(recorded_.tasks.size(), 2u);
  for (const TaskSeen& task : recorded_.tasks) {
    EXPECT_EQ(task.kind, kTaskEnclosure);
    EXPECT_EQ(task.parameter, 12);
    EXPECT_EQ(task.channelId, GetNodeId(channel));
    EXPECT_NE(task.itemKey, 0u);
  }
}

TEST_F(ProcessItemsTest, RefusedEnclosureTaskLeavesTheStateAlone) {
  ASSERT_TRUE(SetCacheOptions(1, false));  // no InitRetrieval: the queue refuses everything
  ChannelNode* channel = EnclosureChannel("NE", kNow, u"Refused");
  ASSERT_TRUE(SetCacheEnclosures(channel, 1, false));
  processItems(channel);
  EXPECT_EQ(States(channel), "NE");
  EXPECT_TRUE(Received(*mainSink_, kMessageEnclosureChanged).empty());
}

TEST_F(ProcessItemsTest, PagesAndImagesAreQueuedAsTheSettingsAllow) {
  StartQueue();
  const std::string doc = Rss(
      {{"a", "Tue, 10 Nov 2026 08:00:00 GMT",
        "<description>&lt;img src=\"http://127.0.0.1:1/pic.gif\"&gt;</description>"
        "<nubrel:userimage>http://127.0.0.1:1/face.png</nubrel:userimage>"},
       {"b", "Tue, 10 Nov 2026 07:00:00 GMT"}});
  struct Row {
    const char* name;
    int32_t cacheOptions;
    bool cacheHtml;
    bool cacheImages;
    std::multiset<std::string> pages;
    std::multiset<std::string> images;
  };
  const Row rows[] = {
      {"everything", 1, true, true, {"http://example.com/a"},
       {"http://127.0.0.1:1/pic.gif", "http://127.0.0.1:1/face.png"}},
      {"no images", 1, true, false, {"http://example.com/a"}, {}},
      {"pages not wanted", 1, false, true, {},
       {"http://127.0.0.1:1/pic.gif", "http://127.0.0.1:1/face.png"}},
      {"only when cradled, not cradled", 0, true, false, {}, {}},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(SetCacheOptions(row.cacheOptions, false));
    ASSERT_TRUE(SetCacheItemImage(row.cacheImages, false));
    ChannelNode* channel =
        Channel(root_, u"Pages " + platform::FromUtf8(std::to_string(n++)),
                u"http://127.0.0.1:1/f");
    EnsureFileBase(channel);
    std::unique_ptr<ItemList> list = parseFeed(nullptr, doc, 65001, true);
    ASSERT_NE(list, nullptr);
    finalizeStates(list.get(), false);
    AttachItems(channel, std::move(list));
    setRead(ByGuid(channel->items.get(), u"b"), true);  // read: no page
    ASSERT_TRUE(SetCacheHtml(channel, row.cacheHtml ? 1 : 0, false));
    ASSERT_TRUE(SetCacheDepth(channel, 2, false));
    SetCounts(channel, 99, 99);

    {
      std::lock_guard<std::mutex> hold(recorded_.lock);
      recorded_.tasks.clear();
    }
    processItems(channel);
    ASSERT_TRUE(WaitForRetrievalIdle(20000));
    EXPECT_EQ(recorded_.Labels(kTaskWebPage), row.pages);
    EXPECT_EQ(recorded_.Labels(kTaskImage), row.images);
    EXPECT_EQ(GetUnreadItems(channel), 1);
    EXPECT_EQ(GetNewItems(channel), 2);
    std::lock_guard<std::mutex> hold(recorded_.lock);
    for (const TaskSeen& task : recorded_.tasks) {
      if (task.kind != kTaskWebPage) continue;
      EXPECT_EQ(task.parameter, 2);
      EXPECT_EQ(task.itemKey, itemKey(ByGuid(channel->items.get(), u"a")));
    }
  }
}

TEST_F(ProcessItemsTest, TraceLinesFollowTheRefresh) {
  ASSERT_EQ(TraceOpen(u"\\trace.log"), 0u);
  server_.Feed("/feed", Rss({{"a"}}));
  ChannelNode* channel = FeedChannel("/feed", u"Traced");
  refreshChannel(channel, kRefreshIfDue);
  Advance(2 * 60 * kFileTimeMinute);
  refreshChannel(channel, kRefreshIfDue);  // 304
  refreshChannel(channel, kRefreshIfDue);  // not due
  server_.Route("/feed", [](const httplib::Request&, httplib::Response& r) { r.status = 404; });
  refreshChannel(channel, kRefreshForced);
  platform::DeviceConfig config = platform::Device();
  config.offline = true;
  platform::SetDeviceConfig(config);
  refreshChannel(channel, kRefreshForced);
  TraceClose();

  const std::string log = ReadHostFile(device_.Host("trace.log"));
  const char* expected[] = {
      "RETRIEVE: channel : Traced", "RETRIEVE: load URL",   "RETRIEVE: parse successful",
      "processItem: Title = Item a", "processItem: NEW",    "RETRIEVE: channel completed",
      "RETRIEVE: channel : Traced", "RETRIEVE: load URL",   "RETRIEVE: not modified",
      "RETRIEVE: channel completed", "RETRIEVE: channel : Traced",
      "RETRIEVE: interval not passed", "RETRIEVE: channel completed",
      "RETRIEVE: channel : Traced", "RETRIEVE: load URL",   "RETRIEVE: error : ",
      "RETRIEVE: channel completed", "RETRIEVE: channel : Traced",
      "RETRIEVE: initurl failed",   "RETRIEVE: channel completed",
  };
  size_t at = 0;
  for (const char* line : expected) {
    SCOPED_TRACE(line);
    const size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << log;
    at = found + 1;
  }
}

}  // namespace
}  // namespace nubrel
