// File naming of fetched content: file names made from URLs, extensions, the local path per
// storage class, the optimiser addresses, and the queue hooks when none are set.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/settings.h"
#include "feeds/item_test_support.h"
#include "offline/local_files.h"
#include "shared/text.h"

namespace nubrel {
namespace {

using testing::BitwiseCrcOfText;
using testing::ChannelTest;

std::string Utf8(const std::u16string& text) { return platform::ToUtf8(text); }

TEST(LocalFilesName, FromUrls) {
  struct Row {
    const char16_t* url;
    const char16_t* extension;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {u"http://a.example/dir/", u".html", "null.html"},
      {u"http://a.example/pics/PHOTO.JPG", u".gif", "PHOTO.gif"},  // case counts: not ".jpg"
      {u"http://a.example/pics/photo.jpg", u".gif", "photo.jpg"},
      {u"http://a.example/x/b.php?id=3&y=/z", u".html", "b.html"},
      {u"http://a.example/style.css", u".html", "style.css"},
      {u"http://a.example/.gif", u".gif", ".gif"},      // not longer than ".gif": replaced by itself
      {u"http://a.example/archive.tar.gz", u".gif", "archive.tar.gif"},
      {u"http://a.example/noextension", u"html", "noextension.html"},
      {u"http://a.example/podcast/ep%201.mp3", u"", "ep 1.mp3"},
      {u"http://a.example/ep%2a.mp3", u"", "ep .mp3"},  // lower-case hex counts as 0: "%2a" is 0x20
      {u"http://a.example/%41%4", u"", "A_"},  // a short escape ends the text: U+0004, unfit
      {u"http://www.google.com/gwt/n?u=http%3A%2F%2Fnews.example%2Fa%2Fstory.php%3Fid%3D1",
       u".html", "story.html"},  // named after the wrapped address
      {u"HTTP://a.example/one/HtTp://b.example/two.xml", u".html", "two.xml"},
      {u"http://a.example/evil%5C..%5C..%5Cx.gif", u".gif", "evil_.._.._x.gif"},
      {u"http://a.example/a%3Ab%2A%22%3C%3E%7C.gif", u".gif", "a_b_____.gif"},
      {u"", u".html", "null.html"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8(row.url));
    EXPECT_EQ(Utf8(LocalFileName(row.url, row.extension)), row.expected);
  }
}

TEST(LocalFilesName, ReplaceExtension) {
  struct Row {
    const char16_t* path;
    const char16_t* extension;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {u"\\a\\b.php", u"gif", "\\a\\b.gif"},
      {u"\\a\\b.php", u".gif", "\\a\\b.gif"},
      {u"\\a.d\\b", u"gif", "\\a.d\\b.gif"},  // a dot of a folder is not the name's
      {u"b.tar.gz", u"css", "b.tar.css"},
      {u"\\a\\b.php", u"", "\\a\\b.php"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8(row.path));
    EXPECT_EQ(Utf8(ReplaceExtension(row.path, row.extension)), row.expected);
  }
}

class LocalFilesPath : public ChannelTest {};

TEST_F(LocalFilesPath, PerStorageClass) {
  ASSERT_TRUE(SetEnclosureStoragePath(u"\\StorageCard\\Podcasts\\", false));
  const std::u16string folder = *channel_->filespec;
  ASSERT_EQ(Utf8(folder), "Feed-" + Utf8(FormatHex(BitwiseCrcOfText(u"http://example.com/rss.xml"), 8)));
  struct Row {
    int fileClass;
    const char16_t* url;
    std::u16string expectedFolder;
    const char* expectedName;
  };
  const std::vector<Row> rows = {
      {kLocalImage, u"http://a.example/i/x.JPG", u"\\My Documents\\Channels\\" + folder + u"\\image\\",
       "x.gif"},
      {kLocalPodcast, u"http://a.example/e/show.mp3?s=1", u"\\StorageCard\\Podcasts\\" + folder + u"\\",
       "show.mp3"},
      {kLocalHtml, u"http://a.example/b.php?id=1", u"\\My Documents\\Channels\\" + folder + u"\\html\\",
       "b.html"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fileClass);
    const std::u16string expected =
        row.expectedFolder + FormatHex(BitwiseCrcOfText(row.url), 8) + u"-" +
        platform::FromUtf8(row.expectedName);
    EXPECT_EQ(Utf8(LocalPathFor(channel_, row.url, row.fileClass)), Utf8(expected));
  }
  EXPECT_EQ(LocalPathFor(nullptr, u"http://a/x.gif", kLocalImage), u"");
  EXPECT_EQ(LocalPathFor(channel_, u"http://a/x.gif", 3), u"");
  EXPECT_EQ(LocalPathFor(root_, u"http://a/x.gif", kLocalImage), u"");  // untitled: no folder
}

TEST_F(LocalFilesPath, ExistenceIsOfRegularFilesOnly) {
  const std::u16string path = LocalPathFor(channel_, u"http://a.example/x.gif", kLocalImage);
  EXPECT_FALSE(LocalFileExists(path));
  PutFile(path);
  EXPECT_TRUE(LocalFileExists(path));
  EXPECT_FALSE(LocalFileExists(ImageFolderPath(channel_)));  // the folder is there, not a file
  EXPECT_FALSE(LocalFileExists(u""));
}

TEST_F(LocalFilesPath, OptimizedUrlPerService) {
  struct Row {
    const char16_t* optimizer;
    const char16_t* link;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {u"None", u"http://a.example/x?y=1", "http://a.example/x?y=1"},
      {u"Google Mobile", u"http://a.example/x?y=1",
       "http://www.google.com/gwt/n?u=http%3A%2F%2Fa%2Eexample%2Fx%3Fy%3D1"},
      {u"skweezer", u"HTTP://a.example/x", "http://www.skweezer.com/s.aspx?q=a%2Eexample%2Fx"},
      {u"Skweezer", u"https://a.example/x",
       "http://www.skweezer.com/s.aspx?q=https%3A%2F%2Fa%2Eexample%2Fx"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8(row.optimizer));
    ASSERT_TRUE(SetHtmlOptimizer(row.optimizer, false));
    EXPECT_EQ(Utf8(OptimizedUrl(row.link)), row.expected);
  }
}

TEST(LocalFilesHooks, WithoutHooksNothingIsQueued) {
  ResetOfflineTaskHooks();
  EXPECT_FALSE(QueueImageTask(u"http://a/x.gif", 1, true, true));
  EXPECT_FALSE(QueueEnclosureTask(u"http://a/x.mp3", 1, 2, true, 0, true));
  EXPECT_FALSE(CancelTaskByLabel(u"http://a/x.mp3"));
  int calls = 0;
  OfflineTaskHooks hooks;
  hooks.queueEnclosure = [&](std::u16string_view, uint32_t channelId, uint32_t key, bool, int32_t,
                             bool) {
    ++calls;
    return channelId == 1 && key == 2;
  };
  SetOfflineTaskHooks(hooks);
  EXPECT_TRUE(QueueEnclosureTask(u"http://a/x.mp3", 1, 2, true, 0, true));
  EXPECT_FALSE(QueueImageTask(u"http://a/x.gif", 1, true, true));  // that hook is not set
  ResetOfflineTaskHooks();
  EXPECT_FALSE(QueueEnclosureTask(u"http://a/x.mp3", 1, 2, true, 0, true));
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace nubrel
