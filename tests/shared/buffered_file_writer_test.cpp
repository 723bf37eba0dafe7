// The buffered writer: what it writes, and that the previous file survives every failure,
// a writer dropped without Close, and a writer process killed in the middle of its file.
#include "shared/buffered_file_writer.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "platform/utf.h"
#include "shared/file_open.h"
#include "temp_device.h"

namespace nubrel {
namespace {

using testing::HostEntries;
using testing::HostExists;
using testing::PatternBytes;
using testing::ReadHostFile;
using testing::WriteHostFile;

class SharedBufferedFileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(device_.valid()); }
  void TearDown() override { SetWriterFaultHookForTests(nullptr); }

  // Writes `bytes` through a writer in pieces of `piece` bytes; returns Close's answer.
  static platform::DeviceError WriteWhole(std::u16string_view path, const std::string& bytes,
                                          size_t piece = 1000) {
    BufferedFileWriter writer;
    if (platform::DeviceError err = writer.Open(path)) return err;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      writer.WriteBytes(std::string_view(bytes).substr(at, piece));
    }
    return writer.Close();
  }

  // Names in a host folder that are temporary files of the writer.
  std::vector<std::string> LeftoverTemporaries(const std::string& relativeFolder) const {
    std::vector<std::string> found;
    for (const std::string& name : HostEntries(device_.Host(relativeFolder))) {
      if (name.ends_with(".nbtmp")) found.push_back(name);
    }
    return found;
  }

  testing::TempDevice device_;
};

TEST_F(SharedBufferedFileWriterTest, WritesExactlyTheBytesGivenAroundTheBufferSize) {
  const size_t kBuffer = BufferedFileWriter::kBufferSize;
  struct Row {
    size_t size;
    size_t piece;
  } rows[] = {
      {0, 1}, {1, 1}, {kBuffer - 1, 4096}, {kBuffer, kBuffer}, {kBuffer + 1, 7},
      {3 * kBuffer + 12345, 5000}, {200000, 200000},  // one write larger than the buffer
  };
  unsigned seed = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.size << " bytes in pieces of " << row.piece);
    const std::string bytes = PatternBytes(row.size, seed++);
    ASSERT_EQ(WriteWhole(u"\\new\\deep\\file.bin", bytes, row.piece), platform::kErrorSuccess);
    EXPECT_EQ(ReadHostFile(device_.Host("new/deep/file.bin")), bytes);
    EXPECT_TRUE(LeftoverTemporaries("new/deep").empty());
  }
}

TEST_F(SharedBufferedFileWriterTest, ReplacesTheWholePreviousFile) {
  WriteHostFile(device_.Host("list.xml"), std::string(100000, 'o'));
  ASSERT_EQ(WriteWhole(u"\\list.xml", "short"), platform::kErrorSuccess);
  EXPECT_EQ(ReadHostFile(device_.Host("list.xml")), "short");  // no tail of the old file
}

TEST_F(SharedBufferedFileWriterTest, WritesTextInTheCodePageAskedWithOptionalEscaping) {
  struct Row {
    std::u16string_view text;
    uint32_t codePage;
    bool escape;
    std::string_view expected;
  } rows[] = {
      {u"a&b<c>\"d'e", 65001, true, "a&amp;b&lt;c&gt;&quot;d&apos;e"},
      {u"a&b<c>\"d'e", 65001, false, "a&b<c>\"d'e"},
      {u"&amp;", 65001, true, "&amp;amp;"},  // escaping is not idempotent, and must not be
      {u"caf\u00e9 \u20ac \U0001F600", 65001, false, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {u"caf\u00e9 \u20ac", 1252, false, "caf\xE9 \x80"},
      {u"<\u00e9>", 1252, true, "&lt;\xE9&gt;"},
      {u"\u4e2d", 1252, false, "?"},
      {u"a\x01" u"b\tc\r\n\x1F\xFFFE" u"d", 65001, true, "ab\tc\r\nd"},  // XML cannot hold them
      {u"a\x01" u"b", 65001, false, "a\x01" "b"},                        // unescaped: raw
      {u"x\xD800y", 65001, true, "x\xEF\xBF\xBDy"},                      // a lone surrogate
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.text) + " in " + std::to_string(row.codePage));
    BufferedFileWriter writer;
    ASSERT_EQ(writer.Open(u"\\text.xml"), platform::kErrorSuccess);
    EXPECT_TRUE(writer.WriteText(row.text, row.codePage, row.escape));
    ASSERT_EQ(writer.Close(), platform::kErrorSuccess);
    EXPECT_EQ(ReadHostFile(device_.Host("text.xml")), row.expected);
  }
}

