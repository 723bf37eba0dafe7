// An item's enclosure file: stored or not, deletion, queueing and cancelling through the hooks,
// the MIME command lookup and launching.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "feeds/item_list.h"
#include "feeds/item_test_support.h"
#include "offline/enclosure_files.h"
#include "offline/local_files.h"
#include "platform/processes.h"
#include "platform/registry.h"

namespace nubrel {
namespace {

using testing::ChannelTest;
using testing::Item;
using testing::Utf8;

constexpr const char16_t* kMediaUrl = u"http://media.example/show/ep1.mp3";

class EnclosureFiles : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    list_ = ChannelList();
    auto item = Item(u"episode", 100);
    item->enclosure = new Enclosure;
    item->enclosure->url = kMediaUrl;
    item->enclosure->type = u"audio/mpeg";
    item_ = insertItem(list_.get(), std::move(item));
    path_ = enclosureLocalPath(item_);
    ASSERT_FALSE(path_.empty());
  }
  void TearDown() override {
    platform::SetHostToolOverride("xdg-open", "");
    platform::CloseRegistry();
    platform::SetRegistryMimeTypesFile("/etc/mime.types");
    ChannelTest::TearDown();
  }

  std::unique_ptr<ItemList> list_;
  FeedItem* item_ = nullptr;
  std::u16string path_;
};

