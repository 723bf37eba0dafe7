// A scripted HTTP server on 127.0.0.1 for the retrieval tests: routes added at any time, feeds
// that answer conditional requests with 304, and a record of what each path was sent.
#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

class FeedServer {
 public:
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

  FeedServer() {
    auto dispatch = [this](const httplib::Request& request, httplib::Response& response) {
      Handler handler;
      {
        std::lock_guard<std::mutex> hold(lock_);
        hits_[request.path]++;
        headers_[request.path] = request.headers;
        auto found = routes_.find(request.path);
        if (found != routes_.end()) handler = found->second;
      }
      if (handler) {
        handler(request, response);
      } else {
        response.status = 404;
        response.set_content("not here", "text/plain");
      }
    };
    server_.Get(".*", dispatch);
    server_.Post(".*", dispatch);
  }

  ~FeedServer() { Stop(); }
  FeedServer(const FeedServer&) = delete;
  FeedServer& operator=(const FeedServer&) = delete;

  bool Start() {
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server_.is_running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return server_.is_running();
  }

  void Stop() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

  void Route(const std::string& path, Handler handler) {
    std::lock_guard<std::mutex> hold(lock_);
    routes_[path] = std::move(handler);
  }

  // A feed document with validators: 304 when the request's If-None-Match equals the ETag.
  void Feed(const std::string& path, const std::string& body, const std::string& etag = "\"v1\"",
            const std::string& lastModified = "Tue, 10 Nov 2026 08:00:00 GMT",
            const std::string& contentType = "application/rss+xml") {
    Route(path, [=](const httplib::Request& request, httplib::Response& response) {
      if (!etag.empty() && request.get_header_value("If-None-Match") == etag) {
        response.status = 304;
        return;
      }
      if (!etag.empty()) response.set_header("ETag", etag);
      if (!lastModified.empty()) response.set_header("Last-Modified", lastModified);
      response.set_content(body, contentType);
    });
  }

  int port() const { return port_; }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::u16string Url16(const std::string& path) const {
    const std::string url = Url(path);
    return std::u16string(url.begin(), url.end());
  }

  int Hits(const std::string& path) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = hits_.find(path);
    return found == hits_.end() ? 0 : found->second;
  }

  // The header of the last request to path: "<no request>" or "<absent>" when there is none.
  std::string Header(const std::string& path, const std::string& name) {
    std::lock_guard<std::mutex> hold(lock_);
    auto found = headers_.find(path);
    if (found == headers_.end()) return "<no request>";
    auto header = found->second.find(name);
    return header == found->second.end() ? "<absent>" : header->second;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex lock_;
  std::map<std::string, Handler> routes_;
  std::map<std::string, int> hits_;
  std::map<std::string, httplib::Headers> headers_;
};

}  // namespace testsupport