TEST_F(SharedBufferedFileWriterTest, RefusedOpensLeaveTheTargetAlone) {
  WriteHostFile(device_.base() + "/program/shipped.xml", "shipped");
  std::filesystem::create_directories(device_.Host("folder.xml"));
  struct Row {
    std::u16string_view path;
    platform::DeviceError expected;
  } rows[] = {
      {u"", platform::kErrorInvalidName},
      {u"\\dir\\", platform::kErrorInvalidName},
      {u"\\Program Files\\Nubrel\\shipped.xml", platform::kErrorAccessDenied},
      {u"\\folder.xml", platform::kErrorAccessDenied},
      {u"\\StorageCard\\x.xml", platform::kErrorPathNotFound},  // no card in this device
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(platform::ToUtf8(row.path));
    BufferedFileWriter writer;
    EXPECT_EQ(writer.Open(row.path), row.expected);
    EXPECT_FALSE(writer.WriteBytes("data"));
    EXPECT_EQ(writer.Close(), row.expected);
  }
  EXPECT_EQ(ReadHostFile(device_.base() + "/program/shipped.xml"), "shipped");
  EXPECT_EQ(HostEntries(device_.base() + "/program").size(), 1u);
  EXPECT_TRUE(testing::HostIsFolder(device_.Host("folder.xml")));
  EXPECT_FALSE(HostExists(device_.Host("dir")));

  BufferedFileWriter neverOpened;
  EXPECT_FALSE(neverOpened.WriteText(u"x"));
  EXPECT_EQ(neverOpened.Close(), platform::kErrorInvalidHandle);
}

TEST_F(SharedBufferedFileWriterTest, ReadOnlyAttributeIsKeptAndProtectsTheFile) {
  BufferedFileWriter writer;
  ASSERT_EQ(writer.Open(u"\\locked.xml", platform::kFileAttributeReadOnly), platform::kErrorSuccess);
  writer.WriteBytes("first");
  ASSERT_EQ(writer.Close(), platform::kErrorSuccess);
  uint32_t attributes = 0;
  ASSERT_EQ(platform::GetFileAttributes(u"\\locked.xml", attributes), platform::kErrorSuccess);
  EXPECT_TRUE(attributes & platform::kFileAttributeReadOnly);

  EXPECT_EQ(WriteWhole(u"\\locked.xml", "second"), platform::kErrorAccessDenied);
  EXPECT_EQ(ReadHostFile(device_.Host("locked.xml")), "first");
  EXPECT_TRUE(LeftoverTemporaries("").empty());
}

TEST_F(SharedBufferedFileWriterTest, AFailureAtAnyStepLeavesThePreviousFileWhole) {
  const std::string previous = PatternBytes(50000, 11);
  const std::string next = PatternBytes(3 * BufferedFileWriter::kBufferSize + 100, 12);
  std::set<WriterStep> failedSteps;
  for (int failAt = 1;; ++failAt) {
    SCOPED_TRACE(::testing::Message() << "failing step " << failAt);
    WriteHostFile(device_.Host("ch/items.xml"), previous);
    int step = 0;
    bool injected = false;
    SetWriterFaultHookForTests([&](WriterStep kind) -> platform::DeviceError {
      ++step;
      if (step == failAt) {
        failedSteps.insert(kind);
        injected = true;
        return platform::kErrorDiskFull;
      }
      // Later steps must not run, and if they did they must not replace the first error.
      return step > failAt ? platform::kErrorAccessDenied : platform::kErrorSuccess;
    });
    const platform::DeviceError result = WriteWhole(u"\\ch\\items.xml", next, 10000);
    SetWriterFaultHookForTests(nullptr);
    EXPECT_TRUE(LeftoverTemporaries("ch").empty());
    if (!injected) {  // past the last step: the write goes through
      EXPECT_EQ(result, platform::kErrorSuccess);
      EXPECT_EQ(ReadHostFile(device_.Host("ch/items.xml")), next);
      break;
    }
    EXPECT_EQ(result, platform::kErrorDiskFull);
    EXPECT_EQ(ReadHostFile(device_.Host("ch/items.xml")), previous);
    ASSERT_LT(failAt, 100) << "the write never finished";
  }
  EXPECT_EQ(failedSteps, (std::set<WriterStep>{WriterStep::kOpen, WriterStep::kWrite,
                                               WriterStep::kFlush, WriterStep::kReplace}));
}