TEST_F(EnclosureFiles, StoredNeedsAChannelAFileAndNoPendingDownload) {
  EXPECT_EQ(Utf8(path_), Utf8(LocalPathFor(channel_, kMediaUrl, kLocalPodcast)));
  struct Row {
    const char* name;
    int32_t state;
    bool filePresent;
    bool inChannel;
    bool stored;
  };
  const std::vector<Row> rows = {
      {"retrieved and there", kEnclosureRetrieved, true, true, true},
      {"state says nothing, the file decides", kEnclosureNotRetrieved, true, true, true},
      {"pending", kEnclosurePending, true, true, false},
      {"no file", kEnclosureRetrieved, false, true, false},
      {"no channel", kEnclosureRetrieved, true, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    item_->enclosure->state = row.state;
    if (row.filePresent) {
      PutFile(path_);
    } else {
      platform::DeleteFile(path_);
    }
    list_->channel = row.inChannel ? channel_ : nullptr;
    EXPECT_EQ(IsEnclosureStored(item_), row.stored);
    EXPECT_EQ(enclosureRetrieved(item_), row.stored);
  }
}

TEST_F(EnclosureFiles, DeleteRemovesTheFileAndSetsDeleted) {
  PutFile(path_);
  item_->enclosure->state = kEnclosureRetrieved;
  list_->dirty = false;
  EXPECT_TRUE(DeleteEnclosure(item_));
  EXPECT_FALSE(Exists(path_));
  EXPECT_EQ(getEnclosureState(item_), kEnclosureDeleted);
  EXPECT_TRUE(list_->dirty);
  EXPECT_FALSE(DeleteEnclosure(item_));  // nothing left to delete
  auto plain = Item(u"no enclosure", 1);
  EXPECT_FALSE(DeleteEnclosure(plain.get()));
  EXPECT_EQ(plain->enclosure, nullptr);
}

TEST_F(EnclosureFiles, FetchAndCancelGoThroughTheQueue) {
  // No queue yet: nothing is queued and the state does not pretend otherwise.
  EXPECT_FALSE(FetchEnclosure(item_));
  EXPECT_EQ(getEnclosureState(item_), kEnclosureNotRetrieved);

  bool accept = false;
  std::vector<std::string> queued, cancelled;
  OfflineTaskHooks hooks;
  hooks.queueEnclosure = [&](std::u16string_view url, uint32_t channelId, uint32_t key,
                             bool conditional, int32_t limit, bool) {
    EXPECT_EQ(channelId, channel_->id.load());
    EXPECT_EQ(key, itemKey(item_));
    EXPECT_TRUE(conditional);
    EXPECT_EQ(limit, 0);  // the user's request has no size limit
    queued.push_back(platform::ToUtf8(url));
    return accept;
  };
  hooks.cancelByLabel = [&](std::u16string_view url) { cancelled.push_back(platform::ToUtf8(url)); };
  SetOfflineTaskHooks(hooks);

  EXPECT_FALSE(FetchEnclosure(item_));  // refused by the queue
  EXPECT_EQ(getEnclosureState(item_), kEnclosureNotRetrieved);
  accept = true;
  EXPECT_TRUE(FetchEnclosure(item_));
  EXPECT_EQ(getEnclosureState(item_), kEnclosurePending);
  EXPECT_FALSE(FetchEnclosure(item_));  // already pending
  EXPECT_EQ(queued.size(), 2u);

  EXPECT_TRUE(CancelEnclosure(item_));
  EXPECT_EQ(getEnclosureState(item_), kEnclosureError);
  EXPECT_EQ(Utf8(item_->enclosure->stateText), "Aborted by user");
  EXPECT_EQ(cancelled, std::vector<std::string>{platform::ToUtf8(kMediaUrl)});
  EXPECT_FALSE(CancelEnclosure(item_));  // no longer pending

  list_->channel = nullptr;
  EXPECT_FALSE(FetchEnclosure(item_));  // no channel to file it under
}

TEST_F(EnclosureFiles, MimeCommandWalksTheClassesRoot) {
  const std::string mimeTypes = device_.base() + "/mime.types";
  testing::WriteHostFile(mimeTypes, "audio/mpeg\t\tmp3 mpga\nvideo/mp4\t\tmp4\n");
  platform::SetRegistryMimeTypesFile(mimeTypes);
  EXPECT_EQ(Utf8(MimeCommand(u"audio/mpeg", u"\\Shell\\Open\\Command")), "xdg-open \"%1\"");
  EXPECT_FALSE(MimeCommand(u"audio/unknown", u"\\Shell\\Open\\Command").has_value());
  EXPECT_FALSE(MimeCommand(u"", u"\\Shell\\Open\\Command").has_value());
  EXPECT_FALSE(MimeCommand(u"audio/mpeg", u"\\Shell\\Print\\Command").has_value());

  // A stored registration hides the host's answer.
  platform::RegistryKey key;
  ASSERT_EQ(platform::RegistryCreateKey(platform::RegistryRoot::kClassesRoot,
                                        u"mp4_auto_file\\Shell\\Open\\Command", key),
            0);
  ASSERT_EQ(platform::RegistryWriteText(key, u"", u"\\Windows\\player.exe /play %1"), 0);
  EXPECT_EQ(Utf8(MimeCommand(u"video/mp4", u"\\Shell\\Open\\Command")),
            "\\Windows\\player.exe /play %1");
}

// The shell opener is replaced by a script that records its arguments.
TEST_F(EnclosureFiles, LaunchOpensTheFileElseStreamsTheAddress) {
  const std::string calls = device_.base() + "/opened.txt";
  const std::string opener = device_.base() + "/opener.sh";
  testing::WriteHostFile(opener, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + calls + "'\n");
  ::chmod(opener.c_str(), 0755);
  platform::SetHostToolOverride("xdg-open", opener);
  const std::string mimeTypes = device_.base() + "/mime.types";
  testing::WriteHostFile(mimeTypes, "audio/mpeg\t\tmp3\n");
  platform::SetRegistryMimeTypesFile(mimeTypes);

  auto waitForLines = [&](size_t lines) {
    std::string text;
    for (int i = 0; i < 100; ++i) {  // at most 5 s
      text = testing::ReadHostFile(calls);
      if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return text;
  };

  // Not stored: the address goes to the registered command, a quote in it escaped.
  item_->enclosure->url = u"http://media.example/a.mp3?t=\" --x";
  ASSERT_EQ(LaunchEnclosure(item_), 0);
  EXPECT_EQ(waitForLines(1), "http://media.example/a.mp3?t=%22 --x\n");

  // Stored: the file itself, as a host file address.
  const std::u16string stored = enclosureLocalPath(item_);
  PutFile(stored);
  ASSERT_EQ(LaunchEnclosure(item_), 0);
  const std::string text = waitForLines(2);
  std::string host;
  ASSERT_EQ(platform::HostPathFor(stored, host), 0);
  EXPECT_NE(text.find(host.substr(host.rfind('/') + 1)), std::string::npos) << text;

  // Nothing registered for the type: nothing starts.
  platform::DeleteFile(stored);
  item_->enclosure->type = u"audio/unknown";
  EXPECT_NE(LaunchEnclosure(item_), 0);
}

}  // namespace
}  // namespace nubrel
