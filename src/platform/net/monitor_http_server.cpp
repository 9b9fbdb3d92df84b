#include "platform/net/monitor_http_server.hpp"

#include "platform/async/no_throw_awaitable.hpp"
#include "platform/async/std_error_code.hpp"
#include "platform/net/monitor_http_answer.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <optional>
#include <set>

namespace vantor {

namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Shared by the server object, its accept loop and its connections, so that these can finish
// after the server object is gone. Used on the io_context's thread only.
struct MonitorHttpServer::State {
  State(asio::io_context& io, MonitorHttpLimits limits) : io(io), limits(limits) {}

  asio::io_context& io;
  const MonitorHttpLimits limits;
  MonitorRoutes routes;
  std::optional<tcp::acceptor> acceptor;
  std::set<std::shared_ptr<beast::tcp_stream>> connections;
};

namespace {

using State = MonitorHttpServer::State;

// A header beyond the limit still gets an answer, so the peer learns why it is closed.
asio::awaitable<void> AnswerOversized(beast::tcp_stream& stream) {
  MonitorResponse response{http::status::request_header_fields_too_large, 11};
  response.keep_alive(false);
  response.prepare_payload();
  co_await http::async_write(stream, response, kNoThrow);
}

// Requests of one connection in turn, each read and each answer within the deadline, until the
// peer closes, asks to close, or errs.
asio::awaitable<void> Serve(std::shared_ptr<State> state, std::shared_ptr<beast::tcp_stream> stream) {
  beast::flat_buffer buffer;
  for (;;) {
    http::request_parser<http::empty_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(state->limits.maxRequestHeaderBytes));
    parser.body_limit(0);
    stream->expires_after(state->limits.deadline);
    auto [readError, read] = co_await http::async_read(*stream, buffer, parser, kNoThrow);
    if (readError == http::error::header_limit) co_await AnswerOversized(*stream);
    if (readError) break;
    const auto& request = parser.get();
    MonitorResponse response = AnswerMonitorRequest(state->routes, request.base());
    response.keep_alive(request.keep_alive());
    stream->expires_after(state->limits.deadline);
    auto [writeError, written] = co_await http::async_write(*stream, response, kNoThrow);
    if (writeError || !response.keep_alive()) break;
  }
  beast::error_code ignored;
  stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream->close();
  state->connections.erase(stream);
}

asio::awaitable<void> AcceptLoop(std::shared_ptr<State> state) {
  while (state->acceptor && state->acceptor->is_open()) {
    auto [ec, socket] = co_await state->acceptor->async_accept(kNoThrow);
    if (ec == asio::error::operation_aborted || !state->acceptor || !state->acceptor->is_open()) break;
    if (ec) continue;  // the peer gave up before the accept
    if (state->connections.size() >= state->limits.maxConnections) {
      socket.close(ec);
      continue;
    }
    auto stream = std::make_shared<beast::tcp_stream>(std::move(socket));
    state->connections.insert(stream);
    asio::co_spawn(state->io, Serve(state, stream), [](std::exception_ptr) {});
  }
}

}  // namespace

MonitorHttpServer::MonitorHttpServer(asio::io_context& io, MonitorHttpLimits limits)
    : state_(std::make_shared<State>(io, limits)) {}

// A request read just before the shutdown may still be answered when the io_context runs again;
// with the resources gone it can no longer call into their owners, which may be gone too.
MonitorHttpServer::~MonitorHttpServer() {
  Shutdown();
  state_->routes.resources.clear();
}

void MonitorHttpServer::AddResource(std::string path, MonitorResource resource) {
  state_->routes.resources.insert_or_assign(std::move(path), std::move(resource));
}

void MonitorHttpServer::SetBearerToken(std::string token) { state_->routes.token = std::move(token); }

std::error_code MonitorHttpServer::Listen(const std::string& address, int port) {
  try {
    boost::system::error_code ec;
    const auto ip = asio::ip::make_address(address, ec);
    if (ec || port < 0 || port > 65535) return std::make_error_code(std::errc::invalid_argument);
    tcp::acceptor acceptor(state_->io);
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return ToStdErrorCode(ec);
    state_->acceptor.emplace(std::move(acceptor));
    asio::co_spawn(state_->io, AcceptLoop(state_), [](std::exception_ptr) {});
    return {};
  } catch (...) {
    return std::make_error_code(std::errc::not_enough_memory);
  }
}

bool MonitorHttpServer::Listening() const { return state_->acceptor && state_->acceptor->is_open(); }

std::string MonitorHttpServer::LocalAddress() const {
  boost::system::error_code ec;
  const auto endpoint = Listening() ? state_->acceptor->local_endpoint(ec) : tcp::endpoint();
  return Listening() && !ec ? endpoint.address().to_string() : std::string();
}

int MonitorHttpServer::LocalPort() const {
  boost::system::error_code ec;
  const auto endpoint = Listening() ? state_->acceptor->local_endpoint(ec) : tcp::endpoint();
  return Listening() && !ec ? endpoint.port() : 0;
}

void MonitorHttpServer::Shutdown() {
  boost::system::error_code ignored;
  if (state_->acceptor) state_->acceptor->close(ignored);
  // Each connection's coroutine ends on its failed read or write and leaves the set itself.
  for (const auto& stream : state_->connections) stream->socket().close(ignored);
}

}  // namespace vantor
