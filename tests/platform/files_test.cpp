// The files service over a temporary device root: paths and mounts, the file and folder
// operations, enumeration, attributes, times, share modes (in this process and across a child
// process), the storage card's three states, names without regard to case, and a full disk.
#include "platform/files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/device.h"
#include "platform/utf.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

std::string HostRead(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void HostWrite(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool HostExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

DeviceError PutFile(std::u16string_view path, const std::string& text) {
  DeviceError err = kErrorSuccess;
  FileHandle file = OpenFile(path, kAccessWrite, kShareNone, Disposition::kCreateAlways,
                             kFileAttributeNormal, &err);
  if (err) return err;
  return WriteFile(file, text.data(), text.size());
}

std::string GetFile(std::u16string_view path, DeviceError* error = nullptr) {
  DeviceError err = kErrorSuccess;
  FileHandle file = OpenFile(path, kAccessRead, kShareRead, Disposition::kOpenExisting,
                             kFileAttributeNormal, &err);
  std::string text;
  char buffer[256];
  size_t got = 0;
  while (!err && (err = ReadFile(file, buffer, sizeof buffer, got)) == kErrorSuccess && got > 0)
    text.append(buffer, got);
  if (error) *error = err;
  return text;
}

uint32_t AttributesOf(std::u16string_view path) {
  uint32_t attributes = 0;
  EXPECT_EQ(GetFileAttributes(path, attributes), kErrorSuccess) << ToUtf8(path);
  return attributes;
}

std::vector<std::string> Names(const std::vector<FindData>& entries) {
  std::vector<std::string> names;
  for (const auto& entry : entries) names.push_back(ToUtf8(entry.name));
  std::sort(names.begin(), names.end());
  return names;
}

// A device root, a read-only program folder and (when a test asks) a storage card, all in one
// temporary folder that is removed afterwards.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/nubrel-files-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    base_ = folder;
    root_ = base_ + "/root";
    program_ = base_ + "/program";
    ASSERT_EQ(::mkdir(root_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(program_.c_str(), 0755), 0);
    HostWrite(program_ + "/Default.theme", "shipped theme");
    UseCard("");
  }

  void TearDown() override {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(base_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
      if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(base_, ignored);
  }

  void UseCard(const std::string& hostFolder) {
    DeviceConfig config;
    config.root = root_;
    config.programFolder = program_;
    config.storageCard = hostFolder;
    SetDeviceConfig(config);
  }

  std::string base_, root_, program_;
};

// ---- Paths ----

using FilesPathsTest = FilesTest;

TEST_F(FilesPathsTest, RefusesNamesThatCouldLeaveTheirFolder) {
  ASSERT_EQ(::symlink(base_.c_str(), (root_ + "/outside").c_str()), 0);
  const std::u16string nul(u"\\a\0b", 4);
  const std::u16string rows[] = {
      u"\\..\\escape.txt", u"\\a\\..\\..\\escape.txt", u"\\.\\escape.txt", u"\\..",
      u"\\a/b", u"\\a/../../escape.txt", u"\\a\x01z", u"\\a\tz", nul,
      u"\\a<b", u"\\a>b", u"\\a:b", u"\\a\"b", u"\\a|b", u"\\a?b", u"\\dir*\\x",
      u"\\outside\\escape.txt", u"\\outside", u"\\Program Files\\Nubrel\\..\\..\\escape.txt",
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row));
    std::string host;
    EXPECT_EQ(HostPathFor(row, host), kErrorInvalidName);
    DeviceError err = kErrorSuccess;
    FileHandle file = OpenFile(row, kAccessWrite, kShareNone, Disposition::kCreateAlways,
                               kFileAttributeNormal, &err);
    EXPECT_EQ(err, kErrorInvalidName);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(CreateFolder(row), kErrorInvalidName);
  }
  EXPECT_FALSE(HostExists(base_ + "/escape.txt"));
  EXPECT_FALSE(HostExists(fs::path(base_).parent_path().string() + "/escape.txt"));
  std::vector<FindData> entries;
  EXPECT_EQ(FindFiles(u"\\*", entries), kErrorFileNotFound) << "a link is never listed";
}

TEST_F(FilesPathsTest, MapsMountsAndCollapsesSeparators) {
  struct Row {
    std::u16string device;
    std::string host;
  } rows[] = {
      {u"\\My Documents\\a.txt", root_ + "/My Documents/a.txt"},
      {u"My Documents\\\\\\a.txt", root_ + "/My Documents/a.txt"},
      {u"\\\\My Documents\\", root_ + "/My Documents"},
      {u"\\", root_},
      {u"\\Program Files\\Nubrel\\Default.theme", program_ + "/Default.theme"},
      {u"\\program files\\NUBREL\\default.THEME", program_ + "/Default.theme"},
      {u"\\Program Files\\Other\\x.exe", root_ + "/Program Files/Other/x.exe"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.device));
    std::string host;
    EXPECT_EQ(HostPathFor(row.device, host), kErrorSuccess);
    EXPECT_EQ(host, row.host);
  }
  std::string host;
  EXPECT_EQ(HostPathFor(u"\\Program Files\\Nubrel\\Default.theme", host, true), kErrorAccessDenied);
  EXPECT_EQ(HostPathFor(u"", host), kErrorPathNotFound);
  EXPECT_EQ(SpecialFolderPath(5), u"\\My Documents");
  EXPECT_EQ(SpecialFolderPath(38), u"\\Program Files");
  EXPECT_EQ(SpecialFolderPath(1234), u"");
}

