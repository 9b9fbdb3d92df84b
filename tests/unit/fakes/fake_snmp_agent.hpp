#pragma once
// An SnmpAgent without a network. A test starts it (or makes the start fail), delivers request
// messages to the installed handler and reads the answer, and inspects the traps sent.

#include "platform/snmp/snmp_agent.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <future>
#include <optional>
#include <string>
#include <vector>

namespace vantor::testing {

class FakeSnmpAgent final : public SnmpAgent {
 public:
  struct SentTrap {
    SnmpMessage message;
    std::vector<std::string> destinations;  // as they were when the trap was sent
  };

  // What the next Start returns; on success the agent reports the address and port it was given.
  std::error_code startResult;
  bool acceptTraps = true;  // what SendTrap returns
  std::vector<SentTrap> traps;

  std::error_code Start(int port, const std::string& localAddress) override {
    if (startResult) return startResult;
    started_ = true;
    port_ = port;
    address_ = localAddress;
    return {};
  }
  std::string LocalAddress() const override { return started_ ? address_ : std::string(); }
  int LocalPort() const override { return started_ ? port_ : 0; }
  void SetRequestHandler(RequestHandler handler) override { handler_ = std::move(handler); }
  void ClearTrapDestinations() override { destinations_.clear(); }
  bool AddTrapDestination(const std::string& hostPort) override {
    destinations_.push_back(hostPort);
    return true;
  }
  bool SendTrap(const SnmpMessage& trap) override {
    if (acceptTraps) traps.push_back({trap, destinations_});
    return acceptTraps;
  }

  // Hands a copy of `request` to the handler and runs `io` until the handler has finished.
  // Returns the message as the handler left it when it chose to answer, nullopt when it chose
  // not to, threw, or no handler is installed. (The real agent then adapts the answer to the
  // wire with PrepareSnmpAnswer; this returns the handler's own writing.)
  std::optional<SnmpMessage> Deliver(boost::asio::io_context& io, SnmpMessage message) {
    if (!handler_) return std::nullopt;
    auto answered = boost::asio::co_spawn(io, handler_(message), boost::asio::use_future);
    io.restart();
    auto ready = [&] { return answered.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    while (!ready() && io.run_one() > 0) {
    }
    try {
      if (ready() && answered.get()) return message;
    } catch (...) {
    }
    return std::nullopt;
  }

 private:
  bool started_ = false;
  int port_ = 0;
  std::string address_;
  std::vector<std::string> destinations_;
  RequestHandler handler_;
};

}  // namespace vantor::testing
