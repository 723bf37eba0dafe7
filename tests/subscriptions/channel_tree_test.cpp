// The channel tree's node life and structure: ids and the id table, linking, moving, the
// per-node locks and their fallbacks, file naming, and deleting nodes with their files.
#include <cstdio>
#include <future>
#include <memory>
#include <thread>

#include "channel_tree_fixture.h"
#include "platform/window_messages.h"

namespace nubrel {
namespace {

using testing::HostExists;
using testing::ReferenceCrc;
using testing::WriteHostFile;

class TreeIdTest : public testing::TreeFixture {};

TEST_F(TreeIdTest, ReferenceCrcIsTheStandardChecksum) {
  // "123456789" as bytes, not as UTF-16: feed the units one byte each through the reference.
  uint32_t reg = 0xFFFFFFFFu;
  for (char c : std::string("123456789")) {
    reg ^= static_cast<uint8_t>(c);
    for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
  }
  EXPECT_EQ(~reg, 0xCBF43926u);
}

TEST_F(TreeIdTest, IdFollowsTitleAndAddressAndTheOldIdFindsNothing) {
  ChannelNode* node = Channel(root_, u"Example", u"http://example.com/rss");
  const uint32_t first = ReferenceCrc(u"http://example.com/rss", ReferenceCrc(u"Example", ~0u));
  EXPECT_EQ(GetNodeId(node), first);
  EXPECT_EQ(FindNodeById(first), node);

  SetNodeText(node, kNodeTitle, u"Renamed");
  const uint32_t renamed = ReferenceCrc(u"http://example.com/rss", ReferenceCrc(u"Renamed", ~0u));
  EXPECT_EQ(GetNodeId(node), renamed);
  EXPECT_EQ(FindNodeById(first), nullptr);
  EXPECT_EQ(FindNodeById(renamed), node);

  SetNodeText(node, kNodeXmlUrl, u"http://example.org/atom");
  const uint32_t moved = ReferenceCrc(u"http://example.org/atom", ReferenceCrc(u"Renamed", ~0u));
  EXPECT_EQ(FindNodeById(renamed), nullptr);
  EXPECT_EQ(FindNodeById(moved), node);

  // Without an address the id is the title's checksum alone; without a title the address runs
  // on from 0.
  SetNodeText(node, kNodeXmlUrl, std::nullopt);
  EXPECT_EQ(GetNodeId(node), ReferenceCrc(u"Renamed", ~0u));
  SetNodeText(node, kNodeTitle, std::nullopt);
  SetNodeText(node, kNodeXmlUrl, u"x");
  EXPECT_EQ(GetNodeId(node), ReferenceCrc(u"x", 0));
}

TEST_F(TreeIdTest, SharedIdsAnswerWithTheFirstPairAndDeletedNodesLeaveTheTable) {
  ChannelNode* a = Channel(root_, u"A", u"http://a/");
  ChannelNode* first = Channel(root_, u"Same", u"http://same/");
  Channel(root_, u"C", u"http://c/");
  ChannelNode* second = Channel(root_, u"Same", u"http://same/");
  const uint32_t shared = GetNodeId(first);
  ASSERT_EQ(GetNodeId(second), shared);
  EXPECT_EQ(FindNodeById(shared), first);

  // Removing a pair moves the last pair into its place: the later twin now comes first.
  ASSERT_TRUE(DeleteNode(a));
  EXPECT_EQ(FindNodeById(shared), second);
  ASSERT_TRUE(DeleteNode(second));
  EXPECT_EQ(FindNodeById(shared), first);
  ASSERT_TRUE(DeleteNode(first));
  EXPECT_EQ(FindNodeById(shared), nullptr);
}

class TreeStructureTest : public testing::TreeFixture {};

TEST_F(TreeStructureTest, CreatedNodesCarryTheirDefaults) {
  EXPECT_EQ(root_->state, nullptr);
  ASSERT_NE(root_->keywords, nullptr);
  EXPECT_EQ(root_->iconLock, nullptr);

  ChannelNode* loose = CreateChannelNode(root_);
  ASSERT_NE(loose, nullptr);
  EXPECT_EQ(loose->parent, root_);
  EXPECT_EQ(root_->firstChild, nullptr);  // parent set, but not linked
  EXPECT_TRUE(loose->subSetRead);
  ASSERT_NE(loose->state, nullptr);
  EXPECT_EQ(loose->state->unreadItems, -1);
  EXPECT_EQ(loose->state->updateInterval, -1);
  EXPECT_EQ(loose->state->displayToday, 1);
  EXPECT_EQ(loose->state->filterImages, 1);
  EXPECT_NE(loose->iconLock, nullptr);
  EXPECT_EQ(FindNodeById(0), loose);  // registered with id 0 (the titled root has its own id)
  FreeTree(loose);
}

TEST_F(TreeStructureTest, InsertUnlinkAndMoveKeepEveryLink) {
  ChannelNode* a = Folder(root_, u"A");
  ChannelNode* b = Folder(root_, u"B");
  ChannelNode* a1 = Channel(a, u"A1", u"http://a1/");
  EXPECT_EQ(Shape(root_), "A(A1),B");

  root_->dirty = false;
  ChannelNode* c = CreateChannelNode(root_);
  SetNodeText(c, kNodeTitle, u"C");
  InsertNode(root_, a, c);  // right after A
  EXPECT_EQ(Shape(root_), "A(A1),C,B");
  EXPECT_TRUE(root_->dirty);

  ChannelNode* d = CreateChannelNode(root_);
  SetNodeText(d, kNodeTitle, u"D");
  InsertNode(root_, a1, d);  // A1 is not the root's child: D goes first
  EXPECT_EQ(Shape(root_), "D,A(A1),C,B");

  a->dirty = false;
  EXPECT_TRUE(UnlinkNode(a1));
  EXPECT_EQ(a1->parent, nullptr);
  EXPECT_TRUE(a->dirty);
  EXPECT_FALSE(UnlinkNode(a1));
  EXPECT_FALSE(UnlinkNode(root_));
  InsertNode(b, nullptr, a1);
  EXPECT_EQ(Shape(root_), "D,A,C,B(A1)");

  EXPECT_TRUE(MoveNode(a, nullptr, b));
  EXPECT_EQ(Shape(root_), "D,A(B(A1)),C");
  EXPECT_TRUE(MoveNode(root_, c, b));
  EXPECT_EQ(Shape(root_), "D,A,C,B(A1)");
}

TEST_F(TreeStructureTest, MovingAFolderIntoItselfOrBelowItIsRefused) {
  ChannelNode* a = Folder(root_, u"A");
  ChannelNode* b = Folder(a, u"B");
  ChannelNode* c = Folder(b, u"C");
  Channel(root_, u"D", u"http://d/");
  const std::string before = Shape(root_);
  for (ChannelNode* target : {a, b, c}) {
    SCOPED_TRACE(TitleOf(target));
    EXPECT_FALSE(MoveNode(target, nullptr, a));
    EXPECT_EQ(Shape(root_), before);
  }
}

TEST_F(TreeStructureTest, TextsByCode) {
  ChannelNode* node = Channel(root_, u"T", u"http://t/");
  node->type = u"rss";
  node->state->expireUnread = u"5i";
  node->state->expireRead = u"6i";
  node->state->expireEnclosures = u"7";
  node->state->expireHTML = u"8";
  struct Row {
    int code;
    const char16_t* value;  // null: absent
  } rows[] = {
      {kNodeTitle, u"T"},        {kNodeXmlUrl, u"http://t/"}, {kNodeType, u"rss"},
      {kNodeExpireUnread, u"5i"}, {kNodeExpireRead, u"6i"},  {kNodeExpireEnclosures, u"7"},
      {kNodeExpireHtml, u"8"},   {kNodeDescription, nullptr}, {10, nullptr},
      {0, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.code);
    const OptionalText text = GetNodeText(node, row.code);
    if (row.value) {
      EXPECT_EQ(text, std::u16string(row.value));
    } else {
      EXPECT_FALSE(text.has_value());
    }
  }
  node->dirty = false;
  EXPECT_TRUE(SetNodeText(node, kNodePassword, u"secret"));
  EXPECT_TRUE(node->dirty);
  EXPECT_FALSE(SetNodeText(node, kNodePassword, std::nullopt));
  EXPECT_FALSE(node->password.has_value());
  EXPECT_TRUE(SetNodeText(node, kNodeHtmlUrl, u""));  // present, though empty
  // Only 1 to 6 are settable here; the rest have their own setters.
  node->dirty = false;
  EXPECT_FALSE(SetNodeText(node, kNodeType, u"link"));
  EXPECT_FALSE(SetNodeText(node, kNodeExpireUnread, u"9i"));
  EXPECT_EQ(node->type, u"rss");
  EXPECT_EQ(node->state->expireUnread, u"5i");
  EXPECT_FALSE(node->dirty);
}

TEST_F(TreeStructureTest, DeepTreesWalkFreeAndDeleteWithoutExhaustingTheStack) {
  // A list read from anywhere may nest outlines this deep; recursion would overflow the stack.
  constexpr int kDepth = 60000;
  ChannelNode* top = Folder(root_, u"top");
  ChannelNode* node = top;
  for (int i = 0; i < kDepth; ++i) node = AppendChildNode(node);
  int visits = 0;
  auto count = [](ChannelNode*, void* context, uint32_t) {
    ++*static_cast<int*>(context);
    return 1;
  };
  WalkTree(root_, count, kWalkChildren, &visits);
  EXPECT_EQ(visits, kDepth + 2);
  ChannelNode* second = Folder(root_, u"second");
  for (int i = 0; i < kDepth; ++i) second = AppendChildNode(second);
  EXPECT_TRUE(DeleteNode(top));
  EXPECT_EQ(root_->firstChild, Folder(root_, u"end")->previous);  // only the second chain is left
  EXPECT_EQ(TitleOf(root_->firstChild), "second");
  // The other chain goes with the root in TearDown (FreeTree).
}

// ---- Locks ----

class TreeLockTest : public testing::TreeFixture {};

TEST_F(TreeLockTest, ALockHeldElsewhereGivesEveryFallback) {
  ChannelNode* node = Channel(root_, u"Held", u"http://held/");
  SetUpdateInterval(node, 120, false);
  SetLastStatus(node, u"Success");
  node->subSetRead = false;
  SetNodeLockTimeoutForTests(50);

  std::promise<void> locked;
  std::promise<void> release;
  std::thread holder([&] {
    ChannelNode* held = LockNode(node);
    locked.set_value();
    release.get_future().wait_for(std::chrono::seconds(30));
    UnlockNode(held);
  });
  ASSERT_EQ(locked.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);

  EXPECT_EQ(LockNode(node), nullptr);
  EXPECT_FALSE(GetNodeText(node, kNodeTitle).has_value());
  EXPECT_FALSE(HasFeedUrl(node));
  EXPECT_EQ(GetUpdateInterval(node), -1);
  EXPECT_EQ(GetLastStatus(node), u"Not set");
  EXPECT_TRUE(GetSubSetRead(node));
  EXPECT_EQ(GetUnreadItems(node), 0);
  EXPECT_EQ(GetDisplayToday(node), 0);
  EXPECT_FALSE(SetUpdateInterval(node, 60, false));
  EXPECT_TRUE(SetUpdateInterval(node, 60, true));  // checking needs no lock
  EXPECT_FALSE(SetNodeText(node, kNodeTitle, u"Other"));
  EXPECT_FALSE(DeleteNode(node));
  EXPECT_EQ(root_->firstChild, node);  // still linked
  release.set_value();
  holder.join();

  EXPECT_EQ(Shape(root_), "Held");
  EXPECT_EQ(GetUpdateInterval(node), 120);
  EXPECT_EQ(GetLastStatus(node), u"Success");
  EXPECT_FALSE(GetSubSetRead(node));
}

TEST_F(TreeLockTest, TheLockIsRecursiveAndEachTakingIsReleasedOnce) {
  ChannelNode* node = Channel(root_, u"R", u"http://r/");
  SetNodeLockTimeoutForTests(50);
  ASSERT_EQ(LockNode(node), node);
  ASSERT_EQ(LockNode(node), node);
  EXPECT_EQ(GetNodeText(node, kNodeTitle), u"R");  // accessors lock once more
  UnlockNode(node);
  auto otherThreadLocks = [node] {
    return std::async(std::launch::async, [node] {
      ChannelNode* got = LockNode(node);
      UnlockNode(got);
      return got != nullptr;
    }).get();
  };
  EXPECT_FALSE(otherThreadLocks());
  UnlockNode(node);
  EXPECT_TRUE(otherThreadLocks());
}

// ---- File naming ----

class TreeFileNameTest : public testing::TreeFixture {};

std::u16string Hex8(uint32_t value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", value);
  return platform::FromUtf8(text);
}

TEST_F(TreeFileNameTest, FileBaseFromTitleAndAddress) {
  const std::u16string url = u"http://example.com/feed?x=1";
  struct Row {
    std::optional<std::u16string> title;
    std::optional<std::u16string> url;
    std::optional<std::u16string> filespec;  // expected
  } rows[] = {
      {u"a/b:c", url, u"a_b_c-" + Hex8(ReferenceCrc(url, ~0u))},
      {u"Plain", std::nullopt, u"Plain"},
      {u"Plain", u"", u"Plain"},
      {u"\"*/\\<>?|.:", std::nullopt, u"__________"},
      {u"  Padded  ", url, u"Padded  -" + Hex8(ReferenceCrc(url, ~0u))},
      {u" \t ", std::nullopt, std::nullopt},
      {std::nullopt, url, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.title.value_or(u"(none)")));
    ChannelNode* node = AppendChildNode(root_);
    node->title = row.title;
    node->xmlUrl = row.url;
    EnsureFileBase(node);
    EXPECT_EQ(node->filespec, row.filespec);
    if (row.filespec) {
      EXPECT_EQ(ItemFilePath(node),
                u"\\My Documents\\Channels\\" + *row.filespec + u"\\" + *row.filespec + u".xml");
    } else {
      EXPECT_EQ(ItemFilePath(node), u"");
    }
  }
}

TEST_F(TreeFileNameTest, AStoredFilespecIsKeptAndMadeSafeOnlyAsAFileName) {
  ChannelNode* node = Channel(root_, u"Title", u"http://t/");
  node->filespec = u"Kept:Name.v2";
  EnsureFileBase(node);
  EXPECT_EQ(node->filespec, u"Kept:Name.v2");
  const std::u16string folder = u"\\My Documents\\Channels\\Kept:Name.v2\\";
  EXPECT_EQ(ChannelFolderPath(node), folder);
  EXPECT_EQ(ItemFilePath(node), folder + u"Kept_Name_v2.xml");
  EXPECT_EQ(StateFilePath(node), folder + u"Kept_Name_v2.properties");
  EXPECT_EQ(ImageFolderPath(node), folder + u"image\\");
  EXPECT_EQ(HtmlFolderPath(node), folder + u"html\\");

  ASSERT_TRUE(SetEnclosureStoragePath(u"\\Podcasts\\", false));
  EXPECT_EQ(EnclosureFolderPath(node), u"\\Podcasts\\Kept:Name.v2\\");
  EXPECT_EQ(PlaylistPath(node, u".m3u"), u"\\Podcasts\\Kept:Name.v2\\Kept_Name_v2.m3u");
}

// ---- Deleting ----

class TreeDeleteTest : public testing::TreeFixture {
 protected:
  void SetUp() override {
    TreeFixture::SetUp();
    ASSERT_TRUE(SetEnclosureStoragePath(u"\\Podcasts\\", false));
  }

