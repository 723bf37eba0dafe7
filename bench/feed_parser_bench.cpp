// How fast parseFeed reads a large feed, against Expat alone on the same bytes (the same parser
// with empty handlers: the floor no feed parser built on it can go below). The 5 MB RSS 2.0 feed
// is generated here: 4,000-odd items with titles, links, descriptions with entities, HTML content
// in CDATA, dates, guids, authors and enclosures. Prints both throughputs and their ratio; the
// goal is parseFeed at no less than half of Expat's speed.
//
//   bench_feed_parser [--benchmark_filter=...] [--benchmark_repetitions=N] (5 by default)
#include <benchmark/benchmark.h>
#include <expat.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "feeds/dates.h"
#include "feeds/feed_parser.h"
#include "feeds/item_list.h"
#include "platform/utf.h"

namespace {

constexpr size_t kFeedBytes = 5 * 1024 * 1024;

std::string MakeFeed() {
  std::string feed =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<rss version=\"2.0\" xmlns:content=\"http://purl.org/rss/1.0/modules/content/\" "
      "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n<channel>\n"
      "<title>Benchmark Daily</title>\n<link>http://bench.example.com/</link>\n"
      "<description>Everything that happened, and then some.</description>\n"
      "<pubDate>Sun, 05 Oct 2008 12:30:00 GMT</pubDate>\n";
  platform::FileTime date = 0;
  nubrel::parseIsoDate(u"2008-10-05T12:00:00Z", date);
  for (int i = 0; feed.size() < kFeedBytes; ++i) {
    const std::string n = std::to_string(i);
    date -= 10 * nubrel::kFileTimeMinute;  // newest first, as feeds come
    feed += "<item>\n<title>Story number " + n + ": councils &amp; committees agree</title>\n";
    feed += "<link>http://bench.example.com/stories/" + n + "?ref=rss&amp;src=bench</link>\n";
    feed += "<description>A summary of story " + n +
            " with &lt;b&gt;escaped markup&lt;/b&gt; and caf&#233; prices.</description>\n";
    feed += "<content:encoded><![CDATA[<p>The full text of story " + n +
            ". <a href=\"http://bench.example.com/\">Read more</a> about the matter, which "
            "went on for a while and involved several people, places and things.</p>"
            "<p>A second paragraph, so that items have a realistic size.</p>]]>"
            "</content:encoded>\n";
    feed += "<pubDate>" + platform::ToUtf8(nubrel::formatRfc822Date(date)) + "</pubDate>\n";
    feed += "<guid isPermaLink=\"false\">bench-story-" + n + "</guid>\n";
    feed += "<dc:creator>Reporter " + std::to_string(i % 17) + "</dc:creator>\n";
    if (i % 4 == 0) {
      feed += "<enclosure url=\"http://media.example.com/" + n +
              ".mp3\" length=\"12345678\" type=\"audio/mpeg\"/>\n";
    }
    feed += "</item>\n";
  }
  feed += "</channel>\n</rss>\n";
  return feed;
}

const std::string& Feed() {
  static const std::string feed = MakeFeed();
  return feed;
}

void BM_ParseFeed(benchmark::State& state) {
  const std::string& feed = Feed();
  int64_t items = 0;
  for (auto _ : state) {
    auto list = nubrel::parseFeed(nullptr, feed, 65001, true);
    if (!list) {
      state.SkipWithError("the feed did not parse");
      return;
    }
    items = list->totalCount;
    benchmark::DoNotOptimize(list);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * feed.size()));
  state.counters["items"] = static_cast<double>(items);
}

void XMLCALL NoStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL NoEnd(void*, const XML_Char*) {}
void XMLCALL NoText(void*, const XML_Char*, int) {}

void BM_ExpatAlone(benchmark::State& state) {
  const std::string& feed = Feed();
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetElementHandler(parser, NoStart, NoEnd);
    XML_SetCharacterDataHandler(parser, NoText);
    XML_Status status = XML_Parse(parser, feed.data(), static_cast<int>(feed.size()), XML_TRUE);
    XML_ParserFree(parser);
    if (status != XML_STATUS_OK) {
      state.SkipWithError("Expat rejected the feed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * feed.size()));
}

BENCHMARK(BM_ParseFeed)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ExpatAlone)->Unit(benchmark::kMillisecond)->Repetitions(5);

// The console report, then the two throughputs (the median over repetitions) and their ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) throughputs_[run.run_name.function_name].push_back(it->second);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    const double ours = Median("BM_ParseFeed");
    const double expat = Median("BM_ExpatAlone");
    if (ours <= 0 || expat <= 0) return;
    std::printf("\nfeed: %zu bytes\n", Feed().size());
    std::printf("parseFeed:   %8.1f MB/s\n", ours / 1e6);
    std::printf("Expat alone: %8.1f MB/s\n", expat / 1e6);
    std::printf("ratio:       %8.2f (goal: at least 0.50)\n", ours / expat);
  }

 private:
  double Median(const std::string& name) {
    std::vector<double>& values = throughputs_[name];
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

  std::map<std::string, std::vector<double>> throughputs_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
