#include "snmp/connection_objects.hpp"

#include "logging/timestamp.hpp"
#include "platform/snmp/snmp_oid.hpp"

#include <algorithm>

namespace vantor {
namespace {

constexpr std::uint32_t kAgents = 1;
constexpr std::uint32_t kMobiles = 2;

SnmpVariable Text(std::string value) { return {"", snmp_value::kOctetString, std::move(value)}; }
SnmpVariable Integer(std::int64_t value) { return {"", snmp_value::kInteger, std::to_string(value)}; }

std::optional<SnmpVariable> AgentValue(const CustomerRecord& r, int column) {
  using namespace agent_column;
  switch (column) {
    case kCustId: return Text(r.custID);
    case kCompany: return Text(r.company);
    case kConnType: return Text(std::string(r.connType()));
    case kConnIpAddr: return Text(r.connIpAddr);
    case kConnStartTime: return Text(FormatDateTime(r.connStartTime));
    case kPktSent: return Integer(r.pktSent);
    case kPktRecv: return Integer(r.pktRecv);
    case kRttSum: return Integer(r.rttSum);
    case kRttCount: return Integer(r.rttCount);
    case kAgentVersion: return Text(r.version);
    case kConnId: return Integer(r.connection.id);
    default: return std::nullopt;
  }
}

std::optional<SnmpVariable> MobileValue(const MobileRecord& r, int column) {
  using namespace mobile_column;
  switch (column) {
    case kCustId: return Text(r.custID);
    case kCompany: return Text(r.company);
    case kConnType: return Text(std::string(r.connType()));
    case kConnIpAddr: return Text(r.connIpAddr);
    case kConnStartTime: return Text(FormatDateTime(r.connStartTime));
    case kPktSent: return Integer(r.pktSent);
    case kPktRecv: return Integer(r.pktRecv);
    case kMobVersion: return Text(r.version);
    case kConnId: return Integer(r.connection.id);
    default: return std::nullopt;
  }
}

// The value of table/column/slot when that slot holds a connection.
std::optional<SnmpVariable> ValueAt(const ConnectionTables& tables, std::uint32_t table, std::uint32_t column,
                                    std::uint32_t slot) {
  if (table == kAgents && slot >= 1 && slot <= kCustomerSlots) {
    const CustomerRecord& r = tables.Customer(static_cast<int>(slot));
    if (r.connected()) return AgentValue(r, static_cast<int>(column));
  }
  if (table == kMobiles && slot >= 1 && slot <= kMobileSlots) {
    const MobileRecord& r = tables.Mobile(static_cast<int>(slot));
    if (r.connected()) return MobileValue(r, static_cast<int>(column));
  }
  return std::nullopt;
}

const SnmpOid& Branch() {
  static const SnmpOid branch = *ParseSnmpOid(kConnectionObjectsOid);
  return branch;
}

SnmpOid InstanceOid(std::uint32_t table, std::uint32_t column, std::uint32_t slot) {
  SnmpOid oid = Branch();
  oid.insert(oid.end(), {table, column, slot});
  return oid;
}

bool InBranch(const SnmpOid& oid) {
  return oid.size() >= Branch().size() && std::equal(Branch().begin(), Branch().end(), oid.begin());
}

}  // namespace

std::optional<SnmpVariable> ConnectionObjectGet(const ConnectionTables& tables, const std::string& oid) {
  const auto parsed = ParseSnmpOid(oid);
  if (!parsed || parsed->size() != Branch().size() + 3 || !InBranch(*parsed)) return std::nullopt;
  const std::size_t at = Branch().size();
  auto answer = ValueAt(tables, (*parsed)[at], (*parsed)[at + 1], (*parsed)[at + 2]);
  if (answer) answer->oid = oid;
  return answer;
}

std::optional<SnmpVariable> ConnectionObjectNext(const ConnectionTables& tables, const std::string& oid) {
  const auto requested = ParseSnmpOid(oid);
  if (!requested || !InBranch(*requested)) return std::nullopt;
  // Walks the instances in lexical order: table, then column, then slot.
  const struct { std::uint32_t table; int columns; int slots; } kTables[] = {
      {kAgents, agent_column::kCount, kCustomerSlots}, {kMobiles, mobile_column::kCount, kMobileSlots}};
  for (const auto& t : kTables) {
    for (int column = 1; column <= t.columns; ++column) {
      for (int slot = 1; slot <= t.slots; ++slot) {
        const auto instance = InstanceOid(t.table, column, slot);
        if (CompareSnmpOid(instance, *requested) <= 0) continue;
        if (auto answer = ValueAt(tables, t.table, column, slot)) {
          answer->oid = FormatSnmpOid(instance);
          return answer;
        }
      }
    }
  }
  return std::nullopt;
}

}  // namespace vantor
