#include "snmp/console_commands.hpp"

#include "core/message_header.hpp"
#include "core/pause.hpp"
#include "core/procedure_error.hpp"
#include "core/text_fields.hpp"
#include "logging/connection_reports.hpp"

#include <cmath>
#include <optional>

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

// The slot commands return false when the slot holds nothing to act on (disabled or not
// connected); a slot out of range throws ProcedureError.
// A connection that has gone although its record still holds it cannot be acted on: the command
// fails (genErr and a level-1 event), as the console asked for something that did not happen.
void Require(Broker::Delivery delivery, std::string_view action, ConnectionRef connection) {
  if (delivery == Broker::Delivery::kGone) throw ProcedureError(Broker::GoneText(action, connection));
}

asio::awaitable<bool> DisconnectAgent(ConsoleContext& c, int slot) {
  ConnectionTables& tables = c.broker.tables();
  const CustomerRecord& r = tables.Customer(slot);
  if (!r.enabled || !r.connected()) co_return false;
  const ConnectionRef connection = r.connection;
  co_await c.events.AppEvent(kCodeModule, "SnmpSetRequest",
                             r.company + " Disconnected From Server Due To Command From Console", kLevelInfo);
  // The event paused: act only on the connection that was found. One that left meanwhile is
  // gone, which is what was asked.
  if (!tables.Customer(slot).HoldsConnection(connection)) co_return true;
  Require(c.broker.DisconnectFrom(connection), "disconnect", connection);
  c.broker.CountAgentDrop(AgentDrop::kConsole);
  co_await PauseMs(c.clock, 100);
  if (tables.Customer(slot).HoldsConnection(connection)) tables.ReleaseAgent(slot);
  co_return true;
}

asio::awaitable<bool> DisconnectMobile(ConsoleContext& c, int slot) {
  const MobileRecord& r = c.broker.tables().Mobile(slot);
  if (!r.connected()) co_return false;
  Require(c.broker.DisconnectFrom(r.connection), "disconnect", r.connection);
  co_await PauseMs(c.clock, 100);
  co_return true;
}

asio::awaitable<bool> SendAgentCommand(ConsoleContext& c, int slot, std::string_view word) {
  const CustomerRecord& r = c.broker.tables().Customer(slot);
  if (!r.enabled || !r.connected()) co_return false;
  Require(c.broker.SendTo(r.connection, ServerMessage(r.custID, kAgentNumberField, word)), "send", r.connection);
  co_await PauseMs(c.clock, 100);
  co_return true;
}

int SlotOf(const std::string& value, std::string_view prefix) {
  return CommandSlot(Mid(value, prefix.size() + 1));
}

// Runs one variable's command and returns the error status (v1 code) it earns: kNoError when
// it was carried out and answered; kNoSuchName for an OID that is not a command object;
// kBadValue for a value that is not a command of that object; kGenErr when the command found
// nothing to act on or a reload failed. A slot out of range, or a call that fails, throws.
asio::awaitable<int> RunCommand(ConsoleContext& c, SnmpVariable& v) {
  const std::string value = v.value;
  bool done = false;
  if (v.oid == kCommandOidTableUpdate && value == "custTableUpdate") {
    done = co_await c.broker.CustTableUpdate();
  } else if (v.oid == kCommandOidConsole && value == "console") {
    co_await PrintConnection(c.broker.tables(), c.events, c.programDir, "Agt");
    co_await PrintConnection(c.broker.tables(), c.events, c.programDir, "Mob");
    done = true;  // the report writer logs its own failures
  } else if (v.oid == kCommandOidDisconnect && value.starts_with(kAgentDisconnect)) {
    done = co_await DisconnectAgent(c, SlotOf(value, kAgentDisconnect));
  } else if (v.oid == kCommandOidDisconnect && value.starts_with(kMobileDisconnect)) {
    done = co_await DisconnectMobile(c, SlotOf(value, kMobileDisconnect));
  } else if (v.oid == kCommandOidAgentCommand && value.starts_with(kAgentUninstall)) {
    done = co_await SendAgentCommand(c, SlotOf(value, kAgentUninstall), "Uninstall");
  } else if (v.oid == kCommandOidAgentCommand && value.starts_with(kGetStat)) {
    done = co_await SendAgentCommand(c, SlotOf(value, kGetStat), "GetStat");
  } else {
    const bool commandObject = v.oid == kCommandOidTableUpdate || v.oid == kCommandOidConsole ||
                               v.oid == kCommandOidDisconnect || v.oid == kCommandOidAgentCommand;
    co_return commandObject ? snmp_error::kBadValue : snmp_error::kNoSuchName;
  }
  if (!done) co_return snmp_error::kGenErr;
  Answer(v, value);
  co_return snmp_error::kNoError;
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
  if (message.community != context.setCommunity) co_return false;
  std::optional<std::string> failure;
  int position = 1;
  try {
    for (auto& variable : message.variables) {
      const int status = co_await RunCommand(context, variable);
      if (status != snmp_error::kNoError) {
        message.errorStatus = status;
        message.errorIndex = position;
      }
      // An unknown object does not stop the request; a command that failed does.
      if (status != snmp_error::kNoError && status != snmp_error::kNoSuchName) break;
      ++position;
    }
  } catch (const std::exception& e) {
    failure = e.what();
    message.errorStatus = snmp_error::kGenErr;
    message.errorIndex = position;
  }
  if (failure) co_await context.events.AppEvent(kFormModule, "SnmpSetRequest", *failure, kLevelError);
  co_return true;
}

}  // namespace vantor
