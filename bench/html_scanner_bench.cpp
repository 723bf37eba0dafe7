// How fast the HTML scanner reads a large page: a generated 4 MB news page (links, images,
// entities, comments, scripts, tables) scanned as a document with handlers that only count, in
// UTF-8, in a single-byte code page and as UTF-16 text. Reported as bytes per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "offline/html_scanner.h"
#include "platform/utf.h"

namespace {

// One story of the page; every element it opens it closes, so the document ends at </html>.
constexpr std::string_view kStory =
    "<div class=\"story\" id=\"s\">\n"
    "  <h2><a href=\"http://example.com/news/2024/05/story.html?ref=front&amp;id=42\" "
    "title='Read the whole story'>Markets rally as caf&eacute; owners &amp; bakers cheer</a></h2>\n"
    "  <p class=byline>By <b>A. Writer</b> &mdash; <i>May 5, 2024</i></p>\n"
    "  <!-- teaser image -->\n"
    "  <img src=\"http://example.com/img/teaser.jpg\" width=\"120\" height=\"80\" alt=\"\" />\n"
    "  <p>Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor "
    "incididunt ut labore et dolore magna aliqua. Ut enim ad minim veniam, quis nostrud "
    "exercitation ullamco laboris nisi ut aliquip ex ea commodo consequat.<br/>Duis aute irure "
    "dolor in reprehenderit in voluptate velit esse cillum dolore eu fugiat nulla pariatur.</p>\n"
    "  <table><tr><td>Open</td><td>1,024.5</td></tr><tr><td>Close</td><td>1,031.2</td></tr>"
    "</table>\n"
    "  <script type='text/javascript'>track('story', 42); if (a < b) { show('more'); }</script>\n"
    "  <ul><li><a href=/a>Related one</a></li><li><a href=/b>Related two</a></li></ul>\n"
    "</div>\n";

std::string MakePage(size_t size) {
  std::string page =
      "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\">\n"
      "<html><head><title>Front page</title>"
      "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"/>"
      "<link rel=\"alternate\" type=\"application/rss+xml\" href=\"/rss.xml\"/>"
      "<style>p { margin: 0 }</style></head><body>\n";
  while (page.size() < size) page += kStory;
  page += "</body></html>\n";
  return page;
}

struct Counts {
  uint64_t tags = 0;
  uint64_t attributes = 0;
  uint64_t textUnits = 0;
};

nubrel::HtmlScanner CountingScanner(Counts& counts, uint32_t codePage) {
  nubrel::HtmlScanner settings;
  settings.context = &counts;
  settings.codePage = codePage;
  settings.startTag = [](void* context, std::u16string_view,
                         std::span<const nubrel::HtmlAttribute> attributes, bool, uint32_t&) {
    Counts& counts = *static_cast<Counts*>(context);
    ++counts.tags;
    counts.attributes += attributes.size();
  };
  settings.endTag = [](void* context, std::u16string_view) {
    ++static_cast<Counts*>(context)->tags;
  };
  settings.text = [](void* context, std::u16string_view text) {
    static_cast<Counts*>(context)->textUnits += text.size();
  };
  return settings;
}

const std::string& Page() {
  static const std::string page = MakePage(4 << 20);
  return page;
}

void ScanBytes(benchmark::State& state, uint32_t codePage) {
  const std::string& page = Page();
  Counts counts;
  const nubrel::HtmlScanner settings = CountingScanner(counts, codePage);
  for (auto _ : state) {
    const int result = nubrel::ScanHtml(settings, page);
    if (result != 0) state.SkipWithError("the page did not scan to its end");
    benchmark::DoNotOptimize(counts);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
  state.counters["tags"] = static_cast<double>(counts.tags) / state.iterations();
}

void BM_ScanHtmlUtf8(benchmark::State& state) { ScanBytes(state, 65001); }
void BM_ScanHtml1252(benchmark::State& state) { ScanBytes(state, 1252); }

void BM_ScanHtmlUtf16Text(benchmark::State& state) {
  const std::u16string page = platform::FromUtf8(Page());
  Counts counts;
  const nubrel::HtmlScanner settings = CountingScanner(counts, 65001);
  for (auto _ : state) {
    if (nubrel::ScanHtml(settings, std::u16string_view(page)) != 0) {
      state.SkipWithError("the page did not scan to its end");
    }
    benchmark::DoNotOptimize(counts);
  }
  // Bytes of the page as UTF-8, so the figures compare with the byte scans.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Page().size()));
}

// The scan a feed-link search does: start tags only, text not collected at all.
void BM_ScanHtmlStartTagsOnly(benchmark::State& state) {
  const std::string& page = Page();
  Counts counts;
  nubrel::HtmlScanner settings = CountingScanner(counts, 65001);
  settings.endTag = nullptr;
  settings.text = nullptr;
  for (auto _ : state) {
    benchmark::DoNotOptimize(nubrel::ScanHtml(settings, page));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

BENCHMARK(BM_ScanHtmlUtf8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanHtml1252)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanHtmlUtf16Text)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanHtmlStartTagsOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
