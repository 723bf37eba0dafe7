// The trace log on a temporary device with a pinned clock: the exact line of every entry form,
// appending across open and close, entries while off, a failed open, the sharing of the open
// file, long texts cut on a character boundary, and threads writing at once. Also ShowHelp,
// through a stand-in for the host's opener.
#include "core/trace_log.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <gtest/gtest.h>

#include "support/time_fixtures.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/help.h"
#include "platform/code_pages.h"
#include "platform/device_time.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/threads.h"
#include "platform/utf.h"
#include "shared/temp_device.h"

namespace nubrel {
namespace {

using testsupport::Utc;
using testsupport::ZoneScope;

using platform::FileTime;
using nubrel::testing::ReadHostFile;
using nubrel::testing::TempDevice;
using nubrel::testing::WriteHostFile;

// "[0000abcd] " for the calling thread, as a reader of the log expects it.
std::string IdHead(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "[%08x] ", id);
  return text;
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::istringstream in(bytes);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A device with a channel storage folder, the clock pinned at 15 March 2024 13:04:05.067 UTC.
class StatusTraceLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    ResetTraceLog();
    WriteHostFile(device_.Host("My Documents/Channels/keep.txt"), "x");
    platform::PinClock(Utc(2024, 3, 15, 13, 4, 5, 67));
  }
  void TearDown() override {
    ResetTraceLog();
    platform::UnpinClock();
  }
  std::string LogBytes() const { return ReadHostFile(device_.Host("My Documents/Channels/NubrelTrace.log")); }

  ZoneScope zone_{"UTC0"};
  TempDevice device_;
  const std::u16string path_ = TraceLogPath(u"\\My Documents\\Channels");
};

TEST(StatusTraceLogPath, IsTheStorageFolderAndTheLogName) {
  const std::pair<std::u16string, std::u16string> rows[] = {
      {u"\\My Documents\\Channels", u"\\My Documents\\Channels\\NubrelTrace.log"},
      {u"\\My Documents\\Channels\\", u"\\My Documents\\Channels\\NubrelTrace.log"},
      {u"\\StorageCard\\Feeds", u"\\StorageCard\\Feeds\\NubrelTrace.log"},
  };
  for (const auto& [folder, path] : rows) {
    SCOPED_TRACE(platform::ToUtf8(folder));
    EXPECT_EQ(platform::ToUtf8(TraceLogPath(folder)), platform::ToUtf8(path));
  }
}

TEST_F(StatusTraceLog, EveryEntryFormHasItsExactLine) {
  ASSERT_EQ(TraceOpen(path_), 0u);
  ASSERT_TRUE(TraceIsOn());
  Trace("RETRIEVE: load URL");
  TraceText("RETRIEVE: channel : ", u"Caf\u00e9 \u2713 \U0001F600");
  TraceText("RETRIEVE: channel : ", static_cast<const char16_t*>(nullptr));
  TraceText("URL : ", std::u16string(u"http://127.0.0.1/feed.xml"));
  TraceText("processItem: ", u"");
  TraceNumber("HTTP status : ", -404);
  TraceNumber("retrieved bytes : ", 4294967296LL);
  Trace(std::string_view("raw \xff\x01 bytes", 12));
  TraceClose();
  EXPECT_FALSE(TraceIsOn());

  const std::string head = IdHead(platform::CurrentThreadId()) + "13:04:05.067 ";
  EXPECT_EQ(LogBytes(), head + "RETRIEVE: load URL\n" +
                            head + "RETRIEVE: channel : Caf\xc3\xa9 \xe2\x9c\x93 \xf0\x9f\x98\x80\n" +
                            head + "RETRIEVE: channel : \n" +
                            head + "URL : http://127.0.0.1/feed.xml\n" +
                            head + "processItem: \n" +
                            head + "HTTP status :  [-404]\n" +
                            head + "retrieved bytes :  [4294967296]\n" +
                            head + "raw \xff\x01 bytes\n");
}

TEST_F(StatusTraceLog, HeadShowsLocalTimeOnA24HourClock) {
  ZoneScope east("XST-10");  // 13:04 UTC is 23:04 here
  platform::PinClock(Utc(2024, 3, 15, 13, 4, 5, 7));
  ASSERT_EQ(TraceOpen(path_), 0u);
  Trace("late");
  TraceClose();
  EXPECT_EQ(LogBytes(), IdHead(platform::CurrentThreadId()) + "23:04:05.007 late\n");
}

