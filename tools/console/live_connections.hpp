#pragma once
// The running service's connection tables as its read-only SNMP objects show them (the branch
// of snmp/connection_objects.hpp), read with get and get-next.

#include "snmp_client.hpp"

#include <map>
#include <optional>
#include <string>

namespace vantor::console {

// One connected client: the column number (see snmp/connection_objects.hpp) -> value text.
using LiveRow = std::map<int, std::string>;

struct LiveTables {
  std::map<int, LiveRow> agents;   // by customer slot
  std::map<int, LiveRow> mobiles;  // by mobile slot
};

// Walks the whole branch. nullopt with `error` set when the service does not answer.
std::optional<LiveTables> ReadLiveTables(const SnmpTarget& target, std::string& error);

enum class SlotKind { kAgent, kMobile };

// The customer id held by `slot` of the agent or mobile table: an empty text when the slot is
// free, nullopt with `error` set when the service does not answer.
std::optional<std::string> ReadSlotCustomer(const SnmpTarget& target, SlotKind kind, int slot, std::string& error);

// The company of a connected agent's slot ("" when free or unknown); no error reporting, as it
// only decorates a message.
std::string ReadAgentCompany(const SnmpTarget& target, int slot);

}  // namespace vantor::console
