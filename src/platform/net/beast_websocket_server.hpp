#pragma once
// WebSocketServer on Boost.Beast (framing, HTTP upgrade) and OpenSSL (TLS). One class serves both
// the plain and the TLS listener: it is plain until UseTls() succeeds.
//
// Protocol decisions:
// - Only text messages belong to the protocol. A binary message is not delivered: the server
//   answers it with a close frame 1003 (unsupported data) and reports 1003 in OnDisconnected.
// - Invalid UTF-8 in a text message (1007), a message above maxMessageBytes (1009) and other
//   framing faults (1002) fail the connection with that close code, which OnDisconnected reports.
// - Upgrade requests that are not WebSocket upgrades get 426, oversized or over-long headers 431,
//   malformed ones 400, each followed by closing the socket; the service sees OnError only.
//
// Lifetime: construct and use on the thread that runs `io`. Destroying the server closes the
// listener and every socket without raising further events; pending coroutines then finish on
// their own when `io` runs again, or are dropped with it. `events` must outlive the server.

#include "platform/net/websocket_server.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>

namespace vantor {

class BeastWebSocketServer final : public WebSocketServer {
 public:
  BeastWebSocketServer(asio::io_context& io, WebSocketEvents& events, WebSocketLimits limits = {});
  ~BeastWebSocketServer() override;

  BeastWebSocketServer(const BeastWebSocketServer&) = delete;
  BeastWebSocketServer& operator=(const BeastWebSocketServer&) = delete;

  // The Server header of every HTTP answer (the 101 and the refusals), the product's name;
  // without it the answers carry none. Set before Listen().
  void SetServerName(std::string name);

  void SetLocalAddress(std::string address) override;
  void SetLocalPort(int port) override;
  bool Configure(const std::string& line) override;
  TlsSetup UseTls(const TlsCredentials& credentials) override;
  std::error_code Listen() override;
  bool Listening() const override;
  std::string LocalAddress() const override;
  int LocalPort() const override;
  bool Send(ConnectionId id, std::string&& text) override;
  bool Disconnect(ConnectionId id) override;
  bool SetIdleTimeout(ConnectionId id, std::chrono::milliseconds limit) override;
  std::optional<std::string> RemoteAddress(ConnectionId id) const override;
  WebSocketServerStats stats() const override;
  void Shutdown() override;

  struct Impl;

 private:
  bool ConfigureExemptAddresses(const std::string& list);

  std::shared_ptr<Impl> impl_;
};

}  // namespace vantor
