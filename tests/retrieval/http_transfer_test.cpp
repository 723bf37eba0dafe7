// loadUrl against a scripted cpp-httplib server on 127.0.0.1: bodies into memory and files,
// gzip, conditional requests, status codes, credentials, size limits, abort, code page and the
// trace lines. The HTTP client's own behaviour (redirects, 407, time-outs) is tested with it.
#include "retrieval/http_transfer.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "core/settings.h"
#include "core/trace_log.h"
#include "platform/code_pages.h"
#include "platform/files.h"
#include "platform/utf.h"
#include "shared/temp_device.h"
#include "support/zlib_gzip.h"

namespace nubrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string Gzip(const std::string& data) { return testsupport::ZlibGzip(data); }

std::string FeedText(size_t size) {
  std::string text;
  while (text.size() < size) text += "<item><title>item " + std::to_string(text.size()) + "</title></item>\n";
  text.resize(size);
  return text;
}

// The headers of the last request each path received.
struct Received {
  std::mutex lock;
  std::map<std::string, httplib::Headers> byPath;
  void Record(const httplib::Request& request) {
    std::lock_guard<std::mutex> hold(lock);
    byPath[request.path] = request.headers;
  }
  std::string Header(const std::string& path, const std::string& name) {
    std::lock_guard<std::mutex> hold(lock);
    auto found = byPath.find(path);
    if (found == byPath.end()) return "<no request>";
    auto header = found->second.find(name);
    return header == found->second.end() ? "<absent>" : header->second;
  }
};

class LoadUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device_.valid());
    ResetSettings();
    ASSERT_TRUE(SetUserAgent(u"NubrelTest/2.5", false));
    ClearTransferAbort();
    Script();
    port_ = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port_, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = Clock::now() + 5s;
    while (!server_.is_running() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    ASSERT_TRUE(server_.is_running());
  }
  void TearDown() override {
    stopSlow_ = true;
    ClearTransferAbort();
    ResetTraceLog();
    server_.stop();
    if (thread_.joinable()) thread_.join();
    ResetSettings();
  }

  void Script() {
    server_.Get("/plain", [this](const httplib::Request& q, httplib::Response& r) {
      received_.Record(q);
      r.set_header("ETag", "\"v2\"");
      r.set_header("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT");
      r.set_content(feed_, "application/rss+xml; charset=ISO-8859-1");
    });
    server_.Get("/chunked", [this](const httplib::Request& q, httplib::Response& r) {
      received_.Record(q);
      r.set_chunked_content_provider("text/plain", [this](size_t offset, httplib::DataSink& sink) {
        if (offset >= feed_.size()) {
          sink.done();
          return true;
        }
        const size_t piece = std::min<size_t>(7000, feed_.size() - offset);
        return sink.write(feed_.data() + offset, piece);
      });
    });
    server_.Get("/gzip", [this](const httplib::Request& q, httplib::Response& r) {
      received_.Record(q);
      r.set_header("Content-Encoding", "GZip");
      r.set_content(Gzip(feed_), "application/rss+xml");
    });
    server_.Get("/badgzip", [this](const httplib::Request&, httplib::Response& r) {
      std::string body = Gzip(feed_);
      body[body.size() / 2] = static_cast<char>(body[body.size() / 2] ^ 0x55);
      r.set_header("Content-Encoding", "gzip");
      r.set_content(body, "application/rss+xml");
    });
    server_.Get("/compress", [](const httplib::Request&, httplib::Response& r) {
      r.set_header("Content-Encoding", "compress");
      r.set_content("\x1f\x9d\x90 not decodable", "application/rss+xml");
    });
    server_.Get("/cond", [this](const httplib::Request& q, httplib::Response& r) {
      received_.Record(q);
      if (q.get_header_value("If-None-Match") == "\"v1\"") {
        r.status = 304;
        r.set_header("ETag", "\"v9\"");
        return;
      }
      r.set_content(feed_, "text/xml");
    });
    server_.Get(R"(/status/(\d+))", [](const httplib::Request& q, httplib::Response& r) {
      r.status = std::stoi(q.matches[1]);
      r.set_header("ETag", "\"error-page\"");
      r.set_content("error page", "text/html");
    });
    server_.Get(R"(/auth/.*)", [this](const httplib::Request& q, httplib::Response& r) {
      received_.Record(q);
      {
        std::lock_guard<std::mutex> hold(received_.lock);
        lastAuthPath_ = q.path + "?" + q.get_param_value("p");
      }
      r.set_content("ok", "text/plain");
    });
    // A declared length, with bytes produced only as the client reads them.
    auto declared = [](size_t length) {
      return [length](const httplib::Request&, httplib::Response& r) {
        r.set_content_provider(length, "application/octet-stream",
                               [](size_t, size_t, httplib::DataSink& sink) {
                                 const std::string piece(4096, 'x');
                                 return sink.write(piece.data(), piece.size());
                               });
      };
    };
    server_.Get("/three-mb", declared(3 * 1048576));
    server_.Get("/above-cap", declared(kMaxMemoryBodyBytes + 1));
    server_.Get("/slow", [this](const httplib::Request&, httplib::Response& r) {
      r.set_chunked_content_provider("text/plain", [this](size_t, httplib::DataSink& sink) {
        if (stopSlow_) return false;
        std::this_thread::sleep_for(30ms);
        return sink.write("slow piece\n", 11);
      });
    });
  }

  UrlRequest Request(const std::string& path) const {
    UrlRequest request;
    request.url = platform::FromUtf8("http://127.0.0.1:" + std::to_string(port_) + path);
    return request;
  }

  platform::FileHandle OpenOut(const std::u16string& path) {
    return platform::OpenFile(path, platform::kAccessRead | platform::kAccessWrite,
                              platform::kShareNone, platform::Disposition::kCreateAlways);
  }

  testing::TempDevice device_;
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  Received received_;
  std::string lastAuthPath_;
  std::atomic<bool> stopSlow_{false};
  const std::string feed_ = FeedText(50000);
};

