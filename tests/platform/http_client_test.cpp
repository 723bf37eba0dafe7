// Tests of the HTTP client against cpp-httplib servers on 127.0.0.1 in this process, and raw
// loopback sockets for servers that stay silent, hang up or refuse. Each test checks what the
// server received as well as what the caller was given.
#include "platform/http_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// ---- Test servers ----

// An httplib server on an ephemeral loopback port, run on its own thread for the test.
class LocalServer {
 public:
  LocalServer() = default;
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;
  ~LocalServer() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

  httplib::Server& server() { return server_; }

  // Binds and starts serving; false when the server did not come up within 5 s.
  bool Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = Clock::now() + 5s;
    while (!server_.is_running() && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return server_.is_running();
  }

  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
};

// A listening socket on an ephemeral loopback port that never accepts: the kernel completes
// the connection, and the server then says nothing.
class SilentListener {
 public:
  SilentListener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  ~SilentListener() {
    if (fd_ >= 0) close(fd_);
  }

  int fd() const { return fd_; }
  int port() const { return port_; }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A port on which nothing listens: bound once to learn a free number, then closed.
int UnusedPort() {
  SilentListener probe;
  return probe.port();
}

// What a handler saw, read by the test after the transfer.
struct Seen {
  std::mutex lock;
  std::vector<httplib::Request> requests;  // guarded by `lock`

  void Add(const httplib::Request& request) {
    std::lock_guard<std::mutex> guard(lock);
    requests.push_back(request);
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(lock);
    requests.clear();
  }
  std::vector<httplib::Request> All() {
    std::lock_guard<std::mutex> guard(lock);
    return requests;
  }
};

// ---- Caller side ----

// Everything a transfer gave back to its caller.
struct Outcome {
  DeviceError result = kErrorSuccess;
  int responses = 0;  // calls of onResponse
  HttpResponse response;
  std::string body;
  int pieces = 0;
};

Outcome Transfer(const HttpRequest& request, HttpCallbacks callbacks = {}) {
  Outcome outcome;
  auto onResponse = callbacks.onResponse;
  callbacks.onResponse = [&outcome, onResponse](const HttpResponse& response) {
    ++outcome.responses;
    outcome.response = response;
    return onResponse ? onResponse(response) : HttpNext::kContinue;
  };
  auto onData = callbacks.onData;
  callbacks.onData = [&outcome, onData](const char* data, size_t size) {
    ++outcome.pieces;
    outcome.body.append(data, size);
    return onData ? onData(data, size) : HttpNext::kContinue;
  };
  outcome.result = HttpTransfer(request, callbacks);
  return outcome;
}

HttpRequest GetRequest(const std::string& url) {
  HttpRequest request;
  request.url = url;
  request.connectTimeout = 5000ms;
  request.idleTimeout = 5s;
  return request;
}

class HttpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The host's proxy variables must not reroute loopback requests.
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                             "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
    ASSERT_TRUE(server_.Start());
  }

  LocalServer server_;
  Seen seen_;
};

// ---- Answers and their headers ----

TEST_F(HttpClientTest, HttpClientReportsStatusAndHeadersOfInterest) {
  server_.server().Get("/sized", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"abc\"");
    res.set_header("Last-Modified", "Wed, 01 Jan 2025 10:00:00 GMT");
    res.set_content("<rss>sized</rss>", "text/xml; charset=ISO-8859-1");
  });
  server_.server().Get("/unsized", [](const httplib::Request&, httplib::Response& res) {
    // No length: the body runs until the server closes the connection.
    res.set_content_provider("application/rss+xml",
                             [](size_t offset, httplib::DataSink& sink) {
                               if (offset == 0) sink.write("<rss>unsized</rss>", 18);
                               sink.done();
                               return true;
                             });
  });
  struct Row {
    const char* path;
    int64_t length;
    const char* type;
    const char* etag;
    const char* lastModified;
    const char* body;
  };
  const Row rows[] = {
      {"/sized", 16, "text/xml; charset=ISO-8859-1", "\"abc\"", "Wed, 01 Jan 2025 10:00:00 GMT",
       "<rss>sized</rss>"},
      {"/unsized", -1, "application/rss+xml", "", "", "<rss>unsized</rss>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const Outcome outcome = Transfer(GetRequest(server_.Url(row.path)));
    EXPECT_EQ(outcome.result, kErrorSuccess);
    EXPECT_EQ(outcome.responses, 1);
    EXPECT_EQ(outcome.response.status, 200);
    EXPECT_EQ(outcome.response.contentLength, row.length);
    EXPECT_EQ(outcome.response.contentType, row.type);
    EXPECT_EQ(outcome.response.etag, row.etag);
    EXPECT_EQ(outcome.response.lastModified, row.lastModified);
    EXPECT_EQ(outcome.body, row.body);
  }
}

