#include "service_target.hpp"

#include "core/schema.hpp"
#include "core/settings.hpp"
#include "core/snmp_settings.hpp"
#include "snmp/console_commands.hpp"

#include <fmt/format.h>

#include <charconv>

namespace vantor::console {

std::optional<ServiceTargets> ResolveTargets(const CommandContext& c, const CommandWords& words,
                                             bool communityIsForSet, std::string& error) {
  const auto host = words.Option("--host");
  const auto port = words.Option("--port");
  const auto community = words.Option("--community");
  ServiceTargets t;
  try {
    std::optional<GeneralSettings> settings;
    if (!host || !port || !community || communityIsForSet) {
      settings.emplace(GeneralSettings::Load(c.programDir / kDatabaseFileName));
    }
    t.read.host = host ? *host : settings->Text("SnmpIpAddr");
    // An agent serving 0.0.0.0 is reached on the loopback address.
    if (t.read.host == "0.0.0.0") t.read.host = "127.0.0.1";
    if (port) {
      int value = 0;
      auto [end, ec] = std::from_chars(port->data(), port->data() + port->size(), value);
      if (ec != std::errc() || end != port->data() + port->size() || value < 1 || value > 65535) {
        error = "--port needs a number from 1 to 65535, not " + *port;
        return std::nullopt;
      }
      t.read.port = value;
    } else {
      t.read.port = settings->Int32("SnmpPort");
    }
    t.set = t.read;
    t.read.community = community && !communityIsForSet ? *community : settings->Text("SnmpGetComm");
    t.set.community = community && communityIsForSet
                          ? *community
                          : SetCommunity(settings ? settings->Optional("SnmpSetComm") : std::nullopt);
  } catch (const std::exception& e) {
    error = std::string("Cannot read the SNMP settings: ") + e.what();
    return std::nullopt;
  }
  return t;
}

std::string Describe(const SnmpTarget& target) { return fmt::format("{}:{}", target.host, target.port); }

namespace {

// What the service meant by refusing a command (the console sends v2c, so v2c codes).
std::string RefusalWords(int errorStatus) {
  switch (errorStatus) {
    case snmp_error::kGenErr:
      return "genErr (the command failed or found nothing to act on)";
    case snmp_error::kWrongValue:
      return "wrongValue (not a command this service takes)";
    case snmp_error::kNotWritable:
      return "notWritable (not a command object of this service)";
    default:
      return fmt::format("error status {}", errorStatus);
  }
}

}  // namespace

std::string SendSet(const SnmpTarget& target, const char* oid, const std::string& value) {
  SnmpMessage request;
  request.version = SnmpVersion::kV2c;
  request.type = snmp_type::kSetV2c;
  request.variables.push_back({oid, snmp_value::kOctetString, value});
  std::string error;
  auto answer = SnmpExchange(target, std::move(request), std::chrono::milliseconds(3000), error);
  if (!answer) return error;
  if (answer->errorStatus != snmp_error::kNoError) {
    return fmt::format("the service at {} refused {}: {}", Describe(target), value,
                       RefusalWords(answer->errorStatus));
  }
  if (answer->variables.size() != 1 || answer->variables[0].value != value) {
    return fmt::format("the service did not take the command {}", value);
  }
  return {};
}

int ReloadAndReport(const CommandContext& c, const SnmpTarget& set, const std::string& message, JsonFields fields) {
  if (auto problem = SendSet(set, kCommandOidTableUpdate, "custTableUpdate"); !problem.empty()) {
    fields.Add("serviceReloaded", false);
    return NotDone(c, message + ", but the service did not reload its customer table: " + problem, fields);
  }
  fields.Add("serviceReloaded", true);
  return Done(c, message + "; the service reloaded its customer table", fields);
}

}  // namespace vantor::console