// ---- Bodies ----

TEST_F(LoadUrlTest, BodyArrivesWholeIntoMemoryAndIntoAFile) {
  for (const char* path : {"/plain", "/chunked", "/gzip"}) {
    SCOPED_TRACE(path);
    std::string body;
    uint64_t bytes = 0;
    std::vector<int32_t> percents;
    const TransferProgress progress = [&percents](int32_t percent) {
      percents.push_back(percent);
      return true;
    };
    ASSERT_EQ(loadUrlToMemory(Request(path), body, nullptr, nullptr, nullptr, &bytes, progress), 0);
    EXPECT_EQ(body, feed_);
    EXPECT_EQ(bytes, feed_.size());
    ASSERT_FALSE(percents.empty());
    if (std::string(path) == "/chunked") {
      EXPECT_EQ(percents.back(), 50);  // no length known
    } else {
      EXPECT_EQ(percents.back(), 100);
    }
    // Into a file: an older, longer content must not survive past the new body.
    testing::WriteHostFile(device_.Host("out.bin"), std::string(200000, 'o'));
    platform::FileHandle file = OpenOut(u"\\out.bin");
    ASSERT_TRUE(file.IsOpen());
    bytes = 0;
    ASSERT_EQ(loadUrlToFile(Request(path), file, 0, &bytes), 0);
    file.Close();
    const std::string stored = testing::ReadHostFile(device_.Host("out.bin"));
    // A file transfer never asks for gzip, so even /gzip's body would arrive as sent.
    if (std::string(path) == "/gzip") {
      EXPECT_EQ(stored, Gzip(feed_));
    } else {
      EXPECT_EQ(stored, feed_);
    }
    EXPECT_EQ(bytes, stored.size());
  }
  EXPECT_EQ(received_.Header("/gzip", "Accept-Encoding"), "<absent>");  // the file transfer's
  EXPECT_EQ(received_.Header("/chunked", "User-Agent"), "NubrelTest/2.5");
}

TEST_F(LoadUrlTest, UndecodableEncodingsGiveNoBody) {
  std::string body = "stale";
  OptionalText etag = u"\"keep\"";
  EXPECT_EQ(loadUrlToMemory(Request("/badgzip"), body, nullptr, &etag), kUrlBadGzip);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(etag, OptionalText(u"\"keep\""));
  EXPECT_EQ(loadUrlToMemory(Request("/compress"), body, nullptr, nullptr), 0);
  EXPECT_TRUE(body.empty());
}

// ---- Validators and request headers ----

