#pragma once
// Turns the message a request handler filled in into the answer that goes on the wire.

#include "platform/snmp/snmp_message.hpp"

namespace vantor {

// `answer` starts as a copy of `request` and has been changed by the handler. This fixes what
// the wire needs whatever the handler did: a response type in the request's version, the
// request's version and id.
//
// The handler reports errors the v1 way, with an index: noSuchName (2) for an unknown object,
// leaving unanswered variables as received; badValue (3) for a value the object does not take;
// genErr (5) for a command that failed. A v1 answer keeps these; any v2c-only code it holds
// becomes its v1 counterpart (RFC 3584, 4.4), so a v1 manager never sees a code it cannot read.
// A v2c manager expects per-variable exceptions and the v2c codes instead, so for v2c:
//   - get:       every variable still as received becomes noSuchObject; error status and index 0;
//   - get-next:  every variable still as received becomes endOfMibView; error status and index 0
//                (this is what ends `snmpwalk -v2c` cleanly);
//   - set:       noSuchName becomes notWritable (17), the index stays;
//   - any type:  badValue becomes wrongValue (10), the index stays.
void PrepareSnmpAnswer(const SnmpMessage& request, SnmpMessage& answer);

}  // namespace vantor
