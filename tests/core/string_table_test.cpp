// The string table: the texts other code relies on, the per-thread eight-slot cache, and the
// source-file reader and generator that compile data/strings.txt into the program.
#include "core/string_table.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/string_table_source.h"

extern char** environ;

namespace nubrel {
namespace {

std::u16string TextOf(const char16_t* text) { return text ? std::u16string(text) : u"<none>"; }

// ---- The texts ----

struct AnchorRow {
  int number;
  std::u16string text;
};

// Strings that later code names by number, as the program shows them (double spaces, odd
// spellings and trailing spaces included).
const AnchorRow kAnchors[] = {
    {1, u"Nubrel"},
    {3, u"Nubrel"},
    {4, u"Software\\nubrel"},
    {5, u"myChannels.opml"},
    {114, u" days ago, "},
    {129, u"URL not found - HTTP 404"},
    {142, u"\u00BC hour"},
    {212, u"Unable to resolve name"},
    {230, u"Aborted by user"},
    {240, u"Subscription list does not exist.  Would you like to use the default list?"},
    {241, u"The %s storage location of %s cannot be found.  YES to create the directory, NO to "
          u"set a new location and CANCEL to exit"},
    {272, u"Unable to parse OPML : "},
    {273, u" (Line: %d  Col: %d)"},
    {281, u"Unable to parse feed.  No items found."},
    {282, u"The specified lines to advance is invalid.  Please enter a value betwwen 1 and 20."},
    {311, u"\"*/\\<>?|.:"},
    {331, u"Subscription list does not exist, unable to continue"},
    {332, u"Subscription list already open, unable to continue"},
    {333, u"Subscription list cannot be accessed, unable to continue (%ld)"},
    {334, u"Subscription list (myChannels.opml) cannot be parsed, unable to continue"},
    {344, u"<html><body><p>%d new messages</p><p align='right'><input type=button "
          u"name='cmd:3' value='Hide'></p></body></html>"},
    {196, u"Import completed\n\n%d items added\n%d items updated"},
    {1000, u"TIP: Scroll the window up and down by dragging across the window\n\nTIP:  Press "
           u"the right DPad or drag across the screen to the right to advance to the next "
           u"channel or press and hold to seek to the next channel with unread items"},
    {2000, u"Success"},
    {2001, u"Unable to retrieve RSS feed "},
    {2002, u"Unable to parse RSS feed : "},
    {2003, u"Success. No changes."},
    {2004, u"Unable to retrieve OPML "},
    {2005, u"Unable to open Internet connection"},
    {2006, u"\\StorageCard"},
};

TEST(StringTableTexts, AnchorStringsReadWordForWord) {
  ResetStringCache();
  for (const AnchorRow& row : kAnchors) {
    SCOPED_TRACE(row.number);
    EXPECT_EQ(TextOf(GetString(row.number)), row.text);
    EXPECT_EQ(LoadStringText(row.number), row.text);
  }
}

TEST(StringTableTexts, EveryCompiledStringIsFoundAndNumbersWithoutOneYieldNothing) {
  const std::span<const StringEntry> entries = CompiledStrings();
  ASSERT_FALSE(entries.empty());
  int previous = 0;
  for (const StringEntry& entry : entries) {
    SCOPED_TRACE(entry.number);
    EXPECT_GT(entry.number, previous);  // the lookup relies on strictly rising numbers
    previous = entry.number;
    EXPECT_FALSE(entry.text.empty());
    EXPECT_LT(entry.text.size(), kStringBufferChars);
    EXPECT_EQ(LoadStringText(entry.number), entry.text);
  }
  ResetStringCache();
  for (int missing : {-1, 0, 2, 185, 2999, 65535, 70000}) {
    SCOPED_TRACE(missing);
    EXPECT_EQ(GetString(missing), nullptr);
    EXPECT_EQ(LoadStringText(missing), u"");
  }
}

// ---- The cache ----

// Nine strings of the table, distinct, in a fixed order.
const int kNine[] = {1, 4, 5, 129, 212, 230, 240, 2000, 2003};

TEST(StringTableCache, NinthDistinctStringReusesTheFirstSlot) {
  ResetStringCache();
  const char16_t* texts[9];
  for (int i = 0; i < 9; ++i) texts[i] = GetString(kNine[i]);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    ASSERT_NE(texts[i], nullptr);
    for (int j = 0; j < i; ++j) EXPECT_NE(texts[i], texts[j]);  // eight distinct buffers
  }
  EXPECT_EQ(texts[8], texts[0]);
  EXPECT_EQ(TextOf(texts[0]), LoadStringText(kNine[8]));
  for (int i = 1; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(TextOf(texts[i]), LoadStringText(kNine[i]));  // the other seven are untouched
  }
}

TEST(StringTableCache, RepeatedNumberHitsItsSlotAndShortensNoOtherTextsLife) {
  ResetStringCache();
  const char16_t* texts[8];
  for (int i = 0; i < 8; ++i) texts[i] = GetString(kNine[i]);
  EXPECT_EQ(GetString(kNine[7]), texts[7]);
  EXPECT_EQ(GetString(kNine[3]), texts[3]);
  EXPECT_EQ(GetString(kNine[3]), texts[3]);
  // One more load replaces only the oldest text, however often others were found meanwhile.
  EXPECT_EQ(GetString(kNine[8]), texts[0]);
  for (int i = 1; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(TextOf(texts[i]), LoadStringText(kNine[i]));
  }
}

TEST(StringTableCache, MissingNumberYieldsNothingAndLeavesItsSlotEmpty) {
  ResetStringCache();
  const char16_t* texts[8];
  for (int i = 0; i < 8; ++i) texts[i] = GetString(kNine[i]);
  const StringTable& table = ThreadStringTable();
  ASSERT_EQ(table.slots[0].number, kNine[0]);

  EXPECT_EQ(GetString(2999), nullptr);  // takes the oldest slot's turn
  EXPECT_EQ(table.slots[0].number, kEmptySlot);
  EXPECT_EQ(TextOf(texts[0]), u"");
  for (int i = 1; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(table.slots[i].number, kNine[i]);
  }
  // The missing number is not remembered as found, and the emptied text is loaded afresh.
  EXPECT_EQ(GetString(2999), nullptr);
  const char16_t* again = GetString(kNine[0]);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(TextOf(again), LoadStringText(kNine[0]));
}

TEST(StringTableCache, EachThreadKeepsItsOwnTexts) {
  // Each thread cycles through more strings than the slots hold, so it loads on every call,
  // and checks both the text it just got and the one it got seven loads earlier.
  const std::vector<int> mine[2] = {{1, 4, 5, 129, 212, 230, 240, 241, 331, 332, 333, 334},
                                    {2000, 2001, 2002, 2003, 2004, 2005, 2006, 1000, 344, 311,
                                     281, 272}};
  constexpr int kRounds = 4000;
  std::latch start(2);
  int faults[2] = {0, 0};
  auto hammer = [&](int who) {
    const std::vector<int>& numbers = mine[who];
    std::vector<std::u16string> expected;
    for (int number : numbers) expected.push_back(LoadStringText(number));
    ResetStringCache();
    start.arrive_and_wait();
    std::vector<const char16_t*> got(numbers.size(), nullptr);
    for (int round = 0; round < kRounds; ++round) {
      const std::size_t i = round % numbers.size();
      got[i] = GetString(numbers[i]);
      const std::size_t older = (i + numbers.size() - 7) % numbers.size();
      if (got[i] == nullptr || expected[i] != got[i]) ++faults[who];
      if (round >= 7 && (got[older] == nullptr || expected[older] != got[older])) ++faults[who];
    }
  };
  std::thread first(hammer, 0);
  std::thread second(hammer, 1);
  first.join();
  second.join();
  EXPECT_EQ(faults[0], 0);
  EXPECT_EQ(faults[1], 0);
}

// ---- The source file ----

TEST(StringTableSource, ReadsStringsEscapesNotesAndComments) {
  const std::string source =
      "\xEF\xBB\xBF# a comment\n"
      "\n"
      "20\tTwo\\tcolumns\\nand a line \\\"quoted\\\" \\\\ \\'x\\'\r\n"
      "   \n"
      "7\tends in a space \t# the note keeps the space\n"
      "65535\t\xC2\xBC hour \xF0\x9F\x98\x80\n"
      "3\t#not a comment when it is the text";
  std::vector<SourceString> strings;
  SourceError error;
  ASSERT_TRUE(ParseStringSource(source, strings, error)) << error.line << ": " << error.message;
  ASSERT_EQ(strings.size(), 4u);
  EXPECT_EQ(strings[0].number, 3);
  EXPECT_EQ(strings[0].text, u"#not a comment when it is the text");
  EXPECT_EQ(strings[0].line, 7);
  EXPECT_EQ(strings[1].number, 7);
  EXPECT_EQ(strings[1].text, u"ends in a space ");
  EXPECT_EQ(strings[2].number, 20);
  EXPECT_EQ(strings[2].text, u"Two\tcolumns\nand a line \"quoted\" \\ 'x'");
  EXPECT_EQ(strings[2].line, 3);
  EXPECT_EQ(strings[3].number, 65535);
  EXPECT_EQ(strings[3].text, u"\u00BC hour \U0001F600");
}

TEST(StringTableSource, MalformedLinesAreRefusedWithTheirLineNumber) {
  struct Row {
    const char* name;
    std::string source;
    int line;
    const char* messagePart;
  };
  const Row rows[] = {
      {"no number", "1\tok\nabc\tbad\n", 2, "must start with a string number"},
      {"space for the TAB", "1\tok\n# c\n5 text\n", 3, "followed by a TAB"},
      {"number alone", "12\n", 1, "followed by a TAB"},
      {"empty text", "1\tok\n7\t\n", 2, "empty"},
      {"empty text before a note", "7\t\t# note\n", 1, "empty"},
      {"unknown escape", "8\tbad \\q escape\n", 1, "unknown escape \\q"},
      {"lone backslash", "9\tends in \\", 1, "lone backslash"},
      {"raw TAB in the text", "10\ta\tb\n", 1, "TAB inside the text"},
      {"control character", "11\tbell\x07\n", 1, "control character"},
      {"bad UTF-8", "1\tok\n\n11\t\xC3\x28\n", 3, "not valid UTF-8"},
      {"overlong UTF-8", "11\t\xC0\xAF\n", 1, "not valid UTF-8"},
      {"encoded surrogate", "11\t\xED\xA0\x80\n", 1, "not valid UTF-8"},
      {"cut-off UTF-8", "11\tx\xE2\x82", 1, "not valid UTF-8"},
      {"number zero", "0\tzero\n", 1, "out of range"},
      {"number too large", "65536\tbig\n", 1, "out of range"},
      {"number far too large", "1234567\tbig\n", 1, "out of range"},
      {"negative number", "-4\tminus\n", 1, "must start with a string number"},
      {"duplicate number", "12\tone\n# c\n12\ttwo\n", 3, "already defined on line 1"},
      {"text too long", "13\t" + std::string(1024, 'x') + "\n", 1, "at most 1023"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<SourceString> strings;
    SourceError error;
    EXPECT_FALSE(ParseStringSource(row.source, strings, error));
    EXPECT_EQ(error.line, row.line);
    EXPECT_NE(error.message.find(row.messagePart), std::string::npos) << error.message;
  }
  // The longest text that fits is accepted.
  std::vector<SourceString> strings;
  SourceError error;
  EXPECT_TRUE(ParseStringSource("13\t" + std::string(1023, 'x'), strings, error));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

TEST(StringTableSource, UpdaterTableHoldsItsOwnTexts) {
  const std::filesystem::path data = std::filesystem::path(NUBREL_TEST_DIR) / "../../data";
  std::vector<SourceString> strings;
  SourceError error;
  ASSERT_TRUE(ParseStringSource(ReadFile(data / "updater_strings.txt"), strings, error))
      << error.line << ": " << error.message;
  const AnchorRow expected[] = {
      {103, u"Nubrel"},
      {104, u"Program Files"},
      {105, u"PMail\\Attachments"},
      {106, u"TopDir"},
      {107, u"\\Program Files\\Nubrel\\Nubrel.exe"},
      {108, u"autoUpdateType"},
      {109, u"NUBREL"},
      {110, u"Software\\nubrel"},
      {111, u"checkNewInterval"},
      {112, u"updateHours"},
  };
  ASSERT_EQ(strings.size(), std::size(expected));
  for (std::size_t i = 0; i < strings.size(); ++i) {
    SCOPED_TRACE(expected[i].number);
    EXPECT_EQ(strings[i].number, expected[i].number);
    EXPECT_EQ(strings[i].text, expected[i].text);
  }
}

// ---- The generator ----

class StringTableGenerator : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-strings-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    if (!folder_.empty()) std::filesystem::remove_all(folder_);
  }

  // Runs the generator on `source`; returns its exit status (-1 if it did not end within
  // 30 seconds) and its error output.
  int Run(const std::string& source, std::string& errors) {
    std::ofstream(folder_ / "table.txt", std::ios::binary) << source;
    const std::string input = (folder_ / "table.txt").string();
    const std::string output = (folder_ / "table.cpp").string();
    const std::string errorFile = (folder_ / "errors.txt").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::string program = NUBREL_EMBED_STRINGS_EXE;
    char* argv[] = {program.data(), const_cast<char*>(input.c_str()),
                    const_cast<char*>(output.c_str()), nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -2;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    errors = ReadFile(errorFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::filesystem::path folder_;
};

TEST_F(StringTableGenerator, MalformedLineFailsWithFileAndLineAndWritesNothing) {
  std::string errors;
  EXPECT_EQ(Run("# table\n1\tfine\n2 missing tab\n", errors), 1);
  EXPECT_NE(errors.find("table.txt:3: error: "), std::string::npos) << errors;
  EXPECT_FALSE(std::filesystem::exists(folder_ / "table.cpp"));
}

TEST_F(StringTableGenerator, WellFormedTableBecomesSortedLiterals) {
  std::string errors;
  ASSERT_EQ(Run("9\t\xC2\xBD \\\"hour\\\"\n2\tback\\\\slash\\n\n", errors), 0) << errors;
  const std::string generated = ReadFile(folder_ / "table.cpp");
  const std::size_t two = generated.find("{2, std::u16string_view(u\"back\\\\slash\\n\", 11)}");
  const std::size_t nine = generated.find("{9, std::u16string_view(u\"\\u00BD \\\"hour\\\"\", 8)}");
  EXPECT_NE(two, std::string::npos) << generated;
  EXPECT_NE(nine, std::string::npos) << generated;
  EXPECT_LT(two, nine);
}

}  // namespace
}  // namespace nubrel