TEST_F(StatusTraceLog, AppendsAcrossOpensAndWritesNothingWhileOff) {
  WriteHostFile(device_.Host("My Documents/Channels/NubrelTrace.log"), "an earlier run\n");
  Trace("before the log is on");
  ASSERT_EQ(TraceOpen(path_), 0u);
  Trace("first");
  TraceClose();
  Trace("while off");
  TraceText("while off", u"text");
  TraceNumber("while off", 1);
  ASSERT_EQ(TraceOpen(path_), 0u);
  Trace("second");
  TraceClose();
  const std::string head = IdHead(platform::CurrentThreadId()) + "13:04:05.067 ";
  EXPECT_EQ(LogBytes(), "an earlier run\n" + head + "first\n" + head + "second\n");
}

TEST_F(StatusTraceLog, OpeningWhileOnKeepsTheFirstFile) {
  ASSERT_EQ(TraceOpen(path_), 0u);
  EXPECT_EQ(TraceOpen(u"\\My Documents\\Other.log"), 0u);
  Trace("one");
  TraceClose();
  EXPECT_FALSE(nubrel::testing::HostExists(device_.Host("My Documents/Other.log")));
  EXPECT_EQ(Lines(LogBytes()).size(), 1u);
}

TEST_F(StatusTraceLog, FailedOpenLeavesTheLogOff) {
  const std::u16string rows[] = {
      u"\\No Such Folder\\NubrelTrace.log",     // the folder is not made for the log
      u"\\My Documents\\Channels\\Bad?.log",    // a name the device refuses
      u"\\My Documents\\Channels",              // a folder, not a file
      u"\\Program Files\\Nubrel\\NubrelTrace.log",  // the read-only program folder
  };
  for (const std::u16string& path : rows) {
    SCOPED_TRACE(platform::ToUtf8(path));
    EXPECT_NE(TraceOpen(path), 0u);
    EXPECT_FALSE(TraceIsOn());
    Trace("nowhere");
  }
  EXPECT_FALSE(nubrel::testing::HostExists(device_.Host("No Such Folder")));
  // The log still opens afterwards.
  ASSERT_EQ(TraceOpen(path_), 0u);
  EXPECT_TRUE(TraceIsOn());
}

TEST_F(StatusTraceLog, OthersMayReadButNotWriteWhileOn) {
  ASSERT_EQ(TraceOpen(path_), 0u);
  platform::DeviceError error = 0;
  platform::FileHandle reader =
      platform::OpenFile(path_, platform::kAccessRead, platform::kShareRead | platform::kShareWrite,
                         platform::Disposition::kOpenExisting, platform::kFileAttributeNormal, &error);
  EXPECT_TRUE(reader.IsOpen());
  EXPECT_EQ(error, 0u);
  platform::FileHandle writer =
      platform::OpenFile(path_, platform::kAccessWrite, platform::kShareRead | platform::kShareWrite,
                         platform::Disposition::kOpenExisting, platform::kFileAttributeNormal, &error);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(error, platform::kErrorSharingViolation);
}

TEST_F(StatusTraceLog, LongTextIsCutWhereACharacterEnds) {
  if (platform::DefaultCodePage() != platform::kCodePageUtf8) GTEST_SKIP() << "needs a UTF-8 locale";
  struct Row {
    const char* what;
    std::u16string text;
    std::string written;  // what the entry carries after the message
  };
  std::u16string emoji;
  std::string emojiBytes;
  for (int i = 0; i < 8192; ++i) emoji += u"\U0001F600";
  for (int i = 0; i < 8191; ++i) emojiBytes += "\xf0\x9f\x98\x80";
  std::u16string accents(20000, u'\u00e9');
  std::string accentBytes;
  for (int i = 0; i < 16383; ++i) accentBytes += "\xc3\xa9";
  const Row rows[] = {
      {"fits exactly", std::u16string(32767, u'a'), std::string(32767, 'a')},
      {"one byte over", std::u16string(32768, u'a'), std::string(32767, 'a')},
      {"two-byte characters", accents, accentBytes},
      {"four-byte characters", u"a" + emoji, "a" + emojiBytes},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ResetTraceLog();
    platform::DeleteFile(path_);
    ASSERT_EQ(TraceOpen(path_), 0u);
    TraceText("T:", row.text);
    TraceClose();
    const std::string expected = IdHead(platform::CurrentThreadId()) + "13:04:05.067 T:" + row.written + "\n";
    const std::string bytes = LogBytes();
    EXPECT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);
  }
}

