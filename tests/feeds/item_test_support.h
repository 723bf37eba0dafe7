// Shared by the item and offline-file tests: a throw-away device with one channel in a fresh
// tree, item builders, an independent recount of a list's counters (invariants 1 and 2 of
// feeds/item_list.h) and host-side file helpers for the channel's folders.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"
#include "feeds/item_list.h"
#include "offline/local_files.h"
#include "platform/device_time.h"
#include "platform/files.h"
#include "platform/utf.h"
#include "shared/temp_device.h"
#include "subscriptions/channel_ids.h"
#include "subscriptions/channel_tree.h"

namespace nubrel::testing {

// The CRC-32 register run bit by bit over UTF-16LE bytes (no table), standard start and final
// complement: an independent statement of the checksum item keys and file names use.
inline uint32_t BitwiseCrcOfText(std::u16string_view text) {
  uint32_t reg = 0xFFFFFFFFu;
  for (char16_t unit : text) {
    for (uint8_t byte : {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)}) {
      reg ^= byte;
      for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    }
  }
  return ~reg;
}

// A UTC file time from calendar fields.
inline platform::FileTime At(int year, int month, int day, int hour = 0, int minute = 0) {
  platform::SystemTime st;
  st.year = static_cast<uint16_t>(year);
  st.month = static_cast<uint16_t>(month);
  st.day = static_cast<uint16_t>(day);
  st.hour = static_cast<uint16_t>(hour);
  st.minute = static_cast<uint16_t>(minute);
  platform::FileTime t = 0;
  EXPECT_EQ(platform::SystemTimeToFileTime(st, t), 0);
  return t;
}

inline constexpr platform::FileTime kHour = 36000000000ULL;
inline constexpr platform::FileTime kDay = 24 * kHour;

// An item as tests need it: a title (also its identity), a date and flags.
inline std::unique_ptr<FeedItem> Item(std::u16string_view title, platform::FileTime date,
                                      uint32_t flags = kReadStateUnread) {
  auto item = std::make_unique<FeedItem>();
  item->title = std::u16string(title);
  item->date = date;
  item->flags = flags;
  return item;
}

inline std::string Utf8(const OptionalText& text) {
  return text ? platform::ToUtf8(*text) : std::string("(null)");
}

// Titles in list order, "a,b,c".
inline std::string Titles(const ItemList& list) {
  std::string out;
  for (const FeedItem* item = list.first; item; item = item->next) {
    if (!out.empty()) out += ",";
    out += Utf8(item->title);
  }
  return out;
}

// The four counters against a recount, every item's back link, and (unless another list of the
// same channel spoke last, as a parsed list before its merge) the channel's cached counts.
inline ::testing::AssertionResult CountsAreTrue(const ItemList& list, bool channelFollows = true) {
  int32_t total = 0, unread = 0, locked = 0, fresh = 0;
  for (const FeedItem* item = list.first; item; item = item->next) {
    if (item->list != &list) {
      return ::testing::AssertionFailure() << "item " << Utf8(item->title) << " has a wrong list";
    }
    if (++total > 100000) return ::testing::AssertionFailure() << "the chain does not end";
    if ((item->flags & kReadStateMask) != kReadStateRead) ++unread;
    if (item->flags & kItemLockedBit) ++locked;
    if (item->flags & kItemNewBit) ++fresh;
  }
  if (total != list.totalCount || unread != list.unreadCount || locked != list.lockedCount ||
      fresh != list.newCount) {
    return ::testing::AssertionFailure()
           << "counted total/unread/locked/new " << total << "/" << unread << "/" << locked << "/"
           << fresh << ", the list says " << list.totalCount << "/" << list.unreadCount << "/"
           << list.lockedCount << "/" << list.newCount;
  }
  if (channelFollows && list.channel && list.channel->state &&
      (list.channel->state->unreadItems != unread || list.channel->state->newItems != fresh)) {
    return ::testing::AssertionFailure()
           << "the channel shows unread/new " << list.channel->state->unreadItems << "/"
           << list.channel->state->newItems << ", the list has " << unread << "/" << fresh;
  }
  return ::testing::AssertionSuccess();
}

// A device, default settings and a tree with one channel, "Feed", whose folders are known.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    ResetSettings();
    ResetChannelIdTable();
    ResetOfflineTaskHooks();
    root_ = CreateRootNode();
    ASSERT_NE(root_, nullptr);
    channel_ = AppendChildNode(root_);
    ASSERT_NE(channel_, nullptr);
    SetNodeText(channel_, kNodeTitle, u"Feed");
    SetNodeText(channel_, kNodeXmlUrl, u"http://example.com/rss.xml");
    EnsureFileBase(channel_);
    ASSERT_TRUE(channel_->filespec.has_value());
  }
  void TearDown() override {
    FreeTree(root_);
    ResetOfflineTaskHooks();
    platform::UnpinClock();
    ResetChannelIdTable();
    ResetSettings();
  }

  // A list of the channel, not attached to it (the tests own it).
  std::unique_ptr<ItemList> ChannelList(FeedKind kind = kFeedRss20) {
    return newList(channel_, kind);
  }

  // Writes a file at a device path through the host, creating its folders.
  void PutFile(std::u16string_view devicePath, const std::string& bytes = "x") {
    std::string host;
    ASSERT_EQ(platform::HostPathFor(devicePath, host, true), 0) << platform::ToUtf8(devicePath);
    WriteHostFile(host, bytes);
  }
  bool Exists(std::u16string_view devicePath) {
    std::string host;
    return platform::HostPathFor(devicePath, host) == 0 && HostExists(host);
  }

  TempDevice device_;
  ChannelNode* root_ = nullptr;
  ChannelNode* channel_ = nullptr;
};

}  // namespace nubrel::testing
