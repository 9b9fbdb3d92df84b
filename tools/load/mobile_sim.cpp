#include "mobile_sim.hpp"

#include "protocol.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <iostream>
#include <utility>

namespace vantor::load {

namespace asio = boost::asio;

MobileSim::MobileSim(asio::io_context& io, Endpoint endpoint, int id, std::string cust,
                     std::string password, Traffic traffic, Stats& stats,
                     Clock::duration lossTimeout)
    : io_(io), endpoint_(std::move(endpoint)), id_(id), cust_(std::move(cust)),
      password_(std::move(password)), traffic_(traffic),
      period_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / traffic.ratePerSecond))),
      lossTimeout_(lossTimeout), stats_(stats), sendTimer_(io), retryTimer_(io) {}

void MobileSim::start(std::chrono::milliseconds delay) { asio::co_spawn(io_, run(delay), asio::detached); }

void MobileSim::stop() {
  stopping_ = true;
  sendTimer_.cancel();
  retryTimer_.cancel();
  if (conn_) conn_->close();
}

asio::awaitable<void> MobileSim::run(std::chrono::milliseconds delay) {
  retryTimer_.expires_after(delay);
  boost::system::error_code ec;
  co_await retryTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  while (!stopping_) {
    try {
      co_await session();
    } catch (const std::exception& e) {
      if (!stopping_) std::cerr << "mobile " << id_ << " of " << cust_ << ": " << e.what() << "\n";
    }
    const bool wasReady = std::exchange(ready_, false);
    sendTimer_.cancel();
    if (stopping_) break;
    dropPending();
    ++(wasReady ? stats_.drops : stats_.refused);
    retryTimer_.expires_after(std::chrono::seconds(1));
    co_await retryTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  conn_.reset();
}

asio::awaitable<void> MobileSim::session() {
  conn_ = std::make_shared<WsConnection>(io_.get_executor());
  auto conn = conn_;
  co_await conn->open(endpoint_, loginTarget("mob", cust_, password_));
  auto accepted = co_await conn->read();
  auto nr = numberField(accepted, "CW", cust_);
  if (!nr || body(accepted) != "Connection Accepted")
    throw std::runtime_error("login refused: " + accepted);
  nr_ = *nr;
  conn->send(header("CM", cust_, nr_) + "VER:3.10");
  auto version = co_await conn->read();
  if (version != header("CW", cust_, "0") + "VER:OK")
    throw std::runtime_error("version refused: " + version);
  ready_ = true;
  if (traffic_.window > 0) {
    fillWindow();
    asio::co_spawn(io_, lossWatch(conn), asio::detached);
  } else {
    asio::co_spawn(io_, requests(conn), asio::detached);
  }
  for (;;) handle(co_await conn->read());
}

asio::awaitable<void> MobileSim::requests(std::shared_ptr<WsConnection> conn) {
  auto next = Clock::now();
  for (;;) {
    expireLost();
    sendRequest(*conn);
    next += period_;
    sendTimer_.expires_at(next);
    boost::system::error_code ec;
    co_await sendTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec || stopping_ || conn != conn_ || !conn->isOpen()) co_return;
  }
}

asio::awaitable<void> MobileSim::lossWatch(std::shared_ptr<WsConnection> conn) {
  // Without it a lost answer would shrink the window for good.
  const auto every = std::min<Clock::duration>(lossTimeout_ / 4, std::chrono::seconds(1));
  for (;;) {
    sendTimer_.expires_after(every);
    boost::system::error_code ec;
    co_await sendTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (ec || stopping_ || conn != conn_ || !conn->isOpen()) co_return;
    expireLost();
  }
}

void MobileSim::sendRequest(WsConnection& conn) {
  Payload payload{id_, nextSeq_++};
  pending_.push_back({payload.seq, Clock::now()});
  ++stats_.sent;
  conn.send(header("DM", cust_, nr_) + encodePayload(payload, traffic_.payloadBytes));
}

void MobileSim::fillWindow() {
  while (ready_ && conn_ && conn_->isOpen() && pending_.size() < traffic_.window) sendRequest(*conn_);
}

void MobileSim::handle(const std::string& message) {
  auto nr = numberField(message, "DA", cust_);
  auto payload = nr ? decodePayload(body(message)) : std::nullopt;
  // The answer must carry the request's text unchanged, padding included.
  if (!nr || *nr != nr_ || !payload || payload->mobile != id_ ||
      body(message) != encodePayload(*payload, traffic_.payloadBytes)) {
    ++stats_.wrong;
    std::cerr << "mobile " << id_ << " of " << cust_ << ": wrong answer: " << message << "\n";
    return;
  }
  if (!pending_.empty() && payload->seq == pending_.front().seq) {
    std::chrono::duration<double, std::milli> rtt = Clock::now() - pending_.front().sentAt;
    stats_.roundTripsMs.push_back(rtt.count());
    ++stats_.answered;
    pending_.pop_front();
    fillWindow();
    return;
  }
  if (payload->seq < nextSeq_ && (pending_.empty() || payload->seq < pending_.front().seq)) {
    ++stats_.late;  // its request was already counted lost
    return;
  }
  ++stats_.wrong;
  std::cerr << "mobile " << id_ << " of " << cust_ << ": answer out of order: " << message << "\n";
}

void MobileSim::expireLost() {
  auto now = Clock::now();
  while (!pending_.empty() && now - pending_.front().sentAt > lossTimeout_) {
    ++stats_.lost;
    pending_.pop_front();
  }
  fillWindow();
}

void MobileSim::dropPending() {
  // Requests of a closed connection can no longer be answered; they count as lost.
  stats_.lost += pending_.size();
  pending_.clear();
}

}  // namespace vantor::load
