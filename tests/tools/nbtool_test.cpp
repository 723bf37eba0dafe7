// nbtool as its users meet it: exit codes, messages on bad input, and JSON that says what the
// engine made of real files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int exitCode = -1;
  std::string out;  // standard output and standard error together
};

std::string Quote(const std::string& arg) {
  std::string q = "'";
  for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs nbtool on a fresh device root with the given arguments.
ToolRun RunTool(const std::string& root, const std::string& args) {
  std::string command = std::string(NBTOOL_EXE) + " --root " + Quote(root) + " " + args + " 2>&1";
  ToolRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.out.append(buffer.data(), n);
  int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class NbtoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nubrel-nbtool-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string Fixture(const std::string& relative) {
    return std::string(NUBREL_TESTS_ROOT) + "/" + relative;
  }
  std::string WriteFile(const std::string& name, const std::string& bytes) {
    std::string path = root_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string root_;
};

TEST_F(NbtoolTest, UsageErrorsAndBadInputGetAMessageAndTheirExitCode) {
  const std::string notXml = WriteFile("broken.xml", "this is not a feed");
  struct Row {
    std::string args;
    int exitCode;
    std::string said;  // a piece of what the tool must print
  } rows[] = {
      {"", 2, "usage: nbtool"},
      {"no-such-command", 2, "unknown command"},
      {"parse-feed", 2, "usage: nbtool parse-feed"},
      {"parse-feed " + Quote(root_ + "/missing.xml"), 1, "missing.xml"},
      {"parse-feed " + Quote(notXml), 1, "Unable to parse RSS feed"},
      {"parse-date " + Quote("Sun, 05 Oct 08 12:30:00 GMT"), 1, ""},
      {"read-opml " + Quote(notXml), 1, "Unable to parse OPML"},
      {"scan-html " + Quote(root_ + "/missing.html"), 1, "missing.html"},
      {"fetch", 2, "usage: nbtool fetch"},
      {"fetch http://127.0.0.1:1/feed", 1, "\"result\":12029"},  // nothing listens on port 1
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args);
    ToolRun run = RunTool(root_, row.args);
    EXPECT_EQ(run.exitCode, row.exitCode) << run.out;
    EXPECT_NE(run.out.find(row.said), std::string::npos) << run.out;
  }
}

TEST_F(NbtoolTest, ParseDatePrintsTheUtcTimeItRead) {
  ToolRun run = RunTool(root_, "parse-date " + Quote("Sun 05 Oct 2008 12:30 +0200"));
  ASSERT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("2008-10-05T10:30:00"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("rfc822"), std::string::npos) << run.out;
}

TEST_F(NbtoolTest, ParseFeedAndItemFileShowWhatTheEngineMadeOfAFeed) {
  ToolRun parsed = RunTool(root_, "parse-feed " + Quote(Fixture("feeds/data/windows1251.xml")));
  ASSERT_EQ(parsed.exitCode, 0) << parsed.out;
  EXPECT_EQ(parsed.out.front(), '{');
  EXPECT_NE(parsed.out.find("\"items\""), std::string::npos) << parsed.out;

  ToolRun stored = RunTool(root_, "item-file " + Quote(Fixture("feeds/data/rss20.xml")));
  ASSERT_EQ(stored.exitCode, 0) << stored.out;
  EXPECT_EQ(stored.out.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << stored.out;
}

TEST_F(NbtoolTest, ReadOpmlWritesBackWhatItRead) {
  const std::string list = WriteFile(
      "list.opml",
      "<?xml version=\"1.0\"?><opml version=\"1.0\"><head><title>Mine</title></head><body>"
      "<outline text=\"News\"><outline text=\"A &amp; B\" xmlUrl=\"http://example.com/feed\"/>"
      "</outline></body></opml>");
  ToolRun read = RunTool(root_, "read-opml " + Quote(list) + " --write " + Quote(root_ + "/out.opml"));
  ASSERT_EQ(read.exitCode, 0) << read.out;
  EXPECT_NE(read.out.find("A & B"), std::string::npos) << read.out;
  std::ifstream out(root_ + "/out.opml");
  std::string written((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  EXPECT_NE(written.find("<outline text=\"A &amp; B\""), std::string::npos) << written;
  EXPECT_NE(written.find("xmlUrl=\"http://example.com/feed\""), std::string::npos) << written;
}

TEST_F(NbtoolTest, ScanHtmlPrintsOneJsonLinePerHandlerCall) {
  const std::string page = WriteFile("page.html", "<p class=x>Hi &amp; bye</p>");
  ToolRun run = RunTool(root_, "scan-html " + Quote(page) + " --fragment --decode-entities");
  ASSERT_EQ(run.exitCode, 0) << run.out;
  size_t lines = 0;
  for (char c : run.out) lines += c == '\n';
  EXPECT_GE(lines, 3u) << run.out;  // start tag, text, end tag (and the result line)
  EXPECT_NE(run.out.find("Hi & bye"), std::string::npos) << run.out;
}

}  // namespace
