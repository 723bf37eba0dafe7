// The pictures of an item's body: resolving their addresses, deleting the stored ones, and
// queueing the missing ones with tracking pixels and non-pictures left out.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/item_test_support.h"
#include "offline/image_files.h"
#include "offline/local_files.h"

namespace nubrel {
namespace {

using testing::ChannelTest;

std::string Utf8(const std::u16string& text) { return platform::ToUtf8(text); }

TEST(ImageFilesResolve, AgainstTheItemsAddress) {
  const std::u16string base = u"http://a.example/news/2024/story.html?id=7#top";
  struct Row {
    const char16_t* reference;
    const char* expected;
  };
  const std::vector<Row> rows = {
      {u"https://cdn.example/x.png", "https://cdn.example/x.png"},
      {u"//cdn.example/x.png", "http://cdn.example/x.png"},
      {u"/img/x.png", "http://a.example/img/x.png"},
      {u"x.png", "http://a.example/news/2024/x.png"},
      {u"../x.png?s=1", "http://a.example/news/x.png?s=1"},
      {u"./a/./b/../x.png", "http://a.example/news/2024/a/x.png"},
      {u"../../../../x.png", "http://a.example/x.png"},  // never above the root
      {u"?page=2", "http://a.example/news/2024/story.html?page=2"},
      {u"#part", "http://a.example/news/2024/story.html?id=7#part"},
      {u"  x.png \n", "http://a.example/news/2024/x.png"},
      {u"data:image/gif;base64,R0lG", "data:image/gif;base64,R0lG"},
      {u"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Utf8(row.reference));
    EXPECT_EQ(Utf8(ResolveAgainst(base, row.reference)), row.expected);
  }
  EXPECT_EQ(Utf8(ResolveAgainst(u"http://a.example", u"x.png")), "http://a.example/x.png");
  EXPECT_EQ(Utf8(ResolveAgainst(u"", u"x.png")), "x.png");
  EXPECT_EQ(Utf8(ResolveAgainst(u"not an address", u"x.png")), "x.png");
}

class ImageFilesScan : public ChannelTest {
 protected:
  std::u16string Stored(const char16_t* url) { return LocalPathFor(channel_, url, kLocalImage); }
};

TEST_F(ImageFilesScan, DeleteModeRemovesEveryPictureTheBodyShows) {
  const std::u16string body =
      u"<p>Text <img src=\"/a.png\"> <IMG SRC='b.jpg?w=1&amp;h=2' width=1 height=1>"
      u"<img alt=\"no source\"><img src><script>document.write('<img src=\"/s.gif\">')</script>"
      u"<img src=\"http://tracker.example/p\" style=\"display:none\"></p>";
  const std::vector<std::u16string> gone = {Stored(u"http://a.example/a.png"),
                                            Stored(u"http://a.example/news/b.jpg?w=1&h=2"),
                                            Stored(u"http://tracker.example/p")};
  const std::vector<std::u16string> staying = {Stored(u"http://a.example/s.gif"),
                                               Stored(u"http://a.example/other.png")};
  for (const auto& path : gone) PutFile(path);
  for (const auto& path : staying) PutFile(path);
  EXPECT_EQ(ScanItemImages(body, u"http://a.example/news/item.html", channel_,
                           ImageScanMode::kDelete),
            3);
  for (const auto& path : gone) EXPECT_FALSE(Exists(path)) << Utf8(path);
  for (const auto& path : staying) EXPECT_TRUE(Exists(path)) << Utf8(path);
  EXPECT_EQ(ScanItemImages(body, u"http://a.example/news/item.html", nullptr,
                           ImageScanMode::kDelete),
            0);
}

TEST_F(ImageFilesScan, QueueModeSkipsTrackersNonPicturesAndStoredFiles) {
  std::vector<std::string> queued;
  OfflineTaskHooks hooks;
  hooks.queueImage = [&](std::u16string_view url, uint32_t channelId, bool, bool) {
    EXPECT_EQ(channelId, channel_->id.load());
    queued.push_back(platform::ToUtf8(url));
    return true;
  };
  SetOfflineTaskHooks(hooks);
  PutFile(Stored(u"http://a.example/stored.gif"));
  const std::u16string body =
      u"<img src=\"/new.gif\"><img src=\"/stored.gif\">"
      u"<img src=\"/pixel.gif\" width=\"1\" height=\"1\">"
      u"<img src=\"/wide.gif\" width=\"1\" height=\"20\">"
      u"<img src=\"/hidden.png\" style=\"display:none\">"
      u"<img src=\"/flat.png\" style=\"border:0;height:1px\">"
      u"<img src=\"/render?id=4\">";
  struct Row {
    const char* name;
    bool filterImages;
    std::vector<std::string> expected;
  };
  const std::vector<Row> rows = {
      {"filter on", true, {"http://a.example/new.gif", "http://a.example/wide.gif"}},
      {"filter off lets addresses without a picture type through",
       false,
       {"http://a.example/new.gif", "http://a.example/wide.gif", "http://a.example/render?id=4"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    queued.clear();
    channel_->state->filterImages = row.filterImages ? 1 : 0;
    EXPECT_EQ(ScanItemImages(body, u"http://a.example/", channel_, ImageScanMode::kQueue),
              static_cast<int>(row.expected.size()));
    EXPECT_EQ(queued, row.expected);
  }
}

}  // namespace
}  // namespace nubrel
