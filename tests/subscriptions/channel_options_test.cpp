// A channel's state accessors: the options' validity rules with check-only calls, the counts'
// dirty rule, the refresh results and their display, and attaching an item list.
#include "channel_tree_fixture.h"
#include "feeds/dates.h"
#include "feeds/item_list.h"

namespace nubrel {
namespace {

class TreeOptionsTest : public testing::TreeFixture {
 protected:
  void SetUp() override {
    TreeFixture::SetUp();
    node_ = Channel(root_, u"Options", u"http://options/");
    node_->state->dirty = false;
  }
  ChannelNode* node_ = nullptr;
};

TEST_F(TreeOptionsTest, NumberOptionsAcceptOnlyTheirRanges) {
  using Setter = bool (*)(ChannelNode*, int32_t, bool);
  using Getter = int32_t (*)(ChannelNode*);
  struct Row {
    const char* name;
    Setter set;
    Getter get;
    int32_t value;
    bool valid;
  } rows[] = {
      {"interval", SetUpdateInterval, GetUpdateInterval, -2, false},
      {"interval", SetUpdateInterval, GetUpdateInterval, -1, true},
      {"interval", SetUpdateInterval, GetUpdateInterval, 0, true},
      {"interval", SetUpdateInterval, GetUpdateInterval, 1, false},
      {"interval", SetUpdateInterval, GetUpdateInterval, 59, false},
      {"interval", SetUpdateInterval, GetUpdateInterval, 60, true},
      {"interval", SetUpdateInterval, GetUpdateInterval, 1440, true},
      {"interval", SetUpdateInterval, GetUpdateInterval, 1441, false},
      {"size", SetEnclosureSizeLimitMB, GetEnclosureSizeLimitMB, -1, false},
      {"size", SetEnclosureSizeLimitMB, GetEnclosureSizeLimitMB, 0, true},
      {"size", SetEnclosureSizeLimitMB, GetEnclosureSizeLimitMB, 1, true},
      {"size", SetEnclosureSizeLimitMB, GetEnclosureSizeLimitMB, 512, true},
      {"size", SetEnclosureSizeLimitMB, GetEnclosureSizeLimitMB, 513, false},
      {"depth", SetCacheDepth, GetCacheDepth, -1, false},
      {"depth", SetCacheDepth, GetCacheDepth, 0, true},
      {"depth", SetCacheDepth, GetCacheDepth, 2, true},
      {"depth", SetCacheDepth, GetCacheDepth, 3, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + std::to_string(row.value));
    // A value no row uses for the option, so that a store shows.
    const int32_t before = row.set == SetUpdateInterval ? 720 : 1;
    ASSERT_TRUE(row.set(node_, before, false));
    node_->state->dirty = false;

    EXPECT_EQ(row.set(node_, row.value, true), row.valid);
    EXPECT_EQ(row.get(node_), before) << "check-only stored";
    EXPECT_EQ(row.set(nullptr, row.value, true), row.valid) << "checking needs no node";
    EXPECT_FALSE(node_->state->dirty);

    EXPECT_EQ(row.set(node_, row.value, false), row.valid);
    EXPECT_EQ(row.get(node_), row.valid ? row.value : before);
    EXPECT_EQ(node_->state->dirty, row.valid);
  }
}

TEST_F(TreeOptionsTest, RetentionTextsAcceptOnlyTheirForms) {
  using Setter = bool (*)(ChannelNode*, std::optional<std::u16string_view>, bool);
  struct Option {
    const char* name;
    Setter set;
    int code;
    bool pages;  // expireHTML: days only
  } options[] = {
      {"unread", SetExpireUnread, kNodeExpireUnread, false},
      {"read", SetExpireRead, kNodeExpireRead, false},
      {"enclosures", SetExpireEnclosures, kNodeExpireEnclosures, false},
      {"pages", SetExpireHtml, kNodeExpireHtml, true},
  };
  struct Row {
    std::optional<std::u16string> text;
    bool valid;       // for the item and enclosure limits
    bool validPages;  // for expireHTML
  } rows[] = {
      {std::nullopt, true, true}, {u"-1", true, true},    {u"-1i", true, true},
      {u"1i", true, true},        {u"999i", true, false}, {u"1000i", false, false},
      {u"0i", false, false},      {u"1", true, true},     {u"31", true, true},
      {u"7d", true, true},        {u"32", false, false},  {u"40I", false, false},
      {u"", false, false},        {u"abc", false, false}, {u"  5", true, true},
  };
  for (const Option& option : options) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(option.name) + " '" +
                   platform::ToUtf8(row.text.value_or(u"(absent)")) + "'");
      const bool valid = option.pages ? row.validPages : row.valid;
      ASSERT_TRUE(option.set(node_, u"3", false));
      std::optional<std::u16string_view> text;
      if (row.text) text = *row.text;
      EXPECT_EQ(option.set(node_, text, true), valid);
      EXPECT_EQ(GetNodeText(node_, option.code), u"3");
      EXPECT_EQ(option.set(node_, text, false), valid);
      EXPECT_EQ(GetNodeText(node_, option.code), valid ? row.text : OptionalText(u"3"));
    }
  }
}

