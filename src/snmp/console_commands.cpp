#include "snmp/console_commands.hpp"

#include "core/pause.hpp"
#include "core/procedure_error.hpp"
#include "core/text_fields.hpp"
#include "logging/connection_reports.hpp"

#include <cmath>

namespace vantor {

namespace {

constexpr std::string_view kAgentDisconnect = "agentConnDisconnect-";
constexpr std::string_view kMobileDisconnect = "mobilConnDisconnect-";
constexpr std::string_view kAgentUninstall = "agentConnUninstall-";
constexpr std::string_view kGetStat = "getStat";

void Answer(SnmpVariable& variable, std::string value) {
  variable.valueType = snmp_value::kOctetString;
  variable.value = std::move(value);
}

asio::awaitable<void> DisconnectAgent(ConsoleContext& c, int slot) {
  CustomerRecord& r = c.broker.tables().Customer(slot);
  if (!r.enabled || r.connID == 0) co_return;
  const std::string type = r.connType;
  const ConnectionId id = r.connID;
  co_await c.events.AppEvent(kCodeModule, "SnmpSetRequest",
                             r.company + " Disconnected From Server Due To Command From Console", kLevelInfo);
  // The event paused: act only on the connection that was found.
  if (!c.broker.tables().Customer(slot).HoldsConnection(type, id)) co_return;
  c.broker.DisconnectFrom(type, id);
  co_await PauseMs(c.clock, 100);
  CustomerRecord& now = c.broker.tables().Customer(slot);
  if (now.HoldsConnection(type, id)) now.ResetConnection();
}

asio::awaitable<void> DisconnectMobile(ConsoleContext& c, int slot) {
  const MobileRecord& r = c.broker.tables().Mobile(slot);
  if (r.connID == 0) co_return;
  c.broker.DisconnectFrom(r.connType, r.connID);
  co_await PauseMs(c.clock, 100);
}

asio::awaitable<void> SendAgentCommand(ConsoleContext& c, int slot, std::string_view word) {
  const CustomerRecord& r = c.broker.tables().Customer(slot);
  if (!r.enabled || r.connID == 0) co_return;
  c.broker.SendTo(r.connType, r.connID, "CW" + r.custID + "0  " + std::string(word));
  co_await PauseMs(c.clock, 100);
}

// One variable; returns false when its OID is not one of the four command objects.
asio::awaitable<bool> RunCommand(ConsoleContext& c, SnmpVariable& v) {
  const std::string value = v.value;
  if (v.oid == kCommandOidTableUpdate) {
    if (value == "custTableUpdate") {
      co_await c.broker.CustTableUpdate();
      Answer(v, value);
    }
  } else if (v.oid == kCommandOidConsole) {
    if (value == "console") {
      co_await PrintConnection(c.broker.tables(), c.events, c.programDir, "Agt");
      co_await PrintConnection(c.broker.tables(), c.events, c.programDir, "Mob");
      Answer(v, value);
    }
  } else if (v.oid == kCommandOidDisconnect) {
    if (value.starts_with(kAgentDisconnect)) {
      co_await DisconnectAgent(c, CommandSlot(Mid(value, kAgentDisconnect.size() + 1)));
      Answer(v, value);
    } else if (value.starts_with(kMobileDisconnect)) {
      co_await DisconnectMobile(c, CommandSlot(Mid(value, kMobileDisconnect.size() + 1)));
      Answer(v, value);
    }
  } else if (v.oid == kCommandOidAgentCommand) {
    if (value.starts_with(kAgentUninstall)) {
      co_await SendAgentCommand(c, CommandSlot(Mid(value, kAgentUninstall.size() + 1)), "Uninstall");
      Answer(v, value);
    } else if (value.starts_with(kGetStat)) {
      co_await SendAgentCommand(c, CommandSlot(Mid(value, kGetStat.size() + 1)), "GetStat");
      Answer(v, value);
    }
  } else {
    co_return false;
  }
  co_return true;
}

}  // namespace

int CommandSlot(std::string_view text) {
  // The longest leading part that reads as a number: blanks, a sign, digits, one decimal point.
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  const std::size_t start = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  bool point = false;
  while (i < text.size() && ((text[i] >= '0' && text[i] <= '9') || (text[i] == '.' && !point))) {
    point = point || text[i] == '.';
    ++i;
  }
  const auto number = ParseNumber(text.substr(start, i - start));
  if (!number) return 0;
  if (std::fabs(*number) > 32767.5) throw ProcedureError("Overflow");
  return To16(RoundHalfEven(*number));
}

asio::awaitable<bool> SnmpSetRequest(SnmpMessage& message, ConsoleContext context) {
  if (message.community != kSetCommunity) co_return false;
  std::string failure;
  try {
    int position = 1;
    for (auto& variable : message.variables) {
      if (!co_await RunCommand(context, variable)) {
        message.errorStatus = snmp_error::kNoSuchName;
        message.errorIndex = position;
      }
      ++position;
    }
  } catch (const std::exception& e) {
    failure = e.what();
  }
  if (!failure.empty()) co_await context.events.AppEvent(kFormModule, "SnmpSetRequest", failure, kLevelError);
  co_return true;
}

}  // namespace vantor
