#include "live_connections.hpp"

#include "platform/snmp/snmp_oid.hpp"
#include "snmp/connection_objects.hpp"

#include <chrono>

namespace vantor::console {
namespace {

constexpr std::chrono::milliseconds kTimeout{3000};
constexpr int kAgentTable = 1;
constexpr int kMobileTable = 2;

std::string ObjectOid(int table, int column, int slot) {
  return std::string(kConnectionObjectsOid) + "." + std::to_string(table) + "." + std::to_string(column) + "." +
         std::to_string(slot);
}

// One get or get-next for `oid`; nullopt with `error` when nothing came back.
std::optional<SnmpMessage> Ask(const SnmpTarget& target, int type, const std::string& oid, std::string& error) {
  SnmpMessage request;
  request.version = SnmpVersion::kV2c;
  request.type = type;
  request.variables.push_back({oid, snmp_value::kNull, ""});
  return SnmpExchange(target, std::move(request), kTimeout, error);
}

bool Answered(const SnmpMessage& answer) {
  return answer.errorStatus == snmp_error::kNoError && answer.variables.size() == 1 &&
         answer.variables[0].valueType < snmp_value::kNoSuchObject;
}

std::optional<std::string> GetValue(const SnmpTarget& target, const std::string& oid, std::string& error) {
  auto answer = Ask(target, snmp_type::kGetV2c, oid, error);
  if (!answer) return std::nullopt;
  return Answered(*answer) ? answer->variables[0].value : std::string();
}

}  // namespace

std::optional<LiveTables> ReadLiveTables(const SnmpTarget& target, std::string& error) {
  const SnmpOid branch = *ParseSnmpOid(kConnectionObjectsOid);
  LiveTables tables;
  std::string oid = kConnectionObjectsOid;
  for (;;) {
    auto answer = Ask(target, snmp_type::kGetNextV2c, oid, error);
    if (!answer) return std::nullopt;
    if (!Answered(*answer)) return tables;  // past the last object
    const SnmpVariable& v = answer->variables[0];
    const auto parsed = ParseSnmpOid(v.oid);
    if (!parsed || parsed->size() != branch.size() + 3 ||
        !std::equal(branch.begin(), branch.end(), parsed->begin()) || CompareSnmpOid(*parsed, *ParseSnmpOid(oid)) <= 0) {
      return tables;  // left the branch, or an answer that would not move the walk on
    }
    const int table = static_cast<int>((*parsed)[branch.size()]);
    const int column = static_cast<int>((*parsed)[branch.size() + 1]);
    const int slot = static_cast<int>((*parsed)[branch.size() + 2]);
    (table == kAgentTable ? tables.agents : tables.mobiles)[slot][column] = v.value;
    oid = v.oid;
  }
}

std::optional<std::string> ReadSlotCustomer(const SnmpTarget& target, SlotKind kind, int slot, std::string& error) {
  const bool agent = kind == SlotKind::kAgent;
  return GetValue(target,
                  ObjectOid(agent ? kAgentTable : kMobileTable, agent ? agent_column::kCustId : mobile_column::kCustId,
                            slot),
                  error);
}

std::string ReadAgentCompany(const SnmpTarget& target, int slot) {
  std::string error;
  return GetValue(target, ObjectOid(kAgentTable, agent_column::kCompany, slot), error).value_or("");
}

}  // namespace vantor::console
