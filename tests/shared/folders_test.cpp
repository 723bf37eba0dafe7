// Folder creation along device paths, with the storage card's mount point never made.
#include "shared/folders.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/utf.h"
#include "shared/text.h"
#include "temp_device.h"

namespace nubrel {
namespace {

using testing::HostEntries;
using testing::HostExists;
using testing::HostIsFolder;

class SharedEnsureFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(device_.valid()); }

  // Whether the device root holds anything named like the card's mount point, in any case.
  bool RootHoldsStorageCardFolder() const {
    for (const std::string& name : HostEntries(device_.root())) {
      if (EqualsNoCase(platform::FromUtf8(name), u"StorageCard")) return true;
    }
    return false;
  }

  testing::TempDevice device_;
};

TEST_F(SharedEnsureFoldersTest, CreatesEveryMissingFolderFromTheLeft) {
  struct Row {
    std::u16string_view path;
    bool forFile;
    std::vector<std::string> folders;  // host folders that must exist afterwards
    std::vector<std::string> absent;   // host names that must not exist
  } rows[] = {
      {u"\\a\\b\\c\\", false, {"a", "a/b", "a/b/c"}, {}},
      {u"\\d\\e", false, {"d", "d/e"}, {}},                       // the last component too
      {u"\\f\\g\\file.txt", true, {"f", "f/g"}, {"f/g/file.txt"}},  // not the file name
      {u"file.txt", true, {}, {"file.txt"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    platform::DeviceError error = 999;
    const bool ok = row.forFile ? EnsureFoldersForFile(row.path, &error)
                                : EnsureFolders(row.path, &error);
    EXPECT_TRUE(ok);
    EXPECT_EQ(error, platform::kErrorSuccess);
    for (const std::string& folder : row.folders) EXPECT_TRUE(HostIsFolder(device_.Host(folder))) << folder;
    for (const std::string& name : row.absent) EXPECT_FALSE(HostExists(device_.Host(name))) << name;
  }
  // Everything there already: nothing to create counts as success.
  EXPECT_TRUE(EnsureFolders(u"\\a\\b\\c\\"));
  EXPECT_TRUE(EnsureFolders(u"\\A\\B\\"));  // the device matches folders without regard to case
  EXPECT_FALSE(HostExists(device_.Host("A")));
}

TEST_F(SharedEnsureFoldersTest, NeverCreatesTheStorageCardMountPoint) {
  struct Row {
    std::u16string_view path;
    bool expected;  // the outcome of the last creation attempted
  } rows[] = {
      {u"\\StorageCard\\x\\", false},   // "\StorageCard\x" is attempted and cannot be made
      {u"\\storagecard\\", true},       // nothing attempted at all
      {u"\\STORAGECARD\\Channels\\feeds\\", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    platform::DeviceError error = 999;
    EXPECT_EQ(EnsureFolders(row.path, &error), row.expected);
    EXPECT_EQ(error == platform::kErrorSuccess, row.expected);
    EXPECT_FALSE(RootHoldsStorageCardFolder());
  }
}

TEST_F(SharedEnsureFoldersTest, MakesFoldersOnACardThatIsThere) {
  const std::string card = device_.ConfigureMissingCard();
  platform::DeviceError error = 0;
  EXPECT_FALSE(EnsureFolders(u"\\StorageCard\\Channels\\", &error));
  EXPECT_EQ(error, platform::kErrorStorageNotReady);
  EXPECT_FALSE(HostExists(card));  // the missing card was not made up from a folder

  ASSERT_TRUE(std::filesystem::create_directory(card));
  EXPECT_TRUE(EnsureFolders(u"\\StorageCard\\Channels\\Tech\\", &error));
  EXPECT_EQ(error, platform::kErrorSuccess);
  EXPECT_TRUE(HostIsFolder(card + "/Channels/Tech"));
  EXPECT_FALSE(RootHoldsStorageCardFolder());
}

TEST_F(SharedEnsureFoldersTest, ReportsTheErrorOfAFailedCreation) {
  testing::WriteHostFile(device_.Host("plain/file.txt"), "x");
  struct Row {
    std::u16string_view path;
  } rows[] = {
      {u"\\plain\\file.txt\\sub\\"},         // a file stands where a folder should be
      {u"\\Program Files\\Nubrel\\new\\"},  // the program's folder is read-only
      {u"\\bad|name\\"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    platform::DeviceError error = 0;
    EXPECT_FALSE(EnsureFolders(row.path, &error));
    EXPECT_NE(error, platform::kErrorSuccess);
  }
  EXPECT_TRUE(HostIsFolder(device_.Host("plain")));
  EXPECT_EQ(testing::ReadHostFile(device_.Host("plain/file.txt")), "x");
  EXPECT_TRUE(testing::HostEntries(device_.base() + "/program").empty());
}

class SharedRemoveFolderTreeTest : public SharedEnsureFoldersTest {};

TEST_F(SharedRemoveFolderTreeTest, RemovesEverythingBelowAndOnlyThat) {
  testing::WriteHostFile(device_.Host("store/chan/chan.xml"), "<rss/>");
  testing::WriteHostFile(device_.Host("store/chan/image/a.png"), "png");
  testing::WriteHostFile(device_.Host("store/chan/html/deep/p.htm"), "<p/>");
  testing::WriteHostFile(device_.Host("store/chan/locked.txt"), "ro");
  testing::WriteHostFile(device_.Host("store/chan-other/keep.xml"), "keep");
  std::filesystem::create_directories(device_.Host("store/chan/empty"));
  ASSERT_EQ(platform::SetFileAttributes(u"\\store\\chan\\locked.txt",
                                        platform::kFileAttributeReadOnly),
            platform::kErrorSuccess);

  EXPECT_EQ(RemoveFolderTree(u"\\store\\chan\\"), platform::kErrorSuccess);
  EXPECT_FALSE(HostExists(device_.Host("store/chan")));
  EXPECT_TRUE(HostExists(device_.Host("store/chan-other/keep.xml")));
  EXPECT_TRUE(HostIsFolder(device_.Host("store")));
}

TEST_F(SharedRemoveFolderTreeTest, RefusesWhatIsNotAFolderBelowTheRoot) {
  testing::WriteHostFile(device_.Host("file.txt"), "x");
  struct Row {
    std::u16string_view path;
    platform::DeviceError error;
  } rows[] = {
      {u"", platform::kErrorInvalidParameter},
      {u"\\", platform::kErrorInvalidParameter},
      {u"\\file.txt", platform::kErrorDirectory},
      {u"\\missing", platform::kErrorFileNotFound},
      {u"\\missing\\deeper\\", platform::kErrorPathNotFound},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    EXPECT_EQ(RemoveFolderTree(row.path), row.error);
  }
  EXPECT_EQ(testing::ReadHostFile(device_.Host("file.txt")), "x");
}

}  // namespace
}  // namespace nubrel