TEST_F(SharedBufferedFileWriterTest, NothingIsWrittenAfterAFailedWrite) {
  WriteHostFile(device_.Host("old.xml"), "old");
  int writes = 0;
  SetWriterFaultHookForTests([&](WriterStep kind) -> platform::DeviceError {
    if (kind != WriterStep::kWrite) return platform::kErrorSuccess;
    return ++writes == 1 ? platform::kErrorDiskFull : platform::kErrorSuccess;
  });
  BufferedFileWriter writer;
  ASSERT_EQ(writer.Open(u"\\old.xml"), platform::kErrorSuccess);
  EXPECT_FALSE(writer.WriteBytes(std::string(BufferedFileWriter::kBufferSize, 'a')));
  EXPECT_EQ(writer.Error(), platform::kErrorDiskFull);
  EXPECT_TRUE(LeftoverTemporaries("").empty());  // removed at the failure, not at Close
  EXPECT_FALSE(writer.WriteBytes(std::string(BufferedFileWriter::kBufferSize, 'b')));
  EXPECT_FALSE(writer.WriteText(u"more"));
  EXPECT_EQ(writer.Close(), platform::kErrorDiskFull);
  EXPECT_EQ(writer.Close(), platform::kErrorDiskFull);
  EXPECT_EQ(writes, 1);
  EXPECT_EQ(ReadHostFile(device_.Host("old.xml")), "old");
}

TEST_F(SharedBufferedFileWriterTest, UnknownCodePageFailsTheFile) {
  WriteHostFile(device_.Host("old.xml"), "old");
  BufferedFileWriter writer;
  ASSERT_EQ(writer.Open(u"\\old.xml"), platform::kErrorSuccess);
  EXPECT_TRUE(writer.WriteText(u"fine"));
  EXPECT_FALSE(writer.WriteText(u"x", 12345));
  EXPECT_EQ(writer.Close(), platform::kErrorInvalidParameter);
  EXPECT_EQ(ReadHostFile(device_.Host("old.xml")), "old");
}

TEST_F(SharedBufferedFileWriterTest, DroppedWriterLeavesTheTargetAsItWas) {
  WriteHostFile(device_.Host("keep.xml"), "old");
  {
    BufferedFileWriter writer;
    ASSERT_EQ(writer.Open(u"\\keep.xml"), platform::kErrorSuccess);
    writer.WriteBytes(std::string(2 * BufferedFileWriter::kBufferSize, 'n'));
  }
  EXPECT_EQ(ReadHostFile(device_.Host("keep.xml")), "old");
  {
    BufferedFileWriter writer;
    ASSERT_EQ(writer.Open(u"\\fresh.xml"), platform::kErrorSuccess);
    writer.WriteBytes("never closed");
    writer.Discard();
    EXPECT_NE(writer.Close(), platform::kErrorSuccess);
  }
  EXPECT_FALSE(HostExists(device_.Host("fresh.xml")));
  EXPECT_TRUE(LeftoverTemporaries("").empty());
}

