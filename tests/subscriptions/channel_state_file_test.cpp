// The channel state file: its exact content and attribute order, which values are left out, what
// reads back, and what a failed write or a broken file leaves behind.
#include <gtest/gtest.h>

#include <functional>

#include "subscriptions/channel_state_file.h"
#include "subscriptions/subscription_list_test_support.h"

namespace nubrel::testing {
namespace {

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<opml version=\"1.0\">\n<body>\n";
constexpr char kFooter[] = "\"/>\n</body>\n</opml>\n";

class OpmlStateFileTest : public ListFixture {
 protected:
  void SetUp() override {
    ListFixture::SetUp();
    channel_ = Channel(root_, u"Chan", u"http://example.com/rss");
  }
  std::string StateHostPath() { return Host(StateFilePath(channel_)); }
  // Marks the state changed, writes it and returns the file.
  std::string Save() {
    channel_->state->dirty = true;
    EXPECT_EQ(SaveChannelState(channel_), 0u);
    return ReadHostFile(StateHostPath());
  }

  ChannelNode* channel_ = nullptr;
};

TEST_F(OpmlStateFileTest, EachFieldIsWrittenAsItsAttributeInItsPlace) {
  using Set = std::function<void(ChannelState&)>;
  const struct {
    const char* field;
    Set set;
    std::string attributes;  // between text="Chan" and the end of the element
  } rows[] = {
      {"defaults", [](ChannelState&) {}, " filterImages=\"1"},
      {"unreadItems", [](ChannelState& s) { s.unreadItems = 5; }, " unreadItems=\"5\" filterImages=\"1"},
      {"newItems", [](ChannelState& s) { s.newItems = 0; }, " newItems=\"0\" filterImages=\"1"},
      {"cachedEnclosures", [](ChannelState& s) { s.cachedEnclosures = 2; },
       " cachedEnclosures=\"2\" filterImages=\"1"},
      {"cachedWeb", [](ChannelState& s) { s.cachedWeb = 3; }, " cachedWeb=\"3\" filterImages=\"1"},
      {"enclosures", [](ChannelState& s) { s.enclosures = 4; }, " enclosures=\"4\" filterImages=\"1"},
      {"lastStatus", [](ChannelState& s) { s.lastStatus = u"Error <404> & \"gone\""; },
       " lastStatus=\"Error &lt;404&gt; &amp; &quot;gone&quot;\" filterImages=\"1"},
      {"lastUpdated", [](ChannelState& s) { s.lastUpdated = u"2008-10-21T18:28:26-00:00"; },
       " lastUpdated=\"2008-10-21T18:28:26-00:00\" filterImages=\"1"},
      {"lastSuccess", [](ChannelState& s) { s.lastSuccess = u"2008-10-21T18:28:26-00:00"; },
       " lastSuccess=\"2008-10-21T18:28:26-00:00\" filterImages=\"1"},
      {"lastModified", [](ChannelState& s) { s.lastModified = u"Tue, 21 Oct 2008 18:28:26 GMT"; },
       " lastModified=\"Tue, 21 Oct 2008 18:28:26 GMT\" filterImages=\"1"},
      {"lastETag", [](ChannelState& s) { s.lastETag = u"\"x'y\""; },
       " lastETag=\"&quot;x&apos;y&quot;\" filterImages=\"1"},
      {"displayToday", [](ChannelState& s) { s.displayToday = 0; }, " displayToday=\"0\" filterImages=\"1"},
      {"updateInterval", [](ChannelState& s) { s.updateInterval = 0; },
       " updateInterval=\"0\" filterImages=\"1"},
      {"expireUnread", [](ChannelState& s) { s.expireUnread = u"15i"; },
       " expireUnread=\"15i\" filterImages=\"1"},
      {"expireRead", [](ChannelState& s) { s.expireRead = u"-1"; }, " expireRead=\"-1\" filterImages=\"1"},
      {"expireEnclosures", [](ChannelState& s) { s.expireEnclosures = u"2i"; },
       " expireEnclosures=\"2i\" filterImages=\"1"},
      {"expireHTML", [](ChannelState& s) { s.expireHTML = u"7"; }, " expireHTML=\"7\" filterImages=\"1"},
      {"cacheEnclosures", [](ChannelState& s) { s.cacheEnclosures = 1; },
       " cacheEnclosures=\"1\" filterImages=\"1"},
      {"filterImages cleared", [](ChannelState& s) { s.filterImages = 0; }, " imageFilter=\"0"},
      {"enclosureSizeLimitMB", [](ChannelState& s) { s.enclosureSizeLimitMB = 512; },
       " filterImages=\"1\" enclosureSizeLimitMB=\"512"},
      {"cacheHtml", [](ChannelState& s) { s.cacheHtml = 1; }, " filterImages=\"1\" cacheHtml=\"1"},
      {"cacheDepth", [](ChannelState& s) { s.cacheDepth = 2; }, " filterImages=\"1\" cacheDepth=\"2"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.field);
    *channel_->state = ChannelState{};
    row.set(*channel_->state);
    EXPECT_EQ(Save(), std::string(kHeader) + "<outline text=\"Chan\"" + row.attributes + kFooter);
  }
}

TEST_F(OpmlStateFileTest, AFullStateIsWrittenInOrderAndReadsBackWhole) {
  SetNodeText(channel_, kNodeTitle, u"A & B");
  ChannelState& s = *channel_->state;
  s.unreadItems = 1;
  s.newItems = 2;
  s.enclosures = 3;
  s.cachedEnclosures = 4;
  s.cachedWeb = 5;
  s.lastStatus = u"Success";
  s.lastUpdated = u"2008-10-21T18:28:27-00:00";
  s.lastSuccess = u"2008-10-21T18:28:26-00:00";
  s.lastETag = u"\"e\"";
  s.lastModified = u"Tue, 21 Oct 2008 18:28:26 GMT";
  s.updateInterval = 90;
  s.expireUnread = u"10i";
  s.expireRead = u"3";
  s.expireEnclosures = u"1i";
  s.expireHTML = u"2";
  s.cacheEnclosures = 1;
  s.enclosureSizeLimitMB = 20;
  s.cacheHtml = 1;
  s.cacheDepth = 1;
  s.displayToday = 0;
  s.filterImages = 0;
  const ChannelState saved = s;
  EXPECT_EQ(Save(),
            std::string(kHeader) +
                "<outline text=\"A &amp; B\" unreadItems=\"1\" newItems=\"2\" cachedEnclosures=\"4\""
                " cachedWeb=\"5\" enclosures=\"3\" lastStatus=\"Success\""
                " lastUpdated=\"2008-10-21T18:28:27-00:00\" lastSuccess=\"2008-10-21T18:28:26-00:00\""
                " lastModified=\"Tue, 21 Oct 2008 18:28:26 GMT\" lastETag=\"&quot;e&quot;\""
                " displayToday=\"0\" updateInterval=\"90\" expireUnread=\"10i\" expireRead=\"3\""
                " expireEnclosures=\"1i\" expireHTML=\"2\" cacheEnclosures=\"1\" imageFilter=\"0\""
                " enclosureSizeLimitMB=\"20\" cacheHtml=\"1\" cacheDepth=\"1" +
                kFooter);
  EXPECT_FALSE(channel_->state->dirty);  // cleared once the file is in place

  *channel_->state = ChannelState{};
  LoadChannelState(channel_);
  const ChannelState& r = *channel_->state;
  EXPECT_EQ(r.unreadItems, saved.unreadItems);
  EXPECT_EQ(r.newItems, saved.newItems);
  // The reader's vocabulary has no "enclosures": that count is recounted on first need.
  EXPECT_EQ(r.enclosures, -1);
  EXPECT_EQ(r.cachedEnclosures, saved.cachedEnclosures);
  EXPECT_EQ(r.cachedWeb, saved.cachedWeb);
  EXPECT_EQ(r.lastStatus, saved.lastStatus);
  EXPECT_EQ(r.lastUpdated, saved.lastUpdated);
  EXPECT_EQ(r.lastSuccess, saved.lastSuccess);
  EXPECT_EQ(r.lastETag, saved.lastETag);
  EXPECT_EQ(r.lastModified, saved.lastModified);
  EXPECT_EQ(r.updateInterval, saved.updateInterval);
  EXPECT_EQ(r.expireUnread, saved.expireUnread);
  EXPECT_EQ(r.expireRead, saved.expireRead);
  EXPECT_EQ(r.expireEnclosures, saved.expireEnclosures);
  EXPECT_EQ(r.expireHTML, saved.expireHTML);
  EXPECT_EQ(r.cacheEnclosures, 1);
  EXPECT_EQ(r.enclosureSizeLimitMB, saved.enclosureSizeLimitMB);
  EXPECT_EQ(r.cacheHtml, 1);
  EXPECT_EQ(r.cacheDepth, saved.cacheDepth);
  EXPECT_EQ(r.displayToday, 0);
  EXPECT_EQ(r.filterImages, 0);
  EXPECT_FALSE(r.dirty);
}

TEST_F(OpmlStateFileTest, ValuesLeftOutReadBackAsANewChannelsDefaults) {
  const struct {
    const char* what;
    std::function<void(ChannelState&)> set;
    std::function<bool(const ChannelState&)> readBack;
  } rows[] = {
      {"updateInterval -1", [](ChannelState& s) { s.updateInterval = -1; },
       [](const ChannelState& s) { return s.updateInterval == -1; }},
      {"updateInterval 0", [](ChannelState& s) { s.updateInterval = 0; },
       [](const ChannelState& s) { return s.updateInterval == 0; }},
      {"enclosureSizeLimitMB 0", [](ChannelState& s) { s.enclosureSizeLimitMB = 0; },
       [](const ChannelState& s) { return s.enclosureSizeLimitMB == 0; }},
      {"cacheDepth 0", [](ChannelState& s) { s.cacheDepth = 0; },
       [](const ChannelState& s) { return s.cacheDepth == 0; }},
      {"displayToday 1", [](ChannelState& s) { s.displayToday = 1; },
       [](const ChannelState& s) { return s.displayToday == 1; }},
      {"filterImages 1", [](ChannelState& s) { s.filterImages = 1; },
       [](const ChannelState& s) { return s.filterImages == 1; }},
      {"filterImages 0", [](ChannelState& s) { s.filterImages = 0; },
       [](const ChannelState& s) { return s.filterImages == 0; }},
      {"counts -1", [](ChannelState& s) { s.unreadItems = s.newItems = s.cachedWeb = -1; },
       [](const ChannelState& s) { return s.unreadItems == -1 && s.newItems == -1 && s.cachedWeb == -1; }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    *channel_->state = ChannelState{};
    row.set(*channel_->state);
    Save();
    // Whatever the node held before, the file's record replaces it whole.
    channel_->state->updateInterval = 333;
    channel_->state->displayToday = 7;
    channel_->state->filterImages = 7;
    channel_->state->enclosureSizeLimitMB = 333;
    channel_->state->cacheDepth = 333;
    channel_->state->unreadItems = channel_->state->newItems = channel_->state->cachedWeb = 333;
    LoadChannelState(channel_);
    EXPECT_TRUE(row.readBack(*channel_->state));
  }
}

TEST_F(OpmlStateFileTest, OnlyAChangedStateIsWritten) {
  ASSERT_FALSE(channel_->state->dirty);
  EXPECT_EQ(SaveChannelState(channel_), 0u);
  EXPECT_FALSE(HostExists(StateHostPath()));

  ASSERT_TRUE(SetUpdateInterval(channel_, 60, false));
  ASSERT_EQ(SaveChannelState(channel_), 0u);
  EXPECT_TRUE(HostExists(StateHostPath()));
  std::filesystem::remove(StateHostPath());
  EXPECT_EQ(SaveChannelState(channel_), 0u);  // clean again after the write
  EXPECT_FALSE(HostExists(StateHostPath()));
}

TEST_F(OpmlStateFileTest, AFailedWriteKeepsThePreviousFileAndTheStateDirty) {
  channel_->state->unreadItems = 1;
  const std::string old = Save();
  channel_->state->unreadItems = 2;
  channel_->state->dirty = true;
  for (WriterStep failing : {WriterStep::kOpen, WriterStep::kWrite, WriterStep::kFlush,
                             WriterStep::kReplace}) {
    SCOPED_TRACE(static_cast<int>(failing));
    SetWriterFaultHookForTests([&](WriterStep step) -> platform::DeviceError {
      return step == failing ? platform::kErrorDiskFull : 0;
    });
    EXPECT_EQ(SaveChannelState(channel_), platform::kErrorDiskFull);
    EXPECT_EQ(ReadHostFile(StateHostPath()), old);
    EXPECT_TRUE(channel_->state->dirty);
  }
  SetWriterFaultHookForTests(nullptr);
  EXPECT_EQ(SaveChannelState(channel_), 0u);
  EXPECT_NE(ReadHostFile(StateHostPath()).find("unreadItems=\"2\""), std::string::npos);
}

TEST_F(OpmlStateFileTest, ABrokenOrForeignFileLeavesTheStateAndTheLegacyExpireSetsBoth) {
  const struct {
    const char* what;
    std::string contents;
    int32_t unread;            // after loading, starting from 9
    const char* expireUnread;  // "" for absent
    const char* expireRead;
  } rows[] = {
      {"garbage", std::string("\x00\xFF garbage", 11), 9, "", ""},
      {"cut off", std::string(kHeader) + "<outline text=\"Chan\" unreadItems=\"4", 9, "", ""},
      {"no outline", std::string(kHeader) + "</body>\n</opml>\n", 9, "", ""},
      {"legacy expire", std::string(kHeader) + "<outline text=\"Chan\" expire=\"5\" u=\"1" + kFooter,
       -1, "5", "5"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    *channel_->state = ChannelState{};
    channel_->state->unreadItems = 9;
    WriteHostFile(StateHostPath(), row.contents);
    LoadChannelState(channel_);
    EXPECT_EQ(channel_->state->unreadItems, row.unread);
    EXPECT_EQ(channel_->state->expireUnread.value_or(u""), platform::FromUtf8(row.expireUnread));
    EXPECT_EQ(channel_->state->expireRead.value_or(u""), platform::FromUtf8(row.expireRead));
  }
}

TEST_F(OpmlStateFileTest, LoadChannelStatesReadsEveryNodeBelowTheRoot) {
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* inner = Channel(folder, u"Inner", u"http://example.com/inner");
  for (ChannelNode* node : {channel_, inner}) {
    node->state->unreadItems = node == inner ? 7 : 8;
    node->state->dirty = true;
    ASSERT_EQ(SaveChannelState(node), 0u);
    node->state->unreadItems = -1;
  }
  LoadChannelStates(root_);
  EXPECT_EQ(channel_->state->unreadItems, 8);
  EXPECT_EQ(inner->state->unreadItems, 7);
  EXPECT_EQ(folder->state->unreadItems, -1);  // no file of its own
}

}  // namespace
}  // namespace nubrel::testing
