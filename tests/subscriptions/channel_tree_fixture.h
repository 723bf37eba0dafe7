// A throw-away device and a fresh channel tree for the channel tree's tests, with small helpers
// to build trees and read them back as text. The device side is tests/shared/temp_device.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "core/settings.h"
#include "platform/device_time.h"
#include "platform/utf.h"
#include "shared/temp_device.h"
#include "subscriptions/channel_tree.h"

namespace nubrel::testing {

// The CRC-32 register run bit by bit (no table), from `start` as given, complemented at the end:
// an independent statement of the checksum that channel ids and file names are built on.
inline uint32_t ReferenceCrc(std::u16string_view text, uint32_t start) {
  uint32_t reg = start;
  for (char16_t unit : text) {
    for (uint8_t byte : {static_cast<uint8_t>(unit & 0xFF), static_cast<uint8_t>(unit >> 8)}) {
      reg ^= byte;
      for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    }
  }
  return ~reg;
}

class TreeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    ResetSettings();
    ResetChannelIdTable();
    ResetChannelTreeHooks();
    SetNodeLockTimeoutForTests(kNodeLockTimeoutMs);
    root_ = CreateRootNode();
    ASSERT_NE(root_, nullptr);
    SetNodeText(root_, kNodeTitle, u"My Channels");
  }
  void TearDown() override {
    FreeTree(root_);
    ResetChannelTreeHooks();
    SetNodeLockTimeoutForTests(kNodeLockTimeoutMs);
    platform::UnpinClock();
    ResetChannelIdTable();
    ResetSettings();
  }

  static ChannelNode* Channel(ChannelNode* parent, std::u16string_view title,
                              std::u16string_view url) {
    ChannelNode* node = AppendChildNode(parent);
    SetNodeText(node, kNodeTitle, title);
    SetNodeText(node, kNodeXmlUrl, url);
    return node;
  }
  static ChannelNode* Folder(ChannelNode* parent, std::u16string_view title) {
    ChannelNode* node = AppendChildNode(parent);
    SetNodeText(node, kNodeTitle, title);
    return node;
  }

  static std::string TitleOf(ChannelNode* node) {
    if (!node) return "(none)";
    const OptionalText title = GetNodeText(node, kNodeTitle);
    return title ? platform::ToUtf8(*title) : "(untitled)";
  }

  // The children of a node as "A(A1,A2),B", checking every back link on the way.
  static std::string Shape(ChannelNode* node) {
    std::string out;
    ChannelNode* previous = nullptr;
    for (ChannelNode* child = node->firstChild; child; child = child->next) {
      EXPECT_EQ(child->parent, node) << TitleOf(child);
      EXPECT_EQ(child->previous, previous) << TitleOf(child);
      if (!out.empty()) out += ",";
      out += TitleOf(child);
      if (child->firstChild) out += "(" + Shape(child) + ")";
      previous = child;
    }
    return out;
  }

  // The host path of a device path below the root ("\My Documents\x" -> <root>/My Documents/x).
  std::string Host(std::u16string_view devicePath) const { return device_.Host(devicePath); }

  TempDevice device_;
  ChannelNode* root_ = nullptr;
};

}  // namespace nubrel::testing