TEST_F(StatusTraceLog, ThreadsNeverMixWithinALine) {
  platform::UnpinClock();  // real times, so entries of different threads really overlap
  ASSERT_EQ(TraceOpen(path_), 0u);
  constexpr int kThreads = 4;
  constexpr int kEntries = 300;
  std::vector<uint32_t> ids(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ids, t] {
      ids[t] = platform::CurrentThreadId();
      for (int i = 0; i < kEntries; ++i) {
        const std::string message = "worker " + std::to_string(t) + " entry " + std::to_string(i) + " ";
        switch (i % 3) {
          case 0: Trace(message + std::string(i % 97, 'p')); break;
          case 1: TraceText(message, std::u16string(i % 89, u'w')); break;
          default: TraceNumber(message, i); break;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  TraceClose();

  const std::regex line(R"(\[([0-9a-f]{8})\] \d\d:\d\d:\d\d\.\d{3} worker (\d) entry (\d+) (p*|w*| \[\d+\]))");
  std::vector<int> next(kThreads, 0);
  const std::vector<std::string> lines = Lines(LogBytes());
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
  for (const std::string& text : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    const int t = std::stoi(m[2]);
    const int i = std::stoi(m[3]);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(m[1].str(), IdHead(ids[t]).substr(1, 8)) << text;
    EXPECT_EQ(i, next[t]) << text;  // each thread's entries arrive whole and in order
    next[t] = i + 1;
    const std::string tail = m[4];
    switch (i % 3) {
      case 0: EXPECT_EQ(tail, std::string(i % 97, 'p')) << text; break;
      case 1: EXPECT_EQ(tail, std::string(i % 89, 'w')) << text; break;
      default: EXPECT_EQ(tail, " [" + std::to_string(i) + "]") << text; break;
    }
  }
}

// ---- Help ----

TEST(StatusHelpCommandLine, NamesTheHelpFileAndTopic) {
  const std::pair<const char16_t*, std::u16string> rows[] = {
      {u"Main_Contents", u"file:Nubrel Help.htm#Main_Contents"},
      {u"Options_Display", u"file:Nubrel Help.htm#Options_Display"},
      {nullptr, u"file:Nubrel Help.htm"},
      {u"", u"file:Nubrel Help.htm"},
  };
  for (const auto& [topic, line] : rows) {
    SCOPED_TRACE(topic ? platform::ToUtf8(topic) : "none");
    EXPECT_EQ(platform::ToUtf8(HelpCommandLine(topic)), platform::ToUtf8(line));
  }
}

// The host's opener replaced by a script that writes down what it was given.
class StatusShowHelp : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    opener_ = device_.base() + "/opener";
    WriteHostFile(opener_, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.tmp\" && mv \"$0.tmp\" \"$0.args\"\n");
    ::chmod(opener_.c_str(), 0755);
    platform::SetHostToolOverride("xdg-open", opener_);
    WriteHostFile(device_.Host("Windows/Nubrel Help.htm"), "<html></html>");
  }
  void TearDown() override { platform::SetHostToolOverride("xdg-open", ""); }

  // What the opener was started with, waiting up to 10 s for it to run.
  std::string OpenerArguments() {
    const std::string args = opener_ + ".args";
    for (int i = 0; i < 500 && !nubrel::testing::HostExists(args); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::string bytes = ReadHostFile(args);
    std::remove(args.c_str());
    return bytes;
  }

  TempDevice device_;
  std::string opener_;
};

TEST_F(StatusShowHelp, OpensTheHelpFileAtTheTopic) {
  const std::string file = "file://" + device_.root() + "/Windows/Nubrel%20Help.htm";
  const std::pair<const char16_t*, std::string> rows[] = {
      {u"Main_Contents", file + "#Main_Contents\n"},
      {nullptr, file + "\n"},
  };
  for (const auto& [topic, arguments] : rows) {
    SCOPED_TRACE(topic ? platform::ToUtf8(topic) : "none");
    ShowHelp(topic);
    EXPECT_EQ(OpenerArguments(), arguments);
  }
}

}  // namespace
}  // namespace nubrel
