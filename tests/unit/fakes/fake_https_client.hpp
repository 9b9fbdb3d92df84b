#pragma once
// An HTTPS client that records each post and answers with scripted replies (a plain "200 OK"
// with an empty body once the script runs out). Posts run on worker threads, hence the mutex.

#include "platform/curl/https_client.hpp"

#include <deque>
#include <mutex>

namespace vantor::testing {

struct RecordedPost {
  std::string url, body, caFile;
  HttpsTimeouts timeouts;
};

class FakeHttpsClient final : public HttpsClient {
 public:
  HttpsReply Post(const std::string& url, const std::string& body, const std::string& caFile,
                  const HttpsTimeouts& timeouts) override {
    std::lock_guard lock(mutex_);
    posts_.push_back({url, body, caFile, timeouts});
    if (replies_.empty()) return Ok();
    HttpsReply reply = replies_.front();
    replies_.pop_front();
    return reply;
  }

  static HttpsReply Ok(std::string body = "") {
    return Reply(200, "HTTP/1.1 200 OK", {}, std::move(body));
  }
  static HttpsReply Reply(long status, std::string statusLine,
                          std::vector<std::pair<std::string, std::string>> headers,
                          std::string body) {
    HttpsReply r;
    r.transportOk = true;
    r.status = status;
    r.statusLine = std::move(statusLine);
    r.headers = std::move(headers);
    r.body = std::move(body);
    return r;
  }
  static HttpsReply TransportError(std::string error) {
    HttpsReply r;
    r.error = std::move(error);
    return r;
  }

  void Queue(HttpsReply reply) {
    std::lock_guard lock(mutex_);
    replies_.push_back(std::move(reply));
  }
  std::vector<RecordedPost> posts() const {
    std::lock_guard lock(mutex_);
    return posts_;
  }

 private:
  mutable std::mutex mutex_;
  std::deque<HttpsReply> replies_;
  std::vector<RecordedPost> posts_;
};

}  // namespace vantor::testing
