// Opening files with the wait for a storage card that is not ready yet.
#include "shared/file_open.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "temp_device.h"

namespace nubrel {
namespace {

class SharedOpenFileWithRetryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    SetOpenRetrySleepForTests([this](uint32_t ms) {
      waits_.push_back(ms);
      if (onWait_) onWait_(waits_.size());
    });
  }
  void TearDown() override { SetOpenRetrySleepForTests(nullptr); }

  testing::TempDevice device_;
  std::vector<uint32_t> waits_;                // every wait asked for, in order
  std::function<void(size_t waitNumber)> onWait_;  // what the world does during a wait
};

TEST_F(SharedOpenFileWithRetryTest, GivesUpAfterFourLooksAtACardThatStaysAway) {
  device_.ConfigureMissingCard();
  platform::DeviceError error = 0;
  platform::FileHandle file =
      OpenFileWithRetry(u"\\StorageCard\\Channels\\myChannels.opml", platform::kAccessRead,
                        platform::kShareRead, platform::Disposition::kOpenExisting,
                        platform::kFileAttributeNormal, &error);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(error, platform::kErrorStorageNotReady);
  EXPECT_EQ(waits_, (std::vector<uint32_t>{2000, 2000, 2000}));
}

TEST_F(SharedOpenFileWithRetryTest, OpensOnceTheCardAppears) {
  const std::string card = device_.ConfigureMissingCard();
  onWait_ = [&](size_t waitNumber) {
    if (waitNumber == 2) testing::WriteHostFile(card + "/Channels/myChannels.opml", "<opml/>");
  };
  platform::DeviceError error = 999;
  platform::FileHandle file =
      OpenFileWithRetry(u"\\StorageCard\\Channels\\myChannels.opml", platform::kAccessRead,
                        platform::kShareRead, platform::Disposition::kOpenExisting,
                        platform::kFileAttributeNormal, &error);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(error, platform::kErrorSuccess);
  EXPECT_EQ(waits_, (std::vector<uint32_t>{2000, 2000}));
  char bytes[16] = {};
  size_t read = 0;
  ASSERT_EQ(platform::ReadFile(file, bytes, sizeof bytes, read), platform::kErrorSuccess);
  EXPECT_EQ(std::string(bytes, read), "<opml/>");
}

TEST_F(SharedOpenFileWithRetryTest, OnlyNotReadyIsWaitedFor) {
  testing::WriteHostFile(device_.Host("there.txt"), "x");
  struct Row {
    std::u16string_view path;
    platform::Disposition disposition;
    platform::DeviceError expected;
  } rows[] = {
      {u"\\there.txt", platform::Disposition::kOpenExisting, platform::kErrorSuccess},
      {u"\\missing.txt", platform::Disposition::kOpenExisting, platform::kErrorFileNotFound},
      {u"\\missing.txt", platform::Disposition::kCreateNew, platform::kErrorSuccess},
      {u"\\no\\folder.txt", platform::Disposition::kOpenAlways, platform::kErrorPathNotFound},
      {u"\\StorageCard\\x.txt", platform::Disposition::kOpenAlways, platform::kErrorPathNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    waits_.clear();
    platform::DeviceError error = 999;
    platform::FileHandle file =
        OpenFileWithRetry(row.path, platform::kAccessRead | platform::kAccessWrite,
                          platform::kShareNone, row.disposition, platform::kFileAttributeNormal,
                          &error);
    EXPECT_EQ(error, row.expected);
    EXPECT_EQ(file.IsOpen(), row.expected == platform::kErrorSuccess);
    EXPECT_TRUE(waits_.empty());
  }
}

}  // namespace
}  // namespace nubrel
