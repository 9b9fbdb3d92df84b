#include "snmp/snmp_runtime.hpp"

#include "core/endpoint.hpp"
#include "core/pause.hpp"
#include "core/procedure.hpp"
#include "platform/net/ip_address.hpp"
#include "snmp/console_commands.hpp"
#include "snmp/snmp_requests.hpp"
#include "snmp/snmp_traps.hpp"

#include <fmt/format.h>

namespace vantor {

SnmpRuntime::SnmpRuntime(SnmpAgent& agent, SnmpRuntimeContext context)
    : agent_(agent), context_(std::move(context)) {
  agent_.SetRequestHandler([this](SnmpMessage& message) { return snmpAgent_Request(message); });
}

std::uint64_t SnmpRuntime::UptimeHundredths() const {
  return SnmpUptimeHundredths(context_.startTime, context_.clock.Now());
}

asio::awaitable<std::error_code> SnmpRuntime::Open(const std::string& address, int port,
                                                   GeneralSettings& settings) {
  if (!IsIpAddress(address)) co_return std::make_error_code(std::errc::address_not_available);
  if (const std::error_code ec = agent_.Start(port, address)) co_return ec;
  co_await PauseMs(context_.clock, 1000);
  settings.Set("SnmpIpAddr", agent_.LocalAddress());
  getCommunity_ = settings.Text("SnmpGetComm");
  setCommunity_ = SetCommunity(settings.Optional("SnmpSetComm"));
  TrapSettings traps;
  traps.sendAppEvents = settings.Bool("SendAppEvents");
  traps.host = settings.Text("TrapHost");
  traps.port = settings.Int16("TrapPort");
  traps.community = settings.Text("TrapComm");
  traps_ = std::move(traps);
  started_ = true;
  context_.events.SetTrapSink([this](const AppEventRecord& record) { SendAppEventTrap(record); });
  WarnOfDefaultCommunities();
  co_return std::error_code();
}

// Every host that reaches the agent knows the default communities; the operator hears of each one
// the agent takes there.
void SnmpRuntime::WarnOfDefaultCommunities() {
  if (IsLoopbackAddress(agent_.LocalAddress())) return;
  const std::string where = Endpoint(agent_.LocalAddress(), agent_.LocalPort());
  if (getCommunity_ == kDefaultGetCommunity) {
    context_.host.Log(LogPriority::kWarning,
                      fmt::format("SNMP listener {} takes the default read community '{}' from other hosts (set "
                                  "SnmpGetComm)", where, kDefaultGetCommunity));
  }
  if (setCommunity_ == kDefaultSetCommunity) {
    context_.host.Log(LogPriority::kWarning,
                      fmt::format("SNMP listener {} takes console commands with the default set community from "
                                  "other hosts (set SnmpSetComm)", where));
  }
}

void SnmpRuntime::ForwardSendStatus(const std::string& receiver, const std::string& subject, int status,
                                    const std::string& result, const std::string& channel) {
  if (!TrapsOn()) return;
  const SendStatus trap{receiver, subject, static_cast<std::int16_t>(status), result, channel};
  agent_.ClearTrapDestinations();
  if (agent_.AddTrapDestination(kSendStatusTrapDestination) &&
      agent_.SendTrap(BuildSendStatusTrap(trap, UptimeHundredths(), agent_.LocalAddress()))) {
    return;
  }
  context_.postEvent("ForwardSendStatus", "The SNMP agent could not send the status trap", kLevelError);
}

// A trap that cannot be sent is not reported: the report would be an event, and so a trap again.
void SnmpRuntime::SendAppEventTrap(const AppEventRecord& record) {
  if (!TrapsOn()) return;
  const EventTrapRecord event{std::string(record.module), std::string(record.procedure),
                              std::string(record.text), record.level};
  agent_.ClearTrapDestinations();
  if (!agent_.AddTrapDestination(traps_.host + ":" + std::to_string(traps_.port))) return;
  agent_.SendTrap(BuildAppEventTrap(event, traps_.community, UptimeHundredths(), agent_.LocalAddress()));
}

asio::awaitable<bool> SnmpRuntime::snmpAgent_Request(SnmpMessage& message) {
  std::string failure;
  try {
    const SnmpReadInputs inputs{context_.progVersion, UptimeHundredths(), getCommunity_,
                                &context_.broker.tables()};
    const int type = message.type;
    bool answer = false;
    switch (type) {
      case snmp_type::kGetV1:
      case snmp_type::kGetV2c:
        ++counts_.get;
        answer = SnmpGetRequest(message, inputs);
        break;
      case snmp_type::kGetNextV1:
      case snmp_type::kGetNextV2c:
        ++counts_.getNext;
        answer = SnmpGetNextRequest(message, inputs);
        break;
      case snmp_type::kSetV1:
      case snmp_type::kSetV2c: {
        ++counts_.set;
        // Named, not a temporary of the co_await: GCC 12 destroys such aggregates twice.
        ConsoleContext console{setCommunity_, context_.clock, context_.events, context_.broker,
                               context_.programDir};
        answer = co_await SnmpSetRequest(message, std::move(console));
        break;
      }
      default:
        message.type = SnmpResponseType(type);
        co_return false;
    }
    // Each handler leaves a request unanswered only for its community.
    if (!answer) ++counts_.refusedCommunity;
    message.type = SnmpResponseType(type);
    co_return answer;
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // The handler's own failure goes straight into the event file: no pause, no trap, no answer.
  context_.events.WriteLine(kFormModule, "snmpAgent_Request", failure, kLevelError);
  co_return false;
}

}  // namespace vantor
