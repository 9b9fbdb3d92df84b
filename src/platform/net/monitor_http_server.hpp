#pragma once
// A small read-only HTTP/1.1 server for monitoring scrapes (Boost.Beast): GET and HEAD of the
// paths it was given, each answered from a function that renders the body. Any other method is
// answered 405 with "Allow: GET, HEAD", any other path 404. With a bearer token set, every
// request must carry "Authorization: Bearer <token>" (compared in constant time), or it is
// answered 401 with "WWW-Authenticate: Bearer".
//
// Lifetime: construct and use on the thread that runs `io`; the render functions run there too.
// Destroying the server, or Shutdown, closes the listener and every connection; connections
// still running finish on their own when `io` runs again, and after the destruction they call no
// render function. No method throws.

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

namespace vantor {

namespace asio = boost::asio;

// What one peer, or many, can make the server hold. A scraper sends one request of a few hundred
// bytes per interval over one connection.
struct MonitorHttpLimits {
  // Largest request header; beyond it the request is answered 431 and the connection closed.
  std::size_t maxRequestHeaderBytes = 8 * 1024;
  // Connections open at once; further ones are closed at the accept.
  std::size_t maxConnections = 16;
  // Each read of a request and each write of an answer must be done within this; a silent or
  // slow peer is closed when it passes.
  std::chrono::milliseconds deadline{10'000};
};

// One path served: its content type and the function that appends its body to `body`.
struct MonitorResource {
  std::string contentType;
  std::function<void(std::string& body)> render;
};

class MonitorHttpServer {
 public:
  explicit MonitorHttpServer(asio::io_context& io, MonitorHttpLimits limits = {});
  ~MonitorHttpServer();
  MonitorHttpServer(const MonitorHttpServer&) = delete;
  MonitorHttpServer& operator=(const MonitorHttpServer&) = delete;

  // Serves `path` ("/metrics"); before Listen.
  void AddResource(std::string path, MonitorResource resource);
  // The token every request must present; empty: none asked for.
  void SetBearerToken(std::string token);

  // Binds the address (an IP literal) and port and starts accepting. Returns EINVAL for an
  // address that is no IP address or a port outside 0..65535, the bind or listen error
  // (EADDRINUSE, EADDRNOTAVAIL, EACCES...), or {}.
  std::error_code Listen(const std::string& address, int port);
  bool Listening() const;
  // The bound address and port while listening; otherwise "" and 0.
  std::string LocalAddress() const;
  int LocalPort() const;

  // Stops accepting and closes every open connection.
  void Shutdown();

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vantor