TEST_F(HttpClientTest, HttpClientGivesOtherStatusesAsTheAnswer) {
  server_.server().Get("/status", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.get_param_value("code"));
    if (res.status != 304) res.set_content("page " + req.get_param_value("code"), "text/html");
  });
  struct Row {
    int status;
    const char* body;
  };
  const Row rows[] = {{304, ""}, {404, "page 404"}, {410, "page 410"}, {500, "page 500"},
                      {503, "page 503"}, {226, "page 226"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.status);
    const std::string url = server_.Url("/status?code=" + std::to_string(row.status));
    const Outcome outcome = Transfer(GetRequest(url));
    EXPECT_EQ(outcome.result, kErrorSuccess);
    EXPECT_EQ(outcome.responses, 1);
    EXPECT_EQ(outcome.response.status, row.status);
    EXPECT_EQ(outcome.body, row.body);
  }
}

TEST_F(HttpClientTest, HttpClientLeavesAGzipBodyUndecoded) {
  // A gzip header and bytes that are no valid deflate data: any decoding would fail or alter
  // them, so only an untouched body matches.
  const std::string gzipped("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x00\xff\x01\x02", 14);
  server_.server().Get("/gz", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    res.set_header("Content-Encoding", "gzip");
    // A type the server library never compresses on its own, so the bytes are ours alone.
    res.set_content(gzipped, "application/octet-stream");
  });
  HttpRequest request = GetRequest(server_.Url("/gz"));
  request.headerBlock = "Accept-Encoding: gzip, identity\r\n";
  const Outcome outcome = Transfer(request);
  EXPECT_EQ(outcome.result, kErrorSuccess);
  EXPECT_EQ(outcome.response.contentEncoding, "gzip");
  EXPECT_EQ(outcome.body, gzipped);
  const auto requests = seen_.All();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].get_header_value("Accept-Encoding"), "gzip, identity");
}

// ---- What the server receives ----

TEST_F(HttpClientTest, HttpClientSendsTheHeaderBlockAgentAndVersion) {
  server_.server().Get("/feed", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    res.set_content("ok", "text/plain");
  });
  HttpRequest request = GetRequest(server_.Url("/feed"));
  request.userAgent = "NubrelTest/1.0";
  request.headerBlock =
      "If-None-Match: \"v1\"\r\n"
      "If-Modified-Since: Wed, 01 Jan 2025 10:00:00 GMT\r\n"
      "A-IM: feed\r\n"
      "Authorization: Basic dXNlcjpwYXNz\r\n"
      "Accept-Encoding: gzip, identity\r\n"
      "Accept: */*\r\n";
  const Outcome outcome = Transfer(request);
  ASSERT_EQ(outcome.result, kErrorSuccess);
  const auto requests = seen_.All();
  ASSERT_EQ(requests.size(), 1u);
  const httplib::Request& sent = requests[0];
  EXPECT_EQ(sent.version, "HTTP/1.0");
  EXPECT_EQ(sent.method, "GET");
  const std::pair<const char*, const char*> expected[] = {
      {"If-None-Match", "\"v1\""},
      {"If-Modified-Since", "Wed, 01 Jan 2025 10:00:00 GMT"},
      {"A-IM", "feed"},
      {"Authorization", "Basic dXNlcjpwYXNz"},
      {"Accept-Encoding", "gzip, identity"},
      {"Accept", "*/*"},
      {"User-Agent", "NubrelTest/1.0"},
      {"Cache-Control", "no-cache"},
      {"Pragma", "no-cache"},
  };
  for (const auto& [name, value] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(sent.get_header_value(name), value);
    EXPECT_EQ(sent.get_header_value_count(name), 1u);
  }
}

TEST_F(HttpClientTest, HttpClientRefusesABrokenHeaderBlock) {
  server_.server().Get("/feed", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    res.set_content("ok", "text/plain");
  });
  const char* blocks[] = {"no colon here\r\n", ": no name\r\n", "Bad Name: x\r\n",
                          "A: ok\r\nsplit\rline: x\r\n"};
  for (const char* block : blocks) {
    SCOPED_TRACE(block);
    HttpRequest request = GetRequest(server_.Url("/feed"));
    request.headerBlock = block;
    const Outcome outcome = Transfer(request);
    EXPECT_EQ(outcome.result, kErrorInvalidParameter);
    EXPECT_EQ(outcome.responses, 0);
  }
  EXPECT_TRUE(seen_.All().empty());
}

