#pragma once
// Turns the message a request handler filled in into the answer that goes on the wire.

#include "platform/snmp_message.hpp"

namespace vantor {

// `answer` starts as a copy of `request` and has been changed by the handler. This fixes what
// the wire needs whatever the handler did: a response type in the request's version, the
// request's version and id.
//
// The handler reports an unknown object the v1 way: error status 2 (noSuchName) with an index,
// leaving unanswered variables as received. A v1 answer keeps that. A v2c manager expects
// per-variable exceptions instead, so for v2c:
//   - get:       every variable still as received becomes noSuchObject; error status and index 0;
//   - get-next:  every variable still as received becomes endOfMibView; error status and index 0
//                (this is what ends `snmpwalk -v2c` cleanly);
//   - set:       error status becomes notWritable (17), the index stays.
void PrepareSnmpAnswer(const SnmpMessage& request, SnmpMessage& answer);

}  // namespace vantor
