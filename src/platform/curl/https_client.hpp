#pragma once
// The HTTPS client that posts a form to the push API. A Post blocks until the reply is complete
// or the transfer fails, so it is called only through the worker pool, never on the event thread.
// Failures never throw: they are reported in the result.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantor {

struct HttpsTimeouts {
  std::chrono::milliseconds connect{10000};  // TCP and TLS handshake
  std::chrono::milliseconds total{20000};    // the whole transfer, reply included
};

struct HttpsReply {
  bool transportOk = false;  // a complete HTTP reply arrived (whatever its status)
  std::string error;         // why not, when transportOk is false
  long status = 0;           // HTTP status code, 0 when none arrived
  std::string statusLine;    // "HTTP/1.1 200 OK", without CR LF
  std::vector<std::pair<std::string, std::string>> headers;  // in arrival order, names as sent
  std::string body;
};

// How the reply is assembled from what the server sends, apart from the transfer itself. A header
// line as libcurl hands it over (CR LF included): a status line ("HTTP/...") starts the header
// list afresh, so only the final reply after interim 1xx replies counts; other lines with a colon
// become a trimmed (name, value) pair, at most 100 of them. Body data is kept up to 64 KiB.
void AddReplyHeaderLine(HttpsReply& reply, std::string_view line);
void AddReplyBody(HttpsReply& reply, std::string_view data);

class HttpsClient {
 public:
  virtual ~HttpsClient() = default;

  // POSTs `body` as application/x-www-form-urlencoded to `url` (https only, redirects are not
  // followed, TLS 1.2 or later, the peer's certificate and name are verified). `caFile`, when not
  // empty, is a PEM file of the CAs to trust instead of the system's. Thread-safe: each call uses
  // its own transfer.
  virtual HttpsReply Post(const std::string& url, const std::string& body,
                          const std::string& caFile, const HttpsTimeouts& timeouts) = 0;
};

// The libcurl implementation.
std::unique_ptr<HttpsClient> MakeCurlHttpsClient();

}  // namespace vantor
