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

#include "support/feed_server.h"

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
      {"refresh --bogus", 2, "usage: nbtool refresh"},
      {"refresh", 1, "no readable subscription list"},
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

namespace {

TEST_F(NbtoolTest, RefreshUpdatesEveryChannelAndThenAsksOnlyForChanges) {
  testsupport::FeedServer server;
  server.Feed("/good.xml",
              "<rss version=\"2.0\"><channel><title>Good</title>"
              "<item><title>One</title><guid>1</guid></item>"
              "<item><title>Two</title><guid>2</guid></item></channel></rss>",
              "\"g1\"");
  ASSERT_TRUE(server.Start());
  fs::create_directories(root_ + "/My Documents/Channels");
  WriteFile("My Documents/Channels/myChannels.opml",
            "<?xml version=\"1.0\"?><opml version=\"1.0\"><head><title>My Channels</title></head>"
            "<body><outline text=\"Good\" title=\"Good\" type=\"rss\" xmlUrl=\"" +
                server.Url("/good.xml") +
                "\"/><outline text=\"Gone\" title=\"Gone\" type=\"rss\" xmlUrl=\"" +
                server.Url("/gone.xml") + "\"/></body></opml>");

  ToolRun cold = RunTool(root_, "refresh");
  ASSERT_EQ(cold.exitCode, 0) << cold.out;
  EXPECT_NE(cold.out.find("{\"title\":\"Good\",\"url\":\"" + server.Url("/good.xml") +
                          "\",\"result\":\"updated\",\"status\":\"Success\",\"items\":2,"
                          "\"newItems\":2}"),
            std::string::npos)
      << cold.out;
  EXPECT_NE(cold.out.find("\"result\":\"failed\",\"status\":\"Unable to retrieve RSS feed "),
            std::string::npos)
      << cold.out;
  EXPECT_NE(cold.out.find("\"summary\":{\"channels\":2,\"updated\":1,\"unchanged\":0,"
                          "\"failed\":1,\"skipped\":0,\"items\":2,\"newItems\":2,"),
            std::string::npos)
      << cold.out;

  // The second run starts from the files the first one saved.
  ToolRun warm = RunTool(root_, "refresh");
  ASSERT_EQ(warm.exitCode, 0) << warm.out;
  EXPECT_EQ(server.Header("/good.xml", "If-None-Match"), "\"g1\"");
  EXPECT_NE(warm.out.find("\"result\":\"unchanged\",\"status\":\"Success. No changes.\","
                          "\"items\":2,\"newItems\":0}"),
            std::string::npos)
      << warm.out;

  ToolRun due = RunTool(root_, "refresh --if-due");
  ASSERT_EQ(due.exitCode, 0) << due.out;
  EXPECT_NE(due.out.find("\"title\":\"Good\",\"url\":\"" + server.Url("/good.xml") +
                         "\",\"result\":\"skipped\""),
            std::string::npos)
      << due.out;
  EXPECT_EQ(server.Hits("/good.xml"), 2);  // the interval had not passed: nothing was asked
}

}  // namespace
