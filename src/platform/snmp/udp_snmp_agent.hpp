#pragma once
// SnmpAgent over an Asio UDP socket on the main thread's io_context.

#include "platform/snmp/snmp_agent.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>

namespace vantor {

class UdpSnmpAgent final : public SnmpAgent {
 public:
  // Requests waiting for their handler beyond this number are dropped, so a flood of requests
  // cannot pile up coroutines without bound.
  static constexpr int kMaxRequestsInFlight = 64;

  // `io` must outlive the agent.
  explicit UdpSnmpAgent(boost::asio::io_context& io);
  // Closes the socket. Handlers still running finish on their own, without sending an answer.
  ~UdpSnmpAgent() override;

  std::error_code Start(int port, const std::string& localAddress) override;
  std::string LocalAddress() const override;
  int LocalPort() const override;
  void SetRequestHandler(RequestHandler handler) override;
  void ClearTrapDestinations() override;
  bool AddTrapDestination(const std::string& hostPort) override;
  bool SendTrap(const SnmpMessage& trap) override;

  // Stops serving and closes the socket; Start may be called again.
  void Stop();

  struct State;  // defined in the .cpp file

 private:
  std::shared_ptr<State> state_;  // shared with the coroutines, which may outlive the agent
};

}  // namespace vantor
