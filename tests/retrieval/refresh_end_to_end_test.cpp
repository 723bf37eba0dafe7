// A whole update as the reader runs it: a subscription list on a fresh device root, channels
// served by a local server, folder refreshes through the real queue and four workers, and what
// ends up in each channel's files, state and status; then a second update that sends the
// validators and gets 304s, and a failing server that must leave stored items alone.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/string_table.h"
#include "feeds/item_file.h"
#include "platform/device_time.h"
#include "platform/files.h"
#include "platform/utf.h"
#include "retrieval/retrieval_fixture.h"
#include "subscriptions/channel_state_file.h"
#include "subscriptions/subscription_list.h"
#include "support/feed_server.h"
#include "support/zlib_gzip.h"

namespace nubrel {
namespace {

using testing::Eventually;

std::string RssFeed(const std::string& title, int items) {
  std::string xml = "<?xml version=\"1.0\"?><rss version=\"2.0\"><channel><title>" + title +
                    "</title><link>http://example.com/</link>";
  for (int i = 0; i < items; ++i) {
    const std::string n = std::to_string(i);
    xml += "<item><title>" + title + " item " + n + "</title><guid>" + title + "-" + n +
           "</guid><link>http://example.com/" + n + "</link><pubDate>Tue, 0" +
           std::to_string(1 + i) + " Dec 2026 10:00:00 GMT</pubDate>"
           "<description>Body &amp; more " + n + "</description></item>";
  }
  return xml + "</channel></rss>";
}

std::string AtomFeed(const std::string& title, int entries) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                    "<feed xmlns=\"http://www.w3.org/2005/Atom\"><title>" + title + "</title>";
  for (int i = 0; i < entries; ++i) {
    const std::string n = std::to_string(i);
    xml += "<entry><title>" + title + " entry " + n + "</title><id>urn:" + title + ":" + n +
           "</id><link href=\"http://example.org/" + n + "\"/><updated>2026-12-0" +
           std::to_string(1 + i) + "T10:00:00Z</updated><content>Text " + n +
           "</content></entry>";
  }
  return xml + "</feed>";
}

class RefreshEndToEndTest : public testing::RetrievalFixture {
 protected:
  void SetUp() override {
    RetrievalFixture::SetUp();
    ASSERT_TRUE(SetNotifyNewItems(true, false));
    SetNewItemsBubble({[this](int32_t count, std::u16string_view) {
                         std::lock_guard<std::mutex> hold(bubbleLock_);
                         bubbles_.push_back(count);
                       },
                       {}});
    server_.Feed("/plain.xml", RssFeed("Plain", 3), "\"plain-1\"");
    const std::string atom = testsupport::ZlibGzip(AtomFeed("Zipped", 2));
    server_.Route("/zipped.xml", [atom](const httplib::Request& request,
                                        httplib::Response& response) {
      if (request.get_header_value("If-Modified-Since") == "Mon, 07 Dec 2026 09:00:00 GMT") {
        response.status = 304;
        return;
      }
      response.set_header("Last-Modified", "Mon, 07 Dec 2026 09:00:00 GMT");
      response.set_header("Content-Encoding", "gzip");
      response.set_content(atom, "application/atom+xml");
    });
    server_.Route("/flaky.xml", [this](const httplib::Request&, httplib::Response& response) {
      if (flakyBroken_) {
        response.status = 500;
        response.set_content("oops", "text/plain");
        return;
      }
      response.set_header("ETag", "\"flaky-1\"");
      response.set_content(RssFeed("Flaky", 2), "application/rss+xml");
    });
    ASSERT_TRUE(server_.Start());

    // The list as the reader finds it at start-up: written once, read back with its states.
    ChannelNode* list = CreateRootNode();
    SetNodeText(list, kNodeTitle, u"My Channels");
    ChannelNode* news = AppendChildNode(list);
    SetNodeText(news, kNodeTitle, u"News");
    Channel(news, u"Plain", server_.Url16("/plain.xml"));
    Channel(news, u"Zipped", server_.Url16("/zipped.xml"));
    Channel(list, u"Flaky", server_.Url16("/flaky.xml"));
    ASSERT_EQ(SaveSubscriptionList(list), 0u);
    FreeTree(list);
    ResetChannelIdTable();

    FreeTree(root_);
    root_ = LoadSubscriptionList({}, true);
    ASSERT_NE(root_, nullptr);
    news_ = GetFirstChild(root_);
    plain_ = GetFirstChild(news_);
    zipped_ = GetNextSibling(plain_);
    flaky_ = GetNextSibling(news_);
    ASSERT_TRUE(news_ && plain_ && zipped_ && flaky_);
    InitRetrieval();
  }

  void TearDown() override {
    RetrievalFixture::TearDown();
    platform::UnpinClock();
  }

  void UpdateFolder(ChannelNode* folder) {
    QueueFolderRefresh(folder, main_);
    ASSERT_TRUE(WaitForRetrievalIdle(30000));
    ASSERT_EQ(SaveAllChannels(root_), 0);
  }

