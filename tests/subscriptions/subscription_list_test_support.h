// Shared by the subscription list and state file tests: the tree fixture with the list state
// reset, a pinned clock, and helpers to read fixtures and hold trees read from documents.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/device_time.h"
#include "shared/buffered_file_writer.h"
#include "subscriptions/channel_tree_fixture.h"
#include "subscriptions/subscription_list.h"

namespace nubrel::testing {

// Tue 21 Oct 2008 18:28:26 UTC.
inline platform::FileTime PinnedListTime() {
  platform::SystemTime t;
  t.year = 2008;
  t.month = 10;
  t.day = 21;
  t.hour = 18;
  t.minute = 28;
  t.second = 26;
  platform::FileTime time = 0;
  platform::SystemTimeToFileTime(t, time);
  return time;
}

inline std::string ReadFixture(const std::string& name) {
  const std::string bytes = ReadHostFile(std::string(NUBREL_TEST_DIR) + "/data/" + name);
  EXPECT_FALSE(bytes.empty()) << "missing fixture " << name;
  return bytes;
}

// A tree read from a document, released at the end of the scope.
struct TreeDeleter {
  void operator()(ChannelNode* root) const { FreeTree(root); }
};
using OwnedTree = std::unique_ptr<ChannelNode, TreeDeleter>;

inline OwnedTree Parse(const std::string& document, bool markClean = true,
                       std::u16string* errorText = nullptr) {
  return OwnedTree(ParseOutlineDocument(document, kOutlineUtf8, markClean, errorText));
}

// A document with one body holding `outlines`.
inline std::string Body(const std::string& outlines) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<opml version=\"1.0\"><body>" + outlines +
         "</body></opml>\n";
}

class ListFixture : public TreeFixture {
 protected:
  void SetUp() override {
    TreeFixture::SetUp();
    ResetSubscriptionListState();
    SetWriterFaultHookForTests(nullptr);
    platform::PinClock(PinnedListTime());
  }
  void TearDown() override {
    SetWriterFaultHookForTests(nullptr);
    ResetSubscriptionListState();
    TreeFixture::TearDown();
  }

  std::string ListHostPath() const { return Host(SubscriptionListPath()); }
};

}  // namespace nubrel::testing