  // Puts files where a channel keeps them: item and state file, an image, a page, an
  // enclosure and a playlist. Returns the two folders' host paths.
  std::pair<std::string, std::string> StoreFiles(ChannelNode* node) {
    const std::string folder = Host(ChannelFolderPath(node));
    const std::string podcasts = Host(EnclosureFolderPath(node));
    WriteHostFile(Host(ItemFilePath(node)), "<rss/>");
    WriteHostFile(Host(StateFilePath(node)), "<opml/>");
    WriteHostFile(folder + "image/logo.png", "png");
    WriteHostFile(folder + "html/page.htm", "<html/>");
    WriteHostFile(podcasts + "show.mp3", "mp3");
    WriteHostFile(Host(PlaylistPath(node, u".m3u")), "#EXTM3U");
    return {folder, podcasts};
  }
};

TEST_F(TreeDeleteTest, DeletingAChannelRemovesItsFoldersAndTellsTheWindowFirst) {
  ChannelNode* keep = Channel(root_, u"Keep", u"http://keep/");
  ChannelNode* gone = Channel(root_, u"Gone", u"http://gone/");
  const auto kept = StoreFiles(keep);
  const auto removed = StoreFiles(gone);
  const uint32_t goneId = GetNodeId(gone);

  auto sink = std::make_shared<platform::RecordingSink>();
  platform::WindowHandle window = platform::kNoWindow;
  ASSERT_EQ(platform::CreateWindowHandle(u"NubrelTest", u"tree", nullptr, sink,
                                         platform::kNoWindow, window),
            platform::kErrorSuccess);
  EXPECT_TRUE(DeleteNode(gone, window));
  const auto entries = sink->Entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message.message, 1034u);
  EXPECT_EQ(entries[0].message.lParam, reinterpret_cast<intptr_t>(gone));
  EXPECT_TRUE(entries[0].sent);
  platform::DestroyWindowHandle(window);

