#pragma once
// A WebSocketServer for unit tests of the service: it records what the service asks for (sends,
// disconnects, configuration) and lets the test raise the events a real server would, in order.
// Send and Disconnect succeed only for connections the test opened and has not closed, as with
// the real server. Disconnect only records the call; a test that wants the real server's
// follow-up raises it with Close(id, kClosedByServer).

#include "platform/net/websocket_server.hpp"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vantor::testing {

class FakeWebSocketServer final : public WebSocketServer {
 public:
  struct Sent {
    ConnectionId id;
    std::string text;
    bool operator==(const Sent&) const = default;
  };

  explicit FakeWebSocketServer(WebSocketEvents& events) : events_(events) {}

  // --- WebSocketServer ---
  void SetLocalAddress(std::string address) override { address_ = std::move(address); }
  void SetLocalPort(int port) override { port_ = port; }
  bool Configure(const std::string& line) override {
    configured.push_back(line);
    return line.rfind("MaxOpeningPerAddress=", 0) == 0 && line != "MaxOpeningPerAddress=0";
  }
  TlsSetup UseTls(const TlsCredentials& credentials) override {
    tls = credentials;
    return {};
  }
  std::error_code Listen() override {
    if (listenError) return listenError;
    listening_ = true;
    return {};
  }
  bool Listening() const override { return listening_; }
  std::string LocalAddress() const override { return address_.empty() ? "0.0.0.0" : address_; }
  int LocalPort() const override { return port_; }
  bool Send(ConnectionId id, std::string&& text) override {
    if (onSend) onSend(id, text);
    if (!open_.contains(id)) return false;
    sent.push_back({id, std::move(text)});
    return true;
  }
  bool Disconnect(ConnectionId id) override {
    if (!open_.contains(id)) return false;
    disconnected.push_back(id);
    open_.erase(id);
    return true;
  }
  WebSocketServerStats stats() const override { return counts; }
  bool SetIdleTimeout(ConnectionId id, std::chrono::milliseconds limit) override {
    if (!remote_.contains(id)) return false;
    idleLimits[id] = limit;
    return true;
  }
  std::optional<std::string> RemoteAddress(ConnectionId id) const override {
    auto it = remote_.find(id);
    if (it == remote_.end()) return std::nullopt;
    return it->second;
  }
  void Shutdown() override {
    listening_ = false;
    shutdownCalls++;
  }

  // --- driving the service like a client would ---
  // Raises connection request, open request and (when admitted with 101) connected for `uri`.
  // Returns the open request as the service left it.
  asio::awaitable<OpenRequest> Connect(ConnectionId id, std::string uri, std::string remoteAddress = "127.0.0.1",
                                       std::string headers = "User-Agent: test") {
    bool accept = true;
    co_await events_.OnConnectionRequest(remoteAddress, 50000, accept);
    OpenRequest request;
    if (!accept) co_return request;
    remote_[id] = remoteAddress;
    request.id = id;
    request.uri = std::move(uri);
    request.host = "localhost";
    request.headers = std::move(headers);
    co_await events_.OnOpenRequest(request);
    if (request.statusCode != 101) {
      co_await Close(id, kAbnormalClosure, "upgrade refused");
      co_return request;
    }
    open_.insert(id);
    co_await events_.OnConnected(id);
    co_return request;
  }

  asio::awaitable<void> Receive(ConnectionId id, std::string text) { co_await events_.OnDataIn(id, std::move(text)); }

  // The connection ends; the service's record is freed by its OnDisconnected handler.
  asio::awaitable<void> Close(ConnectionId id, int statusCode, std::string description = "") {
    open_.erase(id);
    co_await events_.OnDisconnected(id, statusCode, std::move(description));
    remote_.erase(id);
  }

  bool IsOpen(ConnectionId id) const { return open_.contains(id); }

  // Marks a connection open without raising events, for tests that raise them one by one.
  void MarkOpen(ConnectionId id) { open_.insert(id); }

  // Recorded calls and settings the test may inspect or preset.
  std::vector<Sent> sent;
  std::vector<ConnectionId> disconnected;
  std::map<ConnectionId, std::chrono::milliseconds> idleLimits;
  std::vector<std::string> configured;
  std::optional<TlsCredentials> tls;
  std::error_code listenError;
  // Sees every send first, open connection or not (a fuzz harness checks the routing there).
  std::function<void(ConnectionId, const std::string&)> onSend;
  int shutdownCalls = 0;
  WebSocketServerStats counts;  // what stats() reports

 private:
  WebSocketEvents& events_;
  std::string address_;
  int port_ = 0;
  bool listening_ = false;
  std::set<ConnectionId> open_;
  std::map<ConnectionId, std::string> remote_;
};

}  // namespace vantor::testing
