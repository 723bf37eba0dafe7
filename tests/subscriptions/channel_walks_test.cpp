// Walks over the channel tree and what rides on them: WalkTree's flags, the cached counts, marking
// all items, the channel navigator, merging imported trees, due channels, Clippings, the refresh
// walks and saving a channel's files.
#include <map>
#include <vector>

#include "channel_tree_fixture.h"
#include "feeds/dates.h"
#include "feeds/item_list.h"

namespace nubrel {
namespace {

using testing::HostExists;

// ---- WalkTree ----

class TreeWalkTest : public testing::TreeFixture {
 protected:
  void SetUp() override {
    TreeFixture::SetUp();
    a_ = Folder(root_, u"A");
    Channel(a_, u"A1", u"http://a1/");
    Channel(a_, u"A2", u"http://a2/");
    Channel(root_, u"B", u"http://b/");
    ChannelNode* c = Folder(root_, u"C");
    Channel(c, u"C1", u"http://c1/");
  }

  struct Visits {
    int depth = -1;  // first word: where flag 128 stores the depth
    std::string log;
    std::string stopAt;
  };
  static int Record(ChannelNode* node, void* context, uint32_t flags) {
    auto* visits = static_cast<Visits*>(context);
    if (!visits->log.empty()) visits->log += " ";
    visits->log += TitleOf(node);
    if (visits->depth >= 0) visits->log += ":" + std::to_string(visits->depth);
    if (flags) visits->log += "/" + std::to_string(flags);
    return TitleOf(node) == visits->stopAt ? 0 : 1;
  }

