// One WebSocket connection: a client's to the service (open), or the server side of one that a
// listener accepted (accept). Reads whole text messages, and queues outgoing ones so that only
// one write is ever in progress, as Beast requires.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <deque>
#include <memory>
#include <string>

namespace vantor::load {

struct Endpoint {
  boost::asio::ip::tcp::endpoint address;
  std::string host;  // sent in the Host header
};

class WsConnection : public std::enable_shared_from_this<WsConnection> {
 public:
  explicit WsConnection(boost::asio::any_io_executor executor);
  // The server side of an accepted TCP connection; accept() upgrades it.
  explicit WsConnection(boost::asio::ip::tcp::socket socket);

  // Connects and upgrades; throws on failure.
  boost::asio::awaitable<void> open(const Endpoint& endpoint, const std::string& target);
  // Reads the upgrade request and accepts it; returns its target. Throws on failure.
  boost::asio::awaitable<std::string> accept();
  // The next message; throws boost::system::system_error when the connection ends.
  boost::asio::awaitable<std::string> read();
  void send(std::string text);
  // Starts a normal close; reads in progress then end.
  void close();
  bool isOpen() const { return open_; }

 private:
  void writeNext();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  std::deque<std::string> outbox_;
  bool open_ = false;
  bool writing_ = false;
  bool closing_ = false;
};

}  // namespace vantor::load
