// A stand-in for the service and an agent together, as a mobile sees them: it admits every
// mobile login with a mobile number of its own, confirms the version message, and answers each
// request "DM<cust><nr>text" at once with "DA<cust><nr>text". It measures the load tool and the
// loopback without any relay in between.
#pragma once

#include "ws_connection.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vantor::load {

// What the service and an echoing agent send back to a logged-in mobile's `message`: the
// version confirmation, or the request's own text as its answer; nothing for anything else.
std::optional<std::string> echoAnswer(std::string_view message);

class EchoServer {
 public:
  using Answer = std::function<std::optional<std::string>(std::string_view message)>;

  // Listens on `address` at once (port 0 picks a free one); `answer` replaces echoAnswer.
  EchoServer(boost::asio::io_context& io, const boost::asio::ip::tcp::endpoint& address,
             Answer answer = echoAnswer);

  unsigned short port() const { return port_; }
  void start();
  // Stops accepting and closes every connection.
  void stop();

 private:
  boost::asio::awaitable<void> acceptLoop();
  boost::asio::awaitable<void> session(std::shared_ptr<WsConnection> conn);

  boost::asio::io_context& io_;
  boost::asio::ip::tcp::acceptor acceptor_;
  Answer answer_;
  unsigned short port_;
  std::list<std::weak_ptr<WsConnection>> connections_;
  int numbersGiven_ = 0;
};

}  // namespace vantor::load
