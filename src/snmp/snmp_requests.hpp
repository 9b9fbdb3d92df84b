#pragma once
// Answers to get and get-next requests from the MIB-II system group. Pure logic: the caller
// passes what the answers depend on; nothing is read from or written to anywhere else.

#include "core/tables.hpp"
#include "platform/host/clock.hpp"
#include "platform/snmp/snmp_message.hpp"

#include <cstdint>
#include <string>

namespace vantor {

struct SnmpReadInputs {
  std::string progVersion;          // the ProgVersion setting
  std::uint64_t uptimeHundredths = 0;  // see SnmpUptimeHundredths; not capped
  std::string getCommunity;         // the SnmpGetComm setting
  ConnectionTables* tables = nullptr;  // when set, also served: the objects of connection_objects.hpp
};

inline constexpr char kSysObjectId[] = "1.3.6.1.4.1.50404.1.18";

// Whole seconds from `start` to `now`, times 100; 0 when `now` is before `start`.
std::uint64_t SnmpUptimeHundredths(SystemTime start, SystemTime now);

// Both handlers return false, leaving the message as received, when its community is not the
// get community (exact, case-sensitive): such a request gets no answer at all.
// Otherwise each variable naming a served object gets that object's ".0" instance OID, value
// type and value; every other variable is left as received and sets error status 2
// (noSuchName) with its 1-based position as error index (the last such position wins).
//
// Get serves an object under its instance OID or under the object OID without ".0"
// ("1.3.6.1.2.1.1.5" answers sysName as "1.3.6.1.2.1.1.5.0"); OIDs are compared as whole texts.
bool SnmpGetRequest(SnmpMessage& message, const SnmpReadInputs& inputs);

// Get-next serves the first object whose instance OID follows the variable's OID in SNMP's
// lexical order, so a walk from any OID before the group (".1.3.6.1", "1.3.6.1.2.1.1") lists
// all seven objects and ends after sysServices. The connection objects follow only OIDs inside
// their own branch, so they never extend a walk of the system group.
bool SnmpGetNextRequest(SnmpMessage& message, const SnmpReadInputs& inputs);

// The type code an answer carries: 34 for a first-family get, 66 for every other request.
int SnmpResponseType(int requestType);

}  // namespace vantor
