// The operator's SNMP commands: read the service's system group and send it the console commands
// it takes as set requests on its enterprise objects.

#include "commands.hpp"
#include "snmp_client.hpp"

#include "core/schema.hpp"
#include "core/settings.hpp"
#include "core/tables.hpp"
#include "snmp/console_commands.hpp"

#include <fmt/format.h>

#include <charconv>
#include <optional>
#include <ostream>

namespace vantor::console {

namespace {

constexpr std::chrono::milliseconds kAnswerTimeout{3000};

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

std::optional<int> ParseInt(const std::string& text) {
  int value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

// The words of a command: its positional arguments and the --host/--port/--community options.
struct Invocation {
  std::vector<std::string> positional;
  std::optional<std::string> host;
  std::optional<int> port;
  std::optional<std::string> community;
};

std::optional<Invocation> ParseWords(const CommandContext& c) {
  Invocation inv;
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    const std::string& word = c.args[i];
    const bool option = word == "--host" || word == "--port" || word == "--community";
    if (!option) {
      inv.positional.push_back(word);
      continue;
    }
    if (i + 1 >= c.args.size()) {
      c.err << word << " needs a value\n";
      return std::nullopt;
    }
    const std::string& value = c.args[++i];
    if (word == "--host") inv.host = value;
    if (word == "--community") inv.community = value;
    if (word == "--port") {
      inv.port = ParseInt(value);
      if (!inv.port || *inv.port < 1 || *inv.port > 65535) {
        c.err << "--port needs a number from 1 to 65535\n";
        return std::nullopt;
      }
    }
  }
  return inv;
}

// Where the service's agent listens, from the options or else from the settings row. The get
// community comes from SnmpGetComm; set requests always use the fixed set community.
std::optional<SnmpTarget> ResolveTarget(const CommandContext& c, const Invocation& inv, bool forSet) {
  SnmpTarget target;
  const bool needSettings = !inv.host || !inv.port || (!inv.community && !forSet);
  try {
    std::optional<GeneralSettings> settings;
    if (needSettings) settings.emplace(GeneralSettings::Load(c.programDir / kDatabaseFileName));
    if (inv.host) {
      target.host = *inv.host;
    } else {
      target.host = settings->Text("SnmpIpAddr");
      // The agent serves 0.0.0.0 on the loopback address.
      if (target.host == "0.0.0.0") target.host = "127.0.0.1";
    }
    target.port = inv.port ? *inv.port : settings->Int32("SnmpPort");
    if (inv.community) {
      target.community = *inv.community;
    } else {
      target.community = forSet ? kSetCommunity : settings->Text("SnmpGetComm");
    }
  } catch (const std::exception& e) {
    c.err << "cannot read the SNMP settings: " << e.what() << "\n";
    return std::nullopt;
  }
  return target;
}

std::string FormatUptime(const std::string& hundredths) {
  const auto ticks = std::stoull(hundredths);
  const auto seconds = ticks / 100;
  return fmt::format("{} ({}d {:02}:{:02}:{:02})", hundredths, seconds / 86400, seconds / 3600 % 24,
                     seconds / 60 % 60, seconds % 60);
}

// An answer that reports an error for the request, described for the operator; empty when none.
std::string AnswerProblem(const SnmpMessage& answer) {
  if (answer.errorStatus != snmp_error::kNoError) {
    const char* name = answer.errorStatus == snmp_error::kNoSuchName    ? " (noSuchName)"
                       : answer.errorStatus == snmp_error::kNotWritable ? " (notWritable)"
                                                                        : "";
    return fmt::format("the service answered error status {}{} at variable {}", answer.errorStatus, name,
                       answer.errorIndex);
  }
  for (const auto& v : answer.variables) {
    if (v.valueType >= snmp_value::kNoSuchObject) return "the service does not serve " + v.oid;
  }
  return {};
}

std::optional<SnmpMessage> Exchange(const CommandContext& c, const SnmpTarget& target, SnmpMessage request) {
  std::string error;
  auto answer = SnmpExchange(target, std::move(request), kAnswerTimeout, error);
  if (!answer) {
    c.err << error << "\n";
    return std::nullopt;
  }
  if (auto problem = AnswerProblem(*answer); !problem.empty()) {
    c.err << problem << "\n";
    return std::nullopt;
  }
  return answer;
}

// One set request carrying `value` on `oid`; the service answers a command it ran with the value.
int SendCommand(const CommandContext& c, const Invocation& inv, const char* oid, const std::string& value) {
  auto target = ResolveTarget(c, inv, true);
  if (!target) return 1;
  SnmpMessage request;
  request.version = SnmpVersion::kV2c;
  request.type = snmp_type::kSetV2c;
  request.variables.push_back({oid, snmp_value::kOctetString, value});
  auto answer = Exchange(c, *target, std::move(request));
  if (!answer) return 1;
  c.out << fmt::format("{} sent to {}:{}\n", value, target->host, target->port);
  return 0;
}

int Usage(const CommandContext& c, const std::string& form) {
  c.err << "usage: " << form << " [--host HOST] [--port PORT] [--community COMMUNITY]\n";
  return 2;
}

// The commands that name a slot: "<prefix><slot>" on their command object.
int SlotCommand(const CommandContext& c, const std::string& name, const char* oid, const std::string& prefix,
                int lastSlot) {
  auto inv = ParseWords(c);
  if (!inv) return 2;
  const std::string form = name + " SLOT";
  if (inv->positional.size() != 1) return Usage(c, form);
  const auto slot = ParseInt(inv->positional[0]);
  if (!slot || *slot < 1 || *slot > lastSlot) {
    c.err << fmt::format("SLOT must be a number from 1 to {}\n", lastSlot);
    return 2;
  }
  return SendCommand(c, *inv, oid, prefix + std::to_string(*slot));
}

}  // namespace

int SnmpStatusCommand(const CommandContext& c) {
  auto inv = ParseWords(c);
  if (!inv) return 2;
  if (!inv->positional.empty()) return Usage(c, "status");
  auto target = ResolveTarget(c, *inv, false);
  if (!target) return 1;
  SnmpMessage request;
  request.version = SnmpVersion::kV2c;
  request.type = snmp_type::kGetV2c;
  for (const auto& object : kSystemGroup) request.variables.push_back({object.oid, snmp_value::kNull, ""});
  auto answer = Exchange(c, *target, std::move(request));
  if (!answer) return 1;
  if (answer->variables.size() != std::size(kSystemGroup)) {
    c.err << "the service answered " << answer->variables.size() << " variables instead of "
          << std::size(kSystemGroup) << "\n";
    return 1;
  }
  for (std::size_t i = 0; i < std::size(kSystemGroup); ++i) {
    const SnmpVariable& v = answer->variables[i];
    const std::string value = v.valueType == snmp_value::kTimeTicks ? FormatUptime(v.value) : v.value;
    c.out << fmt::format("{:<12} {}\n", kSystemGroup[i].name, value);
  }
  return 0;
}

int SnmpReloadCommand(const CommandContext& c) {
  auto inv = ParseWords(c);
  if (!inv) return 2;
  if (!inv->positional.empty()) return Usage(c, "reload");
  return SendCommand(c, *inv, kCommandOidTableUpdate, "custTableUpdate");
}

int SnmpReportCommand(const CommandContext& c) {
  auto inv = ParseWords(c);
  if (!inv) return 2;
  if (!inv->positional.empty()) return Usage(c, "report");
  return SendCommand(c, *inv, kCommandOidConsole, "console");
}

int DisconnectAgentCommand(const CommandContext& c) {
  return SlotCommand(c, "disconnect-agent", kCommandOidDisconnect, "agentConnDisconnect-", kCustomerSlots);
}

int DisconnectMobileCommand(const CommandContext& c) {
  return SlotCommand(c, "disconnect-mobile", kCommandOidDisconnect, "mobilConnDisconnect-", kMobileSlots);
}

int UninstallAgentCommand(const CommandContext& c) {
  return SlotCommand(c, "uninstall-agent", kCommandOidAgentCommand, "agentConnUninstall-", kCustomerSlots);
}

int GetStatCommand(const CommandContext& c) {
  return SlotCommand(c, "get-stat", kCommandOidAgentCommand, "getStat", kCustomerSlots);
}

}  // namespace vantor::console
