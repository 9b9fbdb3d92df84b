// The operator's SNMP commands: read the service's system group and send it the console commands
// it takes as set requests on its enterprise objects. A command for a slot first reads the slot
// over SNMP, so that what it prints is what happened.

#include "arguments.hpp"
#include "commands.hpp"
#include "live_connections.hpp"
#include "outcome.hpp"
#include "service_target.hpp"

#include "core/tables.hpp"
#include "snmp/console_commands.hpp"

#include <fmt/format.h>

#include <charconv>
#include <thread>

namespace vantor::console {

namespace {

struct SystemObject {
  const char* name;
  const char* oid;
};

constexpr SystemObject kSystemGroup[] = {
    {"sysDescr", "1.3.6.1.2.1.1.1.0"},   {"sysObjectID", "1.3.6.1.2.1.1.2.0"},
    {"sysUpTime", "1.3.6.1.2.1.1.3.0"},  {"sysContact", "1.3.6.1.2.1.1.4.0"},
    {"sysName", "1.3.6.1.2.1.1.5.0"},    {"sysLocation", "1.3.6.1.2.1.1.6.0"},
    {"sysServices", "1.3.6.1.2.1.1.7.0"},
};

std::string FormatUptime(const std::string& hundredths) {
  const auto ticks = std::stoull(hundredths);
  const auto seconds = ticks / 100;
  return fmt::format("{}d {:02}:{:02}:{:02}", seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60,
                     seconds % 60);
}

// Parses the words and resolves the service; on failure `status` holds the exit status.
struct Prepared {
  CommandWords words;
  ServiceTargets targets;
};

std::optional<Prepared> Prepare(const CommandContext& c, const WordRules& rules, bool communityIsForSet,
                                int& status) {
  auto words = ParseCommandWords(c, c.args, rules);
  if (!words) {
    status = kUsageError;
    return std::nullopt;
  }
  std::string error;
  auto targets = ResolveTargets(c, *words, communityIsForSet, error);
  if (!targets) {
    status = NotDone(c, error);
    return std::nullopt;
  }
  return Prepared{std::move(*words), std::move(*targets)};
}

WordRules SnmpRules(const std::string& form, std::size_t positional = 0) {
  return {form + " " + kSnmpForm, positional, positional, {}, kSnmpOptions};
}

// A command that needs no slot: sent, and the service's answer is the outcome.
int PlainCommand(const CommandContext& c, const std::string& name, const char* oid, const std::string& value,
                 const std::string& doneText) {
  int status = kDone;
  auto p = Prepare(c, SnmpRules(name), true, status);
  if (!p) return status;
  if (auto problem = SendSet(p->targets.set, oid, value); !problem.empty()) {
    return NotDone(c, fmt::format("The {} was not done: {}", name, problem));
  }
  return Done(c, doneText);
}

// What a slot command does to the client in its slot.
struct SlotAction {
  std::string name;  // the command's name, e.g. "get-stat"
  SlotKind kind;
  const char* oid;
  std::string prefix;  // the command value before the slot number
  std::string doneText;  // "{}" takes "agent of customer X" or "mobile in slot N (customer X)"
  bool waitsUntilGone;   // a disconnect: the slot must be free afterwards
};

std::string ClientWords(SlotKind kind, int slot, const std::string& cust) {
  return kind == SlotKind::kAgent ? "agent of customer " + cust
                                  : fmt::format("mobile in slot {} (customer {})", slot, cust);
}

std::string Capitalised(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

// Disconnects finish on the service's side after the answer (the mobile's record is freed by
// its disconnect event): waits up to two seconds for the slot to become free.
bool WaitUntilFree(const SnmpTarget& target, SlotKind kind, int slot, const std::string& cust) {
  for (int i = 0; i < 20; ++i) {
    std::string error;
    auto now = ReadSlotCustomer(target, kind, slot, error);
    if (now && *now != cust) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int SlotCommand(const CommandContext& c, const SlotAction& action) {
  const int lastSlot = action.kind == SlotKind::kAgent ? kCustomerSlots : kMobileSlots;
  auto words = ParseCommandWords(c, c.args, SnmpRules(action.name + " SLOT", 1));
  if (!words) return kUsageError;
  const std::string& text = words->positional[0];
  int slot = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), slot);
  if (ec != std::errc() || end != text.data() + text.size() || slot < 1 || slot > lastSlot) {
    return UsageError(c, fmt::format("SLOT must be a number from 1 to {}, not {}", lastSlot, text),
                      action.name + " SLOT " + kSnmpForm);
  }
  std::string targetError;
  auto resolved = ResolveTargets(c, *words, true, targetError);
  if (!resolved) return NotDone(c, targetError);
  const ServiceTargets& targets = *resolved;
  const char* kindWord = action.kind == SlotKind::kAgent ? "agent" : "mobile";
  JsonFields fields;
  fields.Add("slot", slot);
  std::string error;
  auto cust = ReadSlotCustomer(targets.read, action.kind, slot, error);
  if (!cust) return NotDone(c, "No answer from the service: " + error, fields);
  if (cust->empty()) return NotDone(c, fmt::format("No {} connected in slot {}", kindWord, slot), fields);
  fields.Add("customer", *cust);
  const std::string client = ClientWords(action.kind, slot, *cust);
  if (auto problem = SendSet(targets.set, action.oid, action.prefix + std::to_string(slot)); !problem.empty()) {
    return NotDone(c, fmt::format("Nothing was sent to the {}: {}", client, problem), fields);
  }
  if (action.waitsUntilGone && !WaitUntilFree(targets.read, action.kind, slot, *cust)) {
    return NotDone(c, Capitalised(client) + " is still connected after the disconnect command", fields);
  }
  return Done(c, Capitalised(fmt::vformat(action.doneText, fmt::make_format_args(client))), fields);
}

}  // namespace

int SnmpStatusCommand(const CommandContext& c) {
  int status = kDone;
  auto p = Prepare(c, SnmpRules("status"), false, status);
  if (!p) return status;
  SnmpMessage request;
  request.version = SnmpVersion::kV2c;
  request.type = snmp_type::kGetV2c;
  for (const auto& object : kSystemGroup) request.variables.push_back({object.oid, snmp_value::kNull, ""});
  std::string error;
  auto answer = SnmpExchange(p->targets.read, std::move(request), std::chrono::milliseconds(3000), error);
  if (!answer) return NotDone(c, "No answer from the service: " + error);
  if (answer->errorStatus != snmp_error::kNoError || answer->variables.size() != std::size(kSystemGroup)) {
    return NotDone(c, fmt::format("The service at {} answered error status {}", Describe(p->targets.read),
                                  answer->errorStatus));
  }
  JsonFields fields;
  std::string lines;
  for (std::size_t i = 0; i < std::size(kSystemGroup); ++i) {
    const SnmpVariable& v = answer->variables[i];
    fields.Add(kSystemGroup[i].name, v.value);
    const std::string shown =
        v.valueType == snmp_value::kTimeTicks ? v.value + " (" + FormatUptime(v.value) + ")" : v.value;
    lines += fmt::format("\n{:<12} {}", kSystemGroup[i].name, shown);
  }
  const std::string message = "The service at " + Describe(p->targets.read) + " is running";
  return Done(c, c.json ? message : message + lines, fields);
}

int SnmpReloadCommand(const CommandContext& c) {
  return PlainCommand(c, "reload", kCommandOidTableUpdate, "custTableUpdate",
                      "The service reloaded its customer table");
}

int SnmpReportCommand(const CommandContext& c) {
  return PlainCommand(c, "report", kCommandOidConsole, "console",
                      "The service wrote Debug/AgtConn.txt and Debug/MobConn.txt");
}

int DisconnectAgentCommand(const CommandContext& c) {
  return SlotCommand(c, {"disconnect-agent", SlotKind::kAgent, kCommandOidDisconnect, "agentConnDisconnect-",
                         "{} disconnected", true});
}

int DisconnectMobileCommand(const CommandContext& c) {
  return SlotCommand(c, {"disconnect-mobile", SlotKind::kMobile, kCommandOidDisconnect, "mobilConnDisconnect-",
                         "{} disconnected", true});
}

int UninstallAgentCommand(const CommandContext& c) {
  return SlotCommand(c, {"uninstall-agent", SlotKind::kAgent, kCommandOidAgentCommand, "agentConnUninstall-",
                         "Uninstall sent to the {}", false});
}

int GetStatCommand(const CommandContext& c) {
  return SlotCommand(c, {"get-stat", SlotKind::kAgent, kCommandOidAgentCommand, "getStat",
                         "Statistics requested from the {}", false});
}

}  // namespace vantor::console
