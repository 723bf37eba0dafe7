// The local feed server of the refresh benchmark: N RSS 2.0 feeds of M items on 127.0.0.1, each
// with a fixed ETag and Last-Modified and answering conditional requests with 304, plus the
// subscription lists that point our reader (OPML) and newsboat (a urls file) at them. The timing
// itself is done by bench/refresh_vs_newsboat.sh; this program only serves.
//
//   feed_server [--feeds N] [--items M] [--port P] [--opml FILE] [--urls FILE]
//
// Prints the port on stdout (one line, after the lists are written), then serves until killed or,
// when stdin is a pipe, until the pipe closes (so it cannot outlive the script that started it).
// GET /stats answers "200 X\n304 Y\n" (feed answers since the last /stats?reset=1).
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
  int feeds = 500;
  int items = 50;
  int port = 0;  // 0: any free port
  std::string opmlFile;
  std::string urlsFile;
};

struct Feed {
  std::string title;
  std::string body;
  std::string etag;
};

std::string HttpDate(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);  // C locale: English names
  return text;
}

const char* const kTopics[] = {"council",  "harbour", "railway", "weather", "library",
                               "festival", "market",  "school",  "bridge",  "hospital"};

// A feed as a news site would publish it: newest first, ten minutes apart, each description a
// few hundred bytes of escaped HTML with entities, as real feeds carry them.
std::string MakeFeedBody(int feed, int items, const std::string& title, std::time_t newest) {
  const std::string site = "http://news" + std::to_string(feed) + ".example.com/";
  std::string body =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\">\n<channel>\n"
      "<title>" + title + "</title>\n<link>" + site + "</link>\n"
      "<description>Local news, sport &amp; weather from district " + std::to_string(feed) +
      ".</description>\n<language>en-gb</language>\n"
      "<lastBuildDate>" + HttpDate(newest) + "</lastBuildDate>\n";
  for (int i = 0; i < items; ++i) {
    const std::string n = std::to_string(feed) + "-" + std::to_string(i);
    const std::string topic = kTopics[(feed + i) % 10];
    body += "<item>\n<title>Story " + n + ": the " + topic + " committee &amp; its plans</title>\n";
    body += "<link>" + site + "stories/" + n + ".html?ref=rss&amp;src=feed</link>\n";
    body += "<description>&lt;p&gt;The " + topic + " committee met on Tuesday to discuss story " +
            n + ". Members said the caf&#233; on the corner would stay open &amp; that the " +
            "&#8220;new plans&#8221; were still under review.&lt;/p&gt;&lt;p&gt;A second " +
            "paragraph with &lt;a href=&quot;" + site + "more/" + n + "&quot;&gt;more " +
            "details&lt;/a&gt;, quotes from residents and a note on what happens next " +
            "&#8212; nothing is decided yet.&lt;/p&gt;</description>\n";
    body += "<guid isPermaLink=\"false\">" + site + "guid/" + n + "</guid>\n";
    body += "<pubDate>" + HttpDate(newest - static_cast<std::time_t>(i) * 600) + "</pubDate>\n";
    body += "</item>\n";
  }
  body += "</channel>\n</rss>\n";
  return body;
}

