#include "echo_server.hpp"

#include "protocol.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <stdexcept>

namespace vantor::load {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// The customer id of a mobile login target "/mob?<cust>%20<pass>__________".
std::string mobileCustomer(std::string_view target) {
  constexpr std::string_view prefix = "/mob?";
  if (!target.starts_with(prefix) || target.size() < prefix.size() + 8)
    throw std::runtime_error("not a mobile login: " + std::string(target));
  return std::string(target.substr(prefix.size(), 8));
}

}  // namespace

std::optional<std::string> echoAnswer(std::string_view message) {
  if (message.size() < 13) return std::nullopt;
  const std::string cust(message.substr(2, 8));
  if (message.starts_with("CM") && body(message).starts_with("VER:")) return header("CW", cust, "0") + "VER:OK";
  if (message.starts_with("DM")) return "DA" + std::string(message.substr(2));
  return std::nullopt;
}

EchoServer::EchoServer(asio::io_context& io, const tcp::endpoint& address, Answer answer)
    : io_(io), acceptor_(io, address), answer_(std::move(answer)), port_(acceptor_.local_endpoint().port()) {}

void EchoServer::start() { asio::co_spawn(io_, acceptLoop(), asio::detached); }

void EchoServer::stop() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  for (auto& weak : connections_)
    if (auto conn = weak.lock()) conn->close();
  connections_.clear();
}

asio::awaitable<void> EchoServer::acceptLoop() {
  while (acceptor_.is_open()) {
    boost::system::error_code ec;
    tcp::socket socket = co_await acceptor_.async_accept(asio::redirect_error(asio::use_awaitable, ec));
    if (ec) continue;  // closed by stop(), or a connection that failed before it was accepted
    auto conn = std::make_shared<WsConnection>(std::move(socket));
    connections_.remove_if([](const std::weak_ptr<WsConnection>& c) { return c.expired(); });
    connections_.push_back(conn);
    asio::co_spawn(io_, session(conn), asio::detached);
  }
}

asio::awaitable<void> EchoServer::session(std::shared_ptr<WsConnection> conn) {
  try {
    const std::string cust = mobileCustomer(co_await conn->accept());
    // Numbers 1 to 999, as wide as the header's number field.
    const std::string nr = std::to_string(numbersGiven_++ % 999 + 1);
    conn->send(header("CW", cust, nr) + "Connection Accepted");
    for (;;) {
      if (auto reply = answer_(co_await conn->read())) conn->send(std::move(*reply));
    }
  } catch (const std::exception&) {
    // The connection ended (or was no login); nothing is kept of it.
  }
}

}  // namespace vantor::load