  EXPECT_FALSE(HostExists(removed.first));
  EXPECT_FALSE(HostExists(removed.second));
  EXPECT_TRUE(HostExists(kept.first + "Keep-" + platform::ToUtf8(Hex8(ReferenceCrc(u"http://keep/", ~0u))) + ".xml"));
  EXPECT_TRUE(HostExists(kept.second + "show.mp3"));
  EXPECT_EQ(Shape(root_), "Keep");
  EXPECT_EQ(FindNodeById(goneId), nullptr);
}

TEST_F(TreeDeleteTest, ASharedFilespecKeepsTheFilesUntilTheLastUserGoes) {
  ChannelNode* folder = Folder(root_, u"Folder");
  ChannelNode* first = Channel(folder, u"Twin", u"http://twin/");
  ChannelNode* second = Channel(root_, u"Twin", u"http://twin/");
  const auto files = StoreFiles(first);
  ASSERT_EQ(ChannelFolderPath(second), ChannelFolderPath(first));

  EXPECT_TRUE(DeleteNode(folder));  // takes `first` with it; `second` still uses the folder
  EXPECT_TRUE(HostExists(files.first + "image/logo.png"));
  EXPECT_TRUE(HostExists(files.second + "show.mp3"));
  EXPECT_TRUE(DeleteNode(second));
  EXPECT_FALSE(HostExists(files.first));
  EXPECT_FALSE(HostExists(files.second));
}

