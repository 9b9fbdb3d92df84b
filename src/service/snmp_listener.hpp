#pragma once
// The SNMP agent as a listener: enabled by SnmpEnabled, it binds SnmpIpAddr ("0.0.0.0" meaning
// the loopback address) and SnmpPort through the SNMP runtime, which it does not own.

#include "service/listener.hpp"
#include "snmp/snmp_runtime.hpp"

namespace vantor {

class SnmpListener final : public Listener {
 public:
  SnmpListener(ListenerContext context, SnmpRuntime& runtime);

 private:
  asio::awaitable<std::optional<StartFailure>> Start(GeneralSettings& settings) override;
  bool Running(const GeneralSettings& settings) const override;

  SnmpRuntime& runtime_;
};

}  // namespace vantor
