// The subscription list writer: the exact document, reading it back and writing it again, when a
// save writes at all, and what a failed save leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "platform/device_errors.h"
#include "subscriptions/subscription_list_test_support.h"

namespace nubrel::testing {
namespace {

class OpmlWriterTest : public ListFixture {
 protected:
  // Every kind of node and attribute the writer knows, in the fixture's order.
  void BuildFullTree() {
    SetNodeText(root_, kNodeTitle, u"News & \"Views\" <mine>");
    AppendKeyword(root_->keywords.get(), u"linux");
    AppendKeyword(root_->keywords.get(), u"a&b");

    ChannelNode* tech = Folder(root_, u"Tech");
    SetNodeText(tech, kNodeDescription, u"Gadgets & code");
    ChannelNode* ars =
        Channel(tech, u"Ars <Technica>", u"http://feeds.arstechnica.com/arstechnica/index");
    SetNodeText(ars, kNodeHtmlUrl, u"http://arstechnica.com/");
    ChannelNode* secret = Channel(tech, u"Secret", u"http://example.com/feed?a=1&b=2");
    secret->filespec = u"secret-feed";
    secret->type = u"atom";
    SetNodeText(secret, kNodeUserName, u"joe");
    SetNodeText(secret, kNodePassword, u"pa55w0rd");
    SetSyncService(secret, 0);
    SetSyncId(secret, 12345);
    SetSubSetRead(secret, false);

    ChannelNode* ng = Channel(root_, u"NewsGator one", u"http://example.org/ng");
    SetNodeText(ng, kNodePassword, u"");
    SetSyncService(ng, 1);
    SetSyncId(ng, 777);

    ChannelNode* untitled = AppendChildNode(root_);
    SetNodeText(untitled, kNodeXmlUrl, u"http://example.net/untitled");

    Folder(root_, u"Empty");

    ChannelNode* link = Channel(root_, u"Link", u"http://example.com/page");
    link->type = u"link";
    SetSyncService(link, 2);  // a service the list has no attribute for
    SetSyncId(link, 9);
  }

  std::string ExportToString(ChannelNode* root) {
    const std::u16string path = u"\\My Documents\\export.opml";
    EXPECT_EQ(WriteSubscriptionList(path, root, /*exporting=*/true), 0u);
    return ReadHostFile(Host(path));
  }
};

TEST_F(OpmlWriterTest, WritesTheDocumentByteForByteAndReadsItBackToTheSameBytes) {
  BuildFullTree();
  const std::string expected = ReadFixture("written_list.opml");

  ASSERT_EQ(SaveSubscriptionList(root_), 0u);
  EXPECT_EQ(ReadHostFile(ListHostPath()), expected);
  EXPECT_EQ(FormatSubscriptionList(root_), expected);

  // Read back (with the clock moved on: the stored creation date must be kept) and written again.
  platform::PinClock(PinnedListTime() + 86400ULL * platform::kFileTimeUnitsPerSecond);
  OwnedTree reread(LoadSubscriptionList(u"", /*markClean=*/true));
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(ExportToString(reread.get()), expected);

  // What was read is what was written, field by field where the bytes cannot show it.
  ChannelNode* secret = reread->firstChild->firstChild->next;
  EXPECT_EQ(secret->password, std::u16string(u"pa55w0rd"));
  EXPECT_EQ(secret->id.load(), ComputeChannelId(secret->title, secret->xmlUrl));
  EXPECT_FALSE(secret->subSetRead);
  EXPECT_EQ(reread->firstChild->next->password, std::u16string());  // empty, but present
  EXPECT_FALSE(reread->firstChild->next->next->title.has_value());  // untitled stays untitled
}

TEST_F(OpmlWriterTest, SavesOnlyWhenSomethingChangedWhileAnExportAlwaysWrites) {
  BuildFullTree();
  const std::string listPath = ListHostPath();
  ASSERT_EQ(SaveSubscriptionList(root_), 0u);
  ASSERT_TRUE(HostExists(listPath));

  struct Change {
    const char* what;
    void (*apply)(ChannelNode* root);  // null: nothing changes
    bool rewritten;
  };
  const Change changes[] = {
      {"nothing", nullptr, false},
      {"a channel's title",
       [](ChannelNode* r) { SetNodeText(r->firstChild->firstChild, kNodeTitle, u"Ars"); }, true},
      {"a keyword", [](ChannelNode* r) { AppendKeyword(r->keywords.get(), u"new"); }, true},
      {"a new channel", [](ChannelNode* r) { Channel(r->firstChild, u"C", u"http://c/"); }, true},
      {"the root's title", [](ChannelNode* r) { SetNodeText(r, kNodeTitle, u"Mine"); }, true},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    std::filesystem::remove(listPath);
    if (change.apply) change.apply(root_);
    ASSERT_EQ(SaveSubscriptionList(root_), 0u);
    EXPECT_EQ(HostExists(listPath), change.rewritten);
    // A save that wrote leaves the list clean: saving again writes nothing.
    std::filesystem::remove(listPath);
    ASSERT_EQ(SaveSubscriptionList(root_), 0u);
    EXPECT_FALSE(HostExists(listPath));
  }

  EXPECT_FALSE(TakeListReplaced());
  ASSERT_EQ(SaveSubscriptionList(root_, u"\\My Documents\\out.opml"), 0u);
  EXPECT_TRUE(HostExists(Host(u"\\My Documents\\out.opml")));
  EXPECT_TRUE(TakeListReplaced());
  EXPECT_FALSE(TakeListReplaced());
}

TEST_F(OpmlWriterTest, AnExportLeavesTheTreeDirty) {
  BuildFullTree();
  ASSERT_EQ(SaveSubscriptionList(root_, u"\\My Documents\\out.opml"), 0u);
  EXPECT_TRUE(root_->firstChild->dirty);
  ASSERT_EQ(SaveSubscriptionList(root_), 0u);
  EXPECT_TRUE(HostExists(ListHostPath()));
}

TEST_F(OpmlWriterTest, RootTitleLineOnlyWithATitleAndTheCreationDateIsKept) {
  root_->title.reset();
  root_->dirty = true;
  const std::string document = FormatSubscriptionList(root_);
  EXPECT_EQ(document,
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<opml version=\"1.0\">\n<head>\n"
            "<dateCreated>Tue 21 Oct 2008 18:28:26 GMT</dateCreated>\n</head>\n<body>\n"
            "<keywords>\n</keywords>\n</body>\n</opml>\n");
  platform::PinClock(PinnedListTime() + 3600ULL * platform::kFileTimeUnitsPerSecond);
  EXPECT_EQ(FormatSubscriptionList(root_), document);
}

TEST_F(OpmlWriterTest, AFailedSaveKeepsThePreviousFileAndTheListDirty) {
  BuildFullTree();
  const std::string old = "<opml version=\"1.0\"><body/></opml>\n";
  const struct {
    WriterStep step;
    platform::DeviceError error;
  } faults[] = {
      {WriterStep::kOpen, platform::kErrorAccessDenied},
      {WriterStep::kWrite, platform::kErrorDiskFull},
      {WriterStep::kFlush, platform::kErrorDiskFull},
      {WriterStep::kReplace, platform::kErrorSharingViolation},
  };
  std::vector<std::u16string> reports;
  SetSaveErrorReporter([&](const std::u16string& message) { reports.push_back(message); });
  ASSERT_EQ(SaveSubscriptionList(root_), 0u);  // everything clean from here on
  for (const auto& fault : faults) {
    SCOPED_TRACE(static_cast<int>(fault.step));
    WriteHostFile(ListHostPath(), old);
    reports.clear();
    ASSERT_FALSE(root_->dirty);
    root_->firstChild->firstChild->dirty = true;  // one changed channel, deep in the tree
    SetWriterFaultHookForTests([&](WriterStep step) -> platform::DeviceError {
      return step == fault.step ? fault.error : 0;
    });
    EXPECT_EQ(SaveSubscriptionList(root_), fault.error);
    EXPECT_EQ(ReadHostFile(ListHostPath()), old);
    const std::u16string expected =
        u"Unable to save OPML file : " + platform::SystemErrorText(fault.error);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], expected);
    EXPECT_EQ(LastSaveErrorText(), expected);

