#pragma once
// An SnmpAgent without a network. A test starts it (or makes the start fail), delivers request
// messages to the installed handler and reads the answer, and inspects the traps sent.

#include "platform/snmp/snmp_agent.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

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
  // What AddTrapDestination and SendTrap return.
  bool acceptDestinations = true;
  bool acceptTraps = true;

  std::error_code Start(int port, const std::string& localAddress) override {
    startCalls.push_back({port, localAddress});
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
    if (acceptDestinations) destinations_.push_back(hostPort);
    return acceptDestinations;
  }
  bool SendTrap(const SnmpMessage& trap) override {
    if (!acceptTraps) return false;
    traps.push_back({trap, destinations_});
    return true;
  }

  bool HasHandler() const { return static_cast<bool>(handler_); }

  // Hands a copy of `request` to the handler and runs `io` until the handler has finished.
  // Returns the message as the handler left it when it chose to answer, nullopt when it chose
  // not to, threw, or no handler is installed. (The real agent then adapts the answer to the
  // wire with PrepareSnmpAnswer; this returns the handler's own writing.)
  std::optional<SnmpMessage> Deliver(boost::asio::io_context& io, const SnmpMessage& request) {
    if (!handler_) return std::nullopt;
    auto message = std::make_shared<SnmpMessage>(request);
    std::optional<bool> answered;
    boost::asio::co_spawn(
        io, [handler = handler_, message, &answered]() -> boost::asio::awaitable<void> {
          try {
            answered = co_await handler(*message);
          } catch (...) {
            answered = false;
          }
        },
        boost::asio::detached);
    io.restart();
    while (!answered && io.run_one() > 0) {
    }
    if (!answered || !*answered) return std::nullopt;
    return *message;
  }

  struct StartCall {
    int port;
    std::string address;
  };
  std::vector<StartCall> startCalls;
  std::vector<SentTrap> traps;

 private:
  bool started_ = false;
  int port_ = 0;
  std::string address_;
  std::vector<std::string> destinations_;
  RequestHandler handler_;
};

}  // namespace vantor::testing