  std::vector<int32_t> Bubbles() {
    std::lock_guard<std::mutex> hold(bubbleLock_);
    return bubbles_;
  }

  // The item file on disk, read back as the next start-up would.
  static int32_t StoredItems(ChannelNode* channel) {
    auto list = readItemFileAt(ItemFilePath(channel), nullptr);
    return list ? list->totalCount : -1;
  }

  static std::string HostFile(std::u16string_view devicePath) {
    std::string bytes;
    platform::FileHandle file = platform::OpenFile(devicePath, platform::kAccessRead,
                                                   platform::kShareRead,
                                                   platform::Disposition::kOpenExisting,
                                                   platform::kFileAttributeNormal, nullptr);
    if (!file.IsOpen()) return "<missing>";
    char buffer[4096];
    size_t got = 0;
    while (platform::ReadFile(file, buffer, sizeof buffer, got) == 0 && got > 0) {
      bytes.append(buffer, got);
    }
    return bytes;
  }

  testsupport::FeedServer server_;
  std::atomic<bool> flakyBroken_{false};
  std::mutex bubbleLock_;
  std::vector<int32_t> bubbles_;
  ChannelNode* news_ = nullptr;
  ChannelNode* plain_ = nullptr;
  ChannelNode* zipped_ = nullptr;
  ChannelNode* flaky_ = nullptr;
};

TEST_F(RefreshEndToEndTest, FirstUpdateStoresEverythingAndTheSecondOneCostsOnly304s) {
  const std::u16string success = LoadStringText(2000);
  const std::u16string noChanges = LoadStringText(2003);
  ASSERT_EQ(noChanges, u"Success. No changes.");

  UpdateFolder(root_);
  for (ChannelNode* channel : {plain_, zipped_, flaky_}) {
    EXPECT_EQ(GetLastStatus(channel), success) << platform::ToUtf8(*GetNodeText(channel, kNodeTitle));
    EXPECT_FALSE(GetRefreshQueued(channel));
    EXPECT_TRUE(GetLastSuccess(channel).has_value());
  }
  EXPECT_EQ(StoredItems(plain_), 3);
  EXPECT_EQ(StoredItems(zipped_), 2);
  EXPECT_EQ(StoredItems(flaky_), 2);
  EXPECT_EQ(GetLastETag(plain_), u"\"plain-1\"");
  EXPECT_EQ(GetLastModified(zipped_), u"Mon, 07 Dec 2026 09:00:00 GMT");
  // The state file holds what the next start-up needs to send a conditional request.
  EXPECT_NE(HostFile(StateFilePath(plain_)).find("plain-1"), std::string::npos);
  EXPECT_EQ(Bubbles(), (std::vector<int32_t>{7}));  // every item is new, counted over the list
  // Each channel's row was redrawn when it was queued and when its refresh ended.
  EXPECT_GE(Received(*mainSink_, kMessageChannelChanged).size(), 6u);
  EXPECT_EQ(RunStates(), (std::vector<intptr_t>{1, 0}));

  // Two hours later everything is due again; nothing has changed at the servers.
  platform::PinClock(platform::CurrentFileTime() + 2ull * 3600 * 10000000);
  UpdateFolder(news_);
  EXPECT_EQ(server_.Header("/plain.xml", "If-None-Match"), "\"plain-1\"");
  EXPECT_EQ(server_.Header("/zipped.xml", "If-Modified-Since"), "Mon, 07 Dec 2026 09:00:00 GMT");
  for (ChannelNode* channel : {plain_, zipped_}) {
    EXPECT_EQ(GetLastStatus(channel), noChanges);
    EXPECT_EQ(CountItems(channel, 0, kCountNew), 0);  // new flags cleared by the 304
  }
  EXPECT_EQ(StoredItems(plain_), 3);
  EXPECT_EQ(Bubbles().size(), 1u);  // no new items: no second bubble
}

TEST_F(RefreshEndToEndTest, AFailingServerLeavesStoredItemsAndValidatorsAlone) {
  UpdateFolder(root_);
  ASSERT_EQ(StoredItems(flaky_), 2);
  const std::string itemFile = HostFile(ItemFilePath(flaky_));
  const OptionalText lastSuccess = GetLastSuccess(flaky_);

  flakyBroken_ = true;
  platform::PinClock(platform::CurrentFileTime() + 2ull * 3600 * 10000000);
  QueueChannelRefresh(flaky_, main_, false);
  ASSERT_TRUE(WaitForRetrievalIdle(30000));
  ASSERT_EQ(SaveAllChannels(root_), 0);

  const OptionalText status = GetLastStatus(flaky_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->rfind(u"Unable to retrieve RSS feed ", 0), 0u) << platform::ToUtf8(*status);
  EXPECT_EQ(HostFile(ItemFilePath(flaky_)), itemFile);
  EXPECT_EQ(GetLastETag(flaky_), u"\"flaky-1\"");
  EXPECT_EQ(GetLastSuccess(flaky_), lastSuccess);
  EXPECT_NE(GetLastUpdated(flaky_), lastSuccess);  // the attempt itself is recorded
}

}  // namespace
}  // namespace nubrel
