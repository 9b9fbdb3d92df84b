#include "platform/net/websocket_listener.hpp"

#include "platform/async/no_throw_awaitable.hpp"
#include "platform/async/std_error_code.hpp"
#include "platform/net/websocket_session.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>

namespace vantor {

using tcp = asio::ip::tcp;

namespace {

asio::awaitable<void> RaiseRefused(std::shared_ptr<BeastWebSocketServer::Impl> server, std::string address,
                                   std::string reason) {
  if (server->detached) co_return;
  try {
    co_await server->events.OnConnectionRefused(std::move(address), std::move(reason));
  } catch (...) {
  }
}

// Closes a socket refused by a limit; the refusal is reported once per address per interval.
void Refuse(const std::shared_ptr<BeastWebSocketServer::Impl>& server, tcp::socket& socket,
            const std::string& address, std::string_view why) {
  boost::system::error_code ignored;
  socket.close(ignored);
  std::size_t suppressed = 0;
  if (!server->opening.ShouldReport(address, std::chrono::steady_clock::now(), server->limits.refusalReportInterval,
                                    suppressed)) {
    return;
  }
  std::string reason(why);
  if (suppressed > 0) reason += " (" + std::to_string(suppressed) + " more refused since the last report)";
  asio::co_spawn(server->io, RaiseRefused(server, address, std::move(reason)), [](std::exception_ptr) {});
}

// Gives an accepted socket an id and a running session, unless a limit refuses it: the
// connections still opening from its address or in all, the connections of the instance, or
// every id being held.
void Admit(const std::shared_ptr<BeastWebSocketServer::Impl>& server, tcp::socket socket) {
  boost::system::error_code epError;
  const auto remote = socket.remote_endpoint(epError);
  if (epError) {  // the peer is already gone
    socket.close(epError);
    return;
  }
  std::string address = remote.address().to_string();
  switch (server->opening.TryEnter(address)) {
    case OpeningLimits::Refusal::kAddressFull:
      ++server->counted.refusedAddressOpening;
      return Refuse(server, socket, address,
                    std::to_string(server->opening.perAddress()) + " connections from this address are still opening");
    case OpeningLimits::Refusal::kAllFull:
      ++server->counted.refusedConnectionCap;
      return Refuse(server, socket, address,
                    std::to_string(server->limits.maxOpening) + " connections are still opening");
    case OpeningLimits::Refusal::kNone:
      break;
  }
  const ConnectionId id = server->sessions.size() < server->limits.maxConnections ? server->NextId() : 0;
  if (id == 0) {
    server->opening.Leave(address);
    ++server->counted.refusedConnectionCap;
    return Refuse(server, socket, address, "connection limit reached");
  }
  auto session = MakeWebSocketSession(server, id, std::move(address), remote.port(), std::move(socket));
  server->sessions.emplace(id, session);
  asio::co_spawn(server->io, session->Run(), [](std::exception_ptr) {});
}

// Accepts until the acceptor is closed (Shutdown, or the server object destroyed).
asio::awaitable<void> AcceptLoop(std::shared_ptr<BeastWebSocketServer::Impl> server) {
  asio::steady_timer backoff(server->io);
  while (server->acceptor && server->acceptor->is_open()) {
    auto [ec, socket] = co_await server->acceptor->async_accept(kNoThrow);
    if (ec == asio::error::operation_aborted || !server->acceptor || !server->acceptor->is_open()) break;
    if (ec) {
      // Out of descriptors or a similar transient fault: retry shortly instead of spinning.
      backoff.expires_after(std::chrono::milliseconds(100));
      co_await backoff.async_wait(kNoThrow);
      continue;
    }
    Admit(server, std::move(socket));
  }
}

}  // namespace

std::error_code StartListening(const std::shared_ptr<BeastWebSocketServer::Impl>& server) {
  boost::system::error_code ec;
  const std::string text = server->address.empty() ? "0.0.0.0" : server->address;
  const auto address = asio::ip::make_address(text, ec);
  if (ec) return std::make_error_code(std::errc::invalid_argument);
  if (server->port < 0 || server->port > 65535) return std::make_error_code(std::errc::invalid_argument);
  tcp::acceptor acceptor(server->io);
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(server->port));
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return ToStdErrorCode(ec);
  server->acceptor.emplace(std::move(acceptor));
  asio::co_spawn(server->io, AcceptLoop(server), [](std::exception_ptr) {});
  return {};
}

}  // namespace vantor