TEST_F(LoadUrlTest, ConditionalRequestAnsweredNotModifiedKeepsValidators) {
  OptionalText etag = u"\"v1\"";
  OptionalText lastModified = u"Mon, 30 Nov 2026 08:00:00 GMT";
  std::string body = "old";
  EXPECT_EQ(loadUrlToMemory(Request("/cond"), body, &lastModified, &etag), kUrlNotModified);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(etag, OptionalText(u"\"v1\""));
  EXPECT_EQ(lastModified, OptionalText(u"Mon, 30 Nov 2026 08:00:00 GMT"));
  EXPECT_EQ(received_.Header("/cond", "If-None-Match"), "\"v1\"");
  EXPECT_EQ(received_.Header("/cond", "If-Modified-Since"), "Mon, 30 Nov 2026 08:00:00 GMT");
  EXPECT_EQ(received_.Header("/cond", "Accept-Encoding"), "gzip, identity");
  EXPECT_EQ(received_.Header("/cond", "User-Agent"), "NubrelTest/2.5");

  // Success stores the answer's validators, and only those it has.
  etag = u"\"old\"";
  EXPECT_EQ(loadUrlToMemory(Request("/cond"), body, &lastModified, &etag), 0);
  EXPECT_EQ(etag, OptionalText(u"\"old\""));  // /cond sends no ETag with 200
  int32_t codePage = 0;
  EXPECT_EQ(loadUrlToMemory(Request("/plain"), body, &lastModified, &etag, &codePage), 0);
  EXPECT_EQ(etag, OptionalText(u"\"v2\""));
  EXPECT_EQ(lastModified, OptionalText(u"Tue, 01 Dec 2026 10:00:00 GMT"));
  EXPECT_EQ(codePage, 1252);
  EXPECT_EQ(received_.Header("/plain", "If-None-Match"), "\"old\"");
}

TEST_F(LoadUrlTest, StatusCodesBecomeNegativeResultsWithoutBodyOrValidators) {
  for (int status : {404, 410, 500, 503}) {
    SCOPED_TRACE(status);
    std::string body;
    OptionalText etag = u"\"mine\"";
    uint64_t bytes = 77;
    EXPECT_EQ(loadUrl(Request("/status/" + std::to_string(status)), &body, nullptr, nullptr, &etag,
                      nullptr, &bytes, 0, {}),
              -status);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(etag, OptionalText(u"\"mine\""));
    EXPECT_EQ(bytes, 77u);
  }
  std::string body;
  EXPECT_EQ(loadUrl(Request("/status/226"), &body, nullptr, nullptr, nullptr, nullptr, nullptr, 0, {}), 0);
  EXPECT_EQ(body, "error page");
}

TEST_F(LoadUrlTest, PlaceholdersAreFilledAndAuthorizationSent) {
  UrlRequest request = Request("/auth/<username>?p=<password>");
  request.user = u"anna";
  request.password = u"s3cret";
  std::string body;
  ASSERT_EQ(loadUrlToMemory(request, body, nullptr, nullptr), 0);
  {
    std::lock_guard<std::mutex> hold(received_.lock);
    EXPECT_EQ(lastAuthPath_, "/auth/anna?s3cret");
  }
  EXPECT_EQ(received_.Header("/auth/anna", "Authorization"), "Basic YW5uYTpzM2NyZXQ=");
}

TEST_F(LoadUrlTest, MissingOrEmptyAddressAndBadTargets) {
  std::string body;
  UrlRequest request;
  EXPECT_EQ(loadUrlToMemory(request, body, nullptr, nullptr), kUrlNoAddress);
  request.url = u"";
  EXPECT_EQ(loadUrlToMemory(request, body, nullptr, nullptr), kUrlNoAddress);
  platform::FileHandle file;
  EXPECT_EQ(loadUrl(Request("/plain"), &body, &file, nullptr, nullptr, nullptr, nullptr, 0, {}),
            platform::kErrorInvalidParameter);
  EXPECT_EQ(loadUrl(Request("/plain"), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, {}),
            platform::kErrorInvalidParameter);
}

// ---- Limits ----

