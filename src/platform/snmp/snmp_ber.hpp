#pragma once
// The SNMP wire format (BER, RFC 1157 and RFC 3416 message layouts) for versions 1 and 2c.
// Pure functions: no I/O, no exceptions, no state.
//
// Type codes on the wire (PDU tags):
//   get 0xA0 (32 in v1, 64 in v2c), get-next 0xA1 (33 / 65), response 0xA2 (34 / 66),
//   set 0xA3 (35 / 67), v1 trap 0xA4 (36, v1 only).
// Value codes: integer 0x02, octet string 0x04, NULL 0x05, OID 0x06, IpAddress 0x40,
//   Counter32 0x41, Gauge32 0x42, TimeTicks 0x43, Opaque 0x44, Counter64 0x46 (v2c),
//   noSuchObject 0x80, noSuchInstance 0x81, endOfMibView 0x82 (v2c responses).
//
// The decoder is strict: definite lengths only (at most 4 length bytes), single-byte tags,
// integers in minimal form and within the range of their field, OID sub-identifiers of at most
// 32 bits and at most 128 of them, exactly the elements of the message layout (no extra,
// missing or nested elements) and no bytes after the message.

#include "platform/snmp/snmp_message.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vantor {

// Decodes a datagram holding a get, get-next or set request of v1 or v2c. Any other PDU
// (get-bulk, inform, responses, traps) and anything malformed gives nullopt. Variable values
// of every type above decode (managers send NULL in get requests), exceptions excepted.
std::optional<SnmpMessage> DecodeSnmpRequest(std::span<const std::uint8_t> datagram);

// Decodes every message EncodeSnmpMessage can write: requests, responses and v1 traps.
std::optional<SnmpMessage> DecodeSnmpMessage(std::span<const std::uint8_t> datagram);

// Encodes a message whose type code matches its version (32..36 with v1, 64..67 with v2c).
// Values are read from their text by type: integers must fit their type, except time ticks,
// which saturate at 4294967295 (an uptime beyond the type's range stays at its largest value).
// nullopt when a field cannot be encoded: bad OID text, out-of-range number, an agent address
// that is not a dotted quad, a v2c-only value in v1, a trap in v2c.
std::optional<std::vector<std::uint8_t>> EncodeSnmpMessage(const SnmpMessage& message);

}  // namespace vantor
