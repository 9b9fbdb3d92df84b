#pragma once
// Read-only objects that show the connection tables to a management console, in a branch of
// the enterprise subtree that the set commands do not use:
//
//   1.3.6.1.4.1.50404.1.18.10.1.<column>.<slot>   agents  (customer slots 1 to 99)
//   1.3.6.1.4.1.50404.1.18.10.2.<column>.<slot>   mobiles (mobile slots 1 to 50)
//
// A row exists only while its slot holds a connection (connID not 0), so a get on a free slot
// answers noSuchName and a walk of the branch lists exactly the connected clients.

#include "core/tables.hpp"
#include "platform/snmp/snmp_message.hpp"

#include <optional>
#include <string>

namespace vantor {

inline constexpr char kConnectionObjectsOid[] = "1.3.6.1.4.1.50404.1.18.10";

// Agent columns, below kConnectionObjectsOid + ".1".
namespace agent_column {
inline constexpr int kCustId = 1, kCompany = 2, kConnType = 3, kConnIpAddr = 4, kConnStartTime = 5,
                     kPktSent = 6, kPktRecv = 7, kRttSum = 8, kRttCount = 9, kAgentVersion = 10,
                     kConnId = 11;
inline constexpr int kCount = 11;
}  // namespace agent_column

// Mobile columns, below kConnectionObjectsOid + ".2".
namespace mobile_column {
inline constexpr int kCustId = 1, kCompany = 2, kConnType = 3, kConnIpAddr = 4, kConnStartTime = 5,
                     kPktSent = 6, kPktRecv = 7, kMobVersion = 8, kConnId = 9;
inline constexpr int kCount = 9;
}  // namespace mobile_column

// The object named exactly by `oid` (value type and value filled in), or nullopt when `oid`
// names no object of a connected slot. connStartTime is "YYYY-MM-DD HH:MM:SS" local time;
// counters and ids are integers.
std::optional<SnmpVariable> ConnectionObjectGet(const ConnectionTables& tables, const std::string& oid);

// The first object after `oid` in lexical order, searched only when `oid` lies inside the
// branch or is the branch itself, so the system group's walk is not extended. nullopt when
// none follows.
std::optional<SnmpVariable> ConnectionObjectNext(const ConnectionTables& tables, const std::string& oid);

}  // namespace vantor
