#pragma once
// Where the running service's SNMP agent listens and which communities it takes, from the
// --host, --port and --community options or else from the settings row.

#include "arguments.hpp"
#include "outcome.hpp"
#include "snmp_client.hpp"

#include <optional>
#include <string>

namespace vantor::console {

struct ServiceTargets {
  SnmpTarget read;  // get community: SnmpGetComm
  SnmpTarget set;   // the fixed set community
};

// --community replaces the set community when `communityIsForSet`, else the get community.
// nullopt with `error` set when the settings row is needed but cannot be read.
std::optional<ServiceTargets> ResolveTargets(const CommandContext& c, const CommandWords& words,
                                             bool communityIsForSet, std::string& error);

// "127.0.0.1:161", for messages.
std::string Describe(const SnmpTarget& target);

// One set request carrying `value` on `oid`. Empty when the service answered without error,
// else what went wrong in words: no answer, or the command the service refused and why.
std::string SendSet(const SnmpTarget& target, const char* oid, const std::string& value);

// Has the service reload its customer table after a change described by `message`, and ends the
// command with the outcome of both (fields gain "serviceReloaded").
int ReloadAndReport(const CommandContext& c, const SnmpTarget& set, const std::string& message, JsonFields fields);

}  // namespace vantor::console
