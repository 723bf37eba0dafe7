// Resolving states and merging a parsed list into the stored one.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/item_list.h"
#include "feeds/item_test_support.h"
#include "offline/local_files.h"

namespace nubrel {
namespace {

using testing::ChannelTest;
using testing::CountsAreTrue;
using testing::Item;
using testing::Titles;
using testing::Utf8;

constexpr uint32_t Service(uint32_t value) { return value << kServiceReadShift; }

// ---- Resolving states ----

class ItemMergeFinalize : public ChannelTest {};

TEST_F(ItemMergeFinalize, UndeterminedStatesFollowTheServiceElseUnread) {
  struct Row {
    const char* name;
    uint32_t flags;
    bool clearNew;
    uint32_t readState;
    bool isNewAfter;
  };
  const std::vector<Row> rows = {
      {"service read", kReadStateUndetermined | Service(1) | kItemNewBit, false, 1, true},
      {"service unread", kReadStateUndetermined | Service(0), false, 0, false},
      {"service silent", kReadStateUndetermined | Service(2) | kItemNewBit, false, 0, true},
      {"already read stays read", kReadStateRead | Service(0), false, 1, false},
      {"new cleared", kReadStateUnread | kItemNewBit, true, 0, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = ChannelList();
    FeedItem* item = insertItem(list.get(), Item(u"a", 5, row.flags));
    // What a parser leaves: counted undetermined items, and a list written out once.
    list->dirty = false;
    finalizeStates(list.get(), row.clearNew);
    EXPECT_EQ(item->flags & kReadStateMask, row.readState);
    EXPECT_EQ(isNew(item), row.isNewAfter);
    EXPECT_TRUE(CountsAreTrue(*list));
    const bool changed = (row.flags & kReadStateMask) == kReadStateUndetermined ||
                         (row.clearNew && (row.flags & kItemNewBit));
    EXPECT_EQ(list->dirty, changed);
  }
}

TEST_F(ItemMergeFinalize, RepairsCountersThatDrifted) {
  auto list = ChannelList();
  insertItem(list.get(), Item(u"a", 5, kItemNewBit));
  insertItem(list.get(), Item(u"b", 4, kReadStateRead));
  list->unreadCount = 7;  // as a service's read-state change leaves them until resolved
  list->newCount = 0;
  list->dirty = false;
  finalizeStates(list.get(), false);
  EXPECT_TRUE(CountsAreTrue(*list));
  EXPECT_TRUE(list->dirty);
}

// ---- Merging ----

class ItemMerge : public ChannelTest {
 protected:
  // Both lists of the channel, each resolved as the refresh resolves them before merging.
  void Merge(ItemList& existing, ItemList& incoming) {
    finalizeStates(&incoming, false);
    finalizeStates(&existing, true);
    existing.dirty = false;
    mergeInto(&existing, &incoming);
  }
};

TEST_F(ItemMerge, KnownItemsTakeTheFeedsChangedFields) {
  struct Fields {
    const char16_t* title;
    const char16_t* link;
    const char16_t* description;
    const char16_t* content;
    platform::FileTime modified;
  };
  struct Row {
    const char* name;
    Fields stored, incoming, expected;
    bool dirty;
  };
  const std::vector<Row> rows = {
      {"unchanged", {u"t", u"l", u"d", u"c", 1}, {u"t", u"l", u"d", u"c", 1},
       {u"t", u"l", u"d", u"c", 1}, false},
      {"title changed", {u"t", u"l", u"d", nullptr, 0}, {u"T", u"l", u"d", nullptr, 0},
       {u"T", u"l", u"d", nullptr, 0}, true},
      {"absent incoming texts change nothing", {u"t", u"l", u"d", u"c", 0},
       {u"t", u"l", nullptr, nullptr, 0}, {u"t", u"l", u"d", u"c", 0}, false},
      {"description and content arrive", {u"t", u"l", nullptr, nullptr, 0},
       {u"t", u"l", u"d2", u"c2", 0}, {u"t", u"l", u"d2", u"c2", 0}, true},
      {"modified date follows", {u"t", u"l", u"d", nullptr, 5}, {u"t", u"l", u"d", nullptr, 9},
       {u"t", u"l", u"d", nullptr, 9}, true},
      // Same guid "g", incoming without a link: its address is its guid, which differs from
      // the stored link, so the stored link goes (the feed's own address is now the guid).
      {"a dropped link gives way to the guid", {u"t", u"l", u"d", nullptr, 0},
       {u"t", nullptr, u"d", nullptr, 0}, {u"t", nullptr, u"d", nullptr, 0}, true},
  };
  auto fill = [](FeedItem& item, const Fields& f) {
    if (f.title) item.title = f.title;
    if (f.link) item.link = f.link;
    if (f.description) item.description = f.description;
    if (f.content) item.content = f.content;
    item.modified = f.modified;
    item.guid = u"g";
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto existing = ChannelList();
    auto incoming = ChannelList();
    auto stored = std::make_unique<FeedItem>();
    fill(*stored, row.stored);
    stored->date = 100;
    FeedItem* kept = insertItem(existing.get(), std::move(stored));
    auto fresh = std::make_unique<FeedItem>();
    fill(*fresh, row.incoming);
    fresh->date = 100;
    fresh->flags = kParsedItemFlags;
    insertItem(incoming.get(), std::move(fresh));
    Merge(*existing, *incoming);
    EXPECT_EQ(existing->totalCount, 1);
    auto expect = [](const OptionalText& got, const char16_t* want) {
      EXPECT_EQ(Utf8(got), want ? Utf8(std::u16string(want)) : "(null)");
    };
    expect(kept->title, row.expected.title);
    expect(kept->link, row.expected.link);
    expect(kept->description, row.expected.description);
    expect(kept->content, row.expected.content);
    EXPECT_EQ(kept->modified, row.expected.modified);
    EXPECT_EQ(existing->dirty, row.dirty);
  }
}

TEST_F(ItemMerge, PostIdsAndTheServicesReadState) {
  struct Row {
    const char* name;
    const char16_t* storedPost;
    uint32_t storedFlags;
    const char16_t* incomingPost;
    uint32_t incomingService;
    const char* expectedPost;
    bool expectedRead;
    uint32_t expectedService;
  };
  const std::vector<Row> rows = {
      {"a post id arrives", nullptr, kReadStateUnread | Service(2), u"p1", 1, "p1", false, 2},
      {"a new post id replaces", u"p0", kReadStateUnread | Service(0), u"p1", 1, "p1", false, 0},
      {"same post id, the service now says read", u"p1", kReadStateUnread | Service(0), u"p1", 1,
       "p1", true, 1},
      {"same post id, the service now says unread", u"p1", kReadStateRead | Service(1), u"p1", 0,
       "p1", false, 0},
      {"same post id, same verdict", u"p1", kReadStateRead | Service(1), u"p1", 1, "p1", true, 1},
      {"no incoming post id", u"p1", kReadStateRead | Service(1), nullptr, 0, "p1", true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto existing = ChannelList();
    auto incoming = ChannelList();
    auto stored = Item(u"t", 100, row.storedFlags);
    if (row.storedPost) stored->postId = row.storedPost;
    FeedItem* kept = insertItem(existing.get(), std::move(stored));
    auto fresh = Item(u"t", 100, kReadStateUndetermined | kItemNewBit | Service(row.incomingService));
    if (row.incomingPost) fresh->postId = row.incomingPost;
    insertItem(incoming.get(), std::move(fresh));
    Merge(*existing, *incoming);
    EXPECT_EQ(Utf8(kept->postId), row.expectedPost);
    EXPECT_EQ(isRead(kept), row.expectedRead);
    EXPECT_EQ((kept->flags & kServiceReadMask) >> kServiceReadShift, row.expectedService);
    EXPECT_TRUE(CountsAreTrue(*existing));
  }
}

TEST_F(ItemMerge, UnknownItemsMoveOverByDateKeepingTheirFlags) {
  auto existing = ChannelList(kFeedRss091);
  insertItem(existing.get(), Item(u"a", 10, kReadStateRead | kItemNewBit));
  insertItem(existing.get(), Item(u"b", 5, kReadStateRead));
  auto incoming = ChannelList(kFeedAtom);
  insertItem(incoming.get(), Item(u"n", 20, kParsedItemFlags));
  // Reported read by the service: the parser clears its new bit.
  insertItem(incoming.get(), Item(u"m", 7, kReadStateUndetermined | Service(1)));
  insertItem(incoming.get(), Item(u"a", 10, kParsedItemFlags));
  Merge(*existing, *incoming);

  EXPECT_EQ(Titles(*existing), "n,a,m,b");
  EXPECT_EQ(existing->kind, kFeedAtom);
  EXPECT_TRUE(existing->dirty);
  EXPECT_TRUE(isNew(nthItem(existing.get(), 1)));
  EXPECT_FALSE(isRead(nthItem(existing.get(), 1)));
  EXPECT_FALSE(isNew(nthItem(existing.get(), 2)));  // cleared before the merge
  EXPECT_TRUE(isRead(nthItem(existing.get(), 3)));
  EXPECT_FALSE(isNew(nthItem(existing.get(), 3)));
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(nthItem(existing.get(), i)->sequence, i - 1);
  EXPECT_EQ(Titles(*incoming), "a");
  EXPECT_TRUE(CountsAreTrue(*existing));
  EXPECT_TRUE(CountsAreTrue(*incoming, /*channelFollows=*/false));
  EXPECT_EQ(channel_->state->newItems, 1);
}

TEST_F(ItemMerge, AnEmptyIncomingListChangesNothing) {
  auto existing = ChannelList(kFeedRss091);
  insertItem(existing.get(), Item(u"a", 10));
  existing->dirty = false;
  auto incoming = ChannelList(kFeedAtom);
  incoming->imageUrl = u"http://example.com/logo.gif";
  mergeInto(existing.get(), incoming.get());
  EXPECT_EQ(existing->kind, kFeedRss091);
  EXPECT_FALSE(existing->dirty);
  EXPECT_FALSE(existing->imageUrl.has_value());
}

TEST_F(ItemMerge, ChannelPictureAndIconAreQueuedWhenNotStored) {
  std::vector<std::string> queued;
  OfflineTaskHooks hooks;
  hooks.queueImage = [&](std::u16string_view url, uint32_t channelId, bool, bool) {
    EXPECT_EQ(channelId, channel_->id.load());
    queued.push_back(platform::ToUtf8(url));
    return true;
  };
  SetOfflineTaskHooks(hooks);
  const std::string logo = "http://example.com/logo.png";

  struct Row {
    const char* name;
    const char16_t* storedImage;
    bool pictureStored;
    bool faviconKnown;
    std::vector<std::string> expectedQueue;
  };
  const std::vector<Row> rows = {
      {"a first picture", nullptr, false, false, {logo}},
      {"the same picture, stored", u"/logo.png", true, false, {}},
      {"the same picture (other case), not stored", u"http://EXAMPLE.com/logo.png", false, false,
       {logo}},
      {"a known icon not stored", u"/logo.png", true, true, {"http://example.com/favicon.ico"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    queued.clear();
    auto existing = ChannelList();
    existing->link = u"http://example.com/blog";
    if (row.storedImage) existing->imageUrl = row.storedImage;
    if (row.faviconKnown) {
      ASSERT_TRUE(absoluteFaviconUrl(existing.get()).has_value());
    }
    insertItem(existing.get(), Item(u"a", 10));
    const std::u16string picturePath = LocalPathFor(channel_, platform::FromUtf8(logo), kLocalImage);
    ASSERT_FALSE(picturePath.empty());
    if (row.pictureStored) {
      PutFile(picturePath);
    } else {
      platform::DeleteFile(picturePath);
    }
    auto incoming = ChannelList();
    incoming->link = u"http://example.com/";
    incoming->imageUrl = u"/logo.png";  // relative: made absolute with the channel's host
    insertItem(incoming.get(), Item(u"a", 10, kParsedItemFlags));
    mergeInto(existing.get(), incoming.get());
    EXPECT_EQ(queued, row.expectedQueue);
    // Every row ends with the feed's picture, in its absolute form, as the stored one.
    EXPECT_EQ(Utf8(existing->imageUrl), logo);
  }
}

}  // namespace
}  // namespace nubrel
