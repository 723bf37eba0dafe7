// Items and lists: the counters kept true through every operation, insertion by date, item
// identity and keys, the flag setters, and copies.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/item_list.h"
#include "feeds/item_test_support.h"
#include "shared/text.h"

namespace nubrel {
namespace {

using testing::At;
using testing::ChannelTest;
using testing::CountsAreTrue;
using testing::Item;
using testing::kDay;
using testing::Titles;

const platform::FileTime kBase = At(2024, 5, 15, 12);

// ---- Counters ----

class ItemListCounters : public ChannelTest {};

// Operation sequences over a list of the channel; after every step the four counters must equal
// a recount and the channel must show the list's unread and new counts.
TEST_F(ItemListCounters, StayTrueAfterEveryOperation) {
  using Step = std::function<void(ItemList&)>;
  auto insert = [](const char16_t* title, int days, uint32_t flags) -> Step {
    return [=](ItemList& list) { insertItem(&list, Item(title, kBase - days * kDay, flags)); };
  };
  auto on = [](int n, std::function<void(FeedItem*)> act) -> Step {
    return [=](ItemList& list) { act(nthItem(&list, n)); };
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
  };
  const uint32_t undetermined = kReadStateUndetermined | kItemNewBit | (2u << kServiceReadShift);
  const std::vector<Row> rows = {
      {"flags of inserted items",
       {insert(u"a", 1, kParsedItemFlags), insert(u"b", 2, kReadStateRead | kItemLockedBit),
        insert(u"c", 0, kItemNewBit)}},
      {"read, unread and undetermined",
       {insert(u"a", 1, undetermined), insert(u"b", 2, kReadStateRead),
        on(1, [](FeedItem* i) { setRead(i, true); }), on(1, [](FeedItem* i) { setRead(i, false); }),
        on(2, [](FeedItem* i) { setRead(i, false); }), on(2, [](FeedItem* i) { setRead(i, false); })}},
      {"new and locked toggled twice",
       {insert(u"a", 1, 0), on(1, [](FeedItem* i) { setNew(i, true); }),
        on(1, [](FeedItem* i) { setNew(i, true); }), on(1, [](FeedItem* i) { setLocked(i, true); }),
        on(1, [](FeedItem* i) { setLocked(i, true); }),
        on(1, [](FeedItem* i) { setNew(i, false); }),
        on(1, [](FeedItem* i) { setLocked(i, false); })}},
      {"unlink and delete",
       {insert(u"a", 1, kItemNewBit | kItemLockedBit), insert(u"b", 2, kReadStateRead),
        insert(u"c", 3, 0), [](ItemList& l) { unlinkItem(nthItem(&l, 2)); },
        [](ItemList& l) { deleteItem(nthItem(&l, 1)); },
        [](ItemList& l) { deleteItem(nthItem(&l, 1)); }}},
      {"mark all and resolve",
       {insert(u"a", 1, undetermined), insert(u"b", 2, kReadStateRead | kItemNewBit),
        [](ItemList& l) { markAll(&l, true); }, [](ItemList& l) { markAll(&l, false); },
        [](ItemList& l) { finalizeStates(&l, false); },
        [](ItemList& l) { finalizeStates(&l, true); }}},
      {"merge and expire",
       {insert(u"a", 1, kReadStateRead), insert(u"b", 2, 0),
        [](ItemList& l) {
          auto incoming = newList(l.channel, kFeedRss20);
          insertItem(incoming.get(), Item(u"b", kBase - 2 * kDay, kParsedItemFlags));
          insertItem(incoming.get(), Item(u"n", kBase, kParsedItemFlags));
          finalizeStates(incoming.get(), false);
          finalizeStates(&l, true);
          mergeInto(&l, incoming.get());
          EXPECT_TRUE(CountsAreTrue(*incoming, /*channelFollows=*/false));
        },
        [](ItemList& l) { expire(&l, u"1i", u"1i"); }}},
      {"copies inserted",
       {insert(u"a", 1, kItemNewBit | kItemLockedBit),
        [](ItemList& l) { insertItem(&l, copyItem(l.first)); },
        on(2, [](FeedItem* i) { setRead(i, true); })}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = ChannelList();
    for (size_t i = 0; i < row.steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i + 1));
      row.steps[i](*list);
      ASSERT_TRUE(CountsAreTrue(*list));
    }
  }
}

TEST_F(ItemListCounters, ChangesMarkTheListDirtyAndNoChangeDoesNot) {
  auto list = ChannelList();
  FeedItem* item = insertItem(list.get(), Item(u"a", kBase, kReadStateRead));
  ASSERT_NE(item, nullptr);
  struct Row {
    const char* name;
    std::function<void()> act;
    bool dirties;
  };
  const std::vector<Row> rows = {
      {"read again", [&] { setRead(item, true); }, false},
      {"unread", [&] { setRead(item, false); }, true},
      {"new", [&] { setNew(item, true); }, true},
      {"new again", [&] { setNew(item, true); }, false},
      {"locked", [&] { setLocked(item, true); }, true},
      {"service unread again", [&] { setServiceRead(item, false); }, false},
      {"service read", [&] { setServiceRead(item, true); }, true},
      {"enclosure state without enclosure", [&] { setEnclosureState(item, 2); }, false},
      {"mark all unread when all are", [&] { markAll(list.get(), false); }, false},
      {"resolve with nothing to resolve", [&] { finalizeStates(list.get(), false); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    list->dirty = false;
    row.act();
    EXPECT_EQ(list->dirty, row.dirties);
  }
}

// ---- Flags ----

TEST(ItemListFlags, SettersReturnThePreviousValue) {
  auto list = newList(nullptr, kFeedRss20);
  FeedItem* item = insertItem(list.get(), Item(u"a", kBase, kReadStateUndetermined));
  EXPECT_FALSE(setRead(item, true));  // undetermined was not "read"
  EXPECT_TRUE(setRead(item, false));
  EXPECT_FALSE(setNew(item, true));
  EXPECT_EQ(list->newCount, 1);
  EXPECT_TRUE(setNew(item, false));
  EXPECT_EQ(list->newCount, 0);
  EXPECT_FALSE(setLocked(item, true));
  EXPECT_TRUE(setLocked(item, true));
  EXPECT_FALSE(setServiceRead(item, true));
  EXPECT_EQ((item->flags & kServiceReadMask) >> kServiceReadShift, 1u);
  EXPECT_TRUE(serviceRead(item));
}

TEST(ItemListFlags, EnclosureStatesAreStoredOnlyWhenValid) {
  auto item = Item(u"a", kBase);
  EXPECT_EQ(setEnclosureState(item.get(), kEnclosureRetrieved), kEnclosureNotRetrieved);
  EXPECT_EQ(getEnclosureState(item.get()), kEnclosureNotRetrieved);
  EXPECT_EQ(enclosureLength(item.get()), -1);
  item->enclosure = new Enclosure;
  item->enclosure->type = u"audio/mpeg";
  EXPECT_FALSE(hasEnclosure(item.get()));  // no URL yet
  item->enclosure->url = u"http://example.com/a.mp3";
  EXPECT_TRUE(hasEnclosure(item.get()));
  EXPECT_EQ(setEnclosureState(item.get(), kEnclosurePending), kEnclosureNotRetrieved);
  EXPECT_EQ(setEnclosureState(item.get(), 9), kEnclosurePending);
  EXPECT_EQ(getEnclosureState(item.get()), kEnclosurePending);
  setEnclosureStateText(item.get(), std::u16string_view(u"failed \"here\""));
  EXPECT_EQ(testing::Utf8(item->enclosure->stateText), "failed \"here\"");
  EXPECT_EQ(testing::Utf8(enclosureMajorType(item.get())), "audio");
}

TEST(ItemListFlags, NullItemsAndListsAreHarmless) {
  EXPECT_FALSE(setRead(nullptr, true));
  EXPECT_FALSE(isNew(nullptr));
  EXPECT_EQ(title(nullptr), nullptr);
  EXPECT_EQ(linkOrGuid(nullptr), nullptr);
  EXPECT_EQ(itemKey(nullptr), 0u);
  EXPECT_EQ(insertItem(nullptr, Item(u"a", 1)), nullptr);
  EXPECT_EQ(unlinkItem(nullptr), nullptr);
  EXPECT_FALSE(markAll(nullptr, true));
  EXPECT_FALSE(expire(nullptr, u"1i", u"1i"));
  EXPECT_EQ(nthItem(nullptr, 1), nullptr);
  EXPECT_EQ(forEachItem(nullptr, nullptr, nullptr), 1);
  mergeInto(nullptr, nullptr);
  finalizeStates(nullptr, true);
  deleteItem(nullptr);
}

// ---- Insertion ----

TEST(ItemListInsertion, NewestFirstWithEqualDatesAfterAndZeroDatesLast) {
  struct Row {
    const char* name;
    std::vector<std::pair<const char16_t*, platform::FileTime>> inserted;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"newest first arrives in order", {{u"c", 30}, {u"b", 20}, {u"a", 10}}, "c,b,a"},
      {"oldest first is reversed", {{u"a", 10}, {u"b", 20}, {u"c", 30}}, "c,b,a"},
      {"an equal date goes after", {{u"x", 20}, {u"y", 20}, {u"z", 20}}, "x,y,z"},
      {"equal dates after, before older", {{u"old", 10}, {u"x", 20}, {u"y", 20}}, "x,y,old"},
      {"zero dates to the end", {{u"z1", 0}, {u"a", 10}, {u"z2", 0}, {u"b", 20}}, "b,a,z1,z2"},
      {"a newer one in the middle", {{u"c", 30}, {u"a", 10}, {u"b", 20}, {u"d", 5}}, "c,b,a,d"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = newList(nullptr, kFeedRss20);
    for (const auto& [name, date] : row.inserted) insertItem(list.get(), Item(name, date));
    EXPECT_EQ(Titles(*list), row.expected);
    EXPECT_TRUE(CountsAreTrue(*list));
  }
}

// Removing the items at the end, then appending again, must append after the new last item,
// not after the one that was removed.
TEST(ItemListInsertion, AppendsAfterTheTailLeftByUnlinking) {
  auto list = newList(nullptr, kFeedRss20);
  for (int i = 5; i >= 1; --i) {
    insertItem(list.get(), Item(std::u16string(1, static_cast<char16_t>(u'a' + 5 - i)), i * 10));
  }
  ASSERT_EQ(Titles(*list), "a,b,c,d,e");
  unlinkItem(nthItem(list.get(), 5));
  unlinkItem(nthItem(list.get(), 4));
  insertItem(list.get(), Item(u"f", 1));
  insertItem(list.get(), Item(u"g", 25));
  insertItem(list.get(), Item(u"h", 1));
  EXPECT_EQ(Titles(*list), "a,b,c,g,f,h");
  EXPECT_TRUE(CountsAreTrue(*list));
  while (list->first) unlinkItem(list->first);
  insertItem(list.get(), Item(u"i", 7));
  insertItem(list.get(), Item(u"j", 3));
  EXPECT_EQ(Titles(*list), "i,j");
}

TEST(ItemListInsertion, AnItemStillInAListIsRefused) {
  auto a = newList(nullptr, kFeedRss20);
  auto b = newList(nullptr, kFeedRss20);
  FeedItem* item = insertItem(a.get(), Item(u"x", 5));
  EXPECT_EQ(insertItem(b.get(), std::unique_ptr<FeedItem>(item)), nullptr);
  EXPECT_EQ(Titles(*a), "x");
  EXPECT_EQ(b->totalCount, 0);
}

// ---- Identity ----

TEST(ItemListIdentity, SameItemRules) {
  struct Side {
    const char16_t* guid;
    const char16_t* link;
    const char16_t* title;
    platform::FileTime date;
  };
  struct Row {
    const char* name;
    Side existing, incoming;
    bool same;
  };
  const std::vector<Row> rows = {
      {"equal guids, all else differs", {u"g", u"l1", u"t1", 1}, {u"g", u"l2", u"t2", 2}, true},
      {"guids differ in case", {u"g", u"l", u"t", 1}, {u"G", u"l", u"t", 1}, false},
      {"nothing at all", {nullptr, nullptr, nullptr, 0}, {nullptr, nullptr, nullptr, 5}, true},
      {"links differ", {nullptr, u"a", u"t", 0}, {nullptr, u"b", u"t", 0}, false},
      {"one link only", {nullptr, u"a", u"t", 0}, {nullptr, nullptr, u"t", 0}, false},
      {"titles differ", {nullptr, u"a", u"t", 0}, {nullptr, u"a", u"u", 0}, false},
      {"one title only", {nullptr, u"a", nullptr, 0}, {nullptr, u"a", u"t", 0}, false},
      {"guid on one side, a zero date", {nullptr, u"a", u"t", 0}, {u"g", u"a", u"t", 9}, true},
      {"guid on one side, equal dates", {u"g", u"a", u"t", 9}, {nullptr, u"a", u"t", 9}, true},
      {"guid on one side, dates differ", {nullptr, u"a", u"t", 8}, {u"g", u"a", u"t", 9}, false},
      {"no guids, same link and title", {nullptr, u"a", u"t", 8}, {nullptr, u"a", u"t", 9}, true},
  };
  auto make = [](const Side& side) {
    auto item = std::make_unique<FeedItem>();
    if (side.guid) item->guid = side.guid;
    if (side.link) item->link = side.link;
    if (side.title) item->title = side.title;
    item->date = side.date;
    return item;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(sameItem(make(row.existing).get(), make(row.incoming).get()), row.same);
  }
}

TEST(ItemListIdentity, KeyIsTheCrcOfGuidElseTitle) {
  auto withGuid = Item(u"Title", 1);
  withGuid->guid = u"urn:x:\u00e9";
  auto titleOnly = Item(u"Title \u20ac", 1);
  auto neither = std::make_unique<FeedItem>();
  EXPECT_EQ(itemKey(withGuid.get()), testing::BitwiseCrcOfText(u"urn:x:\u00e9"));
  EXPECT_EQ(itemKey(titleOnly.get()), testing::BitwiseCrcOfText(u"Title \u20ac"));
  EXPECT_EQ(itemKey(neither.get()), 0u);

  auto list = newList(nullptr, kFeedRss20);
  insertItem(list.get(), Item(u"first", 3));
  FeedItem* second = insertItem(list.get(), std::move(titleOnly));
  EXPECT_EQ(findByKey(list.get(), itemKey(second)), second);
  EXPECT_EQ(findByKey(list.get(), 12345), nullptr);
}

// ---- Walks and copies ----

TEST(ItemListWalks, NthAndForEach) {
  auto list = newList(nullptr, kFeedRss20);
  for (int i = 1; i <= 4; ++i) insertItem(list.get(), Item(std::u16string(1, u'0' + i), 10 - i));
  EXPECT_EQ(testing::Utf8(nthItem(list.get(), 1)->title), "1");
  EXPECT_EQ(testing::Utf8(nthItem(list.get(), 4)->title), "4");
  EXPECT_EQ(nthItem(list.get(), 5), nullptr);
  EXPECT_EQ(nthItem(list.get(), 0), nullptr);

  struct Seen {
    std::string titles;
    int stopAfter;
  } seen{"", 3};
  const int result = forEachItem(
      list.get(),
      [](FeedItem* item, void* context) {
        auto& s = *static_cast<Seen*>(context);
        s.titles += testing::Utf8(item->title);
        return --s.stopAfter > 0 ? 7 : 0;
      },
      &seen);
  EXPECT_EQ(seen.titles, "123");
  EXPECT_EQ(result, 0);
  auto empty = newList(nullptr, kFeedRss20);
  EXPECT_EQ(forEachItem(empty.get(), [](FeedItem*, void*) { return 0; }, nullptr), 1);
}

TEST(ItemListWalks, CopyIsDeepAndDetached) {
  auto list = newList(nullptr, kFeedRss20);
  auto original = Item(u"t", 42, kReadStateRead | kItemLockedBit);
  original->link = u"http://l";
  original->guid = u"g";
  original->content = u"c";
  original->postId = u"p";
  original->modified = 43;
  original->sequence = 7;
  original->enclosure = new Enclosure{kEnclosureError, u"why", u"http://e", 99, u"audio/x"};
  FeedItem* stored = insertItem(list.get(), std::move(original));
  auto copy = copyItem(stored);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->list, nullptr);
  EXPECT_EQ(copy->next, nullptr);
  EXPECT_EQ(copy->flags, stored->flags);
  EXPECT_EQ(copy->sequence, 7);
  EXPECT_EQ(copy->modified, 43u);
  EXPECT_EQ(testing::Utf8(copy->postId), "p");
  ASSERT_NE(copy->enclosure, nullptr);
  EXPECT_NE(copy->enclosure, stored->enclosure);
  EXPECT_EQ(copy->enclosure->length, 99);
  EXPECT_EQ(testing::Utf8(copy->enclosure->stateText), "why");
  stored->enclosure->url = u"changed";
  EXPECT_EQ(testing::Utf8(copy->enclosure->url), "http://e");
}

}  // namespace
}  // namespace nubrel
