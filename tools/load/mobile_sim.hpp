// A simulated mobile of one customer: logs in, then sends requests, either at a fixed rate or
// closed-loop (a window of requests in flight, the next one sent as each answer arrives), and
// checks that each answer is its own request's text and the oldest outstanding one. A request
// not answered within the loss timeout is counted lost.
#pragma once

#include "stats.hpp"
#include "ws_connection.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <deque>
#include <memory>
#include <string>

namespace vantor::load {

// How a mobile sends its requests.
struct Traffic {
  double ratePerSecond = 1.0;    // used when window is 0
  std::size_t window = 0;        // requests kept in flight; 0 sends at ratePerSecond instead
  std::size_t payloadBytes = 0;  // request text after the header is padded to this size
};

class MobileSim {
 public:
  using Clock = std::chrono::steady_clock;

  MobileSim(boost::asio::io_context& io, Endpoint endpoint, int id, std::string cust,
            std::string password, Traffic traffic, Stats& stats,
            Clock::duration lossTimeout = std::chrono::seconds(5));

  // Opens the first connection after `delay`, so that a run does not open all at once.
  void start(std::chrono::milliseconds delay = {});
  void stop();
  bool ready() const { return ready_; }
  std::size_t inFlight() const { return pending_.size(); }
  // Counts as lost every request outstanding for longer than the loss timeout; in window mode,
  // sends new ones in their place.
  void expireLost();

 private:
  struct Pending {
    std::uint64_t seq;
    Clock::time_point sentAt;
  };

  boost::asio::awaitable<void> run(std::chrono::milliseconds delay);
  boost::asio::awaitable<void> session();
  boost::asio::awaitable<void> requests(std::shared_ptr<WsConnection> conn);
  boost::asio::awaitable<void> lossWatch(std::shared_ptr<WsConnection> conn);
  void sendRequest(WsConnection& conn);
  void fillWindow();
  void handle(const std::string& message);
  void dropPending();

  boost::asio::io_context& io_;
  Endpoint endpoint_;
  int id_;
  std::string cust_;
  std::string password_;
  Traffic traffic_;
  Clock::duration period_;
  Clock::duration lossTimeout_;
  Stats& stats_;
  boost::asio::steady_timer sendTimer_;
  boost::asio::steady_timer retryTimer_;
  std::shared_ptr<WsConnection> conn_;
  std::string nr_;
  std::deque<Pending> pending_;
  std::uint64_t nextSeq_ = 1;
  bool ready_ = false;
  bool stopping_ = false;
};

}  // namespace vantor::load