TEST_F(TreeDeleteTest, DeletingAFolderTakesItsChannelsFilesAndNothingElse) {
  ChannelNode* folder = Folder(root_, u"News");
  folder->filespec = u"News";
  ChannelNode* inner = Folder(folder, u"Inner");
  ChannelNode* a = Channel(inner, u"A", u"http://a/");
  ChannelNode* b = Channel(folder, u"B", u"http://b/");
  const auto filesA = StoreFiles(a);
  const auto filesB = StoreFiles(b);
  WriteHostFile(Host(u"\\My Documents\\Channels\\News\\mine.txt"), "not the folder node's");

  auto sink = std::make_shared<platform::RecordingSink>();
  platform::WindowHandle window = platform::kNoWindow;
  ASSERT_EQ(platform::CreateWindowHandle(u"NubrelTest", u"tree", nullptr, sink,
                                         platform::kNoWindow, window),
            platform::kErrorSuccess);
  EXPECT_TRUE(DeleteNode(folder, window));
  std::vector<intptr_t> told;
  for (const auto& entry : sink->Entries()) told.push_back(entry.message.lParam);
  platform::DestroyWindowHandle(window);
  // Parent first, each node before it changes.
  const std::vector<intptr_t> expected = {
      reinterpret_cast<intptr_t>(folder), reinterpret_cast<intptr_t>(inner),
      reinterpret_cast<intptr_t>(a), reinterpret_cast<intptr_t>(b)};
  EXPECT_EQ(told, expected);

  for (const auto& files : {filesA, filesB}) {
    EXPECT_FALSE(HostExists(files.first));
    EXPECT_FALSE(HostExists(files.second));
  }
  EXPECT_TRUE(HostExists(Host(u"\\My Documents\\Channels\\News\\mine.txt")));
  EXPECT_EQ(Shape(root_), "");
}

TEST_F(TreeDeleteTest, TheRootAndUnsafeFilespecsDeleteNothing) {
  ChannelNode* other = Channel(root_, u"Other", u"http://other/");
  const auto files = StoreFiles(other);
  EXPECT_FALSE(DeleteNode(root_));
  EXPECT_EQ(Shape(root_), "Other");

  // A filespec from a list is used as it stands; none of these may reach the storage folder.
  for (const char16_t* filespec : {u"", u"  ", u"..", u"x\\..\\..", u"\\", u"a\\\\b", u"."}) {
    SCOPED_TRACE(platform::ToUtf8(filespec));
    ChannelNode* hostile = Channel(root_, u"Hostile", u"http://hostile/");
    hostile->filespec = std::u16string(filespec);
    EXPECT_TRUE(DeleteNode(hostile));
    EXPECT_TRUE(HostExists(files.first + "image/logo.png"));
    EXPECT_TRUE(HostExists(files.second + "show.mp3"));
  }
}

}  // namespace
}  // namespace nubrel