TEST_F(HttpClientTest, HttpClientPostsTheBody) {
  server_.server().Post("/sync", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    res.set_content("posted", "text/plain");
  });
  HttpRequest request = GetRequest(server_.Url("/sync"));
  request.method = HttpMethod::kPost;
  request.postBody = std::string("a=1&b=two\0three", 15);
  request.headerBlock = "Content-Type: application/x-www-form-urlencoded\r\n";
  const Outcome outcome = Transfer(request);
  EXPECT_EQ(outcome.result, kErrorSuccess);
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_EQ(outcome.body, "posted");
  const auto requests = seen_.All();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, request.postBody);
  EXPECT_EQ(requests[0].get_header_value("Content-Type"), "application/x-www-form-urlencoded");
}

// ---- Redirects ----

TEST_F(HttpClientTest, HttpClientFollowsARedirectAndReportsTheFinalAnswer) {
  LocalServer other;
  ASSERT_TRUE(other.Start());
  other.server().Get("/new", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    res.set_header("ETag", "\"final\"");
    res.set_header("Last-Modified", "Thu, 02 Jan 2025 11:00:00 GMT");
    res.set_content("moved here", "text/xml");
  });
  server_.server().Get("/old", [&](const httplib::Request&, httplib::Response& res) {
    res.set_header("ETag", "\"redirect\"");
    res.set_header("Content-Encoding", "gzip");
    res.set_redirect(other.Url("/new"), 302);
  });
  HttpRequest request = GetRequest(server_.Url("/old"));
  request.headerBlock = "If-None-Match: \"v0\"\r\n";
  const Outcome outcome = Transfer(request);
  EXPECT_EQ(outcome.result, kErrorSuccess);
  EXPECT_EQ(outcome.responses, 1);
  EXPECT_EQ(outcome.response.status, 200);
  EXPECT_EQ(outcome.response.etag, "\"final\"");
  EXPECT_EQ(outcome.response.lastModified, "Thu, 02 Jan 2025 11:00:00 GMT");
  EXPECT_EQ(outcome.response.contentEncoding, "");
  EXPECT_EQ(outcome.response.finalUrl, other.Url("/new"));
  EXPECT_EQ(outcome.body, "moved here");
  const auto requests = seen_.All();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].get_header_value("If-None-Match"), "\"v0\"");
}

TEST_F(HttpClientTest, HttpClientFollowsRedirectsOnlyWithinHttpAndHttps) {
  server_.server().Get("/away", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/passwd", 302);
  });
  // https is followed: the plain server on the other end then fails the TLS handshake.
  server_.server().Get("/secure", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("https://127.0.0.1:" + std::to_string(server_.port()) + "/", 301);
  });
  server_.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("/loop", 302);
  });
  const std::pair<const char*, DeviceError> rows[] = {
      {"/away", kErrorInternetUnrecognizedScheme},
      {"/loop", kErrorInternetRedirectFailed},
      {"/secure", kErrorInternetSecurityChannel}};
  for (const auto& [path, error] : rows) {
    SCOPED_TRACE(path);
    const Outcome outcome = Transfer(GetRequest(server_.Url(path)));
    EXPECT_EQ(outcome.result, error);
    EXPECT_EQ(outcome.body, "");
  }
}

// ---- Proxy ----

TEST_F(HttpClientTest, HttpClientSendsProxyCredentialsOnlyAfterA407) {
  // The proxy wants "puser:ppass"; it answers the request itself once they come.
  server_.server().Get(".*", [&](const httplib::Request& req, httplib::Response& res) {
    seen_.Add(req);
    if (req.get_header_value("Proxy-Authorization") != "Basic cHVzZXI6cHBhc3M=") {
      res.status = 407;
      res.set_header("Proxy-Authenticate", "Basic realm=\"proxy\"");
      res.set_content("auth first", "text/plain");
      return;
    }
    res.set_content("through " + req.target, "text/plain");
  });
  struct Row {
    const char* user;
    const char* password;
    long status;
    size_t requests;
    const char* body;
  };
  const std::string target = "http://feeds.invalid/rss";
  const Row rows[] = {
      {"puser", "ppass", 200, 2, "through http://feeds.invalid/rss"},
      {"puser", "wrong", 407, 2, "auth first"},
      {"", "", 407, 1, "auth first"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.user) + ":" + row.password);
    seen_.Clear();
    HttpRequest request = GetRequest(target);
    request.proxy = "127.0.0.1:" + std::to_string(server_.port());
    request.proxyUser = row.user;
    request.proxyPassword = row.password;
    const Outcome outcome = Transfer(request);
    EXPECT_EQ(outcome.result, kErrorSuccess);
    EXPECT_EQ(outcome.responses, 1);
    EXPECT_EQ(outcome.response.status, row.status);
    EXPECT_EQ(outcome.body, row.body);
    const auto requests = seen_.All();
    ASSERT_EQ(requests.size(), row.requests);
    EXPECT_FALSE(requests[0].has_header("Proxy-Authorization"));
    EXPECT_EQ(requests[0].target, target);
  }
}