  ChannelNode* a_ = nullptr;
};

TEST_F(TreeWalkTest, FlagsChooseWhatIsVisited) {
  struct Row {
    bool fromRoot;  // else from A, the root's first child
    uint32_t flags;
    const char* stopAt;
    const char* expected;
    int result;
  } rows[] = {
      {true, kWalkChildren | kWalkSkipStart, "", "A A1 A2 B C C1", 1},
      {false, kWalkSiblings | kWalkChildren, "", "A A1 A2 B C C1", 1},
      {false, 0, "", "A", 1},
      {false, kWalkChildren, "", "A A1 A2", 1},
      {false, kWalkSiblings, "", "A B C", 1},
      {false, kWalkSiblings | kWalkSkipStart, "", "B/64 C/64", 1},
      {true, kWalkChildren | kWalkStoreDepth, "", "My Channels:0 A:1 A1:2 A2:2 B:1 C:1 C1:2", 1},
      {true, kWalkChildren, "A2", "My Channels A A1 A2", 0},
      {true, kWalkSkipStart, "", "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.fromRoot ? "root" : "A") + " flags " + std::to_string(row.flags));
    Visits visits;
    visits.stopAt = row.stopAt;
    if (!(row.flags & kWalkStoreDepth)) visits.depth = -1;
    const int result = WalkTree(row.fromRoot ? root_ : a_, Record, row.flags, &visits);
    EXPECT_EQ(visits.log, row.expected);
    EXPECT_EQ(result, row.result);
  }
}

// ---- Counts and marking ----

class TreeCountTest : public testing::TreeFixture {
 protected:
  // A list of `items` items; the first `unread` unread, the first `fresh` new, the first
  // `enclosures` with an enclosure.
  static std::unique_ptr<ItemList> MakeList(int items, int unread, int fresh, int enclosures) {
    auto list = newList(nullptr, kFeedRss20);
    for (int i = 0; i < items; ++i) {
      auto item = std::make_unique<FeedItem>();
      item->flags = (i < unread ? kReadStateUnread : kReadStateRead) | (i < fresh ? kItemNewBit : 0);
      item->date = 1000 - static_cast<platform::FileTime>(i);  // keeps the order above
      if (i < enclosures) {
        item->enclosure = new Enclosure;
        item->enclosure->url = u"http://media/" + platform::FromUtf8(std::to_string(i)) + u".mp3";
      }
      insertItem(list.get(), std::move(item));
    }
    return list;
  }
};

TEST_F(TreeCountTest, CachedCountsAreUsedAndMissingOnesCountedAndStored) {
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* x = Channel(folder, u"X", u"http://x/");
  ChannelNode* y = Channel(root_, u"Y", u"http://y/");
  ChannelNode* unloaded = Channel(root_, u"Z", u"http://z/");
  AttachItems(x, MakeList(5, 3, 2, 2));
  AttachItems(y, MakeList(2, 1, 0, 1));
  const uint32_t everything = kWalkChildren | kWalkSkipStart;

  EXPECT_EQ(CountItems(root_, everything, kCountAll), 7);
  EXPECT_EQ(CountItems(root_, everything, kCountUnread), 4);
  EXPECT_EQ(CountItems(root_, everything, kCountNew), 2);
  EXPECT_EQ(CountItems(folder, kWalkChildren, kCountUnread), 3);

  // A cached count wins over the list: drawing must not walk item lists.
  SetCounts(x, 40, 2);
  EXPECT_EQ(CountItems(root_, everything, kCountUnread), 41);

  // Not yet counted: counted over the list, then cached (and the state to be saved).
  x->state->dirty = false;
  EXPECT_EQ(GetEnclosureCount(x), -1);
  EXPECT_EQ(CountItems(root_, everything, kCountEnclosures), 3);
  EXPECT_EQ(GetEnclosureCount(x), 2);
  EXPECT_EQ(GetEnclosureCount(y), 1);
  EXPECT_TRUE(x->state->dirty);
  x->items->first->enclosure->url.reset();  // the cache is not looked behind again
  EXPECT_EQ(CountItems(x, 0, kCountEnclosures), 2);

  // Nothing is stored on disk: no enclosure or page counts as stored.
  EXPECT_EQ(CountItems(root_, everything, kCountCachedEnclosures), 0);
  EXPECT_EQ(GetCachedEnclosures(x), 0);
  EXPECT_EQ(CountItems(root_, everything, kCountCachedWeb), 0);

  // A channel without a list and without a count adds nothing and stays uncounted.
  EXPECT_EQ(GetUnreadItems(unloaded), -1);
  EXPECT_EQ(CountItems(unloaded, 0, 99), 0);
}

TEST_F(TreeCountTest, ListsComeThroughTheLoaderHookWhenOneIsSet) {
  ChannelNode* x = Channel(root_, u"X", u"http://x/");
  ChannelNode* y = Channel(root_, u"Y", u"http://y/");
  SetCounts(y, 6, 0);
  std::vector<std::string> loaded;
  ChannelTreeHooks hooks;
  hooks.loadItems = [&](ChannelNode* node) -> ItemList* {
    loaded.push_back(TitleOf(node));
    if (!node->items) AttachItems(node, MakeList(4, 4, 0, 0));
    return node->items.get();
  };
  SetChannelTreeHooks(hooks);
  EXPECT_EQ(CountItems(root_, kWalkChildren | kWalkSkipStart, kCountUnread), 10);
  EXPECT_EQ(loaded, std::vector<std::string>{"X"});  // Y was cached; folders never load
  EXPECT_EQ(GetUnreadItems(x), 4);
}

TEST_F(TreeCountTest, MarkingAllItemsUpdatesTheCachedCounts) {
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* x = Channel(folder, u"X", u"http://x/");
  ChannelNode* y = Channel(root_, u"Y", u"http://y/");
  AttachItems(x, MakeList(3, 2, 0, 0));
  AttachItems(y, MakeList(2, 2, 0, 0));

  EXPECT_TRUE(MarkAllItems(folder, true, true));
  EXPECT_EQ(GetUnreadItems(x), 0);
  EXPECT_EQ(GetUnreadItems(y), 2);  // outside the folder
  EXPECT_FALSE(MarkAllItems(folder, true, true));
  EXPECT_FALSE(MarkAllItems(folder, false, false));  // the folder alone has no items
  EXPECT_TRUE(MarkAllItems(root_, false, true));
  EXPECT_EQ(GetUnreadItems(x), 3);
  EXPECT_EQ(CountItems(root_, kWalkChildren, kCountUnread), 5);
}

// ---- The channel navigator ----

class TreeNavigatorTest : public testing::TreeFixture {
 protected:
  // root( F1(c1, c2), c3, F2( F3(c4) ), F4(), c5 )
  void SetUp() override {
    TreeFixture::SetUp();
    ChannelNode* f1 = Folder(root_, u"F1");
    Channel(f1, u"c1", u"http://c1/");
    Channel(f1, u"c2", u"http://c2/");
    Channel(root_, u"c3", u"http://c3/");
    ChannelNode* f2 = Folder(root_, u"F2");
    ChannelNode* f3 = Folder(f2, u"F3");
    Channel(f3, u"c4", u"http://c4/");
    Folder(root_, u"F4");
    Channel(root_, u"c5", u"http://c5/");
    for (ChannelNode* node = root_; node; node = NextNode(node)) byTitle_[TitleOf(node)] = node;
    for (const char* channel : {"c1", "c2", "c3", "c4", "c5"}) SetCounts(byTitle_[channel], 0, 0);
  }
  static ChannelNode* NextNode(ChannelNode* node) {  // plain pre-order, for indexing
    if (node->firstChild) return node->firstChild;
    while (node && !node->next) node = node->parent;
    return node ? node->next : nullptr;
  }
  std::map<std::string, ChannelNode*> byTitle_;
};

TEST_F(TreeNavigatorTest, NextAndPreviousChannel) {
  struct Row {
    const char* from;
    const char* next;
    const char* previous;
  } rows[] = {
      {"My Channels", "c1", "c5"},  // a folder with children is entered from its last child
      {"F1", "c1", "c2"},
      {"c1", "c2", "(none)"},
      {"c2", "c3", "c1"},
      {"c3", "c4", "c2"},
      {"F2", "c4", "c4"},
      {"c4", "c5", "c3"},
      {"F4", "c5", "c4"},
      {"c5", "(none)", "c4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.from);
    EXPECT_EQ(TitleOf(NextChannel(byTitle_[row.from], false)), row.next);
    EXPECT_EQ(TitleOf(PreviousChannel(byTitle_[row.from], false)), row.previous);
  }
}

TEST_F(TreeNavigatorTest, UnreadOnlyStopsAtChannelsWithUnreadItems) {
  SetCounts(byTitle_["c2"], 3, 0);
  SetCounts(byTitle_["c5"], 1, 0);
  EXPECT_EQ(TitleOf(NextChannel(root_, true)), "c2");
  EXPECT_EQ(TitleOf(NextChannel(byTitle_["c2"], true)), "c5");
  EXPECT_EQ(TitleOf(NextChannel(byTitle_["c5"], true)), "(none)");
  EXPECT_EQ(TitleOf(PreviousChannel(byTitle_["c5"], true)), "c2");
  EXPECT_EQ(TitleOf(PreviousChannel(byTitle_["c2"], true)), "(none)");
}

// ---- Matching and merging ----

class TreeMergeTest : public testing::TreeFixture {};

TEST_F(TreeMergeTest, MatchingByAddressOrByTitleForFolders) {
  ChannelNode* folder = Folder(root_, u"News");
  ChannelNode* channel = Channel(folder, u"Feed", u"http://Example.com/RSS");
  ChannelNode* other = CreateRootNode();
  struct Row {
    std::optional<std::u16string> title;
    std::optional<std::u16string> url;
    ChannelNode* expected;
  } rows[] = {
      {u"Anything", u"http://example.com/rss", channel},
      {u"Feed", u"http://example.com/other", nullptr},
      {u"NEWS", std::nullopt, folder},
      {u"NEWS", u"", folder},
      {u"Feed", std::nullopt, nullptr},  // a channel never matches by title
      {std::nullopt, std::nullopt, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.title.value_or(u"(none)")));
    other->title = row.title;
    other->xmlUrl = row.url;
    EXPECT_EQ(FindMatchingNode(root_, other), row.expected);
  }
  FreeTree(other);
}

TEST_F(TreeMergeTest, ImportAddsNewSubscriptionsUpdatesKnownOnesAndSkipsOtherTypes) {
  ChannelNode* known = Channel(root_, u"Old title", u"http://known/");
  known->description = u"old";

  ChannelNode* imported = CreateRootNode();
  ChannelNode* same = Channel(imported, u"New title", u"HTTP://KNOWN/");
  same->description = u"new";
  ChannelNode* link = Channel(imported, u"A link", u"http://link/");
  link->type = u"link";
  Channel(link, u"Below a link", u"http://below/");
  ChannelNode* folder = Folder(imported, u"Folder");
  ChannelNode* s3 = Channel(folder, u"S3", u"http://s3/");
  s3->userName = u"user";
  s3->password = u"pw";
  s3->syncService = 1;
  s3->syncId = 77;
  ChannelNode* s4 = Channel(folder, u"S4", u"http://s4/");
  s4->type = u"RSS";

  const MergeCounts first = MergeImportedTree(root_, imported);
  EXPECT_EQ(first.added, 3);
  EXPECT_EQ(first.updated, 1);
  EXPECT_EQ(Shape(root_), "New title,Folder(S3,S4)");
  EXPECT_EQ(known->description, u"new");
  ChannelNode* added = root_->firstChild->next->firstChild;
  EXPECT_EQ(added->userName, u"user");
  EXPECT_EQ(added->password, u"pw");
  EXPECT_EQ(added->syncService, 1u);
  EXPECT_EQ(added->syncId, 77u);
  EXPECT_EQ(added->type, std::nullopt);  // a new node is an "rss" node

  // Everything is known now: the folder by its title, the channels by their addresses.
  const MergeCounts again = MergeImportedTree(root_, imported);
  EXPECT_EQ(again.added, 0);
  EXPECT_EQ(again.updated, 4);
  EXPECT_EQ(Shape(root_), "New title,Folder(S3,S4)");
  FreeTree(imported);
}

TEST_F(TreeMergeTest, CopyingPropertiesAndSettingCredentials) {
  ChannelNode* source = CreateRootNode();
  source->title = u"T";
  source->description = u"D";
  source->xmlUrl = u"http://x/";
  source->htmlUrl = u"http://site/";
  source->userName = u"u";
  source->syncService = 1;
  source->syncId = 5;
  ChannelNode* target = Channel(root_, u"old", u"http://old/");
  target->password = u"old password";
  CopyNodeProperties(target, source);
  EXPECT_EQ(target->title, u"T");
  EXPECT_EQ(target->description, u"D");
  EXPECT_EQ(target->htmlUrl, u"http://site/");
  EXPECT_EQ(target->userName, u"u");
  EXPECT_EQ(target->password, std::nullopt);
  EXPECT_EQ(target->syncId, 5u);
  EXPECT_EQ(FindNodeById(ComputeChannelId(source->title, source->xmlUrl)), target);
  FreeTree(source);

  ChannelNode* before = Channel(root_, u"before", u"http://b/");
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* inner = Channel(folder, u"inner", u"http://i/");
  ChannelNode* after = Channel(root_, u"after", u"http://a/");
  SetCredentials(folder, std::nullopt, std::nullopt);
  EXPECT_EQ(inner->userName, std::nullopt);
  SetCredentials(folder, u"name", u"secret");
  for (ChannelNode* node : {folder, inner, after}) {
    SCOPED_TRACE(TitleOf(node));
    EXPECT_EQ(node->userName, u"name");
    EXPECT_EQ(node->password, u"secret");
  }
  EXPECT_EQ(before->userName, std::nullopt);
}

// ---- Due channels, Clippings, refresh walks ----

class TreeUpdateTest : public testing::TreeFixture {};

TEST_F(TreeUpdateTest, DueWhenTheIntervalHasPassedWithHalfAMinuteOfSlack) {
  platform::SystemTime pinned{2024, 5, 0, 10, 18, 28, 26, 0};
  platform::FileTime now = 0;
  ASSERT_EQ(platform::SystemTimeToFileTime(pinned, now), 0u);
  platform::PinClock(now);
  constexpr platform::FileTime kSecond = 10000000;
  auto ago = [&](int minutes, int seconds) {
    return formatIsoDate(now - (static_cast<platform::FileTime>(minutes) * 60 + seconds) * kSecond);
  };
  struct Row {
    const char* name;
    int32_t interval;
    std::optional<std::u16string> lastSuccess;
    const char16_t* feedPeriod;  // an item list in memory with this syn:updatePeriod
    bool due;
  } rows[] = {
      {"29:31 of 30", 30, ago(29, 31), nullptr, true},
      {"29:29 of 30", 30, ago(29, 29), nullptr, false},
      {"never by interval", 0, ago(10000, 0), nullptr, false},
      {"default 60, 59:30", -1, ago(59, 30), nullptr, true},
      {"default 60, 59:29", -1, ago(59, 29), nullptr, false},
      {"feed hourly / 2, 29:31", -1, ago(29, 31), u"hourly", true},
      {"own interval beats the feed", 120, ago(61, 0), u"hourly", false},
      {"never succeeded", 60, std::nullopt, nullptr, true},
      {"unreadable date", 60, u"yesterday", nullptr, false},
      {"in the future", 60, ago(-90, 0), nullptr, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ChannelNode* node = Channel(root_, u"Due", u"http://due/");
    node->state->updateInterval = row.interval;
    node->state->lastSuccess = row.lastSuccess;
    if (row.feedPeriod) {
      auto list = newList(node, kFeedRdf);
      list->updatePeriod = std::u16string(row.feedPeriod);
      list->updateFrequency = u"2";
      node->items = std::move(list);
    }
    EXPECT_EQ(IsUpdateDue(node), row.due);
    DeleteNode(node);
  }
  EXPECT_FALSE(IsUpdateDue(root_));  // no state
}

TEST_F(TreeUpdateTest, ClippingsIsMadeOnceAtTheTopAndNeverRefreshed) {
  ChannelNode* news = Channel(root_, u"News", u"http://news/");
  ChannelNode* clippings = GetClippings(root_);
  ASSERT_NE(clippings, nullptr);
  EXPECT_EQ(GetClippings(root_), clippings);
  EXPECT_EQ(Shape(root_), "Clippings,News");
  EXPECT_TRUE(IsClippings(clippings));
  EXPECT_FALSE(IsClippings(news));
  EXPECT_EQ(clippings->xmlUrl, u"bogus");
  // Only the exact title makes the channel.
  SetNodeText(clippings, kNodeTitle, u"clippings");
  EXPECT_FALSE(IsClippings(clippings));
  EXPECT_NE(GetClippings(root_), clippings);
  EXPECT_EQ(Shape(root_), "Clippings,clippings,News");
}

TEST_F(TreeUpdateTest, RefreshWalksQueueChannelsThenTheMarker) {
  ChannelNode* clippings = GetClippings(root_);
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* a = Channel(folder, u"A", u"http://a/");
  ChannelNode* inner = Folder(folder, u"Inner");
  ChannelNode* b = Channel(inner, u"B", u"http://b/");
  ChannelNode* outside = Channel(root_, u"Outside", u"http://o/");
  std::vector<std::string> queued;
  ChannelTreeHooks hooks;
  hooks.queueRefresh = [&](uint32_t id, platform::WindowHandle window, bool force) {
    queued.push_back(TitleOf(FindNodeById(id)) + (force ? "!" : "") + "@" + std::to_string(window));
  };
  hooks.queueNotifyMarker = [&](uint32_t id) { queued.push_back("marker " + TitleOf(FindNodeById(id))); };
  SetChannelTreeHooks(hooks);

  QueueFolderRefresh(folder, 8);
  EXPECT_EQ(queued, (std::vector<std::string>{"A@8", "B@8", "marker F"}));
  queued.clear();
  QueueChannelRefresh(outside, 8, true);
  QueueChannelRefresh(clippings, 8, true);
  QueueChannelRefresh(folder, 8, true);
  EXPECT_EQ(queued, (std::vector<std::string>{"Outside!@8", "marker Outside"}));
  queued.clear();
  QueueFolderRefresh(root_, 4);
  EXPECT_EQ(queued, (std::vector<std::string>{"A@4", "B@4", "Outside@4", "marker My Channels"}));
  (void)a;
  (void)b;
}

// ---- Saving ----

class TreeSaveTest : public testing::TreeFixture {};

TEST_F(TreeSaveTest, SavingWritesTheDirtyStateAndTheItemFile) {
  ChannelNode* folder = Folder(root_, u"F");
  ChannelNode* changed = Channel(folder, u"Changed", u"http://changed/");
  ChannelNode* quiet = Channel(root_, u"Quiet", u"http://quiet/");
  ChannelNode* loaded = Channel(root_, u"Loaded", u"http://loaded/");
  SetUpdateInterval(changed, 120, false);
  AttachItems(loaded, newList(nullptr, kFeedRss20));
  loaded->items->dirty = true;

  EXPECT_EQ(SaveAllChannels(root_), 0);
  EXPECT_TRUE(HostExists(Host(StateFilePath(changed))));
  EXPECT_FALSE(HostExists(Host(StateFilePath(quiet))));
  EXPECT_FALSE(HostExists(Host(ItemFilePath(quiet))));
  EXPECT_TRUE(HostExists(Host(StateFilePath(loaded))));
  EXPECT_TRUE(HostExists(Host(ItemFilePath(loaded))));
  EXPECT_FALSE(changed->state->dirty);

  // A list given to SaveChannel is written in place of the node's own.
  auto other = newList(quiet, kFeedRss20);
  other->dirty = true;
  EXPECT_EQ(SaveChannel(quiet, other.get()), 0);
  EXPECT_TRUE(HostExists(Host(ItemFilePath(quiet))));
}

}  // namespace
}  // namespace nubrel