TEST_F(LoadUrlTest, DeclaredLengthsBeyondTheLimitsAreRefusedBeforeReading) {
  testing::WriteHostFile(device_.Host("big.bin"), "previous");
  platform::FileHandle file = platform::OpenFile(u"\\big.bin", platform::kAccessWrite,
                                                 platform::kShareNone, platform::Disposition::kOpenExisting);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(loadUrlToFile(Request("/three-mb"), file, 2), kUrlTooLarge);
  file.Close();
  EXPECT_EQ(testing::ReadHostFile(device_.Host("big.bin")), "previous");

  std::string body;
  const auto started = Clock::now();
  EXPECT_EQ(loadUrlToMemory(Request("/above-cap"), body, nullptr, nullptr), kUrlNoBuffer);
  EXPECT_TRUE(body.empty());
  EXPECT_LT(body.capacity(), size_t{1} << 20);  // nothing was allocated for it
  EXPECT_LT(Clock::now() - started, 20s);
}

// ---- Abort ----

TEST_F(LoadUrlTest, AbortDuringASlowBodyEndsTheTransfer) {
  for (bool intoFile : {false, true}) {
    SCOPED_TRACE(intoFile ? "file" : "memory");
    ClearTransferAbort();
    std::thread stopper([] {
      std::this_thread::sleep_for(200ms);
      RaiseTransferAbort();
    });
    std::string body;
    platform::FileHandle file = OpenOut(u"\\slow.bin");
    const auto started = Clock::now();
    const int32_t result = intoFile ? loadUrlToFile(Request("/slow"), file, 0)
                                    : loadUrlToMemory(Request("/slow"), body, nullptr, nullptr);
    stopper.join();
    EXPECT_EQ(result, kUrlAborted);
    EXPECT_TRUE(body.empty());
    EXPECT_LT(Clock::now() - started, 10s);
  }
  // A progress callback that refuses ends it the same way.
  ClearTransferAbort();
  std::string body;
  EXPECT_EQ(loadUrlToMemory(Request("/slow"), body, nullptr, nullptr, nullptr, nullptr,
                            [](int32_t) { return false; }),
            kUrlAborted);
}

// ---- Trace ----

TEST_F(LoadUrlTest, TraceLinesRecordTheTransferSteps) {
  ASSERT_EQ(TraceOpen(u"\\trace.log"), 0u);
  std::string body;
  ASSERT_EQ(loadUrlToMemory(Request("/gzip"), body, nullptr, nullptr), 0);
  EXPECT_EQ(loadUrlToMemory(Request("/status/404"), body, nullptr, nullptr), -404);
  UrlRequest none;
  EXPECT_EQ(loadUrlToMemory(none, body, nullptr, nullptr), kUrlNoAddress);
  TraceClose();
  const std::string log = testing::ReadHostFile(device_.Host("trace.log"));
  const std::string gzipSize = std::to_string(Gzip(feed_).size());
  for (const std::string& line :
       {"URL : http://127.0.0.1:" + std::to_string(port_) + "/gzip\n", std::string("HTTP code :  [200]\n"),
        "decompress source :  [" + gzipSize + "]\n", "decompress dest   :  [" + std::to_string(feed_.size()) + "]\n",
        "retrieved bytes :  [" + std::to_string(feed_.size()) + "]\n", std::string("LoadURL returned  [-404]\n"),
        std::string("URL is NULL\n")}) {
    SCOPED_TRACE(line);
    EXPECT_NE(log.find(line), std::string::npos) << log;
  }
}

// ---- Connection ----

TEST_F(LoadUrlTest, ConnectionFollowsTheDeviceOfflineSetting) {
  const size_t before = platform::LiveConnectionCount();
  platform::NetworkConnection connection = connectNetwork();
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_EQ(platform::LiveConnectionCount(), before + 1);
  releaseNetwork(connection);
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(platform::LiveConnectionCount(), before);

  platform::DeviceConfig config = platform::Device();
  config.offline = true;
  platform::SetDeviceConfig(config);
  ASSERT_EQ(TraceOpen(u"\\trace.log"), 0u);
  platform::NetworkConnection refused = connectNetwork();
  TraceClose();
  EXPECT_FALSE(refused.IsOpen());
  releaseNetwork(refused);  // harmless
  EXPECT_NE(testing::ReadHostFile(device_.Host("trace.log")).find("InitURL : Establish failed : error =  [2250]"),
            std::string::npos);
}

}  // namespace
}  // namespace nubrel