TEST_F(SharedBufferedFileWriterTest, ReadersOfTheOldFileAreUndisturbedUntilTheRename) {
  const std::string previous = PatternBytes(40000, 21);
  const std::string next = PatternBytes(90000, 22);
  WriteHostFile(device_.Host("shared.xml"), previous);
  BufferedFileWriter writer;
  ASSERT_EQ(writer.Open(u"\\shared.xml"), platform::kErrorSuccess);
  ASSERT_TRUE(writer.WriteBytes(next));  // two buffers already on storage
  {
    platform::DeviceError error = 0;
    platform::FileHandle reader = platform::OpenFile(u"\\shared.xml", platform::kAccessRead,
                                                     platform::kShareRead,
                                                     platform::Disposition::kOpenExisting,
                                                     platform::kFileAttributeNormal, &error);
    ASSERT_TRUE(reader.IsOpen()) << error;
    std::string seen(previous.size() + 10, '\0');
    size_t read = 0;
    ASSERT_EQ(platform::ReadFile(reader, seen.data(), seen.size(), read), platform::kErrorSuccess);
    seen.resize(read);
    EXPECT_EQ(seen, previous);
  }
  ASSERT_EQ(writer.Close(), platform::kErrorSuccess);
  EXPECT_EQ(ReadHostFile(device_.Host("shared.xml")), next);
}

TEST_F(SharedBufferedFileWriterTest, ALeftoverOfACrashIsOverwritten) {
  for (uint32_t leftoverAttributes :
       {platform::kFileAttributeNormal, platform::kFileAttributeHidden,
        platform::kFileAttributeReadOnly | platform::kFileAttributeHidden}) {
    SCOPED_TRACE(leftoverAttributes);
    WriteHostFile(device_.Host("ch/list.xml.nbtmp"), std::string(70000, 'j'));
    ASSERT_EQ(platform::SetFileAttributes(u"\\ch\\list.xml.nbtmp", leftoverAttributes),
              platform::kErrorSuccess);
    ASSERT_EQ(WriteWhole(u"\\ch\\list.xml", "fresh"), platform::kErrorSuccess);
    EXPECT_EQ(ReadHostFile(device_.Host("ch/list.xml")), "fresh");
    EXPECT_TRUE(LeftoverTemporaries("ch").empty());
    // The crashed write's attributes do not ride along into the new file.
    uint32_t attributes = 0;
    ASSERT_EQ(platform::GetFileAttributes(u"\\ch\\list.xml", attributes), platform::kErrorSuccess);
    EXPECT_EQ(attributes, platform::kFileAttributeNormal);
  }
}

// THE kill test: a writer process killed in the middle of its file leaves the previous file
// byte for byte, and the next write of the same file goes through and leaves nothing behind.
TEST_F(SharedBufferedFileWriterTest, KilledWriterProcessLeavesThePreviousFileWhole) {
  const std::string previous = PatternBytes(150000, 31);
  ASSERT_EQ(WriteWhole(u"\\ch\\items.xml", previous, 4096), platform::kErrorSuccess);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only simple work here, and _exit: the child must never return into the test runner.
    ::close(ready[0]);
    BufferedFileWriter writer;
    if (writer.Open(u"\\ch\\items.xml")) ::_exit(2);
    const std::string chunk = PatternBytes(4096, 32);
    for (int i = 0; i < 5000; ++i) {  // ~10 s at most, far longer than the parent waits
      if (!writer.WriteBytes(chunk)) ::_exit(3);
      if (i == 20) {  // 84 KB in: two full buffers are in the temporary file by now
        const char signal = 1;
        if (::write(ready[1], &signal, 1) != 1) ::_exit(4);
      }
      ::usleep(2000);
    }
    ::_exit(5);
  }
  ::close(ready[1]);
  pollfd waitFor{ready[0], POLLIN, 0};
  const int polled = ::poll(&waitFor, 1, 10000);
  char signal = 0;
  const ssize_t got = polled == 1 ? ::read(ready[0], &signal, 1) : -1;
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(ready[0]);
  ASSERT_EQ(got, 1) << "the child never reported that it was writing";
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
      << "the child ended by itself with " << status;

  EXPECT_EQ(ReadHostFile(device_.Host("ch/items.xml")), previous);
  // The child really was in the middle: its half-written temporary file is still there.
  EXPECT_EQ(LeftoverTemporaries("ch"), std::vector<std::string>{"items.xml.nbtmp"});

  const std::string next = PatternBytes(70000, 33);
  ASSERT_EQ(WriteWhole(u"\\ch\\items.xml", next), platform::kErrorSuccess);
  EXPECT_EQ(ReadHostFile(device_.Host("ch/items.xml")), next);
  EXPECT_TRUE(LeftoverTemporaries("ch").empty());
}

}  // namespace
}  // namespace nubrel
