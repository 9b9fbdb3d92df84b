#include "platform/net/beast_websocket_server.hpp"

#include "platform/net/ip_address.hpp"
#include "platform/net/tls_context.hpp"
#include "platform/net/websocket_listener.hpp"
#include "platform/net/websocket_server_state.hpp"
#include "platform/net/websocket_session.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

namespace vantor {

namespace websocket = boost::beast::websocket;

BeastWebSocketServer::BeastWebSocketServer(asio::io_context& io, WebSocketEvents& events, WebSocketLimits limits)
    : impl_(std::make_shared<Impl>(io, events, limits)) {}

BeastWebSocketServer::~BeastWebSocketServer() {
  impl_->detached = true;
  boost::system::error_code ignored;
  if (impl_->acceptor) impl_->acceptor->close(ignored);
  for (auto& [id, session] : impl_->sessions) session->Abort();
}

void BeastWebSocketServer::SetLocalAddress(std::string address) { impl_->address = std::move(address); }

void BeastWebSocketServer::SetLocalPort(int port) { impl_->port = port; }

void BeastWebSocketServer::SetServerName(std::string name) { impl_->serverName = std::move(name); }

bool BeastWebSocketServer::ConfigureExemptAddresses(const std::string& list) {
  auto addresses = ParseAddressList(list);
  if (!addresses) return false;
  impl_->opening.SetExempt(std::move(*addresses));
  return true;
}

bool BeastWebSocketServer::Configure(const std::string& line) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) return false;
  const std::string name = line.substr(0, eq);
  const std::string value = line.substr(eq + 1);
  if (name == "MaxOpeningPerAddress") {
    int limit = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), limit);
    if (ec != std::errc{} || end != value.data() + value.size() || limit < 1 || limit > 65535) return false;
    impl_->opening.SetPerAddress(static_cast<std::size_t>(limit));
    return true;
  }
  if (name == "ExemptAddresses") return ConfigureExemptAddresses(value);
  return false;
}

TlsSetup BeastWebSocketServer::UseTls(const TlsCredentials& credentials) {
  auto made = MakeTlsServerContext(credentials);
  if (!made.context) return {std::make_error_code(std::errc::invalid_argument), std::move(made.error)};
  impl_->tls = std::move(made.context);
  return {};
}

std::error_code BeastWebSocketServer::Listen() {
  try {
    if (Listening()) return {};
    return StartListening(impl_);
  } catch (...) {
    return std::make_error_code(std::errc::not_enough_memory);
  }
}

bool BeastWebSocketServer::Listening() const { return impl_->acceptor && impl_->acceptor->is_open(); }

std::string BeastWebSocketServer::LocalAddress() const {
  if (Listening()) {
    boost::system::error_code ec;
    const auto ep = impl_->acceptor->local_endpoint(ec);
    if (!ec) return ep.address().to_string();
  }
  return impl_->address.empty() ? "0.0.0.0" : impl_->address;
}

int BeastWebSocketServer::LocalPort() const {
  if (Listening()) {
    boost::system::error_code ec;
    const auto ep = impl_->acceptor->local_endpoint(ec);
    if (!ec) return ep.port();
  }
  return impl_->port;
}

bool BeastWebSocketServer::Send(ConnectionId id, std::string&& text) {
  try {
    auto it = impl_->sessions.find(id);
    if (it == impl_->sessions.end() || !it->second->Enqueue(std::move(text))) return false;
    // The queue is at its fullest right after a message joined it.
    auto& highWater = impl_->counted.queueHighWaterBytes;
    highWater = std::max(highWater, it->second->QueuedBytes());
    return true;
  } catch (...) {
    return false;
  }
}

bool BeastWebSocketServer::Disconnect(ConnectionId id) {
  try {
    auto it = impl_->sessions.find(id);
    return it != impl_->sessions.end() &&
           it->second->RequestClose(websocket::close_code::normal, "disconnected by the service");
  } catch (...) {
    return false;
  }
}

bool BeastWebSocketServer::SetIdleTimeout(ConnectionId id, std::chrono::milliseconds limit) {
  auto it = impl_->sessions.find(id);
  if (it == impl_->sessions.end()) return false;
  it->second->SetIdleLimit(limit);
  return true;
}

std::optional<std::string> BeastWebSocketServer::RemoteAddress(ConnectionId id) const {
  auto it = impl_->sessions.find(id);
  if (it == impl_->sessions.end()) return std::nullopt;
  return it->second->RemoteAddress();
}

WebSocketServerStats BeastWebSocketServer::stats() const {
  WebSocketServerStats stats = impl_->counted;
  stats.opening = impl_->opening.opening();
  return stats;
}

void BeastWebSocketServer::Shutdown() {
  try {
    boost::system::error_code ignored;
    if (impl_->acceptor) impl_->acceptor->close(ignored);
    // Copy: closing may finish a session and change the table while we walk it.
    std::vector<std::shared_ptr<WebSocketSession>> sessions;
    for (auto& [id, session] : impl_->sessions) sessions.push_back(session);
    for (auto& session : sessions) session->RequestClose(websocket::close_code::going_away, "server shutting down");
  } catch (...) {
  }
}

}  // namespace vantor