    // Every node written before the failure lost its flag; the next save must still write.
    SetWriterFaultHookForTests(nullptr);
    ASSERT_EQ(SaveSubscriptionList(root_), 0u);
    EXPECT_EQ(ReadHostFile(ListHostPath()), ReadFixture("written_list.opml"));
  }
}

TEST_F(OpmlWriterTest, ANodeLockedElsewhereFailsTheSaveWithoutCuttingTheFile) {
  BuildFullTree();
  ASSERT_EQ(SaveSubscriptionList(root_), 0u);
  const std::string saved = ReadHostFile(ListHostPath());
  SetNodeText(root_, kNodeTitle, u"Changed");

  SetNodeLockTimeoutForTests(50);
  ChannelNode* busy = root_->firstChild->next;  // the NewsGator channel
  std::promise<void> locked, release;
  std::thread holder([&] {
    LockNode(busy);
    locked.set_value();
    release.get_future().wait_for(std::chrono::seconds(10));
    UnlockNode(busy);
  });
  locked.get_future().wait();
  EXPECT_EQ(WriteSubscriptionList(SubscriptionListPath(), root_, false),
            platform::kErrorWaitTimeout);
  release.set_value();
  holder.join();

  EXPECT_EQ(ReadHostFile(ListHostPath()), saved);
  EXPECT_TRUE(root_->dirty);
  ASSERT_EQ(SaveSubscriptionList(root_), 0u);
  EXPECT_NE(ReadHostFile(ListHostPath()).find("<title>Changed</title>"), std::string::npos);
}

TEST_F(OpmlWriterTest, TheShippedDefaultListIsInTheWritersOwnForm) {
  const std::string shipped =
      ReadHostFile(std::string(NUBREL_TEST_DIR) + "/../../data/defaultChannels.opml");
  std::u16string error;
  OwnedTree tree = Parse(shipped, true, &error);
  ASSERT_NE(tree, nullptr) << platform::ToUtf8(error);
  EXPECT_EQ(FormatSubscriptionList(tree.get()), shipped);
  int folders = 0;
  for (ChannelNode* folder = tree->firstChild; folder; folder = folder->next) {
    ++folders;
    ASSERT_NE(folder->firstChild, nullptr) << TitleOf(folder);
    for (ChannelNode* channel = folder->firstChild; channel; channel = channel->next) {
      EXPECT_EQ(channel->xmlUrl.value_or(u"").rfind(u"https://", 0), 0u) << TitleOf(channel);
    }
  }
  EXPECT_GE(folders, 2);
}

}  // namespace
}  // namespace nubrel::testing