TEST_F(FilesPathsTest, PrivateFolderIsNeitherListedNorReachable) {
  std::vector<FindData> entries;
  EXPECT_EQ(FindFiles(u"\\*", entries), kErrorFileNotFound);
  EXPECT_EQ(PutFile(u"\\.device\\device.conf", "clobbered"), kErrorAccessDenied);
  EXPECT_EQ(PutFile(u"\\.DEVICE\\device.conf", "clobbered"), kErrorAccessDenied);
  EXPECT_EQ(RemoveFolder(u"\\.device\\run"), kErrorAccessDenied);
  EXPECT_TRUE(HostExists(root_ + "/.device/run"));
}

// ---- Files ----

TEST_F(FilesTest, CreatesWritesSeeksReadsAndTruncates) {
  ASSERT_EQ(CreateFolder(u"\\My Documents"), kErrorSuccess);
  DeviceError err = kErrorSuccess;
  FileHandle file = OpenFile(u"\\My Documents\\a.txt", kAccessRead | kAccessWrite, kShareNone,
                             Disposition::kCreateNew, kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  ASSERT_EQ(WriteFile(file, "hello world", 11), kErrorSuccess);
  uint64_t size = 0, position = 0;
  EXPECT_EQ(GetFileSize(file, size), kErrorSuccess);
  EXPECT_EQ(size, 11u);
  EXPECT_EQ(SeekFile(file, -5, SeekOrigin::kEnd, &position), kErrorSuccess);
  EXPECT_EQ(position, 6u);
  char buffer[16] = {};
  size_t got = 0;
  EXPECT_EQ(ReadFile(file, buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(std::string(buffer, got), "world");
  EXPECT_EQ(ReadFile(file, buffer, sizeof buffer, got), kErrorSuccess);
  EXPECT_EQ(got, 0u) << "at the end a read succeeds with nothing";
  EXPECT_EQ(SeekFile(file, -1, SeekOrigin::kBegin), kErrorInvalidParameter);
  EXPECT_EQ(SeekFile(file, 5, SeekOrigin::kBegin), kErrorSuccess);
  EXPECT_EQ(SetEndOfFile(file), kErrorSuccess);
  EXPECT_EQ(FlushFile(file), kErrorSuccess);
  file.Close();
  EXPECT_EQ(HostRead(root_ + "/My Documents/a.txt"), "hello");

  struct Row {
    const char* what;
    Disposition disposition;
    std::u16string path;
    DeviceError expected;
    const char* contentAfter;  // nullptr: the file must not exist afterwards
  } rows[] = {
      {"create-new on an existing file", Disposition::kCreateNew, u"\\My Documents\\a.txt", kErrorFileExists, "hello"},
      {"open-always keeps the content", Disposition::kOpenAlways, u"\\My Documents\\a.txt", kErrorSuccess, "hello"},
      {"open-existing on a missing file", Disposition::kOpenExisting, u"\\My Documents\\b.txt", kErrorFileNotFound, nullptr},
      {"truncate-existing on a missing file", Disposition::kTruncateExisting, u"\\My Documents\\b.txt", kErrorFileNotFound, nullptr},
      {"a missing folder on the way", Disposition::kCreateAlways, u"\\Nowhere\\b.txt", kErrorPathNotFound, nullptr},
      {"a file used as a folder", Disposition::kCreateAlways, u"\\My Documents\\a.txt\\b.txt", kErrorPathNotFound, nullptr},
      {"a folder opened as a file", Disposition::kOpenExisting, u"\\My Documents", kErrorAccessDenied, nullptr},
      {"truncate-existing empties", Disposition::kTruncateExisting, u"\\My Documents\\a.txt", kErrorSuccess, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    FileHandle other = OpenFile(row.path, kAccessWrite, kShareNone, row.disposition,
                                kFileAttributeNormal, &err);
    EXPECT_EQ(err, row.expected);
    EXPECT_EQ(other.IsOpen(), row.expected == kErrorSuccess);
    other.Close();
    if (row.contentAfter) {
      EXPECT_EQ(GetFile(row.path), row.contentAfter);
    } else if (row.path != u"\\My Documents") {
      uint32_t attributes = 0;
      EXPECT_NE(GetFileAttributes(row.path, attributes), kErrorSuccess);
    }
  }
}

TEST_F(FilesTest, HandlesRefuseWhatTheyWereNotOpenedFor) {
  ASSERT_EQ(PutFile(u"\\a.txt", "data"), kErrorSuccess);
  DeviceError err = kErrorSuccess;
  FileHandle reader = OpenFile(u"\\a.txt", kAccessRead, kShareRead | kShareWrite,
                               Disposition::kOpenExisting, kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(WriteFile(reader, "x", 1), kErrorAccessDenied);
  EXPECT_EQ(SetEndOfFile(reader), kErrorAccessDenied);
  FileHandle writer = OpenFile(u"\\a.txt", kAccessWrite, kShareRead | kShareWrite,
                               Disposition::kOpenExisting, kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  char c;
  size_t got = 0;
  EXPECT_EQ(ReadFile(writer, &c, 1, got), kErrorAccessDenied);
  FileHandle closed;
  EXPECT_EQ(ReadFile(closed, &c, 1, got), kErrorInvalidHandle);
  EXPECT_EQ(WriteFile(closed, "x", 1), kErrorInvalidHandle);
  FileHandle moved = std::move(writer);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(WriteFile(moved, "D", 1), kErrorSuccess);
  EXPECT_EQ(HostRead(root_ + "/a.txt"), "Data");
  EXPECT_EQ(OpenFile(u"\\a.txt", 0x8, kShareNone, Disposition::kOpenExisting, 0, &err).IsOpen(), false);
  EXPECT_EQ(err, kErrorInvalidParameter);
}

TEST_F(FilesTest, MovesCopiesAndDeletes) {
  ASSERT_EQ(PutFile(u"\\a.txt", "alpha"), kErrorSuccess);
  ASSERT_EQ(PutFile(u"\\b.txt", "beta"), kErrorSuccess);
  ASSERT_EQ(CreateFolder(u"\\Sub"), kErrorSuccess);

  EXPECT_EQ(MoveFile(u"\\a.txt", u"\\b.txt"), kErrorAlreadyExists);
  EXPECT_EQ(GetFile(u"\\b.txt"), "beta");
  EXPECT_EQ(MoveFile(u"\\a.txt", u"\\Sub\\a2.txt"), kErrorSuccess);
  EXPECT_EQ(GetFile(u"\\Sub\\a2.txt"), "alpha");
  EXPECT_FALSE(HostExists(root_ + "/a.txt"));
  EXPECT_EQ(MoveFile(u"\\Sub\\a2.txt", u"\\b.txt", true), kErrorSuccess);
  EXPECT_EQ(GetFile(u"\\b.txt"), "alpha");
  EXPECT_EQ(MoveFile(u"\\b.txt", u"\\B.TXT"), kErrorSuccess) << "a change of case only";
  EXPECT_TRUE(HostExists(root_ + "/B.TXT"));
  EXPECT_FALSE(HostExists(root_ + "/b.txt"));
  EXPECT_EQ(MoveFile(u"\\Sub", u"\\Sub2"), kErrorSuccess) << "folders move too";
  EXPECT_EQ(MoveFile(u"\\missing.txt", u"\\c.txt"), kErrorFileNotFound);
  EXPECT_EQ(MoveFile(u"\\Nowhere\\x.txt", u"\\c.txt"), kErrorPathNotFound);
  EXPECT_EQ(MoveFile(u"\\B.TXT", u"\\Nowhere\\x.txt"), kErrorPathNotFound);

  const FileTime written = FileTimeFromUnix(1'000'000'000, 0);
  ASSERT_EQ(SetFileTimes(u"\\B.TXT", nullptr, nullptr, &written), kErrorSuccess);
  ASSERT_EQ(SetFileAttributes(u"\\B.TXT", kFileAttributeHidden), kErrorSuccess);
  EXPECT_EQ(CopyFile(u"\\B.TXT", u"\\Sub2\\copy.txt", true), kErrorSuccess);
  EXPECT_EQ(GetFile(u"\\Sub2\\copy.txt"), "alpha");
  EXPECT_EQ(AttributesOf(u"\\Sub2\\copy.txt"), kFileAttributeHidden);
  FileTime copiedWrite = 0;
  EXPECT_EQ(GetFileTimes(u"\\Sub2\\copy.txt", nullptr, nullptr, &copiedWrite), kErrorSuccess);
  EXPECT_EQ(copiedWrite, written);
  ASSERT_EQ(PutFile(u"\\Sub2\\other.txt", "other"), kErrorSuccess);
  EXPECT_EQ(CopyFile(u"\\Sub2\\other.txt", u"\\Sub2\\copy.txt", true), kErrorFileExists);
  EXPECT_EQ(GetFile(u"\\Sub2\\copy.txt"), "alpha");
  EXPECT_EQ(CopyFile(u"\\Sub2\\other.txt", u"\\Sub2\\copy.txt", false), kErrorSuccess);
  EXPECT_EQ(GetFile(u"\\Sub2\\copy.txt"), "other");
  EXPECT_EQ(CopyFile(u"\\Sub2\\copy.txt", u"\\Sub2\\copy.txt", false), kErrorSharingViolation);
  EXPECT_EQ(CopyFile(u"\\missing.txt", u"\\x.txt", false), kErrorFileNotFound);
  std::vector<FindData> entries;
  EXPECT_EQ(FindFiles(u"\\Sub2\\*", entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"copy.txt", "other.txt"}))
      << "no temporary file is left beside the target";

  EXPECT_EQ(DeleteFile(u"\\Sub2\\copy.txt"), kErrorSuccess);
  EXPECT_EQ(DeleteFile(u"\\Sub2\\copy.txt"), kErrorFileNotFound);
  EXPECT_EQ(DeleteFile(u"\\Nowhere\\copy.txt"), kErrorPathNotFound);
  EXPECT_EQ(DeleteFile(u"\\Sub2"), kErrorAccessDenied) << "a folder is not deleted as a file";
  EXPECT_EQ(DeleteFile(u"\\"), kErrorAccessDenied);
}

// ---- Folders ----

TEST_F(FilesTest, CreatesAndRemovesFolders) {
  EXPECT_EQ(CreateFolder(u"\\Channels"), kErrorSuccess);
  EXPECT_EQ(AttributesOf(u"\\Channels"), kFileAttributeDirectory);
  EXPECT_EQ(CreateFolder(u"\\Channels"), kErrorAlreadyExists);
  EXPECT_EQ(CreateFolder(u"\\channels\\"), kErrorAlreadyExists);
  EXPECT_EQ(CreateFolder(u"\\Missing\\Channels"), kErrorPathNotFound);
  ASSERT_EQ(PutFile(u"\\Channels\\item.xml", "x"), kErrorSuccess);
  EXPECT_EQ(RemoveFolder(u"\\Channels"), kErrorDirNotEmpty);
  EXPECT_EQ(RemoveFolder(u"\\Channels\\item.xml"), kErrorDirectory);
  EXPECT_EQ(RemoveFolder(u"\\Gone"), kErrorFileNotFound);
  EXPECT_EQ(RemoveFolder(u"\\"), kErrorAccessDenied);
  EXPECT_EQ(RemoveFolder(u"\\Program Files"), kErrorAccessDenied);
  ASSERT_EQ(DeleteFile(u"\\Channels\\item.xml"), kErrorSuccess);
  EXPECT_EQ(RemoveFolder(u"\\CHANNELS"), kErrorSuccess);
  EXPECT_FALSE(HostExists(root_ + "/Channels"));
}

// ---- Enumeration ----

TEST_F(FilesTest, FindsByPatternWithoutRegardToCase) {
  ASSERT_EQ(CreateFolder(u"\\Themes"), kErrorSuccess);
  for (const char* name : {"a.txt", "B.TXT", "abc.xml", "abd.xml", "noext", ".hidden"})
    HostWrite(root_ + "/Themes/" + name, "12345");
  ASSERT_EQ(::mkdir((root_ + "/Themes/Sub").c_str(), 0755), 0);

  struct Row {
    std::u16string pattern;
    DeviceError expected;
    std::vector<std::string> names;
  } rows[] = {
      {u"\\Themes\\*", kErrorSuccess, {".hidden", "B.TXT", "Sub", "a.txt", "abc.xml", "abd.xml", "noext"}},
      {u"\\Themes\\*.*", kErrorSuccess, {".hidden", "B.TXT", "Sub", "a.txt", "abc.xml", "abd.xml", "noext"}},
      {u"\\themes\\*.txt", kErrorSuccess, {"B.TXT", "a.txt"}},
      {u"\\Themes\\AB?.XML", kErrorSuccess, {"abc.xml", "abd.xml"}},
      {u"\\Themes\\a*c.xml", kErrorSuccess, {"abc.xml"}},
      {u"\\Themes\\a.txt", kErrorSuccess, {"a.txt"}},
      {u"\\Themes\\*.theme", kErrorFileNotFound, {}},
      {u"\\Themes\\", kErrorFileNotFound, {}},
      {u"\\Nowhere\\*", kErrorPathNotFound, {}},
      {u"\\Themes\\a.txt\\*", kErrorPathNotFound, {}},
      {u"\\Th*\\*", kErrorInvalidName, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.pattern));
    std::vector<FindData> entries;
    EXPECT_EQ(FindFiles(row.pattern, entries), row.expected);
    EXPECT_EQ(Names(entries), row.names);
  }

  std::vector<FindData> entries;
  ASSERT_EQ(FindFiles(u"\\Themes\\*", entries), kErrorSuccess);
  for (const auto& entry : entries) {
    SCOPED_TRACE(ToUtf8(entry.name));
    const bool isFolder = entry.name == u"Sub";
    EXPECT_EQ(entry.size, isFolder ? 0u : 5u);
    EXPECT_EQ(entry.attributes & kFileAttributeDirectory, isFolder ? kFileAttributeDirectory : 0u);
    EXPECT_EQ((entry.attributes & kFileAttributeHidden) != 0, entry.name == u".hidden");
    EXPECT_NE(entry.lastWriteTime, 0u);
  }

  // The mount point is listed where it is mounted, whatever the host has there.
  ASSERT_EQ(FindFiles(u"\\Program Files\\*", entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), std::vector<std::string>{"Nubrel"});
  ASSERT_EQ(FindFiles(u"\\Program Files\\Nubrel\\*.theme", entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), std::vector<std::string>{"Default.theme"});
}

// ---- Attributes and times ----

TEST_F(FilesTest, KeepsReadOnlyAndHiddenAttributes) {
  ASSERT_EQ(PutFile(u"\\plain.txt", "x"), kErrorSuccess);
  EXPECT_EQ(AttributesOf(u"\\plain.txt"), kFileAttributeNormal);
  EXPECT_EQ(AttributesOf(u"\\"), kFileAttributeDirectory);

  ASSERT_EQ(SetFileAttributes(u"\\plain.txt", kFileAttributeReadOnly | kFileAttributeHidden), kErrorSuccess);
  EXPECT_EQ(AttributesOf(u"\\plain.txt"), kFileAttributeReadOnly | kFileAttributeHidden);
  DeviceError err = kErrorSuccess;
  EXPECT_FALSE(OpenFile(u"\\plain.txt", kAccessWrite, kShareNone, Disposition::kOpenExisting,
                        kFileAttributeNormal, &err).IsOpen());
  EXPECT_EQ(err, kErrorAccessDenied);
  EXPECT_EQ(PutFile(u"\\plain.txt", "overwritten"), kErrorAccessDenied);
  EXPECT_EQ(DeleteFile(u"\\plain.txt"), kErrorAccessDenied);
  EXPECT_EQ(GetFile(u"\\plain.txt"), "x") << "reading a read-only file works";

  ASSERT_EQ(SetFileAttributes(u"\\plain.txt", kFileAttributeNormal), kErrorSuccess);
  EXPECT_EQ(AttributesOf(u"\\plain.txt"), kFileAttributeNormal);
  EXPECT_EQ(DeleteFile(u"\\plain.txt"), kErrorSuccess);

  // Attributes given at creation; a host-made dotted name is hidden, a dotted file the device
  // made without asking for it is not.
  FileHandle made = OpenFile(u"\\made.txt", kAccessWrite, kShareNone, Disposition::kCreateNew,
                             kFileAttributeHidden | kFileAttributeReadOnly, &err);
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(WriteFile(made, "ok", 2), kErrorSuccess) << "the creating handle may still write";
  made.Close();
  EXPECT_EQ(AttributesOf(u"\\made.txt"), kFileAttributeHidden | kFileAttributeReadOnly);
  HostWrite(root_ + "/.dotted", "");
  EXPECT_EQ(AttributesOf(u"\\.dotted"), kFileAttributeHidden);
  ASSERT_EQ(PutFile(u"\\.mine", ""), kErrorSuccess);
  EXPECT_EQ(AttributesOf(u"\\.mine"), kFileAttributeNormal);

  uint32_t attributes = 0;
  EXPECT_EQ(GetFileAttributes(u"\\gone.txt", attributes), kErrorFileNotFound);
  EXPECT_EQ(attributes, kInvalidFileAttributes);
  EXPECT_EQ(GetFileAttributes(u"\\Gone\\x.txt", attributes), kErrorPathNotFound);
  EXPECT_EQ(SetFileAttributes(u"\\gone.txt", kFileAttributeHidden), kErrorFileNotFound);
}

TEST_F(FilesTest, ReadsAndSetsFileTimes) {
  ASSERT_EQ(PutFile(u"\\t.txt", "x"), kErrorSuccess);
  FileTime creation = 0, access = 0, write = 0;
  ASSERT_EQ(GetFileTimes(u"\\t.txt", &creation, &access, &write), kErrorSuccess);
  EXPECT_GT(creation, kUnixEpochAsFileTime);
  EXPECT_LE(creation, write);

  const FileTime newAccess = FileTimeFromUnix(1'100'000'000, 123'456'700);
  const FileTime newWrite = FileTimeFromUnix(1'200'000'000, 500);
  const FileTime ignoredCreation = FileTimeFromUnix(5, 0);
  EXPECT_EQ(SetFileTimes(u"\\t.txt", &ignoredCreation, &newAccess, &newWrite), kErrorSuccess);
  FileTime readCreation = 0;
  ASSERT_EQ(GetFileTimes(u"\\t.txt", &readCreation, &access, &write), kErrorSuccess);
  EXPECT_EQ(access, newAccess);
  EXPECT_EQ(write, newWrite);
  EXPECT_NE(readCreation, ignoredCreation) << "creation time cannot be set on this host";

  DeviceError err = kErrorSuccess;
  FileHandle file = OpenFile(u"\\t.txt", kAccessWrite, kShareNone, Disposition::kOpenExisting,
                             kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  const FileTime handleWrite = FileTimeFromUnix(1'300'000'000, 0);
  EXPECT_EQ(SetFileTimes(file, nullptr, nullptr, &handleWrite), kErrorSuccess);
  FileTime handleAccess = 0;
  EXPECT_EQ(GetFileTimes(file, nullptr, &handleAccess, &write), kErrorSuccess);
  EXPECT_EQ(write, handleWrite);
  EXPECT_EQ(handleAccess, newAccess) << "a time not given is kept";
  EXPECT_EQ(GetFileTimes(u"\\none.txt", nullptr, nullptr, &write), kErrorFileNotFound);
  EXPECT_EQ(SetFileTimes(u"\\none\\x.txt", nullptr, nullptr, &write), kErrorPathNotFound);
}

// ---- Share modes ----

using FilesSharingTest = FilesTest;

struct ShareRow {
  const char* what;
  uint32_t firstAccess, firstShare, secondAccess, secondShare;
  DeviceError expected;
};

const ShareRow kShareRows[] = {
    {"readers sharing reading", kAccessRead, kShareRead, kAccessRead, kShareRead, kErrorSuccess},
    {"a writer joins readers who share writing", kAccessRead, kShareRead | kShareWrite,
     kAccessWrite, kShareRead | kShareWrite, kErrorSuccess},
    {"a writer joins readers who do not share writing", kAccessRead, kShareRead, kAccessWrite,
     kShareRead | kShareWrite, kErrorSharingViolation},
    {"a reader that shares nothing joins a reader", kAccessRead, kShareRead, kAccessRead, kShareNone,
     kErrorSharingViolation},
    {"a reader joins a writer without sharing writing", kAccessWrite, kShareRead, kAccessRead,
     kShareRead, kErrorSharingViolation},
    {"a reader joins a writer sharing reading, sharing writing", kAccessWrite, kShareRead,
     kAccessRead, kShareRead | kShareWrite, kErrorSuccess},
    {"anyone joins an open that shares nothing", kAccessRead, kShareNone, kAccessRead,
     kShareRead | kShareWrite | kShareDelete, kErrorSharingViolation},
    {"an open without access joins an open that shares nothing", kAccessRead, kShareNone, 0,
     kShareNone, kErrorSuccess},
};

TEST_F(FilesSharingTest, FollowsTheDeviceRulesInThisProcess) {
  ASSERT_EQ(PutFile(u"\\shared.txt", "contents"), kErrorSuccess);
  for (const auto& row : kShareRows) {
    SCOPED_TRACE(row.what);
    DeviceError err = kErrorSuccess;
    FileHandle first = OpenFile(u"\\shared.txt", row.firstAccess, row.firstShare,
                                Disposition::kOpenExisting, kFileAttributeNormal, &err);
    ASSERT_EQ(err, kErrorSuccess);
    FileHandle second = OpenFile(u"\\SHARED.TXT", row.secondAccess, row.secondShare,
                                 Disposition::kOpenExisting, kFileAttributeNormal, &err);
    EXPECT_EQ(err, row.expected);
    EXPECT_EQ(second.IsOpen(), row.expected == kErrorSuccess);
  }
  // A refused create-always must not have emptied the file.
  DeviceError err = kErrorSuccess;
  FileHandle holder = OpenFile(u"\\shared.txt", kAccessRead, kShareRead, Disposition::kOpenExisting,
                               kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(PutFile(u"\\shared.txt", ""), kErrorSharingViolation);
  holder.Close();
  EXPECT_EQ(GetFile(u"\\shared.txt"), "contents");
  EXPECT_EQ(PutFile(u"\\shared.txt", "after"), kErrorSuccess) << "closing ends the claim";
}

TEST_F(FilesSharingTest, DeleteAndMoveNeedDeleteSharing) {
  ASSERT_EQ(PutFile(u"\\open.txt", "x"), kErrorSuccess);
  ASSERT_EQ(PutFile(u"\\target.txt", "y"), kErrorSuccess);
  DeviceError err = kErrorSuccess;
  {
    FileHandle held = OpenFile(u"\\open.txt", kAccessRead, kShareRead | kShareWrite,
                               Disposition::kOpenExisting, kFileAttributeNormal, &err);
    ASSERT_EQ(err, kErrorSuccess);
    EXPECT_EQ(DeleteFile(u"\\open.txt"), kErrorSharingViolation);
    EXPECT_EQ(MoveFile(u"\\open.txt", u"\\moved.txt"), kErrorSharingViolation);
    EXPECT_EQ(MoveFile(u"\\target.txt", u"\\open.txt", true), kErrorSharingViolation);
    EXPECT_EQ(GetFile(u"\\target.txt"), "y");
  }
  FileHandle held = OpenFile(u"\\open.txt", kAccessRead, kShareRead | kShareDelete,
                             Disposition::kOpenExisting, kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  EXPECT_EQ(MoveFile(u"\\open.txt", u"\\moved.txt"), kErrorSuccess);
  EXPECT_EQ(DeleteFile(u"\\moved.txt"), kErrorSuccess);
}

// Waits (bounded) for one byte from a pipe; '\0' when none came.
char ReadByte(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  char c = 0;
  if (::poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1) return c;
  return 0;
}

bool ReapChild(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    ::usleep(10'000);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

TEST_F(FilesSharingTest, OpensWithoutSharingExcludeOtherProcesses) {
  ASSERT_EQ(PutFile(u"\\cross.txt", "x"), kErrorSuccess);
  struct Row {
    const char* what;
    uint32_t childAccess, childShare, parentAccess, parentShare;
    DeviceError expected;
  } rows[] = {
      {"both share", kAccessRead, kShareRead, kAccessRead, kShareRead | kShareWrite, kErrorSuccess},
      {"the child shares nothing", kAccessRead, kShareNone, kAccessRead, kShareRead | kShareWrite,
       kErrorSharingViolation},
      {"we share nothing", kAccessRead, kShareRead | kShareWrite, kAccessWrite, kShareNone,
       kErrorSharingViolation},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      DeviceError err = kErrorSuccess;
      FileHandle held = OpenFile(u"\\cross.txt", row.childAccess, row.childShare,
                                 Disposition::kOpenExisting, kFileAttributeNormal, &err);
      const char ready = err ? 'E' : 'K';
      if (::write(toParent[1], &ready, 1) != 1) ::_exit(2);
      ReadByte(toChild[0], 10'000);
      ::_exit(0);
    }
    EXPECT_EQ(ReadByte(toParent[0], 10'000), 'K');
    DeviceError err = kErrorSuccess;
    FileHandle mine = OpenFile(u"\\cross.txt", row.parentAccess, row.parentShare,
                               Disposition::kOpenExisting, kFileAttributeNormal, &err);
    EXPECT_EQ(err, row.expected);
    if (row.childShare == kShareNone) {
      EXPECT_EQ(DeleteFile(u"\\cross.txt"), kErrorSharingViolation);
    }
    mine.Close();
    EXPECT_EQ(::write(toChild[1], "q", 1), 1);
    EXPECT_TRUE(ReapChild(pid));
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
    FileHandle after = OpenFile(u"\\cross.txt", kAccessWrite, kShareNone,
                                Disposition::kOpenExisting, kFileAttributeNormal, &err);
    EXPECT_EQ(err, kErrorSuccess) << "the child's lock ended with it";
  }
}

TEST_F(FilesSharingTest, ExclusiveOpensStayExclusiveAcrossThreads) {
  ASSERT_EQ(PutFile(u"\\busy.txt", "x"), kErrorSuccess);
  std::atomic<int> holders{0}, maxHolders{0}, opened{0}, unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 5; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        DeviceError err = kErrorSuccess;
        FileHandle file = OpenFile(u"\\busy.txt", kAccessRead | kAccessWrite, kShareNone,
                                   Disposition::kOpenExisting, kFileAttributeNormal, &err);
        if (err == kErrorSharingViolation) continue;
        if (err) {
          ++unexpected;
          continue;
        }
        ++opened;
        int now = ++holders;
        int seen = maxHolders.load();
        while (now > seen && !maxHolders.compare_exchange_weak(seen, now)) {}
        --holders;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(maxHolders.load(), 1);
  EXPECT_GT(opened.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
}

// ---- Mounts ----

TEST_F(FilesTest, ProgramFolderIsReadOnly) {
  EXPECT_EQ(GetFile(u"\\Program Files\\Nubrel\\Default.theme"), "shipped theme");
  EXPECT_EQ(AttributesOf(u"\\Program Files\\Nubrel"), kFileAttributeDirectory);
  ASSERT_EQ(PutFile(u"\\mine.txt", "mine"), kErrorSuccess);
  DeviceError err = kErrorSuccess;
  struct Row {
    const char* what;
    DeviceError result;
  } rows[] = {
      {"overwrite", PutFile(u"\\Program Files\\Nubrel\\Default.theme", "changed")},
      {"create", PutFile(u"\\Program Files\\Nubrel\\new.txt", "new")},
      {"open-always", (OpenFile(u"\\Program Files\\Nubrel\\new.txt", kAccessRead, kShareRead,
                                Disposition::kOpenAlways, kFileAttributeNormal, &err), err)},
      {"delete", DeleteFile(u"\\Program Files\\Nubrel\\Default.theme")},
      {"move out", MoveFile(u"\\Program Files\\Nubrel\\Default.theme", u"\\taken.theme")},
      {"move in", MoveFile(u"\\mine.txt", u"\\Program Files\\Nubrel\\mine.txt")},
      {"copy in", CopyFile(u"\\mine.txt", u"\\Program Files\\Nubrel\\mine.txt", false)},
      {"create folder", CreateFolder(u"\\Program Files\\Nubrel\\Sub")},
      {"remove the mount", RemoveFolder(u"\\Program Files\\Nubrel")},
      {"attributes", SetFileAttributes(u"\\Program Files\\Nubrel\\Default.theme", kFileAttributeHidden)},
      {"times", SetFileTimes(u"\\Program Files\\Nubrel\\Default.theme", nullptr, nullptr, nullptr)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.result, kErrorAccessDenied);
  }
  EXPECT_EQ(HostRead(program_ + "/Default.theme"), "shipped theme");
  EXPECT_EQ(std::distance(fs::directory_iterator(program_), fs::directory_iterator()), 1);
  EXPECT_EQ(CopyFile(u"\\Program Files\\Nubrel\\Default.theme", u"\\copied.theme", true), kErrorSuccess);
  EXPECT_EQ(GetFile(u"\\copied.theme"), "shipped theme");
}

using FilesStorageCardTest = FilesTest;

TEST_F(FilesStorageCardTest, WithoutACardNothingIsThereAndNothingIsMade) {
  uint32_t attributes = 0;
  EXPECT_EQ(GetFileAttributes(u"\\StorageCard", attributes), kErrorFileNotFound);
  EXPECT_EQ(GetFileAttributes(u"\\storagecard\\Channels", attributes), kErrorPathNotFound);
  EXPECT_EQ(CreateFolder(u"\\StorageCard"), kErrorAccessDenied);
  EXPECT_EQ(CreateFolder(u"\\StorageCard\\Channels"), kErrorPathNotFound);
  EXPECT_EQ(PutFile(u"\\StorageCard", "x"), kErrorAccessDenied);
  EXPECT_EQ(PutFile(u"\\StorageCard\\x.txt", "x"), kErrorPathNotFound);
  ASSERT_EQ(PutFile(u"\\x.txt", "x"), kErrorSuccess);
  EXPECT_EQ(MoveFile(u"\\x.txt", u"\\StorageCard"), kErrorAccessDenied);
  EXPECT_EQ(MoveFile(u"\\x.txt", u"\\StorageCard\\x.txt"), kErrorPathNotFound);
  std::vector<FindData> entries;
  EXPECT_EQ(FindFiles(u"\\StorageCard\\*", entries), kErrorPathNotFound);
  EXPECT_EQ(FindFiles(u"\\*", entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), std::vector<std::string>{"x.txt"});
  for (const auto& entry : fs::directory_iterator(root_)) {
    std::string name = entry.path().filename().string();
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    EXPECT_NE(name, "storagecard");
  }
}

TEST_F(FilesStorageCardTest, ACardWhoseFolderIsMissingIsNotReady) {
  UseCard(base_ + "/card");
  uint32_t attributes = 0;
  std::vector<FindData> entries;
  std::string host;
  DeviceError err = kErrorSuccess;
  struct Row {
    const char* what;
    DeviceError result;
  } rows[] = {
      {"attributes of the mount", GetFileAttributes(u"\\StorageCard", attributes)},
      {"attributes below", GetFileAttributes(u"\\StorageCard\\a.txt", attributes)},
      {"open", (OpenFile(u"\\StorageCard\\a.txt", kAccessRead, kShareRead, Disposition::kOpenExisting,
                         kFileAttributeNormal, &err), err)},
      {"create", PutFile(u"\\StorageCard\\a.txt", "x")},
      {"folder", CreateFolder(u"\\StorageCard\\Channels")},
      {"find", FindFiles(u"\\StorageCard\\*", entries)},
      {"host path", HostPathFor(u"\\StorageCard\\a.txt", host)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(row.result, kErrorStorageNotReady);
  }
  EXPECT_FALSE(HostExists(base_ + "/card"));
  EXPECT_FALSE(HostExists(root_ + "/StorageCard"));
}

TEST_F(FilesStorageCardTest, APresentCardHoldsFiles) {
  ASSERT_EQ(::mkdir((base_ + "/card").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root_ + "/StorageCard").c_str(), 0755), 0);  // a stray host folder
  HostWrite(root_ + "/StorageCard/stray.txt", "stray");
  UseCard(base_ + "/card");
  EXPECT_EQ(AttributesOf(u"\\StorageCard"), kFileAttributeDirectory | kFileAttributeTemporary);
  ASSERT_EQ(CreateFolder(u"\\StorageCard\\Channels"), kErrorSuccess);
  ASSERT_EQ(PutFile(u"\\storagecard\\channels\\c.xml", "card data"), kErrorSuccess);
  EXPECT_EQ(HostRead(base_ + "/card/Channels/c.xml"), "card data");
  DeviceError err = kErrorSuccess;
  GetFile(u"\\StorageCard\\stray.txt", &err);
  EXPECT_EQ(err, kErrorFileNotFound) << "the stray host folder is not the card";
  std::vector<FindData> entries;
  ASSERT_EQ(FindFiles(u"\\*", entries), kErrorSuccess);
  ASSERT_EQ(Names(entries), std::vector<std::string>{"StorageCard"});
  EXPECT_EQ(entries[0].attributes, kFileAttributeDirectory | kFileAttributeTemporary);
  EXPECT_EQ(RemoveFolder(u"\\StorageCard"), kErrorAccessDenied);
  EXPECT_EQ(MoveFile(u"\\StorageCard", u"\\Elsewhere"), kErrorAccessDenied);
}

// ---- Names without regard to case ----

TEST_F(FilesTest, FindsExistingEntriesWhateverTheCase) {
  ASSERT_EQ(::mkdir((root_ + "/My Documents").c_str(), 0755), 0);
  HostWrite(root_ + "/My Documents/a.txt", "lower");
  ASSERT_EQ(::mkdir((root_ + "/Caf\xC3\xA9 \xC3\x84pfel").c_str(), 0755), 0);  // "Café Äpfel"
  ASSERT_EQ(::mkdir((root_ + "/\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8").c_str(), 0755), 0);  // "Новости"

  struct Row {
    std::u16string device;
    std::string host;
  } rows[] = {
      {u"\\my documents\\A.TXT", root_ + "/My Documents/a.txt"},
      {u"\\MY DOCUMENTS\\new.txt", root_ + "/My Documents/new.txt"},
      {u"\\CAF\u00C9 \u00E4PFEL\\x", root_ + "/Caf\xC3\xA9 \xC3\x84pfel/x"},
      {u"\\\u043D\u041E\u0412\u041E\u0421\u0422\u0418\\x",
       root_ + "/\xD0\x9D\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8/x"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(ToUtf8(row.device));
    std::string host;
    EXPECT_EQ(HostPathFor(row.device, host), kErrorSuccess);
    EXPECT_EQ(host, row.host);
  }
  EXPECT_EQ(GetFile(u"\\my documents\\A.TXT"), "lower");
  ASSERT_EQ(PutFile(u"\\MY DOCUMENTS\\A.Txt", "replaced"), kErrorSuccess);
  ASSERT_EQ(PutFile(u"\\my documents\\New.txt", "new"), kErrorSuccess);
  std::vector<std::string> hostNames;
  for (const auto& entry : fs::directory_iterator(root_ + "/My Documents"))
    hostNames.push_back(entry.path().filename().string());
  std::sort(hostNames.begin(), hostNames.end());
  EXPECT_EQ(hostNames, (std::vector<std::string>{"New.txt", "a.txt"}));
  EXPECT_EQ(HostRead(root_ + "/My Documents/a.txt"), "replaced");
  EXPECT_EQ(CreateFolder(u"\\MY DOCUMENTS"), kErrorAlreadyExists);
}

// ---- A full disk ----

// A small tmpfs stands in for a full storage card; mounting needs privileges a test machine may
// not grant, and then the test is skipped.
class FilesFullDiskTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    card_ = base_ + "/card";
    ASSERT_EQ(::mkdir(card_.c_str(), 0755), 0);
    if (::mount("tmpfs", card_.c_str(), "tmpfs", 0, "size=64k") != 0)
      GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    mounted_ = true;
    UseCard(card_);
  }
  void TearDown() override {
    if (mounted_) ::umount2(card_.c_str(), MNT_DETACH);
    FilesTest::TearDown();
  }
  std::string card_;
  bool mounted_ = false;
};

TEST_F(FilesFullDiskTest, WritesAllOrNothingAndKeepsWhatWasStored) {
  ASSERT_EQ(PutFile(u"\\StorageCard\\kept.txt", "kept"), kErrorSuccess);
  const std::string big(256 * 1024, 'x');
  DeviceError err = kErrorSuccess;
  FileHandle file = OpenFile(u"\\StorageCard\\big.bin", kAccessWrite, kShareNone,
                             Disposition::kCreateNew, kFileAttributeNormal, &err);
  ASSERT_EQ(err, kErrorSuccess);
  ASSERT_EQ(WriteFile(file, "head", 4), kErrorSuccess);
  EXPECT_EQ(WriteFile(file, big.data(), big.size()), kErrorDiskFull);
  uint64_t size = 0;
  EXPECT_EQ(GetFileSize(file, size), kErrorSuccess);
  EXPECT_EQ(size, 4u) << "the part that did not fit is taken back";
  file.Close();

  HostWrite(root_ + "/big.bin", big);
  EXPECT_EQ(CopyFile(u"\\big.bin", u"\\StorageCard\\kept.txt", false), kErrorDiskFull);
  EXPECT_EQ(GetFile(u"\\StorageCard\\kept.txt"), "kept");
  std::vector<FindData> entries;
  ASSERT_EQ(FindFiles(u"\\StorageCard\\*", entries), kErrorSuccess);
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"big.bin", "kept.txt"}));
}

TEST_F(FilesFullDiskTest, MovesFilesButNotFoldersBetweenFileSystems) {
  ASSERT_EQ(PutFile(u"\\travel.txt", "travel"), kErrorSuccess);
  EXPECT_EQ(MoveFile(u"\\travel.txt", u"\\StorageCard\\travel.txt"), kErrorSuccess);
  EXPECT_EQ(HostRead(card_ + "/travel.txt"), "travel");
  EXPECT_FALSE(HostExists(root_ + "/travel.txt"));
  ASSERT_EQ(CreateFolder(u"\\Folder"), kErrorSuccess);
  EXPECT_EQ(MoveFile(u"\\Folder", u"\\StorageCard\\Folder"), kErrorNotSameDevice);
  EXPECT_TRUE(HostExists(root_ + "/Folder"));
}

}  // namespace
}  // namespace platform