TEST_F(TreeOptionsTest, FlagsAreStoredAsGiven) {
  EXPECT_TRUE(SetDisplayToday(node_, 0, false));
  EXPECT_TRUE(SetCacheHtml(node_, 7, false));
  EXPECT_TRUE(SetCacheEnclosures(node_, 1, true));  // check only
  EXPECT_TRUE(SetFilterImages(node_, 0, false));
  EXPECT_EQ(GetDisplayToday(node_), 0);
  EXPECT_EQ(GetCacheHtml(node_), 7);
  EXPECT_EQ(GetCacheEnclosures(node_), 0);
  EXPECT_EQ(GetFilterImages(node_), 0);
}

TEST_F(TreeOptionsTest, NodesWithoutStateGiveFallbacksAndRefuseStores) {
  EXPECT_EQ(GetUpdateInterval(root_), -1);
  EXPECT_EQ(GetLastStatus(root_), u"Not set");
  EXPECT_FALSE(GetLastSuccess(root_).has_value());
  EXPECT_EQ(GetCacheDepth(root_), 0);
  EXPECT_EQ(GetDisplayToday(root_), 0);
  EXPECT_TRUE(IsLastStatusSuccess(root_));
  EXPECT_FALSE(SetUpdateInterval(root_, 60, false));
  EXPECT_TRUE(SetUpdateInterval(root_, 60, true));
  EXPECT_FALSE(SetLastStatus(root_, u"Success"));
  EXPECT_EQ(GetUpdateInterval(nullptr), -1);
}

TEST_F(TreeOptionsTest, CountsMarkTheStateDirtyOnlyWhenTheyChange) {
  SetCounts(node_, -1, -1);  // the defaults again
  EXPECT_FALSE(node_->state->dirty);
  SetCounts(node_, 4, 2);
  EXPECT_TRUE(node_->state->dirty);
  EXPECT_EQ(GetUnreadItems(node_), 4);
  EXPECT_EQ(GetNewItems(node_), 2);
  node_->state->dirty = false;
  SetCounts(node_, 4, 2);
  EXPECT_FALSE(node_->state->dirty);
  SetCounts(node_, 4, 3);
  EXPECT_TRUE(node_->state->dirty);

  node_->state->cachedEnclosures = 5;
  node_->state->cachedWeb = 6;
  ResetCachedCounts(node_);
  EXPECT_EQ(GetCachedEnclosures(node_), -1);
  EXPECT_EQ(GetCachedWeb(node_), -1);
}

TEST_F(TreeOptionsTest, SuccessIsRecognisedWithoutRegardToCase) {
  struct Row {
    std::optional<std::u16string> status;
    bool success;
  } rows[] = {
      {std::nullopt, true},
      {u"Success", true},
      {u"SUCCESS. no changes.", true},
      {u"Success.", false},
      {u"Unable to retrieve RSS feed (URL not found - HTTP 404)", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.status.value_or(u"(absent)")));
    node_->state->lastStatus = row.status;
    EXPECT_EQ(IsLastStatusSuccess(node_), row.success);
  }
}

TEST_F(TreeOptionsTest, AttachingAListStampsTheStateAndItsCounts) {
  const platform::FileTime now = 133000000000000000ULL;  // a fixed instant of 2022
  platform::PinClock(now);
  node_->state->enclosures = 9;
  auto list = newList(nullptr, kFeedRss20);
  for (int i = 0; i < 3; ++i) {
    auto item = std::make_unique<FeedItem>();
    item->flags = i == 0 ? kReadStateRead : (kReadStateUnread | kItemNewBit);
    item->date = now - static_cast<platform::FileTime>(i) * kFileTimeDay;
    insertItem(list.get(), std::move(item));
  }
  ItemList* attached = list.get();
  AttachItems(node_, std::move(list));

  EXPECT_EQ(node_->items.get(), attached);
  EXPECT_EQ(attached->channel, node_);
  EXPECT_EQ(GetLastStatus(node_), u"Success");
  EXPECT_EQ(GetLastUpdated(node_), formatIsoDate(now));
  EXPECT_EQ(GetLastSuccess(node_), formatIsoDate(now));
  EXPECT_EQ(GetUnreadItems(node_), 2);
  EXPECT_EQ(GetNewItems(node_), 2);
  EXPECT_EQ(GetEnclosureCount(node_), -1);  // to be counted again over the new list
  EXPECT_TRUE(node_->state->dirty);

  // The item operations keep the cached counts true from here on.
  setRead(attached->first->next, true);
  EXPECT_EQ(GetUnreadItems(node_), 1);
}

TEST_F(TreeOptionsTest, DatesAreShownRelativeOrAsNotSet) {
  platform::SystemTime noon{2024, 3, 0, 15, 12, 0, 0, 0};
  platform::FileTime now = 0;
  ASSERT_EQ(platform::SystemTimeToFileTime(noon, now), 0u);
  platform::PinClock(now);
  EXPECT_EQ(GetLastUpdatedText(node_), u"Not set");
  SetLastUpdated(node_, formatIsoDate(now - 2 * 3600 * 10000000ULL));
  EXPECT_EQ(GetLastUpdatedText(node_).rfind(u"Today,", 0), 0u);
  SetLastSuccess(node_, formatIsoDate(now - kFileTimeDay));
  EXPECT_EQ(GetLastSuccessText(node_).rfind(u"Yesterday,", 0), 0u);
  SetLastSuccess(node_, u"not a date");
  EXPECT_EQ(GetLastSuccessText(node_), u"Not set");
}

}  // namespace
}  // namespace nubrel
