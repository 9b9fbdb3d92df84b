// A simulated agent of one customer: logs in, announces its keep-alive interval, sends
// keep-alives and checks their echoes, and answers every mobile request with the same payload.
// A connection the service closes is counted as a drop, a login that never got through as a
// refusal; either way the agent tries again after one second.
#pragma once

#include "stats.hpp"
#include "ws_connection.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace vantor::load {

class AgentSim {
 public:
  AgentSim(boost::asio::io_context& io, Endpoint endpoint, std::string cust, std::string password,
           int keepAliveSeconds, Stats& stats);

  // Opens the first connection after `delay`, so that a run does not open all at once.
  void start(std::chrono::milliseconds delay = {});
  void stop();
  // Logged in and past the version exchange.
  bool ready() const { return ready_; }
  const std::string& customer() const { return cust_; }

 private:
  boost::asio::awaitable<void> run(std::chrono::milliseconds delay);
  boost::asio::awaitable<void> session();
  boost::asio::awaitable<void> keepAlives(std::shared_ptr<WsConnection> conn);
  void handle(WsConnection& conn, const std::string& message);

  boost::asio::io_context& io_;
  Endpoint endpoint_;
  std::string cust_;
  std::string password_;
  int keepAlive_;
  Stats& stats_;
  std::string echo_;
  boost::asio::steady_timer keepAliveTimer_;
  boost::asio::steady_timer retryTimer_;
  std::shared_ptr<WsConnection> conn_;
  int pendingEchoes_ = 0;
  bool ready_ = false;
  bool stopping_ = false;
};

}  // namespace vantor::load
