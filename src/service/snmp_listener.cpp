#include "service/snmp_listener.hpp"

#include "core/snmp_settings.hpp"
#include "platform/net/ip_address.hpp"

namespace vantor {

using namespace std::chrono_literals;

SnmpListener::SnmpListener(ListenerContext context, SnmpRuntime& runtime)
    : Listener(context, Names{"SNMP", "Snmp", "SNMP Agent Started", "############ SNMP Agent Started ###########",
                              true, 500ms}),
      runtime_(runtime) {}

asio::awaitable<std::optional<Listener::StartFailure>> SnmpListener::Start(GeneralSettings& settings) {
  const std::string address = SnmpAgentAddress(settings.Text("SnmpIpAddr"));
  const int port = settings.Int32("SnmpPort");
  Configured(address, port);
  const std::error_code ec = co_await runtime_.Open(address, port, settings);
  if (!ec) {
    Bound(runtime_.agent().LocalAddress(), runtime_.agent().LocalPort());
    co_return std::nullopt;
  }
  const std::string reason = IsIpAddress(address) ? ec.message() : "not an IP address";
  if (ec == std::errc::address_in_use) co_return StartFailure{reason, "SNMP Agent Port was in use", "Port was in use"};
  if (ec == std::errc::address_not_available) {
    co_return StartFailure{reason, "SNMP Agent IP Address is not valid", "IP Address is not valid"};
  }
  co_return StartFailure{reason, "", ""};
}

bool SnmpListener::Running(const GeneralSettings& settings) const {
  return settings.Text("SnmpStatus").find("SNMP Agent Started") != std::string::npos;
}

}  // namespace vantor