// ---- Stopping and aborting ----

// A body of 1 MB sent 64 bytes at a time, 20 ms apart: far longer than any test waits.
void ServeSlowBody(LocalServer& server) {
  server.server().Get("/slow", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(
        1 << 20, "text/plain", [](size_t offset, size_t length, httplib::DataSink& sink) {
          std::this_thread::sleep_for(20ms);
          const std::string piece(std::min<size_t>(64, length), 'x');
          (void)offset;
          return sink.write(piece.data(), piece.size());
        });
  });
}

TEST_F(HttpClientTest, HttpClientAbortsASlowBodyThroughTheAbortTest) {
  ServeSlowBody(server_);
  int piecesSeen = 0;
  int piecesAtAbort = -1;
  int abortTests = 0;
  HttpCallbacks callbacks;
  callbacks.onData = [&](const char*, size_t) {
    ++piecesSeen;
    return HttpNext::kContinue;
  };
  callbacks.shouldAbort = [&] {
    ++abortTests;
    if (piecesSeen >= 3 && piecesAtAbort < 0) piecesAtAbort = piecesSeen;
    return piecesAtAbort >= 0;
  };
  const auto started = Clock::now();
  const Outcome outcome = Transfer(GetRequest(server_.Url("/slow")), callbacks);
  EXPECT_EQ(outcome.result, kErrorOperationAborted);
  EXPECT_LT(Clock::now() - started, 5s);
  EXPECT_EQ(outcome.response.contentLength, 1 << 20);
  // Pieces came one by one, each after an abort test, and none after the test said stop.
  EXPECT_EQ(piecesAtAbort, 3);
  EXPECT_EQ(outcome.pieces, 3);
  EXPECT_GT(abortTests, outcome.pieces);
  EXPECT_LT(outcome.body.size(), size_t{1} << 20);
}

TEST_F(HttpClientTest, HttpClientCallerStopsAtTheAnswerOrAPiece) {
  ServeSlowBody(server_);
  struct Row {
    const char* name;
    bool stopAtResponse;
    DeviceError result;
    int pieces;
  };
  const Row rows[] = {{"stop at answer", true, kErrorSuccess, 0},
                      {"stop at first piece", false, kErrorOperationAborted, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    HttpCallbacks callbacks;
    callbacks.onResponse = [&](const HttpResponse&) {
      return row.stopAtResponse ? HttpNext::kStop : HttpNext::kContinue;
    };
    callbacks.onData = [](const char*, size_t) { return HttpNext::kStop; };
    const auto started = Clock::now();
    const Outcome outcome = Transfer(GetRequest(server_.Url("/slow")), callbacks);
    EXPECT_EQ(outcome.result, row.result);
    EXPECT_EQ(outcome.responses, 1);
    EXPECT_EQ(outcome.response.status, 200);
    EXPECT_EQ(outcome.pieces, row.pieces);
    EXPECT_LT(Clock::now() - started, 5s);
  }
}

TEST_F(HttpClientTest, HttpClientAbortsWhileTheServerIsSilent) {
  SilentListener silent;
  ASSERT_GT(silent.port(), 0);
  const auto started = Clock::now();
  HttpCallbacks callbacks;
  callbacks.shouldAbort = [&] { return Clock::now() - started > 300ms; };
  const Outcome outcome = Transfer(GetRequest(silent.Url()), callbacks);
  EXPECT_EQ(outcome.result, kErrorOperationAborted);
  EXPECT_EQ(outcome.responses, 0);
  EXPECT_LT(Clock::now() - started, 4s);
}

// ---- Failures ----

TEST_F(HttpClientTest, HttpClientEndsAnIdleTransferWithATimeOut) {
  SilentListener silent;
  ASSERT_GT(silent.port(), 0);
  HttpRequest request = GetRequest(silent.Url());
  request.idleTimeout = 1s;
  const auto started = Clock::now();
  const Outcome outcome = Transfer(request);
  const auto took = Clock::now() - started;
  EXPECT_EQ(outcome.result, kErrorInternetTimeout);
  EXPECT_GE(took, 900ms);
  EXPECT_LT(took, 4s);
}

TEST_F(HttpClientTest, HttpClientKeepsASlowTrickleThatNeverFallsSilentForTheIdleTime) {
  // One byte every 1.2 s: below a byte a second on average, yet never silent for 2 s.
  server_.server().Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(3, "text/plain",
                             [](size_t offset, size_t, httplib::DataSink& sink) {
                               std::this_thread::sleep_for(1200ms);
                               return sink.write(&"abc"[offset], 1);
                             });
  });
  HttpRequest request = GetRequest(server_.Url("/trickle"));
  request.idleTimeout = 2s;
  const Outcome outcome = Transfer(request);
  EXPECT_EQ(outcome.result, kErrorSuccess);
  EXPECT_EQ(outcome.body, "abc");
}

