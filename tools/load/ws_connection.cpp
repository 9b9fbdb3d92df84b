#include "ws_connection.hpp"

#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/message.hpp>

namespace vantor::load {

namespace asio = boost::asio;
namespace websocket = boost::beast::websocket;

WsConnection::WsConnection(asio::any_io_executor executor) : ws_(executor) {}

WsConnection::WsConnection(asio::ip::tcp::socket socket) : ws_(std::move(socket)) {}

asio::awaitable<void> WsConnection::open(const Endpoint& endpoint, const std::string& target) {
  auto& tcp = boost::beast::get_lowest_layer(ws_);
  tcp.expires_after(std::chrono::seconds(5));
  co_await tcp.async_connect(endpoint.address, asio::use_awaitable);
  tcp.socket().set_option(asio::ip::tcp::no_delay(true));
  co_await ws_.async_handshake(endpoint.host, target, asio::use_awaitable);
  tcp.expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(boost::beast::role_type::client));
  ws_.text(true);
  open_ = true;
}

asio::awaitable<std::string> WsConnection::accept() {
  auto& tcp = boost::beast::get_lowest_layer(ws_);
  tcp.socket().set_option(asio::ip::tcp::no_delay(true));
  tcp.expires_after(std::chrono::seconds(5));
  boost::beast::http::request<boost::beast::http::empty_body> request;
  co_await boost::beast::http::async_read(tcp, buffer_, request, asio::use_awaitable);
  co_await ws_.async_accept(request, asio::use_awaitable);
  tcp.expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(boost::beast::role_type::server));
  ws_.text(true);
  open_ = true;
  co_return std::string(request.target());
}

asio::awaitable<std::string> WsConnection::read() {
  buffer_.clear();
  try {
    co_await ws_.async_read(buffer_, asio::use_awaitable);
  } catch (...) {
    open_ = false;
    throw;
  }
  co_return boost::beast::buffers_to_string(buffer_.data());
}

void WsConnection::send(std::string text) {
  if (!open_ || closing_) return;
  outbox_.push_back(std::move(text));
  if (!writing_) writeNext();
}

void WsConnection::writeNext() {
  if (outbox_.empty() || !open_ || closing_) {
    writing_ = false;
    return;
  }
  writing_ = true;
  ws_.async_write(asio::buffer(outbox_.front()),
                  [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                    self->outbox_.pop_front();
                    if (ec) {
                      self->writing_ = false;
                      self->outbox_.clear();
                      return;
                    }
                    self->writeNext();
                  });
}

void WsConnection::close() {
  if (!open_ || closing_) return;
  closing_ = true;
  ws_.async_close(websocket::close_code::normal,
                  [self = shared_from_this()](boost::system::error_code) { self->open_ = false; });
}

}  // namespace vantor::load