std::string XmlAttribute(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string FeedUrl(int port, int feed) {
  return "http://127.0.0.1:" + std::to_string(port) + "/feed/" + std::to_string(feed) + ".xml";
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  if (!out) std::fprintf(stderr, "feed_server: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

bool WriteLists(const Options& options, const std::vector<Feed>& feeds, int port) {
  if (!options.opmlFile.empty()) {
    std::string opml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<opml version=\"1.0\">\n<head>\n"
        "<title>Benchmark Channels</title>\n</head>\n<body>\n";
    for (size_t i = 0; i < feeds.size(); ++i) {
      const std::string title = XmlAttribute(feeds[i].title);
      opml += "<outline text=\"" + title + "\" title=\"" + title + "\" type=\"rss\" xmlUrl=\"" +
              FeedUrl(port, static_cast<int>(i + 1)) + "\"/>\n";
    }
    opml += "</body>\n</opml>\n";
    if (!WriteFile(options.opmlFile, opml)) return false;
  }
  if (!options.urlsFile.empty()) {
    std::string urls;
    for (size_t i = 0; i < feeds.size(); ++i) urls += FeedUrl(port, static_cast<int>(i + 1)) + "\n";
    if (!WriteFile(options.urlsFile, urls)) return false;
  }
  return true;
}

bool ParseCount(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = static_cast<int>(value);
  return true;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!value) return false;
    ++i;
    if (arg == "--feeds") {
      if (!ParseCount(value, 1, 100000, options.feeds)) return false;
    } else if (arg == "--items") {
      if (!ParseCount(value, 0, 100000, options.items)) return false;
    } else if (arg == "--port") {
      if (!ParseCount(value, 0, 65535, options.port)) return false;
    } else if (arg == "--opml") {
      options.opmlFile = value;
    } else if (arg == "--urls") {
      options.urlsFile = value;
    } else {
      return false;
    }
  }
  return true;
}

// "/feed/<i>.xml" with 1 <= i <= count; 0 for anything else.
int FeedNumber(const std::string& path, int count) {
  constexpr std::string_view kPrefix = "/feed/";
  constexpr std::string_view kSuffix = ".xml";
  if (path.size() <= kPrefix.size() + kSuffix.size() || path.compare(0, kPrefix.size(), kPrefix) ||
      path.compare(path.size() - kSuffix.size(), kSuffix.size(), kSuffix)) {
    return 0;
  }
  const std::string digits =
      path.substr(kPrefix.size(), path.size() - kPrefix.size() - kSuffix.size());
  int number = 0;
  return ParseCount(digits.c_str(), 1, count, number) && digits[0] != '0' ? number : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: feed_server [--feeds N] [--items M] [--port P] [--opml FILE] "
                 "[--urls FILE]\n");
    return 2;
  }

  // The documents are made once, so that serving costs the same for every client measured.
  // Dates follow the clock (an hour back) so no reader takes the items for expired ones.
  const std::time_t newest = std::time(nullptr) - 3600;
  const std::string lastModified = HttpDate(newest);
  std::vector<Feed> feeds(static_cast<size_t>(options.feeds));
  for (int i = 1; i <= options.feeds; ++i) {
    Feed& feed = feeds[static_cast<size_t>(i - 1)];
    feed.title = "District " + std::to_string(i) + " News";
    feed.body = MakeFeedBody(i, options.items, feed.title, newest);
    feed.etag = "\"bench-" + std::to_string(i) + "-v1\"";
  }

  httplib::Server server;
  // Clients that keep connections open must not starve the others of server threads.
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  server.set_keep_alive_max_count(100000);
  std::atomic<long> full{0};
  std::atomic<long> notModified{0};

  // "application/rss+xml" is a type httplib never compresses: every client gets the same bytes
  // whatever Accept-Encoding it sends, so no one's time includes the server's gzip.
  server.Get(R"(/feed/\d+\.xml)", [&](const httplib::Request& request, httplib::Response& response) {
    const int number = FeedNumber(request.path, options.feeds);
    if (number == 0) {
      response.status = 404;
      return;
    }
    const Feed& feed = feeds[static_cast<size_t>(number - 1)];
    response.set_header("ETag", feed.etag);
    response.set_header("Last-Modified", lastModified);
    const bool etagMatches =
        request.has_header("If-None-Match") && request.get_header_value("If-None-Match") == feed.etag;
    const bool dateMatches = request.has_header("If-Modified-Since") &&
                             request.get_header_value("If-Modified-Since") == lastModified;
    if (etagMatches || dateMatches) {
      response.status = 304;
      ++notModified;
      return;
    }
    response.set_content(feed.body, "application/rss+xml");
    ++full;
  });
  server.Get("/stats", [&](const httplib::Request& request, httplib::Response& response) {
    const std::string text =
        "200 " + std::to_string(full.load()) + "\n304 " + std::to_string(notModified.load()) + "\n";
    if (request.has_param("reset")) {
      full = 0;
      notModified = 0;
    }
    response.set_content(text, "text/plain");
  });

  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "feed_server: cannot listen on 127.0.0.1:%d\n", options.port);
    return 1;
  }
  if (!WriteLists(options, feeds, port)) return 1;

  struct stat in {};
  if (::fstat(STDIN_FILENO, &in) == 0 && S_ISFIFO(in.st_mode)) {
    // Nothing is kept that needs an orderly end, and stop() would miss a server not yet listening.
    std::thread([] {
      char buffer[256];
      while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
      }
      std::_Exit(0);
    }).detach();
  }

  std::printf("%d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}
