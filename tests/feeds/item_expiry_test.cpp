// Expiry by count and by days, and the files that go with removed (and deleted) items.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/item_list.h"
#include "feeds/item_test_support.h"
#include "offline/local_files.h"
#include "shared/text.h"

namespace nubrel {
namespace {

using testing::At;
using testing::ChannelTest;
using testing::CountsAreTrue;
using testing::Item;
using testing::kDay;
using testing::kHour;
using testing::Titles;

const platform::FileTime kNow = At(2024, 5, 15, 12);  // a Wednesday, noon UTC

class ItemExpiry : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    platform::PinClock(kNow);
  }
};

struct Stored {
  std::u16string title;
  platform::FileTime date;
  bool read;
  bool locked = false;
};

TEST_F(ItemExpiry, KeepsWhatTheLimitsAllow) {
  // Twenty items an hour apart, read and unread in turn, the 18th locked.
  std::vector<Stored> twenty;
  std::string firstFifteen, firstFifteenAndLocked;
  for (int i = 1; i <= 20; ++i) {
    const std::u16string name = u"i" + FormatDecimal(i);
    twenty.push_back({name, kNow - i * kHour, i % 2 == 0, i == 18});
    const std::string utf8 = platform::ToUtf8(name);
    if (i <= 15) firstFifteen += (firstFifteen.empty() ? "" : ",") + utf8;
  }
  firstFifteenAndLocked = firstFifteen + ",i18";

  const std::vector<Stored> mixed = {
      {u"old unread", At(2024, 5, 7), false},  // the newest, yet before the 7-day cut-off
      {u"read a", At(2024, 5, 6), true},
      {u"read b", At(2024, 5, 1), true},
  };
  const std::vector<Stored> window = {
      {u"in window", At(2024, 5, 9), false},  // the cut-off itself: 9 May 00:00 is kept
      {u"out of window", At(2024, 5, 8, 23, 59), false},
  };
  struct Row {
    const char* name;
    std::vector<Stored> items;
    const char16_t* unreadLimit;
    const char16_t* readLimit;
    std::string kept;
    bool removed;
  };
  const std::vector<Row> rows = {
      {"15 items of both states keep the 15 newest and the locked", twenty, u"15i", u"15i",
       firstFifteenAndLocked, true},
      {"a read limit of 0 items expires nothing", twenty, u"1i", u"0i",
       "i1,i2,i3,i4,i5,i6,i7,i8,i9,i10,i11,i12,i13,i14,i15,i16,i17,i18,i19,i20", false},
      {"an unread limit of -1 expires nothing", twenty, u"-1i", u"5i",
       "i1,i2,i3,i4,i5,i6,i7,i8,i9,i10,i11,i12,i13,i14,i15,i16,i17,i18,i19,i20", false},
      {"an empty limit expires nothing", mixed, u"", u"1i", "old unread,read a,read b", false},
      {"7 days unread, 15 items read: an old unread item goes though it stands first", mixed,
       u"7d", u"15i", "read a,read b", true},
      {"the 7 days start at midnight six days back", window, u"7d", u"15i", "in window", true},
      {"1 day keeps only today's", mixed, u"1d", u"1d", "", true},
      {"a read count counts every kept item, unread ones too", mixed, u"30d", u"2i",
       "old unread,read a", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = ChannelList();
    for (const Stored& s : row.items) {
      uint32_t flags = s.read ? kReadStateRead : kReadStateUnread;
      if (s.locked) flags |= kItemLockedBit;
      insertItem(list.get(), Item(s.title, s.date, flags | kItemNewBit));
    }
    list->dirty = false;
    EXPECT_EQ(expire(list.get(), row.unreadLimit, row.readLimit), row.removed);
    EXPECT_EQ(Titles(*list), row.kept);
    EXPECT_EQ(list->dirty, row.removed);
    EXPECT_TRUE(CountsAreTrue(*list));
  }
}

// The files of a removed item go with it, whether expiry or the user removes it; the files of
// the items that stay, and the channel's own files, stay.
TEST_F(ItemExpiry, RemovedItemsTakeTheirEnclosureAndPicturesAlong) {
  struct Row {
    const char* name;
    std::function<void(ItemList&, FeedItem* victim)> remove;
  };
  const std::vector<Row> rows = {
      {"expire", [](ItemList& list, FeedItem*) { EXPECT_TRUE(expire(&list, u"1i", u"1i")); }},
      {"deleteItem", [](ItemList&, FeedItem* victim) { deleteItem(victim); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto list = ChannelList();
    auto keptItem = Item(u"kept", kNow);
    keptItem->link = u"http://example.com/posts/2.html";
    keptItem->description = u"<img src=\"/img/kept.png\">";
    keptItem->enclosure = new Enclosure{kEnclosureRetrieved, {}, u"http://media/kept.mp3", 1, {}};
    insertItem(list.get(), std::move(keptItem));

    auto oldItem = Item(u"old", kNow - 2 * kDay);
    oldItem->link = u"http://example.com/posts/1.html";
    oldItem->content =
        u"<p>Look <IMG alt=x SRC='/img/a.png'> and <img src=\"pics/b.gif?x=1&amp;y=2\"></p>"
        u"<img src=\"http://other.example/c.jpg\">";
    oldItem->description = u"<img src=\"/img/only-in-description.png\">";  // not the body
    oldItem->enclosure = new Enclosure{kEnclosureRetrieved, {}, u"http://media/old.mp3", 1, {}};
    FeedItem* victim = insertItem(list.get(), std::move(oldItem));

    auto image = [&](const char16_t* url) { return LocalPathFor(channel_, url, kLocalImage); };
    const std::vector<std::u16string> gone = {
        LocalPathFor(channel_, u"http://media/old.mp3", kLocalPodcast),
        image(u"http://example.com/img/a.png"),
        image(u"http://example.com/posts/pics/b.gif?x=1&y=2"),
        image(u"http://other.example/c.jpg"),
    };
    const std::vector<std::u16string> staying = {
        LocalPathFor(channel_, u"http://media/kept.mp3", kLocalPodcast),
        image(u"http://example.com/img/kept.png"),
        image(u"http://example.com/img/only-in-description.png"),
        ItemFilePath(channel_),
    };
    for (const auto& path : gone) PutFile(path);
    for (const auto& path : staying) PutFile(path);

    row.remove(*list, victim);
    EXPECT_EQ(Titles(*list), "kept");
    for (const auto& path : gone) EXPECT_FALSE(Exists(path)) << platform::ToUtf8(path);
    for (const auto& path : staying) EXPECT_TRUE(Exists(path)) << platform::ToUtf8(path);
    EXPECT_EQ(getEnclosureState(list->first), kEnclosureRetrieved);
    EXPECT_TRUE(CountsAreTrue(*list));
  }
}

}  // namespace
}  // namespace nubrel