// A one-connection server that reads the request, sends a scripted reply and hangs up,
// politely or with a reset.
void AnswerOnce(int listenFd, std::string reply, bool reset) {
  pollfd waiting{listenFd, POLLIN, 0};
  if (poll(&waiting, 1, 5000) != 1) return;
  const int fd = accept(listenFd, nullptr, nullptr);
  if (fd < 0) return;
  char buffer[4096];
  (void)!read(fd, buffer, sizeof(buffer));
  if (!reply.empty()) (void)!write(fd, reply.data(), reply.size());
  if (reset) {
    linger hard{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  }
  close(fd);
}

TEST_F(HttpClientTest, HttpClientMapsFailuresOfBrokenServers) {
  struct Row {
    const char* name;
    const char* reply;  // null: nobody listens
    bool reset;
    DeviceError result;
    int responses;
    const char* body;
  };
  const Row rows[] = {
      {"refused", nullptr, false, kErrorInternetCannotConnect, 0, ""},
      {"closed without answer", "", false, kErrorInternetConnectionClosed, 0, ""},
      {"reset", "", true, kErrorInternetConnectionReset, 0, ""},
      {"not http", "hello there\r\n", false, kErrorInternetInvalidServerResponse, 0, ""},
      {"body shorter than its length",
       "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nshort", false,
       kErrorInternetConnectionClosed, 1, "short"},
      {"status beyond three digits", "HTTP/1.0 99999999999999999999 Odd\r\n\r\nx", false,
       kErrorInternetInvalidServerResponse, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SilentListener listener;
    ASSERT_GT(listener.port(), 0);
    std::thread server;
    std::string url;
    if (row.reply == nullptr) {
      url = "http://127.0.0.1:" + std::to_string(UnusedPort()) + "/";
    } else {
      url = listener.Url();
      server = std::thread(AnswerOnce, listener.fd(), std::string(row.reply), row.reset);
    }
    const Outcome outcome = Transfer(GetRequest(url));
    if (server.joinable()) server.join();
    EXPECT_EQ(outcome.result, row.result);
    EXPECT_EQ(outcome.responses, row.responses);
    EXPECT_EQ(outcome.body, row.body);
  }
}

TEST_F(HttpClientTest, HttpClientGivesUpOnHeadersThatNeverEnd) {
  std::string reply = "HTTP/1.0 200 OK\r\n";
  while (reply.size() < 4 * 1024 * 1024) reply += "X-Filler: " + std::string(200, 'a') + "\r\n";
  SilentListener listener;
  ASSERT_GT(listener.port(), 0);
  std::thread server(AnswerOnce, listener.fd(), reply, false);
  const Outcome outcome = Transfer(GetRequest(listener.Url()));
  server.join();
  EXPECT_NE(outcome.result, kErrorSuccess);
  EXPECT_EQ(outcome.responses, 0);  // no answer is ever handed over
  EXPECT_EQ(outcome.body, "");
}

TEST_F(HttpClientTest, HttpClientRefusesAddressesItCannotFetch) {
  const std::pair<const char*, DeviceError> rows[] = {
      {"", kErrorInvalidParameter},
      {"ftp://127.0.0.1/file", kErrorInternetUnrecognizedScheme},
      {"http://", kErrorInternetInvalidUrl},
      {"feed.xml", kErrorInternetInvalidUrl},
  };
  for (const auto& [url, error] : rows) {
    SCOPED_TRACE(url);
    const Outcome outcome = Transfer(GetRequest(url));
    EXPECT_EQ(outcome.result, error);
    EXPECT_EQ(outcome.responses, 0);
  }
}

}  // namespace
}  // namespace platform
