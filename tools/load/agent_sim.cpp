#include "agent_sim.hpp"

#include "protocol.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <iostream>
#include <utility>

namespace vantor::load {

namespace asio = boost::asio;

AgentSim::AgentSim(asio::io_context& io, Endpoint endpoint, std::string cust, std::string password,
                   int keepAliveSeconds, Stats& stats)
    : io_(io), endpoint_(std::move(endpoint)), cust_(std::move(cust)), password_(std::move(password)),
      keepAlive_(keepAliveSeconds), stats_(stats), echo_(header("CA", cust_, "0") + "keep-alive"),
      keepAliveTimer_(io), retryTimer_(io) {}

void AgentSim::start(std::chrono::milliseconds delay) { asio::co_spawn(io_, run(delay), asio::detached); }

void AgentSim::stop() {
  stopping_ = true;
  keepAliveTimer_.cancel();
  retryTimer_.cancel();
  if (conn_) conn_->close();
}

asio::awaitable<void> AgentSim::run(std::chrono::milliseconds delay) {
  retryTimer_.expires_after(delay);
  boost::system::error_code ec;
  co_await retryTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  while (!stopping_) {
    try {
      co_await session();
    } catch (const std::exception& e) {
      if (!stopping_) std::cerr << "agent " << cust_ << ": " << e.what() << "\n";
    }
    const bool wasReady = std::exchange(ready_, false);
    pendingEchoes_ = 0;
    keepAliveTimer_.cancel();
    if (stopping_) break;
    ++(wasReady ? stats_.drops : stats_.refused);
    retryTimer_.expires_after(std::chrono::seconds(1));
    co_await retryTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  conn_.reset();
}

asio::awaitable<void> AgentSim::session() {
  conn_ = std::make_shared<WsConnection>(io_.get_executor());
  auto conn = conn_;
  co_await conn->open(endpoint_, loginTarget("agt", cust_, password_));
  auto accepted = co_await conn->read();
  if (accepted != header("CW", cust_, "0") + "Connection Accepted")
    throw std::runtime_error("login refused: " + accepted);
  conn->send(header("CA", cust_, "0") + "VER:3.10 KEEPALIVE:" + std::to_string(keepAlive_));
  auto version = co_await conn->read();
  if (version != header("CW", cust_, "0") + "VER:OK KEEPALIVE:OK")
    throw std::runtime_error("version refused: " + version);
  ready_ = true;
  asio::co_spawn(io_, keepAlives(conn), asio::detached);
  for (;;) handle(*conn, co_await conn->read());
}

asio::awaitable<void> AgentSim::keepAlives(std::shared_ptr<WsConnection> conn) {
  for (;;) {
    keepAliveTimer_.expires_after(std::chrono::seconds(keepAlive_));
    boost::system::error_code ec;
    co_await keepAliveTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec || stopping_ || conn != conn_ || !conn->isOpen()) co_return;
    // The previous keep-alive had a whole interval to come back.
    stats_.keepAlivesUnanswered += static_cast<std::uint64_t>(pendingEchoes_);
    pendingEchoes_ = 1;
    ++stats_.keepAlivesSent;
    conn->send(echo_);
  }
}

void AgentSim::handle(WsConnection& conn, const std::string& message) {
  if (message == echo_) {
    if (pendingEchoes_ > 0) --pendingEchoes_;
    ++stats_.keepAlivesEchoed;
    return;
  }
  if (auto nr = numberField(message, "DM", cust_)) {
    conn.send(header("DA", cust_, *nr) + std::string(body(message)));
    return;
  }
  std::cerr << "agent " << cust_ << ": unexpected message: " << message << "\n";
}

}  // namespace vantor::load
